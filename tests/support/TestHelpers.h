// Small COM helpers that every test program uses.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <string>

// A BSTR made from a literal, freed at the end of the scope; null stays null.
class Bstr {
public:
    Bstr(const wchar_t* text) : m_s(text ? SysAllocString(text) : nullptr) {}
    // A BSTR of a given length, NULs included.
    Bstr(const wchar_t* text, UINT length) : m_s(SysAllocStringLen(text, length)) {}
    explicit Bstr(const std::wstring& text) : Bstr(text.data(), static_cast<UINT>(text.size())) {}
    ~Bstr() { SysFreeString(m_s); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return m_s; }

private:
    BSTR m_s;
};

// The object's current reference count, left as it was.
inline ULONG RefCount(IUnknown* unknown)
{
    unknown->AddRef();
    return unknown->Release();
}

// Writes a file whole, replacing what it held; false when it could not.
inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// The bytes of a file, shared with any writer; empty when it cannot be opened.
inline std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    if (!bytes.empty()) ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}
