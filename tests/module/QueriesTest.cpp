// Role and group queries: the account each query hands the library, the
// registry default domain, the array conversions of the ...Var twins, the
// catch-all security id and the application cache.
#include "Authorization.h"
#include "MallocSpy.h"
#include "TestSupport.h"

#include <algorithm>
#include <thread>

namespace {

const char kVokKey[] = "SOFTWARE\\Quarnex\\VOK";

// Sets (or with a null type, removes) the AuthDefaultDomain value.
void SetDefaultDomain(DWORD type, const void* data, DWORD size)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kVokKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (type == REG_NONE)
        RegDeleteValueA(key, "AuthDefaultDomain");
    else
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "AuthDefaultDomain", 0, type,
                                                static_cast<const BYTE*>(data), size));
    RegCloseKey(key);
}

void SetDefaultDomain(const char* text)
{
    SetDefaultDomain(REG_SZ, text, static_cast<DWORD>(strlen(text) + 1));
}

void RemoveVokKey()
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kVokKey);
}

// A VT_ARRAY|VT_BSTR VARIANT with the given lower bound; null texts allowed.
void MakeStringArray(VARIANT* out, std::vector<const wchar_t*> texts, LONG lowerBound = 0)
{
    SAFEARRAYBOUND bound = {static_cast<ULONG>(texts.size()), lowerBound};
    SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
    for (size_t i = 0; i < texts.size(); ++i) {
        LONG index = lowerBound + static_cast<LONG>(i);
        BSTR text = texts[i] ? SysAllocString(texts[i]) : nullptr;
        SafeArrayPutElement(array, &index, text);
        SysFreeString(text);
    }
    VariantInit(out);
    V_VT(out) = VT_ARRAY | VT_BSTR;
    V_ARRAY(out) = array;
}

// The texts of a VT_ARRAY|VT_VARIANT result, checking its shape on the way.
std::vector<std::wstring> VariantArrayTexts(const VARIANT& v)
{
    std::vector<std::wstring> texts;
    EXPECT_EQ(VT_ARRAY | VT_VARIANT, V_VT(&v));
    if (V_VT(&v) != (VT_ARRAY | VT_VARIANT)) return texts;
    SAFEARRAY* array = V_ARRAY(&v);
    EXPECT_EQ(1u, SafeArrayGetDim(array));
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    EXPECT_EQ(1, lower);
    for (LONG i = lower; i <= upper; ++i) {
        VARIANT element;
        VariantInit(&element);
        SafeArrayGetElement(array, &i, &element);
        EXPECT_EQ(VT_BSTR, V_VT(&element));
        texts.push_back(V_BSTR(&element) ? V_BSTR(&element) : L"<null>");
        VariantClear(&element);
    }
    return texts;
}

class QueriesTest : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        RemoveVokKey();
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_IKIVAuthorization, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IIKIVAuthorization, auth.put_void()));
        KivTest_ClearCalls();
    }
    void TearDown() override
    {
        auth.reset();
        RemoveVokKey();
        LibraryTest::TearDown();
    }

    com_ptr<IIKIVAuthorization> auth;
};

