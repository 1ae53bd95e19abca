#include "NarrowText.h"

#include <new>
#include <vector>

NarrowText WideToAcp(const wchar_t* text)
{
    if (!text) return NarrowText();
    if (!*text) return NarrowText(std::string());
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) throw ConversionError{GetLastError()};
    std::string narrow(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], size, nullptr, nullptr) <= 0)
        throw ConversionError{GetLastError()};
    narrow.resize(static_cast<size_t>(size) - 1);
    return NarrowText(std::move(narrow));
}

NarrowText WideToCodePageBounded(UINT codePage, const wchar_t* text) noexcept
{
    if (!text) return NarrowText();
    try {
        size_t length = wcslen(text);
        std::vector<char> scratch(length * 2 + 2);
        int written = WideCharToMultiByte(codePage, 0, text, -1, scratch.data(),
                                          static_cast<int>(scratch.size()), nullptr, nullptr);
        if (written <= 0) return NarrowText::Failed();
        return NarrowText(std::string(scratch.data()));
    } catch (...) {
        return NarrowText::Failed();
    }
}

NarrowText WideToThreadAcp(const wchar_t* text) noexcept
{
    return WideToCodePageBounded(CP_THREAD_ACP, text);
}

BSTR AcpToBstr(const char* text)
{
    if (!text) return nullptr;
    int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size <= 0) throw ConversionError{GetLastError()};
    BSTR wide = SysAllocStringLen(nullptr, static_cast<UINT>(size - 1));
    if (!wide) throw std::bad_alloc();
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, size) <= 0) {
        DWORD error = GetLastError();
        SysFreeString(wide);
        throw ConversionError{error};
    }
    return wide;
}
