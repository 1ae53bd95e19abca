#include "ComModule.h"

#include "ComPtr.h"
#include "HostModule.h"
#include "Registrar.h"
#include "Results.h"
#include "TypeLibRegistration.h"

#include <string>

ComModule g_module;

void ModuleLock() noexcept
{
    g_module.Lock();
}
void ModuleUnlock() noexcept
{
    g_module.Unlock();
}
LONG ModuleLockCount() noexcept
{
    return g_module.GetLockCount();
}
const GUID& ModuleTypeLibId() noexcept
{
    return g_module.TypeLibId();
}

HINSTANCE ModuleInstance() noexcept
{
    if (HINSTANCE instance = g_module.Instance()) return instance;
    // Before start-up, or where nothing starts the module (code linked into a
    // program or into the library stand-in): the file that holds this code.
    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&ModuleInstance), &self);
    return self;
}

namespace {

// The platform registrar's class (atl.dll).
const CLSID CLSID_Registrar = {
    0x44ec053a, 0x400f, 0x11d0, {0x9d, 0xcd, 0x00, 0xa0, 0xc9, 0x03, 0x91, 0xd3}};

std::wstring ModulePath(HINSTANCE instance)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(instance, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// Registration may run in a thread that has not entered an apartment.
class ComInitScope {
public:
    ComInitScope() noexcept : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComInitScope()
    {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }

private:
    HRESULT m_hr;
};

}  // namespace

void ComModule::Init(const ComModuleDefinition& definition, HINSTANCE instance) noexcept
{
    m_definition = &definition;
    m_instance = instance;
}

void ComModule::Term() noexcept
{
    if (!m_definition) return;
    for (ClassEntry* entry = m_definition->classTable; entry->clsid; ++entry)
        ReleaseCachedClassObject(entry->factory);
    m_definition = nullptr;
}

const GUID& ComModule::TypeLibId() const noexcept
{
    return m_definition && m_definition->typeLib ? *m_definition->typeLib : GUID_NULL;
}

HRESULT ComModule::CanUnloadNow() const noexcept
{
    const ComModuleDefinition* definition = m_definition;
    if (definition && definition->canUnload && !definition->canUnload()) return S_FALSE;
    return GetLockCount() == 0 ? S_OK : S_FALSE;
}

HRESULT ComModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!m_definition) return CLASS_E_CLASSNOTAVAILABLE;
    for (ClassEntry* entry = m_definition->classTable; entry->clsid; ++entry) {
        if (IsEqualCLSID(*entry->clsid, clsid))
            return GetCachedClassObject(entry->factory, m_classTableLock, entry->createInstance,
                                        riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ComModule::RunRegistryScript(UINT scriptId, bool doRegister) noexcept
{
    return Barrier(E_OUTOFMEMORY, [&] {
        std::wstring raw = ModulePath(m_instance);
        if (raw.empty()) return HRESULT_FROM_WIN32(GetLastError());
        std::wstring quoted;
        for (wchar_t c : raw) {
            quoted += c;
            if (c == L'\'') quoted += L'\'';
        }
        ComInitScope com;
        com_ptr<IRegistrar> registrar;
        RETURN_IF_FAILED(CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IRegistrar, registrar.put_void()));
        RETURN_IF_FAILED(registrar->AddReplacement(L"Module", quoted.c_str()));
        RETURN_IF_FAILED(registrar->AddReplacement(L"Module_Raw", raw.c_str()));
        return doRegister ? registrar->ResourceRegister(const_cast<wchar_t*>(raw.c_str()), scriptId,
                                                        L"REGISTRY")
                          : registrar->ResourceUnregister(const_cast<wchar_t*>(raw.c_str()),
                                                          scriptId, L"REGISTRY");
    });
}

HRESULT ComModule::RegisterServer() noexcept
{
    return UpdateRegistration(true);
}

HRESULT ComModule::UnregisterServer() noexcept
{
    return UpdateRegistration(false);
}

HRESULT ComModule::UpdateRegistration(bool doRegister) noexcept
{
    if (!m_definition) return E_UNEXPECTED;
    for (ClassEntry* entry = m_definition->classTable; entry->clsid; ++entry)
        RETURN_IF_FAILED(RunRegistryScript(entry->registryScript, doRegister));
    if (!m_definition->typeLib) return S_OK;
    return Barrier(E_OUTOFMEMORY, [&] {
        std::wstring path = ModulePath(m_instance);
        if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
        ComInitScope com;
        return doRegister ? RegisterModuleTypeLib(path.c_str())
                          : UnregisterModuleTypeLib(path.c_str());
    });
}
