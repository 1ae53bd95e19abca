#include "RoleEnumerator.h"

#include "ErrorObject.h"
#include "KQSecRolesCollection.h"

namespace {

// The enumerator has no class of its own: its failures name the collection's.
const ErrorSource kErrors{L"Authorization.KQSecRolesCollection", &IID_IEnumVARIANT};

}  // namespace

const InterfaceEntry* CRoleEnumerator::Interfaces() noexcept
{
    static const InterfaceEntry entries[] = {
        INTERFACE_ENTRY(CRoleEnumerator, IEnumVARIANT),
        INTERFACE_ENTRY_END,
    };
    return entries;
}

void CRoleEnumerator::Init(CKQSecRolesCollection* collection, size_t position) noexcept
{
    m_collection = com_ptr<IUnknown>(collection->GetControllingUnknown());
    m_roles = collection;
    m_position = position;
}

STDMETHODIMP CRoleEnumerator::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched)
{
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        if (!rgVar || (celt > 1 && !pCeltFetched)) return E_POINTER;
        if (pCeltFetched) *pCeltFetched = 0;
        ULONG fetched = 0;
        CRoleInfo element;
        while (fetched < celt && m_roles->ElementAt(m_position, element)) {
            VariantInit(&rgVar[fetched]);
            HRESULT hr = CopyRoleIntoVariant(&rgVar[fetched], element);
            if (FAILED(hr)) {
                for (ULONG i = 0; i < fetched; ++i) VariantClear(&rgVar[i]);
                return hr;
            }
            ++m_position;
            ++fetched;
        }
        if (pCeltFetched) *pCeltFetched = fetched;
        return fetched < celt ? S_FALSE : S_OK;
    });
}

STDMETHODIMP CRoleEnumerator::Skip(ULONG celt)
{
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        size_t count = m_roles->ElementCount();
        for (ULONG i = 0; i < celt; ++i) {
            if (m_position >= count) return S_FALSE;
            ++m_position;
        }
        return S_OK;
    });
}

STDMETHODIMP CRoleEnumerator::Reset()
{
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        m_position = 0;
        return S_OK;
    });
}

STDMETHODIMP CRoleEnumerator::Clone(IEnumVARIANT** ppEnum)
{
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        return CreateRoleEnumerator(m_roles, m_position, ppEnum);
    });
}

HRESULT CreateRoleEnumerator(CKQSecRolesCollection* collection, size_t position,
                             IEnumVARIANT** out) noexcept
{
    com_ptr<ComObject<CRoleEnumerator>> enumerator;
    if (FAILED(ComObject<CRoleEnumerator>::Create(enumerator))) return E_OUTOFMEMORY;
    enumerator->Init(collection, position);
    return enumerator.query_to(out);
}
