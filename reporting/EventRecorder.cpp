#include "EventRecorder.h"

#include "ErrorObject.h"

#include "ComPtr.h"
#include "ResourceOwners.h"
#include "BstrText.h"
#include "EventSource.h"
#include "NarrowText.h"

#include <cstdio>
#include <cstring>
#include <string>

static_assert(CLSCTX_ALL == 0x17, "the component may live in any kind of server");

namespace {

// The component takes the texts as BSTRs and does not keep them.
BSTR AsBstr(const BstrText& text) noexcept
{
    return const_cast<BSTR>(text.wide());
}

// A fresh copy for the component; null when the text is null or memory is short.
unique_bstr FreshCopy(const wchar_t* text) noexcept
{
    return unique_bstr(text ? SysAllocString(text) : nullptr);
}

const char kNullText[] = "(null)";
const char kUnconvertibleText[] = "(unconvertible)";

std::string NarrowForDebugger(const BstrText& text) noexcept
{
    try {
        const char* narrow = text.narrow();
        return narrow ? narrow : kNullText;
    } catch (...) {
        return kUnconvertibleText;
    }
}

std::string NarrowForDebugger(const wchar_t* text) noexcept
{
    try {
        NarrowText narrow = WideToAcp(text);
        return narrow.get() ? narrow.str() : kNullText;
    } catch (...) {
        return kUnconvertibleText;
    }
}

// The last resort: the failure and the reported error, in two writes.
void WriteRecordingFailure(HRESULT hr, const EventSource& source, const ErrorContext& context,
                           HRESULT code, const BstrText& message, const BstrText& extra) noexcept
{
    char buffer[1024];
    wsprintfA(buffer, "=== Error recording event: hr = 0x%x. Module: %s, ", hr,
              NarrowForDebugger(source.ModulePath).c_str());
    OutputDebugStringA(buffer);

    // The message may be long: cut at 1023 characters, the last byte stays zero.
    memset(buffer, 0, sizeof buffer);
    _snprintf(buffer, sizeof buffer - 1, "Code: 0x%x, Message: %s\r\nFunction: %s, Extra: %s",
              static_cast<unsigned>(code), NarrowForDebugger(message).c_str(),
              NarrowForDebugger(context.Operation).c_str(), NarrowForDebugger(extra).c_str());
    OutputDebugStringA(buffer);
}

}  // namespace

HRESULT CreateAuditSupport(IAuditSupport** out) noexcept
{
    if (!out) return E_POINTER;
    *out = nullptr;
    com_ptr<IAuditSupport> object;
    HRESULT hr = CoCreateInstance(CLSID_KQSecSupport, nullptr, CLSCTX_ALL, IID_IAuditSupport,
                                  object.put_void());
    if (SUCCEEDED(hr)) hr = object.query_to(out);
    if (FAILED(hr)) {
        char buffer[1024];
        wsprintfA(buffer, "~~~ Error create KQSecSupport component: hr = 0x%x\r\n", hr);
        OutputDebugStringA(buffer);
    }
    return hr;
}

HRESULT RecordEvent(const ErrorContext& context, EventKind eventKind, HRESULT code, LONG kind,
                    const BstrText& message, const BstrText& extra) noexcept
{
    ErrorObjectScope::NoteEventMessage(message);
    // Gone in reverse order: the source, then the event, then the component.
    com_ptr<IAuditSupport> support;
    com_ptr<IAuditEvent> event;
    EventSource source;
    // Described first, whatever follows.
    FillEventSource(source);

    HRESULT hr = CreateAuditSupport(support.put());
    if (SUCCEEDED(hr)) {
        unique_bstr operation = FreshCopy(context.Operation);
        if (context.Operation && !operation.get())
            hr = E_OUTOFMEMORY;
        else
            hr = support->CreateEvent(operation.get(), code, kind, AsBstr(message), AsBstr(extra),
                                      event.put());
    }
    if (SUCCEEDED(hr) && !event) hr = E_POINTER;
    if (SUCCEEDED(hr)) {
        // The details are best effort: the event goes out whatever they answer.
        // The first text is empty, never null: a component in another process
        // can tell the two apart.
        unique_bstr reserved(SysAllocString(source.Reserved.wide() ? source.Reserved.wide() : L""));
        event->SetSource(reserved.get(), AsBstr(source.Account), AsBstr(source.ModulePath),
                         AsBstr(source.CommandLine), source.ProcessId, source.ThreadId,
                         AsBstr(source.ComputerName), AsBstr(source.Address));

        for (int i = 0; i < 4; ++i) {
            if (IsEmptyText(context.ParamName[i])) continue;
            unique_bstr name = FreshCopy(context.ParamName[i]);
            if (!name.get()) continue;
            event->AddParameter(name.get(), AsBstr(context.ParamValue[i]), i == 0 ? -1 : 0);
        }

        // Optional attributes, each only when set; texts as fresh copies.
        auto setOptionalText = [&event](const wchar_t* text,
                                        decltype(&IAuditEvent::SetOptionalText1) setter) {
            if (IsEmptyText(text)) return;
            if (unique_bstr copy = FreshCopy(text); copy.get()) (event.get()->*setter)(copy.get());
        };
        setOptionalText(context.OptionalText1, &IAuditEvent::SetOptionalText1);
        setOptionalText(context.OptionalText3, &IAuditEvent::SetOptionalText3);
        if (context.OptionalNumber != -1) event->SetOptionalNumber(context.OptionalNumber);
        setOptionalText(context.OptionalText2, &IAuditEvent::SetOptionalText2);

        hr = event->Send(eventKind == EventKind::RejectedRequest ? VARIANT_TRUE : VARIANT_FALSE);
    }
    if (FAILED(hr)) WriteRecordingFailure(hr, source, context, code, message, extra);
    return code;
}
