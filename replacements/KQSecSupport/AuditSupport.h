// The audit-support component and its events. The component lives in the
// caller's apartment, whichever kind it is: counts are interlocked. An event
// object is filled and sent by one caller at a time.
#pragma once

#include "AuditSupportItf.h"
#include "ComObject.h"

#include <windows.h>
#include <optional>
#include <string>
#include <vector>

// Creates the component answering riid; it cannot be aggregated.
HRESULT CreateAuditSupport(IUnknown* outer, REFIID riid, void** ppv) noexcept;

// The operations the module never calls answer E_NOTIMPL.
#define AUDIT_RESERVED(n)             \
    STDMETHOD(Reserved##n)() override \
    {                                 \
        return E_NOTIMPL;             \
    }

using MaybeText = std::optional<std::wstring>;

// Instantiated as ComObject<CAuditEvent>, then filled once with what
// CreateEvent was given.
class CAuditEvent : public IAuditEvent, public ComObjectRoot {
public:
    static const InterfaceEntry* Interfaces() noexcept;
    // Copies the texts: throws std::bad_alloc when memory runs out.
    void Fill(BSTR operation, LONG code, LONG kind, BSTR message, BSTR extra);

    AUDIT_RESERVED(03)
    AUDIT_RESERVED(04)
    AUDIT_RESERVED(05)
    AUDIT_RESERVED(06)
    AUDIT_RESERVED(07)
    AUDIT_RESERVED(08)
    AUDIT_RESERVED(09)
    AUDIT_RESERVED(10)
    AUDIT_RESERVED(11)
    AUDIT_RESERVED(12)
    AUDIT_RESERVED(13)
    AUDIT_RESERVED(14)
    AUDIT_RESERVED(15)
    AUDIT_RESERVED(16)
    AUDIT_RESERVED(17)
    AUDIT_RESERVED(18)
    AUDIT_RESERVED(19)
    AUDIT_RESERVED(20)
    STDMETHOD(SetOptionalText1)(BSTR text) override;
    AUDIT_RESERVED(22)
    STDMETHOD(SetOptionalNumber)(LONG number) override;
    AUDIT_RESERVED(24)
    STDMETHOD(SetOptionalText3)(BSTR text) override;
    AUDIT_RESERVED(26)
    STDMETHOD(SetOptionalText2)(BSTR text) override;
    AUDIT_RESERVED(28)
    AUDIT_RESERVED(29)
    AUDIT_RESERVED(30)
    AUDIT_RESERVED(31)
    AUDIT_RESERVED(32)
    AUDIT_RESERVED(33)
    AUDIT_RESERVED(34)
    AUDIT_RESERVED(35)
    AUDIT_RESERVED(36)
    AUDIT_RESERVED(37)
    AUDIT_RESERVED(38)
    AUDIT_RESERVED(39)
    AUDIT_RESERVED(40)
    AUDIT_RESERVED(41)
    AUDIT_RESERVED(42)
    AUDIT_RESERVED(43)
    AUDIT_RESERVED(44)
    AUDIT_RESERVED(45)
    AUDIT_RESERVED(46)
    AUDIT_RESERVED(47)
    AUDIT_RESERVED(48)
    STDMETHOD(AddParameter)(BSTR name, BSTR value, LONG first) override;
    STDMETHOD(SetSource)(BSTR reserved, BSTR account, BSTR modulePath, BSTR commandLine,
                         ULONG processId, ULONG threadId, BSTR computerName, BSTR address) override;
    STDMETHOD(Send)(VARIANT_BOOL request) override;

private:
    struct Parameter {
        MaybeText name;
        MaybeText value;
        LONG first;
    };
    struct Source {
        MaybeText reserved, account, modulePath, commandLine;
        ULONG processId, threadId;
        MaybeText computerName, address;
    };

    std::string ToJson(VARIANT_BOOL request) const;

    MaybeText m_operation;
    LONG m_code = 0;
    LONG m_kind = 0;
    MaybeText m_message;
    MaybeText m_extra;
    std::vector<Parameter> m_parameters;
    std::optional<Source> m_source;
    MaybeText m_optionalText1, m_optionalText2, m_optionalText3;
    std::optional<LONG> m_optionalNumber;
};

class CAuditSupport : public IAuditSupport, public ComObjectRoot {
public:
    static const InterfaceEntry* Interfaces() noexcept;

    AUDIT_RESERVED(03)
    AUDIT_RESERVED(04)
    AUDIT_RESERVED(05)
    AUDIT_RESERVED(06)
    AUDIT_RESERVED(07)
    AUDIT_RESERVED(08)
    AUDIT_RESERVED(09)
    AUDIT_RESERVED(10)
    STDMETHOD(CreateEvent)(BSTR operation, LONG code, LONG kind, BSTR message, BSTR extra,
                           IAuditEvent** event) override;
};
