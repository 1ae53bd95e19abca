// KivAuth.dll on its own: policy parsing and sources, grants and denials,
// role records, queries, and the test control that the module's tests use.
#include "KIVAuthorize.h"
#include "KivAuthControl.h"
#include "LibraryCalls.h"
#include "ProcAddress.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr HRESULT kUnknownRole = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT kBadRoleId = static_cast<HRESULT>(0x80041006);

const char kReadersId[] = "{11111111-1111-1111-1111-111111111111}";
const char kWritersId[] = "{22222222-2222-2222-2222-222222222222}";

const char kPolicy[] =
    "# a test store\r\n"
    "policy | 1\r\n"
    "role | {11111111-1111-1111-1111-111111111111} | Readers | Read only\r\n"
    "role | {22222222-2222-2222-2222-222222222222} | Writers | Can write | and more\n"
    "role | {33333333-3333-3333-3333-333333333333} | Empty\n"
    "role-user  | Readers | D\\alice\n"
    "role-user  | {22222222-2222-2222-2222-222222222222} | D\\bob\n"
    "role-group | writers | D\\Editors\n"
    "group-member | D\\Editors | D\\carol\n"
    "role-grant | Readers | CN=Doc,O=T | 1\n"
    "role-grant | Writers | CN=Doc,O=T | 6\n"
    "grant | D\\bob  | CN=Doc,O=T | 1\n"
    "grant | D\\dave | CN=Doc,O=T | 0x80000000\n"
    "application    | App | APP-1\n"
    "secure-group   | App | G1 | SG-1\n"
    "secured-object | App | G1 | Obj1 | SO-1\n"
    "secured-object | App | G1 | Obj2 | SO-2\n"
    "application    | Others | OTHERS-ID\n";

// The texts of a VT_ARRAY|VT_BSTR; {"<empty>"} for VT_EMPTY.
std::vector<std::string> Texts(const VARIANT& v)
{
    if (V_VT(&v) == VT_EMPTY) return {"<empty>"};
    std::vector<std::string> texts;
    EXPECT_EQ(VT_ARRAY | VT_BSTR, V_VT(&v));
    if (V_VT(&v) != (VT_ARRAY | VT_BSTR)) return texts;
    BSTR* items;
    SafeArrayAccessData(V_ARRAY(&v), reinterpret_cast<void**>(&items));
    for (ULONG i = 0; i < V_ARRAY(&v)->rgsabound[0].cElements; ++i) {
        char text[512] = {};
        WideCharToMultiByte(CP_ACP, 0, items[i], -1, text, sizeof text, nullptr, nullptr);
        texts.push_back(text);
    }
    SafeArrayUnaccessData(V_ARRAY(&v));
    return texts;
}

struct Variant : VARIANT {
    Variant() { VariantInit(this); }
    ~Variant() { VariantClear(this); }
};

std::string Narrow(const wchar_t* text)
{
    char buffer[512] = {};
    if (text) WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    return buffer;
}

// Found by name, as the module finds it.
long SetSecurityServer(const wchar_t* reserved, const wchar_t* url)
{
    static auto export_ = GetProcAddressAs<SetSecurityServerFn>(GetModuleHandleW(L"KivAuth.dll"),
                                                                "SetSecurityServer");
    if (!export_) {
        ADD_FAILURE() << "no undecorated export SetSecurityServer";
        return E_NOTIMPL;
    }
    return export_(reserved, url);
}

std::string ProcessAccount()
{
    HANDLE token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[256];
    DWORD size;
    GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
    CloseHandle(token);
    char user[256], domain[256];
    DWORD userSize = sizeof user, domainSize = sizeof domain;
    SID_NAME_USE use;
    LookupAccountSidA(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, user, &userSize,
                      domain, &domainSize, &use);
    return std::string(domain) + "\\" + user;
}

