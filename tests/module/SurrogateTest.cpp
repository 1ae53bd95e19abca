// The forwarding object with its inner authorization object in another
// process: the inner class runs in the platform's DLL surrogate, and the
// calls, their VARIANT arrays and out values cross the process boundary
// through the type-library marshaler.
#include "Authorization.h"
#include "TestClassFactory.h"
#include "TestSupport.h"

#include <tlhelp32.h>
#include <set>

namespace {

const wchar_t kAppIdKey[] = L"AppID\\{0F0FC553-4FC4-49B5-A8D7-146D155A577A}";
const wchar_t kClassKey[] = L"CLSID\\{0F0FC553-4FC4-49B5-A8D7-146D155A577A}";

// Lets the authorization class run in the DLL surrogate for the length of a test.
class SurrogateRegistration {
public:
    SurrogateRegistration()
    {
        HKEY key;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, kAppIdKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr) != ERROR_SUCCESS)
            return;
#ifdef _WIN64
        // Wine starts its 32-bit surrogate for an empty value, which finds no
        // 64-bit class: name the 64-bit one.
        wchar_t surrogate[MAX_PATH];
        UINT length = GetSystemDirectoryW(surrogate, MAX_PATH - 16);
        if (length == 0 || length >= MAX_PATH - 16) return;
        wcscat(surrogate, L"\\dllhost.exe");
#else
        const wchar_t surrogate[] = L"";
#endif
        RegSetValueExW(key, L"DllSurrogate", 0, REG_SZ, reinterpret_cast<const BYTE*>(surrogate),
                       static_cast<DWORD>((wcslen(surrogate) + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
            return;
        const wchar_t appId[] = L"{0F0FC553-4FC4-49B5-A8D7-146D155A577A}";
        m_ok = RegSetValueExW(key, L"AppID", 0, REG_SZ, reinterpret_cast<const BYTE*>(appId),
                              sizeof appId) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~SurrogateRegistration()
    {
        HKEY key;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, L"AppID");
            RegCloseKey(key);
        }
        RegDeleteKeyW(HKEY_CLASSES_ROOT, kAppIdKey);
    }
    bool ok() const
    {
        return m_ok;
    }

private:
    bool m_ok = false;
};

std::set<DWORD> SurrogateProcesses()
{
    std::set<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W entry = {sizeof entry};
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, L"dllhost.exe") == 0) ids.insert(entry.th32ProcessID);
    CloseHandle(snapshot);
    return ids;
}

// The surrogate stays up after its last object is gone, holding the test's
// output handles: end the ones this test started.
class SurrogateCleanup {
public:
    SurrogateCleanup() : m_before(SurrogateProcesses()) {}
    ~SurrogateCleanup()
    {
        for (DWORD id : SurrogateProcesses()) {
            if (m_before.count(id)) continue;
            if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id)) {
                TerminateProcess(process, 0);
                CloseHandle(process);
            }
        }
    }

private:
    std::set<DWORD> m_before;
};

TEST(Surrogate, ForwarderReachesAnInnerObjectInAnotherProcess)
{
    SurrogateCleanup cleanup;
    SurrogateRegistration registration;
    ASSERT_TRUE(registration.ok());
    com_ptr<IIKIVAuthorization> remote;
    HRESULT hr = CoCreateInstance(CLSID_IKIVAuthorization, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_IIKIVAuthorization, remote.put_void());
    if (FAILED(hr))
        GTEST_SKIP() << "the platform cannot start the class in its DLL surrogate: 0x" << std::hex
                     << hr;

    // The object is a proxy: it lives in the surrogate, not in this process.
    com_ptr<IUnknown> marshal;
    EXPECT_EQ(S_OK, remote->QueryInterface(IID_IMarshal, marshal.put_void()));
    marshal.reset();

    // Hands out the out-of-process object wherever this process asks for the class.
    int created = 0;
    TestClassFactory factory([&](IUnknown* outer, REFIID riid, void** ppv) -> HRESULT {
        ++created;
        if (outer) return CLASS_E_NOAGGREGATION;
        return remote->QueryInterface(riid, ppv);
    });
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_IKIVAuthorization, &factory, CLSCTX_INPROC_SERVER,
                                          REGCLS_MULTIPLEUSE, &cookie));
    {
        com_ptr<IIKIVAuthorization> ex;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_AuthorizationEx, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IIKIVAuthorization, ex.put_void()));
        ASSERT_EQ(S_OK, ex->InitCacheEx(Bstr(L"PLANT"), Bstr(L"alice")));
        VARIANT_BOOL granted = VARIANT_FALSE, denied = VARIANT_TRUE;
        EXPECT_EQ(S_OK, ex->CheckAccess(Bstr(L"CN=Pump P-101,OU=Area 1,O=Plant"), 3, &granted));
        EXPECT_EQ(S_OK, ex->CheckAccess(Bstr(L"CN=Pump P-101,OU=Area 1,O=Plant"), 4, &denied));
        EXPECT_EQ(VARIANT_TRUE, granted);
        EXPECT_EQ(VARIANT_FALSE, denied);

        unique_variant roles;
        EXPECT_EQ(S_OK, ex->get_Roles(Bstr(L"PLANT"), Bstr(L"alice"), &roles));
        ASSERT_EQ(VT_ARRAY | VT_VARIANT, V_VT(&roles));
        LONG lower = 0;
        SafeArrayGetLBound(V_ARRAY(&roles), 1, &lower);
        EXPECT_EQ(1, lower);
        BSTR id = nullptr;
        EXPECT_EQ(S_OK,
                  ex->GetSecurityId(Bstr(L"Plant Console"), Bstr(L"Areas"), Bstr(L"Area 1"), &id));
        EXPECT_STREQ(L"SO-0101", id);
        SysFreeString(id);
        EXPECT_EQ(1, created);
    }
    CoRevokeClassObject(cookie);
}

}  // namespace
