#include "RoleEnumerator.h"

#include "KQSecRole.h"
#include "KQSecRolesCollection.h"
#include "NarrowText.h"
#include "Validation.h"
#include "KIVAuthorize.h"
#include "Messages.h"
#include "OperationNames.h"
#include "Prefetch.h"

#include <cstring>
#include <new>

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

}  // namespace

BstrText RecordText(const char (&field)[256])
{
    return BstrText::FromAcp(field, strnlen(field, sizeof field));
}

std::vector<RoleListEntry> CopyRoleList(const CKIVRoleList* list, RoleNames names)
{
    std::vector<RoleListEntry> roles;
    if (!list || !list->roles || list->count <= 0) return roles;
    const size_t count = static_cast<size_t>(list->count);
    roles.reserve(count);
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < count; ++i) {
        if (i + kAhead < count && list->roles[i + kAhead])
            PrefetchFields(list->roles[i + kAhead], names);
        const CKIVRole* role = list->roles[i];
        if (!role) continue;
        roles.push_back(RoleListEntry{
            RecordText(role->id), names == RoleNames::Copy ? RecordText(role->name) : BstrText()});
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

HRESULT MakeRoleObject(const wchar_t* text, IRoleServices* authorization, IKQSecRole** out) noexcept
{
    ErrorContext context(op::CopySecRole_getComObject);
    return Barrier(ReportCaught(context), [&] {
        context.SetTextParam(1, param::sRoleId, text);
        if (IsEmptyText(text)) {
            return ReportNullOrEmpty(context, param::sRoleId, text);
        }
        if (!authorization) return ReportFailure(context, E_UNEXPECTED);

        bool found = false;
        RoleRecord record;
        HRESULT hr = authorization->LookUpRole(NormalizeRoleText(text).c_str(), found, &record);
        if (FAILED(hr)) return ReportFailure(context, hr);
        if (!found) return ReportFailure(context, AUTH_E_ROLE_RECORD_MISSING);

        com_ptr<ComObject<CKQSecRole>> role;
        hr = ComObject<CKQSecRole>::Create(role);
        if (FAILED(hr)) return ReportFailure(context, hr);
        role->Fill(authorization, std::move(record));

        hr = role.query_to(out);
        if (FAILED(hr)) return ReportFailure(context, hr);
        return hr;
    });
}

HRESULT CopyRoleIntoVariant(VARIANT* out, const CRoleInfo& element) noexcept
{
    ErrorContext context(op::CopySecRole_copyVrtIfc);
    return Barrier(ReportCaught(context), [&] {
        context.SetTextParam(1, param::sGuid, element.m_sRoleId.wide());
        com_ptr<IKQSecRole> role;
        HRESULT hr = MakeRoleObject(element.m_sRoleId.wide(), element.m_pAuthorization, role.put());
        if (SUCCEEDED(hr)) {
            V_VT(out) = VT_DISPATCH;
            V_DISPATCH(out) = nullptr;
            hr = role.query_to(&V_DISPATCH(out));
            if (FAILED(hr)) V_VT(out) = VT_EMPTY;
        }
        if (FAILED(hr)) return ReportFailure(context, hr);
        return hr;
    });
}

const InterfaceEntry* CRoleEnumerator::Interfaces() noexcept
{
    static const InterfaceEntry entries[] = {
        INTERFACE_ENTRY(CRoleEnumerator, IEnumVARIANT),
        INTERFACE_ENTRY_END,
    };
    return entries;
}

void CRoleEnumerator::Init(CKQSecRolesCollection* collection, size_t position) noexcept
{
    m_collection = com_ptr<IUnknown>(collection->GetControllingUnknown());
    m_roles = collection;
    m_position = position;
}

STDMETHODIMP CRoleEnumerator::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched)
{
    if (!rgVar || (celt > 1 && !pCeltFetched)) return E_POINTER;
    if (pCeltFetched) *pCeltFetched = 0;
    ULONG fetched = 0;
    CRoleInfo element;
    while (fetched < celt && m_roles->ElementAt(m_position, element)) {
        VariantInit(&rgVar[fetched]);
        HRESULT hr = CopyRoleIntoVariant(&rgVar[fetched], element);
        if (FAILED(hr)) {
            for (ULONG i = 0; i < fetched; ++i) VariantClear(&rgVar[i]);
            return hr;
        }
        ++m_position;
        ++fetched;
    }
    if (pCeltFetched) *pCeltFetched = fetched;
    return fetched < celt ? S_FALSE : S_OK;
}

STDMETHODIMP CRoleEnumerator::Skip(ULONG celt)
{
    size_t count = m_roles->ElementCount();
    for (ULONG i = 0; i < celt; ++i) {
        if (m_position >= count) return S_FALSE;
        ++m_position;
    }
    return S_OK;
}

STDMETHODIMP CRoleEnumerator::Reset()
{
    m_position = 0;
    return S_OK;
}

STDMETHODIMP CRoleEnumerator::Clone(IEnumVARIANT** ppEnum)
{
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    return CreateRoleEnumerator(m_roles, m_position, ppEnum);
}

HRESULT CreateRoleEnumerator(CKQSecRolesCollection* collection, size_t position,
                             IEnumVARIANT** out) noexcept
{
    com_ptr<ComObject<CRoleEnumerator>> enumerator;
    if (FAILED(ComObject<CRoleEnumerator>::Create(enumerator))) return E_OUTOFMEMORY;
    enumerator->Init(collection, position);
    return enumerator.query_to(out);
}
