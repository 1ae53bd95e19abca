#include "NarrowText.h"

#include "Results.h"

#include <emmintrin.h>
#include <cstdint>
#include <cstring>
#include <new>

// SSE2 is on every x64 processor and on every x86 processor that current
// Windows runs on; a 32-bit build that does not assume it asks for it here.
#if defined(__SSE2__)
#define SSE2_FUNCTION
#else
#define SSE2_FUNCTION __attribute__((target("sse2")))
#endif

namespace {

ptrdiff_t AsciiLengthScalar(const wchar_t* text) noexcept
{
    ptrdiff_t length = 0;
    for (; text[length]; ++length)
        if (text[length] >= 0x80) return -1;
    return length;
}

// Whole aligned 16-byte blocks, up to the one that holds the terminator: an
// aligned block never crosses a page, so the text's own pages are all that
// is read, and no length prefix is needed (a plain wide text passed as a
// BSTR has none).
SSE2_FUNCTION ptrdiff_t AsciiLengthBlocks(const wchar_t* text) noexcept
{
    const uintptr_t address = reinterpret_cast<uintptr_t>(text);
    const char* block = reinterpret_cast<const char*>(text) - (address & 15);
    const __m128i zero = _mm_setzero_si128();
    const __m128i notAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
    // The bytes of the first block before the text are not its own.
    unsigned own = 0xFFFFu << (address & 15);
    for (;; block += 16, own = 0xFFFFu) {
        __m128i chars = _mm_load_si128(reinterpret_cast<const __m128i*>(block));
        unsigned ends =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(chars, zero))) & own;
        unsigned ascii = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(chars, notAscii), zero)));
        unsigned other = ~ascii & own;
        if (ends) {
            unsigned end = static_cast<unsigned>(__builtin_ctz(ends));
            if (other & ((1u << end) - 1)) return -1;
            return (block + end - reinterpret_cast<const char*>(text)) / 2;
        }
        if (other & 0xFFFFu) return -1;
    }
}

SSE2_FUNCTION void CopyAsciiBlocks(const wchar_t* text, size_t length, char* to) noexcept
{
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + i), _mm_packus_epi16(chars, chars));
    }
    for (; i < length; ++i) to[i] = static_cast<char>(text[i]);
}

// Appends text, when it is plain ASCII, at to: the blocks that
// AsciiLengthBlocks reads, each narrowed and stored whole (8 bytes), so that
// scanning and copying are one pass. The end of what it wrote, or null when
// the text is not plain ASCII or a store would reach past limit.
SSE2_FUNCTION char* AppendAsciiBlocks(const wchar_t* text, char* to, const char* limit) noexcept
{
    const unsigned skip = static_cast<unsigned>(reinterpret_cast<uintptr_t>(text) & 15);
    const char* block = reinterpret_cast<const char*>(text) - skip;
    const __m128i zero = _mm_setzero_si128();
    const __m128i notAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
    // The first byte of the block that is the text's own.
    for (unsigned start = skip;; block += 16, start = 0) {
        if (limit - to < 8) return nullptr;
        __m128i chars = _mm_load_si128(reinterpret_cast<const __m128i*>(block));
        const unsigned own = 0xFFFFu << start;
        unsigned ends =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(chars, zero))) & own;
        unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(
                             _mm_cmpeq_epi16(_mm_and_si128(chars, notAscii), zero))) &
                         own;
        unsigned end = ends ? static_cast<unsigned>(__builtin_ctz(ends)) : 16;
        if (other & ((1u << end) - 1)) return nullptr;
        // The characters before the text leave the narrowed block, 8 bits each.
        __m128i narrowed = _mm_srl_epi64(_mm_packus_epi16(chars, chars),
                                         _mm_cvtsi32_si128(static_cast<int>(start * 4)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to), narrowed);
        to += (end - start) / 2;
        if (ends) return to;
    }
}

char* AppendAsciiScalar(const wchar_t* text, char* to, const char* limit) noexcept
{
    for (; *text; ++text) {
        if (*text >= 0x80 || to == limit) return nullptr;
        *to++ = static_cast<char>(*text);
    }
    return to;
}

}  // namespace

// Every ANSI code page keeps ASCII as it is: plain ASCII text, the usual
// account and DN, is narrowed without the code page's tables. A text that is
// not aligned to its characters takes the scalar path.
ptrdiff_t NarrowText::AsciiLength(const wchar_t* text) noexcept
{
    if (reinterpret_cast<uintptr_t>(text) % sizeof(wchar_t) == 0) return AsciiLengthBlocks(text);
    return AsciiLengthScalar(text);
}

// Length characters, known to be ASCII, and a terminator.
void NarrowText::CopyAscii(const wchar_t* text, size_t length, char* to) noexcept
{
    CopyAsciiBlocks(text, length, to);
    to[length] = '\0';
}

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

// A text that is not aligned to its characters takes the scalar path.
char* AppendAscii(const wchar_t* text, char* to, size_t room) noexcept
{
    const char* limit = to + room;
    return reinterpret_cast<uintptr_t>(text) % sizeof(wchar_t) == 0
               ? AppendAsciiBlocks(text, to, limit)
               : AppendAsciiScalar(text, to, limit);
}

bool NarrowText::KeepAsciiInline(std::initializer_list<const wchar_t*> parts) noexcept
{
    char* to = m_inline;
    const char* limit = m_inline + kInlineBytes - 1;  // the terminator's room after it
    for (const wchar_t* part : parts) {
        if (!part) continue;
        to = AppendAscii(part, to, static_cast<size_t>(limit - to));
        if (!to) return false;
    }
    *to = '\0';
    m_length = static_cast<size_t>(to - m_inline);
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
    ptrdiff_t ascii = NarrowText::AsciiLength(text);
    if (ascii >= 0) {
        NarrowText::CopyAscii(text, static_cast<size_t>(ascii),
                              result.Reserve(static_cast<size_t>(ascii)));
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
        ptrdiff_t partLength = part ? NarrowText::AsciiLength(part) : 0;
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
        NarrowText::CopyAscii(part, partLength, narrow);
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
        ptrdiff_t ascii = ansi ? NarrowText::AsciiLength(text) : -1;
        if (ascii >= 0) {
            NarrowText::CopyAscii(text, static_cast<size_t>(ascii),
                                  result.Reserve(static_cast<size_t>(ascii)));
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
