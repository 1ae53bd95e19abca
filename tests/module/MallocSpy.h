// Counts the task-memory blocks (BSTRs among them, with the BSTR cache off)
// that are allocated and not yet freed while it is registered, and can make
// one chosen allocation fail.
#pragma once

#include <objidl.h>
#include <set>

class MallocSpy : public IMallocSpy {
public:
    MallocSpy() { m_registered = SUCCEEDED(CoRegisterMallocSpy(this)); }
    ~MallocSpy()
    {
        if (m_registered) CoRevokeMallocSpy();
    }
    bool registered() const { return m_registered; }
    size_t Live() const { return m_live.size(); }

    // The allocation after the next `skip` ones fails (once); -1: none.
    void FailAllocationAfter(int skip)
    {
        m_countdown = skip;
        m_failed = false;
    }
    // Whether the chosen allocation came, and failed.
    bool Failed() const { return m_failed; }

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMallocSpy)) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD_(SIZE_T, PreAlloc)(SIZE_T size) override
    {
        if (m_countdown < 0 || size == 0) return size;
        if (m_countdown-- > 0) return size;
        m_failed = true;
        return 0;  // the allocation fails
    }
    STDMETHOD_(void*, PostAlloc)(void* block) override
    {
        if (block) m_live.insert(block);
        return block;
    }
    STDMETHOD_(void*, PreFree)(void* block, BOOL) override
    {
        m_live.erase(block);
        return block;
    }
    STDMETHOD_(void, PostFree)(BOOL) override {}
    STDMETHOD_(SIZE_T, PreRealloc)(void* block, SIZE_T size, void** newBlock, BOOL) override
    {
        m_live.erase(block);
        *newBlock = block;
        return size;
    }
    STDMETHOD_(void*, PostRealloc)(void* block, BOOL) override
    {
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
    bool m_registered = false;
    std::set<void*> m_live;
    int m_countdown = -1;
    bool m_failed = false;
};
