#include "TypeInfoDispatch.h"

#include "HostModule.h"

namespace {

struct CachedTypeInfo {
    GUID guid;
    ITypeInfo* typeInfo;
};

// A handful of interfaces and one coclass: a small table is enough.
constexpr int kMaxCached = 16;
CachedTypeInfo g_cache[kMaxCached];
int g_cached = 0;
ITypeLib* g_typeLib = nullptr;

struct CacheLock {
    CRITICAL_SECTION section;
    CacheLock() { InitializeCriticalSection(&section); }
    ~CacheLock() { DeleteCriticalSection(&section); }
} g_lock;

struct Guard {
    Guard() { EnterCriticalSection(&g_lock.section); }
    ~Guard() { LeaveCriticalSection(&g_lock.section); }
};

HRESULT LoadModuleTypeLib(ITypeLib** typeLib)
{
    if (SUCCEEDED(LoadRegTypeLib(ModuleTypeLibId(), 1, 0, LANG_NEUTRAL, typeLib))) return S_OK;
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(ModuleInstance(), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return HRESULT_FROM_WIN32(GetLastError());
    return LoadTypeLibEx(path, REGKIND_NONE, typeLib);
}

}  // namespace

HRESULT GetModuleTypeInfo(REFGUID guid, ITypeInfo** typeInfo) noexcept
{
    if (!typeInfo) return E_POINTER;
    *typeInfo = nullptr;
    Guard guard;
    for (int i = 0; i < g_cached; ++i) {
        if (IsEqualGUID(g_cache[i].guid, guid)) {
            g_cache[i].typeInfo->AddRef();
            *typeInfo = g_cache[i].typeInfo;
            return S_OK;
        }
    }
    if (!g_typeLib) RETURN_IF_FAILED(LoadModuleTypeLib(&g_typeLib));
    com_ptr<ITypeInfo> loaded;
    RETURN_IF_FAILED(g_typeLib->GetTypeInfoOfGuid(guid, loaded.put()));
    if (g_cached < kMaxCached) {
        g_cache[g_cached++] = CachedTypeInfo{guid, loaded.get()};
        loaded->AddRef();
    }
    *typeInfo = loaded.detach();
    return S_OK;
}

void ReleaseModuleTypeInfo() noexcept
{
    ForgetInvokeShapes();
    Guard guard;
    for (int i = 0; i < g_cached; ++i) g_cache[i].typeInfo->Release();
    g_cached = 0;
    if (g_typeLib) g_typeLib->Release();
    g_typeLib = nullptr;
}
