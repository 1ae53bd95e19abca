// The policy file on disk: which one KivAuth.dll reads, and changing it so
// that a reader never sees half a file and a crash never loses the old one.
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

// The file that KIVAUTH_POLICY names, else the registry value
// HKLM\SOFTWARE\Quarnex\VOK\KivAuth "PolicyFile"; a plain path or a file:
// URL, as the library takes them. Empty when neither names a file.
std::wstring MachinePolicyFile();

// A plain path stays as it is; a file: URL becomes its path. False for
// other addresses (a server's), which name no file.
bool AddressToPath(const std::wstring& address, std::wstring& path);

// Reads the file, lets edit change it and, when the text changed, replaces
// the file with the new text: written to a new file in the same folder,
// flushed, then renamed over the old one. Writers of the same file on this
// machine take turns.
HRESULT EditPolicyFile(const std::wstring& path, const std::function<HRESULT(PolicyDocument&)>& edit);

}  // namespace secclient
