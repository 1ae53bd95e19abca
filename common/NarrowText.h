// Conversions between automation (wide) text and the narrow texts that the
// closed authorization library takes and gives.
#pragma once

#include "Results.h"

#include <windows.h>
#include <oleauto.h>
#include <cstddef>
#include <initializer_list>
#include <string>

// A narrow text that may be null. A conversion that failed is neither null
// nor text: callers must never hand it on as if no text had been given.
// Short texts (the usual account, DN or role name) are kept inside the
// object: a heap allocation costs more than the whole conversion.
class NarrowText {
public:
    NarrowText() noexcept {}  // null
    explicit NarrowText(std::string text)
        : m_long(std::move(text)), m_length(m_long.size()), m_state(State::Long)
    {
    }
    // A move copies the bytes in use, not the whole inline room.
    NarrowText(NarrowText&& other) noexcept { TakeFrom(other); }
    NarrowText& operator=(NarrowText&& other) noexcept
    {
        if (this != &other) TakeFrom(other);
        return *this;
    }
    NarrowText(const NarrowText&) = delete;
    NarrowText& operator=(const NarrowText&) = delete;
    static NarrowText Failed() noexcept
    {
        NarrowText result;
        result.m_state = State::Failed;
        return result;
    }

    // Null for a null text and for a failed conversion.
    const char* get() const noexcept
    {
        return m_state == State::Inline ? m_inline
               : m_state == State::Long ? m_long.c_str()
                                        : nullptr;
    }
    // Either failure: the conversion failed, or the text holds a character
    // that the code page lacks.
    bool failed() const noexcept
    {
        return m_state == State::Failed || m_state == State::Unmappable;
    }
    // The text holds a character that the code page lacks: it names nothing
    // that a narrow text could name.
    bool unmappable() const noexcept { return m_state == State::Unmappable; }
    // The text; empty for null and failed ones.
    std::string str() const { return get() ? std::string(get(), m_length) : std::string(); }

private:
    friend NarrowText WideToAcp(const wchar_t* text);
    friend NarrowText WideToAcp(std::initializer_list<const wchar_t*> parts);
    friend NarrowText WideToCodePageBounded(UINT codePage, const wchar_t* text) noexcept;
    static constexpr size_t kInlineBytes = 128;
    enum class State { Null, Inline, Long, Failed, Unmappable };

    // Room for length bytes and a terminator, inside when it fits.
    char* Reserve(size_t length);
    void SetLength(size_t length) noexcept;
    // Plain ASCII parts, joined, kept inside when they fit: true when done.
    // ASCII is the same in every ANSI code page, so no table is needed.
    // Each part is read as AsciiLength reads it, in one pass.
    bool KeepAsciiInline(std::initializer_list<const wchar_t*> parts) noexcept;
    // The length of a text up to its NUL when every character is ASCII,
    // else -1. Reads no byte beyond the aligned 16-byte block that holds
    // the terminator.
    static ptrdiff_t AsciiLength(const wchar_t* text) noexcept;
    static void CopyAscii(const wchar_t* text, size_t length, char* to) noexcept;
    void TakeFrom(NarrowText& other) noexcept;

    // Written only up to the terminator and at most a block's 7 bytes past
    // it: zeroing the whole room would cost as much as the conversion.
    char m_inline[kInlineBytes];
    std::string m_long;
    size_t m_length = 0;
    State m_state = State::Null;
};

// Appends text, when it is plain ASCII, at to, in one pass: the end of the
// text written (no terminator), or null when it is not plain ASCII or would
// not fit in the room bytes from to. Reads no byte beyond the aligned 16-byte block that
// holds the terminator, and may write up to 7 bytes past the end it returns.
// For a check's texts in a room on the stack; anything else is WideToAcp's.
char* AppendAscii(const wchar_t* text, char* to, size_t room) noexcept;

// System ANSI code page, exactly, up to the first NUL. Null stays null.
// A character that the code page lacks is replaced neither by a look-alike
// that it has ("best fit") nor by its default character, since either
// makes the text another account's or role's name ("\x0101lice" would be
// "alice"; two Cyrillic names of four letters would both be "????"): the
// text is refused with UnmappableText. Throws ConversionError when the
// conversion itself fails.
NarrowText WideToAcp(const wchar_t* text);

// WideToAcp of the parts joined, each up to its first NUL, without the
// joined wide text in between. Throws as WideToAcp.
NarrowText WideToAcp(std::initializer_list<const wchar_t*> parts);

// The calling thread's ANSI code page, exactly as WideToAcp, into at most
// two bytes per wide character plus two; never throws: a conversion that
// does not fit or fails gives a failed text, and a text with a character
// that the code page lacks an unmappable one.
NarrowText WideToThreadAcp(const wchar_t* text) noexcept;

// Same rule as WideToThreadAcp with a code page of the caller's choice.
NarrowText WideToCodePageBounded(UINT codePage, const wchar_t* text) noexcept;

// Widens a narrow text of the system ANSI code page into a new BSTR; null
// stays null. Throws when memory or the conversion fails.
BSTR AcpToBstr(const char* text);

// The same for exactly length bytes, which need no terminator (a record's
// fixed-size field). Never null.
BSTR AcpToBstr(const char* text, size_t length);
