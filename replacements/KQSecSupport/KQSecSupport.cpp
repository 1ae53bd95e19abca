// The DLL's entry points: class object, unload test and self-registration.
#include "AuditSupport.h"
#include "Results.h"

#include "InprocServer.h"

#include <windows.h>
#include <objbase.h>
#include <string>

namespace {

standin::ClassObject g_classObject(CLSID_KQSecSupport, &CreateAuditSupport);

std::wstring ClassKey()
{
    return L"CLSID\\" + standin::GuidText(CLSID_KQSecSupport);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}

STDAPI DllCanUnloadNow()
{
    return standin::CanUnloadModule();
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return g_classObject.Get(clsid, riid, ppv);
}

STDAPI DllRegisterServer()
{
    return Barrier(E_OUTOFMEMORY, [&] {
        std::wstring path;
        HRESULT hr = standin::ModuleFilePath(path);
        if (FAILED(hr)) return hr;
        std::wstring key = ClassKey();
        hr = standin::WriteClassesRootKey(key, L"KQSecSupport");
        if (SUCCEEDED(hr))
            hr = standin::WriteClassesRootKey(key + L"\\InprocServer32", path, L"ThreadingModel",
                                              L"Both");
        return hr;
    });
}

STDAPI DllUnregisterServer()
{
    return Barrier(E_OUTOFMEMORY, [&] { return standin::DeleteClassesRootKey(ClassKey()); });
}
