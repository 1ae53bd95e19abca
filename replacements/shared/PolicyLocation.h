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
// nothing, a scheme that no stand-in speaks, an unusable address, or plain
// http: to a host that others may listen in on.
enum class AddressKind { None, File, Http, Unsupported, Invalid, PlainHttpRefused };

// A scheme other than "file:", "http:" and "https:" ("ftp:"...). The text
// of ERROR_WINHTTP_UNRECOGNIZED_SCHEME says what is wrong.
constexpr HRESULT kUnsupportedAddress = HRESULT_FROM_WIN32(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);

// Plain http: to a host other than this machine, which the machine's
// administrator has not allowed (AllowPlainHttp): anyone on the path could
// read the policy, or answer with one of their own.
constexpr HRESULT kPlainHttpRefused = HRESULT_FROM_WIN32(ERROR_NETWORK_ACCESS_DENIED);
constexpr char kPlainHttpRefusedReason[] =
    "plain http: goes to this machine only, unless the registry value AllowPlainHttp allows "
    "it: use https:";
// Why an address with a user name or password is refused.
constexpr char kUserInfoReason[] = "an address may not carry a user name or password";

// "file:" URLs and plain paths name files; the path is then filled. An
// "http:" or "https:" URL with a host names a server; the path is then the
// address as given. One that carries a user name or password is Invalid:
// credentials come from the Credential Manager, never from an address.
// Plain http: to a host that is not the loopback is PlainHttpRefused unless
// the machine allows it. A null or empty address names nothing.
AddressKind ClassifyAddress(const wchar_t* address, std::wstring& path);

// Why ClassifyAddress refused the address (Unsupported, Invalid or
// PlainHttpRefused), in words that take nothing from it but its scheme;
// empty for any other kind.
std::string RefusedAddressReason(AddressKind kind, const wchar_t* address);

// The host is this machine by its address alone: "localhost", 127.0.0.0/8
// or ::1 as literals. Any other name, even one that resolves there, is not.
bool IsLoopbackHost(const std::wstring& host);

// Whether plain http: may go to the host: always to the loopback, to any
// other host only when the machine allows it.
bool PlainHttpAllowed(const std::wstring& host, bool machineAllows);

// The registry value HKLM\SOFTWARE\Quarnex\VOK\KivAuth "AllowPlainHttp"
// (REG_DWORD, not 0): the administrator allows plain http: to any host.
bool MachineAllowsPlainHttp();

// The machine setting that named the policy file.
enum class PolicySetting { None, Environment, Registry };

// The policy file named by the environment variable KIVAUTH_POLICY, or else
// by the registry value HKLM\SOFTWARE\Quarnex\VOK\KivAuth "PolicyFile"
// (REG_SZ or REG_EXPAND_SZ). A setting that names no file counts as unset.
PolicySetting MachinePolicyFile(std::wstring& path);

}  // namespace standin
