// What the library holds for the whole process: the security server, the
// HTTP time-out, the policy source, the last errors, and what tests control
// (forced results, the call log). Every access takes one lock, so objects in
// different apartments may call at the same time.
#pragma once

#include "Policy.h"
#include "PolicySource.h"

#include <windows.h>
#include <oaidl.h>
#include <memory>
#include <string>

namespace kivauth {

// One line of the call log, "Operation(arg, arg)", built argument by argument.
class CallLine {
public:
    explicit CallLine(const char* operation);
    CallLine& Text(const char* text);
    CallLine& Text(const wchar_t* text);
    CallLine& Unsigned(unsigned long value);
    CallLine& Signed(int value);
    CallLine& Flag(bool value);
    CallLine& Out();
    std::string Finish() const { return m_line + ")"; }

private:
    CallLine& Next();
    std::string m_line;
    bool m_first = true;
};

// The call log costs every call a line; it is kept only while a test has
// turned it on (KivTest_RecordCalls).
bool CallLogOn() noexcept;
void RecordCall(const CallLine& line);

// Records the line that make() builds, building it only when the log is on.
template <class Make>
void LogCall(Make make)
{
    if (CallLogOn()) RecordCall(make());
}

// Throws a C++ exception out of the operation when a test asked for it
// (KivTest_ThrowFrom): what a library without a barrier of its own would do.
void ThrowIfAsked(const char* operation);

// True with the forced value when a test forces the operation's result.
bool ForcedResult(const char* operation, long& result);
bool RefreshFlagCleared();
bool NullRoleList();
bool RoleInfoWithoutRecord();
bool AppCacheWithoutObject();

// When a test forces a VARIANT answer: a copy into each non-null slot, the
// HRESULT of the copies in result, and true.
bool ForcedVariant(const char* operation, VARIANT* first, VARIANT* second, HRESULT& result);
// When a test forces the answer for this application: that answer, and true.
bool ForcedSecurityId(const wchar_t* applName, HRESULT& result, wchar_t** id);

PolicySource CurrentPolicySource();

// Parses a policy read from origin. Objects that load the same text share
// one parsed store (it never changes); text then points to the shared copy.
// Null with a message when the text is no valid policy. Throws std::bad_alloc.
std::shared_ptr<const Policy> ParseShared(const std::string& origin, std::string&& read,
                                          std::shared_ptr<const std::string>& text,
                                          std::string& error);

// The outcome of the latest policy load: an empty message clears the errors.
void SetLoadError(const std::string& message);
HRESULT CopyLastErrors(VARIANT* to);

// Milliseconds for the whole of a request to the security server; 0 or
// less stands for the default (standin::kDefaultHttpTimeoutMs).
void SetHttpTimeout(int timeout);

}  // namespace kivauth
