#include "AuthorizationEx.h"

#include "ErrorObject.h"
#include "ResourceOwners.h"
#include "IKIVAuthorization.h"
#include "VariantArray.h"

namespace {

const ErrorSource kErrors{L"Quarnex.VOK.AuthorizationEx", &IID_IIKIVAuthorization};
const ErrorSource kSecurityErrors{L"Quarnex.VOK.AuthorizationEx", &IID__IVokWebBpeSecurity};

}  // namespace

namespace {

// In-process, local and remote servers: the runtime chooses from the
// inner class's registration.
constexpr DWORD kInnerContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

}  // namespace

CAuthorizationEx::~CAuthorizationEx() = default;

const InterfaceEntry* CAuthorizationEx::Interfaces() noexcept
{
    static const InterfaceEntry entries[] = {
        INTERFACE_ENTRY(CAuthorizationEx, IIKIVAuthorization),
        INTERFACE_ENTRY_IID(CAuthorizationEx, IID_IDispatch, IIKIVAuthorization),
        INTERFACE_ENTRY(CAuthorizationEx, _IVokWebBpeSecurity),
        INTERFACE_ENTRY_END,
    };
    return entries;
}

HRESULT CAuthorizationEx::GetInnerAuthorization(IIKIVAuthorization** inner) noexcept
{
    if (!inner) return E_INVALIDARG;
    *inner = nullptr;
    HRESULT hr = S_OK;
    if (!m_pInner) {
        // Created without an outer unknown, also when this object is aggregated.
        hr = CoCreateInstance(CLSID_IKIVAuthorization, nullptr, kInnerContext,
                              IID_IIKIVAuthorization, m_pInner.put_void());
        if (FAILED(hr)) {
            m_pInner.reset();
            return hr;
        }
    }
    m_pInner.copy_to(inner);
    return hr;
}

template <class Call>
HRESULT CAuthorizationEx::Forward(Call call) noexcept
{
    com_ptr<IIKIVAuthorization> inner;
    RETURN_IF_FAILED(GetInnerAuthorization(inner.put()));
    return Barrier(E_UNEXPECTED, [&] { return call(inner.get()); });
}

template <class Call>
HRESULT CAuthorizationEx::ForwardCheck(VARIANT_BOOL* Result, Call call) noexcept
{
    if (Result) *Result = VARIANT_FALSE;
    HRESULT hr = Forward(call);
    if (FAILED(hr) && Result) *Result = VARIANT_FALSE;
    return hr;
}

HRESULT CAuthorizationEx::SingleConversion(BSTR Domain, BSTR UserName, VARIANT* Roles) noexcept
{
    unique_variant roles;
    com_ptr<IIKIVAuthorization> inner;
    RETURN_IF_FAILED(GetInnerAuthorization(inner.put()));
    RETURN_IF_FAILED(inner->get_Roles(Domain, UserName, &roles));
    return ConvertToVariantArray(&roles, Roles);
}

template <class Call>
HRESULT CAuthorizationEx::DoubleConversion(NullOuts nullOuts, VARIANT* RoleNames, VARIANT* RoleIds,
                                           Call call) noexcept
{
    unique_variant names, ids;
    if (nullOuts == NullOuts::Refused) {
        if (!RoleNames || !RoleIds) return E_INVALIDARG;
        V_VT(RoleNames) = VT_EMPTY;
        V_VT(RoleIds) = VT_EMPTY;
    }
    com_ptr<IIKIVAuthorization> inner;
    RETURN_IF_FAILED(GetInnerAuthorization(inner.put()));
    RETURN_IF_FAILED(call(inner.get(), &names, &ids));
    RETURN_IF_FAILED(ConvertToVariantArray(&names, RoleNames));
    return ConvertToVariantArray(&ids, RoleIds);
}

STDMETHODIMP CAuthorizationEx::CheckAccessEx(BSTR Domain, BSTR UserName, BSTR SecObjectDN,
                                             LONG AccessPermission, VARIANT_BOOL* Result)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return ForwardCheck(Result, [&](IIKIVAuthorization* inner) {
            return inner->CheckAccessEx(Domain, UserName, SecObjectDN, AccessPermission, Result);
        });
    });
}

STDMETHODIMP CAuthorizationEx::InitCacheEx(BSTR Domain, BSTR UserName)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Forward(
            [&](IIKIVAuthorization* inner) { return inner->InitCacheEx(Domain, UserName); });
    });
}

STDMETHODIMP CAuthorizationEx::RefreshCache()
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Forward([](IIKIVAuthorization* inner) { return inner->RefreshCache(); });
    });
}

STDMETHODIMP CAuthorizationEx::ClearCache()
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Forward([](IIKIVAuthorization* inner) { return inner->ClearCache(); });
    });
}

STDMETHODIMP CAuthorizationEx::CheckAccess(BSTR bstrDN, LONG AccessPermission, VARIANT_BOOL* Result)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return ForwardCheck(Result, [&](IIKIVAuthorization* inner) {
            return inner->CheckAccess(bstrDN, AccessPermission, Result);
        });
    });
}

STDMETHODIMP CAuthorizationEx::InitCache()
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Forward([](IIKIVAuthorization* inner) { return inner->InitCache(); });
    });
}

