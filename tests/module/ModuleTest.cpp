// The component module: cached class factories shared by apartments,
// aggregation of every class, the free-threaded marshaler, and the unload
// rule through objects, enumerators and server locks.
#include "Authorization.h"
#include "TestSupport.h"
#include "ProcAddress.h"

#include <process.h>

namespace {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(WINAPI*)();

const CLSID* const kClasses[] = {&CLSID_IKIVAuthorization, &CLSID_AuthorizationEx, &CLSID_KQSecRole,
                                 &CLSID_KQSecRolesCollection};

class ModuleTest : public testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryW(L"Authorization.dll");
        ASSERT_NE(nullptr, module);
        getClassObject = GetProcAddressAs<GetClassObjectFn>(module, "DllGetClassObject");
        canUnloadNow = GetProcAddressAs<CanUnloadNowFn>(module, "DllCanUnloadNow");
        ASSERT_EQ(S_OK, canUnloadNow()) << "an earlier test left an object alive";
    }
    void TearDown() override
    {
        EXPECT_EQ(S_OK, canUnloadNow()) << "the test left an object alive";
        FreeLibrary(module);
    }

    com_ptr<IClassFactory> Factory(REFCLSID clsid)
    {
        com_ptr<IClassFactory> factory;
        EXPECT_EQ(S_OK, getClassObject(clsid, IID_IClassFactory, factory.put_void()));
        return factory;
    }

    HMODULE module = nullptr;
    GetClassObjectFn getClassObject = nullptr;
    CanUnloadNowFn canUnloadNow = nullptr;
};

struct ApartmentRequest {
    HANDLE start;
    IClassFactory* factories[4];
};

unsigned __stdcall AskForFactories(void* argument)
{
    auto* request = static_cast<ApartmentRequest*>(argument);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    auto getClassObject = GetProcAddressAs<GetClassObjectFn>(GetModuleHandleW(L"Authorization.dll"),
                                                             "DllGetClassObject");
    WaitForSingleObject(request->start, INFINITE);
    for (int i = 0; i < 4; ++i)
        getClassObject(*kClasses[i], IID_IClassFactory,
                       reinterpret_cast<void**>(&request->factories[i]));
    CoUninitialize();
    return 0;
}

TEST_F(ModuleTest, FactoriesAreCachedAndSharedByApartments)
{
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ApartmentRequest requests[2] = {{start, {}}, {start, {}}};
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i)
        threads[i] = reinterpret_cast<HANDLE>(
            _beginthreadex(nullptr, 0, AskForFactories, &requests[i], 0, nullptr));
    SetEvent(start);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    for (HANDLE thread : threads) CloseHandle(thread);
    CloseHandle(start);

    for (int i = 0; i < 4; ++i) {
        com_ptr<IClassFactory> mine = Factory(*kClasses[i]);
        ASSERT_NE(nullptr, requests[0].factories[i]);
        EXPECT_EQ(requests[0].factories[i], requests[1].factories[i]) << "class " << i;
        EXPECT_EQ(requests[0].factories[i], mine.get()) << "class " << i;
        for (auto& request : requests) request.factories[i]->Release();
    }
}

TEST_F(ModuleTest, EveryClassAggregates)
{
    const IID* mainInterfaces[] = {&IID_IIKIVAuthorization, &IID_IIKIVAuthorization,
                                   &IID_IKQSecRole, &IID_IKQSecRolesCollection};
    const bool marshals[] = {false, false, true, true};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        com_ptr<IClassFactory> factory = Factory(*kClasses[i]);
        Outer outer;
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, *mainInterfaces[i], &out));
        EXPECT_EQ(nullptr, out);

        com_ptr<IUnknown> inner;
        ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, inner.put_void()));
        outer.inner = inner.get();
        {
            com_ptr<IUnknown> main, marshal;
            ASSERT_EQ(S_OK, outer.QueryInterface(*mainInterfaces[i], main.put_void()));
            EXPECT_EQ(2u, outer.refs);  // the aggregate counts on its outer object
            EXPECT_EQ(marshals[i] ? S_OK : E_NOINTERFACE,
                      outer.QueryInterface(IID_IMarshal, marshal.put_void()));
            // Asked through an interface, IUnknown is the outer object's.
            com_ptr<IUnknown> identity;
            ASSERT_EQ(S_OK, main->QueryInterface(IID_IUnknown, identity.put_void()));
            EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.get());
        }
        outer.inner = nullptr;
        inner.reset();
        EXPECT_EQ(1u, outer.refs);
    }
}

TEST_F(ModuleTest, PlainObjectsAnswerTheMarshalerAsTheirTableSays)
{
    const bool marshals[] = {false, false, true, true};
    for (int i = 0; i < 4; ++i) {
        com_ptr<IUnknown> object, marshal;
        ASSERT_EQ(S_OK,
                  Factory(*kClasses[i])->CreateInstance(nullptr, IID_IUnknown, object.put_void()));
        EXPECT_EQ(marshals[i] ? S_OK : E_NOINTERFACE,
                  object->QueryInterface(IID_IMarshal, marshal.put_void()));
    }
}

TEST_F(ModuleTest, UnloadWaitsForObjectsEnumeratorsAndLocks)
{
    com_ptr<IKQSecRolesCollection> roles;
    ASSERT_EQ(S_OK, Factory(CLSID_KQSecRolesCollection)
                        ->CreateInstance(nullptr, IID_IKQSecRolesCollection, roles.put_void()));
    EXPECT_EQ(S_FALSE, canUnloadNow());
    com_ptr<IUnknown> enumerator;
    ASSERT_EQ(S_OK, roles->get__NewEnum(enumerator.put()));
    roles.reset();
    EXPECT_EQ(S_FALSE, canUnloadNow());  // the enumerator and the collection it holds
    enumerator.reset();
    EXPECT_EQ(S_OK, canUnloadNow());

    com_ptr<IClassFactory> factory = Factory(CLSID_KQSecRole);
    EXPECT_EQ(S_FALSE, canUnloadNow());  // a client's reference to a factory
    // An unlock without a lock gives back nothing that the reference holds.
    EXPECT_EQ(E_UNEXPECTED, factory->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, canUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory.reset();
    EXPECT_EQ(S_FALSE, canUnloadNow());
    EXPECT_EQ(S_OK, Factory(CLSID_KQSecRole)->LockServer(FALSE));
    EXPECT_EQ(S_OK, canUnloadNow());
}

TEST_F(ModuleTest, ClassObjectRequests)
{
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IKQSecRole, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, getClassObject(CLSID_KQSecRole, IID_IClassFactory, nullptr));
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, getClassObject(CLSID_KQSecRole, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
    com_ptr<IClassFactory> factory;
    EXPECT_EQ(S_OK, getClassObject(CLSID_KQSecRole, IID_IUnknown, factory.put_void()));
}

}  // namespace
