// Where the policy file is, as KivAuth.dll finds it. The security-database
// client writes the file the library reads, so both take it from here.
#pragma once

#include <windows.h>
#include <string>

namespace standin {

// Neither reads a policy file larger than this.
constexpr DWORD kMaxPolicyBytes = 256u * 1024 * 1024;

// What an address names: a policy file, a network server, nothing, or an
// unusable address.
enum class AddressKind { None, File, Network, Invalid };

// "file:" URLs and plain paths name files; the path is then filled. A null
// or empty address names nothing.
AddressKind ClassifyAddress(const wchar_t* address, std::wstring& path);

// The machine setting that named the policy file.
enum class PolicySetting { None, Environment, Registry };

// The policy file named by the environment variable KIVAUTH_POLICY, or else
// by the registry value HKLM\SOFTWARE\Quarnex\VOK\KivAuth "PolicyFile"
// (REG_SZ or REG_EXPAND_SZ). A setting that names no file counts as unset.
PolicySetting MachinePolicyFile(std::wstring& path);

}  // namespace standin
