// What the module's file carries: the type library (every type and member),
// the string table, the version record and exactly four exports.
#include "Authorization.h"
#include "TestSupport.h"

#include <algorithm>
#include <map>

namespace {

std::wstring ModuleFile()
{
    HMODULE module = LoadLibraryW(L"Authorization.dll");
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

class TypeLibraryTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, LoadTypeLibEx(ModuleFile().c_str(), REGKIND_NONE, lib.put()));
    }

    com_ptr<ITypeInfo> Info(REFGUID guid)
    {
        com_ptr<ITypeInfo> info;
        EXPECT_EQ(S_OK, lib->GetTypeInfoOfGuid(guid, info.put()));
        return info;
    }

    com_ptr<ITypeLib> lib;
};

TEST_F(TypeLibraryTest, LibraryAttributes)
{
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(LIBID_AUTHORIZATIONLib, attr->guid));
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    lib->ReleaseTLibAttr(attr);

    BSTR name = nullptr, doc = nullptr, helpFile = nullptr;
    ASSERT_EQ(S_OK, lib->GetDocumentation(-1, &name, &doc, nullptr, &helpFile));
    EXPECT_STREQ(L"AUTHORIZATIONLib", name);
    EXPECT_STREQ(L"Authorization 1.0 Type Library", doc);
    EXPECT_EQ(nullptr, helpFile);
    SysFreeString(name);
    SysFreeString(doc);
    SysFreeString(helpFile);
}

TEST_F(TypeLibraryTest, TypesInOrder)
{
    struct Type {
        const wchar_t* name;
        TYPEKIND kind;
        const GUID* guid;
        const wchar_t* help;
        WORD flags;  // flags that must be set
    };
    const WORD dual = TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE;
    const Type types[] = {
        {L"IIKIVAuthorization", TKIND_DISPATCH, &IID_IIKIVAuthorization,
         L"IIKIVAuthorization Interface", dual},
        {L"IKQSecRolesCollection", TKIND_DISPATCH, &IID_IKQSecRolesCollection,
         L"IKQSecRolesCollection Interface", dual},
        {L"IKQSecRole", TKIND_DISPATCH, &IID_IKQSecRole, L"IKQSecRole Interface", dual},
        {L"IVokAuthorizationSvc", TKIND_DISPATCH, &IID_IVokAuthorizationSvc,
         L"IVokAuthorizationSvc Interface", dual},
        {L"IKIVAuthorization", TKIND_COCLASS, &CLSID_IKIVAuthorization, L"IKIVAuthorization Class",
         TYPEFLAG_FCANCREATE},
        {L"_IVokWebBpeSecurity", TKIND_DISPATCH, &IID__IVokWebBpeSecurity,
         L"_IVokWebBpeSecurity interface.  This interface is internal to Framework",
         static_cast<WORD>(dual | TYPEFLAG_FHIDDEN)},
        {L"AuthorizationEx", TKIND_COCLASS, &CLSID_AuthorizationEx, L"AuthorizationEx Class",
         TYPEFLAG_FCANCREATE},
        {L"KQSecRole", TKIND_COCLASS, &CLSID_KQSecRole, L"KQSecRole Class", TYPEFLAG_FCANCREATE},
        {L"KQSecRolesCollection", TKIND_COCLASS, &CLSID_KQSecRolesCollection,
         L"KQSecRolesCollection Class", TYPEFLAG_FCANCREATE},
    };
    ASSERT_EQ(sizeof types / sizeof types[0], lib->GetTypeInfoCount());
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        const Type& t = types[i];
        BSTR name = nullptr, help = nullptr;
        ASSERT_EQ(S_OK, lib->GetDocumentation(static_cast<INT>(i), &name, &help, nullptr, nullptr));
        EXPECT_STREQ(t.name, name) << "type " << i;
        EXPECT_STREQ(t.help, help) << "type " << i;
        SysFreeString(name);
        SysFreeString(help);
        com_ptr<ITypeInfo> info;
        ASSERT_EQ(S_OK, lib->GetTypeInfo(i, info.put()));
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        EXPECT_EQ(t.kind, attr->typekind) << "type " << i;
        EXPECT_TRUE(IsEqualGUID(*t.guid, attr->guid)) << "type " << i;
        EXPECT_EQ(t.flags, attr->wTypeFlags & t.flags) << "type " << i;
        EXPECT_EQ(t.flags & TYPEFLAG_FHIDDEN, attr->wTypeFlags & TYPEFLAG_FHIDDEN) << "type " << i;
        info->ReleaseTypeAttr(attr);
    }
}

