#include "PolicyStore.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <new>

namespace secclient {

namespace {

// Long enough for any honest writer; a stuck one must not hang the caller.
constexpr DWORD kLockWaitMs = 60 * 1000;
// A file that anyone has open cannot be renamed over, whatever it shares.
// Readers hold it for one read: the rename is tried again for a second.
constexpr int kRenameTries = 50;
constexpr DWORD kRenamePauseMs = 20;
constexpr DWORD kMaxPolicyBytes = 256u * 1024 * 1024;

using Handle = std::unique_ptr<void, decltype(&CloseHandle)>;

HRESULT LastError()
{
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

int HexValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// file:name, file:C:\x, file:/C:/x, file:///C:/x, file://localhost/C:/x,
// file://server/share/x. A run of %XX escapes is UTF-8.
bool FileUrlToPath(const std::wstring& url, std::wstring& path)
{
    std::wstring decoded;
    std::string escaped;
    auto flush = [&]() -> bool {
        if (escaped.empty()) return true;
        int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, escaped.data(),
                                         static_cast<int>(escaped.size()), nullptr, 0);
        if (length <= 0) return false;
        std::wstring text(static_cast<size_t>(length), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, escaped.data(), static_cast<int>(escaped.size()), &text[0], length);
        decoded += text;
        escaped.clear();
        return true;
    };
    for (size_t i = 5; i < url.size(); ++i) {
        if (url[i] == L'%') {
            if (i + 2 >= url.size() || HexValue(url[i + 1]) < 0 || HexValue(url[i + 2]) < 0) return false;
            escaped += static_cast<char>(HexValue(url[i + 1]) * 16 + HexValue(url[i + 2]));
            i += 2;
            continue;
        }
        if (!flush()) return false;
        decoded += url[i] == L'/' ? L'\\' : url[i];
    }
    if (!flush()) return false;
    if (decoded.compare(0, 2, L"\\\\") == 0) {
        size_t hostEnd = decoded.find(L'\\', 2);
        std::wstring host = decoded.substr(2, hostEnd == std::wstring::npos ? std::wstring::npos : hostEnd - 2);
        std::wstring local = hostEnd == std::wstring::npos ? std::wstring() : decoded.substr(hostEnd);
        decoded = host.empty() || _wcsicmp(host.c_str(), L"localhost") == 0 ? local : L"\\\\" + host + local;
    }
    if (decoded.size() >= 3 && decoded[0] == L'\\' && iswalpha(decoded[1]) && decoded[2] == L':')
        decoded.erase(0, 1);
    if (decoded.empty() || decoded == L"\\") return false;
    path = decoded;
    return true;
}

// A scheme has two characters or more, so that "C:\x" stays a path.
size_t SchemeLength(const std::wstring& address)
{
    size_t i = 0;
    while (i < address.size() &&
           (iswalnum(address[i]) || address[i] == L'+' || address[i] == L'-' || address[i] == L'.'))
        ++i;
    if (i >= 2 && i < address.size() && address[i] == L':' && iswalpha(address[0])) return i;
    return 0;
}

std::wstring RegistryPolicyAddress()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quarnex\\VOK\\KivAuth", 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return std::wstring();
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    DWORD type = 0;
    LONG status = RegQueryValueExW(key, L"PolicyFile", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::wstring();
    if (type == REG_SZ) return buffer;
    wchar_t expanded[MAX_PATH * 2];
    DWORD length = ExpandEnvironmentStringsW(buffer, expanded, MAX_PATH * 2);
    return length && length <= MAX_PATH * 2 ? expanded : std::wstring();
}

std::wstring FullPath(const std::wstring& path)
{
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) return path;
    std::wstring full(length, L'\0');
    length = GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
    full.resize(length);
    return full;
}

// One mutex per file, named after its full path without regard to case.
Handle OpenWriterLock(const std::wstring& fullPath)
{
    std::wstring upper = fullPath;
    if (!upper.empty()) CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    unsigned long long hash = 1469598103934665603ull;
    for (wchar_t c : upper) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    wchar_t name[64];
    swprintf(name, 64, L"SecClientStandIn.Policy.%08lX%08lX", static_cast<unsigned long>(hash >> 32),
             static_cast<unsigned long>(hash));
    return Handle(CreateMutexW(nullptr, FALSE, name), &CloseHandle);
}

HRESULT ReadWholeFile(const std::wstring& path, std::string& bytes)
{
    // Share everything: the library and other readers must never be refused.
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                &CloseHandle);
    if (file.get() == INVALID_HANDLE_VALUE) {
        HRESULT hr = LastError();
        file.release();
        return hr;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size)) return LastError();
    if (size.QuadPart > kMaxPolicyBytes) return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
        return LastError();
    bytes.resize(read);
    return S_OK;
}

