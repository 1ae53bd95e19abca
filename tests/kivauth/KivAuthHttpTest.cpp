// KivAuth.dll reading its policy from a security server over HTTP: the
// build's own Apache httpd, a port where nothing listens, and a socket that
// takes requests and never answers. Every request goes to the loopback.
#include "HttpServer.h"
#include "KIVAuthorize.h"
#include "KivAuthControl.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

namespace {

using httptest::LoopbackSocket;
using httptest::LoopbackUrl;
using httptest::Publish;
using httptest::Url;

constexpr HRESULT kUnsupportedAddress = HRESULT_FROM_WIN32(12006);  // unrecognized scheme

const char kPolicy[] =
    "policy | 1\n"
    "role | {11111111-1111-1111-1111-111111111111} | Readers | Read only\n"
    "role | {22222222-2222-2222-2222-222222222222} | Writers\n"
    "role-user | Readers | D\\alice\n"
    "role-user | Writers | D\\bob\n"
    "role-grant | Readers | CN=Doc,O=T | 1\n"
    "role-grant | Writers | CN=Doc,O=T | 3\n"
    "application | App | APP-1\n";

// The same store after an administrator's change: alice writes, Readers is gone.
const char kChanged[] =
    "policy | 1\n"
    "role | {22222222-2222-2222-2222-222222222222} | Writers\n"
    "role | {33333333-3333-3333-3333-333333333333} | Auditors\n"
    "role-user | Writers | D\\alice\n"
    "role-grant | Writers | CN=Doc,O=T | 3\n";

long SetSecurityServer(const wchar_t* reserved, const wchar_t* url)
{
    // Through void (*)(): the export's real type is only known here.
    static auto export_ = reinterpret_cast<SetSecurityServerFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"KivAuth.dll"), "SetSecurityServer")));
    return export_ ? export_(reserved, url) : E_NOTIMPL;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// The last errors of the library as one text; empty when there are none.
std::string LastErrors(CKIVAuthorize& auth)
{
    VARIANT* errors = auth.GetLastVokErrors();
    if (!errors || V_VT(errors) != (VT_ARRAY | VT_BSTR)) return std::string();
    BSTR* items = nullptr;
    std::string text;
    if (SUCCEEDED(SafeArrayAccessData(V_ARRAY(errors), reinterpret_cast<void**>(&items)))) {
        for (ULONG i = 0; i < V_ARRAY(errors)->rgsabound[0].cElements; ++i)
            text += Narrow(items[i] ? items[i] : L"");
        SafeArrayUnaccessData(V_ARRAY(errors));
    }
    return text;
}

bool HoldsRole(CKIVAuthorize& auth, const char* name)
{
    CKIVRole* role = nullptr;
    return auth.GetRoleInfo(name, &role) == S_OK && role;
}

class KivAuthHttpTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(0, httptest::ServerPort()) << "the test server is not running (httpd_start)";
        KivTest_Reset();
    }
    void TearDown() override { KivTest_Reset(); }

    // The checks that tell kPolicy (true) from kChanged (false) for alice.
    bool AnswersAsFirstPolicy()
    {
        return auth.CheckRoleAccess("Readers", "CN=Doc,O=T", 1) &&
               !auth.CheckAccess("D\\alice", "CN=Doc,O=T", 2);
    }

    httptest::AccessLog accessLog;
    CKIVAuthorize auth;
};

