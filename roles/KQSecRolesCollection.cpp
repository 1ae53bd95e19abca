#include "KQSecRolesCollection.h"

#include "AppFramework.h"
#include "AuthSecClient.h"
#include "Validation.h"
#include "NarrowText.h"
#include "authorization/IKIVAuthorization.h"
#include "reporting/Messages.h"
#include "reporting/OperationNames.h"

#include <string>

namespace {

// The cache types that a committed role change refreshes.
constexpr LONG kRoleCacheType = 2;

HRESULT ReportFailure(const ErrorContext& context, HRESULT hr)
{
    return ReportError(context, hr, kReportKind, GetSystemMessage(hr));
}

// 0x80041000 for a missing role identifier or name.
HRESULT ReportMissingRoleId(const ErrorContext& context, const wchar_t* roleId)
{
    return ReportRequestError(context, AUTH_E_PARAM_NULL_OR_EMPTY, kReportKind,
                              FormatModuleMessage(AUTH_E_PARAM_NULL_OR_EMPTY, param::sRoleId,
                                                  roleId ? L"<empty>" : L"<null>"),
                              BstrText(param::sRoleId));
}

}  // namespace

CKQSecRolesCollection::~CKQSecRolesCollection()
{
    SetAuthorization(nullptr);
}

const InterfaceEntry* CKQSecRolesCollection::Interfaces() noexcept
{
    static const InterfaceEntry entries[] = {
        INTERFACE_ENTRY(CKQSecRolesCollection, IKQSecRolesCollection),
        INTERFACE_ENTRY_IID(CKQSecRolesCollection, IID_IDispatch, IKQSecRolesCollection),
        INTERFACE_ENTRY(CKQSecRolesCollection, ISupportErrorInfo),
        INTERFACE_ENTRY_AGGREGATE(CKQSecRolesCollection, IID_IMarshal, m_marshaler),
        INTERFACE_ENTRY(CKQSecRolesCollection, IProvideClassInfo2),
        INTERFACE_ENTRY_IID(CKQSecRolesCollection, IID_IProvideClassInfo, IProvideClassInfo2),
        INTERFACE_ENTRY_END,
    };
    return entries;
}

HRESULT CKQSecRolesCollection::FinalConstruct() noexcept
{
    return CoCreateFreeThreadedMarshaler(GetControllingUnknown(), m_marshaler.put());
}

void CKQSecRolesCollection::FinalRelease() noexcept
{
    m_marshaler.reset();
}

void CKQSecRolesCollection::SetAuthorization(CIKIVAuthorization* authorization) noexcept
{
    if (authorization) authorization->GetControllingUnknown()->AddRef();
    if (m_pAuthorization) m_pAuthorization->GetControllingUnknown()->Release();
    m_pAuthorization = authorization;
}

