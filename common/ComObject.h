// The generic object root: reference count, an interface table walked by
// QueryInterface, plain and aggregated instances, a final-construct step.
//
// A class derives from ComObjectRoot and its interfaces, states its table
// once in a static Interfaces() function and is instantiated as
// ComObject<T> (plain) or ComAggObject<T> (aggregated); CreateComInstance<T>
// is the instance creator that the class table uses.
//
// Counts are interlocked: an object that aggregates the free-threaded
// marshaler reaches every thread of the process as a raw pointer, and the
// objects it holds are then counted from those threads too.
#pragma once

#include "ComPtr.h"
#include "Results.h"
#include "HostModule.h"

#include <windows.h>
#include <unknwn.h>
#include <new>

struct InterfaceEntry {
    const IID* iid;  // null ends the table
    DWORD_PTR offset;
    // When set, answers in place of the offset (an aggregated inner object).
    HRESULT (*delegate)(void* object, REFIID riid, void** ppv);
};

template <class Base, class Derived>
inline DWORD_PTR OffsetOfClass() noexcept
{
    return reinterpret_cast<DWORD_PTR>(static_cast<Base*>(reinterpret_cast<Derived*>(8))) - 8;
}

#define INTERFACE_ENTRY(Class, Itf)                          \
    {                                                        \
        &__uuidof(Itf), OffsetOfClass<Itf, Class>(), nullptr \
    }
#define INTERFACE_ENTRY_IID(Class, iidOf, Itf)         \
    {                                                  \
        &(iidOf), OffsetOfClass<Itf, Class>(), nullptr \
    }
// An interface answered by an aggregated inner object held in a com_ptr
// member (the free-threaded marshaler, for instance). A class and a member
// name cannot stand in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define INTERFACE_ENTRY_AGGREGATE(Class, iidOf, member)                      \
    {                                                                        \
        &(iidOf), 0, [](void* object, REFIID riid, void** ppv) -> HRESULT {  \
            auto& inner = static_cast<Class*>(object)->member;               \
            return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE; \
        }                                                                    \
    }
// NOLINTEND(bugprone-macro-parentheses)
#define INTERFACE_ENTRY_END \
    {                       \
        nullptr, 0, nullptr \
    }

class ComObjectRoot {
public:
    HRESULT FinalConstruct() noexcept { return S_OK; }
    void FinalRelease() noexcept {}

    // The object's identity: its own first interface, or the outer object's
    // unknown when it is aggregated.
    IUnknown* GetControllingUnknown() const noexcept { return m_controlling; }

    template <class T>
    static HRESULT QueryFromTable(T* object, REFIID riid, void** ppv) noexcept
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        const InterfaceEntry* table = T::Interfaces();
        if (IsEqualIID(riid, IID_IUnknown)) {
            auto* unk =
                reinterpret_cast<IUnknown*>(reinterpret_cast<BYTE*>(object) + table[0].offset);
            unk->AddRef();
            *ppv = unk;
            return S_OK;
        }
        for (const InterfaceEntry* entry = table; entry->iid; ++entry) {
            if (!IsEqualIID(*entry->iid, riid)) continue;
            if (entry->delegate) return entry->delegate(object, riid, ppv);
            auto* unk =
                reinterpret_cast<IUnknown*>(reinterpret_cast<BYTE*>(object) + entry->offset);
            unk->AddRef();
            *ppv = unk;
            return S_OK;
        }
        return E_NOINTERFACE;
    }

protected:
    ComObjectRoot() noexcept = default;
    ComObjectRoot(const ComObjectRoot&) = delete;
    ComObjectRoot& operator=(const ComObjectRoot&) = delete;

    LONG m_refs = 0;
    IUnknown* m_controlling = nullptr;

    template <class T>
    friend class ComObject;
    template <class T>
    friend class ComContainedObject;
    template <class T>
    friend class ComAggObject;
};

// The root of an object that any apartment of the process may call as it
// is: it aggregates the free-threaded marshaler, which hands the object
// itself to another apartment instead of a proxy. Such a class counts
// through the interlocked counts above, locks its own state, and lists
// INTERFACE_ENTRY_FREE_THREADED_MARSHALER(Class) in its table.
class FreeThreadedObjectRoot : public ComObjectRoot {
public:
    HRESULT FinalConstruct() noexcept
    {
        return CoCreateFreeThreadedMarshaler(GetControllingUnknown(), m_marshaler.put());
    }
    void FinalRelease() noexcept { m_marshaler.reset(); }

protected:
    com_ptr<IUnknown> m_marshaler;
};

