#include "IKIVAuthorization.h"

#include "AppFramework.h"
#include "DefaultDomain.h"
#include "NarrowText.h"
#include "VariantArray.h"
#include "reporting/Messages.h"
#include "reporting/OperationNames.h"
#include "roles/KQSecRolesCollection.h"

#include <string>

namespace {

constexpr unsigned long kAllCacheTypes = 0xFFFF;
// InitCache always asks the library for these cache types.
constexpr unsigned long kInitCacheTypes = 3;

VARIANT_BOOL ToVariantBool(bool value) noexcept
{
    return value ? VARIANT_TRUE : VARIANT_FALSE;
}

HRESULT ToStatus(bool ok) noexcept
{
    return ok ? S_OK : E_FAIL;
}

bool HasAccount(const wchar_t* domain, const wchar_t* userName) noexcept
{
    return !IsEmptyText(domain) || !IsEmptyText(userName);
}

}  // namespace

std::wstring JoinDomainUser(const wchar_t* domain, const wchar_t* userName)
{
    std::wstring account;
    if (!IsEmptyText(domain)) {
        account = domain;
        account += L'\\';
    }
    if (!IsEmptyText(userName)) account += userName;
    return account;
}

namespace {

// WideToAcp of JoinDomainUser, narrowed part by part: the joined wide text
// cost a heap allocation, half of what the module adds to a check.
NarrowText JoinDomainUserToAcp(const wchar_t* domain, const wchar_t* userName)
{
    const wchar_t* user = IsEmptyText(userName) ? L"" : userName;
    if (IsEmptyText(domain)) return WideToAcp({user});
    return WideToAcp({domain, L"\\", user});
}

}  // namespace

CIKIVAuthorization::~CIKIVAuthorization()
{
    // The client goes first, then the library object (a member, after this body).
    m_pSecClient.reset();
}

const InterfaceEntry* CIKIVAuthorization::Interfaces() noexcept
{
    static const InterfaceEntry entries[] = {
        INTERFACE_ENTRY(CIKIVAuthorization, IIKIVAuthorization),
        INTERFACE_ENTRY_IID(CIKIVAuthorization, IID_IDispatch, IIKIVAuthorization),
        INTERFACE_ENTRY(CIKIVAuthorization, ISupportErrorInfo),
        INTERFACE_ENTRY(CIKIVAuthorization, _IVokWebBpeSecurity),
        INTERFACE_ENTRY_END,
    };
    return entries;
}

STDMETHODIMP CIKIVAuthorization::CheckAccess(BSTR bstrDN, LONG AccessPermission,
                                             VARIANT_BOOL* Result)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (!Result) return E_INVALIDARG;
    *Result = VARIANT_FALSE;
    COM_TRY
    NarrowText dn = WideToAcp(bstrDN);
    *Result = ToVariantBool(
        m_authorize.CheckAccess(dn.get(), static_cast<unsigned long>(AccessPermission)));
    return S_OK;
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CIKIVAuthorization::CheckAccessEx(BSTR Domain, BSTR UserName, BSTR SecObjectDN,
                                               LONG AccessPermission, VARIANT_BOOL* Result)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (!Result) return E_INVALIDARG;
    *Result = VARIANT_FALSE;
    COM_TRY
    NarrowText dn = WideToAcp(SecObjectDN);
    NarrowText account;
    if (HasAccount(Domain, UserName)) account = JoinDomainUserToAcp(Domain, UserName);
    *Result = ToVariantBool(m_authorize.CheckAccess(
        account.get(), dn.get(), static_cast<unsigned long>(AccessPermission)));
    return S_OK;
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CIKIVAuthorization::CheckRoleAccess(BSTR RoleName, BSTR SecObjectDN,
                                                 LONG AccessPermission, VARIANT_BOOL* Result)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (!Result) return E_INVALIDARG;
    *Result = VARIANT_FALSE;
    NarrowText dn = WideToThreadAcp(SecObjectDN);
    NarrowText roleName = WideToThreadAcp(RoleName);
    // A text that could not be converted must never reach the library as
    // "no text": the answer is a denial.
    if (dn.failed() || roleName.failed()) return E_UNEXPECTED;
    *Result = ToVariantBool(m_authorize.CheckRoleAccess(
        roleName.get(), dn.get(), static_cast<unsigned long>(AccessPermission)));
    return S_OK;
}

STDMETHODIMP CIKIVAuthorization::InitCache()
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return ToStatus(m_authorize.InitCache());
}

