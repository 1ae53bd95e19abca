#include "TextHelpers.h"

#include <new>

namespace standin {

namespace {

bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsAscii(std::string_view text) noexcept
{
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

bool IsAscii(std::wstring_view text) noexcept
{
    for (wchar_t c : text)
        if (c >= 0x80) return false;
    return true;
}

// Every ANSI code page, and UTF-8, keeps ASCII as it is.
bool KeepsAscii(UINT codePage) noexcept
{
    return codePage != CP_UTF7;
}

// UTF-8 and UTF-7 lack no character: they take neither the flag against
// look-alikes nor a default character.
bool IsUnicodeCodePage(UINT codePage) noexcept
{
    if (codePage == CP_ACP) codePage = GetACP();
    return codePage == CP_UTF8 || codePage == CP_UTF7;
}

// One conversion each way, refusing what it cannot convert exactly.
bool NarrowOnce(UINT codePage, std::wstring_view text, std::string& narrow)
{
    narrow.clear();
    if (text.empty()) return true;
    if (text.size() > 0x7FFFFFFF) return false;
    const int length = static_cast<int>(text.size());
    const bool unicode = IsUnicodeCodePage(codePage);
    const DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS
                        : unicode           ? 0
                                            : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* defaultUsed = unicode ? nullptr : &usedDefault;
    int size =
        WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0, nullptr, defaultUsed);
    if (size <= 0 || usedDefault) return false;
    narrow.resize(static_cast<size_t>(size));
    if (WideCharToMultiByte(codePage, flags, text.data(), length, &narrow[0], size, nullptr,
                            defaultUsed) != size ||
        usedDefault) {
        narrow.clear();
        return false;
    }
    return true;
}

bool WidenOnce(UINT codePage, std::string_view text, std::wstring& wide)
{
    wide.clear();
    if (text.empty()) return true;
    if (text.size() > 0x7FFFFFFF) return false;
    const int length = static_cast<int>(text.size());
    const DWORD flags = codePage == CP_UTF7 ? 0 : MB_ERR_INVALID_CHARS;
    int size = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
    if (size <= 0) return false;
    wide.resize(static_cast<size_t>(size));
    if (MultiByteToWideChar(codePage, flags, text.data(), length, &wide[0], size) != size) {
        wide.clear();
        return false;
    }
    return true;
}

}  // namespace

bool NarrowExact(UINT codePage, std::wstring_view text, std::string& narrow)
{
    if (KeepsAscii(codePage) && IsAscii(text)) {
        narrow.assign(text.begin(), text.end());
        return true;
    }
    std::wstring back;
    if (NarrowOnce(codePage, text, narrow) && WidenOnce(codePage, narrow, back) && back == text)
        return true;
    narrow.clear();
    return false;
}

bool WidenExact(UINT codePage, std::string_view text, std::wstring& wide)
{
    if (KeepsAscii(codePage) && IsAscii(text)) {
        wide.assign(text.begin(), text.end());
        return true;
    }
    std::string back;
    if (WidenOnce(codePage, text, wide) && NarrowOnce(codePage, wide, back) && back == text)
        return true;
    wide.clear();
    return false;
}

bool Utf8ToAcp(std::string_view text, std::string& acp)
{
    // A policy of 100,000 roles is mostly ASCII: no copy through UTF-16.
    if (IsAscii(text)) {
        acp.assign(text);
        return true;
    }
    std::wstring wide;
    if (WidenExact(CP_UTF8, text, wide) && NarrowExact(CP_ACP, wide, acp)) return true;
    acp.clear();
    return false;
}

std::string NarrowForMessage(UINT codePage, std::wstring_view text)
{
    if (text.empty() || text.size() > 0x7FFFFFFF) return std::string();
    const int length = static_cast<int>(text.size());
    DWORD flags = IsUnicodeCodePage(codePage) ? 0 : WC_NO_BEST_FIT_CHARS;
    int size =
        WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, flags, text.data(), length, &narrow[0], size, nullptr, nullptr);
    return narrow;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& text)
{
    size_t first = 0, last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

std::string FoldCase(std::string text)
{
    // Plain ASCII is folded here; the code page's own rules are asked only
    // for texts with other characters (every check folds two texts).
    bool ascii = true;
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (static_cast<unsigned char>(c) >= 0x80)
            ascii = false;
    }
    if (!ascii) CharLowerBuffA(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

bool IsGuid(std::string_view text) noexcept
{
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? text[i] != '-' : !IsHex(text[i])) return false;
    }
    return true;
}

bool ParseGuid(const std::string& text, std::string& canonical)
{
    if (!IsGuid(text)) return false;
    canonical = text;
    for (char& c : canonical)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    return true;
}

uint32_t HashOf(const GuidValue& value) noexcept
{
    // The finaliser of MurmurHash3: sequential identifiers spread evenly.
    uint64_t x = value.high * 0x9E3779B97F4A7C15ull ^ value.low;
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return static_cast<uint32_t>(x);
}

GuidValue GuidValueOf(std::string_view text) noexcept
{
    GuidValue value{0, 0};
    int digits = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            continue;
        if (digits == 32) break;
        unsigned long long& half = digits < 16 ? value.high : value.low;
        half = half << 4 | static_cast<unsigned long long>(digit);
        ++digits;
    }
    return value;
}

}  // namespace standin
