// The module's own failure codes: HRESULTs of the interface facility whose low
// word is the id of the string-table entry that explains them.
#pragma once

#include "MessageIds.h"

#include <windows.h>

constexpr HRESULT ModuleCode(unsigned stringId) noexcept
{
    return static_cast<HRESULT>(0x80041000u + (stringId - IDS_PARAM_NULL_OR_EMPTY));
}

constexpr HRESULT AUTH_E_PARAM_NULL_OR_EMPTY = ModuleCode(IDS_PARAM_NULL_OR_EMPTY);  // 0x80041000
constexpr HRESULT AUTH_E_USER_NOT_ALLOWED = ModuleCode(IDS_USER_NOT_ALLOWED);        // 0x80041001
constexpr HRESULT AUTH_E_COMPLIANCE_COMPONENT_MISSING =
    ModuleCode(IDS_COMPLIANCE_COMPONENT_MISSING);
constexpr HRESULT AUTH_E_COMPLIANCE_SEND_FAILED = ModuleCode(IDS_COMPLIANCE_SEND_FAILED);
constexpr HRESULT AUTH_E_BAD_OBJECT_NAME = ModuleCode(IDS_BAD_OBJECT_NAME);        // 0x80041004
constexpr HRESULT AUTH_E_PARAM_NULL = ModuleCode(IDS_PARAM_NULL);                  // 0x80041005
constexpr HRESULT AUTH_E_INVALID_GUID = ModuleCode(IDS_INVALID_GUID);              // 0x80041006
constexpr HRESULT AUTH_E_ROLE_NAME_TOO_LONG = ModuleCode(IDS_ROLE_NAME_TOO_LONG);  // 0x80041007
constexpr HRESULT AUTH_E_ROLE_EXISTS = ModuleCode(IDS_ROLE_EXISTS);                // 0x80041008
constexpr HRESULT AUTH_E_INVALID_POSITION = ModuleCode(IDS_INVALID_POSITION);      // 0x80041009
constexpr HRESULT AUTH_E_REGISTRY_ACCESS = ModuleCode(IDS_REGISTRY_ACCESS);        // 0x8004100C

static_assert(AUTH_E_PARAM_NULL_OR_EMPTY == static_cast<HRESULT>(0x80041000), "first module code");
static_assert(AUTH_E_INVALID_POSITION == static_cast<HRESULT>(0x80041009), "entry 4105");

// Every reporting site reports this kind; the audit component gets it unchanged.
constexpr LONG kReportKind = 1;
