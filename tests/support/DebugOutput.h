// Captures what the calling thread writes to the debugger output: the text of
// every OutputDebugStringA reaches an in-process vectored handler as
// DBG_PRINTEXCEPTION_C before any debugger would see it.
#pragma once

#include <windows.h>
#include <cstring>
#include <string>
#include <vector>

class DebugOutputCapture {
public:
    DebugOutputCapture() : m_thread(GetCurrentThreadId())
    {
        s_current = this;
        m_handler = AddVectoredExceptionHandler(1, Handler);
    }
    ~DebugOutputCapture()
    {
        RemoveVectoredExceptionHandler(m_handler);
        s_current = nullptr;
    }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    // One entry per write, in order.
    const std::vector<std::string>& Writes() const { return m_writes; }

private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* info)
    {
        const EXCEPTION_RECORD* record = info->ExceptionRecord;
        DebugOutputCapture* capture = s_current;
        if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 &&
            capture && GetCurrentThreadId() == capture->m_thread) {
            const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
            size_t limit = static_cast<size_t>(record->ExceptionInformation[0]);
            capture->m_writes.emplace_back(text, strnlen(text, limit));
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    static inline DebugOutputCapture* s_current = nullptr;
    DWORD m_thread;
    PVOID m_handler = nullptr;
    std::vector<std::string> m_writes;
};
