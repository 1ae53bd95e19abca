#include "KIVAuthorize.h"

struct CKIVAuthorize::Impl {};
CKIVAuthorize::CKIVAuthorize() : m_impl(nullptr) {}
CKIVAuthorize::~CKIVAuthorize() {}
bool CKIVAuthorize::InitCache() { return false; }
bool CKIVAuthorize::InitCache(const char*, unsigned long) { return false; }
bool CKIVAuthorize::RefreshCache(bool&, unsigned long) { return false; }
bool CKIVAuthorize::ClearCache(unsigned long) { return false; }
bool CKIVAuthorize::CheckAccess(const char*, unsigned long) { return false; }
bool CKIVAuthorize::CheckAccess(const char*, const char*, unsigned long) { return false; }
bool CKIVAuthorize::CheckRoleAccess(const char*, const char*, unsigned long) { return false; }
long CKIVAuthorize::GetRoles(const char*, VARIANT*) { return E_NOTIMPL; }
long CKIVAuthorize::GetRoles(const char*, VARIANT*, VARIANT*) { return E_NOTIMPL; }
long CKIVAuthorize::GetAllRoles(VARIANT*, VARIANT*) { return E_NOTIMPL; }
long CKIVAuthorize::GetSecureGroups(wchar_t*, VARIANT*, VARIANT*) { return E_NOTIMPL; }
long CKIVAuthorize::GetSecureGroupMembers(wchar_t*, wchar_t*, VARIANT*, VARIANT*) { return E_NOTIMPL; }
long CKIVAuthorize::GetSecurityId(wchar_t*, wchar_t*, wchar_t*, wchar_t**) { return E_NOTIMPL; }
VARIANT* CKIVAuthorize::GetLastVokErrors() { return nullptr; }
void CKIVAuthorize::SetHTTPTimeout(int) {}
long CKIVAuthorize::GetAppCache(IKivXml2**, wchar_t**) { return E_NOTIMPL; }
long CKIVAuthorize::GetRolesCache(CKIVRoleList**, wchar_t**) { return E_NOTIMPL; }
long CKIVAuthorize::GetRoleInfo(const char*, CKIVRole**) { return E_NOTIMPL; }
extern "C" long __stdcall SetSecurityServer(const wchar_t*, const wchar_t*) { return S_OK; }
