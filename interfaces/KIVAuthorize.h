// The closed authorization library KIVAuth.dll, as this module uses it: the
// class CKIVAuthorize, the role records it hands out, and the plain export
// SetSecurityServer (found at run time, see SetSecServer).
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <cstddef>

#ifdef KIVAUTH_BUILD
#define KIVAUTH_API __declspec(dllexport)
#else
#define KIVAUTH_API __declspec(dllimport)
#endif

// The application-cache object of the library; the module only asks it for
// IUnknown.
struct IKivXml2 : public IUnknown {};

// A member user or group of a role.
struct CKIVRoleMember {
    DWORD reserved;
    char name[256];
};

// One role. Texts are NUL-terminated narrow text in the ANSI code page.
struct CKIVRole {
    DWORD reserved;
    char id[256];  // a GUID in braces
    char name[256];
    char description[256];
    DWORD reserved2;
    CKIVRoleMember** users;
    LONG userCount;
    DWORD reserved3;
    CKIVRoleMember** groups;
    LONG groupCount;
};

// The roles of the cache, as GetRolesCache hands them out.
struct CKIVRoleList {
    DWORD reserved;
    CKIVRole** roles;  // count entries, each a role or null
    LONG count;
};

// The 32-bit layout, field for field; a 64-bit library keeps the order and
// widths of every field and aligns its pointers naturally, to 8 bytes.
static_assert(offsetof(CKIVRoleMember, name) == 4, "member name at offset 4");
static_assert(offsetof(CKIVRole, id) == 4, "role identifier at offset 4");
static_assert(offsetof(CKIVRole, name) == 260, "role name at offset 260");
static_assert(offsetof(CKIVRole, description) == 516, "role description at offset 516");
static_assert(offsetof(CKIVRole, users) == 776, "user block at offset 776");
#ifdef _WIN64
static_assert(offsetof(CKIVRole, userCount) == 784, "user count at offset 784");
static_assert(offsetof(CKIVRole, groups) == 792, "group block at offset 792");
static_assert(offsetof(CKIVRole, groupCount) == 800, "group count at offset 800");
static_assert(offsetof(CKIVRoleList, roles) == 8, "role block at offset 8");
static_assert(offsetof(CKIVRoleList, count) == 16, "role count at offset 16");
#else
static_assert(offsetof(CKIVRole, userCount) == 780, "user count at offset 780");
static_assert(offsetof(CKIVRole, groups) == 788, "group block at offset 788");
static_assert(offsetof(CKIVRole, groupCount) == 792, "group count at offset 792");
static_assert(offsetof(CKIVRoleList, roles) == 4, "role block at offset 4");
static_assert(offsetof(CKIVRoleList, count) == 8, "role count at offset 8");
#endif

// A bool result is success or grant; a long result is an HRESULT.
class KIVAUTH_API CKIVAuthorize {
public:
    CKIVAuthorize();
    ~CKIVAuthorize();
    CKIVAuthorize(const CKIVAuthorize&) = delete;
    CKIVAuthorize& operator=(const CKIVAuthorize&) = delete;

    bool InitCache();
    bool InitCache(const char* account, unsigned long cacheTypes);
    bool RefreshCache(bool& refreshed, unsigned long cacheTypes);
    bool ClearCache(unsigned long cacheTypes);

    bool CheckAccess(const char* dn, unsigned long permission);
    bool CheckAccess(const char* account, const char* dn, unsigned long permission);
    bool CheckRoleAccess(const char* roleName, const char* dn, unsigned long permission);

    long GetRoles(const char* account, VARIANT* roles);
    long GetRoles(const char* account, VARIANT* roleNames, VARIANT* roleIds);
    long GetAllRoles(VARIANT* roleNames, VARIANT* roleIds);
    long GetSecureGroups(wchar_t* applName, VARIANT* groupNames, VARIANT* groupIds);
    long GetSecureGroupMembers(wchar_t* applName, wchar_t* groupName, VARIANT* memberNames,
                               VARIANT* memberIds);
    long GetSecurityId(wchar_t* applName, wchar_t* groupName, wchar_t* objectName, wchar_t** id);

    VARIANT* GetLastVokErrors();
    void SetHTTPTimeout(int timeout);

    long GetAppCache(IKivXml2** appCache, wchar_t** cacheTime);
    long GetRolesCache(CKIVRoleList** roles, wchar_t** cacheTime);
    long GetRoleInfo(const char* roleIdOrName, CKIVRole** role);

private:
    struct Impl;
    Impl* m_impl;
};

// The plain export, looked up by name on the loaded library.
typedef long(__stdcall* SetSecurityServerFn)(const wchar_t* reserved, const wchar_t* url);
