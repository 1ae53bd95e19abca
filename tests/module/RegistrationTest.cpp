// Registration of the module: every key and value its scripts write, read
// back from the registry, and gone again after unregistration.
#include "Authorization.h"
#include "TestSupport.h"
#include "ProcAddress.h"

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
        registerServer = GetProcAddressAs<Entry>(module, "DllRegisterServer");
        unregisterServer = GetProcAddressAs<Entry>(module, "DllUnregisterServer");
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

struct ClassRegistration {
    const CLSID* clsid;
    const wchar_t* description;
    const wchar_t* versioned;
    const wchar_t* independent;
    std::vector<const wchar_t*> moreProgIds;
};

const ClassRegistration kClasses[] = {
    {&CLSID_IKIVAuthorization,
     L"IKIVAuthorization Class",
     L"Quarnex.VOK.IKIVAuthorization.1",
     L"Quarnex.VOK.IKIVAuthorization",
     {L"Authorization.IKIVAuthorization.1", L"Authorization.IKIVAuthorization"}},
    {&CLSID_AuthorizationEx,
     L"AuthorizationEx Class",
     L"Quarnex.VOK.AuthorizationEx.1",
     L"Quarnex.VOK.AuthorizationEx",
     {}},
    {&CLSID_KQSecRole,
     L"KQSecRole Class",
     L"Authorization.KQSecRole.1",
     L"Authorization.KQSecRole",
     {}},
    {&CLSID_KQSecRolesCollection,
     L"KQSecRolesCollection Class",
     L"Authorization.KQSecRolesCollection.1",
     L"Authorization.KQSecRolesCollection",
     {}},
};