TEST_F(QueriesTest, AccountHandedToTheLibrary)
{
    struct Case {
        const char* registryDomain;  // null: no value
        const wchar_t* domain;
        const wchar_t* user;
        const char* roles;      // what get_Roles and get_RolesVar pass
        const char* userRoles;  // what GetUserRoles passes
    };
    const Case cases[] = {
        {nullptr, L"D", L"U", "\"D\\\\U\"", "\"D\\\\U\""},
        {nullptr, L"", L"", "null", "null"},
        {nullptr, nullptr, nullptr, "null", "null"},
        {nullptr, L"", L"U", "\"U\"", "\"U\""},
        {nullptr, L"D", L"", "\"D\\\\\"", "\"D\\\\\""},
        {"REG", L"", L"U", "\"U\"", "\"REG\\\\U\""},
        {"REG", L"D", L"U", "\"D\\\\U\"", "\"D\\\\U\""},
        {"REG", L"D", L"", "\"D\\\\\"", "\"D\\\\\""},
        {"REG", L"", L"", "null", "null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.userRoles);
        if (c.registryDomain)
            SetDefaultDomain(c.registryDomain);
        else
            RemoveVokKey();
        KivTest_ClearCalls();
        unique_variant roles, names, ids;
        auth->get_Roles(Bstr(c.domain), Bstr(c.user), &roles);
        auth->get_RolesVar(Bstr(c.domain), Bstr(c.user), &roles);
        auth->GetUserRoles(Bstr(c.domain), Bstr(c.user), &names, &ids);
        std::vector<std::string> expected = {
            std::string("GetRoles(") + c.roles + ", out)",
            std::string("GetRoles(") + c.roles + ", out)",
            std::string("GetRoles(") + c.userRoles + ", out, out)",
        };
        EXPECT_EQ(expected, LibraryCalls());
    }
}

TEST_F(QueriesTest, RegistryDefaultDomain)
{
    const std::string longest(255, 'd'), tooLong(256, 'd');
    struct Case {
        const char* name;
        DWORD type;  // REG_NONE: no value; REG_LINK: no key at all
        std::string data;
        const wchar_t* expected;  // null: absent
        // Bytes stored, when fewer than the data: a byte that is not NUL
        // follows, so the registry cannot add the forgotten terminator.
        size_t stored = std::string::npos;
    };
    const std::wstring longestWide(longest.begin(), longest.end());
    const Case cases[] = {
        {"string", REG_SZ, std::string("CORP\0", 5), L"CORP"},
        {"expandable, not expanded", REG_EXPAND_SZ, std::string("%USERDOMAIN%\0", 13),
         L"%USERDOMAIN%"},
        {"multi-string: the first", REG_MULTI_SZ, std::string("FIRST\0SECOND\0\0", 14), L"FIRST"},
        {"number", REG_DWORD, std::string("\1\0\0\0", 4), nullptr},
        {"empty", REG_SZ, std::string("\0", 1), nullptr},
        {"255 bytes", REG_SZ, longest + '\0', longestWide.c_str()},
        {"256 bytes", REG_SZ, tooLong + '\0', nullptr},
        {"string without its terminator", REG_SZ, "CORPX", nullptr, 4},
        {"multi-string of a single NUL", REG_MULTI_SZ, std::string("\0", 1), nullptr},
        {"no value", REG_NONE, "", nullptr},
        {"no key", REG_LINK, "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveVokKey();
        if (c.type != REG_LINK)
            SetDefaultDomain(c.type, c.data.data(),
                             static_cast<DWORD>(std::min(c.stored, c.data.size())));
        BSTR domain = reinterpret_cast<BSTR>(1);
        EXPECT_EQ(S_OK, auth->get_RegAuthDefaultDomain(&domain));
        if (c.expected)
            EXPECT_STREQ(c.expected, domain);
        else
            EXPECT_EQ(nullptr, domain);
        SysFreeString(domain);
    }
    EXPECT_EQ(E_POINTER, auth->get_RegAuthDefaultDomain(nullptr));
}

TEST_F(QueriesTest, DefaultDomainComesFromTheProcessOwnRegistryView)
{
    // As on Windows, a 64-bit module reads the 64-bit view and a 32-bit one
    // the 32-bit view; the other view's value is never seen.
#ifdef _WIN64
    const REGSAM otherView = KEY_WOW64_32KEY;
#else
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    if (!wow64) GTEST_SKIP() << "a 32-bit system has a single registry view";
    const REGSAM otherView = KEY_WOW64_64KEY;
#endif
    HKEY other;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kVokKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS | otherView, nullptr, &other, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(other, "AuthDefaultDomain", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>("OTHER"), 6));
    RegCloseKey(other);

    SetDefaultDomain("OWN");
    BSTR domain = nullptr;
    EXPECT_EQ(S_OK, auth->get_RegAuthDefaultDomain(&domain));
    EXPECT_STREQ(L"OWN", domain);
    SysFreeString(domain);

    SetDefaultDomain(REG_NONE, nullptr, 0);
    domain = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(S_OK, auth->get_RegAuthDefaultDomain(&domain));
    EXPECT_EQ(nullptr, domain);
    SysFreeString(domain);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kVokKey, otherView, 0);
}