STDMETHODIMP CIKIVAuthorization::InitCacheEx(BSTR Domain, BSTR UserName)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    COM_TRY
    NarrowText account;
    RETURN_IF_FAILED(ThreadAcpAccount(Domain, UserName, account));
    return ToStatus(m_authorize.InitCache(account.get(), kInitCacheTypes));
    COM_CATCH_RETURN(E_UNEXPECTED)
}

HRESULT CIKIVAuthorization::RefreshWithTypes(unsigned long cacheTypes) noexcept
{
    bool refreshed = true;
    if (!m_authorize.RefreshCache(refreshed, cacheTypes)) return E_FAIL;
    return refreshed ? S_OK : S_FALSE;
}

STDMETHODIMP CIKIVAuthorization::RefreshCache()
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return RefreshWithTypes(kAllCacheTypes);
}

STDMETHODIMP CIKIVAuthorization::RefreshCacheEx(LONG lCacheType)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return RefreshWithTypes(static_cast<unsigned long>(lCacheType));
}

STDMETHODIMP CIKIVAuthorization::ClearCache()
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return ToStatus(m_authorize.ClearCache(kAllCacheTypes));
}

STDMETHODIMP CIKIVAuthorization::SetHTTPTimeout(LONG newVal)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    m_authorize.SetHTTPTimeout(newVal);
    return S_OK;
}

STDMETHODIMP CIKIVAuthorization::GetLastErrors(VARIANT* pValErrors)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (!pValErrors) return E_POINTER;
    VARIANT* errors = m_authorize.GetLastVokErrors();
    if (!errors) return E_FAIL;
    return VariantCopy(pValErrors, errors);
}

HRESULT CIKIVAuthorization::SetSecurityServer(BSTR Reserved, BSTR Url) noexcept
{
    // A setting of the library as a whole, not of one object.
    HMODULE library = GetModuleHandleA("KivAuth.dll");
    if (!library) return S_OK;
    auto setSecurityServer =
        reinterpret_cast<SetSecurityServerFn>(GetProcAddress(library, "SetSecurityServer"));
    if (!setSecurityServer) return S_OK;
    return setSecurityServer(Reserved, Url);
}

STDMETHODIMP CIKIVAuthorization::SetSecServer(BSTR Reserved, BSTR Url)
{
    return SetSecurityServer(Reserved, Url);
}

HRESULT CIKIVAuthorization::GetSecClient(IAuthSecClient** client) noexcept
{
    if (!m_pSecClient) return E_FAIL;
    if (!client) return E_POINTER;
    return m_pSecClient->QueryInterface(IID_IAuthSecClient, reinterpret_cast<void**>(client));
}

// Role and group queries.

HRESULT CIKIVAuthorization::ThreadAcpAccount(const wchar_t* Domain, const wchar_t* UserName,
                                             NarrowText& account)
{
    account = NarrowText();
    if (!HasAccount(Domain, UserName)) return S_OK;
    account = WideToThreadAcp(JoinDomainUser(Domain, UserName).c_str());
    // A null account would answer for the cache's own user instead.
    return account.failed() ? E_UNEXPECTED : S_OK;
}

STDMETHODIMP CIKIVAuthorization::get_Roles(BSTR Domain, BSTR UserName, VARIANT* Roles)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    COM_TRY
    NarrowText account;
    RETURN_IF_FAILED(ThreadAcpAccount(Domain, UserName, account));
    return m_authorize.GetRoles(account.get(), Roles);
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CIKIVAuthorization::get_RolesVar(BSTR Domain, BSTR UserName, VARIANT* Roles)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    COM_TRY
    unique_variant roles;
    NarrowText account;
    RETURN_IF_FAILED(ThreadAcpAccount(Domain, UserName, account));
    RETURN_IF_FAILED(m_authorize.GetRoles(account.get(), &roles));
    return ConvertToVariantArray(&roles, Roles);
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CIKIVAuthorization::GetAllRoles(VARIANT* RoleNames, VARIANT* RoleIds)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return m_authorize.GetAllRoles(RoleNames, RoleIds);
}

STDMETHODIMP CIKIVAuthorization::GetAllRolesVar(VARIANT* RoleNames, VARIANT* RoleIds)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    unique_variant names, ids;
    if (!RoleNames || !RoleIds) return E_INVALIDARG;
    V_VT(RoleNames) = VT_EMPTY;
    V_VT(RoleIds) = VT_EMPTY;
    RETURN_IF_FAILED(m_authorize.GetAllRoles(&names, &ids));
    RETURN_IF_FAILED(ConvertToVariantArray(&names, RoleNames));
    return ConvertToVariantArray(&ids, RoleIds);
}

