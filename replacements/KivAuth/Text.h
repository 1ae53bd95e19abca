// Narrow texts of the library (system ANSI code page) and their conversions.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <string>

namespace kivauth {

// Wide to narrow with CP_ACP; unmappable characters become the default
// character. Null gives an empty text. Throws std::bad_alloc.
std::string ToAcp(const wchar_t* text);
std::string Utf8ToAcp(const std::string& text);
std::wstring ToWide(const std::string& text);

// A new BSTR for a receiver that frees it; null when memory runs out.
BSTR ToBstr(const std::string& text) noexcept;

// The key under which accounts, DNs, names and applications are looked up:
// compared without regard to case.
std::string FoldCase(std::string text);

// Leading and trailing spaces and tabs removed.
std::string Trim(const std::string& text);

// A GUID in braces, strictly {8-4-4-4-12} hexadecimal digits; canonical is
// the same text in upper case.
bool ParseGuid(const std::string& text, std::string& canonical);

// Copies text into a fixed field, cut to size - 1 bytes (never in the middle
// of a double-byte character) and NUL-terminated.
void CopyToField(const std::string& text, char* field, size_t size) noexcept;

// "YYYY-MM-DD hh:mm:ss" of the local clock.
std::string LocalTimeText();

}  // namespace kivauth
