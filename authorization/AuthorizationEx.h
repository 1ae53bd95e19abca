// CAuthorizationEx: the forwarding authorization object (coclass
// AuthorizationEx). It holds no authorization state: on first use it creates
// an authorization object, wherever the runtime places it, and passes every
// call on to it, turning arrays of strings into arrays of VARIANTs.
#pragma once

#include "Authorization.h"
#include "ComObject.h"
#include "TypeInfoDispatch.h"

class CAuthorizationEx : public DispatchImpl<IIKIVAuthorization>,
                         public DispatchImpl<_IVokWebBpeSecurity>,
                         public ComObjectRoot {
public:
    CAuthorizationEx() = default;
    ~CAuthorizationEx();

    static const InterfaceEntry* Interfaces() noexcept;

    // IIKIVAuthorization
    STDMETHOD(CheckAccessEx)(BSTR Domain, BSTR UserName, BSTR SecObjectDN, LONG AccessPermission,
                             VARIANT_BOOL* Result) override;
    STDMETHOD(InitCacheEx)(BSTR Domain, BSTR UserName) override;
    STDMETHOD(RefreshCache)() override;
    STDMETHOD(ClearCache)() override;
    STDMETHOD(CheckAccess)(BSTR bstrDN, LONG AccessPermission, VARIANT_BOOL* Result) override;
    STDMETHOD(InitCache)() override;
    STDMETHOD(get_Roles)(BSTR Domain, BSTR UserName, VARIANT* Roles) override;
    STDMETHOD(GetAllRoles)(VARIANT* RoleNames, VARIANT* RoleIds) override;
    STDMETHOD(GetUserRoles)(BSTR Domain, BSTR UserName, VARIANT* RoleNames,
                            VARIANT* RoleIds) override;
    STDMETHOD(GetSecureGroupMembers)(BSTR applName, BSTR groupName, VARIANT* secObjNames,
                                     VARIANT* secObjIds) override;
    STDMETHOD(GetSecurityId)(BSTR applName, BSTR groupName, BSTR SecObjName, BSTR* Id) override;
    STDMETHOD(GetSecureGroups)(BSTR applName, VARIANT* secGroupNames,
                               VARIANT* secGroupIds) override;
    STDMETHOD(GetLastErrors)(VARIANT* pValErrors) override;
    STDMETHOD(SetHTTPTimeout)(LONG newVal) override;
    STDMETHOD(CheckRoleAccess)(BSTR RoleName, BSTR SecObjectDN, LONG AccessPermission,
                               VARIANT_BOOL* Result) override;
    STDMETHOD(checkCache)(IUnknown** ppUnk, BSTR* pstrTime) override;
    STDMETHOD(get_RolesColl)(IKQSecRolesCollection** ppRoles, BSTR* pstrTime) override;
    STDMETHOD(put_AuthSecClient)(IUnknown* pSec) override;
    STDMETHOD(get_AuthSecClient)(IUnknown** ppSec) override;
    STDMETHOD(get_RolesVar)(BSTR Domain, BSTR UserName, VARIANT* Roles) override;
    STDMETHOD(GetAllRolesVar)(VARIANT* RoleNames, VARIANT* RoleIds) override;
    STDMETHOD(RefreshCacheEx)(LONG lCacheType) override;
    STDMETHOD(get_RegAuthDefaultDomain)(BSTR* AuthDefaultDomain) override;

    // _IVokWebBpeSecurity: acts on the library of this process, never on the inner object.
    STDMETHOD(SetSecServer)(BSTR Reserved, BSTR Url) override;

    // A counted reference to the inner object, created on first need.
    HRESULT GetInnerAuthorization(IIKIVAuthorization** inner) noexcept;

private:
    // Calls an operation of the inner object with one reference held for the call.
    template <class Call>
    HRESULT Forward(Call call) noexcept;
    // Forward for a check: a check that could not be asked, or that failed,
    // leaves "denied" in *Result, never an earlier or partly written grant.
    template <class Call>
    HRESULT ForwardCheck(VARIANT_BOOL* Result, Call call) noexcept;
    HRESULT SingleConversion(BSTR Domain, BSTR UserName, VARIANT* Roles) noexcept;
    // Whether a null out is refused (and the outs emptied) before the inner
    // call, or left for the inner object to answer.
    enum class NullOuts { Refused, PassedOn };
    template <class Call>
    HRESULT DoubleConversion(NullOuts nullOuts, VARIANT* names, VARIANT* ids, Call call) noexcept;

    com_ptr<IIKIVAuthorization> m_pInner;
};
