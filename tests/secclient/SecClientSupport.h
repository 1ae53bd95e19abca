// What the tests of the client stand-in share: a policy file of their own in
// a folder of their own, the client made from its registered class, and a
// check that a text is a policy the closed library accepts.
#pragma once

#include "AuthSecClientItf.h"
#include "ComPtr.h"
#include "KivAuthControl.h"
#include "SecClientItf.h"
#include "TestHelpers.h"
#include "ProcAddress.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <vector>

inline std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

inline std::string Narrow(const wchar_t* text)
{
    std::string result;
    for (; text && *text; ++text) result += static_cast<char>(*text);
    return result;
}

// Lines joined by CR LF, the line end of a policy written on Windows.
inline std::string Crlf(std::initializer_list<const char*> lines)
{
    std::string text;
    for (const char* line : lines) text += std::string(line) + "\r\n";
    return text;
}

// A folder under the temporary folder, removed with what it holds.
class TempFolder {
public:
    TempFolder()
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        wchar_t name[MAX_PATH];
        GetTempFileNameW(base, L"scl", 0, name);
        DeleteFileW(name);
        m_path = name;
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~TempFolder()
    {
        for (const std::wstring& file : Files()) {
            SetFileAttributesW((m_path + L"\\" + file).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW((m_path + L"\\" + file).c_str());
        }
        RemoveDirectoryW(m_path.c_str());
    }
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const wchar_t* name) const { return m_path + L"\\" + name; }

    std::vector<std::wstring> Files() const
    {
        std::vector<std::wstring> files;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((m_path + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return files;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                files.push_back(found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return files;
    }

private:
    std::wstring m_path;
};

inline void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    ASSERT_TRUE(WriteFileBytes(path, bytes));
}

// The bytes of a file; "<missing>" when it is not there, so that a
// comparison with the expected text says so.
inline std::string ReadBytes(const std::wstring& path)
{
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return "<missing>";
    return ReadFileBytes(path);
}

// True when the closed library accepts the text as a policy. Leaves the
// library as a fresh process finds it.
inline bool LibraryAccepts(const std::string& text)
{
    HRESULT hr = KivTest_LoadPolicyText(text.c_str());
    KivTest_Reset();
    KivTest_UseMachinePolicy(TRUE);
    return hr == S_OK;
}

// The security-database client, as a client program creates it.
inline com_ptr<IAuthSecClient> CreateClient()
{
    com_ptr<IAuthSecClient> client;
    HRESULT hr = CoCreateInstance(CLSID_SecClientStandIn, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IAuthSecClient, client.put_void());
    EXPECT_EQ(hr, S_OK) << "is SecClient.dll registered?";
    return client;
}

inline com_ptr<ISecClientControl> ControlOf(const com_ptr<IAuthSecClient>& client)
{
    com_ptr<ISecClientControl> control;
    EXPECT_EQ(client->QueryInterface(IID_ISecClientControl, control.put_void()), S_OK);
    return control;
}

// Every object of the DLL gone.
inline HRESULT SecClientCanUnload()
{
    HMODULE dll = GetModuleHandleW(L"SecClient.dll");
    if (!dll) return S_OK;
    auto canUnload = GetProcAddressAs<HRESULT(STDAPICALLTYPE*)()>(dll, "DllCanUnloadNow");
    return canUnload ? canUnload() : E_FAIL;
}
