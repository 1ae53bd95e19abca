#include "HttpClient.h"

#include "PolicyLocation.h"
#include "ServerCertificate.h"

#include <wincred.h>

#include <algorithm>
#include <atomic>

namespace standin {

namespace {

// The facility of HTTP status codes (HTTP_E_STATUS_*), which MinGW lacks.
constexpr int kHttpFacility = 0x19;
constexpr HRESULT kHttpStatusUnexpected = static_cast<HRESULT>(0x80190001);

// Wine's WinHTTP reports a receive time-out as the socket's.
constexpr DWORD kSocketTimeout = 10060;  // WSAETIMEDOUT

std::string Describe(DWORD error, int timeoutMs)
{
    switch (error) {
    case ERROR_WINHTTP_TIMEOUT: return "no answer within " + std::to_string(timeoutMs) + " ms";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "the server's name does not resolve";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "cannot connect";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "the connection was broken";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "not an HTTP answer";
    default: return "failed";
    }
}

// The error of a step as an HRESULT, with a message that names it.
HRESULT Failure(const char* step, DWORD code, int timeoutMs, std::string& error)
{
    if (code == kSocketTimeout) code = ERROR_WINHTTP_TIMEOUT;
    error = std::string(step) + ": " + Describe(code, timeoutMs) + " (error " +
            std::to_string(code) + ")";
    return code ? HRESULT_FROM_WIN32(code) : E_FAIL;
}

std::string Narrow(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                            nullptr, nullptr);
    return out;
}

// The generic credential stored for the target, as cmdkey /generic: stores
// it: the password in UTF-16. The caller wipes the password after use.
bool ReadStoredCredential(const std::wstring& target, std::wstring& user, std::wstring& password)
{
    PCREDENTIALW stored = nullptr;
    if (!CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &stored)) return false;
    std::unique_ptr<CREDENTIALW, decltype(&CredFree)> owner(stored, &CredFree);
    if (!stored->UserName || stored->CredentialBlobSize % sizeof(wchar_t)) return false;
    user = stored->UserName;
    password.assign(reinterpret_cast<const wchar_t*>(stored->CredentialBlob),
                    stored->CredentialBlobSize / sizeof(wchar_t));
    SecureZeroMemory(stored->CredentialBlob, stored->CredentialBlobSize);
    return true;
}

void Wipe(std::wstring& secret)
{
    if (!secret.empty()) SecureZeroMemory(&secret[0], secret.size() * sizeof(wchar_t));
    secret.clear();
}

bool QueryTextHeader(HINTERNET request, DWORD info, std::wstring& value)
{
    DWORD size = 0;
    WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return false;
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, &buffer[0], &size,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    buffer.resize(size / sizeof(wchar_t));
    value = buffer;
    return true;
}

bool QueryNumberHeader(HINTERNET request, DWORD info, DWORD& value)
{
    DWORD size = sizeof value;
    return WinHttpQueryHeaders(request, info | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &value, &size,
                               WINHTTP_NO_HEADER_INDEX) != FALSE;
}

// One request, shared by the caller and the thread that makes it. Whichever
// of the two lets go last frees it, so that a caller gone at the deadline
// leaves nothing behind that the thread still writes to.
struct Exchange {
    HttpAddress address;
    HttpRequest request;
    int timeoutMs = kDefaultHttpTimeoutMs;
    ULONGLONG deadline = 0;
    unique_handle done;
    HMODULE module = nullptr;  // held by the thread while it runs
    std::atomic<long> owners{2};
    std::atomic<bool> abandoned{false};
    std::atomic<const char*> step{"send"};
    HRESULT result = E_FAIL;
    HttpResponse response;
    std::string error;

    void Release()
    {
        if (--owners == 0) delete this;
    }

    HRESULT Fail(const char* at) { return Failure(at, GetLastError(), timeoutMs, error); }

    // Starts a phase or a read: WinHTTP's time-outs become the time left
    // (WinHttpSetTimeouts reaches the socket at once, an option set after
    // the headers does not). False, with ERROR_WINHTTP_TIMEOUT, once the
    // deadline has passed or the caller gave up.
    bool Enter(HINTERNET handle, const char* at)
    {
        step = at;
        ULONGLONG now = GetTickCount64();
        if (abandoned || now >= deadline) {
            SetLastError(ERROR_WINHTTP_TIMEOUT);
            return false;
        }
        DWORD left = static_cast<DWORD>(deadline - now);
        int ms = static_cast<int>(left);
        return WinHttpSetTimeouts(handle, ms, ms, ms, ms) &&
               WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &left,
                                sizeof left);
    }

    HRESULT Run();
    HRESULT SendOnce(HINTERNET handle, DWORD& status);
    HRESULT SignIn(HINTERNET handle, DWORD& status);
    HRESULT ReadWholeBody(HINTERNET handle);
};

