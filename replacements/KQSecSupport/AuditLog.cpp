#include "AuditLog.h"

#include "Results.h"

#include <shlobj.h>
#include <cstdio>
#include <new>
#include <vector>

namespace {

std::wstring EnvironmentPath()
{
    DWORD size = GetEnvironmentVariableW(kAuditLogVariable, nullptr, 0);
    if (size == 0) return std::wstring();
    std::wstring value(size, L'\0');
    size = GetEnvironmentVariableW(kAuditLogVariable, &value[0], size);
    value.resize(size);
    return value;
}

std::wstring RegistryPath()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAuditLogKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::wstring();
    std::wstring value;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, kAuditLogValue, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && bytes > 0) {
        std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(key, kAuditLogValue, nullptr, nullptr,
                             reinterpret_cast<BYTE*>(data.data()), &bytes) == ERROR_SUCCESS)
            value = data.data();
    }
    RegCloseKey(key);
    if (type == REG_EXPAND_SZ && !value.empty()) {
        DWORD size = ExpandEnvironmentStringsW(value.c_str(), nullptr, 0);
        if (size != 0) {
            std::vector<wchar_t> expanded(size);
            if (ExpandEnvironmentStringsW(value.c_str(), expanded.data(), size) != 0)
                value = expanded.data();
        }
    }
    return value;
}

std::wstring DefaultPath()
{
    wchar_t folder[MAX_PATH];
    if (FAILED(
            SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return std::wstring();
    std::wstring path = folder;
    path += L"\\KQSecSupport";
    CreateDirectoryW(path.c_str(), nullptr);  // usually there already
    return path + L"\\audit.jsonl";
}

void AppendUtf8(std::string& out, unsigned codePoint)
{
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

void AppendEscape(std::string& out, unsigned unit)
{
    char escape[8];
    snprintf(escape, sizeof escape, "\\u%04x", unit);
    out += escape;
}

}  // namespace

std::wstring AuditLogPath()
{
    std::wstring path = EnvironmentPath();
    if (path.empty()) path = RegistryPath();
    if (path.empty()) path = DefaultPath();
    return path;
}

HRESULT AppendAuditLine(const std::string& line) noexcept
{
    // Lack of memory is said as such; anything else is a failed write.
    auto failure = [](HRESULT code) { return code == E_OUTOFMEMORY ? code : E_FAIL; };
    return Barrier(failure, [&] {
        std::wstring path = AuditLogPath();
        if (path.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        std::string record = line + "\n";

        HANDLE file =
            CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
        if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());

        // Writers in other processes append to the same file: one line at a time.
        HRESULT hr = S_OK;
        OVERLAPPED whole = {};
        if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
            hr = HRESULT_FROM_WIN32(GetLastError());
        } else {
            LARGE_INTEGER zero = {}, end = {};
            DWORD written = 0;
            if (!SetFilePointerEx(file, zero, &end, FILE_END)) {
                hr = HRESULT_FROM_WIN32(GetLastError());
            } else {
                if (!WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written,
                               nullptr) ||
                    !FlushFileBuffers(file))
                    hr = HRESULT_FROM_WIN32(GetLastError());
                else if (written != record.size())
                    hr = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
                // A full disk or a size limit can leave part of the line: the
                // next event, from any process, would be joined onto it.
                if (FAILED(hr) && SetFilePointerEx(file, end, nullptr, FILE_BEGIN))
                    SetEndOfFile(file);
            }
            UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
        }
        CloseHandle(file);
        return hr;
    });
}

void AppendJsonString(std::string& out, const wchar_t* text, size_t length)
{
    if (!text) {
        out += "null";
        return;
    }
    out += '"';
    for (size_t i = 0; i < length; ++i) {
        unsigned unit = text[i];
        switch (unit) {
        case L'"': out += "\\\""; continue;
        case L'\\': out += "\\\\"; continue;
        case L'\b': out += "\\b"; continue;
        case L'\f': out += "\\f"; continue;
        case L'\n': out += "\\n"; continue;
        case L'\r': out += "\\r"; continue;
        case L'\t': out += "\\t"; continue;
        }
        bool pair = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
                    text[i + 1] <= 0xDFFF;
        if (pair) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (unit < 0x20 || unit == 0x7F || unit == 0x2028 || unit == 0x2029 ||
                   (unit >= 0xD800 && unit <= 0xDFFF)) {
            // Controls, the line separators, and lone surrogates, which have no UTF-8 form.
            AppendEscape(out, unit);
        } else {
            AppendUtf8(out, unit);
        }
    }
    out += '"';
}

std::string JsonTimestamp()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}
