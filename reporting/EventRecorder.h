// Records one reported failure as an event of the framework's audit-support
// component; the debugger output is the last resort when that fails.
#pragma once

#include "AuditSupportItf.h"
#include "BstrText.h"
#include "ErrorContext.h"

#include <windows.h>

// A new audit-support component, one reference in *out. A failure is written
// to the debugger output and returned.
HRESULT CreateAuditSupport(IAuditSupport** out) noexcept;

// How the audit component is told of an event: a request it rejected, or a
// call that failed.
enum class EventKind { FailedCall = 0, RejectedRequest = 1 };

// Returns code, whatever happens while recording.
HRESULT RecordEvent(const ErrorContext& context, EventKind eventKind, HRESULT code, LONG kind,
                    const BstrText& message, const BstrText& extra) noexcept;
