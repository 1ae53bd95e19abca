// What every object of a module needs from the module that holds it. Each
// DLL that uses ComObject defines these once.
#pragma once

#include <windows.h>

// Every live object and enumerator holds one lock on its module.
void ModuleLock() noexcept;
void ModuleUnlock() noexcept;
LONG ModuleLockCount() noexcept;

// The module's own handle: source of its resources, file path and type library.
HINSTANCE ModuleInstance() noexcept;

// The identifier of the type library the module holds; defined by each DLL
// that serves IDispatch through TypeInfoDispatch.
const GUID& ModuleTypeLibId() noexcept;
