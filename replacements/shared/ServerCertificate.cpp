#include "ServerCertificate.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <memory>

namespace standin {

namespace {

constexpr int kHandshakeRounds = 16;
constexpr size_t kMaxHandshakeBytes = size_t{256} * 1024;
// FIONBIO is an unsigned constant that ioctlsocket takes as a long.
const long kNonBlockingIo = static_cast<long>(FIONBIO);

struct WinsockUse {
    bool started = false;
    WinsockUse()
    {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockUse()
    {
        if (started) WSACleanup();
    }
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;
};

struct Socket {
    SOCKET s = INVALID_SOCKET;
    ~Socket()
    {
        if (s != INVALID_SOCKET) closesocket(s);
    }
};

DWORD MsLeft(ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

// Connected within the deadline, to the first address of the host that answers.
bool Connect(const std::wstring& host, INTERNET_PORT port, ULONGLONG deadline, Socket& out)
{
    ADDRINFOW hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* found = nullptr;
    if (GetAddrInfoW(host.c_str(), std::to_wstring(port).c_str(), &hints, &found) != 0)
        return false;
    std::unique_ptr<ADDRINFOW, decltype(&FreeAddrInfoW)> owner(found, &FreeAddrInfoW);
    for (ADDRINFOW* at = found; at; at = at->ai_next) {
        Socket candidate;
        candidate.s = socket(at->ai_family, at->ai_socktype, at->ai_protocol);
        if (candidate.s == INVALID_SOCKET) continue;
        u_long nonBlocking = 1;
        ioctlsocket(candidate.s, kNonBlockingIo, &nonBlocking);
        if (connect(candidate.s, at->ai_addr, static_cast<int>(at->ai_addrlen)) != 0 &&
            WSAGetLastError() != WSAEWOULDBLOCK)
            continue;
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_SET(candidate.s, &writable);
        FD_ZERO(&failed);
        FD_SET(candidate.s, &failed);
        DWORD left = MsLeft(deadline);
        timeval wait = {static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
        if (select(0, nullptr, &writable, &failed, &wait) != 1 || !FD_ISSET(candidate.s, &writable))
            continue;
        nonBlocking = 0;
        ioctlsocket(candidate.s, kNonBlockingIo, &nonBlocking);
        std::swap(out.s, candidate.s);
        return true;
    }
    return false;
}

bool SendAll(SOCKET s, const char* data, size_t size)
{
    while (size) {
        int sent = send(s, data, static_cast<int>(size), 0);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool ReceiveMore(SOCKET s, ULONGLONG deadline, std::string& into)
{
    DWORD left = MsLeft(deadline);
    if (!left || into.size() > kMaxHandshakeBytes) return false;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&left), sizeof left);
    char buffer[8192];
    int got = recv(s, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    into.append(buffer, static_cast<size_t>(got));
    return true;
}

// The certificate the server shows in a handshake that checks nothing and
// sends nothing but the handshake.
PCCERT_CONTEXT FetchCertificate(const std::wstring& host, INTERNET_PORT port, ULONGLONG deadline)
{
    WinsockUse winsock;
    Socket connection;
    if (!winsock.started || !Connect(host, port, deadline, connection)) return nullptr;

    SCHANNEL_CRED settings = {};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    CredHandle credentials;
    TimeStamp expiry;
    if (AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &settings, nullptr, nullptr, &credentials,
                                  &expiry) != SEC_E_OK)
        return nullptr;
    CtxtHandle context;
    bool haveContext = false;
    const ULONG wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                         ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
    std::wstring target = host;
    std::string received;
    SECURITY_STATUS status = SEC_E_INTERNAL_ERROR;
    for (int round = 0; round < kHandshakeRounds; ++round) {
        SecBuffer in[2] = {{static_cast<ULONG>(received.size()), SECBUFFER_TOKEN, &received[0]},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
        SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
        ULONG granted = 0;
        status = InitializeSecurityContextW(
            &credentials, haveContext ? &context : nullptr, &target[0], wanted, 0, 0,
            haveContext ? &inDesc : nullptr, 0, &context, &outDesc, &granted, nullptr);
        haveContext = haveContext || status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK ||
                      status == SEC_E_INCOMPLETE_MESSAGE;
        if (out.pvBuffer) {
            bool sent = SendAll(connection.s, static_cast<const char*>(out.pvBuffer), out.cbBuffer);
            FreeContextBuffer(out.pvBuffer);
            if (!sent) break;
        }
        if (status == SEC_E_OK) break;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            if (!ReceiveMore(connection.s, deadline, received)) break;
            continue;
        }
        if (status != SEC_I_CONTINUE_NEEDED) break;
        if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= received.size())
            received.erase(0, received.size() - in[1].cbBuffer);
        else
            received.clear();
        if (received.empty() && !ReceiveMore(connection.s, deadline, received)) break;
    }
    PCCERT_CONTEXT certificate = nullptr;
    if (status == SEC_E_OK && QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                                                      &certificate) != SEC_E_OK)
        certificate = nullptr;
    if (haveContext) DeleteSecurityContext(&context);
    FreeCredentialsHandle(&credentials);
    return certificate;
}

// The certificate judged as WinHTTP judges it: dates, then the issuer, then
// the name.
HRESULT Judge(PCCERT_CONTEXT certificate, const std::wstring& host, std::string& reason)
{
    LPSTR serverUse = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverUse;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &para, 0,
                                 nullptr, &chain))
        return S_OK;
    std::unique_ptr<const CERT_CHAIN_CONTEXT, decltype(&CertFreeCertificateChain)> owner(
        chain, &CertFreeCertificateChain);
    DWORD trust = chain->TrustStatus.dwErrorStatus;
    if (trust & CERT_TRUST_IS_NOT_TIME_VALID) {
        reason = "the server's certificate has expired or is not yet valid";
        return kCertificateExpired;
    }
    if (trust & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                 CERT_TRUST_IS_NOT_SIGNATURE_VALID)) {
        reason =
            "the server's certificate is not trusted: its issuer is not among this "
            "machine's trusted roots";
        return kCertificateNotTrusted;
    }
    HTTPSPolicyCallbackData extra = {};
    extra.cbStruct = sizeof extra;
    extra.dwAuthType = AUTHTYPE_SERVER;
    std::wstring name = host;
    extra.pwszServerName = &name[0];
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &extra;
    CERT_CHAIN_POLICY_STATUS result = {};
    result.cbSize = sizeof result;
    if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result) &&
        result.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
        reason = "the server's certificate is for another host";
        return kCertificateWrongName;
    }
    return S_OK;
}

}  // namespace

bool IsTlsFailure(DWORD error)
{
    switch (error) {
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE: return true;
    default: return false;
    }
}

HRESULT DiagnoseTlsFailure(const std::wstring& host, INTERNET_PORT port, DWORD error,
                           ULONGLONG deadline, std::string& reason)
{
    std::wstring bare = host;
    if (bare.size() > 2 && bare.front() == L'[' && bare.back() == L']')
        bare = bare.substr(1, bare.size() - 2);
    PCCERT_CONTEXT certificate = FetchCertificate(bare, port, deadline);
    if (certificate) {
        HRESULT hr = Judge(certificate, bare, reason);
        CertFreeCertificateContext(certificate);
        if (FAILED(hr)) return hr;
    }
    switch (error) {
    case ERROR_WINHTTP_SECURE_INVALID_CA:
        reason = "the server's certificate is not trusted";
        return kCertificateNotTrusted;
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        reason = "the server's certificate is for another host";
        return kCertificateWrongName;
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        reason = "the server's certificate has expired or is not yet valid";
        return kCertificateExpired;
    default: reason = "the secure connection failed"; return HRESULT_FROM_WIN32(error);
    }
}

}  // namespace standin
