// A DLL's export as a pointer of its real type.
#pragma once

#include <windows.h>

// The detour through void (*)() says that the caller knows the export's
// type, which GetProcAddress cannot.
template <class Function>
Function GetProcAddressAs(HMODULE module, const char* name) noexcept
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