TEST_F(KivAuthHttpTest, ChecksAndQueriesAnswerFromTheServersPolicy)
{
    Publish(L"kivauth-answers.txt", kPolicy);
    ASSERT_EQ(S_OK, SetSecurityServer(L"", Url(L"kivauth-answers.txt").c_str()));
    ASSERT_TRUE(auth.InitCache("D\\alice", 3)) << LastErrors(auth);

    struct Case {
        const char* account;
        unsigned long permission;
        bool granted;
    };
    const Case cases[] = {
        {"D\\alice", 1, true},  {"D\\alice", 2, false}, {"D\\bob", 3, true},
        {"D\\carol", 1, false}, {nullptr, 1, true},  // the cache's account
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.account ? c.account : "null");
        EXPECT_EQ(c.granted, auth.CheckAccess(c.account, "CN=Doc,O=T", c.permission));
    }
    EXPECT_TRUE(auth.CheckRoleAccess("Writers", "CN=Doc,O=T", 2));
    EXPECT_FALSE(auth.CheckRoleAccess("Readers", "CN=Doc,O=T", 2));
    EXPECT_TRUE(HoldsRole(auth, "Writers"));
    wchar_t* id = nullptr;
    EXPECT_EQ(S_OK, auth.GetSecurityId(const_cast<wchar_t*>(L"App"), const_cast<wchar_t*>(L""),
                                       const_cast<wchar_t*>(L""), &id));
    EXPECT_STREQ(L"APP-1", id);
    SysFreeString(id);
    EXPECT_EQ(VT_EMPTY, V_VT(auth.GetLastVokErrors()));
    // One read for the cache, none for the answers.
    EXPECT_EQ(1u, accessLog.Requests(L"kivauth-answers.txt").size());
}

// RefreshCache asks with the tag of what it holds: the server's 304 is
// "nothing new", and a changed policy replaces the cache whole.
TEST_F(KivAuthHttpTest, RefreshAsksForNewsOnly)
{
    const std::wstring path = L"kivauth-refresh.txt";
    Publish(path, kPolicy);
    ASSERT_EQ(S_OK, SetSecurityServer(L"", Url(path).c_str()));
    ASSERT_TRUE(auth.InitCache("D\\alice", 3)) << LastErrors(auth);
    CKIVRole* before = nullptr;
    ASSERT_EQ(S_OK, auth.GetRoleInfo("Readers", &before));

    bool refreshed = true;
    EXPECT_TRUE(auth.RefreshCache(refreshed, 0xFFFF));
    EXPECT_FALSE(refreshed);
    CKIVRole* after = nullptr;
    EXPECT_EQ(S_OK, auth.GetRoleInfo("Readers", &after));
    EXPECT_EQ(before, after);  // records handed out stay

    Publish(path, kChanged);
    refreshed = true;
    EXPECT_TRUE(auth.RefreshCache(refreshed, 2)) << LastErrors(auth);
    EXPECT_TRUE(refreshed);
    EXPECT_FALSE(AnswersAsFirstPolicy());
    EXPECT_TRUE(auth.CheckAccess("D\\alice", "CN=Doc,O=T", 3));
    EXPECT_FALSE(HoldsRole(auth, "Readers"));
    EXPECT_TRUE(HoldsRole(auth, "Auditors"));

    refreshed = true;
    EXPECT_TRUE(auth.RefreshCache(refreshed, 2));
    EXPECT_FALSE(refreshed);

    std::vector<std::string> requests = accessLog.Requests(path);
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ(0u, requests[0].find("GET /kivauth-refresh.txt 200 \"-\""));
    EXPECT_EQ(0u, requests[1].find("GET /kivauth-refresh.txt 304 \"\\\""));  // with a tag
    EXPECT_EQ(0u, requests[2].find("GET /kivauth-refresh.txt 200 \"\\\""));
    EXPECT_EQ(0u, requests[3].find("GET /kivauth-refresh.txt 304 \"\\\""));
}

