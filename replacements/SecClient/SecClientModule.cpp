// The DLL's entry points: class object, unload test, self-registration, and
// what the shared object template and dispatch helper need from a module.
#include "SecClientStandIn.h"

#include <windows.h>
#include <objbase.h>
#include <string>

namespace {

const wchar_t kProgId[] = L"Authorization.SecClientStandIn";
const wchar_t kVersionedProgId[] = L"Authorization.SecClientStandIn.1";
const wchar_t kClassName[] = L"SecClientStandIn Class";

HINSTANCE g_instance = nullptr;
LONG g_locks = 0;

// The control interface is the only one described: a one-entry cache.
CRITICAL_SECTION g_typeInfoLock;
ITypeLib* g_typeLib = nullptr;
ITypeInfo* g_controlTypeInfo = nullptr;

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
        ModuleLock();
        return 2;
    }
    STDMETHOD_(ULONG, Release)() override
    {
        ModuleUnlock();
        return 1;
    }
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) override
    {
        return CreateComInstance<CSecClientStandIn>(outer, riid, ppv);
    }
    STDMETHOD(LockServer)(BOOL lock) override
    {
        if (lock)
            ModuleLock();
        else
            ModuleUnlock();
        return S_OK;
    }
};

ClassFactory g_factory;

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

HRESULT ModulePath(std::wstring& path)
{
    wchar_t buffer[MAX_PATH];
    DWORD length = GetModuleFileNameW(g_instance, buffer, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return HRESULT_FROM_WIN32(GetLastError());
    path.assign(buffer, length);
    return S_OK;
}

// Creates HKCR\key with its default value and, optionally, one named value.
HRESULT WriteKey(const std::wstring& key, const std::wstring& value, const wchar_t* name = nullptr,
                 const wchar_t* namedValue = nullptr)
{
    HKEY handle;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle,
                                  nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (status == ERROR_SUCCESS && name)
        status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(namedValue),
                                static_cast<DWORD>((wcslen(namedValue) + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return HRESULT_FROM_WIN32(status);
}

HRESULT DeleteKey(const std::wstring& key)
{
    LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    return status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT LoadOwnTypeLib(ITypeLib** typeLib)
{
    if (SUCCEEDED(LoadRegTypeLib(LIBID_SecClientLib, 1, 0, LANG_NEUTRAL, typeLib))) return S_OK;
    std::wstring path;
    RETURN_IF_FAILED(ModulePath(path));
    return LoadTypeLibEx(path.c_str(), REGKIND_NONE, typeLib);
}

}  // namespace

void ModuleLock() noexcept
{
    InterlockedIncrement(&g_locks);
}

void ModuleUnlock() noexcept
{
    InterlockedDecrement(&g_locks);
}

LONG ModuleLockCount() noexcept
{
    return g_locks;
}

HINSTANCE ModuleInstance() noexcept
{
    return g_instance;
}

HRESULT GetModuleTypeInfo(REFGUID guid, ITypeInfo** typeInfo) noexcept
{
    if (!typeInfo) return E_POINTER;
    *typeInfo = nullptr;
    if (!IsEqualGUID(guid, IID_ISecClientControl)) return TYPE_E_ELEMENTNOTFOUND;
    EnterCriticalSection(&g_typeInfoLock);
    HRESULT hr = S_OK;
    if (!g_typeLib) hr = LoadOwnTypeLib(&g_typeLib);
    if (SUCCEEDED(hr) && !g_controlTypeInfo) hr = g_typeLib->GetTypeInfoOfGuid(guid, &g_controlTypeInfo);
    if (SUCCEEDED(hr)) {
        g_controlTypeInfo->AddRef();
        *typeInfo = g_controlTypeInfo;
    }
    LeaveCriticalSection(&g_typeInfoLock);
    return hr;
}

void ReleaseModuleTypeInfo() noexcept
{
    EnterCriticalSection(&g_typeInfoLock);
    if (g_controlTypeInfo) g_controlTypeInfo->Release();
    if (g_typeLib) g_typeLib->Release();
    g_controlTypeInfo = nullptr;
    g_typeLib = nullptr;
    LeaveCriticalSection(&g_typeInfoLock);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        InitializeCriticalSection(&g_typeInfoLock);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // At process exit other DLLs may be gone already: leave it to the system.
        if (!reserved) ReleaseModuleTypeInfo();
        DeleteCriticalSection(&g_typeInfoLock);
    }
    return TRUE;
}

STDAPI DllCanUnloadNow()
{
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_SecClientStandIn)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

STDAPI DllRegisterServer()
{
    try {
        std::wstring path;
        RETURN_IF_FAILED(ModulePath(path));
        std::wstring clsid = GuidText(CLSID_SecClientStandIn);
        std::wstring key = L"CLSID\\" + clsid;
        RETURN_IF_FAILED(WriteKey(key, kClassName));
        // Objects count their references without locks: one apartment each.
        RETURN_IF_FAILED(WriteKey(key + L"\\InprocServer32", path, L"ThreadingModel", L"Apartment"));
        RETURN_IF_FAILED(WriteKey(key + L"\\ProgID", kVersionedProgId));
        RETURN_IF_FAILED(WriteKey(key + L"\\VersionIndependentProgID", kProgId));
        RETURN_IF_FAILED(WriteKey(key + L"\\TypeLib", GuidText(LIBID_SecClientLib)));
        RETURN_IF_FAILED(WriteKey(key + L"\\Version", L"1.0"));
        for (const wchar_t* progId : {kProgId, kVersionedProgId}) {
            RETURN_IF_FAILED(WriteKey(progId, kClassName));
            RETURN_IF_FAILED(WriteKey(std::wstring(progId) + L"\\CLSID", clsid));
        }
        RETURN_IF_FAILED(WriteKey(std::wstring(kProgId) + L"\\CurVer", kVersionedProgId));

        com_ptr<ITypeLib> typeLib;
        RETURN_IF_FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, typeLib.put()));
        return RegisterTypeLib(typeLib.get(), &path[0], nullptr);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllUnregisterServer()
{
    try {
        HRESULT hr = S_OK;
        for (const std::wstring& key :
             {L"CLSID\\" + GuidText(CLSID_SecClientStandIn), std::wstring(kProgId), std::wstring(kVersionedProgId)}) {
            HRESULT removed = DeleteKey(key);
            if (SUCCEEDED(hr)) hr = removed;
        }
        // Unregistering a library that is not registered fails: twice must be harmless.
        BSTR registered = nullptr;
        if (SUCCEEDED(QueryPathOfRegTypeLib(LIBID_SecClientLib, 1, 0, LANG_NEUTRAL, &registered))) {
            SysFreeString(registered);
            HRESULT removed = UnRegisterTypeLib(LIBID_SecClientLib, 1, 0, LANG_NEUTRAL, SYS_WIN32);
            if (SUCCEEDED(hr)) hr = removed;
        }
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
