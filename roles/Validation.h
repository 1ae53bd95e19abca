// Checks and normal forms of role names, role identifiers and member names.
// Every rejection is reported as an audit event before it is returned.
#pragma once

#include "ResourceOwners.h"
#include "ErrorContext.h"

#include <string>

// The characters a role name may not hold, in this order: \ / ' " % # : * { }
extern const wchar_t IllegalNameCharacters[];

// A role name may have 254 UTF-16 code units, counted before any trimming.
constexpr size_t MaxRoleNameLength = 254;

// The length of a name that counts up to its first NUL. A name kept whole,
// embedded NULs and all (a BSTR), is checked with its own length instead:
// what follows a NUL is kept, and so is checked too.
constexpr size_t kUpToNul = static_cast<size_t>(-1);

// name: non-null, at least one character. S_OK, or 0x80041004 after it has
// been reported under "::ValidateName".
HRESULT ValidateName(const wchar_t* name, size_t length = kUpToNul) noexcept;

// An identifier given by a client must be a GUID; normalized receives its
// canonical text (braces, upper case) or stays null when none was given.
// S_OK, or 0x80041006 after it has been reported under "::ValidateGuid".
HRESULT ValidateGuid(const wchar_t* text, unique_bstr& normalized) noexcept;

// Present, no illegal character, at most MaxRoleNameLength characters, in
// this order; failures reported under the caller's context.
HRESULT CheckRoleName(const ErrorContext& context, const wchar_t* paramName, const wchar_t* name,
                      size_t length = kUpToNul) noexcept;

// Without leading and trailing U+0020; a text of spaces only stays as it is.
// A null text gives an empty one.
std::wstring TrimSpaces(const wchar_t* text);

// Narrowed to the system ANSI code page, then trimmed of spaces (0x20).
// Throws when the conversion fails.
std::string NormalizeRoleText(const wchar_t* text);

// Back from a narrow normal form to wide text (CP_ACP). Throws on failure.
std::wstring WidenRoleText(const std::string& text);

// "KIV" and the identifier without its first and last characters; empty
// for an empty identifier.
std::wstring MakePrefixedRoleId(const std::wstring& identifier);
