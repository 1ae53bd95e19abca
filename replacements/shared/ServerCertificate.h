// Which check a server's certificate failed. WinHTTP under Wine reports
// every failed check alike (ERROR_WINHTTP_SECURE_CHANNEL_ERROR), so after
// such a failure the certificate is fetched again with a TLS handshake of
// our own, which sends nothing else, and judged the way WinHTTP judges it.
#pragma once

#include <windows.h>
#include <winhttp.h>
#include <string>

namespace standin {

// The certificate's issuer is not among the machine's trusted roots.
constexpr HRESULT kCertificateNotTrusted = HRESULT_FROM_WIN32(ERROR_WINHTTP_SECURE_INVALID_CA);
// It names another host than the address.
constexpr HRESULT kCertificateWrongName = HRESULT_FROM_WIN32(ERROR_WINHTTP_SECURE_CERT_CN_INVALID);
// Its dates have passed, or not yet come.
constexpr HRESULT kCertificateExpired = HRESULT_FROM_WIN32(ERROR_WINHTTP_SECURE_CERT_DATE_INVALID);

// True for a WinHTTP error that may hide which check failed.
bool IsTlsFailure(DWORD error);

// The check that the certificate of host:port fails, as one of the codes
// above with its reason, within deadline (GetTickCount64). The error itself,
// with a general reason, when the certificate cannot be had or passes every
// check (the failure lay elsewhere in TLS).
HRESULT DiagnoseTlsFailure(const std::wstring& host, INTERNET_PORT port, DWORD error,
                           ULONGLONG deadline, std::string& reason);

}  // namespace standin
