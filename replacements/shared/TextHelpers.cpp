#include "TextHelpers.h"

#include <new>

namespace standin {

namespace {

bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::string Narrow(UINT codePage, const wchar_t* text, size_t length)
{
    if (length == 0) return std::string();
    int size = WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), nullptr, 0, nullptr,
                                   nullptr);
    if (size <= 0) throw std::bad_alloc();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), &result[0], size, nullptr,
                        nullptr);
    return result;
}

std::string Narrow(UINT codePage, const std::wstring& text)
{
    return Narrow(codePage, text.data(), text.size());
}

std::wstring Widen(UINT codePage, const std::string& text)
{
    if (text.empty()) return std::wstring();
    int size =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) throw std::bad_alloc();
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

std::string Utf8ToAcp(const std::string& text)
{
    return Narrow(CP_ACP, Widen(CP_UTF8, text));
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