// Sends the request (again, after credentials were set) and takes the status.
HRESULT Exchange::SendOnce(HINTERNET handle, DWORD& status)
{
    static const std::string noBody;
    const std::string& body = request.body ? *request.body : noBody;
    DWORD bodySize = static_cast<DWORD>(body.size());
    void* bodyData = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
    // Resolving, connecting, the handshake and sending.
    if (!Enter(handle, "send") ||
        !WinHttpSendRequest(
            handle,
            request.headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : request.headers.c_str(),
            static_cast<DWORD>(request.headers.size()), bodyData, bodySize, bodySize, 0)) {
        DWORD code = GetLastError();
        if (address.secure && IsTlsFailure(code)) {
            std::string reason;
            HRESULT hr = DiagnoseTlsFailure(address.host, address.port, code, deadline, reason);
            error = "send: " + reason + " (error " + std::to_string(HRESULT_CODE(hr)) + ")";
            return hr;
        }
        return Failure("send", code, timeoutMs, error);
    }
    if (!Enter(handle, "receive") || !WinHttpReceiveResponse(handle, nullptr))
        return Fail("receive");
    if (!QueryNumberHeader(handle, WINHTTP_QUERY_STATUS_CODE, status)) return Fail("receive");
    return S_OK;
}

// Answers a 401 once with the credential stored for the origin. Basic only,
// and only over TLS, where nobody on the path reads it.
HRESULT Exchange::SignIn(HINTERNET handle, DWORD& status)
{
    const std::string target = Narrow(address.origin);
    auto refuse = [this](const std::string& why) {
        error = why + " (HTTP 401)";
        return kServerWantsCredentials;
    };
    if (!address.secure)
        return refuse("the server asks for credentials, which are sent over https: only");
    DWORD schemes = 0, first = 0, on = 0;
    if (!WinHttpQueryAuthSchemes(handle, &schemes, &first, &on) ||
        !(schemes & WINHTTP_AUTH_SCHEME_BASIC))
        return refuse("the server asks for credentials in a way other than Basic");
    std::wstring user, password;
    if (!ReadStoredCredential(address.origin, user, password))
        return refuse("the server asks for credentials, and none is stored for " + target +
                      " (a generic credential)");
    BOOL set = WinHttpSetCredentials(handle, WINHTTP_AUTH_TARGET_SERVER, WINHTTP_AUTH_SCHEME_BASIC,
                                     user.c_str(), password.c_str(), nullptr);
    Wipe(password);
    if (!set) return Fail("credentials");
    HRESULT hr = SendOnce(handle, status);
    if (FAILED(hr)) return hr;
    if (status == HTTP_STATUS_DENIED)
        return refuse("the server refused the credential stored for " + target);
    return S_OK;
}

