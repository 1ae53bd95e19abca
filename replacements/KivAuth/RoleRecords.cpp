#include "RoleRecords.h"

#include "Text.h"

#include "Results.h"

#include <cstring>
#include <new>

namespace kivauth {

namespace {

// Members from the first free one on, and their pointers; the record's block
// and count, null for none.
void FillMembers(const std::pmr::vector<std::string_view>& names, CKIVRoleMember*& member,
                 CKIVRoleMember**& pointer, CKIVRoleMember**& block, LONG& count)
{
    block = names.empty() ? nullptr : pointer;
    count = static_cast<LONG>(names.size());
    for (std::string_view name : names) {
        CKIVRoleMember* made = new (member++) CKIVRoleMember{};
        CopyToField(name, made->name, sizeof made->name);
        *pointer++ = made;
    }
}

}  // namespace

CKIVRole* RoleRecords::Record(const Role& role)
{
    return Record(static_cast<uint32_t>(&role - m_policy.Roles().data()));
}

CKIVRole* RoleRecords::Record(uint32_t index)
{
    const Role& role = m_policy.Roles()[index];
    if (m_entries.empty()) m_entries.resize(m_policy.Roles().size());
    Block& slot = m_entries[index];
    if (slot) return reinterpret_cast<CKIVRole*>(slot.get());

    // The record's size is a multiple of its alignment, which is a
    // pointer's; the members need less.
    using MemberPointer = CKIVRoleMember*;
    static_assert(sizeof(CKIVRole) % alignof(MemberPointer) == 0, "pointers follow the record");
    size_t count = role.users.size() + role.groups.size();
    // The block holds the pointers themselves, so their size is the one meant.
    // NOLINTNEXTLINE(bugprone-sizeof-expression)
    size_t bytes = sizeof(CKIVRole) + count * (sizeof(MemberPointer) + sizeof(CKIVRoleMember));
    Block block(
        new std::max_align_t[(bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t)]);
    auto* at = reinterpret_cast<unsigned char*>(block.get());
    CKIVRole& record = *new (at) CKIVRole{};
    auto* pointer = reinterpret_cast<MemberPointer*>(at + sizeof(CKIVRole));
    auto* member = reinterpret_cast<CKIVRoleMember*>(pointer + count);
    CopyToField(role.id, record.id, sizeof record.id);
    CopyToField(role.name, record.name, sizeof record.name);
    CopyToField(role.description, record.description, sizeof record.description);
    FillMembers(role.users, member, pointer, record.users, record.userCount);
    FillMembers(role.groups, member, pointer, record.groups, record.groupCount);
    slot = std::move(block);
    return &record;
}

bool RoleRecords::Same(uint32_t role, std::string_view folded) noexcept
{
    return Barrier(false, [&] {
        const char* name = Record(role)->name;
        size_t length = strnlen(name, sizeof CKIVRole::name);
        // A name that fills its field may have been cut short.
        return length + 1 < sizeof CKIVRole::name &&
               Policy::FoldsTo(std::string_view(name, length), folded);
    });
}

namespace {

bool SameRole(const Role& a, const Role& b)
{
    return a.id == b.id && a.name == b.name && a.description == b.description &&
           a.users == b.users && a.groups == b.groups;
}

}  // namespace

void RoleRecords::Adopt(RoleRecords& earlier)
{
    const auto& roles = m_policy.Roles();
    const auto& before = earlier.m_policy.Roles();
    if (earlier.m_entries.empty() || roles.empty()) return;
    if (m_entries.empty()) m_entries.resize(roles.size());
    for (size_t i = 0; i < roles.size(); ++i) {
        if (m_entries[i]) continue;
        // A change moves the roles after it by one place at most; any other
        // place is found through the earlier store's table.
        const Role* match = nullptr;
        for (size_t guess : {i, i + 1, i - 1})
            if (guess < before.size() && before[guess].id == roles[i].id) match = &before[guess];
        if (!match) match = earlier.m_policy.FindRoleById(roles[i].id);
        if (!match || !SameRole(*match, roles[i])) continue;
        Block& old = earlier.m_entries[static_cast<size_t>(match - before.data())];
        m_entries[i] = std::move(old);
    }
}

CKIVRoleList* RoleRecords::List()
{
    const auto& roles = m_policy.Roles();
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
