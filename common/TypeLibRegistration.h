// Registration of the type library that a module file holds. Unregistering
// names the library by the version, locale and system kind written in it, so
// that a 32-bit and a 64-bit build each take out only their own entry.
#pragma once

#include <windows.h>

HRESULT RegisterModuleTypeLib(const wchar_t* modulePath) noexcept;

// Harmless when the library is not registered.
HRESULT UnregisterModuleTypeLib(const wchar_t* modulePath) noexcept;