// A server that is down, silent, answers an error, or gives no policy: the
// load fails with the reason in the last errors, an object without a cache
// denies everything, and one with a cache keeps it.
TEST_F(KivAuthHttpTest, FailuresNeverGrantAndKeepTheEarlierCache)
{
    const int kTimeoutMs = 1500;
    // Far more than the time-out, far less than what no time-out would take.
    const DWORD kBoundMs = kTimeoutMs + 8000;
    LoopbackSocket down;
    LoopbackSocket silent;
    silent.Listen();
    Publish(L"kivauth-good.txt", kPolicy);
    Publish(L"kivauth-bad.txt", "policy | 1\nrole | {bad} | Readers\n");
    Publish(L"kivauth-missing.txt", "");

    struct Case {
        const char* what;
        std::wstring address;
        const char* reason;
    };
    const Case cases[] = {
        {"stopped server", LoopbackUrl(down.Port(), L"policy.txt"), "cannot connect"},
        {"silent server", LoopbackUrl(silent.Port(), L"policy.txt"), "no answer within"},
        {"error status", Url(L"kivauth-missing.txt"), "answered 404"},
        {"body that does not parse", Url(L"kivauth-bad.txt"), "line 2: bad role identifier"},
    };
    auth.SetHTTPTimeout(kTimeoutMs);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // No earlier cache: everything denied.
        CKIVAuthorize fresh;
        ASSERT_EQ(S_OK, SetSecurityServer(L"", c.address.c_str()));
        DWORD start = GetTickCount();
        EXPECT_FALSE(fresh.InitCache("D\\alice", 3));
        EXPECT_LT(GetTickCount() - start, kBoundMs);
        EXPECT_FALSE(fresh.CheckAccess("CN=Doc,O=T", 1));
        EXPECT_FALSE(fresh.CheckAccess("D\\alice", "CN=Doc,O=T", 1));
        EXPECT_FALSE(fresh.CheckRoleAccess("Readers", "CN=Doc,O=T", 1));
        std::string errors = LastErrors(fresh);
        EXPECT_NE(std::string::npos, errors.find(c.reason)) << errors;
        EXPECT_NE(std::string::npos, errors.find(Narrow(c.address))) << errors;

        // An earlier cache stays, through a refresh and a new load alike.
        ASSERT_EQ(S_OK, SetSecurityServer(L"", Url(L"kivauth-good.txt").c_str()));
        ASSERT_TRUE(auth.InitCache("D\\alice", 3)) << LastErrors(auth);
        ASSERT_TRUE(AnswersAsFirstPolicy());
        ASSERT_EQ(S_OK, SetSecurityServer(L"", c.address.c_str()));
        bool refreshed = true;
        start = GetTickCount();
        EXPECT_FALSE(auth.RefreshCache(refreshed, 0xFFFF));
        EXPECT_LT(GetTickCount() - start, kBoundMs);
        EXPECT_FALSE(auth.InitCache("D\\bob", 3));
        EXPECT_TRUE(AnswersAsFirstPolicy());
        EXPECT_NE(std::string::npos, LastErrors(auth).find(c.reason));
    }
    // Each load and refresh asked once.
    EXPECT_EQ(3u, accessLog.Requests(L"kivauth-missing.txt").size());
    EXPECT_EQ(3u, accessLog.Requests(L"kivauth-bad.txt").size());
}

// Only file: and http: name a policy; anything else is refused with its own
// code and changes nothing.
TEST_F(KivAuthHttpTest, OtherSchemesAreRefused)
{
    Publish(L"kivauth-kept.txt", kPolicy);
    const std::wstring kept = Url(L"kivauth-kept.txt");
    struct Case {
        const wchar_t* address;
        HRESULT result;
    };
    const Case cases[] = {
        {L"https://127.0.0.1/policy.txt", kUnsupportedAddress},
        {L"ftp://127.0.0.1/policy.txt", kUnsupportedAddress},
        {L"ldap:policy", kUnsupportedAddress},
        {L"http://", E_INVALIDARG},
        {L"http:policy.txt", E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.address));
        ASSERT_EQ(S_OK, SetSecurityServer(L"", kept.c_str()));
        EXPECT_EQ(c.result, SetSecurityServer(L"", c.address));
        wchar_t server[256];
        ASSERT_GT(KivTest_SecurityServer(server, 256), 0);
        EXPECT_EQ(kept, server);
        ASSERT_TRUE(auth.InitCache("D\\alice", 3)) << LastErrors(auth);
        EXPECT_TRUE(AnswersAsFirstPolicy());
    }
}

}  // namespace
