// Small helpers shared by the module's tests.
#pragma once

#include "ComPtr.h"
#include "KivAuthControl.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <vector>

// A BSTR made from a literal, freed at the end of the scope; null stays null.
class Bstr {
public:
    Bstr(const wchar_t* text) : m_s(text ? SysAllocString(text) : nullptr) {}
    // A BSTR of a given length, NULs included.
    Bstr(const wchar_t* text, UINT length) : m_s(SysAllocStringLen(text, length)) {}
    ~Bstr() { SysFreeString(m_s); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return m_s; }

private:
    BSTR m_s;
};

// The calls that the closed library recorded since the last clear.
inline std::vector<std::string> LibraryCalls()
{
    std::vector<std::string> calls;
    for (int i = 0; i < KivTest_CallCount(); ++i) {
        char line[2048];
        KivTest_GetCall(i, line, sizeof line);
        calls.push_back(line);
    }
    return calls;
}

// A clean library for every test: default policy, no forced results, no calls.
class LibraryTest : public testing::Test {
protected:
    void SetUp() override { KivTest_Reset(); }
    void TearDown() override { KivTest_Reset(); }
};

inline ULONG RefCount(IUnknown* unknown)
{
    unknown->AddRef();
    return unknown->Release();
}
