// The component-module object that every DLL of ours is built on: the class
// table, one cached class factory per class, the lock count on which the
// unload decision rests, and registration of the classes (each by its
// registry script) and of the type library the DLL holds. A DLL states only
// what it serves (ComModuleDefinition); the entry points are shared
// (DllExports.cpp, and DllMain.cpp for a DLL without the application
// framework).
#pragma once

#include "ClassFactory.h"

#include <windows.h>
#include <objbase.h>

// The pointers first: no padding between the fields on either architecture.
struct ClassEntry {
    const CLSID* clsid;  // null ends the table
    CreateInstanceFn createInstance;
    IClassFactory* factory;  // cached, null until asked for
    UINT registryScript;     // REGISTRY resource id
};

// What one DLL serves. Each DLL defines g_moduleDefinition once.
struct ComModuleDefinition {
    ClassEntry* classTable;  // in registration order
    const GUID* typeLib;     // the type library the DLL holds (resource 1); null: none
    // A further condition of the unload test, asked first; null: none.
    BOOL (*canUnload)() noexcept;
};

extern const ComModuleDefinition g_moduleDefinition;

class ComModule {
public:
    void Init(const ComModuleDefinition& definition, HINSTANCE instance) noexcept;
    void Term() noexcept;

    LONG Lock() noexcept { return InterlockedIncrement(&m_lockCount); }
    LONG Unlock() noexcept { return InterlockedDecrement(&m_lockCount); }
    LONG GetLockCount() const noexcept { return m_lockCount; }
    HINSTANCE Instance() const noexcept { return m_instance; }
    // GUID_NULL before Init and for a DLL that holds no type library.
    const GUID& TypeLibId() const noexcept;

    HRESULT CanUnloadNow() const noexcept;
    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept;
    HRESULT RegisterServer() noexcept;
    HRESULT UnregisterServer() noexcept;

private:
    HRESULT RunRegistryScript(UINT scriptId, bool doRegister) noexcept;
    // The classes' registry scripts, then the type library.
    HRESULT UpdateRegistration(bool doRegister) noexcept;

    LONG m_lockCount = 0;
    const ComModuleDefinition* m_definition = nullptr;
    HINSTANCE m_instance = nullptr;
    SRWLOCK m_classTableLock = SRWLOCK_INIT;  // makes the cached class objects
};

extern ComModule g_module;
