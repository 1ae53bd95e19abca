// CKQSecRolesCollection: the roles of the library's role cache, as the
// authorization object hands them out. Lookups go to the library each time;
// changes go through the attached security-database client, after which the
// cache is refreshed and the collection filled again.
#pragma once

#include "Authorization.h"
#include "BstrText.h"
#include "ComObject.h"
#include "CriticalSection.h"
#include "RoleServices.h"
#include "SupportErrorInfo.h"
#include "TypeInfoDispatch.h"

#include <ocidl.h>
#include <vector>

// One role of the cache: its identifier as the cache lists it, and the
// collection's own services (not counted: the collection keeps them alive
// for as long as the element exists).
struct CRoleInfo {
    BstrText m_sRoleId;
    IRoleServices* m_pAuthorization = nullptr;
};

// The element's role as a VT_DISPATCH VARIANT. Failures are reported.
HRESULT CopyRoleIntoVariant(VARIANT* out, const CRoleInfo& element) noexcept;

class CKQSecRolesCollection : public SupportErrorInfoImpl<IKQSecRolesCollection>,
                              public DispatchImpl<IKQSecRolesCollection>,
                              public IProvideClassInfo2,
                              public FreeThreadedObjectRoot {
public:
    CKQSecRolesCollection() = default;
    ~CKQSecRolesCollection();

    static const InterfaceEntry* Interfaces() noexcept;

    // Takes a counted reference to the services of the authorization object
    // and fills the collection from its role cache.
    HRESULT Init(IRoleServices* authorization) noexcept;
    BstrText CacheTime() noexcept;

    // For the enumerator: the element at a position, if there is one, and
    // the number of elements, as the list stands now.
    bool ElementAt(size_t position, CRoleInfo& element) noexcept;
    size_t ElementCount() noexcept;

    // IKQSecRolesCollection
    STDMETHOD(get__NewEnum)(IUnknown** Val) override;
    STDMETHOD(get_Item)(BSTR RoleId, IKQSecRole** Val) override;
    STDMETHOD(get_Count)(LONG* Val) override;
    STDMETHOD(get_ReadOnly)(VARIANT_BOOL* ReadOnly) override;
    STDMETHOD(ItemPos)(LONG Pos, IKQSecRole** Val) override;
    STDMETHOD(Add)(BSTR Name, BSTR Description, BSTR Guid, IKQSecRole** Val) override;
    STDMETHOD(Remove)(BSTR RoleId) override;
    STDMETHOD(RemoveAll)() override;
    STDMETHOD(IsExists)(BSTR RoleId, VARIANT_BOOL* Exist) override;

    // IProvideClassInfo2
    STDMETHOD(GetClassInfo)(ITypeInfo** ppTI) override;
    STDMETHOD(GetGUID)(DWORD dwGuidKind, GUID* pGUID) override;

private:
    com_ptr<IRoleServices> Authorization() noexcept;
    // Init's filling, with the services already held.
    HRESULT Fill(IRoleServices* authorization) noexcept;
    HRESULT RefreshAndRefill(IRoleServices* authorization) noexcept;

    // Fillings run one at a time, so that an older reading of the cache never
    // replaces a newer one.
    CriticalSection m_fillLock;
    // Any thread may call (see the marshaler): the members below are read
    // and written under m_lock, and nothing is called out while it is held.
    CriticalSection m_lock;
    std::vector<CRoleInfo> m_roles;
    com_ptr<IRoleServices> m_pAuthorization;
    BstrText m_sCacheTime;
};
