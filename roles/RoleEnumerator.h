// The element of the roles collection, the reading of the library's role
// records, the making of role objects from them, and the role enumerator.
#pragma once

#include "Authorization.h"
#include "BstrText.h"
#include "ComObject.h"
#include "RoleServices.h"

#include <vector>

class CKQSecRolesCollection;
struct CKIVRole;
struct CKIVRoleList;

// One role of the cache: its identifier as the cache lists it, and the
// collection's own services (not counted: the collection keeps them alive
// for as long as the element exists).
struct CRoleInfo {
    BstrText m_sRoleId;
    IRoleServices* m_pAuthorization = nullptr;
};

// A text field of a library record as wide text (CP_ACP): at most the
// field's 256 bytes, even without a terminator. Throws on failure.
BstrText RecordText(const char (&field)[256]);

// Copies of the library's records, read while the library is held. A null
// list gives no roles. Throw on failure.
std::vector<RoleListEntry> CopyRoleList(const CKIVRoleList* list, RoleNames names);
RoleRecord CopyRoleRecord(const CKIVRole& role);

// A lookup that succeeds without handing out a record.
constexpr HRESULT AUTH_E_ROLE_RECORD_MISSING = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// A new role object filled from the library's current record of the role
// named by an identifier or a name. Failures are reported.
HRESULT MakeRoleObject(const wchar_t* text, IRoleServices* authorization,
                       IKQSecRole** role) noexcept;

// The element's role as a VT_DISPATCH VARIANT. Failures are reported.
HRESULT CopyRoleIntoVariant(VARIANT* out, const CRoleInfo& element) noexcept;

// Enumerates the roles of a collection, one new role object per element.
// Holds the collection alive and asks it for each element by position, so a
// refill of the collection on another thread never leaves it reading storage
// given up.
class CRoleEnumerator : public IEnumVARIANT, public ComObjectRoot {
public:
    CRoleEnumerator() = default;

    static const InterfaceEntry* Interfaces() noexcept;
    void Init(CKQSecRolesCollection* collection, size_t position) noexcept;

    STDMETHOD(Next)(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    STDMETHOD(Skip)(ULONG celt) override;
    STDMETHOD(Reset)() override;
    STDMETHOD(Clone)(IEnumVARIANT** ppEnum) override;

private:
    com_ptr<IUnknown> m_collection;
    CKQSecRolesCollection* m_roles = nullptr;  // the same object as m_collection
    size_t m_position = 0;
};

// A new enumerator over a collection, standing at position.
HRESULT CreateRoleEnumerator(CKQSecRolesCollection* collection, size_t position,
                             IEnumVARIANT** out) noexcept;
