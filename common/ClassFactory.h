// Class objects: one shape for every DLL of ours. A class object is made on
// first demand and cached in its entry of the module's class table
// (ComModule.h); apartments share it.
#pragma once

#include <windows.h>
#include <objbase.h>

using CreateInstanceFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// The class object cached in slot, made with create on first demand. The
// slot is written under lock and read without it, so several threads may
// ask at once; it holds the owner's reference, which keeps no lock on the
// module. Every other reference, a client's, holds one module lock: taken
// before the count rises and given back after it falls, so DllCanUnloadNow
// never answers S_OK while a client of any thread holds a class object.
HRESULT GetCachedClassObject(IClassFactory*& slot, SRWLOCK& lock, CreateInstanceFn create,
                             REFIID riid, void** ppv) noexcept;

// Gives the owner's reference back and empties the slot.
void ReleaseCachedClassObject(IClassFactory*& slot) noexcept;
