// The component-module object: the class table, one cached class factory per
// class, the lock count on which the unload decision rests, and registration
// of the classes and the type library.
#pragma once

#include <windows.h>
#include <objbase.h>

// The pointers first: no padding between the fields on either architecture.
struct ClassEntry {
    const CLSID* clsid;  // null ends the table
    HRESULT (*createInstance)(IUnknown* outer, REFIID riid, void** ppv);
    IClassFactory* factory;  // cached, null until asked for
    UINT registryScript;     // REGISTRY resource id
    DWORD cookie;            // never registered: stays 0
};

class ComModule {
public:
    void Init(ClassEntry* classTable, HINSTANCE instance) noexcept;
    void Term() noexcept;

    LONG Lock() noexcept { return InterlockedIncrement(&m_lockCount); }
    LONG Unlock() noexcept { return InterlockedDecrement(&m_lockCount); }
    LONG GetLockCount() const noexcept { return m_lockCount; }
    HINSTANCE Instance() const noexcept { return m_instance; }

    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept;
    HRESULT RegisterServer() noexcept;
    HRESULT UnregisterServer() noexcept;

private:
    HRESULT RunRegistryScript(UINT scriptId, bool doRegister) noexcept;
    // The classes' registry scripts, then the type library.
    HRESULT UpdateRegistration(bool doRegister) noexcept;

    LONG m_lockCount = 0;
    ClassEntry* m_classTable = nullptr;
    HINSTANCE m_instance = nullptr;
    SRWLOCK m_classTableLock = SRWLOCK_INIT;  // makes the cached class objects
};

extern ComModule g_module;

// The module's class table, in registration order.
extern ClassEntry g_classTable[];