HRESULT Exchange::Run()
{
    // Straight to the server: a proxy could answer in its place.
    unique_hinternet session;
    session.reset(WinHttpOpen(L"VOK policy client", WINHTTP_ACCESS_TYPE_NO_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return Fail("open");
    unique_hinternet connection;
    connection.reset(WinHttpConnect(session.get(), address.host.c_str(), address.port, 0));
    if (!connection) return Fail("connect");
    unique_hinternet handle;
    // The certificate is checked in full: no SECURITY_FLAG_IGNORE_* is ever set.
    handle.reset(WinHttpOpenRequest(connection.get(), request.verb, address.path.c_str(), nullptr,
                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                    address.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!handle) return Fail("request");
    // A redirect would let another server answer for this one. The
    // process's own logon (NTLM, Negotiate) is never offered by itself.
    DWORD feature = WINHTTP_DISABLE_REDIRECTS;
    DWORD logon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
    if (!WinHttpSetOption(handle.get(), WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature) ||
        !WinHttpSetOption(handle.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon))
        return Fail("options");

    DWORD status = 0;
    HRESULT hr = SendOnce(handle.get(), status);
    if (SUCCEEDED(hr) && status == HTTP_STATUS_DENIED) hr = SignIn(handle.get(), status);
    if (FAILED(hr)) return hr;
    if (status == HTTP_STATUS_FORBIDDEN) {
        error = "the server refuses this request to " +
                (address.secure ? "the credential stored for " + Narrow(address.origin)
                                : std::string("an anonymous client")) +
                " (HTTP 403)";
        return kServerForbids;
    }
    QueryTextHeader(handle.get(), WINHTTP_QUERY_ETAG, response.etag);
    if (status == HTTP_STATUS_OK && request.readBody) {
        hr = ReadWholeBody(handle.get());
        if (FAILED(hr)) return hr;
    }
    response.status = status;
    return S_OK;
}

// A body is whole when it met the Content-Length it declared. WinHTTP (under
// Wine, at least) ends a body without an error however it ends: the
// connection closed early, a chunked body short of its last chunk or
// broken off inside one. A declared length is the one check left.
HRESULT Exchange::ReadWholeBody(HINTERNET handle)
{
    auto refuse = [this](HRESULT code, const std::string& why) {
        error = "receive: " + why + " (error " + std::to_string(HRESULT_CODE(code)) + ")";
        return code;
    };
    std::wstring coding;
    if (QueryTextHeader(handle, WINHTTP_QUERY_TRANSFER_ENCODING, coding))
        return refuse(kAnswerLengthUnknown, "the answer came in a transfer coding (" +
                                                std::string(coding.begin(), coding.end()) +
                                                "), whose end is not checked here: it "
                                                "cannot be known whole");
    DWORD length = 0;
    if (!QueryNumberHeader(handle, WINHTTP_QUERY_CONTENT_LENGTH, length))
        return refuse(kAnswerLengthUnknown,
                      "the answer gives no length (Content-Length): it cannot be known whole");
    if (length > kMaxPolicyBytes) {
        error = "receive: the answer is larger than 256 MB";
        return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    }
    std::string& body = response.body;
    while (body.size() < length) {
        DWORD available = 0;
        if (!Enter(handle, "receive") || !WinHttpQueryDataAvailable(handle, &available))
            return Fail("receive");
        if (available == 0) break;
        size_t at = body.size();
        // Grown as bytes come, not to what the server claims.
        body.resize(at + std::min<size_t>(available, length - at));
        DWORD read = 0;
        if (!WinHttpReadData(handle, &body[at], static_cast<DWORD>(body.size() - at), &read))
            return Fail("receive");
        body.resize(at + read);
        if (read == 0) break;
    }
    if (body.size() != length)
        return refuse(kAnswerCutShort, "the answer was cut short: " + std::to_string(body.size()) +
                                           " of " + std::to_string(length) + " bytes");
    return S_OK;
}

DWORD WINAPI RunExchange(void* parameter)
{
    auto* exchange = static_cast<Exchange*>(parameter);
    HMODULE module = exchange->module;
    try {
        exchange->result = exchange->Run();
    } catch (...) {
        exchange->error = "out of memory";
        exchange->result = E_OUTOFMEMORY;
    }
    SetEvent(exchange->done.get());
    exchange->Release();
    // Never back into this DLL's code, which the last reference may unload.
    FreeLibraryAndExitThread(module, 0);
}

}  // namespace

HRESULT HttpStatusError(DWORD status) noexcept
{
    if (status >= 400 && status <= 0xFFFF)
        return MAKE_HRESULT(SEVERITY_ERROR, kHttpFacility, status);
    return kHttpStatusUnexpected;
}

bool ParseHttpAddress(const wchar_t* url, HttpAddress& address)
{
    if (!url || !*url) return false;
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    // Lengths of -1: point into the address rather than copy.
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength =
        parts.dwExtraInfoLength = parts.dwUserNameLength = parts.dwPasswordLength =
            static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url, 0, 0, &parts)) return false;
    if ((parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        !parts.lpszHostName || !parts.dwHostNameLength)
        return false;
    address.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    address.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    address.port = parts.nPort;
    address.hasUserInfo = parts.dwUserNameLength || parts.dwPasswordLength;
    address.path.clear();
    if (parts.lpszUrlPath) address.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) address.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (address.path.empty()) address.path = L"/";
    std::wstring text = url;
    size_t authority = text.find(L"://");
    if (authority == std::wstring::npos) return false;
    authority += 3;
    size_t end = text.find_first_of(L"/?#", authority);
    address.origin = text.substr(0, end);
    // An IPv6 literal, which WinHttpCrackUrl under Wine cuts at its first
    // colon: the host is the bracketed text, the port what follows it.
    if (!address.hasUserInfo && authority < text.size() && text[authority] == L'[') {
        size_t close = text.find(L']', authority);
        if (close == std::wstring::npos || close > end) return false;
        address.host = text.substr(authority, close + 1 - authority);
        std::wstring rest =
            text.substr(close + 1, end == std::wstring::npos ? end : end - close - 1);
        address.port = address.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
        if (!rest.empty()) {
            if (rest[0] != L':' || rest.size() < 2 || rest.size() > 6 ||
                rest.find_first_not_of(L"0123456789", 1) != std::wstring::npos)
                return false;
            unsigned long port = wcstoul(rest.c_str() + 1, nullptr, 10);
            if (port == 0 || port > 65535) return false;
            address.port = static_cast<INTERNET_PORT>(port);
        }
    }
    return true;
}

