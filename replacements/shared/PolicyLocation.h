// Where the policy file is, as KivAuth.dll finds it. The security-database
// client writes the file the library reads, so both take it from here.
#pragma once

#include <windows.h>
#include <winhttp.h>
#include <string>

namespace standin {

// Neither reads a policy file larger than this.
constexpr DWORD kMaxPolicyBytes = 256u * 1024 * 1024;

// What an address names: a policy file, a policy on an HTTP server,
// nothing, a scheme that no stand-in speaks, or an unusable address.
enum class AddressKind { None, File, Http, Unsupported, Invalid };

// A scheme other than "file:" and "http:" ("https:", "ftp:"...). The text
// of ERROR_WINHTTP_UNRECOGNIZED_SCHEME says what is wrong.
constexpr HRESULT kUnsupportedAddress = HRESULT_FROM_WIN32(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);

// "file:" URLs and plain paths name files; the path is then filled. An
// "http:" URL with a host names a server; the path is then the address as
// given. A null or empty address names nothing.
AddressKind ClassifyAddress(const wchar_t* address, std::wstring& path);

// The machine setting that named the policy file.
enum class PolicySetting { None, Environment, Registry };

// The policy file named by the environment variable KIVAUTH_POLICY, or else
// by the registry value HKLM\SOFTWARE\Quarnex\VOK\KivAuth "PolicyFile"
// (REG_SZ or REG_EXPAND_SZ). A setting that names no file counts as unset.
PolicySetting MachinePolicyFile(std::wstring& path);

}  // namespace standin
