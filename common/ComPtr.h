// Owners for COM resources and early-return helpers, so that method bodies
// never call Release, SysFreeString or VariantClear by hand.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <new>
#include <type_traits>
#include <utility>

#define RETURN_IF_FAILED(expr)       \
    do {                             \
        HRESULT hr_ = (expr);        \
        if (FAILED(hr_)) return hr_; \
    } while (0)

// Thrown by the raising text conversions (NarrowText.h).
struct ConversionError {
    DWORD error;
};

// Thrown by them for a text with a character that the code page lacks.
struct UnmappableText : ConversionError {
    UnmappableText() noexcept : ConversionError{ERROR_NO_UNICODE_TRANSLATION} {}
};

// The HRESULT for the exception being handled: E_OUTOFMEMORY for lack of
// memory, 0x80070459 (ERROR_NO_UNICODE_TRANSLATION) for a text with a
// character that the code page lacks, E_UNEXPECTED for anything else (a
// conversion that failed, for one). Call only inside a catch block.
inline HRESULT CaughtExceptionCode() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const UnmappableText&) {
        return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The exception barrier of every interface method, and of anything else a
// caller outside reaches: nothing may cross it. body() gives the result; an
// exception gives onFailure instead, or onFailure(code) when onFailure is
// callable, code being what CaughtExceptionCode says.
template <class OnFailure, class Body>
auto Barrier(OnFailure&& onFailure, Body&& body) noexcept -> decltype(body())
{
    try {
        return body();
    } catch (...) {
        if constexpr (std::is_invocable_v<OnFailure&, HRESULT>)
            return onFailure(CaughtExceptionCode());
        else
            return onFailure;
    }
}

// For Barrier: the exception's own code.
inline HRESULT ExceptionCode(HRESULT code) noexcept
{
    return code;
}

template <class T>
class com_ptr {
public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}
    explicit com_ptr(T* p) noexcept : m_p(p)
    {
        if (m_p) m_p->AddRef();
    }
    com_ptr(const com_ptr& other) noexcept : com_ptr(other.m_p) {}
    com_ptr(com_ptr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~com_ptr() { reset(); }

    com_ptr& operator=(com_ptr other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }

    // Takes over a reference that the caller already owns.
    static com_ptr attach(T* p) noexcept
    {
        com_ptr result;
        result.m_p = p;
        return result;
    }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    void reset() noexcept
    {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }

    // Out slot for a call that hands back a counted pointer.
    T** put() noexcept
    {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    T* detach() noexcept { return std::exchange(m_p, nullptr); }

    // Hands a counted copy to an out parameter.
    void copy_to(T** out) const noexcept
    {
        if (m_p) m_p->AddRef();
        *out = m_p;
    }

    template <class U>
    HRESULT query(com_ptr<U>& out) const noexcept
    {
        return m_p->QueryInterface(__uuidof(U), out.put_void());
    }
    // Into a raw out slot, the interface named by the slot's type.
    template <class U>
    HRESULT query_to(U** out) const noexcept
    {
        return m_p->QueryInterface(__uuidof(U), reinterpret_cast<void**>(out));
    }

private:
    T* m_p = nullptr;
};

// An owned BSTR.
class unique_bstr {
public:
    unique_bstr() noexcept = default;
    explicit unique_bstr(BSTR s) noexcept : m_s(s) {}
    unique_bstr(unique_bstr&& other) noexcept : m_s(std::exchange(other.m_s, nullptr)) {}
    unique_bstr& operator=(unique_bstr&& other) noexcept
    {
        if (this != &other) reset(std::exchange(other.m_s, nullptr));
        return *this;
    }
    unique_bstr(const unique_bstr&) = delete;
    unique_bstr& operator=(const unique_bstr&) = delete;
    ~unique_bstr() { reset(); }

    // A new copy of a wide text; null stays null. Throws on lack of memory.
    static unique_bstr copy_of(const wchar_t* text)
    {
        if (!text) return unique_bstr();
        BSTR s = SysAllocString(text);
        if (!s) throw std::bad_alloc();
        return unique_bstr(s);
    }

    BSTR get() const noexcept { return m_s; }
    BSTR* put() noexcept
    {
        reset();
        return &m_s;
    }
    // [in, out] slot: the callee may read and replace what it holds.
    BSTR* inout() noexcept { return &m_s; }
    BSTR release() noexcept { return std::exchange(m_s, nullptr); }
    void reset(BSTR s = nullptr) noexcept
    {
        if (m_s != s) SysFreeString(std::exchange(m_s, s));
    }

private:
    BSTR m_s = nullptr;
};

// An owned VARIANT, cleared when it goes.
class unique_variant : public VARIANT {
public:
    unique_variant() noexcept { VariantInit(this); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    ~unique_variant() { VariantClear(this); }

    void reset() noexcept { VariantClear(this); }
};

// An owned system handle, closed by its own function when it goes.
template <class Handle, auto Close>
class unique_any {
public:
    unique_any() noexcept = default;
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    ~unique_any()
    {
        if (m_handle) Close(m_handle);
    }
    Handle get() const noexcept { return m_handle; }
    Handle* put() noexcept
    {
        reset();
        return &m_handle;
    }
    void reset(Handle handle = Handle()) noexcept
    {
        if (m_handle) Close(m_handle);
        m_handle = handle;
    }
    explicit operator bool() const noexcept { return m_handle != Handle(); }

private:
    Handle m_handle = Handle();
};

using unique_handle = unique_any<HANDLE, &CloseHandle>;
using unique_hkey = unique_any<HKEY, &RegCloseKey>;

// True for a text that is null or starts with NUL, whatever its BSTR length.
inline bool IsEmptyText(const wchar_t* text) noexcept
{
    return !text || !*text;
}
