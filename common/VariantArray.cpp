#include "VariantArray.h"

#include <oleauto.h>

namespace {

// Keeps an array's data locked for the length of a scope.
class ArrayAccess {
public:
    explicit ArrayAccess(SAFEARRAY* array) noexcept : m_array(array)
    {
        m_hr = SafeArrayAccessData(array, &m_data);
    }
    ~ArrayAccess()
    {
        if (SUCCEEDED(m_hr)) SafeArrayUnaccessData(m_array);
    }
    HRESULT result() const noexcept { return m_hr; }
    template <class T>
    T* data() const noexcept
    {
        return static_cast<T*>(m_data);
    }

private:
    SAFEARRAY* m_array;
    void* m_data = nullptr;
    HRESULT m_hr;
};

}  // namespace

HRESULT ConvertToVariantArray(const VARIANT* source, VARIANT* destination) noexcept
{
    if (!destination) return E_INVALIDARG;
    V_VT(destination) = VT_EMPTY;
    if (!source) return E_INVALIDARG;
    if (V_VT(source) != (VT_ARRAY | VT_BSTR) || !V_ARRAY(source)) return S_OK;

    SAFEARRAY* strings = V_ARRAY(source);
    LONG lower = 0, upper = 0;
    HRESULT hr = SafeArrayGetLBound(strings, 1, &lower);
    if (SUCCEEDED(hr)) hr = SafeArrayGetUBound(strings, 1, &upper);
    if (FAILED(hr)) return hr;
    ULONG count = upper >= lower ? static_cast<ULONG>(upper - lower + 1) : 0;

    SAFEARRAY* variants = SafeArrayCreateVector(VT_VARIANT, 1, count);
    if (!variants) return E_FAIL;
    {
        ArrayAccess from(strings);
        ArrayAccess to(variants);
        hr = FAILED(from.result()) ? from.result() : to.result();
        for (ULONG i = 0; SUCCEEDED(hr) && i < count; ++i) {
            BSTR text = from.data<BSTR>()[i];
            VARIANT& element = to.data<VARIANT>()[i];
            V_VT(&element) = VT_BSTR;
            V_BSTR(&element) = nullptr;
            if (text) {
                V_BSTR(&element) = SysAllocStringLen(text, SysStringLen(text));
                if (!V_BSTR(&element)) hr = E_OUTOFMEMORY;
            }
        }
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(variants);
        return hr;
    }
    V_VT(destination) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(destination) = variants;
    return S_OK;
}
