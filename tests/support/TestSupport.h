// Small helpers shared by the module's tests.
#pragma once

#include "ComPtr.h"
#include "ResourceOwners.h"
#include "Results.h"
#include "KivAuthControl.h"
#include "LibraryCalls.h"
#include "TestHelpers.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

// A clean library for every test: default policy, no forced results, no
// calls, and the call log on.
class LibraryTest : public testing::Test {
protected:
    void SetUp() override
    {
        KivTest_Reset();
        KivTest_RecordCalls(TRUE);
    }
    void TearDown() override { KivTest_Reset(); }
};

// An outer object that owns an aggregate: it answers IUnknown itself and
// passes, and counts, every other query to the inner object.
class Outer : public IUnknown {
public:
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        ++delegatedQueries;
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
    STDMETHOD_(ULONG, Release)() override { return --refs; }

    ULONG refs = 1;
    int delegatedQueries = 0;
    IUnknown* inner = nullptr;
};