// A policy file written as other writers will: a new file renamed over the old.
class PolicyFile {
public:
    PolicyFile()
    {
        wchar_t dir[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        m_path = std::wstring(dir) + L"kivauth-test-policy.txt";
    }
    ~PolicyFile() { DeleteFileW(m_path.c_str()); }

    void Write(const std::string& text) const
    {
        std::wstring fresh = m_path + L".new";
        HANDLE file =
            CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
        ASSERT_TRUE(MoveFileExW(fresh.c_str(), m_path.c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    const std::wstring& path() const { return m_path; }

private:
    std::wstring m_path;
};

class KivAuthTest : public testing::Test {
protected:
    void SetUp() override
    {
        KivTest_Reset();
        KivTest_RecordCalls(TRUE);
    }
    void TearDown() override
    {
        KivTest_Reset();
        EXPECT_EQ(0, KivTest_LiveAppCaches());
    }

    void Load(const char* text = kPolicy, const char* account = "D\\alice")
    {
        ASSERT_EQ(S_OK, KivTest_LoadPolicyText(text));
        ASSERT_TRUE(auth.InitCache(account, 3));
    }

    CKIVAuthorize auth;
};

TEST_F(KivAuthTest, PolicyTextsThatParseAndThatDoNot)
{
    struct Case {
        const char* text;
        bool good;
    };
    const Case cases[] = {
        {kPolicy, true},
        {"policy|1", true},
        {"\xEF\xBB\xBF# comment\n\n  Policy | 1  \r\nrole|{AAAAAAAA-AAAA-AAAA-AAAA-AAAAAAAAAAAA}|R",
         true},
        {"policy | 1\ngrant | D\\u | CN=X | 4294967295", true},
        {"policy | 1\ngrant | D\\u | CN=X | 0xFFFFFFFF", true},
        {"", false},
        {"# only a comment\n", false},
        {"policy | 2", false},
        {"role | {11111111-1111-1111-1111-111111111111} | R\npolicy | 1", false},
        {"policy | 1\nrol | {11111111-1111-1111-1111-111111111111} | R", false},
        {"policy | 1\nrole | 11111111-1111-1111-1111-111111111111 | R", false},
        {"policy | 1\nrole | {11111111-1111-1111-1111-11111111111G} | R", false},
        {"policy | 1\nrole | {11111111-1111-1111-1111-111111111111} |  ", false},
        {"policy | 1\nrole | {11111111-1111-1111-1111-111111111111}", false},
        {"policy | 1\nrole | {11111111-1111-1111-1111-111111111111} | R\n"
         "role | {11111111-1111-1111-1111-111111111111} | S",
         false},
        {"policy | 1\nrole | {11111111-1111-1111-1111-111111111111} | R\n"
         "role | {22222222-2222-2222-2222-222222222222} | r",
         false},
        {"policy | 1\nrole-user | Nobody | D\\u", false},
        {"policy | 1\nrole-user | R | D\\u\nrole | {11111111-1111-1111-1111-111111111111} | R",
         false},
        {"policy | 1\ngrant | D\\u | CN=X | 0x100000000", false},
        {"policy | 1\ngrant | D\\u | CN=X | -1", false},
        {"policy | 1\ngrant | D\\u | CN=X | 3 | 4", false},
        {"policy | 1\ngrant | D\\u | | 3", false},
        {"policy | 1\nsecured-object | App | G | O | ID", false},
        {"policy | 1\napplication | A | 1\napplication | A | 2", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.good ? S_OK : E_INVALIDARG, KivTest_LoadPolicyText(c.text));
    }
    EXPECT_EQ(E_INVALIDARG, KivTest_LoadPolicyText(nullptr));
}

// Names decide who holds what: a UTF-8 policy is converted to the code page
// exactly, or its load fails naming the line. By best fit "\x0101lice" was
// "alice", and with the default character two Cyrillic names were one.
TEST_F(KivAuthTest, Utf8PoliciesConvertExactlyOrFailNamingTheLine)
{
    struct Case {
        const char* account;  // UTF-8, granted Read on CN=Doc by the policy
        const char* error;    // what the load says, or null when it loads
        const char* granted;  // an account the library then grants (code page 1252)
        const char* denied;   // and one it denies
    };
    const char* const kHolds = ": a character that the system code page cannot hold";
    const Case cases[] = {
        {"D\\caf\xC3\xA9", nullptr, "D\\caf\xE9", "D\\cafe"},
        {"D\\\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD", kHolds, nullptr, "D\\????"},
        {"D\\\xC4\x81lice", kHolds, nullptr, "D\\alice"},
        {"D\\\xEF\xBD\x81lice", kHolds, nullptr, "D\\alice"},
        {"D\\a\xC3\x28", ": not valid UTF-8", nullptr, "D\\a?("},
        {"D\\\xC0\xAFx", ": not valid UTF-8", nullptr, "D\\/x"},
        {"D\\\xED\xA0\x80x", ": not valid UTF-8", nullptr, "D\\?x"},
    };
    PolicyFile file;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.account);
        file.Write(std::string("\xEF\xBB\xBFpolicy | 1\n# a comment\ngrant | ") + c.account +
                   " | CN=Doc | 1\ngrant | D\\alice | CN=Other | 1\n");
        SetSecurityServer(L"", file.path().c_str());
        EXPECT_EQ(!c.error, auth.InitCache("D\\root", 3));
        if (c.error) {
            VARIANT* errors = auth.GetLastVokErrors();
            ASSERT_EQ(VT_ARRAY | VT_BSTR, V_VT(errors));
            BSTR* items = nullptr;
            SafeArrayAccessData(V_ARRAY(errors), reinterpret_cast<void**>(&items));
            EXPECT_NE(std::string::npos, Narrow(items[0]).find(std::string("line 3") + c.error))
                << Narrow(items[0]);
            SafeArrayUnaccessData(V_ARRAY(errors));
        }
        if (c.granted) {
            EXPECT_TRUE(auth.CheckAccess(c.granted, "CN=Doc", 1));
        }
        EXPECT_FALSE(auth.CheckAccess(c.denied, "CN=Doc", 1));
        // Nothing of a policy that failed to load is held.
        EXPECT_EQ(!c.error, auth.CheckAccess("D\\alice", "CN=Other", 1));
        auth.ClearCache(0xFFFF);
    }
    SetSecurityServer(L"", L"");
}

TEST_F(KivAuthTest, GrantNeedsEveryBitFromAccountAndRoles)
{
    Load();
    struct Case {
        const char* account;
        const char* dn;
        unsigned long permission;
        bool granted;
    };
    const Case cases[] = {
        {"D\\alice", "CN=Doc,O=T", 1, true},   // role Readers
        {"D\\alice", "CN=Doc,O=T", 3, false},  // not every bit
        {"d\\ALICE", "cn=doc,o=t", 1, true},   // case does not matter
        {"D\\bob", "CN=Doc,O=T", 7, true},     // own 1 and Writers' 6 together
        {"D\\bob", "CN=Doc,O=T", 8, false},
        {"D\\carol", "CN=Doc,O=T", 6, true},  // Writers through D\Editors
        {"D\\carol", "CN=Doc,O=T", 1, false},
        {"D\\Editors", "CN=Doc,O=T", 2, false},  // a group is no account
        {"D\\dave", "CN=Doc,O=T", 0x80000000, true},
        {"D\\alice", "CN=Other", 1, false},
        {"D\\nobody", "CN=Doc,O=T", 1, false},
        {"", "CN=Doc,O=T", 1, false},
        {"D\\bob", "CN=Doc,O=T", 0, false},  // nothing asked, nothing granted
        {"D\\bob", "", 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.account) + " " + c.dn + " " + std::to_string(c.permission));
        EXPECT_EQ(c.granted, auth.CheckAccess(c.account, c.dn, c.permission));
    }
}

TEST_F(KivAuthTest, RoleAccessByNameOrId)
{
    Load();
    struct Case {
        const char* role;
        unsigned long permission;
        bool granted;
    };
    const Case cases[] = {
        {"Readers", 1, true},  {"READERS", 1, true},
        {"Readers", 2, false}, {"Writers", 6, true},
        {"Writers", 7, false}, {kWritersId, 4, true},
        {"Empty", 1, false},   {"Nobody", 1, false},
        {"Readers", 0, false}, {"{22222222-2222-2222-2222-22222222222}", 4, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.role);
        EXPECT_EQ(c.granted, auth.CheckRoleAccess(c.role, "CN=Doc,O=T", c.permission));
    }
}

TEST_F(KivAuthTest, NoCacheAndNullInputsDeny)
{
    ASSERT_EQ(S_OK, KivTest_LoadPolicyText(kPolicy));
    auto checks = [this] {
        return auth.CheckAccess("CN=Doc,O=T", 1) || auth.CheckAccess("D\\alice", "CN=Doc,O=T", 1) ||
               auth.CheckRoleAccess("Readers", "CN=Doc,O=T", 1);
    };
    EXPECT_FALSE(checks());  // before InitCache
    bool refreshed = true;
    EXPECT_FALSE(auth.RefreshCache(refreshed, 0xFFFF));

    ASSERT_TRUE(auth.InitCache("D\\alice", 3));
    EXPECT_TRUE(checks());
    EXPECT_FALSE(auth.CheckAccess(nullptr, 1));
    EXPECT_FALSE(auth.CheckAccess("D\\alice", nullptr, 1));
    EXPECT_FALSE(auth.CheckRoleAccess(nullptr, "CN=Doc,O=T", 1));
    EXPECT_FALSE(auth.CheckRoleAccess("Readers", nullptr, 1));

    EXPECT_TRUE(auth.ClearCache(0xFFFF));
    EXPECT_FALSE(checks());
    EXPECT_TRUE(auth.ClearCache(0xFFFF));  // twice is harmless

    // Queries load a cache on demand; such a cache never grants.
    Variant names, ids;
    EXPECT_EQ(S_OK, auth.GetAllRoles(&names, &ids));
    EXPECT_EQ(3u, Texts(names).size());
    EXPECT_FALSE(checks());
    EXPECT_TRUE(auth.RefreshCache(refreshed, 0xFFFF));
    EXPECT_FALSE(checks());

    // A query whose policy cannot be read fails.
    EXPECT_TRUE(auth.ClearCache(0xFFFF));
    ASSERT_EQ(S_OK, SetSecurityServer(L"", L"Z:\\no such folder\\policy.txt"));
    CKIVRole* role = reinterpret_cast<CKIVRole*>(1);
    EXPECT_EQ(E_FAIL, auth.GetRoleInfo("Readers", &role));
    EXPECT_EQ(nullptr, role);
    EXPECT_NE(std::string::npos, Texts(*auth.GetLastVokErrors()).at(0).find("cannot open"));
}

TEST_F(KivAuthTest, NullAccountIsTheCachedOneOrTheProcessUser)
{
    std::string self = ProcessAccount();
    std::string policy = std::string(kPolicy) + "role-user | Empty | " + self + "\n" + "grant | " +
                         self + " | CN=Own | 5\n";
    ASSERT_EQ(S_OK, KivTest_LoadPolicyText(policy.c_str()));

    ASSERT_TRUE(auth.InitCache("D\\bob", 3));
    EXPECT_TRUE(auth.CheckAccess("CN=Doc,O=T", 7));
    EXPECT_TRUE(auth.CheckAccess(nullptr, "CN=Doc,O=T", 7));
    EXPECT_FALSE(auth.CheckAccess("CN=Own", 5));

    for (bool plain : {true, false}) {
        SCOPED_TRACE(plain ? "InitCache()" : "InitCache(null, 3)");
        ASSERT_TRUE(plain ? auth.InitCache() : auth.InitCache(nullptr, 3));
        EXPECT_TRUE(auth.CheckAccess("CN=Own", 5));
        EXPECT_FALSE(auth.CheckAccess("CN=Doc,O=T", 1));
        Variant roles;
        EXPECT_EQ(S_OK, auth.GetRoles(nullptr, &roles));
        EXPECT_EQ(std::vector<std::string>{"Empty"}, Texts(roles));
    }
}

TEST_F(KivAuthTest, RoleQueries)
{
    Load();
    struct Case {
        const char* account;
        std::vector<std::string> names;
        std::vector<std::string> ids;
    };
    const Case cases[] = {
        {"D\\alice", {"Readers"}, {kReadersId}},
        {"D\\carol", {"Writers"}, {kWritersId}},
        {nullptr, {"Readers"}, {kReadersId}},  // the cache's account
        {"D\\nobody", {"<empty>"}, {"<empty>"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.account ? c.account : "null");
        Variant roles, names, ids;
        EXPECT_EQ(S_OK, auth.GetRoles(c.account, &roles));
        EXPECT_EQ(c.names, Texts(roles));
        EXPECT_EQ(S_OK, auth.GetRoles(c.account, &names, &ids));
        EXPECT_EQ(c.names, Texts(names));
        EXPECT_EQ(c.ids, Texts(ids));
    }
    Variant names, ids;
    EXPECT_EQ(S_OK, auth.GetAllRoles(&names, &ids));
    EXPECT_EQ((std::vector<std::string>{"Readers", "Writers", "Empty"}), Texts(names));
    EXPECT_EQ(3u, Texts(ids).size());
    EXPECT_EQ(E_POINTER, auth.GetAllRoles(&names, nullptr));
    EXPECT_EQ(V_VT(&names), VT_EMPTY);
    EXPECT_EQ(E_POINTER, auth.GetRoles("D\\alice", nullptr));
}

TEST_F(KivAuthTest, SecureGroupsAndSecurityIds)
{
    Load();
    Variant names, ids;
    EXPECT_EQ(S_OK, auth.GetSecureGroups(const_cast<wchar_t*>(L"app"), &names, &ids));
    EXPECT_EQ(std::vector<std::string>{"G1"}, Texts(names));
    EXPECT_EQ(std::vector<std::string>{"SG-1"}, Texts(ids));
    VariantClear(&names);
    VariantClear(&ids);
    EXPECT_EQ(S_OK, auth.GetSecureGroupMembers(const_cast<wchar_t*>(L"App"),
                                               const_cast<wchar_t*>(L"g1"), &names, &ids));
    EXPECT_EQ((std::vector<std::string>{"Obj1", "Obj2"}), Texts(names));
    EXPECT_EQ((std::vector<std::string>{"SO-1", "SO-2"}), Texts(ids));
    VariantClear(&names);
    EXPECT_EQ(S_OK, auth.GetSecureGroups(const_cast<wchar_t*>(L"Nope"), &names, &ids));
    EXPECT_EQ(VT_EMPTY, V_VT(&names));

    struct Case {
        const wchar_t* application;
        const wchar_t* group;
        const wchar_t* object;
        HRESULT result;
        const wchar_t* id;
    };
    const Case cases[] = {
        {L"App", L"G1", L"Obj2", S_OK, L"SO-2"},
        {L"App", L"G1", L"", S_OK, L"SG-1"},
        {L"App", L"", L"", S_OK, L"APP-1"},
        {L"App", L"", L"obj1", S_OK, L"SO-1"},
        {L"Others", L"", L"", S_OK, L"OTHERS-ID"},
        {L"App", L"G1", L"Nope", S_FALSE, nullptr},
        {L"Nope", L"", L"", S_FALSE, nullptr},
        {nullptr, nullptr, nullptr, S_FALSE, nullptr},
        // Look-alikes name other applications, groups and objects: none.
        {L"\xFF21pp", L"", L"", S_FALSE, nullptr},
        {L"App", L"G\xFF11", L"", S_FALSE, nullptr},
        {L"App", L"",
         L"\x014C"
         L"bj1",
         S_FALSE, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.application) + "/" + Narrow(c.group) + "/" + Narrow(c.object));
        wchar_t* id = reinterpret_cast<wchar_t*>(1);
        EXPECT_EQ(c.result, auth.GetSecurityId(const_cast<wchar_t*>(c.application),
                                               const_cast<wchar_t*>(c.group),
                                               const_cast<wchar_t*>(c.object), &id));
        if (c.id)
            EXPECT_STREQ(c.id, id);
        else
            EXPECT_EQ(nullptr, id);
        SysFreeString(id);
    }
}

TEST_F(KivAuthTest, RoleRecordsAsTheModuleReadsThem)
{
    std::string longText(300, 'x');
    std::string policy = std::string(kPolicy) + "role | {44444444-4444-4444-4444-444444444444} | " +
                         longText + " | " + longText +
                         "\nrole-user | {44444444-4444-4444-4444-444444444444} | " + longText;
    Load(policy.c_str());

    CKIVRoleList* list = nullptr;
    wchar_t* time = nullptr;
    ASSERT_EQ(S_OK, auth.GetRolesCache(&list, &time));
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(19u, SysStringLen(time));  // "YYYY-MM-DD hh:mm:ss"
    SysFreeString(time);
    ASSERT_EQ(4, list->count);

    // Read at the byte offsets of the records, as the module does: the
    // 32-bit layout, with pointers of 8 bytes aligned to 8 on x64.
#ifdef _WIN64
    const struct {
        size_t listRoles, listCount, users, userCount, groups, groupCount;
    } at = {8, 16, 776, 784, 792, 800};
#else
    const struct {
        size_t listRoles, listCount, users, userCount, groups, groupCount;
    } at = {4, 8, 776, 780, 788, 792};
#endif
    const BYTE* listBytes = reinterpret_cast<const BYTE*>(list);
    EXPECT_EQ(4, *reinterpret_cast<const LONG*>(listBytes + at.listCount));
    const BYTE* const* roleBlock =
        *reinterpret_cast<const BYTE* const* const*>(listBytes + at.listRoles);
    const BYTE* writers = roleBlock[1];
    EXPECT_EQ(reinterpret_cast<const BYTE*>(list->roles[1]), writers);
    EXPECT_STREQ(kWritersId, reinterpret_cast<const char*>(writers + 4));
    EXPECT_STREQ("Writers", reinterpret_cast<const char*>(writers + 260));
    EXPECT_STREQ("Can write | and more", reinterpret_cast<const char*>(writers + 516));
    EXPECT_EQ(1, *reinterpret_cast<const LONG*>(writers + at.userCount));
    EXPECT_EQ(1, *reinterpret_cast<const LONG*>(writers + at.groupCount));
    const BYTE* user =
        *reinterpret_cast<BYTE* const*>(*reinterpret_cast<BYTE* const*>(writers + at.users));
    const BYTE* group =
        *reinterpret_cast<BYTE* const*>(*reinterpret_cast<BYTE* const*>(writers + at.groups));
    EXPECT_STREQ("D\\bob", reinterpret_cast<const char*>(user + 4));
    EXPECT_STREQ("D\\Editors", reinterpret_cast<const char*>(group + 4));

    const CKIVRole* empty = list->roles[2];
    EXPECT_EQ(0, empty->userCount);
    EXPECT_EQ(0, empty->groupCount);
    EXPECT_STREQ("", empty->description);

    const CKIVRole* cut = list->roles[3];
    EXPECT_EQ(255u, strlen(cut->name));
    EXPECT_EQ(255u, strlen(cut->description));
    EXPECT_EQ(255u, strlen(cut->users[0]->name));

    // The same record whether asked for by list, identifier or name.
    CKIVRole* role = nullptr;
    EXPECT_EQ(S_OK, auth.GetRoleInfo(kWritersId, &role));
    EXPECT_EQ(list->roles[1], role);
}

TEST_F(KivAuthTest, RoleInfoLookups)
{
    Load();
    struct Case {
        const char* text;
        HRESULT result;
        const char* name;  // of the record
    };
    const Case cases[] = {
        {kReadersId, S_OK, "Readers"},
        {"{11111111-1111-1111-1111-11111111111a}", kUnknownRole, nullptr},
        {"{aaaaaaaa-2222-2222-2222-222222222222}", kUnknownRole, nullptr},
        {"{22222222-2222-2222-2222-222222222222}", S_OK, "Writers"},
        {"writers", S_OK, "Writers"},
        {"Nobody", kUnknownRole, nullptr},
        {"{not a guid}", kBadRoleId, nullptr},
        {"{11111111-1111-1111-1111-11111111111}", kBadRoleId, nullptr},
        {"{", kBadRoleId, nullptr},
        {nullptr, E_INVALIDARG, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "null");
        CKIVRole* role = reinterpret_cast<CKIVRole*>(1);
        EXPECT_EQ(c.result, auth.GetRoleInfo(c.text, &role));
        if (c.name) {
            ASSERT_NE(nullptr, role);
            EXPECT_STREQ(c.name, role->name);
        } else {
            EXPECT_EQ(nullptr, role);
        }
    }
    EXPECT_EQ(E_POINTER, auth.GetRoleInfo("Readers", nullptr));
}

TEST_F(KivAuthTest, RecordsLiveUntilARefreshBringsNews)
{
    PolicyFile file;
    file.Write(kPolicy);
    ASSERT_EQ(S_OK, SetSecurityServer(L"", file.path().c_str()));
    ASSERT_TRUE(auth.InitCache("D\\alice", 3));
    CKIVRole* before = nullptr;
    ASSERT_EQ(S_OK, auth.GetRoleInfo("Readers", &before));

    // Unchanged source: nothing new, the record stays.
    bool refreshed = true;
    EXPECT_TRUE(auth.RefreshCache(refreshed, 0xFFFF));
    EXPECT_FALSE(refreshed);
    CKIVRole* role = nullptr;
    EXPECT_EQ(S_OK, auth.GetRoleInfo("Readers", &role));
    EXPECT_EQ(before, role);

    // Bad content: a failure, and the earlier cache and its records stay.
    file.Write("policy | 1\nrole | {bad} | Readers\n");
    refreshed = true;
    EXPECT_FALSE(auth.RefreshCache(refreshed, 2));
    EXPECT_FALSE(auth.InitCache("D\\alice", 3));
    EXPECT_STREQ("Read only", before->description);
    EXPECT_TRUE(auth.CheckAccess("CN=Doc,O=T", 1));
    Variant errors;
    VariantCopy(&errors, auth.GetLastVokErrors());
    ASSERT_EQ(1u, Texts(errors).size());
    EXPECT_NE(std::string::npos, Texts(errors)[0].find("line 2: bad role identifier"));

    // Changes written by another program appear with the next refresh.
    std::string changed = kPolicy;
    changed.replace(changed.find("Read only"), 9, "Changed");
    changed.replace(changed.find("CN=Doc,O=T | 1"), 14, "CN=Doc,O=T | 3");
    file.Write(changed);
    refreshed = true;
    EXPECT_TRUE(auth.RefreshCache(refreshed, 2));
    EXPECT_TRUE(refreshed);
    EXPECT_EQ(VT_EMPTY, V_VT(auth.GetLastVokErrors()));
    EXPECT_EQ(S_OK, auth.GetRoleInfo("Readers", &role));
    EXPECT_STREQ("Changed", role->description);
    EXPECT_TRUE(auth.CheckAccess("CN=Doc,O=T", 3));
}

TEST_F(KivAuthTest, EachObjectHasItsOwnCache)
{
    Load();
    CKIVAuthorize other;
    EXPECT_FALSE(other.CheckAccess("D\\alice", "CN=Doc,O=T", 1));
    ASSERT_TRUE(other.InitCache());
    ASSERT_EQ(S_OK, KivTest_LoadPolicyText("policy | 1"));
    bool refreshed = true;
    EXPECT_TRUE(other.RefreshCache(refreshed, 0xFFFF));
    EXPECT_TRUE(refreshed);
    EXPECT_FALSE(other.CheckAccess("D\\alice", "CN=Doc,O=T", 1));
    EXPECT_TRUE(auth.CheckAccess("D\\alice", "CN=Doc,O=T", 1));
}

TEST_F(KivAuthTest, PolicySources)
{
    PolicyFile file;
    file.Write(std::string(kPolicy) + "role | {55555555-5555-5555-5555-555555555555} | FromFile\n");
    std::wstring path = file.path();
    std::wstring slashes = path;
    for (wchar_t& c : slashes)
        if (c == L'\\') c = L'/';
    std::wstring escaped = slashes;
    escaped.replace(escaped.find(L"kivauth-"), 8, L"kivauth%2D");

    struct Case {
        std::wstring address;
        HRESULT result;
        const char* role;  // a role that tells which policy was loaded
    };
    // http: addresses: kivauth_http_test, against a server.
    const Case cases[] = {
        {path, S_OK, "FromFile"},
        {L"file:" + path, S_OK, "FromFile"},
        {L"file:///" + slashes, S_OK, "FromFile"},
        {L"FILE://localhost/" + escaped, S_OK, "FromFile"},
        {L"", S_OK, "Operators"},
        {L"file:", E_INVALIDARG, "Operators"},
        {L"file:///C:/bad%zzname", E_INVALIDARG, "Operators"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.address.c_str()));
        SetSecurityServer(L"", L"");
        EXPECT_EQ(c.result, SetSecurityServer(L"", c.address.c_str()));
        ASSERT_TRUE(auth.InitCache("D\\alice", 3));
        CKIVRole* role = nullptr;
        EXPECT_EQ(S_OK, auth.GetRoleInfo(c.role, &role));
    }
    SetSecurityServer(L"", (path + L".missing").c_str());
    EXPECT_FALSE(auth.InitCache("D\\alice", 3));

