// Narrow texts of the library (system ANSI code page) and their conversions.
#pragma once

#include "TextHelpers.h"

#include <windows.h>
#include <oleauto.h>
#include <string>
#include <string_view>

namespace kivauth {

// Accounts, DNs, names and applications are looked up folded to one case;
// the security-database client finds roles by the same rules.
using standin::FoldCase;
using standin::GuidValue;
using standin::GuidValueOf;
using standin::IsGuid;
using standin::ParseGuid;
using standin::Trim;
using standin::Utf8ToAcp;

// Wide to narrow with CP_ACP, exactly (standin::NarrowExact): false for a
// text with a character that the code page lacks, which names nothing in
// the policy. Null gives an empty text. Throws std::bad_alloc.
bool ToAcp(const wchar_t* text, std::string& acp);
// For the call log and messages: such a character becomes the default
// character. Throws std::bad_alloc.
std::string ToAcpForMessage(const wchar_t* text);

// A new BSTR for a receiver that frees it; null when memory runs out.
BSTR ToBstr(std::string_view text) noexcept;

// Copies text into a fixed field, cut to size - 1 bytes (never in the middle
// of a double-byte character) and NUL-terminated.
void CopyToField(std::string_view text, char* field, size_t size) noexcept;

// "YYYY-MM-DD hh:mm:ss" of the local clock.
std::string LocalTimeText();

}  // namespace kivauth
