#include "NarrowText.h"

#include "Results.h"

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
    if (m_state == State::Inline)
        m_inline[length] = '\0';
    else
        m_long.resize(length);
}

bool NarrowText::KeepAsciiInline(std::initializer_list<const wchar_t*> parts) noexcept
{
    size_t length = 0;
    for (const wchar_t* part : parts) {
        if (!part) continue;
        for (; *part; ++part) {
            if (*part >= 0x80 || length + 1 >= kInlineBytes) return false;
            m_inline[length++] = static_cast<char>(*part);
        }
    }
    m_inline[length] = '\0';
    m_length = length;
    m_state = State::Inline;
    return true;
}

void NarrowText::TakeFrom(NarrowText& other) noexcept
{
    m_state = other.m_state;
    m_length = other.m_length;
    if (m_state == State::Inline)
        memcpy(m_inline, other.m_inline, m_length + 1);
    else if (m_state == State::Long)
        m_long = std::move(other.m_long);
    other.m_state = State::Null;
    other.m_length = 0;
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

// Exactly or not at all. No best fit: "\x0101lice" is another account than
// "alice", and must not reach the library as "alice"; nor the default
// character, which makes every name of unmappable letters the same "????".
// UTF-8 and UTF-7 lack no character and take neither the flag nor a default
// character; UTF-8 refuses an unpaired surrogate instead. Returns what
// WideCharToMultiByte returns; unmappable tells a text that the code page
// cannot hold.
int NarrowExactly(UINT codePage, const wchar_t* text, char* to, int room, bool& unmappable) noexcept
{
    BOOL usedDefault = FALSE;
    int written = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, -1, to, room, nullptr,
                                      &usedDefault);
    DWORD error = written > 0 ? 0 : GetLastError();
    if (error == ERROR_INVALID_FLAGS || error == ERROR_INVALID_PARAMETER) {
        usedDefault = FALSE;
        DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0;
        written = WideCharToMultiByte(codePage, flags, text, -1, to, room, nullptr, nullptr);
        error = written > 0 ? 0 : GetLastError();
    }
    unmappable = usedDefault || error == ERROR_NO_UNICODE_TRANSLATION;
    return written;
}

}  // namespace

// Each conversion returns its one named result, which the compiler then
// builds in the caller's place: a check moves no text.
NarrowText WideToAcp(const wchar_t* text)
{
    NarrowText result;
    if (!text || result.KeepAsciiInline({text})) return result;
    ptrdiff_t ascii = AsciiLength(text);
    if (ascii >= 0) {
        CopyAscii(text, static_cast<size_t>(ascii), result.Reserve(static_cast<size_t>(ascii)));
        return result;
    }
    bool unmappable = false;
    int size = NarrowExactly(CP_ACP, text, nullptr, 0, unmappable);
    if (unmappable) throw UnmappableText();
    if (size <= 0) throw ConversionError{GetLastError()};
    char* narrow = result.Reserve(static_cast<size_t>(size) - 1);
    if (NarrowExactly(CP_ACP, text, narrow, size, unmappable) <= 0 || unmappable)
        throw ConversionError{GetLastError()};
    return result;
}

NarrowText WideToAcp(std::initializer_list<const wchar_t*> parts)
{
    NarrowText result;
    if (result.KeepAsciiInline(parts)) return result;
    size_t length = 0;
    bool ascii = true;
    for (const wchar_t* part : parts) {
        ptrdiff_t partLength = part ? AsciiLength(part) : 0;
        if (partLength < 0)
            ascii = false;
        else
            length += static_cast<size_t>(partLength);
    }
    if (!ascii) {
        // The code page's own conversion, of the joined text.
        std::wstring joined;
        for (const wchar_t* part : parts)
            if (part) joined += part;
        result = WideToAcp(joined.c_str());
        return result;
    }
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
    bool ansi = codePage == CP_ACP || codePage == CP_THREAD_ACP;
    if (ansi && result.KeepAsciiInline({text})) return result;
    bool converted = Barrier(false, [&] {
        ptrdiff_t ascii = ansi ? AsciiLength(text) : -1;
        if (ascii >= 0) {
            CopyAscii(text, static_cast<size_t>(ascii), result.Reserve(static_cast<size_t>(ascii)));
            return true;
        }
        size_t room = wcslen(text) * 2 + 2;
        char* narrow = result.Reserve(room - 1);
        bool unmappable = false;
        int written = NarrowExactly(codePage, text, narrow, static_cast<int>(room), unmappable);
        if (unmappable) {
            result.m_state = NarrowText::State::Unmappable;
            return true;
        }
        if (written <= 0) return false;
        // Up to the first NUL, which a converted character may hold.
        result.SetLength(strlen(narrow));
        return true;
    });
    if (!converted) result.m_state = NarrowText::State::Failed;
    return result;
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

BSTR AcpToBstr(const char* text, size_t length)
{
    if (length > 0x7FFFFFFF) throw ConversionError{ERROR_INVALID_PARAMETER};
    const UINT count = static_cast<UINT>(length);
    // Plain ASCII, the usual record text, widens without the code page's tables.
    size_t ascii = 0;
    while (ascii < length && static_cast<unsigned char>(text[ascii]) < 0x80) ++ascii;
    if (ascii == length) {
        BSTR wide = SysAllocStringLen(nullptr, count);
        if (!wide) throw std::bad_alloc();
        for (size_t i = 0; i < length; ++i) wide[i] = static_cast<wchar_t>(text[i]);
        return wide;
    }
    int size = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(count), nullptr, 0);
    if (size <= 0) throw ConversionError{GetLastError()};
    BSTR wide = SysAllocStringLen(nullptr, static_cast<UINT>(size));
    if (!wide) throw std::bad_alloc();
    if (MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(count), wide, size) <= 0) {
        DWORD error = GetLastError();
        SysFreeString(wide);
        throw ConversionError{error};
    }
    return wide;
}
