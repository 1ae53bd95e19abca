// The four functions the component runtime calls.
#include "ComModule.h"

#include "AppFramework.h"

STDAPI DllCanUnloadNow()
{
    if (!AfxDllCanUnloadNow()) return S_FALSE;
    return g_module.GetLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return g_module.GetClassObject(clsid, riid, ppv);
}

STDAPI DllRegisterServer()
{
    return g_module.RegisterServer();
}

STDAPI DllUnregisterServer()
{
    return g_module.UnregisterServer();
}
