#include "RoleRecords.h"

#include "Text.h"

namespace kivauth {

namespace {

void FillMembers(const std::vector<std::string>& names, CKIVRoleMember* storage,
                 std::vector<CKIVRoleMember*>& block, CKIVRoleMember**& pointer, LONG& count)
{
    for (const std::string& name : names) {
        CopyToField(name, storage->name, sizeof storage->name);
        block.push_back(storage++);
    }
    pointer = block.empty() ? nullptr : block.data();
    count = static_cast<LONG>(block.size());
}

}  // namespace

CKIVRole* RoleRecords::Record(const Role& role)
{
    size_t index = static_cast<size_t>(&role - m_policy.Roles().data());
    if (m_entries.empty()) m_entries.resize(m_policy.Roles().size());
    std::unique_ptr<Entry>& slot = m_entries[index];
    if (slot) return &slot->role;

    std::unique_ptr<Entry> entry(new Entry);
    size_t memberCount = role.users.size() + role.groups.size();
    entry->members.reset(new CKIVRoleMember[memberCount]());
    entry->users.reserve(role.users.size());
    entry->groups.reserve(role.groups.size());
    CKIVRole& record = entry->role;
    CopyToField(role.id, record.id, sizeof record.id);
    CopyToField(role.name, record.name, sizeof record.name);
    CopyToField(role.description, record.description, sizeof record.description);
    FillMembers(role.users, entry->members.get(), entry->users, record.users, record.userCount);
    FillMembers(role.groups, entry->members.get() + role.users.size(), entry->groups, record.groups,
                record.groupCount);
    slot = std::move(entry);
    return &slot->role;
}

CKIVRoleList* RoleRecords::List()
{
    const std::vector<Role>& roles = m_policy.Roles();
    if (roles.empty()) return nullptr;
    if (m_block.empty()) {
        std::vector<CKIVRole*> block;
        block.reserve(roles.size());
        for (const Role& role : roles) block.push_back(Record(role));
        m_block.swap(block);
        m_list.roles = m_block.data();
        m_list.count = static_cast<LONG>(m_block.size());
    }
    return &m_list;
}

}  // namespace kivauth