std::wstring AddressForMessages(const wchar_t* url)
{
    // Rebuilt from what WinHTTP reads in it when it carries user info, so
    // that nothing it would take for a user name or password can come along.
    HttpAddress address;
    if (!url) return std::wstring();
    if (!ParseHttpAddress(url, address)) {
        // Another scheme: whatever sits before an "@" of its authority goes.
        std::wstring text = url;
        size_t start = text.find(L"://");
        if (start == std::wstring::npos) return text;
        start += 3;
        size_t end = text.find_first_of(L"/?#", start);
        size_t at = text.rfind(L'@', end == std::wstring::npos ? std::wstring::npos : end);
        if (at == std::wstring::npos || at < start) return text;
        return text.substr(0, start) + text.substr(at + 1);
    }
    if (!address.hasUserInfo) return url;
    return (address.secure ? L"https://" : L"http://") + address.host + L":" +
           std::to_wstring(address.port) + address.path;
}

HRESULT SendHttpRequest(const HttpAddress& address, const HttpRequest& request,
                        HttpResponse& response, std::string& error)
{
    response = HttpResponse();
    // Checked here too, for a setting changed since the address was taken.
    if (address.hasUserInfo) {
        error = kUserInfoReason;
        return E_INVALIDARG;
    }
    if (!address.secure && !PlainHttpAllowed(address.host, MachineAllowsPlainHttp())) {
        error = kPlainHttpRefusedReason;
        return kPlainHttpRefused;
    }
    const std::string* body = request.body.get();
    if (body && body->size() > kMaxPolicyBytes) {
        error = "the policy is larger than 256 MB";
        return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    }
    std::unique_ptr<Exchange> owned(new Exchange);
    owned->address = address;
    owned->request = request;
    owned->timeoutMs = request.timeoutMs > 0 ? request.timeoutMs : kDefaultHttpTimeoutMs;
    owned->deadline = GetTickCount64() + static_cast<ULONGLONG>(owned->timeoutMs);
    owned->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    // The thread holds this DLL for as long as it runs.
    HANDLE thread = nullptr;
    DWORD code = 0;
    if (owned->done &&
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(&RunExchange), &owned->module)) {
        thread = CreateThread(nullptr, 0, &RunExchange, owned.get(), 0, nullptr);
        if (!thread) {
            code = GetLastError();
            FreeLibrary(owned->module);
        }
    } else {
        code = GetLastError();
    }
    if (!thread) return Failure("start", code, owned->timeoutMs, error);
    CloseHandle(thread);
    Exchange* exchange = owned.release();  // the thread's and this call's from here on

    ULONGLONG now = GetTickCount64();
    DWORD left = now < exchange->deadline ? static_cast<DWORD>(exchange->deadline - now) : 0;
    HRESULT hr;
    if (WaitForSingleObject(exchange->done.get(), left) == WAIT_OBJECT_0) {
        hr = exchange->result;
        error = std::move(exchange->error);
        if (SUCCEEDED(hr)) response = std::move(exchange->response);
    } else {
        // WinHTTP under Wine stops waiting for the headers only when a
        // single receive is late, so the thread may be there for long yet:
        // it ends at its next step, or when the server stops sending. What
        // it writes is its own from here on.
        exchange->abandoned = true;
        hr = Failure(exchange->step, ERROR_WINHTTP_TIMEOUT, exchange->timeoutMs, error);
    }
    exchange->Release();
    return hr;
}

}  // namespace standin
