// A BSTR held in a reference-counted holder that several owners share. The
// holder keeps, made on first demand, a narrow copy in the system ANSI code
// page. Texts of the module's records (error contexts, event sources, role
// identifiers) are kept this way.
#pragma once

#include <windows.h>
#include <oleauto.h>

class BstrText {
public:
    BstrText() noexcept = default;  // null text
    // A copy of a wide text; null stays null. Throws std::bad_alloc.
    BstrText(const wchar_t* text);
    // Takes over an owned BSTR (null allowed).
    static BstrText Attach(BSTR text);
    // Widens a narrow text of the system ANSI code page. Throws.
    static BstrText FromAcp(const char* text);
    // The same for exactly length bytes, which need no terminator.
    static BstrText FromAcp(const char* text, size_t length);

    BstrText(const BstrText& other) noexcept;
    BstrText& operator=(const BstrText& other) noexcept;
    // A move leaves the source null and touches no holder: filling a list of
    // 100,000 texts reads each holder once, not three times.
    BstrText(BstrText&& other) noexcept : m_holder(other.m_holder) { other.m_holder = nullptr; }
    BstrText& operator=(BstrText&& other) noexcept;
    ~BstrText();

    const wchar_t* wide() const noexcept;  // null for a null text
    const char* narrow() const;            // null for a null text; throws
    UINT length() const noexcept;          // BSTR length in characters
    bool empty() const noexcept;           // null, or first character NUL
    BSTR copy() const;                     // a new BSTR for a client; throws

private:
    struct Holder;
    explicit BstrText(Holder* holder) noexcept : m_holder(holder) {}
    void release() noexcept;
    Holder* m_holder = nullptr;
};

// True for a text that is null or starts with NUL, whatever its BSTR length.
inline bool IsEmptyText(const wchar_t* text) noexcept
{
    return !text || !*text;
}
