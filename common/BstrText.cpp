#include "BstrText.h"

#include "NarrowText.h"

#include <new>
#include <string>

struct BstrText::Holder {
    LONG refs = 1;
    BSTR wide = nullptr;
    char* narrow = nullptr;  // made on first demand

    ~Holder()
    {
        SysFreeString(wide);
        delete[] narrow;
    }
};

BstrText::BstrText(const wchar_t* text)
{
    if (!text) return;
    BSTR copy = SysAllocString(text);
    if (!copy) throw std::bad_alloc();
    *this = Attach(copy);
}

BstrText BstrText::Attach(BSTR text)
{
    if (!text) return BstrText();
    Holder* holder = new (std::nothrow) Holder;
    if (!holder) {
        SysFreeString(text);
        throw std::bad_alloc();
    }
    holder->wide = text;
    return BstrText(holder);
}

BstrText BstrText::FromAcp(const char* text)
{
    return Attach(AcpToBstr(text));
}

BstrText BstrText::FromAcp(const char* text, size_t length)
{
    return Attach(AcpToBstr(text, length));
}

BstrText::BstrText(const BstrText& other) noexcept : m_holder(other.m_holder)
{
    if (m_holder) InterlockedIncrement(&m_holder->refs);
}

BstrText& BstrText::operator=(const BstrText& other) noexcept
{
    if (this == &other) return *this;
    if (other.m_holder) InterlockedIncrement(&other.m_holder->refs);
    release();
    m_holder = other.m_holder;
    return *this;
}

BstrText& BstrText::operator=(BstrText&& other) noexcept
{
    if (this == &other) return *this;
    release();
    m_holder = other.m_holder;
    other.m_holder = nullptr;
    return *this;
}

BstrText::~BstrText()
{
    release();
}

void BstrText::release() noexcept
{
    if (m_holder && InterlockedDecrement(&m_holder->refs) == 0) delete m_holder;
    m_holder = nullptr;
}

const wchar_t* BstrText::wide() const noexcept
{
    return m_holder ? m_holder->wide : nullptr;
}

const char* BstrText::narrow() const
{
    if (!m_holder) return nullptr;
    if (!m_holder->narrow) {
        NarrowText narrow = WideToAcp(m_holder->wide);
        // Kept by the holder once published below, and freed with it; the
        // analyzer does not follow the compare-exchange.
        // NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
        char* copy = new char[narrow.str().size() + 1];
        memcpy(copy, narrow.str().c_str(), narrow.str().size() + 1);
        // Owners on other threads may ask at the same time: the first copy wins.
        if (InterlockedCompareExchangePointer(reinterpret_cast<void**>(&m_holder->narrow), copy,
                                              nullptr) != nullptr)
            delete[] copy;
    }
    return m_holder->narrow;
    // NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
}

UINT BstrText::length() const noexcept
{
    return m_holder ? SysStringLen(m_holder->wide) : 0;
}

bool BstrText::empty() const noexcept
{
    return !m_holder || !m_holder->wide || !m_holder->wide[0];
}

BSTR BstrText::copy() const
{
    if (!m_holder) return nullptr;
    BSTR copy = SysAllocStringLen(m_holder->wide, SysStringLen(m_holder->wide));
    if (!copy) throw std::bad_alloc();
    return copy;
}
