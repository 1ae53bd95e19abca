// The role enumerator of the roles collection.
#pragma once

#include "ComObject.h"

#include <oaidl.h>

class CKQSecRolesCollection;

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
