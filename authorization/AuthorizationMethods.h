// The operations of IIKIVAuthorization in the order of the type library,
// declared once for every class that implements the interface.
#pragma once

#include "Authorization.h"

// Laid out by hand: the formatter reads the parameters as products.
// clang-format off
#define IIKIVAUTHORIZATION_METHODS                                                               \
    STDMETHOD(CheckAccessEx)(BSTR Domain, BSTR UserName, BSTR SecObjectDN,                       \
                             LONG AccessPermission, VARIANT_BOOL* Result) override;              \
    STDMETHOD(InitCacheEx)(BSTR Domain, BSTR UserName) override;                                 \
    STDMETHOD(RefreshCache)() override;                                                          \
    STDMETHOD(ClearCache)() override;                                                            \
    STDMETHOD(CheckAccess)(BSTR bstrDN, LONG AccessPermission, VARIANT_BOOL* Result) override;   \
    STDMETHOD(InitCache)() override;                                                             \
    STDMETHOD(get_Roles)(BSTR Domain, BSTR UserName, VARIANT* Roles) override;                   \
    STDMETHOD(GetAllRoles)(VARIANT* RoleNames, VARIANT* RoleIds) override;                       \
    STDMETHOD(GetUserRoles)(BSTR Domain, BSTR UserName, VARIANT* RoleNames,                      \
                            VARIANT* RoleIds) override;                                          \
    STDMETHOD(GetSecureGroupMembers)(BSTR applName, BSTR groupName, VARIANT* secObjNames,        \
                                     VARIANT* secObjIds) override;                               \
    STDMETHOD(GetSecurityId)(BSTR applName, BSTR groupName, BSTR SecObjName, BSTR* Id) override; \
    STDMETHOD(GetSecureGroups)(BSTR applName, VARIANT* secGroupNames,                            \
                               VARIANT* secGroupIds) override;                                   \
    STDMETHOD(GetLastErrors)(VARIANT* pValErrors) override;                                      \
    STDMETHOD(SetHTTPTimeout)(LONG newVal) override;                                             \
    STDMETHOD(CheckRoleAccess)(BSTR RoleName, BSTR SecObjectDN, LONG AccessPermission,           \
                               VARIANT_BOOL* Result) override;                                   \
    STDMETHOD(checkCache)(IUnknown** ppUnk, BSTR* pstrTime) override;                            \
    STDMETHOD(get_RolesColl)(IKQSecRolesCollection** ppRoles, BSTR* pstrTime) override;          \
    STDMETHOD(put_AuthSecClient)(IUnknown* pSec) override;                                       \
    STDMETHOD(get_AuthSecClient)(IUnknown** ppSec) override;                                     \
    STDMETHOD(get_RolesVar)(BSTR Domain, BSTR UserName, VARIANT* Roles) override;                \
    STDMETHOD(GetAllRolesVar)(VARIANT* RoleNames, VARIANT* RoleIds) override;                    \
    STDMETHOD(RefreshCacheEx)(LONG lCacheType) override;                                         \
    STDMETHOD(get_RegAuthDefaultDomain)(BSTR* AuthDefaultDomain) override;
// clang-format on
