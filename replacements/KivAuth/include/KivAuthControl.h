// Test control of the KivAuth.dll stand-in. Only tests include this header;
// the module never does. Every function acts on the library as a whole (all
// CKIVAuthorize objects of the process).
#pragma once

#include <windows.h>
#include <oaidl.h>

#ifdef KIVAUTH_BUILD
#define KIVAUTH_CONTROL_API extern "C" __declspec(dllexport)
#else
#define KIVAUTH_CONTROL_API extern "C" __declspec(dllimport)
#endif

// Back to the start: the embedded default policy as the policy source, no
// security server, no forced results, an empty call log that records
// nothing, the error variant VT_EMPTY. Caches of live objects keep what they loaded until their
// next InitCache or RefreshCache.
KIVAUTH_CONTROL_API void KivTest_Reset();

// Makes a policy text the policy source for the following InitCache and
// RefreshCache calls (the format is in the README). Returns S_OK, or
// E_INVALIDARG with the policy source unchanged when the text does not parse.
KIVAUTH_CONTROL_API HRESULT KivTest_LoadPolicyText(const char* text);

// After KivTest_Reset the environment variable KIVAUTH_POLICY and the registry
// value PolicyFile are ignored, so that tests do not depend on the machine;
// TRUE makes them count again (as they do in a process that never resets).
KIVAUTH_CONTROL_API void KivTest_UseMachinePolicy(BOOL use);

// Forces the result of an operation, by name ("InitCache", "RefreshCache",
// "ClearCache", "CheckAccess", "CheckRoleAccess", "GetRoles", "GetAllRoles",
// "GetSecureGroups", "GetSecureGroupMembers", "GetSecurityId", "GetAppCache",
// "GetRolesCache", "GetRoleInfo"; a name covers all overloads). For bool
// operations 0 forces false and any other value true; for long operations
// the value is the HRESULT returned (out-values are then left as they are).
// The call is still recorded. KivTest_Unforce ends it.
KIVAUTH_CONTROL_API void KivTest_Force(const char* operation, long result);
KIVAUTH_CONTROL_API void KivTest_Unforce(const char* operation);

// Makes an operation (a name as for KivTest_Force, or "GetLastVokErrors",
// "SetHTTPTimeout") throw a C++ exception out of the library instead of
// answering, as a library without an exception barrier of its own may do.
// A null name ends it for all operations.
KIVAUTH_CONTROL_API void KivTest_ThrowFrom(const char* operation);

// RefreshCache succeeds but clears the caller's refresh flag.
KIVAUTH_CONTROL_API void KivTest_SetRefreshFlagCleared(BOOL cleared);
// GetRolesCache succeeds with a null role list.
KIVAUTH_CONTROL_API void KivTest_SetNullRoleList(BOOL nullList);
// GetRoleInfo succeeds (S_OK) without a record.
KIVAUTH_CONTROL_API void KivTest_SetRoleInfoWithoutRecord(BOOL withoutRecord);
// GetAppCache succeeds with the cache time but without a cache object.
KIVAUTH_CONTROL_API void KivTest_SetAppCacheWithoutObject(BOOL withoutObject);

// Makes the VARIANT-answering queries ("GetRoles", "GetAllRoles",
// "GetSecureGroups", "GetSecureGroupMembers") write a copy of the given
// VARIANT into every VARIANT out-slot and return S_OK. A null pointer ends it.
KIVAUTH_CONTROL_API void KivTest_ForceVariant(const char* operation, const VARIANT* answer);

// Makes GetSecurityId answer, for calls whose application name equals
// applName, this HRESULT and this id (null: the out slot gets a null BSTR;
// otherwise a new BSTR, possibly empty). A null applName ends all of them.
KIVAUTH_CONTROL_API void KivTest_ForceSecurityId(const wchar_t* applName, long result,
                                                 const wchar_t* id);

// The VARIANT that GetLastVokErrors points to gets a copy of this one.
KIVAUTH_CONTROL_API void KivTest_SetLastErrors(const VARIANT* errors);

// The call log, off until a test turns it on with KivTest_RecordCalls(TRUE)
// (and off again after KivTest_Reset), so that no other process pays for it.
// While on: every call of every operation, in order, one line each, as
//   Operation(arg, arg, ...)
// Texts in double quotes with \ and " escaped by a backslash, a null text as
// null, unsigned long arguments as unsigned decimal, int arguments as signed
// decimal, bools as true/false, pointer out-slots as out (VARIANT* slots
// too). Examples:
//   CheckAccess(null, "CN=Doc", 3)
//   CheckAccess("D\\alice", "CN=Doc", 3)
//   RefreshCache(true, 65535)
//   SetHTTPTimeout(-5)
//   GetRoles("D\\alice", out, out)
//   SetSecurityServer("", "file:policy.txt")
// KivTest_CallCount gives the number of lines; KivTest_GetCall copies line
// `index` into the buffer (cut to size - 1 characters, always terminated)
// and returns its full length, or -1 for an index out of range.
KIVAUTH_CONTROL_API void KivTest_RecordCalls(BOOL record);
KIVAUTH_CONTROL_API int KivTest_CallCount();
KIVAUTH_CONTROL_API int KivTest_GetCall(int index, char* buffer, int size);
KIVAUTH_CONTROL_API void KivTest_ClearCalls();

// The HTTP time-out last set, and the security server address last set
// (copied into the buffer as for KivTest_GetCall; -1 when none).
KIVAUTH_CONTROL_API int KivTest_HttpTimeout();
KIVAUTH_CONTROL_API int KivTest_SecurityServer(wchar_t* buffer, int size);

// The number of application-cache objects (from GetAppCache) still alive.
KIVAUTH_CONTROL_API int KivTest_LiveAppCaches();
