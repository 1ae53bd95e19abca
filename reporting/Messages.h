// Readable texts for failure codes, and the two reporting calls through which
// every role-administration failure becomes an audit event.
#pragma once

#include "BstrText.h"
#include "ErrorContext.h"
#include "ModuleCodes.h"
#include "Results.h"

#include <windows.h>
#include <cstddef>
#include <type_traits>

// The system's message for a code, trailing line break included; "Process
// error: 0x<hex>" when the system has none. Throws std::bad_alloc only.
BstrText GetSystemMessage(HRESULT code);

// The module's string for the code's low word with inserts[0] for %1,
// inserts[1] for %2 and so on (inserts the string names but the caller does
// not give, and null ones, read as empty). No entry: the system message of the whole code; a
// failed formatting: "Internal Error". Throws std::bad_alloc only.
BstrText FormatModuleMessageList(HRESULT code, const wchar_t* const* inserts, size_t count);

// FormatModuleMessage(code, insert1, insert2, ...): the inserts are wide texts.
template <class... Inserts>
BstrText FormatModuleMessage(HRESULT code, const Inserts&... inserts)
{
    static_assert((std::is_convertible_v<const Inserts&, const wchar_t*> && ...),
                  "inserts are wide texts");
    const wchar_t* list[] = {static_cast<const wchar_t*>(inserts)..., nullptr};
    return FormatModuleMessageList(code, list, sizeof...(Inserts));
}

// A call the operation made failed: records the event (sent as a failed call)
// and returns code unchanged. message normally comes from GetSystemMessage;
// extra is usually null. The texts stay the caller's.
HRESULT ReportError(const ErrorContext& context, HRESULT code, LONG kind, const BstrText& message,
                    const BstrText& extra = BstrText()) noexcept;

// ReportError of a failure returned by a call, with the system's message
// for the code (none when even that cannot be made). Never throws.
HRESULT ReportFailure(const ErrorContext& context, HRESULT code) noexcept;

// ReportFailure with the failing site traced first (TraceFailure, Results.h).
HRESULT ReportFailureAt(const ErrorContext& context, HRESULT code, const char* file, int line,
                        const char* expression) noexcept;

inline HRESULT ReportedAt(const ErrorContext& context, HRESULT code, const char* file, int line,
                          const char* expression) noexcept
{
    return FAILED(code) ? ReportFailureAt(context, code, file, line, expression) : code;
}

// How an operation that reports its failures passes one on: the code goes
// back to the caller and out as an event, and the site to the debugger.
// REPORTED(context, expr) is expr's result, reported when it is a failure;
// REPORT_IF_FAILED(context, expr) returns it when it is one.
#define REPORTED(context, expr) ReportedAt((context), (expr), __FILE__, __LINE__, #expr)
#define REPORT_IF_FAILED(context, expr)                                                     \
    do {                                                                                    \
        HRESULT hr_ = (expr);                                                               \
        if (FAILED(hr_)) return ReportFailureAt((context), hr_, __FILE__, __LINE__, #expr); \
    } while (0)

// The module's own checks rejected the request: records the event (sent as a
// rejected request) and returns code unchanged. message comes from
// FormatModuleMessage; extra is the text given as its first insert.
HRESULT ReportRequestError(const ErrorContext& context, HRESULT code, LONG kind,
                           const BstrText& message, const BstrText& extra) noexcept;

// For Barrier: an exception inside an operation is reported as E_UNEXPECTED,
// except a text with a character that the code page lacks, which is said as
// such (0x80070459): the caller can mend that one.
inline auto ReportUnexpected(const ErrorContext& context) noexcept
{
    return [&context](HRESULT code) noexcept {
        return ReportFailure(context, code == HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION)
                                          ? code
                                          : E_UNEXPECTED);
    };
}

// For Barrier: an exception inside a step is reported with its own code.
inline auto ReportCaught(const ErrorContext& context) noexcept
{
    return [&context](HRESULT code) noexcept { return ReportFailure(context, code); };
}

// A text parameter the operation needs was null or empty: 0x80041000, its
// message naming the parameter and showing "<null>" or "<empty>". Throws
// std::bad_alloc only.
HRESULT ReportNullOrEmpty(const ErrorContext& context, const wchar_t* paramName,
                          const wchar_t* text);
