// The module's life in a process: loaded, used, given up when nothing holds
// it, and loaded again with a fresh start.
#include "Authorization.h"
#include "TestSupport.h"
#include "ProcAddress.h"

namespace {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(WINAPI*)();

// Creates one object of every class through a freshly loaded module and
// gives everything back; the library then unloads (its stop hook runs).
void UseAndUnload()
{
    HMODULE module = LoadLibraryW(L"Authorization.dll");
    ASSERT_NE(nullptr, module);
    auto getClassObject = GetProcAddressAs<GetClassObjectFn>(module, "DllGetClassObject");
    auto canUnloadNow = GetProcAddressAs<CanUnloadNowFn>(module, "DllCanUnloadNow");
    for (const CLSID* clsid : {&CLSID_IKIVAuthorization, &CLSID_AuthorizationEx, &CLSID_KQSecRole,
                               &CLSID_KQSecRolesCollection}) {
        com_ptr<IClassFactory> factory;
        ASSERT_EQ(S_OK, getClassObject(*clsid, IID_IClassFactory, factory.put_void()));
        com_ptr<IDispatch> object;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()));
        // The type information is loaded and kept until the module stops.
        com_ptr<ITypeInfo> info;
        EXPECT_EQ(S_OK, object->GetTypeInfo(0, 0, info.put()));
        EXPECT_EQ(S_FALSE, canUnloadNow());
    }
    EXPECT_EQ(S_OK, canUnloadNow());
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(nullptr, GetModuleHandleW(L"Authorization.dll"));
}

TEST(ModuleLife, UnloadsWhenNothingHoldsItAndStartsAgain)
{
    ASSERT_EQ(nullptr, GetModuleHandleW(L"Authorization.dll"));
    UseAndUnload();
    UseAndUnload();
}

}  // namespace