STDMETHODIMP CIKIVAuthorization::GetUserRoles(BSTR Domain, BSTR UserName, VARIANT* RoleNames,
                                              VARIANT* RoleIds)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    COM_TRY
    NarrowText account;
    if (HasAccount(Domain, UserName)) {
        // Only a missing domain is taken from the registry.
        BstrText domain = IsEmptyText(Domain) ? ReadDefaultDomain() : BstrText(Domain);
        RETURN_IF_FAILED(ThreadAcpAccount(domain.wide(), UserName, account));
    }
    return m_authorize.GetRoles(account.get(), RoleNames, RoleIds);
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CIKIVAuthorization::GetSecureGroups(BSTR applName, VARIANT* secGroupNames,
                                                 VARIANT* secGroupIds)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return m_authorize.GetSecureGroups(applName, secGroupNames, secGroupIds);
}

STDMETHODIMP CIKIVAuthorization::GetSecureGroupMembers(BSTR applName, BSTR groupName,
                                                       VARIANT* secObjNames, VARIANT* secObjIds)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return m_authorize.GetSecureGroupMembers(applName, groupName, secObjNames, secObjIds);
}

STDMETHODIMP CIKIVAuthorization::GetSecurityId(BSTR applName, BSTR groupName, BSTR SecObjName,
                                               BSTR* Id)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (!Id) return E_POINTER;
    // An [out] slot holds nothing owned on entry; the library may leave it unwritten.
    *Id = nullptr;
    COM_TRY
    HRESULT hr = m_authorize.GetSecurityId(applName, groupName, SecObjName, Id);
    if (!IsEmptyText(*Id)) return hr;

    // Not found: the catch-all entry answers. An empty id the library
    // allocated would leak when the second call overwrites the slot.
    SysFreeString(*Id);
    *Id = nullptr;
    unique_bstr others = unique_bstr::copy_of(L"Others");
    unique_bstr empty = unique_bstr::copy_of(L"");
    return m_authorize.GetSecurityId(others.get(), empty.get(), empty.get(), Id);
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CIKIVAuthorization::checkCache(IUnknown** ppUnk, BSTR* pstrTime)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    com_ptr<IKivXml2> appCache;
    RETURN_IF_FAILED(m_authorize.GetAppCache(appCache.put(), pstrTime));
    if (!appCache) return E_POINTER;
    return appCache->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ppUnk));
}

STDMETHODIMP CIKIVAuthorization::get_RegAuthDefaultDomain(BSTR* AuthDefaultDomain)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (!AuthDefaultDomain) return E_POINTER;
    COM_TRY
    *AuthDefaultDomain = ReadDefaultDomain().copy();
    return S_OK;
    COM_CATCH_RETURN(E_UNEXPECTED)
}

// Client attachment and the roles collection.

STDMETHODIMP CIKIVAuthorization::get_RolesColl(IKQSecRolesCollection** ppRoles, BSTR* pstrTime)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    COM_TRY
    ErrorContext context(op::Authorization_get_RolesColl);
    // Every call makes a new collection, which keeps this object alive.
    com_ptr<ComObject<CKQSecRolesCollection>> collection;
    HRESULT hr = ComObject<CKQSecRolesCollection>::Create(collection);
    if (SUCCEEDED(hr)) hr = collection->Init(this);
    if (SUCCEEDED(hr))
        hr = collection->QueryInterface(IID_IKQSecRolesCollection, reinterpret_cast<void**>(ppRoles));
    if (FAILED(hr)) return ReportError(context, hr, kReportKind, GetSystemMessage(hr));
    if (pstrTime) *pstrTime = collection->CacheTime().copy();
    return hr;
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CIKIVAuthorization::put_AuthSecClient(IUnknown* pSec)
{
    COM_TRY
    ErrorContext context(op::Authorization_put_AuthSecClient);
    context.SetNumberParam(1, param::pSec, static_cast<LONG>(reinterpret_cast<LONG_PTR>(pSec)));

    // The old client goes first: a failed attach leaves none attached.
    m_pSecClient.reset();
    if (!pSec) return S_OK;
    HRESULT hr = pSec->QueryInterface(IID_IAuthSecClient, m_pSecClient.put_void());
    if (FAILED(hr)) {
        m_pSecClient.reset();
        return ReportError(context, hr, kReportKind, GetSystemMessage(hr));
    }
    return hr;
    COM_CATCH_RETURN(E_UNEXPECTED)
}

STDMETHODIMP CIKIVAuthorization::get_AuthSecClient(IUnknown** ppSec)
{
    if (!m_pSecClient) return E_FAIL;
    if (!ppSec) return E_POINTER;
    return m_pSecClient->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ppSec));
}