#define INTERFACE_ENTRY_FREE_THREADED_MARSHALER(Class) \
    INTERFACE_ENTRY_AGGREGATE(Class, IID_IMarshal, m_marshaler)

// One module lock for an object's life. As the object's first base it is
// taken before anything else is built and given back after everything else
// is gone: the module's count does not reach zero, and the module cannot be
// unloaded, while the object's members are still being destroyed by its code.
class ModuleLockHolder {
protected:
    ModuleLockHolder() noexcept { ModuleLock(); }
    ~ModuleLockHolder() { ModuleUnlock(); }

public:
    ModuleLockHolder(const ModuleLockHolder&) = delete;
    ModuleLockHolder& operator=(const ModuleLockHolder&) = delete;
};

// A plain object: its own IUnknown, one module lock for its life.
template <class T>
class ComObject final : private ModuleLockHolder, public T {
public:
    ComObject() noexcept
    {
        this->m_controlling = reinterpret_cast<IUnknown*>(
            reinterpret_cast<BYTE*>(static_cast<T*>(this)) + T::Interfaces()[0].offset);
    }
    ~ComObject() { this->FinalRelease(); }

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        return ComObjectRoot::QueryFromTable<T>(this, riid, ppv);
    }
    STDMETHOD_(ULONG, AddRef)() override
    {
        return static_cast<ULONG>(InterlockedIncrement(&this->m_refs));
    }
    STDMETHOD_(ULONG, Release)() override
    {
        LONG refs = InterlockedDecrement(&this->m_refs);
        if (refs == 0) delete this;
        return static_cast<ULONG>(refs);
    }

    // A new object, final construction done, held by one reference.
    static HRESULT Create(com_ptr<ComObject>& out) noexcept
    {
        out.reset();
        auto* object = new (std::nothrow) ComObject;
        if (!object) return E_OUTOFMEMORY;
        com_ptr<ComObject> holder(object);
        HRESULT hr = object->FinalConstruct();
        if (FAILED(hr)) return hr;
        out = std::move(holder);
        return S_OK;
    }
};

// The class inside an aggregate: every IUnknown call goes to the outer object.
template <class T>
class ComContainedObject final : public T {
public:
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        return this->m_controlling->QueryInterface(riid, ppv);
    }
    STDMETHOD_(ULONG, AddRef)() override { return this->m_controlling->AddRef(); }
    STDMETHOD_(ULONG, Release)() override { return this->m_controlling->Release(); }
};

// An aggregated object: the non-delegating unknown handed to the outer object.
template <class T>
class ComAggObject final : private ModuleLockHolder, public IUnknown {
public:
    explicit ComAggObject(IUnknown* outer) noexcept { m_contained.m_controlling = outer; }
    ~ComAggObject() { m_contained.FinalRelease(); }

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return ComObjectRoot::QueryFromTable<T>(&m_contained, riid, ppv);
    }
    STDMETHOD_(ULONG, AddRef)() override
    {
        return static_cast<ULONG>(InterlockedIncrement(&m_refs));
    }
    STDMETHOD_(ULONG, Release)() override
    {
        LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0) delete this;
        return static_cast<ULONG>(refs);
    }

    HRESULT FinalConstruct() noexcept { return m_contained.FinalConstruct(); }
    T* Object() noexcept { return &m_contained; }

private:
    LONG m_refs = 0;
    ComContainedObject<T> m_contained;
};

// The instance creator of a class-table entry: plain without an outer
// unknown, aggregated with one (which may ask only for IUnknown).
template <class T>
HRESULT CreateComInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    if (!outer) {
        com_ptr<ComObject<T>> object;
        RETURN_IF_FAILED(ComObject<T>::Create(object));
        return object->QueryInterface(riid, ppv);
    }
    auto* aggregate = new (std::nothrow) ComAggObject<T>(outer);
    if (!aggregate) return E_OUTOFMEMORY;
    aggregate->AddRef();
    HRESULT hr = aggregate->FinalConstruct();
    if (SUCCEEDED(hr)) hr = aggregate->QueryInterface(riid, ppv);
    aggregate->Release();
    return hr;
}
