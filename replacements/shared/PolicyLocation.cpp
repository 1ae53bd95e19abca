#include "PolicyLocation.h"

#include "HttpClient.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cwctype>

namespace standin {

namespace {

constexpr DWORD kValueChars = MAX_PATH * 2;

int HexValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool IsDriveRoot(const std::wstring& path, size_t at)
{
    return path.size() >= at + 2 && iswalpha(path[at]) && path[at + 1] == L':';
}

// file:name, file:C:\x, file:/C:/x, file:///C:/x, file://localhost/C:/x,
// file://server/share/x (UNC). Escapes like %20 are decoded; a run of them
// is UTF-8, as in any URL.
bool FileUrlToPath(const std::wstring& url, std::wstring& path)
{
    std::wstring rest = url.substr(5);
    std::wstring decoded;
    std::string escaped;
    for (size_t i = 0; i <= rest.size(); ++i) {
        if (i < rest.size() && rest[i] == L'%') {
            if (i + 2 >= rest.size() || HexValue(rest[i + 1]) < 0 || HexValue(rest[i + 2]) < 0)
                return false;
            escaped += static_cast<char>(HexValue(rest[i + 1]) * 16 + HexValue(rest[i + 2]));
            i += 2;
            continue;
        }
        if (!escaped.empty()) {
            int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, escaped.data(),
                                             static_cast<int>(escaped.size()), nullptr, 0);
            if (length <= 0) return false;
            std::wstring text(static_cast<size_t>(length), L'\0');
            MultiByteToWideChar(CP_UTF8, 0, escaped.data(), static_cast<int>(escaped.size()),
                                &text[0], length);
            decoded += text;
            escaped.clear();
        }
        if (i < rest.size()) decoded += rest[i] == L'/' ? L'\\' : rest[i];
    }
    if (decoded.compare(0, 2, L"\\\\") == 0) {
        size_t hostEnd = decoded.find(L'\\', 2);
        std::wstring host =
            decoded.substr(2, hostEnd == std::wstring::npos ? std::wstring::npos : hostEnd - 2);
        std::wstring local =
            hostEnd == std::wstring::npos ? std::wstring() : decoded.substr(hostEnd);
        decoded = host.empty() || _wcsicmp(host.c_str(), L"localhost") == 0
                      ? local
                      : L"\\\\" + host + local;
    }
    if (decoded.size() >= 3 && decoded[0] == L'\\' && IsDriveRoot(decoded, 1)) decoded.erase(0, 1);
    if (decoded.empty() || decoded == L"\\") return false;
    path = decoded;
    return true;
}

// A scheme has two characters or more, so "C:\x" stays a path.
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
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quarnex\\VOK\\KivAuth", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t buffer[kValueChars] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    DWORD type = 0;
    LONG status = RegQueryValueExW(key, L"PolicyFile", nullptr, &type,
                                   reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::wstring();
    if (type == REG_SZ) return buffer;
    wchar_t expanded[kValueChars];
    DWORD length = ExpandEnvironmentStringsW(buffer, expanded, kValueChars);
    return length && length <= kValueChars ? expanded : std::wstring();
}

bool NamesFile(const std::wstring& address, std::wstring& path)
{
    return ClassifyAddress(address.c_str(), path) == AddressKind::File;
}

}  // namespace

AddressKind ClassifyAddress(const wchar_t* address, std::wstring& path)
{
    if (!address || !*address) return AddressKind::None;
    std::wstring text = address;
    size_t scheme = SchemeLength(text);
    if (scheme == 0) {
        path = text;
        return AddressKind::File;
    }
    if (scheme == 4 && _wcsnicmp(text.c_str(), L"file", 4) == 0)
        return FileUrlToPath(text, path) ? AddressKind::File : AddressKind::Invalid;
    if ((scheme == 4 && _wcsnicmp(text.c_str(), L"http", 4) == 0) ||
        (scheme == 5 && _wcsnicmp(text.c_str(), L"https", 5) == 0)) {
        HttpAddress http;
        if (!ParseHttpAddress(address, http) || http.hasUserInfo) return AddressKind::Invalid;
        if (!http.secure && !PlainHttpAllowed(http.host, MachineAllowsPlainHttp()))
            return AddressKind::PlainHttpRefused;
        path = text;
        return AddressKind::Http;
    }
    return AddressKind::Unsupported;
}

std::string RefusedAddressReason(AddressKind kind, const wchar_t* address)
{
    switch (kind) {
    case AddressKind::Unsupported: {
        // Named only when it is ASCII, as a scheme must be: a text is shown
        // exactly or not at all.
        std::wstring text = address;
        std::string scheme;
        for (size_t i = 0, length = SchemeLength(text); i < length; ++i) {
            if (text[i] > 0x7F) return "the address's scheme is not one the policy travels by";
            scheme += static_cast<char>(text[i]);
        }
        return "the scheme '" + scheme + ":' is not one the policy travels by: use https:";
    }
    case AddressKind::Invalid: {
        HttpAddress http;
        if (ParseHttpAddress(address, http) && http.hasUserInfo) return kUserInfoReason;
        return "not a usable address: a file, or an http: or https: address with a host";
    }
    case AddressKind::PlainHttpRefused: return kPlainHttpRefusedReason;
    default: return std::string();
    }
}

bool IsLoopbackHost(const std::wstring& host)
{
    if (_wcsicmp(host.c_str(), L"localhost") == 0) return true;
    // Literals only, in their one strict form ("127.1" and "0x7f.1" are names).
    IN_ADDR v4;
    if (InetPtonW(AF_INET, host.c_str(), &v4) == 1) return v4.S_un.S_un_b.s_b1 == 127;
    std::wstring bare = host;
    if (bare.size() > 2 && bare.front() == L'[' && bare.back() == L']')
        bare = bare.substr(1, bare.size() - 2);
    IN6_ADDR v6;
    if (InetPtonW(AF_INET6, bare.c_str(), &v6) != 1) return false;
    return IN6_IS_ADDR_LOOPBACK(&v6) != 0;
}

bool PlainHttpAllowed(const std::wstring& host, bool machineAllows)
{
    return machineAllows || IsLoopbackHost(host);
}

bool MachineAllowsPlainHttp()
{
    DWORD value = 0;
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quarnex\\VOK\\KivAuth", L"AllowPlainHttp",
                        RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS &&
           value != 0;
}

PolicySetting MachinePolicyFile(std::wstring& path)
{
    wchar_t value[kValueChars];
    DWORD length = GetEnvironmentVariableW(L"KIVAUTH_POLICY", value, kValueChars);
    if (length && length < kValueChars && NamesFile(value, path)) return PolicySetting::Environment;
    if (NamesFile(RegistryPolicyAddress(), path)) return PolicySetting::Registry;
    return PolicySetting::None;
}

}  // namespace standin