    // A policy text and a server file: the later one counts.
    ASSERT_EQ(S_OK, KivTest_LoadPolicyText("policy | 1"));
    ASSERT_TRUE(auth.InitCache("D\\alice", 3));
    CKIVRole* role = nullptr;
    EXPECT_EQ(kUnknownRole, auth.GetRoleInfo("FromFile", &role));
    SetSecurityServer(L"", path.c_str());
    ASSERT_TRUE(auth.InitCache("D\\alice", 3));
    EXPECT_EQ(S_OK, auth.GetRoleInfo("FromFile", &role));
}

TEST_F(KivAuthTest, EnvironmentAndRegistryNameThePolicyForScripts)
{
    PolicyFile file;
    file.Write(std::string(kPolicy) + "role | {55555555-5555-5555-5555-555555555555} | FromFile\n");
    // Other tests share the prefix's registry and this process's environment.
    struct Cleanup {
        ~Cleanup()
        {
            SetEnvironmentVariableW(L"KIVAUTH_POLICY", nullptr);
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quarnex\\VOK\\KivAuth");
        }
    } cleanup;
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quarnex\\VOK\\KivAuth",
                                             0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
    const std::wstring& path = file.path();
    RegSetValueExW(key, L"PolicyFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);

    struct Case {
        BOOL machine;
        const wchar_t* environment;
        bool loads;
        bool fromFile;
    };
    std::wstring missing = path + L".missing";
    const Case cases[] = {
        {FALSE, nullptr, true, false},          // after a reset only the default policy counts
        {TRUE, nullptr, true, true},            // the registry value
        {TRUE, missing.c_str(), false, false},  // the environment comes first
        {TRUE, path.c_str(), true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.environment ? Narrow(c.environment) : "no environment");
        KivTest_UseMachinePolicy(c.machine);
        SetEnvironmentVariableW(L"KIVAUTH_POLICY", c.environment);
        ASSERT_EQ(c.loads, auth.InitCache("D\\alice", 3));
        if (!c.loads) continue;
        CKIVRole* role = nullptr;
        EXPECT_EQ(c.fromFile ? S_OK : kUnknownRole, auth.GetRoleInfo("FromFile", &role));
    }
}

TEST_F(KivAuthTest, DefaultPolicyIsThePlant)
{
    ASSERT_TRUE(auth.InitCache("PLANT\\alice", 3));
    EXPECT_TRUE(auth.CheckAccess("CN=Pump P-101,OU=Area 1,O=Plant", 3));
    EXPECT_FALSE(auth.CheckAccess("CN=Pump P-101,OU=Area 1,O=Plant", 4));
    EXPECT_TRUE(auth.CheckRoleAccess("Supervisors", "CN=Recipes,OU=Batch,O=Plant", 7));
    wchar_t* id = nullptr;
    EXPECT_EQ(S_OK, auth.GetSecurityId(const_cast<wchar_t*>(L"Others"), const_cast<wchar_t*>(L""),
                                       const_cast<wchar_t*>(L""), &id));
    EXPECT_STREQ(L"SID-0000", id);
    SysFreeString(id);
}

TEST_F(KivAuthTest, AppCacheIsACountedObject)
{
    Load();
    IKivXml2* cache = nullptr;
    wchar_t* time = nullptr;
    ASSERT_EQ(S_OK, auth.GetAppCache(&cache, &time));
    EXPECT_EQ(1, KivTest_LiveAppCaches());
    EXPECT_EQ(19u, SysStringLen(time));
    IUnknown* unknown = nullptr;
    EXPECT_EQ(S_OK, cache->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(static_cast<IUnknown*>(cache), unknown);
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, cache->QueryInterface(IID_IDispatch, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(1u, unknown->Release());
    EXPECT_EQ(0u, cache->Release());
    SysFreeString(time);
    EXPECT_EQ(E_POINTER, auth.GetAppCache(nullptr, &time));
    EXPECT_EQ(nullptr, time);
}

TEST_F(KivAuthTest, ForcedResults)
{
    // No cache: everything real would fail or deny.
    KivTest_Force("CheckAccess", 1);
    KivTest_Force("CheckRoleAccess", 7);
    KivTest_Force("InitCache", 0);
    EXPECT_TRUE(auth.CheckAccess(nullptr, 1));
    EXPECT_TRUE(auth.CheckAccess("x", nullptr, 0));
    EXPECT_TRUE(auth.CheckRoleAccess(nullptr, nullptr, 0));
    EXPECT_FALSE(auth.InitCache());
    KivTest_Unforce("CheckAccess");
    EXPECT_FALSE(auth.CheckAccess("CN=Doc,O=T", 1));

    Variant slot;
    V_VT(&slot) = VT_I4;
    V_I4(&slot) = 42;
    KivTest_Force("GetRoles", E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, auth.GetRoles("D\\u", &slot));
    EXPECT_EQ(42, V_I4(&slot));  // out-values left as they are
    KivTest_Unforce("GetRoles");

    Variant answer;
    V_VT(&answer) = VT_BSTR;
    V_BSTR(&answer) = SysAllocString(L"forced");
    KivTest_ForceVariant("GetSecureGroups", &answer);
    Variant names, ids;
    EXPECT_EQ(S_OK, auth.GetSecureGroups(nullptr, &names, &ids));
    EXPECT_STREQ(L"forced", V_BSTR(&ids));
    KivTest_ForceVariant("GetSecureGroups", nullptr);
    EXPECT_EQ(S_OK, auth.GetSecureGroups(nullptr, &names, &ids));  // a null BSTR is empty
    EXPECT_EQ(VT_EMPTY, V_VT(&ids));

    // A forced array comes back element for element, null strings included.
    Variant array;
    V_VT(&array) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&array) = SafeArrayCreateVector(VT_BSTR, 5, 2);
    LONG index = 5;
    BSTR text = SysAllocString(L"first");
    SafeArrayPutElement(V_ARRAY(&array), &index, text);
    SysFreeString(text);
    KivTest_ForceVariant("GetAllRoles", &array);
    Variant roleNames, roleIds;
    EXPECT_EQ(S_OK, auth.GetAllRoles(&roleNames, &roleIds));
    BSTR* items;
    ASSERT_EQ(VT_ARRAY | VT_BSTR, V_VT(&roleIds));
    EXPECT_EQ(5, V_ARRAY(&roleIds)->rgsabound[0].lLbound);
    SafeArrayAccessData(V_ARRAY(&roleIds), reinterpret_cast<void**>(&items));
    EXPECT_STREQ(L"first", items[0]);
    EXPECT_EQ(nullptr, items[1]);
    SafeArrayUnaccessData(V_ARRAY(&roleIds));

    KivTest_ForceSecurityId(L"App", E_FAIL, L"");
    wchar_t* id = nullptr;
    EXPECT_EQ(E_FAIL, auth.GetSecurityId(const_cast<wchar_t*>(L"App"), nullptr, nullptr, &id));
    EXPECT_STREQ(L"", id);
    SysFreeString(id);
    EXPECT_EQ(E_POINTER,
              auth.GetSecurityId(const_cast<wchar_t*>(L"App"), nullptr, nullptr, nullptr));
    KivTest_ForceSecurityId(nullptr, 0, nullptr);

    KivTest_Unforce("InitCache");
    Load();
    KivTest_SetRefreshFlagCleared(TRUE);
    bool refreshed = true;
    EXPECT_TRUE(auth.RefreshCache(refreshed, 0xFFFF));
    EXPECT_FALSE(refreshed);
    KivTest_SetNullRoleList(TRUE);
    CKIVRoleList* list = reinterpret_cast<CKIVRoleList*>(1);
    wchar_t* time = nullptr;
    EXPECT_EQ(S_OK, auth.GetRolesCache(&list, &time));
    EXPECT_EQ(nullptr, list);
    SysFreeString(time);
    KivTest_SetRoleInfoWithoutRecord(TRUE);
    CKIVRole* role = reinterpret_cast<CKIVRole*>(1);
    EXPECT_EQ(S_OK, auth.GetRoleInfo("Readers", &role));
    EXPECT_EQ(nullptr, role);

    VARIANT errors;
    V_VT(&errors) = VT_I4;
    V_I4(&errors) = 5;
    KivTest_SetLastErrors(&errors);
    EXPECT_EQ(5, V_I4(auth.GetLastVokErrors()));
    KivTest_Reset();
    EXPECT_EQ(VT_EMPTY, V_VT(auth.GetLastVokErrors()));
}

TEST_F(KivAuthTest, CallLog)
{
    Variant v1, v2;
    bool flag = true;
    wchar_t* id = nullptr;
    IKivXml2* cache = nullptr;
    CKIVRoleList* list = nullptr;
    CKIVRole* role = nullptr;
    wchar_t* appTime = nullptr;
    wchar_t* rolesTime = nullptr;
    wchar_t app[] = L"A\"pp", empty[] = L"";
    struct Case {
        std::function<void()> call;
        const char* line;
    };
    const Case cases[] = {
        {[&] { auth.InitCache(); }, "InitCache()"},
        {[&] { auth.InitCache(nullptr, 3); }, "InitCache(null, 3)"},
        {[&] { auth.InitCache("D\\u", 3); }, "InitCache(\"D\\\\u\", 3)"},
        {[&] { auth.RefreshCache(flag, 0xFFFF); }, "RefreshCache(true, 65535)"},
        {[&] {
             flag = false;
             auth.RefreshCache(flag, 2);
         },
         "RefreshCache(false, 2)"},
        {[&] { auth.ClearCache(0xFFFF); }, "ClearCache(65535)"},
        {[&] { auth.CheckAccess("CN=Doc", 3); }, "CheckAccess(\"CN=Doc\", 3)"},
        {[&] { auth.CheckAccess(nullptr, "", 0xFFFFFFFF); }, "CheckAccess(null, \"\", 4294967295)"},
        {[&] { auth.CheckRoleAccess("R", nullptr, 1); }, "CheckRoleAccess(\"R\", null, 1)"},
        {[&] { auth.GetRoles(nullptr, &v1); }, "GetRoles(null, out)"},
        {[&] { auth.GetRoles("", &v1, &v2); }, "GetRoles(\"\", out, out)"},
        {[&] { auth.GetAllRoles(nullptr, nullptr); }, "GetAllRoles(out, out)"},
        {[&] { auth.GetSecureGroups(app, &v1, &v2); }, "GetSecureGroups(\"A\\\"pp\", out, out)"},
        {[&] { auth.GetSecureGroupMembers(app, nullptr, &v1, &v2); },
         "GetSecureGroupMembers(\"A\\\"pp\", null, out, out)"},
        {[&] { auth.GetSecurityId(app, empty, nullptr, &id); },
         "GetSecurityId(\"A\\\"pp\", \"\", null, out)"},
        {[&] { auth.GetLastVokErrors(); }, "GetLastVokErrors()"},
        {[&] { auth.SetHTTPTimeout(-5); }, "SetHTTPTimeout(-5)"},
        {[&] { auth.GetAppCache(&cache, &appTime); }, "GetAppCache(out, out)"},
        {[&] { auth.GetRolesCache(&list, &rolesTime); }, "GetRolesCache(out, out)"},
        {[&] { auth.GetRoleInfo("{x}", &role); }, "GetRoleInfo(\"{x}\", out)"},
        {[&] { SetSecurityServer(nullptr, L"file:policy.txt"); },
         "SetSecurityServer(null, \"file:policy.txt\")"},
    };
    for (const Case& c : cases) {
        KivTest_ClearCalls();
        c.call();
        EXPECT_EQ(std::vector<std::string>{c.line}, LibraryCalls());
    }
    if (cache) cache->Release();
    SysFreeString(appTime);
    SysFreeString(rolesTime);
    SysFreeString(id);
    EXPECT_EQ(-5, KivTest_HttpTimeout());
    wchar_t server[8];
    EXPECT_EQ(15, KivTest_SecurityServer(server, 8));
    EXPECT_STREQ(L"file:po", server);

    char line[5];
    EXPECT_EQ(42, KivTest_GetCall(0, line, sizeof line));
    EXPECT_STREQ("SetS", line);
    EXPECT_EQ(-1, KivTest_GetCall(1, line, sizeof line));
    EXPECT_EQ(-1, KivTest_GetCall(-1, line, sizeof line));
    KivTest_Reset();
    EXPECT_EQ(0, KivTest_CallCount());
    EXPECT_EQ(-1, KivTest_SecurityServer(server, 8));
    EXPECT_EQ(0, KivTest_HttpTimeout());
}

// Grants of many roles on one DN, given in any order and more than once:
// each role holds what its lines add up to, and an account what its own
// grants and all its roles add up to.
TEST_F(KivAuthTest, RoleGrantsOnOneDnAddUpInAnyOrder)
{
    std::string text = "policy | 1\n";
    for (int i = 0; i < 10; ++i)
        text += "role | {0000000" + std::to_string(i) + "-0000-4000-8000-000000000000} | R" +
                std::to_string(i) + "\n";
    text +=
        "role-user | R5 | D\\u\nrole-user | r2 | D\\u\n"
        "role-grant | R5 | CN=X | 1\nrole-grant | R2 | CN=X | 2\nrole-grant | R9 | CN=X | 8\n"
        "role-grant | r5 | CN=X | 4\nrole-grant | R2 | cn=x | 16\nrole-grant | R0 | CN=Y | 1\n"
        "grant | D\\u | CN=X | 0x100\n";
    Load(text.c_str(), "D\\u");
    struct Case {
        const char* role;
        unsigned long permission;
        bool granted;
    };
    const Case cases[] = {
        {"R5", 5, true}, {"R5", 7, false}, {"R2", 18, true}, {"R2", 1, false},
        {"R9", 8, true}, {"R0", 1, false}, {"R1", 1, false}, {"R0", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.role) + " " + std::to_string(c.permission));
        EXPECT_EQ(c.granted, auth.CheckRoleAccess(c.role, "CN=X", c.permission));
    }
    EXPECT_TRUE(auth.CheckRoleAccess("R0", "cn=y", 1));
    EXPECT_TRUE(auth.CheckAccess("CN=X", 0x100 | 1 | 2 | 4 | 16));
    EXPECT_FALSE(auth.CheckAccess("CN=X", 8));
    EXPECT_FALSE(auth.CheckAccess("CN=Y", 1));
}

// Bars and line ends anywhere in a line, lines naming a role other than the
// one declared last, by identifier in either case and by name: each line
// still reaches its own role, and only its own.
TEST_F(KivAuthTest, LinesFindTheirFieldsAndRolesAtAnyOffset)
{
    for (size_t pad = 0; pad <= 16; ++pad) {
        SCOPED_TRACE(pad);
        std::string blanks(pad, pad % 2 ? ' ' : '\t');
        std::string text = "policy | 1\r\n";
        text += "role | {AAAAAAAA-0000-4000-8000-00000000000A} |" + blanks + "Alpha\n";
        text +=
            "role |" + blanks + "{bbbbbbbb-0000-4000-8000-00000000000b} | Beta" + blanks + "\r\n";
        text += "role-user | {aaaaaaaa-0000-4000-8000-00000000000a} |" + blanks + "D\\u\n";
        text += "role-grant | beta" + blanks + "| CN=X | 2\n";
        text += "role-grant |{AAAAAAAA-0000-4000-8000-00000000000A}|CN=X|" + blanks + "1\r\n";
        text += "role-user" + blanks + "| BETA | D\\v" + blanks + "\n";
        text += "role-grant | Alpha | CN=Y | 4" + blanks;
        Load(text.c_str(), "D\\u");
        EXPECT_TRUE(auth.CheckAccess("D\\u", "CN=X", 1));
        EXPECT_FALSE(auth.CheckAccess("D\\u", "CN=X", 2));
        EXPECT_TRUE(auth.CheckAccess("D\\u", "CN=Y", 4));
        EXPECT_TRUE(auth.CheckAccess("D\\v", "CN=X", 2));
        EXPECT_FALSE(auth.CheckAccess("D\\v", "CN=X", 1));
        EXPECT_FALSE(auth.CheckAccess("D\\v", "CN=Y", 4));
        EXPECT_TRUE(auth.CheckRoleAccess("{BBBBBBBB-0000-4000-8000-00000000000B}", "CN=X", 2));
        EXPECT_FALSE(auth.CheckRoleAccess("Beta", "CN=Y", 4));
        auth.ClearCache(0xFFFF);
    }
}

// Names that a record's field cannot hold whole, or holds in another case
// outside ASCII: each still finds its own role, and only its own.
TEST_F(KivAuthTest, RoleInfoByNamesLongerThanTheRecord)
{
    const std::string stem(300, 'n');
    std::string text = "policy | 1\n";
    text += "role | {00000000-0000-4000-8000-000000000001} | " + stem + "A\n";
    text += "role | {00000000-0000-4000-8000-000000000002} | " + stem + "B\n";
    text += "role | {00000000-0000-4000-8000-000000000003} | " + std::string(254, 'x') + "\n";
    text += "role | {00000000-0000-4000-8000-000000000004} | R\xC9le\n";
    Load(text.c_str());
    struct Case {
        std::string asked;
        const char* id;  // null: no such role
    } const cases[] = {
        {stem + "a", "{00000000-0000-4000-8000-000000000001}"},
        {stem + "B", "{00000000-0000-4000-8000-000000000002}"},
        {stem, nullptr},
        {std::string(254, 'X'), "{00000000-0000-4000-8000-000000000003}"},
        {std::string(253, 'x'), nullptr},
        {std::string(255, 'x'), nullptr},
        {"r\xE9LE", "{00000000-0000-4000-8000-000000000004}"},
        {"r\xC9", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asked.substr(0, 20) + "... of " + std::to_string(c.asked.size()));
        CKIVRole* role = nullptr;
        EXPECT_EQ(c.id ? S_OK : kUnknownRole, auth.GetRoleInfo(c.asked.c_str(), &role));
        if (c.id) {
            ASSERT_NE(nullptr, role);
            EXPECT_STREQ(c.id, role->id);
        }
    }
}

// Roles asked for in list order, backwards, by name in between and after a
// refresh that changed the store: every answer is the role asked for.
TEST_F(KivAuthTest, RoleInfoAnswersTheRoleAskedForInAnyOrder)
{
    std::string text = "policy | 1\n";
    std::vector<std::string> ids;
    for (int i = 0; i < 50; ++i) {
        char id[40];
        snprintf(id, sizeof id, "{%08X-0000-4000-8000-%012X}", i, i);
        ids.push_back(id);
        text += "role | " + ids.back() + " | R" + std::to_string(i) + "\n";
    }
    Load(text.c_str());
    auto idOf = [&](const char* asked) -> std::string {
        CKIVRole* role = nullptr;
        if (auth.GetRoleInfo(asked, &role) != S_OK || !role) return "<none>";
        return role->id;
    };
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < 50; ++i) {
            size_t which = pass ? 49 - i : i;
            EXPECT_EQ(ids[which], idOf(ids[which].c_str()));
            if (i % 7 == 0) {
                EXPECT_EQ(ids[(which + 3) % 50],
                          idOf(("r" + std::to_string((which + 3) % 50)).c_str()));
            }
        }
    }
    // The same identifiers, other names: the store after the refresh answers.
    std::string renamed = text;
    for (size_t at = renamed.find("| R"); at != std::string::npos; at = renamed.find("| R", at + 1))
        renamed[at + 2] = 'S';
    ASSERT_EQ(S_OK, KivTest_LoadPolicyText(renamed.c_str()));
    bool refreshed = true;
    ASSERT_TRUE(auth.RefreshCache(refreshed, 2));
    EXPECT_TRUE(refreshed);
    for (size_t i = 0; i < 50; ++i) {
        CKIVRole* role = nullptr;
        ASSERT_EQ(S_OK, auth.GetRoleInfo(ids[i].c_str(), &role));
        EXPECT_EQ("S" + std::to_string(i), std::string(role->name));
    }
    EXPECT_EQ("<none>", idOf("{0A1B2C3D-1111-2222-3333-444455556666}"));

    // One role renamed back: the others keep their records, that one gets a new one.
    CKIVRole* kept = nullptr;
    CKIVRole* changed = nullptr;
    ASSERT_EQ(S_OK, auth.GetRoleInfo(ids[10].c_str(), &kept));
    ASSERT_EQ(S_OK, auth.GetRoleInfo(ids[20].c_str(), &changed));
    std::string oneBack = renamed;
    oneBack.replace(oneBack.find("| S20\n"), 6, "| R20\n");
    ASSERT_EQ(S_OK, KivTest_LoadPolicyText(oneBack.c_str()));
    ASSERT_TRUE(auth.RefreshCache(refreshed, 2));
    CKIVRole* role = nullptr;
    ASSERT_EQ(S_OK, auth.GetRoleInfo(ids[10].c_str(), &role));
    EXPECT_EQ(kept, role);
    EXPECT_STREQ("S10", role->name);
    ASSERT_EQ(S_OK, auth.GetRoleInfo(ids[20].c_str(), &role));
    EXPECT_STREQ("R20", role->name);
    CKIVRoleList* list = nullptr;
    wchar_t* time = nullptr;
    ASSERT_EQ(S_OK, auth.GetRolesCache(&list, &time));
    SysFreeString(time);
    ASSERT_EQ(50, list->count);
    for (size_t i = 0; i < 50; ++i) {
        EXPECT_EQ(ids[i], list->roles[i]->id);
        EXPECT_EQ((i == 20 ? "R" : "S") + std::to_string(i), std::string(list->roles[i]->name));
    }
}

