// Counts the task-memory blocks (BSTRs among them, with the BSTR cache off)
// that are allocated and not yet freed while it is registered, and can make
// one chosen allocation fail.
#pragma once

#include <objidl.h>
#include <set>

class MallocSpy {
public:
    MallocSpy() : m_spy(new Spy) { m_registered = SUCCEEDED(CoRegisterMallocSpy(m_spy)); }
    ~MallocSpy()
    {
        // While blocks allocated under the spy are alive, the platform keeps
        // calling it until they are freed: it holds its own reference.
        if (m_registered) CoRevokeMallocSpy();
        m_spy->Release();
    }
    MallocSpy(const MallocSpy&) = delete;
    MallocSpy& operator=(const MallocSpy&) = delete;

    bool registered() const { return m_registered; }
    size_t Live() const { return m_spy->Live(); }

    // The allocation after the next `skip` ones fails (once); -1: none.
    void FailAllocationAfter(int skip) { m_spy->FailAllocationAfter(skip); }
    // Whether the chosen allocation came, and failed.
    bool Failed() const { return m_spy->Failed(); }

private:
    // Task memory is process-wide: any thread may call in.
    class Spy final : public IMallocSpy {
    public:
        Spy() { InitializeCriticalSection(&m_lock); }
        ~Spy() { DeleteCriticalSection(&m_lock); }

        size_t Live()
        {
            Guard guard(m_lock);
            return m_live.size();
        }
        void FailAllocationAfter(int skip)
        {
            Guard guard(m_lock);
            m_countdown = skip;
            m_failed = false;
        }
        bool Failed()
        {
            Guard guard(m_lock);
            return m_failed;
        }

        STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
        {
            if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMallocSpy)) {
                AddRef();
                *ppv = static_cast<IMallocSpy*>(this);
                return S_OK;
            }
            *ppv = nullptr;
            return E_NOINTERFACE;
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
        STDMETHOD_(SIZE_T, PreAlloc)(SIZE_T size) override
        {
            Guard guard(m_lock);
            if (m_countdown < 0 || size == 0) return size;
            if (m_countdown-- > 0) return size;
            m_failed = true;
            return 0;  // the allocation fails
        }
        STDMETHOD_(void*, PostAlloc)(void* block) override
        {
            Guard guard(m_lock);
            if (block) m_live.insert(block);
            return block;
        }
        STDMETHOD_(void*, PreFree)(void* block, BOOL) override
        {
            Guard guard(m_lock);
            m_live.erase(block);
            return block;
        }
        STDMETHOD_(void, PostFree)(BOOL) override {}
        STDMETHOD_(SIZE_T, PreRealloc)(void* block, SIZE_T size, void** newBlock, BOOL) override
        {
            Guard guard(m_lock);
            m_live.erase(block);
            *newBlock = block;
            return size;
        }
        STDMETHOD_(void*, PostRealloc)(void* block, BOOL) override
        {
            Guard guard(m_lock);
            if (block) m_live.insert(block);
            return block;
        }
        STDMETHOD_(void*, PreGetSize)(void* block, BOOL) override { return block; }
        STDMETHOD_(SIZE_T, PostGetSize)(SIZE_T size, BOOL) override { return size; }
        STDMETHOD_(void*, PreDidAlloc)(void* block, BOOL) override { return block; }
        STDMETHOD_(int, PostDidAlloc)(void*, BOOL, int actual) override { return actual; }
        STDMETHOD_(void, PreHeapMinimize)() override {}
        STDMETHOD_(void, PostHeapMinimize)() override {}

    private:
        struct Guard {
            explicit Guard(CRITICAL_SECTION& lock) : m_held(lock) { EnterCriticalSection(&m_held); }
            ~Guard() { LeaveCriticalSection(&m_held); }
            CRITICAL_SECTION& m_held;
        };
        LONG m_refs = 1;
        CRITICAL_SECTION m_lock;
        std::set<void*> m_live;
        int m_countdown = -1;
        bool m_failed = false;
    };

    Spy* m_spy;
    bool m_registered = false;
};
