// Failures as results: the early return on a failed HRESULT, the exception
// barrier of every method that a caller outside reaches, and the exceptions
// that it turns into results.
#pragma once

#include <windows.h>
#include <new>
#include <type_traits>

#define RETURN_IF_FAILED(expr)       \
    do {                             \
        HRESULT hr_ = (expr);        \
        if (FAILED(hr_)) return hr_; \
    } while (0)

// Thrown by the raising text conversions (NarrowText.h).
struct ConversionError {
    DWORD error;
};

// Thrown by them for a text with a character that the code page lacks.
struct UnmappableText : ConversionError {
    UnmappableText() noexcept : ConversionError{ERROR_NO_UNICODE_TRANSLATION} {}
};

// The HRESULT for the exception being handled: E_OUTOFMEMORY for lack of
// memory, 0x80070459 (ERROR_NO_UNICODE_TRANSLATION) for a text with a
// character that the code page lacks, E_UNEXPECTED for anything else (a
// conversion that failed, for one). Call only inside a catch block.
inline HRESULT CaughtExceptionCode() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const UnmappableText&) {
        return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The exception barrier of every interface method, and of anything else a
// caller outside reaches: nothing may cross it. body() gives the result; an
// exception gives onFailure instead, or onFailure(code) when onFailure is
// callable, code being what CaughtExceptionCode says.
template <class OnFailure, class Body>
auto Barrier(OnFailure&& onFailure, Body&& body) noexcept -> decltype(body())
{
    try {
        return body();
    } catch (...) {
        if constexpr (std::is_invocable_v<OnFailure&, HRESULT>)
            return onFailure(CaughtExceptionCode());
        else
            return onFailure;
    }
}

// For Barrier: the exception's own code.
inline HRESULT ExceptionCode(HRESULT code) noexcept
{
    return code;
}
