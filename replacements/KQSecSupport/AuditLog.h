// The audit log: one JSON line per event, appended and flushed to disk
// before the writer returns.
#pragma once

#include <windows.h>
#include <string>

// Where events go: the environment variable, else the registry value, else
// the machine's common application data folder.
inline constexpr wchar_t kAuditLogVariable[] = L"KQSECSUPPORT_AUDIT_LOG";
inline constexpr wchar_t kAuditLogKey[] = L"SOFTWARE\\Quarnex\\VOK\\KQSecSupport";
inline constexpr wchar_t kAuditLogValue[] = L"AuditLog";

// The log's path as configured now; empty when none can be found.
std::wstring AuditLogPath();

// Appends line and a line break under an exclusive lock on the file and flushes
// it. S_OK, or the failure of the step that failed.
HRESULT AppendAuditLine(const std::string& line) noexcept;

// JSON pieces: a string in UTF-8 with every control character escaped (null
// becomes null), and the current UTC time in ISO 8601 with milliseconds.
void AppendJsonString(std::string& out, const wchar_t* text, size_t length);
std::string JsonTimestamp();