// The value may be kept between calls, but never served stale: every
// change, made here, on another thread, by another process, or by deleting
// and making the key again, is seen by the very next call.
TEST_F(QueriesTest, RegistryDefaultDomainChangeIsSeenByTheNextCall)
{
    auto current = [&]() -> std::wstring {
        BSTR domain = nullptr;
        EXPECT_EQ(S_OK, auth->get_RegAuthDefaultDomain(&domain));
        std::wstring text = domain ? domain : L"<null>";
        SysFreeString(domain);
        return text;
    };
    auto userRolesAccount = [&]() -> std::string {
        KivTest_ClearCalls();
        unique_variant names, ids;
        auth->GetUserRoles(Bstr(L""), Bstr(L"U"), &names, &ids);
        std::vector<std::string> calls = LibraryCalls();
        return calls.size() == 1 ? calls[0] : "<" + std::to_string(calls.size()) + " calls>";
    };
    auto otherProcess = [](const wchar_t* arguments) {
        std::wstring command = std::wstring(L"reg.exe ") + arguments;
        STARTUPINFOW startup = {sizeof startup};
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process));
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        ASSERT_EQ(0u, code);
    };

    EXPECT_EQ(L"<null>", current());
    SetDefaultDomain("FIRST");
    EXPECT_EQ(L"FIRST", current());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(L"FIRST", current());
    SetDefaultDomain("SECOND");
    EXPECT_EQ(L"SECOND", current());
    EXPECT_EQ("GetRoles(\"SECOND\\\\U\", out, out)", userRolesAccount());
    SetDefaultDomain("THIRD");
    EXPECT_EQ("GetRoles(\"THIRD\\\\U\", out, out)", userRolesAccount());
    EXPECT_EQ(L"THIRD", current());

    std::thread([] { SetDefaultDomain("FROM A THREAD"); }).join();
    EXPECT_EQ(L"FROM A THREAD", current());

    otherProcess(
        L"add HKLM\\SOFTWARE\\Quarnex\\VOK /v AuthDefaultDomain /t REG_SZ /d ELSEWHERE /f");
    EXPECT_EQ(L"ELSEWHERE", current());
    otherProcess(L"delete HKLM\\SOFTWARE\\Quarnex\\VOK /v AuthDefaultDomain /f");
    EXPECT_EQ(L"<null>", current());

    SetDefaultDomain(REG_DWORD, "\1\0\0\0", 4);
    EXPECT_EQ(L"<null>", current());
    SetDefaultDomain("BACK");
    EXPECT_EQ(L"BACK", current());

    // The key itself goes, with whatever the stand-ins keep under it.
    auto removeKey = [] { ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_LOCAL_MACHINE, kVokKey)); };
    removeKey();
    EXPECT_EQ(L"<null>", current());
    EXPECT_EQ("GetRoles(\"U\", out, out)", userRolesAccount());
    SetDefaultDomain("AGAIN");
    EXPECT_EQ(L"AGAIN", current());
    removeKey();
    SetDefaultDomain("ANEW");
    EXPECT_EQ(L"ANEW", current());
    SetDefaultDomain("LAST");
    EXPECT_EQ(L"LAST", current());
}

