#include "InprocServer.h"

namespace {

LONG g_locks = 0;

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

// This code is linked into each stand-in DLL: the module is the file that holds it.
HINSTANCE ModuleInstance() noexcept
{
    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&ModuleInstance), &self);
    return self;
}

namespace standin {

HRESULT ClassObject::Get(REFCLSID clsid, REFIID riid, void** ppv) noexcept
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(clsid, *m_clsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return GetCachedClassObject(m_factory, m_lock, m_create, riid, ppv);
}

HRESULT CanUnloadModule() noexcept
{
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

HRESULT ModuleFilePath(std::wstring& path)
{
    wchar_t buffer[MAX_PATH];
    DWORD length = GetModuleFileNameW(ModuleInstance(), buffer, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return HRESULT_FROM_WIN32(GetLastError());
    path.assign(buffer, length);
    return S_OK;
}

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

HRESULT WriteClassesRootKey(const std::wstring& key, const std::wstring& value, const wchar_t* name,
                            const wchar_t* namedValue)
{
    HKEY handle;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status =
        RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (status == ERROR_SUCCESS && name)
        status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(namedValue),
                                static_cast<DWORD>((wcslen(namedValue) + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return HRESULT_FROM_WIN32(status);
}

HRESULT DeleteClassesRootKey(const std::wstring& key)
{
    LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    return status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

}  // namespace standin
