// Where an event came from: module, account, process, thread, computer and
// network address. Filled best effort for every event; nothing here fails.
#pragma once

#include "BstrText.h"

#include <windows.h>

struct EventSource {
    BstrText ModulePath;
    BstrText Account;   // domain \ user
    BstrText Reserved;  // handed on empty
    BstrText CommandLine;
    DWORD ProcessId = 0xFFFFFFFF;
    DWORD ThreadId = 0xFFFFFFFF;
    BstrText ComputerName;
    BstrText Address;  // IPv4, dotted
};

// Fills a source that is at its initial values, in field order. A field that
// cannot be found keeps its initial value; running out of memory stops the
// filling and keeps what was filled so far.
void FillEventSource(EventSource& source) noexcept;

// The logged-on account: the security token first, then the network
// workstation service, then the process's user name with the computer name as
// domain. Throws when memory or a text conversion fails.
void GetLogonUser(BstrText& user, BstrText& domain);

// The account of the thread's token (the process's when the thread does not
// impersonate), looked up under the process's own identity. Negative on failure.
HRESULT GetTokenAccount(BstrText& domain, BstrText& user) noexcept;

// 1: NT family from major version 5; 2: older NT; 3: Windows 95 family up to
// 4.0; 4: later Windows 95 family; 0: anything else.
int GetPlatformClass() noexcept;

// The computer's IPv4 address, found once per process and then reused; empty
// while it cannot be found. Throws when memory or a text conversion fails.
BstrText GetHostAddress();

// Frees the network library and forgets the address. Runs by itself when the
// module is unloaded; calling it again is harmless.
void ReleaseEventSourceState() noexcept;
