// What the roles collection and the role objects need from the object that
// made them: the role cache, role lookup, the attached client, refresh, and a
// reference that keeps that object alive. The authorization object
// implements it; the role classes know nothing else of it.
//
// Every member may be called from any thread: the role classes aggregate the
// free-threaded marshaler, so their callers run in any apartment.
#pragma once

#include "AuthSecClient.h"
#include "BstrText.h"

#include <windows.h>
#include <string>
#include <vector>

// One role as the role cache lists it.
struct RoleListEntry {
    BstrText id;
    BstrText name;  // null unless asked for
};

// Whether a reading of the role cache copies the names too: the collection
// keeps identifiers only, and a name is a text to convert and a record line
// to fetch per role.
enum class RoleNames { Leave, Copy };

// A copy of the library's record of one role, taken while the library was held.
struct RoleRecord {
    BstrText id;
    BstrText name;
    BstrText description;
    std::vector<std::wstring> users;
    std::vector<std::wstring> groups;
};

class IRoleServices {
public:
    // The lifetime of the object behind the services.
    STDMETHOD_(ULONG, AddRef)() = 0;
    STDMETHOD_(ULONG, Release)() = 0;

    // The roles of the role cache, in its order (none when the library hands
    // out no list), and its cache-time text.
    virtual HRESULT ReadRoleCache(std::vector<RoleListEntry>& roles, BstrText& cacheTime,
                                  RoleNames names) noexcept = 0;

    // The library's current record of the role named by an identifier or a
    // name (narrow, system code page). found is false when the lookup
    // succeeds without a record; record, when given, receives a copy.
    virtual HRESULT LookUpRole(const char* roleIdOrName, bool& found,
                               RoleRecord* record) noexcept = 0;

    // The attached security-database client, counted and usable in the
    // calling apartment; E_FAIL when none is attached.
    virtual HRESULT GetSecClient(IAuthSecClient** client) noexcept = 0;

    // The refresh of the role cache after a committed change: S_OK, or
    // S_FALSE when the library reports nothing new.
    virtual HRESULT RefreshRoleCache() noexcept = 0;

protected:
    ~IRoleServices() = default;
};
