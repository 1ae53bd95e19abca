// Texts as KivAuth.dll reads them: code-page conversions, fields trimmed of
// spaces and tabs, names compared without regard to case, role identifiers
// as GUIDs. The security-database client must find a role exactly as the
// library does, so both use these.
#pragma once

#include <windows.h>
#include <cstdint>
#include <string>
#include <string_view>

namespace standin {

// Between wide texts and narrow texts in a code page, exactly: with no best
// fit and no default character, and only when the result converts back to
// the very same text. False, with the result empty, for a text that the
// code page cannot hold (or invalid UTF-8 or UTF-16). A policy decides who
// holds what by these texts: "\x0101lice" narrowed by best fit is "alice",
// and two names of letters the code page lacks are the same "????".
// Throws std::bad_alloc.
bool NarrowExact(UINT codePage, std::wstring_view text, std::string& narrow);
bool WidenExact(UINT codePage, std::string_view text, std::wstring& wide);
// UTF-8 to the ANSI code page, by the same rule.
bool Utf8ToAcp(std::string_view text, std::string& acp);

// For messages and logs only: a character that the code page lacks becomes
// its default character, never a look-alike. Throws std::bad_alloc.
std::string NarrowForMessage(UINT codePage, std::wstring_view text);

// A space or a tab: what surrounds a field without being part of it.
bool IsBlank(char c);

// Leading and trailing spaces and tabs removed.
std::string Trim(const std::string& text);

// The key under which names are compared without regard to case.
std::string FoldCase(std::string text);

// A GUID in braces, strictly {8-4-4-4-12} hexadecimal digits; canonical is
// the same text in upper case.
bool ParseGuid(const std::string& text, std::string& canonical);
bool IsGuid(std::string_view text) noexcept;

// A role identifier as its 16 bytes, for tables of many roles: no text of
// its own to allocate, compare or fetch from memory. Of any text, the value
// of its first 32 hexadecimal digits; callers compare the text on a hit.
struct GuidValue {
    unsigned long long high, low;
    bool operator==(const GuidValue& other) const noexcept
    {
        return high == other.high && low == other.low;
    }
};
// Every bit of the value stirred into the low ones, which pick a table's slot.
uint32_t HashOf(const GuidValue& value) noexcept;
struct GuidValueHash {
    size_t operator()(const GuidValue& value) const noexcept { return HashOf(value); }
};
GuidValue GuidValueOf(std::string_view text) noexcept;

}  // namespace standin
