// What every object of a module needs from the module that holds it: the
// module object (ComModule.cpp) answers for the DLL that links it in.
#pragma once

#include <windows.h>

// Every live object and enumerator holds one lock on its module.
void ModuleLock() noexcept;
void ModuleUnlock() noexcept;
LONG ModuleLockCount() noexcept;

// The module's own handle: source of its resources, file path and type library.
HINSTANCE ModuleInstance() noexcept;

// The identifier of the type library the module holds, as its definition
// states it; GUID_NULL when it holds none or has not started (code linked
// into a program), and TypeInfoDispatch then reads the program's own file.
const GUID& ModuleTypeLibId() noexcept;
