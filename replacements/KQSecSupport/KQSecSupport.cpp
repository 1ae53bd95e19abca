// The DLL's entry points: class object, unload test and self-registration.
#include "AuditSupport.h"

#include <windows.h>
#include <objbase.h>
#include <string>

namespace {

HINSTANCE g_instance = nullptr;
LONG g_locks = 0;

class ClassFactory final : public IClassFactory {
public:
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    // The factory is static: references to it lock the module instead.
    STDMETHOD_(ULONG, AddRef)() override
    {
        LockModule();
        return 2;
    }
    STDMETHOD_(ULONG, Release)() override
    {
        UnlockModule();
        return 1;
    }
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return CreateAuditSupport(riid, ppv);
    }
    STDMETHOD(LockServer)(BOOL lock) override
    {
        if (lock)
            LockModule();
        else
            UnlockModule();
        return S_OK;
    }
};

ClassFactory g_factory;

std::wstring ClassKey()
{
    wchar_t clsid[40];
    StringFromGUID2(CLSID_KQSecSupport, clsid, 40);
    return std::wstring(L"CLSID\\") + clsid;
}

HRESULT SetText(HKEY key, const wchar_t* name, const std::wstring& value)
{
    LONG status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    return HRESULT_FROM_WIN32(status);
}

HRESULT WriteKey(const std::wstring& path, const wchar_t* valueName, const std::wstring& value,
                 const wchar_t* secondName = nullptr, const wchar_t* secondValue = nullptr)
{
    HKEY key;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                  &key, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    HRESULT hr = SetText(key, valueName, value);
    if (SUCCEEDED(hr) && secondName) hr = SetText(key, secondName, secondValue);
    RegCloseKey(key);
    return hr;
}

}  // namespace

void LockModule() noexcept
{
    InterlockedIncrement(&g_locks);
}

void UnlockModule() noexcept
{
    InterlockedDecrement(&g_locks);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllCanUnloadNow()
{
    return g_locks == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_KQSecSupport)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

STDAPI DllRegisterServer()
{
    try {
        wchar_t path[MAX_PATH];
        DWORD length = GetModuleFileNameW(g_instance, path, MAX_PATH);
        if (length == 0 || length == MAX_PATH) return HRESULT_FROM_WIN32(GetLastError());
        std::wstring key = ClassKey();
        HRESULT hr = WriteKey(key, nullptr, L"KQSecSupport");
        if (SUCCEEDED(hr)) hr = WriteKey(key + L"\\InprocServer32", nullptr, path, L"ThreadingModel", L"Both");
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllUnregisterServer()
{
    try {
        LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey().c_str());
        if (status == ERROR_FILE_NOT_FOUND) return S_OK;  // twice is harmless
        return HRESULT_FROM_WIN32(status);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