HRESULT CKQSecRolesCollection::Init(CIKIVAuthorization* authorization) noexcept
{
    try {
        ErrorContext context(op::RolesCollection_Init);
        SetAuthorization(authorization);
        if (!m_pAuthorization) return ReportFailure(context, E_UNEXPECTED);

        CKIVRoleList* list = nullptr;
        unique_bstr cacheTime;
        HRESULT hr = m_pAuthorization->m_authorize.GetRolesCache(&list, cacheTime.put());
        if (FAILED(hr)) return ReportFailure(context, hr);

        // A null list is the library's "no roles": keeping the old elements
        // would show roles that no longer exist.
        std::vector<CRoleInfo> roles;
        for (LONG i = 0; list && list->roles && i < list->count; ++i) {
            if (!list->roles[i]) continue;
            roles.push_back(CRoleInfo{RecordText(list->roles[i]->id), m_pAuthorization});
        }
        // The same list object: an enumerator reading it by index stays valid.
        m_roles.swap(roles);
        m_sCacheTime = BstrText::Attach(cacheTime.release());
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP CKQSecRolesCollection::get__NewEnum(IUnknown** Val)
{
    if (!Val) return E_POINTER;
    *Val = nullptr;
    com_ptr<IEnumVARIANT> enumerator;
    if (FAILED(CreateRoleEnumerator(this, &m_roles, 0, enumerator.put()))) return E_OUTOFMEMORY;
    return enumerator->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(Val));
}

STDMETHODIMP CKQSecRolesCollection::get_Item(BSTR RoleId, IKQSecRole** Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    COM_TRY
    ErrorContext context(op::RolesCollection_get_Item);
    context.SetTextParam(1, param::sRoleId, RoleId);
    if (IsEmptyText(RoleId)) return ReportMissingRoleId(context, RoleId);
    HRESULT hr = getComObject(RoleId, m_pAuthorization, Val);
    if (FAILED(hr)) return ReportFailure(context, hr);
    return hr;
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CKQSecRolesCollection::get_Count(LONG* Val)
{
    if (!Val) return E_POINTER;
    *Val = static_cast<LONG>(m_roles.size());
    return S_OK;
}

STDMETHODIMP CKQSecRolesCollection::get_ReadOnly(VARIANT_BOOL* ReadOnly)
{
    if (!ReadOnly) return E_POINTER;
    *ReadOnly = VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP CKQSecRolesCollection::ItemPos(LONG Pos, IKQSecRole** Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    COM_TRY
    ErrorContext context(op::RolesCollection_ItemPos);
    context.SetNumberParam(1, param::lPos, Pos);
    LONG count = static_cast<LONG>(m_roles.size());
    if (Pos < 0 || Pos >= count) {
        std::wstring countText = std::to_wstring(count), posText = std::to_wstring(Pos);
        return ReportRequestError(
            context, AUTH_E_INVALID_POSITION, kReportKind,
            FormatModuleMessage(AUTH_E_INVALID_POSITION, countText.c_str(), posText.c_str()),
            BstrText(countText.c_str()));
    }
    const CRoleInfo& element = m_roles[static_cast<size_t>(Pos)];
    HRESULT hr = getComObject(element.m_sRoleId.wide(), m_pAuthorization, Val);
    if (FAILED(hr)) return ReportFailure(context, hr);
    return hr;
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CKQSecRolesCollection::IsExists(BSTR RoleId, VARIANT_BOOL* Exist)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    COM_TRY
    ErrorContext context(op::RolesCollection_IsExists);
    context.SetTextParam(1, param::sRoleId, RoleId);
    if (IsEmptyText(RoleId)) return ReportMissingRoleId(context, RoleId);
    if (!Exist) return E_POINTER;
    *Exist = VARIANT_FALSE;
    if (!m_pAuthorization) return ReportFailure(context, E_UNEXPECTED);

    CKIVRole* record = nullptr;
    HRESULT hr = m_pAuthorization->m_authorize.GetRoleInfo(NormalizeRoleText(RoleId).c_str(), &record);
    if (SUCCEEDED(hr) && record) {
        *Exist = VARIANT_TRUE;
        return S_OK;
    }
    // Only a malformed identifier is a failure; any other miss means "no such role".
    if (hr == AUTH_E_INVALID_GUID) return ReportFailure(context, hr);
    return S_OK;
    COM_CATCH_RETURN(E_UNEXPECTED)
}

HRESULT CKQSecRolesCollection::RefreshAndRefill() noexcept
{
    com_ptr<IIKIVAuthorization> authorization;
    HRESULT hr = m_pAuthorization->GetControllingUnknown()->QueryInterface(
        IID_IIKIVAuthorization, authorization.put_void());
    if (SUCCEEDED(hr)) hr = authorization->RefreshCacheEx(kRoleCacheType);
    if (SUCCEEDED(hr)) hr = Init(m_pAuthorization);
    return hr;
}

STDMETHODIMP CKQSecRolesCollection::Add(BSTR Name, BSTR Description, BSTR GUID, IKQSecRole** Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    COM_TRY
    ErrorContext context(op::RolesCollection_Add);
    context.SetTextParam(1, param::Name, Name);
    context.SetTextParam(2, param::Description, Description);
    context.SetTextParam(3, param::GUID, GUID);

    RETURN_IF_FAILED(CheckRoleName(context, param::Name, Name));
    if (!m_pAuthorization) return ReportFailure(context, E_UNEXPECTED);
    std::string narrowName = NormalizeRoleText(Name);
    std::wstring newName = WidenRoleText(narrowName);

    CKIVRole* existing = nullptr;
    HRESULT hr = m_pAuthorization->m_authorize.GetRoleInfo(narrowName.c_str(), &existing);
    if (SUCCEEDED(hr) && existing) {
        return ReportRequestError(context, AUTH_E_ROLE_EXISTS, kReportKind,
                                  FormatModuleMessage(AUTH_E_ROLE_EXISTS, newName.c_str()),
                                  BstrText(newName.c_str()));
    }

    com_ptr<IAuthSecClient> client;
    hr = m_pAuthorization->GetSecClient(client.put());
    if (FAILED(hr)) return ReportFailure(context, hr);

    unique_bstr identifier;
    hr = ValidateGuid(GUID, identifier);
    if (FAILED(hr)) return ReportFailure(context, hr);

    // The client may assign an identifier of its own; whatever the slot holds
    // afterwards is released unread.
    unique_bstr name = unique_bstr::copy_of(newName.c_str());
    hr = client->AddRole(name.get(), Description, identifier.inout());
    identifier.reset();
    client.reset();
    if (FAILED(hr)) return ReportFailure(context, hr);

    hr = RefreshAndRefill();
    if (SUCCEEDED(hr)) hr = get_Item(name.get(), Val);
    if (FAILED(hr)) return ReportFailure(context, hr);
    return hr;
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CKQSecRolesCollection::Remove(BSTR RoleId)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    COM_TRY
    ErrorContext context(op::RolesCollection_Remove);
    context.SetTextParam(1, param::sRoleId, RoleId);
    if (IsEmptyText(RoleId)) return ReportMissingRoleId(context, RoleId);
    if (!m_pAuthorization) return ReportFailure(context, E_UNEXPECTED);

    com_ptr<IAuthSecClient> client;
    HRESULT hr = m_pAuthorization->GetSecClient(client.put());
    if (FAILED(hr)) return ReportFailure(context, hr);

    // The lookup only has to succeed; its record is not looked at.
    std::wstring key = TrimSpaces(RoleId);
    CKIVRole* record = nullptr;
    hr = m_pAuthorization->m_authorize.GetRoleInfo(WideToAcp(key.c_str()).get(), &record);
    if (FAILED(hr)) return ReportFailure(context, hr);

    LONG ignored = 0;
    if (!key.empty() && key[0] == L'{') {
        unique_bstr prefixed = unique_bstr::copy_of(MakePrefixedRoleId(key).c_str());
        hr = client->DeleteRoleById(prefixed.get(), &ignored);
    } else {
        unique_bstr name = unique_bstr::copy_of(key.c_str());
        hr = client->DeleteRoleByName(name.get(), &ignored);
    }
    if (SUCCEEDED(hr)) hr = RefreshAndRefill();
    if (FAILED(hr)) return ReportFailure(context, hr);
    return hr;
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CKQSecRolesCollection::RemoveAll()
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    COM_TRY
    ErrorContext context(op::RolesCollection_RemoveAll);
    if (!m_pAuthorization) return ReportFailure(context, E_UNEXPECTED);

    // Without a client nothing can be deleted, which matters only when
    // there is something to delete.
    com_ptr<IAuthSecClient> client;
    HRESULT clientResult = m_pAuthorization->GetSecClient(client.put());

    CKIVRoleList* list = nullptr;
    unique_bstr cacheTime;
    HRESULT hr = m_pAuthorization->m_authorize.GetRolesCache(&list, cacheTime.put());
    if (FAILED(hr)) return ReportFailure(context, hr);

    if (list) {
        for (LONG i = 0; list->roles && i < list->count; ++i) {
            const CKIVRole* role = list->roles[i];
            if (!role) continue;
            if (FAILED(clientResult)) return ReportFailure(context, clientResult);
            unique_bstr name = unique_bstr::copy_of(TrimSpaces(RecordText(role->name).wide()).c_str());
            LONG ignored = 0;
            // A role that cannot be deleted does not stop the others.
            client->DeleteRoleByName(name.get(), &ignored);
        }
    }
    hr = RefreshAndRefill();
    if (FAILED(hr)) return ReportFailure(context, hr);
    return hr;
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CKQSecRolesCollection::GetClassInfo(ITypeInfo** ppTI)
{
    if (!ppTI) return E_POINTER;
    return GetModuleTypeInfo(CLSID_KQSecRolesCollection, ppTI);
}

STDMETHODIMP CKQSecRolesCollection::GetGUID(DWORD dwGuidKind, GUID* pGUID)
{
    if (!pGUID) return E_POINTER;
    *pGUID = GUID_NULL;
    if (dwGuidKind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    *pGUID = IID_IKQSecRolesCollection;
    return S_OK;
}
