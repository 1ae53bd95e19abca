// Where a policy comes from, and reading it.
#pragma once

#include <windows.h>
#include <string>

namespace kivauth {

struct PolicySource {
    enum class Kind { Text, File, Embedded };
    Kind kind = Kind::Embedded;
    std::string text;    // Kind::Text
    std::wstring path;   // Kind::File, Windows path semantics
    std::string origin;  // names the source in messages; a new origin is a new source
};

// What a security-server address (or the environment or registry value)
// names: a policy file, a network server, nothing, or an unusable address.
enum class AddressKind { None, File, Network, Invalid };

// "file:" URLs and plain paths name files; the path is then filled.
AddressKind ClassifyAddress(const wchar_t* address, std::wstring& path);

// The policy file named by KIVAUTH_POLICY, or else by the registry value
// HKLM\SOFTWARE\Quarnex\VOK\KivAuth "PolicyFile". False when neither names one.
bool MachinePolicyFile(PolicySource& source);

// The whole content of the source. False with a message when it cannot be read.
bool ReadPolicyText(const PolicySource& source, std::string& text, std::string& error);

}  // namespace kivauth
