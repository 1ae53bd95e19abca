// Registration of the module and of the other DLLs of ours: every key and
// value their scripts write, read back from the registry, and gone again
// after unregistration.
#include "Authorization.h"
#include "TestSupport.h"
#include "ProcAddress.h"

#include <algorithm>

namespace {

using Entry = HRESULT(WINAPI*)();

// A loaded DLL's registration entry points and the path it was loaded from.
struct Registrable {
    explicit Registrable(HMODULE module)
        : registerServer(GetProcAddressAs<Entry>(module, "DllRegisterServer")),
          unregisterServer(GetProcAddressAs<Entry>(module, "DllUnregisterServer"))
    {
        wchar_t loaded[MAX_PATH];
        GetModuleFileNameW(module, loaded, MAX_PATH);
        path = loaded;
    }

    Entry registerServer;
    Entry unregisterServer;
    std::wstring path;
};

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
    const Registrable loaded(copied);
    ASSERT_EQ(S_OK, loaded.registerServer());
    ExpectRegistered(loaded.path);
    EXPECT_EQ(loaded.path, ReadValue(L"CLSID\\" + GuidText(CLSID_KQSecRole) + L"\\InprocServer32"));
    ASSERT_EQ(S_OK, loaded.unregisterServer());
    ExpectUnregistered(loaded.path);
    FreeLibrary(copied);
    DeleteFileW(copy.c_str());
    DeleteFileW((dir + L"\\KivAuth.dll").c_str());
    RemoveDirectoryW(dir.c_str());
}