HRESULT WriteNewFile(const std::wstring& path, const std::string& bytes)
{
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
                &CloseHandle);
    if (file.get() == INVALID_HANDLE_VALUE) {
        HRESULT hr = LastError();
        file.release();
        return hr;
    }
    size_t written = 0;
    while (written < bytes.size()) {
        DWORD chunk = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 20));
        if (!WriteFile(file.get(), bytes.data() + written, want, &chunk, nullptr)) return LastError();
        written += chunk;
    }
    if (!FlushFileBuffers(file.get())) return LastError();
    return S_OK;
}

// The new text goes to a file of its own next to the policy, and only a
// rename, which replaces the whole file at once, puts it in place.
HRESULT ReplaceAtomically(const std::wstring& fullPath, const std::string& bytes)
{
    size_t slash = fullPath.find_last_of(L"\\/");
    std::wstring folder = slash == std::wstring::npos ? L"." : fullPath.substr(0, slash + 1);
    wchar_t temp[MAX_PATH];
    if (!GetTempFileNameW(folder.c_str(), L"sec", 0, temp)) return LastError();
    HRESULT hr = WriteNewFile(temp, bytes);
    for (int tries = 1; SUCCEEDED(hr); ++tries) {
        if (MoveFileExW(temp, fullPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) break;
        hr = LastError();
        if (tries == kRenameTries ||
            (hr != HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) && hr != HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)))
            break;
        Sleep(kRenamePauseMs);
        hr = S_OK;
    }
    if (FAILED(hr)) DeleteFileW(temp);
    return hr;
}

}  // namespace

bool AddressToPath(const std::wstring& address, std::wstring& path)
{
    if (address.empty()) return false;
    size_t scheme = SchemeLength(address);
    if (scheme == 0) {
        path = address;
        return true;
    }
    return scheme == 4 && _wcsnicmp(address.c_str(), L"file", 4) == 0 && FileUrlToPath(address, path);
}

std::wstring MachinePolicyFile()
{
    std::wstring path;
    wchar_t value[MAX_PATH * 2];
    DWORD length = GetEnvironmentVariableW(L"KIVAUTH_POLICY", value, MAX_PATH * 2);
    if (length && length < MAX_PATH * 2 && AddressToPath(value, path)) return path;
    if (AddressToPath(RegistryPolicyAddress(), path)) return path;
    return std::wstring();
}

HRESULT EditPolicyFile(const std::wstring& path, const std::function<HRESULT(PolicyDocument&)>& edit)
{
    if (path.empty()) return kNoPolicyFile;
    std::wstring fullPath = FullPath(path);
    Handle lock = OpenWriterLock(fullPath);
    if (!lock) return LastError();
    DWORD wait = WaitForSingleObject(lock.get(), kLockWaitMs);
    // An abandoned lock is fine: the file was only ever replaced whole.
    if (wait == WAIT_TIMEOUT) return kPolicyBusy;
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return LastError();
    struct Unlock {
        HANDLE mutex;
        ~Unlock() { ReleaseMutex(mutex); }
    } unlock{lock.get()};

    std::string before;
    HRESULT hr = ReadWholeFile(fullPath, before);
    if (FAILED(hr)) return hr;
    PolicyDocument document;
    hr = document.Load(before);
    if (SUCCEEDED(hr)) hr = edit(document);
    if (FAILED(hr)) return hr;
    std::string after = document.Text();
    if (after == before) return S_OK;
    return ReplaceAtomically(fullPath, after);
}

}  // namespace secclient
