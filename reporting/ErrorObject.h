// The error object that a failed call leaves on its thread, for callers
// that ask GetErrorInfo (script engines turn it into Err.Description and
// Err.Source). Each interface method runs its body through WithErrorObject
// or WithErrorObjectAndEvents: when the outermost method of this module on
// the thread fails, it leaves an error object of its own, whatever another
// component left there. A success leaves the thread's error object alone;
// COM callers read it only after a failure.
#pragma once

#include "BstrText.h"

#include <windows.h>
#include <type_traits>

// Who answers: the class's version-independent ProgID and the interface.
struct ErrorSource {
    const wchar_t* progId;
    const IID* iid;
};

class ErrorObjectScope {
public:
    explicit ErrorObjectScope(const ErrorSource& source) noexcept;
    ~ErrorObjectScope();
    ErrorObjectScope(const ErrorObjectScope&) = delete;
    ErrorObjectScope& operator=(const ErrorObjectScope&) = delete;

    // Returns result; a failure of the outermost scope first becomes the
    // thread's error object. Its description is the message of the first
    // event recorded in the scope, else the module's message for the code,
    // else the system's.
    HRESULT Return(HRESULT result) noexcept;

    // A failure of a method outside any scope: the error object, unless a
    // scope of this module is active on the thread (that one answers).
    static HRESULT ReturnFailure(const ErrorSource& source, HRESULT result) noexcept;

    // An event was recorded on this thread with this message (RecordEvent).
    static void NoteEventMessage(const BstrText& message) noexcept;

private:
    ErrorSource m_source;
    ErrorObjectScope* m_outer;
    BstrText m_firstMessage;
};

// For a method that records events: body() is its result, and a failure
// is described by the first event recorded meanwhile. body() must not
// throw (its own barrier sees to that).
template <class Body>
HRESULT WithErrorObjectAndEvents(const ErrorSource& source, Body&& body) noexcept
{
    static_assert(std::is_same_v<decltype(body()), HRESULT>, "a method's body gives its HRESULT");
    ErrorObjectScope scope(source);
    return scope.Return(body());
}

// For a method that records no events: only a failure costs anything.
template <class Body>
HRESULT WithErrorObject(const ErrorSource& source, Body&& body) noexcept
{
    static_assert(std::is_same_v<decltype(body()), HRESULT>, "a method's body gives its HRESULT");
    HRESULT result = body();
    return SUCCEEDED(result) ? result : ErrorObjectScope::ReturnFailure(source, result);
}
