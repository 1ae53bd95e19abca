#include "ComModule.h"

#include "Authorization.h"
#include "ComObject.h"
#include "Registrar.h"
#include "TypeLibRegistration.h"

#include <string>

ComModule g_module;

void ModuleLock() noexcept { g_module.Lock(); }
void ModuleUnlock() noexcept { g_module.Unlock(); }
LONG ModuleLockCount() noexcept { return g_module.GetLockCount(); }
const GUID& ModuleTypeLibId() noexcept { return LIBID_AUTHORIZATIONLib; }

HINSTANCE ModuleInstance() noexcept
{
    if (HINSTANCE instance = g_module.Instance()) return instance;
    // Before start-up (or linked into a test program): the file that holds this code.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleInstance), &self);
    return self;
}

namespace {

// The platform registrar's class (atl.dll).
const CLSID CLSID_Registrar = {0x44ec053a, 0x400f, 0x11d0, {0x9d, 0xcd, 0x00, 0xa0, 0xc9, 0x03, 0x91, 0xd3}};

// The standard class factory, cached in the class table. Factories are
// shared by every apartment, so the count is interlocked. It is born with the
// class table's reference, which keeps no lock on the module; every further
// reference, taken by a client, holds one lock, taken before the count rises
// and given back after it falls: DllCanUnloadNow never answers S_OK while a
// client of any thread holds a factory.
class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(HRESULT (*createInstance)(IUnknown*, REFIID, void**)) noexcept
        : m_createInstance(createInstance)
    {
    }

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override
    {
        ModuleLock();
        return static_cast<ULONG>(InterlockedIncrement(&m_refs));
    }
    STDMETHOD_(ULONG, Release)() override
    {
        LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0) {
            delete this;  // the class table's reference, the last one
            return 0;
        }
        ModuleUnlock();
        return static_cast<ULONG>(refs);
    }

    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) override
    {
        return m_createInstance(outer, riid, ppv);
    }
    STDMETHOD(LockServer)(BOOL lock) override
    {
        if (lock)
            ModuleLock();
        else
            ModuleUnlock();
        return S_OK;
    }

private:
    LONG m_refs = 1;  // the class table's
    HRESULT (*m_createInstance)(IUnknown*, REFIID, void**);
};

HRESULT CreateClassFactory(const ClassEntry& entry, IClassFactory** out) noexcept
{
    if (!out) return E_POINTER;
    *out = nullptr;
    auto* factory = new (std::nothrow) ClassFactory(entry.createInstance);
    if (!factory) return E_OUTOFMEMORY;
    *out = factory;
    return S_OK;
}

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

ComModule::ComModule() noexcept
{
    InitializeCriticalSection(&m_classTableLock);
    m_classTableLockReady = true;
}

ComModule::~ComModule()
{
    if (m_classTableLockReady) DeleteCriticalSection(&m_classTableLock);
}

void ComModule::Init(ClassEntry* classTable, HINSTANCE instance) noexcept
{
    m_classTable = classTable;
    m_instance = instance;
}

void ComModule::Term() noexcept
{
    if (!m_classTable) return;
    for (ClassEntry* entry = m_classTable; entry->clsid; ++entry) {
        if (IClassFactory* factory = entry->factory) {
            entry->factory = nullptr;
            factory->Release();
        }
    }
    m_classTable = nullptr;
    if (m_classTableLockReady) {
        DeleteCriticalSection(&m_classTableLock);
        m_classTableLockReady = false;
    }
}

HRESULT ComModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!m_classTable) return CLASS_E_CLASSNOTAVAILABLE;
    for (ClassEntry* entry = m_classTable; entry->clsid; ++entry) {
        if (!IsEqualCLSID(*entry->clsid, clsid)) continue;
        auto* factory = static_cast<IClassFactory*>(
            InterlockedCompareExchangePointer(reinterpret_cast<void**>(&entry->factory), nullptr, nullptr));
        if (!factory) {
            EnterCriticalSection(&m_classTableLock);
            HRESULT hr = S_OK;
            if (!entry->factory) {
                // Published only once the table's reference is held: another
                // apartment may take it from the table at once.
                IClassFactory* created = nullptr;
                hr = CreateClassFactory(*entry, &created);
                if (SUCCEEDED(hr)) InterlockedExchangePointer(reinterpret_cast<void**>(&entry->factory), created);
            }
            factory = entry->factory;
            LeaveCriticalSection(&m_classTableLock);
            if (FAILED(hr)) return hr;
        }
        return factory->QueryInterface(riid, ppv);
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
        return doRegister ? registrar->ResourceRegister(const_cast<wchar_t*>(raw.c_str()), scriptId, L"REGISTRY")
                          : registrar->ResourceUnregister(const_cast<wchar_t*>(raw.c_str()), scriptId, L"REGISTRY");
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
    if (!m_classTable) return E_UNEXPECTED;
    for (ClassEntry* entry = m_classTable; entry->clsid; ++entry)
        RETURN_IF_FAILED(RunRegistryScript(entry->registryScript, doRegister));
    return Barrier(E_OUTOFMEMORY, [&] {
        std::wstring path = ModulePath(m_instance);
        if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
        ComInitScope com;
        return doRegister ? RegisterModuleTypeLib(path.c_str()) : UnregisterModuleTypeLib(path.c_str());
    });
}
