// The role records handed out by GetRolesCache and GetRoleInfo, in the
// layout of KIVAuthorize.h. Built on first demand (a store of 100,000 roles
// should not cost 80 MB of records nobody asked for) and kept until the
// cache that owns them is replaced or dropped.
#pragma once

#include "KIVAuthorize.h"
#include "Policy.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace kivauth {

class RoleRecords : public Policy::NameCheck {
public:
    explicit RoleRecords(const Policy& policy) : m_policy(policy) {}
    RoleRecords(const RoleRecords&) = delete;
    RoleRecords& operator=(const RoleRecords&) = delete;

    // Throw std::bad_alloc.
    CKIVRole* Record(const Role& role);
    CKIVRole* Record(uint32_t role);

    // Whether the role's record holds the name, folded: the record is
    // wanted anyway, and its name sits beside its other fields. False when
    // the record cannot tell (a name that may have been cut to its field, or
    // no memory for the record), which leaves it to the policy.
    bool Same(uint32_t role, std::string_view folded) noexcept override;
    CKIVRoleList* List();  // null when the store has no roles

    // Takes over the records of an earlier store whose roles are the same in
    // every field: a refresh after one change need not build 100,000 records
    // again. Records handed out from the earlier store stay where they are.
    void Adopt(RoleRecords& earlier);

private:
    // One allocation per role: the record, its member pointers (users, then
    // groups), then the members. A client that reads a record reads them all,
    // and at 100,000 roles each separate place would be one more miss.
    using Block = std::unique_ptr<std::max_align_t[]>;

    const Policy& m_policy;
    std::vector<Block> m_entries;  // by role index
    std::vector<CKIVRole*> m_block;
    CKIVRoleList m_list{};
};

}  // namespace kivauth