// One member of a dual interface as the type library describes it.
struct Member {
    const wchar_t* name;
    DISPID dispid;
    INVOKEKIND kind;
    const wchar_t* help;
    std::vector<std::wstring> params;  // names, in order
    int optional;                      // number of [optional] parameters
    bool hasRetval;
};

void CheckMembers(ITypeInfo* dispatchInfo, const std::vector<Member>& members)
{
    // The vtable description of a dual interface lists the members in slot order.
    HREFTYPE ref;
    com_ptr<ITypeInfo> info;
    ASSERT_EQ(S_OK, dispatchInfo->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
    ASSERT_EQ(S_OK, dispatchInfo->GetRefTypeInfo(ref, info.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    ASSERT_EQ(TKIND_INTERFACE, attr->typekind);
    ASSERT_EQ(members.size(), attr->cFuncs);
    info->ReleaseTypeAttr(attr);

    for (UINT i = 0; i < members.size(); ++i) {
        const Member& m = members[i];
        FUNCDESC* func = nullptr;
        ASSERT_EQ(S_OK, info->GetFuncDesc(i, &func));
        BSTR names[16] = {};
        UINT count = 0;
        ASSERT_EQ(S_OK, info->GetNames(func->memid, names, 16, &count));
        EXPECT_STREQ(m.name, names[0]) << "member " << i;
        EXPECT_EQ(m.dispid, func->memid) << m.name;
        EXPECT_EQ(m.kind, func->invkind) << m.name;
        int optional = 0;
        for (int p = 0; p < func->cParams; ++p)
            if (func->lprgelemdescParam[p].paramdesc.wParamFlags & PARAMFLAG_FOPT) ++optional;
        EXPECT_EQ(m.optional, optional) << m.name;
        bool retval =
            func->cParams > 0 &&
            (func->lprgelemdescParam[func->cParams - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL);
        EXPECT_EQ(m.hasRetval, retval) << m.name;
        // Names are looked up by dispid: a property with a get and a put
        // shows the names of the first, and a put names no parameter.
        bool sharedDispid = false;
        for (const Member& other : members)
            if (&other != &m && other.dispid == m.dispid) sharedDispid = true;
        if (!sharedDispid && m.kind != INVOKE_PROPERTYPUT) {
            EXPECT_EQ(m.params.size() + 1, count) << m.name;
            for (UINT p = 1; p < count && p <= m.params.size(); ++p)
                EXPECT_EQ(m.params[p - 1], names[p]) << m.name;
        }
        for (UINT p = 0; p < count; ++p) SysFreeString(names[p]);
        BSTR help = nullptr;
        ASSERT_EQ(S_OK, info->GetDocumentation(func->memid, nullptr, &help, nullptr, nullptr));
        EXPECT_STREQ(m.help, help) << m.name;
        SysFreeString(help);
        info->ReleaseFuncDesc(func);
    }
}

const INVOKEKIND M = INVOKE_FUNC, G = INVOKE_PROPERTYGET, P = INVOKE_PROPERTYPUT;

TEST_F(TypeLibraryTest, AuthorizationInterfaceMembers)
{
    std::vector<Member> members = {
        {L"CheckAccessEx",
         1,
         M,
         L"method CheckAccess",
         {L"Domain", L"UserName", L"SecObjectDN", L"AccessPermission", L"Result"},
         0,
         true},
        {L"InitCacheEx", 2, M, L"method InitCache", {L"Domain", L"UserName"}, 0, false},
        {L"RefreshCache", 3, M, L"method RefreshCache", {}, 0, false},
        {L"ClearCache", 4, M, L"method ClearCache", {}, 0, false},
        {L"CheckAccess",
         5,
         M,
         L"method CheckAccess",
         {L"bstrDN", L"AccessPermission", L"Result"},
         0,
         true},
        {L"InitCache", 6, M, L"method InitCache", {}, 0, false},
        {L"Roles", 7, G, L"property Roles", {L"Domain", L"UserName", L"Roles"}, 0, true},
        {L"GetAllRoles", 8, M, L"method GetAllRoles", {L"RoleNames", L"RoleIds"}, 0, false},
        {L"GetUserRoles",
         9,
         M,
         L"method GetUserRoles",
         {L"Domain", L"UserName", L"RoleNames", L"RoleIds"},
         0,
         false},
        {L"GetSecureGroupMembers",
         10,
         M,
         L"method GetSecureGroupMembers",
         {L"applName", L"groupName", L"secObjNames", L"secObjIds"},
         0,
         false},
        {L"GetSecurityId",
         11,
         M,
         L"Given a name, returns the corresponding Security Id",
         {L"applName", L"groupName", L"SecObjName", L"Id"},
         0,
         true},
        {L"GetSecureGroups",
         12,
         M,
         L"method GetSecureGroups",
         {L"applName", L"secGroupNames", L"secGroupIds"},
         0,
         false},
        {L"GetLastErrors", 100, M, L"method GetLastErrors", {L"pValErrors"}, 0, true},
        {L"SetHTTPTimeout", 101, M, L"method SetHTTPTimeout", {L"newVal"}, 0, false},
        {L"CheckRoleAccess",
         102,
         M,
         L"method CheckRoleAccess",
         {L"RoleName", L"SecObjectDN", L"AccessPermission", L"Result"},
         0,
         true},
        {L"checkCache", 501, M, L"method checkCache", {L"ppUnk", L"pstrTime"}, 0, true},
        {L"RolesColl", 502, G, L"property RolesColl", {L"ppRoles", L"pstrTime"}, 0, true},
        {L"AuthSecClient", 503, P, L"property AuthSecClient", {L"pSec"}, 0, false},
        {L"AuthSecClient", 503, G, L"property AuthSecClient", {L"ppSec"}, 0, true},
        {L"RolesVar", 600, G, L"property RolesVar", {L"Domain", L"UserName", L"Roles"}, 0, true},
        {L"GetAllRolesVar", 601, M, L"method GetAllRolesVar", {L"RoleNames", L"RoleIds"}, 0, false},
        {L"RefreshCacheEx", 602, M, L"method RefreshCacheEx", {L"lCacheType"}, 0, false},
        {L"RegAuthDefaultDomain",
         700,
         G,
         L"property RegAuthDefaultDomain",
         {L"AuthDefaultDomain"},
         0,
         true},
    };
    CheckMembers(Info(IID_IIKIVAuthorization).get(), members);
}

// The objects answer names from a cache of what the type information said:
// every member, asked twice and in other cases, gets the type library's id;
// unknown names keep failing; several names at once still go through.
TEST_F(TypeLibraryTest, ObjectsAnswerEveryNameAsTheTypeLibraryDoes)
{
    com_ptr<IDispatch> auth;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_IKIVAuthorization, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IDispatch, auth.put_void()));
    com_ptr<ITypeInfo> info = Info(IID_IIKIVAuthorization);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    WORD functions = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    for (int pass = 0; pass < 2; ++pass) {
        for (WORD i = 0; i < functions; ++i) {
            FUNCDESC* func = nullptr;
            ASSERT_EQ(S_OK, info->GetFuncDesc(i, &func));
            BSTR name = nullptr;
            UINT got = 0;
            ASSERT_EQ(S_OK, info->GetNames(func->memid, &name, 1, &got));
            std::wstring upper = name;
            CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
            for (std::wstring spelling : {std::wstring(name), upper}) {
                SCOPED_TRACE(spelling);
                LPOLESTR names[] = {&spelling[0]};
                DISPID id = 12345;
                EXPECT_EQ(S_OK, auth->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
                EXPECT_EQ(func->memid, id);
            }
            SysFreeString(name);
            info->ReleaseFuncDesc(func);
        }
        wchar_t unknown[] = L"NoSuchMember";
        LPOLESTR names[] = {unknown};
        DISPID id = 0;
        EXPECT_EQ(DISP_E_UNKNOWNNAME,
                  auth->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
    }
    wchar_t method[] = L"CheckAccessEx", parameter[] = L"SecObjectDN";
    LPOLESTR names[] = {method, parameter};
    DISPID ids[2] = {};
    EXPECT_EQ(S_OK, auth->GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, ids));
    EXPECT_EQ(1, ids[0]);
    EXPECT_EQ(2, ids[1]);
}

TEST_F(TypeLibraryTest, RoleAndCollectionMembers)
{
    std::vector<Member> collection = {
        {L"_NewEnum", DISPID_NEWENUM, G, L"property _NewEnum", {L"Val"}, 0, true},
        {L"Item", DISPID_VALUE, G, L"property Item", {L"RoleId", L"Val"}, 0, true},
        {L"Count", 1, G, L"property Count", {L"Val"}, 0, true},
        {L"ReadOnly", 2, G, L"property ReadOnly", {L"ReadOnly"}, 0, true},
        {L"ItemPos", 3, M, L"method ItemPos", {L"Pos", L"Val"}, 0, true},
        {L"Add", 4, M, L"method Add", {L"Name", L"Description", L"GUID", L"Val"}, 2, true},
        {L"Remove", 5, M, L"method Remove", {L"RoleId"}, 0, false},
        {L"RemoveAll", 6, M, L"method RemoveAll", {}, 0, false},
        {L"IsExists", 7, M, L"method IsExists", {L"RoleId", L"Exist"}, 0, true},
    };
    CheckMembers(Info(IID_IKQSecRolesCollection).get(), collection);

    std::vector<Member> role = {
        {L"Id", 1, G, L"property Id", {L"Val"}, 0, true},
        {L"Name", 2, G, L"property Name", {L"Val"}, 0, true},
        {L"Name", 2, P, L"property Name", {}, 0, false},
        {L"Description", 3, G, L"property Description", {L"Val"}, 0, true},
        {L"Description", 3, P, L"property Description", {}, 0, false},
        {L"Users", 4, G, L"property Users", {L"Val"}, 0, true},
        {L"Groups", 5, G, L"property Groups", {L"Val"}, 0, true},
        {L"DateCreated", 6, G, L"property DateCreated", {L"Val"}, 0, true},
        {L"DateModified", 7, G, L"property DateModified", {L"Val"}, 0, true},
        {L"LastModifiedUser", 8, G, L"property LastModifiedUser", {L"Val"}, 0, true},
        {L"AddMembers", 100, M, L"method AddMembers", {L"Users", L"Groups"}, 2, false},
        {L"RemoveMembers", 101, M, L"method RemoveMembers", {L"Users", L"Groups"}, 2, false},
        {L"CommitChanges", 102, M, L"method CommitChanges", {}, 0, false},
    };
    CheckMembers(Info(IID_IKQSecRole).get(), role);
}

TEST_F(TypeLibraryTest, HiddenInterfaceAndDeclaredOnlyExtension)
{
    CheckMembers(
        Info(IID__IVokWebBpeSecurity).get(),
        {{L"SetSecServer", 1, M, L"method Set Security Server", {L"Reserved", L"Url"}, 0, false}});

    // The extension's own members follow the 23 it inherits.
    com_ptr<ITypeInfo> svc = Info(IID_IVokAuthorizationSvc);
    HREFTYPE ref;
    com_ptr<ITypeInfo> vtable;
    ASSERT_EQ(S_OK, svc->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
    ASSERT_EQ(S_OK, svc->GetRefTypeInfo(ref, vtable.put()));
    ASSERT_EQ(S_OK, vtable->GetRefTypeOfImplType(0, &ref));
    com_ptr<ITypeInfo> base;
    ASSERT_EQ(S_OK, vtable->GetRefTypeInfo(ref, base.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, base->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(IID_IIKIVAuthorization, attr->guid));
    base->ReleaseTypeAttr(attr);

    struct Own {
        const wchar_t* name;
        DISPID dispid;
        INVOKEKIND kind;
        const wchar_t* help;
    };
    const Own own[] = {
        {L"RefreshTime", 13, G, L"property RefreshTime"},
        {L"RefreshTime", 13, P, L"property RefreshTime"},
        {L"RequestTimeout", 14, G, L"property RequestTimeout"},
        {L"RequestTimeout", 14, P, L"property RequestTimeout"},
        {L"GetThreadMetrics", 15, M, L"method GetThreadMetrics"},
        {L"bLogAllThreads", 16, G, L"property bLogAllThreads"},
        {L"bLogAllThreads", 16, P, L"property bLogAllThreads"},
        {L"bKillSuspendedThreads", 17, G, L"property bKillSuspendedThreads"},
        {L"bKillSuspendedThreads", 17, P, L"property bKillSuspendedThreads"},
    };
    ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attr));
    ASSERT_EQ(9, attr->cFuncs);
    vtable->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < 9; ++i) {
        FUNCDESC* func = nullptr;
        ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &func));
        BSTR name = nullptr, help = nullptr;
        vtable->GetDocumentation(func->memid, &name, &help, nullptr, nullptr);
        EXPECT_STREQ(own[i].name, name);
        EXPECT_STREQ(own[i].help, help);
        EXPECT_EQ(own[i].dispid, func->memid);
        EXPECT_EQ(own[i].kind, func->invkind);
        SysFreeString(name);
        SysFreeString(help);
        vtable->ReleaseFuncDesc(func);
    }
}

