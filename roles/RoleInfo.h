// The element of the roles collection, the making of role objects from the
// library's current records, and the role enumerator.
#pragma once

#include "Authorization.h"
#include "BstrText.h"
#include "ComObject.h"

#include <vector>

class CIKIVAuthorization;
class CKQSecRolesCollection;

// One role of the cache: its identifier as the cache lists it, and the
// collection's own authorization object (not counted: the collection keeps
// it alive for as long as the element exists).
struct CRoleInfo {
    BstrText m_sRoleId;
    CIKIVAuthorization* m_pAuthorization = nullptr;
};

// A text field of a library record as wide text (CP_ACP): at most the
// field's 256 bytes, even without a terminator. Throws on failure.
BstrText RecordText(const char (&field)[256]);

// A lookup that succeeds without handing out a record.
constexpr HRESULT AUTH_E_ROLE_RECORD_MISSING = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// A new role object filled from the library's current record of the role
// named by an identifier or a name. Failures are reported.
HRESULT getComObject(const wchar_t* text, CIKIVAuthorization* authorization, IKQSecRole** role) noexcept;

// The element's role as a VT_DISPATCH VARIANT. Failures are reported.
HRESULT copyVrtIfc(VARIANT* out, const CRoleInfo& element) noexcept;

// Enumerates the roles of a collection's list, one new role object per
// element. Holds the collection alive; reads the live list by index, so a
// refill of the collection never leaves it reading storage given up.
class CRoleEnumerator : public IEnumVARIANT, public ComObjectRoot {
public:
    CRoleEnumerator() = default;
    ~CRoleEnumerator();

    static const InterfaceEntry* Interfaces() noexcept;
    void Init(CKQSecRolesCollection* collection, const std::vector<CRoleInfo>* roles,
              size_t position) noexcept;

    STDMETHOD(Next)(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    STDMETHOD(Skip)(ULONG celt) override;
    STDMETHOD(Reset)() override;
    STDMETHOD(Clone)(IEnumVARIANT** ppEnum) override;

private:
    IUnknown* m_collection = nullptr;  // counted
    const std::vector<CRoleInfo>* m_roles = nullptr;
    size_t m_position = 0;
};

// A new enumerator over a collection's list, standing at position.
HRESULT CreateRoleEnumerator(CKQSecRolesCollection* collection, const std::vector<CRoleInfo>* roles,
                             size_t position, IEnumVARIANT** out) noexcept;
