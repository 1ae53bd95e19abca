// The DLL's entry points: class object, unload test, self-registration, and
// the type information that the dispatch helper asks the module for.
#include "SecClientStandIn.h"

#include "InprocServer.h"
#include "TypeLibRegistration.h"

#include <windows.h>
#include <objbase.h>
#include <string>

using standin::GuidText;
using standin::WriteClassesRootKey;

namespace {

const wchar_t kProgId[] = L"Authorization.SecClientStandIn";
const wchar_t kVersionedProgId[] = L"Authorization.SecClientStandIn.1";
const wchar_t kClassName[] = L"SecClientStandIn Class";

standin::ClassObject g_classObject(CLSID_SecClientStandIn, &CreateComInstance<CSecClientStandIn>);

}  // namespace

const GUID& ModuleTypeLibId() noexcept
{
    return LIBID_SecClientLib;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // At process exit other DLLs may be gone already: leave it to the system.
        if (!reserved) ReleaseModuleTypeInfo();
    }
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
        RETURN_IF_FAILED(standin::ModuleFilePath(path));
        std::wstring clsid = GuidText(CLSID_SecClientStandIn);
        std::wstring key = L"CLSID\\" + clsid;
        RETURN_IF_FAILED(WriteClassesRootKey(key, kClassName));
        // Counts are interlocked, but an object keeps its settings and its
        // call record unguarded: each lives in the apartment that made it.
        RETURN_IF_FAILED(
            WriteClassesRootKey(key + L"\\InprocServer32", path, L"ThreadingModel", L"Apartment"));
        RETURN_IF_FAILED(WriteClassesRootKey(key + L"\\ProgID", kVersionedProgId));
        RETURN_IF_FAILED(WriteClassesRootKey(key + L"\\VersionIndependentProgID", kProgId));
        RETURN_IF_FAILED(WriteClassesRootKey(key + L"\\TypeLib", GuidText(LIBID_SecClientLib)));
        RETURN_IF_FAILED(WriteClassesRootKey(key + L"\\Version", L"1.0"));
        for (const wchar_t* progId : {kProgId, kVersionedProgId}) {
            RETURN_IF_FAILED(WriteClassesRootKey(progId, kClassName));
            RETURN_IF_FAILED(WriteClassesRootKey(std::wstring(progId) + L"\\CLSID", clsid));
        }
        RETURN_IF_FAILED(
            WriteClassesRootKey(std::wstring(kProgId) + L"\\CurVer", kVersionedProgId));

        return RegisterModuleTypeLib(path.c_str());
    });
}

STDAPI DllUnregisterServer()
{
    return Barrier(E_OUTOFMEMORY, [&] {
        HRESULT hr = S_OK;
        for (const std::wstring& key : {L"CLSID\\" + GuidText(CLSID_SecClientStandIn),
                                        std::wstring(kProgId), std::wstring(kVersionedProgId)}) {
            HRESULT removed = standin::DeleteClassesRootKey(key);
            if (SUCCEEDED(hr)) hr = removed;
        }
        std::wstring path;
        HRESULT removed = standin::ModuleFilePath(path);
        if (SUCCEEDED(removed)) removed = UnregisterModuleTypeLib(path.c_str());
        if (SUCCEEDED(hr)) hr = removed;
        return hr;
    });
}