TEST_F(QueriesTest, VarTwinsConvertArraysOfStrings)
{
    unique_variant answer;
    MakeStringArray(&answer, {L"Operators", L"", L"Maintenance"}, 5);
    KivTest_ForceVariant("GetRoles", &answer);
    KivTest_ForceVariant("GetAllRoles", &answer);
    const std::vector<std::wstring> expected = {L"Operators", L"", L"Maintenance"};

    unique_variant roles;
    EXPECT_EQ(S_OK, auth->get_RolesVar(Bstr(L"D"), Bstr(L"U"), &roles));
    EXPECT_EQ(expected, VariantArrayTexts(roles));

    unique_variant names, ids;
    EXPECT_EQ(S_OK, auth->GetAllRolesVar(&names, &ids));
    EXPECT_EQ(expected, VariantArrayTexts(names));
    EXPECT_EQ(expected, VariantArrayTexts(ids));

    // The plain methods hand the library's VARIANT over unchanged.
    unique_variant plain;
    EXPECT_EQ(S_OK, auth->get_Roles(Bstr(L"D"), Bstr(L"U"), &plain));
    EXPECT_EQ(VT_ARRAY | VT_BSTR, V_VT(&plain));
}

TEST_F(QueriesTest, VarTwinsGiveEmptyForOtherAnswers)
{
    unique_variant number, nullArray, empty;
    V_VT(&number) = VT_I4;
    V_I4(&number) = 7;
    V_VT(&nullArray) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&nullArray) = nullptr;
    for (VARIANT* answer : {static_cast<VARIANT*>(&number), static_cast<VARIANT*>(&nullArray),
                            static_cast<VARIANT*>(&empty)}) {
        KivTest_ForceVariant("GetRoles", answer);
        KivTest_ForceVariant("GetAllRoles", answer);
        unique_variant roles, names, ids;
        V_VT(&roles) = VT_I2;
        EXPECT_EQ(S_OK, auth->get_RolesVar(Bstr(L"D"), Bstr(L"U"), &roles));
        EXPECT_EQ(VT_EMPTY, V_VT(&roles));
        EXPECT_EQ(S_OK, auth->GetAllRolesVar(&names, &ids));
        EXPECT_EQ(VT_EMPTY, V_VT(&names));
        EXPECT_EQ(VT_EMPTY, V_VT(&ids));
    }
}

TEST_F(QueriesTest, VarTwinsPassLibraryFailuresAndCheckPointers)
{
    const HRESULT failure = HRESULT_FROM_WIN32(ERROR_NETWORK_UNREACHABLE);
    KivTest_Force("GetRoles", failure);
    KivTest_Force("GetAllRoles", failure);
    unique_variant roles, names, ids;
    V_VT(&roles) = VT_I4;
    V_I4(&roles) = 99;
    EXPECT_EQ(failure, auth->get_RolesVar(Bstr(L"D"), Bstr(L"U"), &roles));
    EXPECT_EQ(VT_I4, V_VT(&roles));  // not written
    V_VT(&names) = VT_I4;
    V_VT(&ids) = VT_I4;
    EXPECT_EQ(failure, auth->GetAllRolesVar(&names, &ids));
    EXPECT_EQ(VT_EMPTY, V_VT(&names));  // emptied before the call
    EXPECT_EQ(VT_EMPTY, V_VT(&ids));
    EXPECT_EQ(failure, auth->get_Roles(Bstr(L"D"), Bstr(L"U"), &roles));
    EXPECT_EQ(failure, auth->GetAllRoles(&names, &ids));
    EXPECT_EQ(failure, auth->GetUserRoles(Bstr(L"D"), Bstr(L"U"), &names, &ids));
    KivTest_Unforce("GetRoles");
    KivTest_Unforce("GetAllRoles");

    KivTest_ClearCalls();
    EXPECT_EQ(E_INVALIDARG, auth->GetAllRolesVar(nullptr, &ids));
    EXPECT_EQ(E_INVALIDARG, auth->GetAllRolesVar(&names, nullptr));
    EXPECT_TRUE(LibraryCalls().empty());
    // get_RolesVar finds a null destination only when converting.
    EXPECT_EQ(E_INVALIDARG, auth->get_RolesVar(Bstr(L"D"), Bstr(L"U"), nullptr));
    EXPECT_EQ(1u, LibraryCalls().size());
}

