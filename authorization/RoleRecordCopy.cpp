#include "RoleRecordCopy.h"

#include "KIVAuthorize.h"
#include "Prefetch.h"

#include <cstring>

namespace {

std::vector<std::wstring> CopyMembers(CKIVRoleMember* const* block, LONG count)
{
    std::vector<std::wstring> members;
    for (LONG i = 0; block && i < count; ++i) {
        if (!block[i]) continue;  // nothing to read
        BstrText name = RecordText(block[i]->name);
        members.emplace_back(name.wide(), name.length());
    }
    return members;
}

void PrefetchMembers(CKIVRoleMember* const* block, LONG count) noexcept
{
    if (!block || count <= 0) return;
    PrefetchLine(block);
    // The first few: a role of many members costs its copies anyway.
    for (LONG i = 0; i < count && i < 4; ++i)
        if (block[i]) PrefetchLine(block[i]->name);
}

// Records lie far apart in a large store, and a record's fields a cache
// line or more apart: the lines are asked for ahead of their reading, so
// that their misses overlap rather than follow one another.
void PrefetchFields(const CKIVRole* role, RoleNames names) noexcept
{
    PrefetchLine(role->id);
    if (names == RoleNames::Copy) PrefetchLine(role->name);
}

// Whether text is what RecordText makes of field. Only plain ASCII, the
// usual identifier, is compared: it reads the same in every ANSI code page.
bool SameAsciiText(const char (&field)[256], const BstrText& text) noexcept
{
    const wchar_t* wide = text.wide();
    if (!wide) return false;
    const size_t length = strnlen(field, sizeof field);
    if (text.length() != length) return false;
    for (size_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>(field[i]);
        if (byte >= 0x80 || wide[i] != byte) return false;
    }
    return true;
}

// The text of earlier's identifier for the role at index, or null. A
// change moves the roles after it by one place: shift follows the places.
BstrText EarlierId(const CKIVRole& role, size_t index, const std::vector<RoleListEntry>& earlier,
                   ptrdiff_t& shift) noexcept
{
    for (ptrdiff_t step : {0, 1, -1}) {
        ptrdiff_t at = static_cast<ptrdiff_t>(index) + shift + step;
        if (at < 0 || static_cast<size_t>(at) >= earlier.size()) continue;
        const BstrText& id = earlier[static_cast<size_t>(at)].id;
        if (!SameAsciiText(role.id, id)) continue;
        shift += step;
        return id;
    }
    return BstrText();
}

}  // namespace

BstrText RecordText(const char (&field)[256])
{
    return BstrText::FromAcp(field, strnlen(field, sizeof field));
}

std::vector<RoleListEntry> CopyRoleList(const CKIVRoleList* list, RoleNames names,
                                        const std::vector<RoleListEntry>& earlier)
{
    std::vector<RoleListEntry> roles;
    if (!list || !list->roles || list->count <= 0) return roles;
    const size_t count = static_cast<size_t>(list->count);
    roles.reserve(count);
    constexpr size_t kAhead = 16;
    ptrdiff_t shift = 0;
    for (size_t i = 0; i < count; ++i) {
        if (i + kAhead < count && list->roles[i + kAhead])
            PrefetchFields(list->roles[i + kAhead], names);
        const CKIVRole* role = list->roles[i];
        if (!role) continue;
        BstrText id = EarlierId(*role, i, earlier, shift);
        if (!id.wide()) id = RecordText(role->id);
        roles.push_back(RoleListEntry{
            std::move(id), names == RoleNames::Copy ? RecordText(role->name) : BstrText()});
    }
    return roles;
}

RoleRecord CopyRoleRecord(const CKIVRole& role)
{
    PrefetchFields(&role, RoleNames::Copy);
    PrefetchLine(role.description);
    PrefetchLine(&role.users);
    PrefetchMembers(role.users, role.userCount);
    PrefetchMembers(role.groups, role.groupCount);
    return RoleRecord{RecordText(role.id), RecordText(role.name), RecordText(role.description),
                      CopyMembers(role.users, role.userCount),
                      CopyMembers(role.groups, role.groupCount)};
}
