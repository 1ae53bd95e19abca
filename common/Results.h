// Failures as results: the early return on a failed HRESULT, the exception
// barrier of every method that a caller outside reaches, and the exceptions
// that it turns into results.
#pragma once

#include <windows.h>
#include <cstdio>
#include <exception>
#include <new>
#include <type_traits>

// Writes where a failure arose to the debugger output, as
// "roles/KQSecRole.cpp(270): expression: 0x80070057", and returns code.
// file is the path as the build gives it, relative to the source tree.
inline HRESULT TraceFailure(HRESULT code, const char* file, int line,
                            const char* expression) noexcept
{
    char text[512];
    std::snprintf(text, sizeof text, "%s(%d): %s: 0x%08lX\n", file ? file : "?", line,
                  expression ? expression : "?",
                  static_cast<unsigned long>(static_cast<ULONG>(code)));
    OutputDebugStringA(text);
    return code;
}

// The early return of a failed HRESULT, its site traced (TraceFailure).
#define RETURN_IF_FAILED(expr)                                                \
    do {                                                                      \
        HRESULT hr_ = (expr);                                                 \
        if (FAILED(hr_)) return TraceFailure(hr_, __FILE__, __LINE__, #expr); \
    } while (0)

// Thrown by the raising text conversions (NarrowText.h).
struct ConversionError {
    DWORD error;
};

// Thrown by them for a text with a character that the code page lacks.
struct UnmappableText : ConversionError {
    UnmappableText() noexcept : ConversionError{ERROR_NO_UNICODE_TRANSLATION} {}
};

// The exception being handled, as a result: E_OUTOFMEMORY for lack of
// memory, 0x80070459 (ERROR_NO_UNICODE_TRANSLATION) for a text with a
// character that the code page lacks, E_UNEXPECTED for anything else (a
// conversion that failed, for one); what says which it was. Call only
// inside a catch block.
struct CaughtException {
    HRESULT code;
    const char* what;
};

inline CaughtException CurrentException() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return {E_OUTOFMEMORY, "out of memory"};
    } catch (const UnmappableText&) {
        return {HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION),
                "a text the code page cannot hold"};
    } catch (const ConversionError&) {
        return {E_UNEXPECTED, "a text conversion failed"};
    } catch (const std::exception& e) {
        return {E_UNEXPECTED, e.what()};
    } catch (...) {
        return {E_UNEXPECTED, "an unknown exception"};
    }
}

// The exception barrier of every interface method, and of anything else a
// caller outside reaches: nothing may cross it. body() gives the result; an
// exception gives onFailure instead, or onFailure(code) when onFailure is
// callable, code being CurrentException's. The exception and the caller's
// site go to the debugger output first (file and line are the caller's).
template <class OnFailure, class Body>
auto Barrier(OnFailure&& onFailure, Body&& body, const char* file = __builtin_FILE(),
             int line = __builtin_LINE()) noexcept -> decltype(body())
{
    try {
        return body();
    } catch (...) {
        CaughtException caught = CurrentException();
        TraceFailure(caught.code, file, line, caught.what);
        if constexpr (std::is_invocable_v<OnFailure&, HRESULT>)
            return onFailure(caught.code);
        else
            return onFailure;
    }
}

// For Barrier: the failure is the code of what was caught.
inline HRESULT CaughtCode(HRESULT code) noexcept
{
    return code;
}
