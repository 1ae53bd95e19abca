// Where a policy comes from, and reading it.
#pragma once

#include "PolicyLocation.h"

#include <windows.h>
#include <string>

namespace kivauth {

struct PolicySource {
    enum class Kind { Text, File, Http, Embedded };
    Kind kind = Kind::Embedded;
    std::string text;    // Kind::Text
    std::wstring path;   // Kind::File, Windows path semantics; Kind::Http, the address
    std::string origin;  // names the source in messages; a new origin is a new source
    int timeoutMs = 0;   // Kind::Http: the whole request; 0 or less, the default
};

// What one read of a source brought.
struct PolicyRead {
    std::string text;
    std::wstring etag;         // the server's tag for the text; empty for other sources
    bool notModified = false;  // the server still holds the text of knownEtag
};

// A security-server address names a file as the environment and registry
// values do.
using standin::AddressKind;
using standin::ClassifyAddress;

// The policy file that KIVAUTH_POLICY or the registry value PolicyFile
// names. False when neither names one.
bool MachinePolicyFile(PolicySource& source);

// The whole content of the source. A server is asked for it only when its
// tag differs from knownEtag (none when empty). False with a message when
// it cannot be read: unreachable, silent past the time-out, or answering
// anything but the policy.
bool ReadPolicyText(const PolicySource& source, const std::wstring& knownEtag, PolicyRead& result,
                    std::string& error);

}  // namespace kivauth
