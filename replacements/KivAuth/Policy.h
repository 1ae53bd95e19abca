// The authorization store as read from a policy text: roles and their
// members, group memberships of accounts, permission grants on DNs, and the
// secure groups of applications. Immutable once parsed; every lookup is a
// hash lookup, so the size of the store does not slow a check down.
#pragma once

#include "TextHelpers.h"

#include <windows.h>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kivauth {

struct Role {
    std::string id;  // a GUID in braces, upper case
    std::string name;
    std::string description;
    std::vector<std::string> users;   // as written, duplicates kept
    std::vector<std::string> groups;
};

struct SecuredObject {
    std::string name;
    std::string id;
};

struct SecureGroup {
    std::string name;
    std::string id;
    std::vector<SecuredObject> members;
    std::unordered_map<std::string, size_t> memberByName;
};

struct Application {
    std::string name;
    std::string id;  // empty when the policy gives none
    std::vector<SecureGroup> groups;
    std::unordered_map<std::string, size_t> groupByName;
    // Object name to id over all groups; the first group that has it wins.
    std::unordered_map<std::string, std::string> objectIds;
};

class Policy {
public:
    // The whole text of a policy. Null with a message ("line N: ...") when
    // the text is not a valid policy. Throws std::bad_alloc.
    static std::unique_ptr<Policy> Parse(const std::string& text, std::string& error);

    const std::vector<Role>& Roles() const noexcept { return m_roles; }

    // By identifier when the text is a GUID in braces, by name otherwise.
    // Null when there is no such role.
    const Role* FindRole(const std::string& idOrName) const;
    const Role* FindRoleById(const std::string& canonicalId) const;
    const Role* FindRoleByName(const std::string& name) const;

    // The roles of an account, directly or through its groups, in policy order.
    std::vector<uint32_t> RolesOf(const std::string& account) const;

    // True when the account itself and its roles together hold every bit of
    // the permission on the DN. A permission of 0 is never granted.
    bool AccountHolds(const std::string& account, const std::string& dn, DWORD permission) const;
    bool RoleHolds(const Role& role, const std::string& dn, DWORD permission) const;

    const Application* FindApplication(const std::string& name) const;

private:
    struct DnGrants {
        std::unordered_map<std::string, DWORD> accounts;
        // By role index, sorted once the policy is read: most DNs are
        // granted to a role or two, and a table each cost two allocations.
        std::vector<std::pair<uint32_t, DWORD>> roles;
        DWORD RoleMask(uint32_t role) const noexcept;
    };
    using Index = std::unordered_map<std::string, std::vector<uint32_t>>;
    std::vector<Role> m_roles;
    std::unordered_map<standin::GuidValue, uint32_t, standin::GuidValueHash> m_roleById;
    std::unordered_map<std::string, uint32_t> m_roleByName;
    Index m_rolesOfUser;
    Index m_rolesOfGroup;
    std::unordered_map<std::string, std::vector<std::string>> m_groupsOfAccount;
    std::unordered_map<std::string, DnGrants> m_grants;
    std::vector<Application> m_applications;
    std::unordered_map<std::string, size_t> m_applicationByName;

    class Parser;
};

}  // namespace kivauth
