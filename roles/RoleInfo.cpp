#include "RoleInfo.h"

#include "KQSecRole.h"
#include "KQSecRolesCollection.h"
#include "Validation.h"
#include "authorization/IKIVAuthorization.h"
#include "reporting/Messages.h"
#include "reporting/OperationNames.h"

#include <cstring>

namespace {

void AppendMembers(std::vector<std::wstring>& list, CKIVRoleMember* const* block, LONG count)
{
    for (LONG i = 0; block && i < count; ++i) {
        if (!block[i]) continue;  // nothing to read
        BstrText name = RecordText(block[i]->name);
        list.emplace_back(name.wide(), name.length());
    }
}

}  // namespace

BstrText RecordText(const char (&field)[256])
{
    std::string text(field, strnlen(field, sizeof field));
    return BstrText::FromAcp(text.c_str());
}

HRESULT getComObject(const wchar_t* text, CIKIVAuthorization* authorization, IKQSecRole** out) noexcept
{
    try {
        ErrorContext context(op::CopySecRole_getComObject);
        context.SetTextParam(1, param::sRoleId, text);
        auto report = [&](HRESULT hr) {
            return ReportError(context, hr, kReportKind, GetSystemMessage(hr));
        };
        if (IsEmptyText(text)) {
            return ReportRequestError(context, AUTH_E_PARAM_NULL_OR_EMPTY, kReportKind,
                                      FormatModuleMessage(AUTH_E_PARAM_NULL_OR_EMPTY, param::sRoleId,
                                                          text ? L"<empty>" : L"<null>"),
                                      BstrText(param::sRoleId));
        }
        if (!authorization) return report(E_UNEXPECTED);

        CKIVRole* record = nullptr;
        HRESULT hr = authorization->m_authorize.GetRoleInfo(NormalizeRoleText(text).c_str(), &record);
        if (FAILED(hr)) return report(hr);
        if (!record) return report(AUTH_E_ROLE_RECORD_MISSING);

        com_ptr<ComObject<CKQSecRole>> role;
        hr = ComObject<CKQSecRole>::Create(role);
        if (FAILED(hr)) return report(hr);
        hr = authorization->GetControllingUnknown()->QueryInterface(IID_IIKIVAuthorization,
                                                               role->m_pAuthorization.put_void());
        if (FAILED(hr)) return report(hr);

        role->m_sId = RecordText(record->id);
        role->m_sName = RecordText(record->name);
        role->m_sDescription = RecordText(record->description);
        AppendMembers(role->m_users, record->users, record->userCount);
        AppendMembers(role->m_groups, record->groups, record->groupCount);

        hr = role->QueryInterface(IID_IKQSecRole, reinterpret_cast<void**>(out));
        if (FAILED(hr)) return report(hr);
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT copyVrtIfc(VARIANT* out, const CRoleInfo& element) noexcept
{
    try {
        ErrorContext context(op::CopySecRole_copyVrtIfc);
        context.SetTextParam(1, param::sGuid, element.m_sRoleId.wide());
        com_ptr<IKQSecRole> role;
        HRESULT hr = getComObject(element.m_sRoleId.wide(), element.m_pAuthorization, role.put());
        if (SUCCEEDED(hr)) {
            V_VT(out) = VT_DISPATCH;
            V_DISPATCH(out) = nullptr;
            hr = role->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&V_DISPATCH(out)));
            if (FAILED(hr)) V_VT(out) = VT_EMPTY;
        }
        if (FAILED(hr)) return ReportError(context, hr, kReportKind, GetSystemMessage(hr));
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

CRoleEnumerator::~CRoleEnumerator()
{
    if (m_collection) m_collection->Release();
}

const InterfaceEntry* CRoleEnumerator::Interfaces() noexcept
{
    static const InterfaceEntry entries[] = {
        INTERFACE_ENTRY(CRoleEnumerator, IEnumVARIANT),
        INTERFACE_ENTRY_END,
    };
    return entries;
}

void CRoleEnumerator::Init(CKQSecRolesCollection* collection, const std::vector<CRoleInfo>* roles,
                           size_t position) noexcept
{
    m_collection = collection->GetControllingUnknown();
    m_collection->AddRef();
    m_roles = roles;
    m_position = position;
}

STDMETHODIMP CRoleEnumerator::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched)
{
    if (!rgVar || (celt > 1 && !pCeltFetched)) return E_POINTER;
    if (pCeltFetched) *pCeltFetched = 0;
    ULONG fetched = 0;
    while (fetched < celt && m_position < m_roles->size()) {
        VariantInit(&rgVar[fetched]);
        HRESULT hr = copyVrtIfc(&rgVar[fetched], (*m_roles)[m_position]);
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
    for (ULONG i = 0; i < celt; ++i) {
        if (m_position >= m_roles->size()) return S_FALSE;
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
    com_ptr<ComObject<CRoleEnumerator>> clone;
    if (FAILED(ComObject<CRoleEnumerator>::Create(clone))) return E_OUTOFMEMORY;
    clone->m_collection = m_collection;
    m_collection->AddRef();
    clone->m_roles = m_roles;
    clone->m_position = m_position;
    return clone->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(ppEnum));
}

HRESULT CreateRoleEnumerator(CKQSecRolesCollection* collection, const std::vector<CRoleInfo>* roles,
                             size_t position, IEnumVARIANT** out) noexcept
{
    com_ptr<ComObject<CRoleEnumerator>> enumerator;
    if (FAILED(ComObject<CRoleEnumerator>::Create(enumerator))) return E_OUTOFMEMORY;
    enumerator->Init(collection, roles, position);
    return enumerator->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(out));
}
