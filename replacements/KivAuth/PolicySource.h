// Where a policy comes from, and reading it.
#pragma once

#include "PolicyLocation.h"

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

// A security-server address names a file as the environment and registry
// values do.
using standin::AddressKind;
using standin::ClassifyAddress;

// The policy file that KIVAUTH_POLICY or the registry value PolicyFile
// names. False when neither names one.
bool MachinePolicyFile(PolicySource& source);

// The whole content of the source. False with a message when it cannot be read.
bool ReadPolicyText(const PolicySource& source, std::string& text, std::string& error);

}  // namespace kivauth
