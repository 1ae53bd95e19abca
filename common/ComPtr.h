// A counted interface pointer, so that method bodies never call AddRef or
// Release by hand.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <utility>

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
