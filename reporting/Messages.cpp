#include "Messages.h"

#include "EventRecorder.h"
#include "HostModule.h"

namespace {

// Frees a buffer that FormatMessageW allocated.
struct LocalBuffer {
    wchar_t* text = nullptr;
    ~LocalBuffer()
    {
        if (text) LocalFree(text);
    }
};

const size_t kMaxInserts = 99;  // %1 to %99

}  // namespace

BstrText GetSystemMessage(HRESULT code)
{
    LocalBuffer buffer;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(code), LANG_USER_DEFAULT,
        reinterpret_cast<wchar_t*>(&buffer.text), 0, nullptr);
    if (length != 0 && buffer.text) return BstrText(buffer.text);

    wchar_t text[256];
    wsprintfW(text, L"Process error: 0x%x", static_cast<unsigned>(code));
    return BstrText(text);
}

BstrText FormatModuleMessageList(HRESULT code, const wchar_t* const* inserts, size_t count)
{
    wchar_t pattern[1024];
    if (LoadStringW(ModuleInstance(), LOWORD(code), pattern, 1024) <= 0)
        return GetSystemMessage(code);

    // The loaded string decides how many inserts it reads: never past the list.
    DWORD_PTR arguments[kMaxInserts];
    for (size_t i = 0; i < kMaxInserts; ++i)
        arguments[i] = reinterpret_cast<DWORD_PTR>(i < count && inserts[i] ? inserts[i] : L"");

    LocalBuffer buffer;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        pattern, 0, 0, reinterpret_cast<wchar_t*>(&buffer.text), 0,
        reinterpret_cast<va_list*>(arguments));
    if (length != 0 && buffer.text) return BstrText(buffer.text);
    return BstrText(L"Internal Error");
}

HRESULT ReportError(const ErrorContext& context, HRESULT code, LONG kind, const BstrText& message,
                    const BstrText& extra) noexcept
{
    return RecordEvent(context, EventKind::FailedCall, code, kind, message, extra);
}

HRESULT ReportFailure(const ErrorContext& context, HRESULT code) noexcept
{
    BstrText message;
    try {
        message = GetSystemMessage(code);
    } catch (...) {
        // The event still goes out, without its text.
    }
    return ReportError(context, code, kReportKind, message);
}

HRESULT ReportFailureAt(const ErrorContext& context, HRESULT code, const char* file, int line,
                        const char* expression) noexcept
{
    return ReportFailure(context, TraceFailure(code, file, line, expression));
}

HRESULT ReportRequestError(const ErrorContext& context, HRESULT code, LONG kind,
                           const BstrText& message, const BstrText& extra) noexcept
{
    return RecordEvent(context, EventKind::RejectedRequest, code, kind, message, extra);
}

HRESULT ReportNullOrEmpty(const ErrorContext& context, const wchar_t* paramName,
                          const wchar_t* text)
{
    return ReportRequestError(
        context, AUTH_E_PARAM_NULL_OR_EMPTY, kReportKind,
        FormatModuleMessage(AUTH_E_PARAM_NULL_OR_EMPTY, paramName, text ? L"<empty>" : L"<null>"),
        BstrText(paramName));
}
