#include "Text.h"

#include <cstdio>
#include <cstring>

namespace kivauth {

std::string ToAcp(const wchar_t* text)
{
    if (!text) return std::string();
    return standin::Narrow(CP_ACP, text, wcslen(text));
}

std::wstring ToWide(const std::string& text)
{
    return standin::Widen(CP_ACP, text);
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
