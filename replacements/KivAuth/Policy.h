// The authorization store as read from a policy text: roles and their
// members, group memberships of accounts, permission grants on DNs, and the
// secure groups of applications. Immutable once parsed; every lookup is a
// hash lookup, so the size of the store does not slow a check down.
// The roles and the tables of accounts, roles and DNs live in one arena of
// the policy's own (Arena.h).
#pragma once

#include "Arena.h"
#include "FlatIndex.h"
#include "TextHelpers.h"

#include <windows.h>
#include <cstdint>
#include <functional>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kivauth {

// The texts are views into the policy's arena: valid while the policy lives.
struct Role {
    std::string_view id;  // a GUID in braces, upper case
    std::string_view name;
    std::string_view description;
    std::pmr::vector<std::string_view> users;  // as written, duplicates kept
    std::pmr::vector<std::string_view> groups;
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
    Policy(const Policy&) = delete;
    Policy& operator=(const Policy&) = delete;

    // The whole text of a policy. Null with a message ("line N: ...") when
    // the text is not a valid policy. Throws std::bad_alloc.
    static std::unique_ptr<Policy> Parse(const std::string& text, std::string& error);

    const std::pmr::vector<Role>& Roles() const noexcept { return *m_roles; }

    // By identifier when the text is a GUID in braces, by name otherwise.
    // Null when there is no such role.
    const Role* FindRole(const std::string& idOrName) const;
    // An identifier as ParseGuid gives it, or its value: the value of a
    // strict GUID text stands for that text and no other.
    const Role* FindRoleById(std::string_view canonicalId) const;
    const Role* FindRoleById(const standin::GuidValue& id) const;

    // Confirms that a role found under a name's hash is the role of that
    // name, where the caller holds the name already (a role record).
    class NameCheck {
    public:
        virtual bool Same(uint32_t role, std::string_view folded) noexcept = 0;

    protected:
        ~NameCheck() = default;
    };
    // By name, folded; check, when given, is asked before the role's own
    // folded name.
    const Role* FindRoleByName(std::string_view name, NameCheck* check = nullptr) const;
    const standin::GuidValue& RoleId(size_t role) const noexcept { return m_roleIds[role]; }
    // Whether text, folded as names are, is folded.
    static bool FoldsTo(std::string_view text, std::string_view folded);

    // The roles of an account, directly or through its groups, in policy order.
    std::vector<uint32_t> RolesOf(const std::string& account) const;

    // True when the account itself and its roles together hold every bit of
    // the permission on the DN. A permission of 0 is never granted.
    bool AccountHolds(std::string_view account, std::string_view dn, DWORD permission) const;
    bool RoleHolds(const Role& role, std::string_view dn, DWORD permission) const;

    const Application* FindApplication(const std::string& name) const;

private:
    explicit Policy(size_t textSize);

    // Keys are folded texts kept in the arena; any text finds them by view.
    // A new entry is made under the caller's text and then given the
    // arena's copy, the same text: one walk of the table, not two.
    struct TableKey {
        TableKey(std::string_view key) noexcept : text(key) {}
        bool operator==(const TableKey& other) const noexcept { return text == other.text; }
        mutable std::string_view text;
    };
    // Not noexcept: the table then keeps each key's hash, and a walk
    // compares hashes before texts.
    struct TableKeyHash {
        size_t operator()(const TableKey& key) const
        {
            return std::hash<std::string_view>{}(key.text);
        }
    };
    template <class Value>
    using Table = std::pmr::unordered_map<TableKey, Value, TableKeyHash>;
    struct DnGrants {
        using allocator_type = std::pmr::polymorphic_allocator<char>;
        explicit DnGrants(const allocator_type& arena) : accounts(arena), roles(arena) {}
        DnGrants(DnGrants&& other, const allocator_type& arena)
            : accounts(std::move(other.accounts), arena), roles(std::move(other.roles), arena)
        {
        }
        Table<DWORD> accounts;
        // By role index, sorted once the policy is read: most DNs are
        // granted to a role or two.
        std::pmr::vector<std::pair<uint32_t, DWORD>> roles;
        DWORD RoleMask(uint32_t role) const noexcept;
    };
    using Index = Table<std::pmr::vector<uint32_t>>;

    // The role of a name folded as FoldCase does; check, when given, is
    // asked before the role's own folded name.
    const Role* FindFolded(std::string_view folded, NameCheck* check = nullptr) const;
    // A copy of the text in the arena.
    std::string_view Keep(std::string_view text);
    // The table's entry for the key, made (with a key of its own) when new.
    template <class Value>
    Value& Entry(Table<Value>& table, std::string_view key);

    // First: everything below allocates from it, and it must outlive them.
    std::pmr::monotonic_buffer_resource m_arena;
    standin::InArena<std::pmr::vector<Role>> m_roles;
    // The role tables, by role index beside them: what a lookup compares
    // sits in a few megabytes, not among the roles' texts.
    FlatIndex m_roleById;
    std::vector<standin::GuidValue> m_roleIds;
    FlatIndex m_roleByName;
    std::vector<std::string_view> m_foldedNames;
    standin::InArena<Index> m_rolesOfUser;
    standin::InArena<Index> m_rolesOfGroup;
    standin::InArena<Table<std::pmr::vector<std::string_view>>> m_groupsOfAccount;
    standin::InArena<Table<DnGrants>> m_grants;
    std::vector<Application> m_applications;
    std::unordered_map<std::string, size_t> m_applicationByName;

    class Parser;
};

}  // namespace kivauth