std::vector<Expected> ExpectedEntries(const std::wstring& modulePath)
{
    const std::wstring libid = GuidText(LIBID_AUTHORIZATIONLib);
    std::vector<Expected> entries;
    for (const ClassRegistration& c : kClasses) {
        const std::wstring clsid = GuidText(*c.clsid);
        std::vector<const wchar_t*> progIds = {c.versioned, c.independent};
        progIds.insert(progIds.end(), c.moreProgIds.begin(), c.moreProgIds.end());
        for (const wchar_t* progId : progIds) {
            entries.push_back({progId, nullptr, c.description});
            entries.push_back({std::wstring(progId) + L"\\CLSID", nullptr, clsid});
            if (progId != c.versioned)
                entries.push_back({std::wstring(progId) + L"\\CurVer", nullptr, c.versioned});
        }
        const std::wstring key = L"CLSID\\" + clsid;
        entries.push_back({key, nullptr, c.description});
        // The class names only its primary ProgIDs.
        entries.push_back({key + L"\\ProgID", nullptr, c.versioned});
        entries.push_back({key + L"\\VersionIndependentProgID", nullptr, c.independent});
        entries.push_back({key + L"\\Programmable", nullptr, L"<no value>"});
        entries.push_back({key + L"\\InprocServer32", nullptr, modulePath});
        entries.push_back({key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"});
        entries.push_back({key + L"\\TypeLib", nullptr, libid});
    }
    entries.push_back(
        {L"TypeLib\\" + libid + L"\\1.0", nullptr, L"Authorization 1.0 Type Library"});
#ifdef _WIN64
    const wchar_t* platform = L"win64";
#else
    const wchar_t* platform = L"win32";
#endif
    entries.push_back({L"TypeLib\\" + libid + L"\\1.0\\0\\" + platform, nullptr, modulePath});
    return entries;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

void ExpectRegistered(const std::wstring& modulePath)
{
    for (const Expected& e : ExpectedEntries(modulePath)) {
        std::wstring data = ReadValue(e.key, e.value);
        // Paths may differ in case only.
        EXPECT_EQ(0, _wcsicmp(e.data.c_str(), data.c_str()))
            << "key " << Narrow(e.key) << ": " << Narrow(data);
    }
}

void ExpectUnregistered(const std::wstring& modulePath)
{
    for (const Expected& e : ExpectedEntries(modulePath))
        EXPECT_FALSE(KeyExists(e.key)) << "key " << Narrow(e.key);
    EXPECT_TRUE(KeyExists(L"CLSID"));
    BSTR path = nullptr;
    EXPECT_NE(S_OK, QueryPathOfRegTypeLib(LIBID_AUTHORIZATIONLib, 1, 0, LANG_NEUTRAL, &path));
    SysFreeString(path);
}

TEST_F(RegistrationTest, RegisterWritesEveryKeyAndUnregisterRemovesThem)
{
    ASSERT_EQ(S_OK, registerServer());
    ExpectRegistered(modulePath);
    ASSERT_EQ(S_OK, unregisterServer());
    ExpectUnregistered(modulePath);
    EXPECT_EQ(S_OK, unregisterServer());  // twice is harmless
}

TEST_F(RegistrationTest, RegisteredClassesAreCreatableByProgId)
{
    ASSERT_EQ(S_OK, registerServer());
    for (const ClassRegistration& c : kClasses) {
        std::vector<const wchar_t*> progIds = {c.versioned, c.independent};
        progIds.insert(progIds.end(), c.moreProgIds.begin(), c.moreProgIds.end());
        for (const wchar_t* progId : progIds) {
            CLSID clsid;
            ASSERT_EQ(S_OK, CLSIDFromProgID(progId, &clsid)) << Narrow(progId);
            EXPECT_TRUE(IsEqualCLSID(*c.clsid, clsid)) << Narrow(progId);
        }
        com_ptr<IUnknown> object;
        EXPECT_EQ(S_OK, CoCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                         object.put_void()));
    }
}

// Runs regsvr32 with the arguments; a failure says how it ended, in hex, so
// that a crash (an exception code) is told apart from regsvr32's own codes.
testing::AssertionResult Regsvr32Succeeds(const std::wstring& arguments)
{
    std::wstring commandLine = L"regsvr32.exe " + arguments;
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return testing::AssertionFailure()
               << "regsvr32 " << Narrow(arguments) << " did not start: error " << GetLastError();
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    const BOOL exited = GetExitCodeProcess(process.hProcess, &exitCode);
    const DWORD error = GetLastError();
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (!exited)
        return testing::AssertionFailure()
               << "regsvr32 " << Narrow(arguments) << ": no exit code, error " << error;
    if (exitCode == 0) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "regsvr32 " << Narrow(arguments) << " exited with 0x" << std::hex << exitCode;
}

TEST_F(RegistrationTest, Regsvr32UnregisterLeavesNoKeyBehind)
{
    const std::wstring quoted = L"\"" + modulePath + L"\"";
    ASSERT_TRUE(Regsvr32Succeeds(L"/s " + quoted));
    ExpectRegistered(modulePath);
    ASSERT_TRUE(Regsvr32Succeeds(L"/u /s " + quoted));
    ExpectUnregistered(modulePath);
    EXPECT_TRUE(Regsvr32Succeeds(L"/u /s " + quoted));
}

// A module in a folder whose name holds a single quote: the registrar's
// script must double it, and the registry must hold it once.
TEST_F(RegistrationTest, PathWithASingleQuote)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring dir = std::wstring(folder) + L"it's here";
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring copy = dir + L"\\Authorization.dll";
    ASSERT_TRUE(CopyFileW(modulePath.c_str(), copy.c_str(), FALSE));
    // The copy imports the closed library from beside it.
    std::wstring library = modulePath.substr(0, modulePath.rfind(L'\\')) + L"\\KivAuth.dll";
    ASSERT_TRUE(CopyFileW(library.c_str(), (dir + L"\\KivAuth.dll").c_str(), FALSE));

    HMODULE copied = LoadLibraryExW(copy.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    ASSERT_NE(nullptr, copied);
    auto registerCopy = GetProcAddressAs<Entry>(copied, "DllRegisterServer");
    auto unregisterCopy = GetProcAddressAs<Entry>(copied, "DllUnregisterServer");
    wchar_t loadedPath[MAX_PATH];
    GetModuleFileNameW(copied, loadedPath, MAX_PATH);
    ASSERT_EQ(S_OK, registerCopy());
    ExpectRegistered(loadedPath);
    EXPECT_EQ(loadedPath, ReadValue(L"CLSID\\" + GuidText(CLSID_KQSecRole) + L"\\InprocServer32"));
    ASSERT_EQ(S_OK, unregisterCopy());
    ExpectUnregistered(loadedPath);
    FreeLibrary(copied);
    DeleteFileW(copy.c_str());
    DeleteFileW((dir + L"\\KivAuth.dll").c_str());
    RemoveDirectoryW(dir.c_str());
}

}  // namespace
