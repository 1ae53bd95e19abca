// The class object of a class that a test registers in its own process
// (CoRegisterClassObject). It outlives its registration, so it keeps no
// count, and it hands every creation to the function the test gives it,
// which decides about aggregation, failures and what it records.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <functional>
#include <utility>

class TestClassFactory final : public IClassFactory {
public:
    using CreateFn = std::function<HRESULT(IUnknown* outer, REFIID riid, void** ppv)>;

    explicit TestClassFactory(CreateFn create) : m_create(std::move(create)) {}
    TestClassFactory(const TestClassFactory&) = delete;
    TestClassFactory& operator=(const TestClassFactory&) = delete;

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        return m_create(outer, riid, ppv);
    }
    STDMETHOD(LockServer)(BOOL) override { return S_OK; }

private:
    CreateFn m_create;
};
