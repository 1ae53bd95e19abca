// Changing the policy file on disk so that a reader never sees half a file
// and a crash never loses the old one. Which file it is, the library and
// this client find alike (PolicyLocation.h).
#pragma once

#include "PolicyDocument.h"

#include <windows.h>
#include <functional>
#include <string>

namespace secclient {

// No policy file named anywhere: nothing to write to.
constexpr HRESULT kNoPolicyFile = HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND);
// Another writer kept the file locked too long.
constexpr HRESULT kPolicyBusy = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

// Reads the file, lets edit change it and, when the text changed, replaces
// the file with the new text: written to a new file in the same folder,
// flushed, then renamed over the old one. Writers of the same file on this
// machine take turns.
HRESULT EditPolicyFile(const std::wstring& path,
                       const std::function<HRESULT(PolicyDocument&)>& edit);

// Other writers kept changing the policy on the server: every conditional
// write of kServerWriteTries found it changed since it was read.
constexpr HRESULT kPolicyConflict = HRESULT_FROM_WIN32(ERROR_RETRY);
constexpr int kServerWriteTries = 8;
// The server gave the policy without an ETag: it cannot be written without
// the risk of undoing another writer's change.
constexpr HRESULT kNoConditionalWrite = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);

// The same for a policy on an HTTP server: read with its ETag, edited, and
// written back whole with PUT and If-Match. When another writer came first
// (412), read and edit again, at most kServerWriteTries times in all. A
// failure of the exchange, or of the server's rules, gives its reason in
// words (UTF-8, never a password); others leave it empty.
HRESULT EditPolicyOnServer(const std::wstring& url,
                           const std::function<HRESULT(PolicyDocument&)>& edit,
                           std::string& reason);

}  // namespace secclient
