#include "AuditSupport.h"
#include "ComPtr.h"
#include "Results.h"

#include "AuditLog.h"

#include <oleauto.h>
#include <cstdio>

namespace {

MaybeText CopyText(BSTR text)
{
    if (!text) return std::nullopt;
    return std::wstring(text, SysStringLen(text));
}

// The setters of the optional texts: the copy is the only thing that can fail.
HRESULT StoreText(MaybeText& slot, BSTR text) noexcept
{
    return Barrier(E_OUTOFMEMORY, [&] {
        slot = CopyText(text);
        return S_OK;
    });
}

void AppendText(std::string& out, const MaybeText& text)
{
    if (text)
        AppendJsonString(out, text->c_str(), text->size());
    else
        AppendJsonString(out, nullptr, 0);
}

void AppendField(std::string& out, const char* name, const MaybeText& text)
{
    out += '"';
    out += name;
    out += "\":";
    AppendText(out, text);
}

void AppendField(std::string& out, const char* name, long long number)
{
    out += '"';
    out += name;
    out += "\":";
    out += std::to_string(number);
}

}  // namespace

const InterfaceEntry* CAuditEvent::Interfaces() noexcept
{
    static const InterfaceEntry entries[] = {
        INTERFACE_ENTRY(CAuditEvent, IAuditEvent),
        INTERFACE_ENTRY_END,
    };
    return entries;
}

void CAuditEvent::Fill(BSTR operation, LONG code, LONG kind, BSTR message, BSTR extra)
{
    m_operation = CopyText(operation);
    m_code = code;
    m_kind = kind;
    m_message = CopyText(message);
    m_extra = CopyText(extra);
}

STDMETHODIMP CAuditEvent::SetOptionalText1(BSTR text)
{
    return StoreText(m_optionalText1, text);
}

STDMETHODIMP CAuditEvent::SetOptionalNumber(LONG number)
{
    m_optionalNumber = number;
    return S_OK;
}

STDMETHODIMP CAuditEvent::SetOptionalText3(BSTR text)
{
    return StoreText(m_optionalText3, text);
}

STDMETHODIMP CAuditEvent::SetOptionalText2(BSTR text)
{
    return StoreText(m_optionalText2, text);
}

STDMETHODIMP CAuditEvent::AddParameter(BSTR name, BSTR value, LONG first)
{
    return Barrier(E_OUTOFMEMORY, [&] {
        m_parameters.push_back({CopyText(name), CopyText(value), first});
        return S_OK;
    });
}

STDMETHODIMP CAuditEvent::SetSource(BSTR reserved, BSTR account, BSTR modulePath, BSTR commandLine,
                                    ULONG processId, ULONG threadId, BSTR computerName,
                                    BSTR address)
{
    return Barrier(E_OUTOFMEMORY, [&] {
        m_source = Source{CopyText(reserved),     CopyText(account), CopyText(modulePath),
                          CopyText(commandLine),  processId,         threadId,
                          CopyText(computerName), CopyText(address)};
        return S_OK;
    });
}

STDMETHODIMP CAuditEvent::Send(VARIANT_BOOL request)
{
    return Barrier(E_OUTOFMEMORY, [&] { return AppendAuditLine(ToJson(request)); });
}

std::string CAuditEvent::ToJson(VARIANT_BOOL request) const
{
    std::string out = "{\"time\":\"" + JsonTimestamp() + "\",";
    AppendField(out, "operation", m_operation);
    char code[16];
    snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(m_code));
    out += ",\"code\":\"";
    out += code;
    out += "\",";
    AppendField(out, "kind", m_kind);
    out += ',';
    AppendField(out, "message", m_message);
    out += ',';
    AppendField(out, "extra", m_extra);

    out += ",\"parameters\":[";
    for (size_t i = 0; i < m_parameters.size(); ++i) {
        if (i) out += ',';
        out += '{';
        AppendField(out, "name", m_parameters[i].name);
        out += ',';
        AppendField(out, "value", m_parameters[i].value);
        out += ',';
        AppendField(out, "first", m_parameters[i].first);
        out += '}';
    }
    out += "],\"source\":";
    if (!m_source) {
        out += "null";
    } else {
        out += '{';
        AppendField(out, "reserved", m_source->reserved);
        out += ',';
        AppendField(out, "account", m_source->account);
        out += ',';
        AppendField(out, "modulePath", m_source->modulePath);
        out += ',';
        AppendField(out, "commandLine", m_source->commandLine);
        out += ',';
        AppendField(out, "processId", m_source->processId);
        out += ',';
        AppendField(out, "threadId", m_source->threadId);
        out += ',';
        AppendField(out, "computerName", m_source->computerName);
        out += ',';
        AppendField(out, "address", m_source->address);
        out += '}';
    }
    out += ",\"optional\":{";
    AppendField(out, "text1", m_optionalText1);
    out += ',';
    AppendField(out, "text2", m_optionalText2);
    out += ',';
    AppendField(out, "text3", m_optionalText3);
    out += ",\"number\":";
    out += m_optionalNumber ? std::to_string(*m_optionalNumber) : "null";
    out += "},\"request\":";
    out += request ? "true" : "false";
    out += '}';
    return out;
}

const InterfaceEntry* CAuditSupport::Interfaces() noexcept
{
    static const InterfaceEntry entries[] = {
        INTERFACE_ENTRY(CAuditSupport, IAuditSupport),
        INTERFACE_ENTRY_END,
    };
    return entries;
}

STDMETHODIMP CAuditSupport::CreateEvent(BSTR operation, LONG code, LONG kind, BSTR message,
                                        BSTR extra, IAuditEvent** event)
{
    if (!event) return E_POINTER;
    *event = nullptr;
    return Barrier(E_OUTOFMEMORY, [&] {
        com_ptr<ComObject<CAuditEvent>> created;
        RETURN_IF_FAILED(ComObject<CAuditEvent>::Create(created));
        created->Fill(operation, code, kind, message, extra);
        *event = created.detach();
        return S_OK;
    });
}

HRESULT CreateAuditSupport(IUnknown* outer, REFIID riid, void** ppv) noexcept
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    com_ptr<ComObject<CAuditSupport>> support;
    RETURN_IF_FAILED(ComObject<CAuditSupport>::Create(support));
    return support->QueryInterface(riid, ppv);
}
