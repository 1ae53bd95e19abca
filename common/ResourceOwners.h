// Owners of the other resources that method bodies would otherwise free by
// hand: BSTRs, VARIANTs and handles.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <new>
#include <utility>

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
