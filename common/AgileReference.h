// A reference to an object that every apartment of the process may use: the
// object is registered in the global interface table once, and each use
// gets what is right for the calling apartment (the object itself, or a
// proxy to it). The owner revokes the registration when it goes.
#pragma once

#include "ComPtr.h"

#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <utility>

class AgileReference {
public:
    AgileReference() noexcept = default;
    AgileReference(const AgileReference&) = delete;
    AgileReference& operator=(const AgileReference&) = delete;
    AgileReference(AgileReference&& other) noexcept : m_cookie(std::exchange(other.m_cookie, 0)) {}
    AgileReference& operator=(AgileReference&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_cookie = std::exchange(other.m_cookie, 0);
        }
        return *this;
    }
    ~AgileReference() { Reset(); }

    // Registers object as riid, in place of what was held; on failure none is.
    HRESULT Register(IUnknown* object, REFIID riid) noexcept
    {
        Reset();
        com_ptr<IGlobalInterfaceTable> table;
        HRESULT hr = Table(table);
        if (SUCCEEDED(hr)) hr = table->RegisterInterfaceInGlobal(object, riid, &m_cookie);
        if (FAILED(hr)) m_cookie = 0;
        return hr;
    }

    // The object as riid for the calling apartment; E_FAIL when none is held.
    HRESULT Resolve(REFIID riid, void** ppv) const noexcept
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!m_cookie) return E_FAIL;
        com_ptr<IGlobalInterfaceTable> table;
        HRESULT hr = Table(table);
        if (SUCCEEDED(hr)) hr = table->GetInterfaceFromGlobal(m_cookie, riid, ppv);
        return hr;
    }

    void Reset() noexcept
    {
        if (DWORD cookie = std::exchange(m_cookie, 0)) {
            com_ptr<IGlobalInterfaceTable> table;
            if (SUCCEEDED(Table(table))) table->RevokeInterfaceFromGlobal(cookie);
        }
    }

    explicit operator bool() const noexcept { return m_cookie != 0; }

private:
    static HRESULT Table(com_ptr<IGlobalInterfaceTable>& table) noexcept
    {
        return CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IGlobalInterfaceTable, table.put_void());
    }

    DWORD m_cookie = 0;
};
