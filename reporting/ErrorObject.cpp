#include "ErrorObject.h"

#include "ErrorInfo.h"
#include "Messages.h"

#include <oleauto.h>
#include <string>

namespace {

// The scopes of this module's methods on the thread, innermost first.
thread_local ErrorObjectScope* t_innermost = nullptr;
thread_local ErrorObjectScope* t_outermost = nullptr;  // the one that answers

BstrText Description(HRESULT code, const BstrText& firstMessage)
{
    if (!IsEmptyText(firstMessage.wide())) return firstMessage;
    // The module's own codes have its text, or the system's where it has none.
    if ((static_cast<ULONG>(code) & 0xFFFFF000u) == 0x80041000u)
        return FormatModuleMessageList(code, nullptr, 0);
    return GetSystemMessage(code);
}

// A description without the line break that system messages end with.
std::wstring Trimmed(const BstrText& text)
{
    std::wstring trimmed(text.wide() ? text.wide() : L"", text.length());
    while (!trimmed.empty() && (trimmed.back() == L'\n' || trimmed.back() == L'\r'))
        trimmed.pop_back();
    return trimmed;
}

HRESULT SetErrorObject(const ErrorSource& source, HRESULT result,
                       const BstrText& firstMessage) noexcept;

}  // namespace

ErrorObjectScope::ErrorObjectScope(const ErrorSource& source) noexcept
    : m_source(source), m_outer(t_innermost)
{
    t_innermost = this;
    if (!m_outer) t_outermost = this;
}

ErrorObjectScope::~ErrorObjectScope()
{
    t_innermost = m_outer;
    if (!m_outer) t_outermost = nullptr;
}

void ErrorObjectScope::NoteEventMessage(const BstrText& message) noexcept
{
    ErrorObjectScope* outermost = t_outermost;
    if (outermost && IsEmptyText(outermost->m_firstMessage.wide()))
        outermost->m_firstMessage = message;
}

HRESULT ErrorObjectScope::Return(HRESULT result) noexcept
{
    if (SUCCEEDED(result) || m_outer) return result;
    return SetErrorObject(m_source, result, m_firstMessage);
}

HRESULT ErrorObjectScope::ReturnFailure(const ErrorSource& source, HRESULT result) noexcept
{
    if (t_innermost) return result;
    return SetErrorObject(source, result, BstrText());
}

namespace {

HRESULT SetErrorObject(const ErrorSource& source, HRESULT result,
                       const BstrText& firstMessage) noexcept
{
    std::wstring description;
    Barrier(false, [&] {
        description = Trimmed(Description(result, firstMessage));
        return true;
    });
    return LeaveErrorObject(result, description.c_str(), source.progId, *source.iid);
}

}  // namespace
