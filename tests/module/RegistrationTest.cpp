// Registration of the module: every key and value its scripts write, read
// back from the registry, and gone again after unregistration.
#include "Authorization.h"
#include "TestSupport.h"

namespace {

using Entry = HRESULT(WINAPI*)();

// The default value of a key under HKEY_CLASSES_ROOT, or nullopt-like
// "<missing>" when the key does not exist.
std::wstring ReadValue(const std::wstring& key, const wchar_t* name = nullptr)
{
    HKEY handle;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return L"<missing>";
    wchar_t data[1024] = {};
    DWORD size = sizeof data - sizeof(wchar_t), type = 0;
    LONG rc = RegQueryValueExW(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS) return L"<no value>";
    return type == REG_SZ ? data : L"<not a string>";
}

bool KeyExists(const std::wstring& key)
{
    HKEY handle;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[64];
    StringFromGUID2(guid, text, 64);
    return text;
}

class RegistrationTest : public testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryW(L"Authorization.dll");
        ASSERT_NE(nullptr, module);
        registerServer = reinterpret_cast<Entry>(GetProcAddress(module, "DllRegisterServer"));
        unregisterServer = reinterpret_cast<Entry>(GetProcAddress(module, "DllUnregisterServer"));
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(module, path, MAX_PATH);
        modulePath = path;
    }
    void TearDown() override
    {
        // Leave the module registered for the other tests.
        EXPECT_EQ(S_OK, registerServer());
        FreeLibrary(module);
    }

    HMODULE module = nullptr;
    Entry registerServer = nullptr;
    Entry unregisterServer = nullptr;
    std::wstring modulePath;
};

struct Expected {
    std::wstring key;
    const wchar_t* value;  // null: the default value
    std::wstring data;
};

std::vector<Expected> AuthorizationEntries(const std::wstring& modulePath)
{
    const std::wstring clsid = GuidText(CLSID_IKIVAuthorization);
    const std::wstring libid = GuidText(LIBID_AUTHORIZATIONLib);
    std::vector<Expected> entries;
    for (const wchar_t* progId : {L"Quarnex.VOK.IKIVAuthorization.1", L"Quarnex.VOK.IKIVAuthorization",
                                  L"Authorization.IKIVAuthorization.1", L"Authorization.IKIVAuthorization"}) {
        entries.push_back({progId, nullptr, L"IKIVAuthorization Class"});
        entries.push_back({std::wstring(progId) + L"\\CLSID", nullptr, clsid});
        if (std::wstring(progId) != L"Quarnex.VOK.IKIVAuthorization.1")
            entries.push_back({std::wstring(progId) + L"\\CurVer", nullptr, L"Quarnex.VOK.IKIVAuthorization.1"});
    }
    const std::wstring key = L"CLSID\\" + clsid;
    entries.push_back({key, nullptr, L"IKIVAuthorization Class"});
    entries.push_back({key + L"\\ProgID", nullptr, L"Quarnex.VOK.IKIVAuthorization.1"});
    entries.push_back({key + L"\\VersionIndependentProgID", nullptr, L"Quarnex.VOK.IKIVAuthorization"});
    entries.push_back({key + L"\\Programmable", nullptr, L"<no value>"});
    entries.push_back({key + L"\\InprocServer32", nullptr, modulePath});
    entries.push_back({key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"});
    entries.push_back({key + L"\\TypeLib", nullptr, libid});
    entries.push_back({L"TypeLib\\" + libid + L"\\1.0", nullptr, L"Authorization 1.0 Type Library"});
    entries.push_back({L"TypeLib\\" + libid + L"\\1.0\\0\\win32", nullptr, modulePath});
    return entries;
}

TEST_F(RegistrationTest, RegisterWritesEveryKeyAndUnregisterRemovesThem)
{
    ASSERT_EQ(S_OK, registerServer());
    const std::vector<Expected> entries = AuthorizationEntries(modulePath);
    for (const Expected& e : entries) {
        std::wstring data = ReadValue(e.key, e.value);
        // Paths may differ in case only.
        EXPECT_EQ(0, _wcsicmp(e.data.c_str(), data.c_str()))
            << "key " << std::string(e.key.begin(), e.key.end());
    }
    // The class names only the primary ProgIDs.
    std::wstring progId = ReadValue(L"CLSID\\" + GuidText(CLSID_IKIVAuthorization) + L"\\ProgID");
    EXPECT_EQ(L"Quarnex.VOK.IKIVAuthorization.1", progId);

    ASSERT_EQ(S_OK, unregisterServer());
    for (const Expected& e : entries)
        EXPECT_FALSE(KeyExists(e.key)) << "key " << std::string(e.key.begin(), e.key.end());
    EXPECT_TRUE(KeyExists(L"CLSID"));
    BSTR path = nullptr;
    EXPECT_NE(S_OK, QueryPathOfRegTypeLib(LIBID_AUTHORIZATIONLib, 1, 0, LANG_NEUTRAL, &path));
    SysFreeString(path);

    // Twice is harmless.
    EXPECT_EQ(S_OK, unregisterServer());
}

TEST_F(RegistrationTest, RegisteredClassIsCreatableByProgId)
{
    ASSERT_EQ(S_OK, registerServer());
    for (const wchar_t* progId : {L"Quarnex.VOK.IKIVAuthorization", L"Quarnex.VOK.IKIVAuthorization.1",
                                  L"Authorization.IKIVAuthorization"}) {
        CLSID clsid;
        ASSERT_EQ(S_OK, CLSIDFromProgID(progId, &clsid));
        EXPECT_TRUE(IsEqualCLSID(CLSID_IKIVAuthorization, clsid));
    }
}

}  // namespace
