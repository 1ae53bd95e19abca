// CKQSecRolesCollection: the roles of the library's role cache, as the
// authorization object hands them out. Lookups go to the library each time;
// changes go through the attached security-database client, after which the
// cache is refreshed and the collection filled again.
#pragma once

#include "Authorization.h"
#include "BstrText.h"
#include "ComObject.h"
#include "RoleInfo.h"
#include "SupportErrorInfo.h"
#include "TypeInfoDispatch.h"

#include <ocidl.h>
#include <vector>

class CIKIVAuthorization;

class CKQSecRolesCollection : public SupportErrorInfoImpl<IKQSecRolesCollection>,
                              public DispatchImpl<IKQSecRolesCollection>,
                              public IProvideClassInfo2,
                              public ComObjectRoot {
public:
    CKQSecRolesCollection() = default;
    ~CKQSecRolesCollection();

    static const InterfaceEntry* Interfaces() noexcept;
    HRESULT FinalConstruct() noexcept;
    void FinalRelease() noexcept;

    // Takes a counted reference to the authorization object and fills the
    // collection from its role cache.
    HRESULT Init(CIKIVAuthorization* authorization) noexcept;
    const BstrText& CacheTime() const noexcept { return m_sCacheTime; }

    // IKQSecRolesCollection
    STDMETHOD(get__NewEnum)(IUnknown** Val) override;
    STDMETHOD(get_Item)(BSTR RoleId, IKQSecRole** Val) override;
    STDMETHOD(get_Count)(LONG* Val) override;
    STDMETHOD(get_ReadOnly)(VARIANT_BOOL* ReadOnly) override;
    STDMETHOD(ItemPos)(LONG Pos, IKQSecRole** Val) override;
    STDMETHOD(Add)(BSTR Name, BSTR Description, BSTR GUID, IKQSecRole** Val) override;
    STDMETHOD(Remove)(BSTR RoleId) override;
    STDMETHOD(RemoveAll)() override;
    STDMETHOD(IsExists)(BSTR RoleId, VARIANT_BOOL* Exist) override;

    // IProvideClassInfo2
    STDMETHOD(GetClassInfo)(ITypeInfo** ppTI) override;
    STDMETHOD(GetGUID)(DWORD dwGuidKind, GUID* pGUID) override;

private:
    void SetAuthorization(CIKIVAuthorization* authorization) noexcept;
    HRESULT RefreshAndRefill() noexcept;

    std::vector<CRoleInfo> m_roles;
    CIKIVAuthorization* m_pAuthorization = nullptr;  // counted through its controlling unknown
    BstrText m_sCacheTime;
    com_ptr<IUnknown> m_marshaler;
};
