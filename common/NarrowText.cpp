#include "NarrowText.h"

#include "ComPtr.h"

#include <cstring>
#include <new>

char* NarrowText::Reserve(size_t length)
{
    if (length < kInlineBytes) {
        m_state = State::Inline;
        m_length = length;
        return m_inline;
    }
    m_long.assign(length, '\0');
    m_state = State::Long;
    m_length = length;
    return &m_long[0];
}

// The text may end before the room that was reserved for it.
void NarrowText::SetLength(size_t length) noexcept
{
    m_length = length;
    if (m_state == State::Inline) m_inline[length] = '\0';
    else m_long.resize(length);
}

namespace {

// Every ANSI code page keeps ASCII as it is: plain ASCII text, the usual
// account and DN, is narrowed without the code page's tables. Returns the
// length, or -1 for any other text.
ptrdiff_t AsciiLength(const wchar_t* text) noexcept
{
    ptrdiff_t length = 0;
    for (; text[length]; ++length)
        if (text[length] >= 0x80) return -1;
    return length;
}

void CopyAscii(const wchar_t* text, size_t length, char* to) noexcept
{
    for (size_t i = 0; i < length; ++i) to[i] = static_cast<char>(text[i]);
    to[length] = '\0';
}

}  // namespace

NarrowText WideToAcp(const wchar_t* text)
{
    NarrowText result;
    if (!text) return result;
    ptrdiff_t ascii = AsciiLength(text);
    if (ascii >= 0) {
        CopyAscii(text, static_cast<size_t>(ascii), result.Reserve(static_cast<size_t>(ascii)));
        return result;
    }
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) throw ConversionError{GetLastError()};
    char* narrow = result.Reserve(static_cast<size_t>(size) - 1);
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, size, nullptr, nullptr) <= 0)
        throw ConversionError{GetLastError()};
    return result;
}

NarrowText WideToAcp(std::initializer_list<const wchar_t*> parts)
{
    size_t length = 0;
    bool ascii = true;
    for (const wchar_t* part : parts) {
        ptrdiff_t partLength = part ? AsciiLength(part) : 0;
        if (partLength < 0) ascii = false;
        else length += static_cast<size_t>(partLength);
    }
    if (!ascii) {
        // The code page's own conversion, of the joined text.
        std::wstring joined;
        for (const wchar_t* part : parts)
            if (part) joined += part;
        return WideToAcp(joined.c_str());
    }
    NarrowText result;
    char* narrow = result.Reserve(length);
    for (const wchar_t* part : parts) {
        if (!part) continue;
        size_t partLength = wcslen(part);
        CopyAscii(part, partLength, narrow);
        narrow += partLength;
    }
    return result;
}

NarrowText WideToCodePageBounded(UINT codePage, const wchar_t* text) noexcept
{
    NarrowText result;
    if (!text) return result;
    return Barrier(NarrowText::Failed(), [&] {
        ptrdiff_t ascii = (codePage == CP_ACP || codePage == CP_THREAD_ACP) ? AsciiLength(text) : -1;
        if (ascii >= 0) {
            CopyAscii(text, static_cast<size_t>(ascii), result.Reserve(static_cast<size_t>(ascii)));
            return result;
        }
        size_t room = wcslen(text) * 2 + 2;
        char* narrow = result.Reserve(room - 1);
        int written = WideCharToMultiByte(codePage, 0, text, -1, narrow, static_cast<int>(room), nullptr, nullptr);
        if (written <= 0) return NarrowText::Failed();
        // Up to the first NUL, which a converted character may hold.
        result.SetLength(strlen(narrow));
        return result;
    });
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