TEST_F(QueriesTest, SecureGroupsPassEverythingThrough)
{
    unique_variant answer;
    MakeStringArray(&answer, {L"Line1"});
    KivTest_ForceVariant("GetSecureGroups", &answer);
    KivTest_ForceVariant("GetSecureGroupMembers", &answer);
    unique_variant names, ids;
    EXPECT_EQ(S_OK, auth->GetSecureGroups(Bstr(L"Plant"), &names, &ids));
    EXPECT_EQ(VT_ARRAY | VT_BSTR, V_VT(&names));
    names.reset();
    ids.reset();
    EXPECT_EQ(S_OK, auth->GetSecureGroupMembers(Bstr(L"Plant"), nullptr, &names, &ids));
    EXPECT_EQ(VT_ARRAY | VT_BSTR, V_VT(&ids));
    std::vector<std::string> expected = {
        "GetSecureGroups(\"Plant\", out, out)",
        "GetSecureGroupMembers(\"Plant\", null, out, out)",
    };
    EXPECT_EQ(expected, LibraryCalls());
}

TEST_F(QueriesTest, SecurityIdFallsBackToTheCatchAllOnTheIdAlone)
{
    struct Case {
        HRESULT firstResult;
        const wchar_t* firstId;  // null: a null BSTR
        HRESULT expectedResult;
        const wchar_t* expectedId;
        bool fallback;
    };
    const HRESULT failure = E_ACCESSDENIED;
    const Case cases[] = {
        {S_OK, L"ID-7", S_OK, L"ID-7", false},
        {failure, L"ID-7", failure, L"ID-7", false},  // a non-empty id keeps its own result
        {S_OK, L"", S_FALSE, L"OTHERS-1", true},
        {failure, nullptr, S_FALSE, L"OTHERS-1", true},
        {S_OK, nullptr, S_FALSE, L"OTHERS-1", true},
    };
    KivTest_ForceSecurityId(L"Others", S_FALSE, L"OTHERS-1");
    for (const Case& c : cases) {
        KivTest_ForceSecurityId(L"Plant", c.firstResult, c.firstId);
        KivTest_ClearCalls();
        BSTR id = nullptr;
        EXPECT_EQ(c.expectedResult,
                  auth->GetSecurityId(Bstr(L"Plant"), Bstr(L"Valves"), Bstr(L"V-12"), &id));
        EXPECT_STREQ(c.expectedId, id);
        SysFreeString(id);
        std::vector<std::string> expected = {"GetSecurityId(\"Plant\", \"Valves\", \"V-12\", out)"};
        if (c.fallback) expected.push_back("GetSecurityId(\"Others\", \"\", \"\", out)");
        EXPECT_EQ(expected, LibraryCalls());
    }
    EXPECT_EQ(E_POINTER, auth->GetSecurityId(Bstr(L"Plant"), nullptr, nullptr, nullptr));
}

TEST_F(QueriesTest, SecurityIdFallbackLeaksNoString)
{
    // The first lookup hands back an allocated empty id, then the catch-all answers.
    KivTest_ForceSecurityId(L"Others", S_OK, L"OTHERS-1");
    KivTest_ForceSecurityId(L"Plant", S_OK, L"");
    BSTR warmUp = nullptr;
    auth->GetSecurityId(Bstr(L"Plant"), Bstr(L"G"), Bstr(L"O"), &warmUp);
    SysFreeString(warmUp);

    MallocSpy spy;
    ASSERT_TRUE(spy.registered());
    {
        Bstr appl(L"Plant"), group(L"G"), object(L"O");
        size_t before = spy.Live();
        BSTR id = nullptr;
        EXPECT_EQ(S_OK, auth->GetSecurityId(appl, group, object, &id));
        EXPECT_STREQ(L"OTHERS-1", id);
        SysFreeString(id);
        EXPECT_EQ(before, spy.Live());
    }
}