TEST_F(TypeLibraryTest, CoclassesNameTheirDefaultInterface)
{
    struct Coclass {
        const CLSID* clsid;
        std::vector<std::pair<const IID*, bool>> interfaces;  // in order, default flag
    };
    const Coclass coclasses[] = {
        {&CLSID_IKIVAuthorization,
         {{&IID__IVokWebBpeSecurity, false}, {&IID_IIKIVAuthorization, true}}},
        {&CLSID_AuthorizationEx,
         {{&IID__IVokWebBpeSecurity, false}, {&IID_IIKIVAuthorization, true}}},
        {&CLSID_KQSecRole, {{&IID_IKQSecRole, true}}},
        {&CLSID_KQSecRolesCollection, {{&IID_IKQSecRolesCollection, true}}},
    };
    for (const Coclass& c : coclasses) {
        com_ptr<ITypeInfo> info = Info(*c.clsid);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        ASSERT_EQ(c.interfaces.size(), attr->cImplTypes);
        info->ReleaseTypeAttr(attr);
        for (UINT i = 0; i < c.interfaces.size(); ++i) {
            HREFTYPE ref;
            INT flags = 0;
            com_ptr<ITypeInfo> itf;
            ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(i, &ref));
            ASSERT_EQ(S_OK, info->GetImplTypeFlags(i, &flags));
            ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, itf.put()));
            ASSERT_EQ(S_OK, itf->GetTypeAttr(&attr));
            EXPECT_TRUE(IsEqualGUID(*c.interfaces[i].first, attr->guid));
            itf->ReleaseTypeAttr(attr);
            EXPECT_EQ(c.interfaces[i].second, (flags & IMPLTYPEFLAG_FDEFAULT) != 0);
        }
    }
}

