// A fake of the framework's audit-support component, registered as its class
// object in this process for the life of a FakeAuditRegistration. It records
// every call with its arguments, in order, and answers as a test tells it.
#pragma once

#include "AuditSupportItf.h"

#include <windows.h>
#include <optional>
#include <string>
#include <vector>

using Arg = std::optional<std::wstring>;  // nullopt: a null text

struct FakeCall {
    std::string name;
    std::vector<Arg> args;  // numbers as decimal text
    // The BSTRs exactly as they arrived (for checks of copies and pass-through).
    std::vector<const wchar_t*> pointers;
};

struct FakeBehaviour {
    HRESULT createInstance = S_OK;  // what the class object answers
    bool refuseInterface = false;   // the object answers no IAuditSupport
    HRESULT createEvent = S_OK;
    HRESULT setSource = S_OK;
    HRESULT addParameter = S_OK;
    HRESULT setOptional = S_OK;
    HRESULT send = S_OK;
};

class FakeAuditRegistration {
public:
    explicit FakeAuditRegistration(const FakeBehaviour& behaviour = FakeBehaviour());
    ~FakeAuditRegistration();
    FakeAuditRegistration(const FakeAuditRegistration&) = delete;
    FakeAuditRegistration& operator=(const FakeAuditRegistration&) = delete;

    HRESULT registered() const { return m_hr; }
    const std::vector<FakeCall>& Calls() const;
    std::vector<std::string> CallNames() const;
    // Fake component and event objects still alive.
    static LONG LiveObjects();

private:
    HRESULT m_hr;
    DWORD m_cookie = 0;
};
