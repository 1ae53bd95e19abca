// The four functions the component runtime calls, the same in every DLL of
// ours: each answers from the module object and the DLL's definition.
#include "ComModule.h"

STDAPI DllCanUnloadNow()
{
    return g_module.CanUnloadNow();
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
