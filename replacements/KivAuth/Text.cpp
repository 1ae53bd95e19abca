#include "Text.h"

#include <cstdio>
#include <cstring>

namespace kivauth {

bool ToAcp(const wchar_t* text, std::string& acp)
{
    if (!text) {
        acp.clear();
        return true;
    }
    return standin::NarrowExact(CP_ACP, text, acp);
}

std::string ToAcpForMessage(const wchar_t* text)
{
    return text ? standin::NarrowForMessage(CP_ACP, text) : std::string();
}

BSTR ToBstr(std::string_view text) noexcept
{
    if (text.empty()) return SysAllocStringLen(L"", 0);
    int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return nullptr;
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (result)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result, length);
    return result;
}

void CopyToField(std::string_view text, char* field, size_t size) noexcept
{
    size_t length = 0;
    while (length < text.size()) {
        size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[length])) ? 2 : 1;
        if (length + step > size - 1 || length + step > text.size()) break;
        length += step;
    }
    // An empty view may have no data at all, which memcpy must not be given.
    if (length) memcpy(field, text.data(), length);
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
