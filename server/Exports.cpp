// The four functions the component runtime calls.
#include "ComModule.h"

#include "AppFramework.h"

STDAPI DllCanUnloadNow()
{
    if (!AfxDllCanUnloadNow()) return S_FALSE;
    return _Module.GetLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return _Module.GetClassObject(clsid, riid, ppv);
}

STDAPI DllRegisterServer()
{
    return _Module.RegisterServer();
}

STDAPI DllUnregisterServer()
{
    return _Module.UnregisterServer();
}