// A process that never asks for the log pays nothing for it: nothing is
// recorded until a test turns it on, and after a reset.
TEST_F(KivAuthTest, CallLogRecordsOnlyWhileTurnedOn)
{
    Load();
    KivTest_Reset();
    ASSERT_EQ(S_OK, KivTest_LoadPolicyText(kPolicy));
    EXPECT_TRUE(auth.InitCache("D\\alice", 3));
    EXPECT_TRUE(auth.CheckAccess("CN=Doc,O=T", 1));
    EXPECT_EQ(0, KivTest_CallCount());

    KivTest_RecordCalls(TRUE);
    EXPECT_TRUE(auth.CheckAccess("CN=Doc,O=T", 1));
    SetSecurityServer(nullptr, L"http://server");
    EXPECT_EQ((std::vector<std::string>{"CheckAccess(\"CN=Doc,O=T\", 1)",
                                        "SetSecurityServer(null, \"http://server\")"}),
              LibraryCalls());

    KivTest_RecordCalls(FALSE);
    EXPECT_FALSE(auth.CheckAccess("CN=Doc,O=T", 2));
    EXPECT_EQ(2, KivTest_CallCount());
    KivTest_RecordCalls(TRUE);
    KivTest_Reset();
    EXPECT_TRUE(auth.CheckAccess("CN=Doc,O=T", 1));
    EXPECT_EQ(0, KivTest_CallCount());
}

// Two apartments, two objects, one library: every call lands in the log
// and every answer stays right.
TEST_F(KivAuthTest, ObjectsInTwoThreadsAtOnce)
{
    ASSERT_EQ(S_OK, KivTest_LoadPolicyText(kPolicy));
    const int rounds = 200;
    int wrong[2] = {};
    auto work = [&](int which) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            CKIVAuthorize own;
            const char* account = which ? "D\\bob" : "D\\alice";
            for (int i = 0; i < rounds; ++i) {
                bool ok = own.InitCache(account, 3) && own.CheckAccess("CN=Doc,O=T", 1) &&
                          own.CheckAccess("CN=Doc,O=T", 2) == (which == 1);
                CKIVRole* role = nullptr;
                ok = ok && own.GetRoleInfo(which ? "Writers" : "Readers", &role) == S_OK && role;
                if (!ok) ++wrong[which];
            }
        }
        CoUninitialize();
    };
    KivTest_ClearCalls();
    std::thread first(work, 0), second(work, 1);
    first.join();
    second.join();
    EXPECT_EQ(0, wrong[0]);
    EXPECT_EQ(0, wrong[1]);
    EXPECT_EQ(2 * rounds * 4, KivTest_CallCount());
}

}  // namespace