// Every key under HKEY_CLASSES_ROOT\key and every value, as "subkey\name=data"
// lines ("@" names the default value), the module's path written as %MODULE%.
void ListTree(const std::wstring& key, const std::wstring& modulePath, const std::wstring& below,
              std::vector<std::wstring>& lines)
{
    HKEY handle;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return;
    const std::wstring prefix = below.empty() ? below : below + L"\\";
    for (DWORD i = 0;; ++i) {
        wchar_t name[256], data[1024] = {};
        DWORD nameLength = 256, size = sizeof data - sizeof(wchar_t), type = 0;
        if (RegEnumValueW(handle, i, name, &nameLength, nullptr, &type,
                          reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
            break;
        std::wstring text = type == REG_SZ ? data : L"<not a string>";
        if (_wcsicmp(text.c_str(), modulePath.c_str()) == 0) text = L"%MODULE%";
        lines.push_back(prefix + (nameLength ? name : L"@") + L"=" + text);
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(handle, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        lines.push_back(prefix + name + L"\\");
        ListTree(key + L"\\" + name, modulePath, prefix + name, lines);
    }
    RegCloseKey(handle);
}

struct RegisteredKey {
    std::wstring key;
    std::vector<std::wstring> tree;  // as ListTree writes it, in any order
};

struct OtherDll {
    const wchar_t* file;
    const wchar_t* typeLib;  // null: the DLL holds none
    std::vector<RegisteredKey> keys;
};

// The other DLLs of ours, exactly as they register.
const OtherDll kOtherDlls[] = {
    {L"SecClient.dll",
     L"{7DF5CDF0-DDA7-4F52-8773-FA8BF00EAE4E}",
     {{L"CLSID\\{15556FFE-8063-41CB-A3A0-D18D92AA7C5E}",
       {L"@=SecClientStandIn Class", L"InprocServer32\\", L"InprocServer32\\@=%MODULE%",
        L"InprocServer32\\ThreadingModel=Apartment", L"ProgID\\",
        L"ProgID\\@=Authorization.SecClientStandIn.1", L"VersionIndependentProgID\\",
        L"VersionIndependentProgID\\@=Authorization.SecClientStandIn", L"TypeLib\\",
        L"TypeLib\\@={7DF5CDF0-DDA7-4F52-8773-FA8BF00EAE4E}", L"Version\\", L"Version\\@=1.0"}},
      {L"Authorization.SecClientStandIn",
       {L"@=SecClientStandIn Class", L"CLSID\\", L"CLSID\\@={15556FFE-8063-41CB-A3A0-D18D92AA7C5E}",
        L"CurVer\\", L"CurVer\\@=Authorization.SecClientStandIn.1"}},
      {L"Authorization.SecClientStandIn.1",
       {L"@=SecClientStandIn Class", L"CLSID\\",
        L"CLSID\\@={15556FFE-8063-41CB-A3A0-D18D92AA7C5E}"}},
      // The client interface and the control interface, marshaled by the
      // automation marshaler from this type library.
      {L"Interface\\{C4F73809-DA97-4011-853D-22B5A5391143}",
       {L"@=IAuthSecClient", L"ProxyStubClsid32\\",
        L"ProxyStubClsid32\\@={00020424-0000-0000-C000-000000000046}", L"ProxyStubClsid\\",
        L"ProxyStubClsid\\@={00020424-0000-0000-C000-000000000046}", L"TypeLib\\",
        L"TypeLib\\@={7DF5CDF0-DDA7-4F52-8773-FA8BF00EAE4E}", L"TypeLib\\Version=1.0"}},
      {L"Interface\\{21A93DA4-E6E8-42DB-81F5-A9199DD0BE73}",
       {L"@=ISecClientControl", L"ProxyStubClsid32\\",
        L"ProxyStubClsid32\\@={00020424-0000-0000-C000-000000000046}", L"ProxyStubClsid\\",
        L"ProxyStubClsid\\@={00020424-0000-0000-C000-000000000046}", L"TypeLib\\",
        L"TypeLib\\@={7DF5CDF0-DDA7-4F52-8773-FA8BF00EAE4E}", L"TypeLib\\Version=1.0"}}}},
    {L"KQSecSupport.dll",
     nullptr,
     {{L"CLSID\\{3F91A8A0-EB7A-4B06-8248-3CAAD88FB212}",
       {L"@=KQSecSupport", L"InprocServer32\\", L"InprocServer32\\@=%MODULE%",
        L"InprocServer32\\ThreadingModel=Both"}}}},
    {L"BenchNull.dll",
     L"{F3683A94-6427-4338-BA05-60C45B2A6585}",
     {{L"CLSID\\{B966E4B6-0736-44F0-904D-3F13D0DF8033}",
       {L"@=NullAuthorization Class", L"InprocServer32\\", L"InprocServer32\\@=%MODULE%",
        L"InprocServer32\\ThreadingModel=Apartment", L"ProgID\\",
        L"ProgID\\@=Authorization.BenchNull"}},
      {L"Authorization.BenchNull",
       {L"@=NullAuthorization Class", L"CLSID\\",
        L"CLSID\\@={B966E4B6-0736-44F0-904D-3F13D0DF8033}"}},
      {L"CLSID\\{3025FF3C-65D5-47E6-94E5-A91FE88B8966}",
       {L"@=BenchClock Class", L"InprocServer32\\", L"InprocServer32\\@=%MODULE%",
        L"InprocServer32\\ThreadingModel=Apartment", L"ProgID\\",
        L"ProgID\\@=Authorization.BenchClock"}},
      {L"Authorization.BenchClock",
       {L"@=BenchClock Class", L"CLSID\\", L"CLSID\\@={3025FF3C-65D5-47E6-94E5-A91FE88B8966}"}}}},
};

std::vector<std::string> Sorted(std::vector<std::wstring> lines)
{
    std::vector<std::string> narrow;
    for (const std::wstring& line : lines) narrow.push_back(Narrow(line));
    std::sort(narrow.begin(), narrow.end());
    return narrow;
}

// The registered path of a type library, or "<missing>".
std::wstring TypeLibPath(const wchar_t* libid)
{
    GUID guid;
    if (FAILED(CLSIDFromString(libid, &guid))) return L"<bad GUID>";
    unique_bstr path;
    if (FAILED(QueryPathOfRegTypeLib(guid, 1, 0, LANG_NEUTRAL, path.put()))) return L"<missing>";
    return path.get();
}

TEST(OtherDllsRegistrationTest, EachWritesItsKeysAndUnregisterRemovesThem)
{
    for (const OtherDll& dll : kOtherDlls) {
        SCOPED_TRACE(Narrow(dll.file));
        HMODULE module = LoadLibraryW(dll.file);
        ASSERT_NE(nullptr, module);
        const Registrable loaded(module);

        ASSERT_EQ(S_OK, loaded.registerServer());
        for (const RegisteredKey& k : dll.keys) {
            std::vector<std::wstring> tree;
            ListTree(k.key, loaded.path, L"", tree);
            EXPECT_EQ(Sorted(k.tree), Sorted(tree)) << "key " << Narrow(k.key);
        }
        if (dll.typeLib) {
            EXPECT_EQ(0, _wcsicmp(loaded.path.c_str(), TypeLibPath(dll.typeLib).c_str()));
        }

        ASSERT_EQ(S_OK, loaded.unregisterServer());
        for (const RegisteredKey& k : dll.keys)
            EXPECT_FALSE(KeyExists(k.key)) << "key " << Narrow(k.key);
        if (dll.typeLib) {
            EXPECT_EQ(L"<missing>", TypeLibPath(dll.typeLib));
        }
        EXPECT_TRUE(KeyExists(L"CLSID"));
        EXPECT_EQ(S_OK, loaded.unregisterServer());  // twice is harmless

        // Left registered, for the tests that use it.
        EXPECT_EQ(S_OK, loaded.registerServer());
        FreeLibrary(module);
    }
}

}  // namespace
