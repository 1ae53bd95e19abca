// Attaching the security-database client to the authorization object.
#include "Authorization.h"
#include "Events.h"
#include "FakeSecClient.h"
#include "TestSupport.h"

#include <new>

namespace {

class AttachTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_IKIVAuthorization, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IIKIVAuthorization, auth.put_void()));
    }

    com_ptr<IIKIVAuthorization> auth;
};

TEST_F(AttachTest, AttachDetachReattach)
{
    FakeAuditRegistration audit;
    FakeSecClient first, second;
    com_ptr<IUnknown> attached;
    EXPECT_EQ(E_FAIL, auth->get_AuthSecClient(attached.put()));
    // A null out slot is the caller's error, told first, client or not.
    EXPECT_EQ(E_POINTER, auth->get_AuthSecClient(nullptr));

    EXPECT_EQ(S_OK, auth->put_AuthSecClient(&first));
    EXPECT_EQ(2u, first.refs);
    EXPECT_EQ(E_POINTER, auth->get_AuthSecClient(nullptr));
    ASSERT_EQ(S_OK, auth->get_AuthSecClient(attached.put()));
    EXPECT_EQ(static_cast<IUnknown*>(&first), attached.get());
    attached.reset();

    EXPECT_EQ(S_OK, auth->put_AuthSecClient(&second));
    EXPECT_EQ(1u, first.refs);  // the first one is given up
    ASSERT_EQ(S_OK, auth->get_AuthSecClient(attached.put()));
    EXPECT_EQ(static_cast<IUnknown*>(&second), attached.get());
    attached.reset();

    EXPECT_EQ(S_OK, auth->put_AuthSecClient(nullptr));  // detaches
    EXPECT_EQ(1u, second.refs);
    EXPECT_EQ(E_FAIL, auth->get_AuthSecClient(attached.put()));

    EXPECT_EQ(S_OK, auth->put_AuthSecClient(&first));
    auth.reset();  // the object gives its client up when it goes
    EXPECT_EQ(1u, first.refs);
    EXPECT_TRUE(Events(audit).empty());
}

TEST_F(AttachTest, ObjectWithoutTheInterfaceIsRefusedAndDetaches)
{
    FakeAuditRegistration audit;
    FakeSecClient client;
    NotAClient other;
    ASSERT_EQ(S_OK, auth->put_AuthSecClient(&client));
    EXPECT_EQ(E_NOINTERFACE, auth->put_AuthSecClient(&other));
    com_ptr<IUnknown> attached;
    EXPECT_EQ(E_FAIL, auth->get_AuthSecClient(attached.put()));
    EXPECT_EQ(1u, client.refs);
    EXPECT_EQ(1u, other.refs);

    std::vector<Event> events = Events(audit);
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(L"CIKIVAuthorization::put_AuthSecClient", events[0].operation);
    EXPECT_EQ(E_NOINTERFACE, events[0].code);
    EXPECT_EQ(Arg(), events[0].extra);
    EXPECT_FALSE(events[0].request);
    ASSERT_EQ(1u, events[0].params.size());
    EXPECT_EQ(L"(long)pSec", events[0].params[0].first);
    EXPECT_EQ(Arg(std::to_wstring(reinterpret_cast<LONG_PTR>(&other))), events[0].params[0].second);
}

TEST_F(AttachTest, PointerAboveTwoGigabytesIsRecordedWhole)
{
    // A large-address-aware 32-bit program, and any 64-bit one, can place an
    // object above 0x80000000: x86 records it as a negative 32-bit number,
    // x64 as the whole 64-bit address.
    void* high =
        VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE | MEM_TOP_DOWN, PAGE_READWRITE);
    ASSERT_NE(nullptr, high);
    if (reinterpret_cast<ULONG_PTR>(high) < 0x80000000u) {
        VirtualFree(high, 0, MEM_RELEASE);
        GTEST_SKIP() << "no address above 2 GB available to this process";
    }
    auto* other = new (high) NotAClient;
    FakeAuditRegistration audit;
    EXPECT_EQ(E_NOINTERFACE, auth->put_AuthSecClient(other));
    std::vector<Event> events = Events(audit);
    ASSERT_EQ(1u, events.size());
    ASSERT_EQ(1u, events[0].params.size());
    ASSERT_TRUE(events[0].params[0].second);
    const std::wstring& recorded = *events[0].params[0].second;
#ifdef _WIN64
    EXPECT_EQ(std::to_wstring(reinterpret_cast<LONG_PTR>(other)), recorded);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(other), std::stoull(recorded));
#else
    EXPECT_EQ(L'-', recorded.at(0));
    EXPECT_EQ(std::to_wstring(static_cast<LONG>(reinterpret_cast<LONG_PTR>(other))), recorded);
#endif
    other->~NotAClient();
    VirtualFree(high, 0, MEM_RELEASE);
}

}  // namespace
