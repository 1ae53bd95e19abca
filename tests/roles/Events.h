// The audit events a fake audit component received, one per CreateEvent,
// with the parameters and the flag of its Send.
#pragma once

#include "FakeAuditSupport.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

struct Event {
    std::wstring operation;
    HRESULT code = 0;
    std::wstring message;
    Arg extra;
    std::vector<std::pair<std::wstring, Arg>> params;
    bool request = false;  // sent with VARIANT_TRUE: a rejected request

    std::string Describe() const
    {
        char code_text[16];
        snprintf(code_text, sizeof code_text, "0x%08lx", static_cast<unsigned long>(code));
        return std::string(operation.begin(), operation.end()) + " " + code_text;
    }
};

inline std::vector<Event> Events(const FakeAuditRegistration& audit)
{
    std::vector<Event> events;
    for (const FakeCall& call : audit.Calls()) {
        if (call.name == "CreateEvent") {
            Event e;
            e.operation = call.args[0].value_or(L"<null>");
            e.code = static_cast<HRESULT>(std::stoul(call.args[1].value_or(L"0")));
            if (call.args[1] && (*call.args[1])[0] == L'-')
                e.code = static_cast<HRESULT>(std::stol(*call.args[1]));
            e.message = call.args[3].value_or(L"<null>");
            e.extra = call.args[4];
            events.push_back(e);
        } else if (call.name == "AddParameter" && !events.empty()) {
            events.back().params.emplace_back(call.args[0].value_or(L""), call.args[1]);
        } else if (call.name == "Send" && !events.empty()) {
            events.back().request = call.args[0] && *call.args[0] != L"0";
        }
    }
    return events;
}

inline std::vector<std::string> EventNames(const FakeAuditRegistration& audit)
{
    std::vector<std::string> names;
    for (const Event& e : Events(audit)) names.push_back(e.Describe());
    return names;
}
