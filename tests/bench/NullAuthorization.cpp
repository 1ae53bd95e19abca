// BenchNull.dll: an object with the checks' signatures that does nothing,
// served by the module's own type-library dispatch (DispatchImpl). Its cost
// is the floor that any late-bound call of the module pays. And a clock
// precise enough for a script to time a round.
#include "NullAuthorizationItf.h"

#include "ComObject.h"
#include "InprocServer.h"
#include "TypeInfoDispatch.h"
#include "TypeLibRegistration.h"

#include <windows.h>
#include <objbase.h>
#include <string>

class CNullAuthorization : public ComObjectRoot, public DispatchImpl<INullAuthorization> {
public:
    static const InterfaceEntry* Interfaces() noexcept
    {
        static const InterfaceEntry table[] = {
            INTERFACE_ENTRY(CNullAuthorization, INullAuthorization),
            INTERFACE_ENTRY_IID(CNullAuthorization, IID_IDispatch, INullAuthorization),
            INTERFACE_ENTRY_END,
        };
        return table;
    }

    // Answers as a grant would, so that a script sees the same values.
    STDMETHOD(CheckAccessEx)(BSTR, BSTR, BSTR, LONG, VARIANT_BOOL* result) override
    {
        if (!result) return E_INVALIDARG;
        *result = VARIANT_TRUE;
        return S_OK;
    }
    STDMETHOD(CheckAccess)(BSTR, LONG, VARIANT_BOOL* result) override
    {
        if (!result) return E_INVALIDARG;
        *result = VARIANT_TRUE;
        return S_OK;
    }
    STDMETHOD(CheckRoleAccess)(BSTR, BSTR, LONG, VARIANT_BOOL* result) override
    {
        if (!result) return E_INVALIDARG;
        *result = VARIANT_TRUE;
        return S_OK;
    }
};

class CBenchClock : public ComObjectRoot, public DispatchImpl<IBenchClock> {
public:
    static const InterfaceEntry* Interfaces() noexcept
    {
        static const InterfaceEntry table[] = {
            INTERFACE_ENTRY(CBenchClock, IBenchClock),
            INTERFACE_ENTRY_IID(CBenchClock, IID_IDispatch, IBenchClock),
            INTERFACE_ENTRY_END,
        };
        return table;
    }

    STDMETHOD(get_Seconds)(double* value) override
    {
        if (!value) return E_POINTER;
        LARGE_INTEGER frequency, counter;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&counter);
        *value = static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
        return S_OK;
    }
};

namespace {

struct Registration {
    const CLSID* clsid;
    const wchar_t* progId;
    const wchar_t* name;
};
const Registration kClasses[] = {
    {&CLSID_NullAuthorization, L"Authorization.BenchNull", L"NullAuthorization Class"},
    {&CLSID_BenchClock, L"Authorization.BenchClock", L"BenchClock Class"},
};

standin::ClassObject g_nullClassObject(CLSID_NullAuthorization,
                                       &CreateComInstance<CNullAuthorization>);
standin::ClassObject g_clockClassObject(CLSID_BenchClock, &CreateComInstance<CBenchClock>);

}  // namespace

const GUID& ModuleTypeLibId() noexcept
{
    return LIBID_BenchNullLib;
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
    if (IsEqualCLSID(clsid, CLSID_BenchClock)) return g_clockClassObject.Get(clsid, riid, ppv);
    return g_nullClassObject.Get(clsid, riid, ppv);
}

STDAPI DllRegisterServer()
{
    try {
        std::wstring path;
        RETURN_IF_FAILED(standin::ModuleFilePath(path));
        for (const Registration& c : kClasses) {
            std::wstring clsid = standin::GuidText(*c.clsid);
            std::wstring key = L"CLSID\\" + clsid;
            RETURN_IF_FAILED(standin::WriteClassesRootKey(key, c.name));
            // Where the module's classes live: the script's own apartment.
            RETURN_IF_FAILED(standin::WriteClassesRootKey(key + L"\\InprocServer32", path,
                                                          L"ThreadingModel", L"Apartment"));
            RETURN_IF_FAILED(standin::WriteClassesRootKey(key + L"\\ProgID", c.progId));
            RETURN_IF_FAILED(standin::WriteClassesRootKey(c.progId, c.name));
            RETURN_IF_FAILED(
                standin::WriteClassesRootKey(std::wstring(c.progId) + L"\\CLSID", clsid));
        }
        return RegisterModuleTypeLib(path.c_str());
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllUnregisterServer()
{
    try {
        HRESULT hr = S_OK;
        for (const Registration& c : kClasses) {
            for (const std::wstring& key :
                 {L"CLSID\\" + standin::GuidText(*c.clsid), std::wstring(c.progId)}) {
                HRESULT removed = standin::DeleteClassesRootKey(key);
                if (SUCCEEDED(hr)) hr = removed;
            }
        }
        std::wstring path;
        HRESULT removed = standin::ModuleFilePath(path);
        if (SUCCEEDED(removed)) removed = UnregisterModuleTypeLib(path.c_str());
        if (SUCCEEDED(hr)) hr = removed;
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