TEST_F(QueriesTest, NullOutPointersFailWithoutACrash)
{
    ASSERT_EQ(S_OK, auth->InitCache());
    unique_variant v;
    BSTR text = nullptr;
    const std::pair<const char*, HRESULT> calls[] = {
        {"get_Roles", auth->get_Roles(Bstr(L"PLANT"), Bstr(L"alice"), nullptr)},
        {"GetAllRoles", auth->GetAllRoles(nullptr, nullptr)},
        {"GetAllRoles ids", auth->GetAllRoles(&v, nullptr)},
        {"GetUserRoles", auth->GetUserRoles(Bstr(L"PLANT"), Bstr(L"alice"), nullptr, nullptr)},
        {"GetSecureGroups", auth->GetSecureGroups(Bstr(L"Plant Console"), nullptr, nullptr)},
        {"GetSecureGroupMembers",
         auth->GetSecureGroupMembers(Bstr(L"Plant Console"), Bstr(L"Areas"), nullptr, nullptr)},
        {"checkCache", auth->checkCache(nullptr, &text)},
        {"checkCache time", auth->checkCache(nullptr, nullptr)},
        {"get_RolesColl", auth->get_RolesColl(nullptr, nullptr)},
    };
    SysFreeString(text);
    for (const auto& [name, hr] : calls) EXPECT_TRUE(FAILED(hr)) << name;
}

TEST_F(QueriesTest, CheckCacheHandsOutACountedUnknown)
{
    IUnknown* sentinel = reinterpret_cast<IUnknown*>(0x1234);
    IUnknown* cache = sentinel;
    BSTR time = nullptr;
    KivTest_Force("GetAppCache", E_FAIL);
    EXPECT_EQ(E_FAIL, auth->checkCache(&cache, &time));
    EXPECT_EQ(sentinel, cache);
    SysFreeString(time);
    time = nullptr;
    KivTest_Unforce("GetAppCache");

    ASSERT_EQ(S_OK, auth->InitCache());
    ASSERT_EQ(S_OK, auth->checkCache(&cache, &time));
    ASSERT_NE(nullptr, cache);
    ASSERT_NE(sentinel, cache);
    EXPECT_NE(nullptr, time);
    com_ptr<IUnknown> identity;
    ASSERT_EQ(S_OK, cache->QueryInterface(IID_IUnknown, identity.put_void()));
    EXPECT_EQ(cache, identity.get());
    identity.reset();
    // Each call hands out exactly one counted reference and keeps none.
    ULONG refs = RefCount(cache);
    IUnknown* again = nullptr;
    BSTR time2 = nullptr;
    ASSERT_EQ(S_OK, auth->checkCache(&again, &time2));
    if (again == cache) {
        EXPECT_EQ(refs + 1, RefCount(cache));
    }
    again->Release();
    cache->Release();
    SysFreeString(time2);
    SysFreeString(time);
}

TEST_F(QueriesTest, CheckCacheWithoutACacheObjectKeepsNoTime)
{
    ASSERT_EQ(S_OK, auth->InitCache());
    KivTest_SetAppCacheWithoutObject(TRUE);
    MallocSpy spy;
    ASSERT_TRUE(spy.registered());
    size_t before = spy.Live();
    IUnknown* cache = reinterpret_cast<IUnknown*>(0x1234);
    BSTR time = reinterpret_cast<BSTR>(0x5678);
    EXPECT_EQ(E_POINTER, auth->checkCache(&cache, &time));
    EXPECT_EQ(nullptr, time);  // the library's text is freed, not handed on
    EXPECT_EQ(before, spy.Live());
}

}  // namespace