STDMETHODIMP CAuthorizationEx::get_Roles(BSTR Domain, BSTR UserName, VARIANT* Roles)
{
    return WithErrorObject(kErrors,
                           [&]() -> HRESULT { return SingleConversion(Domain, UserName, Roles); });
}

STDMETHODIMP CAuthorizationEx::get_RolesVar(BSTR Domain, BSTR UserName, VARIANT* Roles)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        // The inner get_Roles, converted here: both names give the same result.
        return SingleConversion(Domain, UserName, Roles);
    });
}

STDMETHODIMP CAuthorizationEx::GetAllRoles(VARIANT* RoleNames, VARIANT* RoleIds)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return DoubleConversion(NullOuts::Refused, RoleNames, RoleIds,
                                [](IIKIVAuthorization* inner, VARIANT* names, VARIANT* ids) {
                                    return inner->GetAllRoles(names, ids);
                                });
    });
}

STDMETHODIMP CAuthorizationEx::GetAllRolesVar(VARIANT* RoleNames, VARIANT* RoleIds)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT { return GetAllRoles(RoleNames, RoleIds); });
}

STDMETHODIMP CAuthorizationEx::GetUserRoles(BSTR Domain, BSTR UserName, VARIANT* RoleNames,
                                            VARIANT* RoleIds)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return DoubleConversion(NullOuts::Refused, RoleNames, RoleIds,
                                [&](IIKIVAuthorization* inner, VARIANT* names, VARIANT* ids) {
                                    return inner->GetUserRoles(Domain, UserName, names, ids);
                                });
    });
}

STDMETHODIMP CAuthorizationEx::GetSecureGroupMembers(BSTR applName, BSTR groupName,
                                                     VARIANT* secObjNames, VARIANT* secObjIds)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return DoubleConversion(NullOuts::PassedOn, secObjNames, secObjIds,
                                [&](IIKIVAuthorization* inner, VARIANT* names, VARIANT* ids) {
                                    return inner->GetSecureGroupMembers(applName, groupName, names,
                                                                        ids);
                                });
    });
}

STDMETHODIMP CAuthorizationEx::GetSecureGroups(BSTR applName, VARIANT* secGroupNames,
                                               VARIANT* secGroupIds)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return DoubleConversion(NullOuts::PassedOn, secGroupNames, secGroupIds,
                                [&](IIKIVAuthorization* inner, VARIANT* names, VARIANT* ids) {
                                    return inner->GetSecureGroups(applName, names, ids);
                                });
    });
}

STDMETHODIMP CAuthorizationEx::GetSecurityId(BSTR applName, BSTR groupName, BSTR SecObjName,
                                             BSTR* Id)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Forward([&](IIKIVAuthorization* inner) {
            return inner->GetSecurityId(applName, groupName, SecObjName, Id);
        });
    });
}

STDMETHODIMP CAuthorizationEx::GetLastErrors(VARIANT* pValErrors)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Forward([&](IIKIVAuthorization* inner) { return inner->GetLastErrors(pValErrors); });
    });
}

STDMETHODIMP CAuthorizationEx::SetHTTPTimeout(LONG newVal)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Forward([&](IIKIVAuthorization* inner) { return inner->SetHTTPTimeout(newVal); });
    });
}

STDMETHODIMP CAuthorizationEx::CheckRoleAccess(BSTR RoleName, BSTR SecObjectDN,
                                               LONG AccessPermission, VARIANT_BOOL* Result)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return ForwardCheck(Result, [&](IIKIVAuthorization* inner) {
            return inner->CheckRoleAccess(RoleName, SecObjectDN, AccessPermission, Result);
        });
    });
}

STDMETHODIMP CAuthorizationEx::checkCache(IUnknown** ppUnk, BSTR* pstrTime)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Forward(
            [&](IIKIVAuthorization* inner) { return inner->checkCache(ppUnk, pstrTime); });
    });
}

STDMETHODIMP CAuthorizationEx::get_RolesColl(IKQSecRolesCollection** ppRoles, BSTR* pstrTime)
{
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        return Forward(
            [&](IIKIVAuthorization* inner) { return inner->get_RolesColl(ppRoles, pstrTime); });
    });
}

STDMETHODIMP CAuthorizationEx::put_AuthSecClient(IUnknown* pSec)
{
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        return Forward([&](IIKIVAuthorization* inner) { return inner->put_AuthSecClient(pSec); });
    });
}

STDMETHODIMP CAuthorizationEx::get_AuthSecClient(IUnknown** ppSec)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Forward([&](IIKIVAuthorization* inner) { return inner->get_AuthSecClient(ppSec); });
    });
}

STDMETHODIMP CAuthorizationEx::RefreshCacheEx(LONG lCacheType)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Forward(
            [&](IIKIVAuthorization* inner) { return inner->RefreshCacheEx(lCacheType); });
    });
}

STDMETHODIMP CAuthorizationEx::get_RegAuthDefaultDomain(BSTR* AuthDefaultDomain)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Forward([&](IIKIVAuthorization* inner) {
            return inner->get_RegAuthDefaultDomain(AuthDefaultDomain);
        });
    });
}

STDMETHODIMP CAuthorizationEx::SetSecServer(BSTR Reserved, BSTR Url)
{
    return WithErrorObject(kSecurityErrors, [&]() -> HRESULT {
        return CIKIVAuthorization::SetSecurityServer(Reserved, Url);
    });
}
