#include "ClassFactory.h"

#include "HostModule.h"

#include <new>

namespace {

// The server locks that clients hold, apart from the module locks of live
// objects and class objects: an unlock without its lock must not give back
// a lock that a live object holds, which would let the module be unloaded
// under that object.
LONG g_serverLocks = 0;

bool GiveBackServerLock() noexcept
{
    LONG held = InterlockedCompareExchange(&g_serverLocks, 0, 0);
    while (held > 0) {
        LONG seen = InterlockedCompareExchange(&g_serverLocks, held - 1, held);
        if (seen == held) return true;
        held = seen;
    }
    return false;
}

class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(CreateInstanceFn create) noexcept : m_create(create) {}

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
            delete this;  // the owner's reference, the last one
            return 0;
        }
        ModuleUnlock();
        return static_cast<ULONG>(refs);
    }

    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) override
    {
        return m_create(outer, riid, ppv);
    }
    STDMETHOD(LockServer)(BOOL lock) override
    {
        if (lock) {
            InterlockedIncrement(&g_serverLocks);
            ModuleLock();
            return S_OK;
        }
        if (!GiveBackServerLock()) return E_UNEXPECTED;
        ModuleUnlock();
        return S_OK;
    }

private:
    LONG m_refs = 1;  // the owner's
    CreateInstanceFn m_create;
};

IClassFactory* ReadSlot(IClassFactory*& slot) noexcept
{
    return static_cast<IClassFactory*>(
        InterlockedCompareExchangePointer(reinterpret_cast<void**>(&slot), nullptr, nullptr));
}

}  // namespace

HRESULT GetCachedClassObject(IClassFactory*& slot, SRWLOCK& lock, CreateInstanceFn create,
                             REFIID riid, void** ppv) noexcept
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    IClassFactory* factory = ReadSlot(slot);
    if (!factory) {
        AcquireSRWLockExclusive(&lock);
        if (!slot) {
            // Published only once whole: another apartment may take it from
            // the slot at once. The slot owns it from then on, which the
            // analyzer cannot see through the exchange.
            // NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
            auto* created = new (std::nothrow) ClassFactory(create);
            if (created)
                InterlockedExchangePointer(reinterpret_cast<void**>(&slot),
                                           static_cast<IClassFactory*>(created));
        }
        factory = slot;
        // NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
        ReleaseSRWLockExclusive(&lock);
        if (!factory) return E_OUTOFMEMORY;
    }
    return factory->QueryInterface(riid, ppv);
}

void ReleaseCachedClassObject(IClassFactory*& slot) noexcept
{
    auto* factory = static_cast<IClassFactory*>(
        InterlockedExchangePointer(reinterpret_cast<void**>(&slot), nullptr));
    if (factory) factory->Release();
}