TEST(ModuleResources, StringTable)
{
    HMODULE module = LoadLibraryExW(ModuleFile().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    const std::map<UINT, std::wstring> strings = {
        {100, L"Authorization"},
        {4096, L"Required parameter '%1' can not be NULL or empty. Value = '%2'."},
        {4097, L"User '%1' is not allowed to alter securable information."},
        {4098,
         L"An error occurred when attemping to modify the Security Database, operation '%1'. "
         L"The compliance features have been activated and one of the required components is "
         L"missing or non-functional.\n\nMore details:\nCould not create one of the Alarm and "
         L"Events components."},
        {4099,
         L"An error occurred on the server when attempting to update the Security Database.\n"
         L"The compliance-enabling features have been activated and one of the required "
         L"components is missing or non functional.\n\nMore details:\nThe Send function on the "
         L"Alarm and Event component failed.\n"},
        {4100, L"Bad object name '%1'. Character '%2' is not allowed."},
        {4101, L"Required parameter '%1' can not be NULL."},
        {4102, L"Invalid GUID format '%1'"},
        {4103,
         L"Invalid name. The Role name can not exceed 254 characters. Requested length: %1, "
         L"Name: '%2'."},
        {4104, L"Role '%1' already exists."},
        {4105, L"Invalid position. Total Roles = %1. Asked position = %2."},
        {4108, L"Registry access problem: %1, key: '%2'"},
    };
    for (const auto& [id, text] : strings) {
        wchar_t buffer[1024] = {};
        EXPECT_EQ(text.size(), static_cast<size_t>(LoadStringW(module, id, buffer, 1024))) << id;
        EXPECT_EQ(text, buffer) << id;
    }
    wchar_t buffer[64];
    for (UINT missing : {4106u, 4107u, 4109u})
        EXPECT_EQ(0, LoadStringW(module, missing, buffer, 64));
    FreeLibrary(module);
}

TEST(ModuleResources, VersionRecord)
{
    std::wstring path = ModuleFile();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
    const std::pair<const wchar_t*, const wchar_t*> values[] = {
        {L"FileDescription", L"Authorization Module"},
        {L"InternalName", L"Authorization"},
        {L"OriginalFilename", L"Authorization.DLL"},
    };
    for (const auto& [key, expected] : values) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
        wchar_t* value = nullptr;
        UINT length = 0;
        ASSERT_TRUE(
            VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
            << key;
        EXPECT_STREQ(expected, value);
    }
}

TEST(ModuleResources, ExactlyFourUndecoratedExports)
{
    HMODULE module = LoadLibraryW(L"Authorization.dll");
    ASSERT_NE(nullptr, module);
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto* exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    std::vector<std::string> names;
    auto* nameRvas = reinterpret_cast<DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.push_back(reinterpret_cast<const char*>(base + nameRvas[i]));
    EXPECT_EQ(4u, exports->NumberOfFunctions);

    // Imports: system libraries and the closed library only.
    const IMAGE_DATA_DIRECTORY& importDir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const std::vector<std::string> allowed = {"kernel32.dll", "msvcrt.dll",   "ole32.dll",
                                              "oleaut32.dll", "advapi32.dll", "user32.dll",
                                              "ws2_32.dll",   "kivauth.dll"};
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + importDir.VirtualAddress);
         import->Name; ++import) {
        std::string name = reinterpret_cast<const char*>(base + import->Name);
        for (char& c : name) c = static_cast<char>(tolower(c));
        EXPECT_NE(allowed.end(), std::find(allowed.begin(), allowed.end(), name)) << name;
    }
    EXPECT_EQ((std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                        "DllUnregisterServer"}),
              names);
    FreeLibrary(module);
}

}  // namespace
