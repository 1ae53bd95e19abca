#include "Text.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace kivauth {

namespace {

std::string FromWide(UINT codePage, const wchar_t* text, int length)
{
    if (length == 0) return std::string();
    int size = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) throw std::bad_alloc();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, text, length, &result[0], size, nullptr, nullptr);
    return result;
}

std::wstring FromNarrow(UINT codePage, const std::string& text)
{
    if (text.empty()) return std::wstring();
    int size = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) throw std::bad_alloc();
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::string ToAcp(const wchar_t* text)
{
    if (!text) return std::string();
    return FromWide(CP_ACP, text, static_cast<int>(wcslen(text)));
}

std::string Utf8ToAcp(const std::string& text)
{
    std::wstring wide = FromNarrow(CP_UTF8, text);
    return FromWide(CP_ACP, wide.data(), static_cast<int>(wide.size()));
}

std::wstring ToWide(const std::string& text)
{
    return FromNarrow(CP_ACP, text);
}

BSTR ToBstr(const std::string& text) noexcept
{
    try {
        std::wstring wide = ToWide(text);
        return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    } catch (...) {
        return nullptr;
    }
}

std::string FoldCase(std::string text)
{
    // Plain ASCII is folded here; the code page's own rules are asked only
    // for texts with other characters (every check folds two texts).
    bool ascii = true;
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        else if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    }
    if (!ascii) CharLowerBuffA(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool ParseGuid(const std::string& text, std::string& canonical)
{
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? text[i] != '-' : !IsHex(text[i])) return false;
    }
    canonical = text;
    for (char& c : canonical)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    return true;
}

void CopyToField(const std::string& text, char* field, size_t size) noexcept
{
    size_t length = 0;
    while (length < text.size()) {
        size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[length])) ? 2 : 1;
        if (length + step > size - 1 || length + step > text.size()) break;
        length += step;
    }
    memcpy(field, text.data(), length);
    field[length] = '\0';
}

std::string LocalTimeText()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond);
    return text;
}

}  // namespace kivauth
