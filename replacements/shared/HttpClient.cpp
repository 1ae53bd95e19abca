#include "HttpClient.h"

#include "PolicyLocation.h"

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
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url, 0, 0, &parts)) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP || !parts.lpszHostName || !parts.dwHostNameLength)
        return false;
    address.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    address.port = parts.nPort;
    address.path.clear();
    if (parts.lpszUrlPath) address.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) address.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (address.path.empty()) address.path = L"/";
    return true;
}

HRESULT SendHttpRequest(const HttpAddress& address, const HttpRequest& request,
                        HttpResponse& response, std::string& error)
{
    response = HttpResponse();
    int timeout = request.timeoutMs > 0 ? request.timeoutMs : kDefaultHttpTimeoutMs;
    auto fail = [&error, timeout](const char* step) {
        DWORD code = GetLastError();
        if (code == kSocketTimeout) code = ERROR_WINHTTP_TIMEOUT;
        error = std::string(step) + ": " + Describe(code, timeout) + " (error " +
                std::to_string(code) + ")";
        return code ? HRESULT_FROM_WIN32(code) : E_FAIL;
    };

    // Straight to the server: a proxy could answer in its place.
    unique_hinternet session;
    session.reset(WinHttpOpen(L"VOK policy client", WINHTTP_ACCESS_TYPE_NO_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return fail("open");
    if (!WinHttpSetTimeouts(session.get(), timeout, timeout, timeout, timeout))
        return fail("time-outs");
    unique_hinternet connection;
    connection.reset(WinHttpConnect(session.get(), address.host.c_str(), address.port, 0));
    if (!connection) return fail("connect");
    unique_hinternet handle;
    handle.reset(WinHttpOpenRequest(connection.get(), request.verb, address.path.c_str(), nullptr,
                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!handle) return fail("request");
    // A redirect would let another server answer for this one.
    DWORD feature = WINHTTP_DISABLE_REDIRECTS;
    DWORD waitMs = static_cast<DWORD>(timeout);
    if (!WinHttpSetOption(handle.get(), WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature) ||
        !WinHttpSetOption(handle.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &waitMs,
                          sizeof waitMs))
        return fail("options");

    const std::string noBody;
    const std::string& body = request.body ? *request.body : noBody;
    if (body.size() > kMaxPolicyBytes) {
        error = "the policy is larger than 256 MB";
        return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    }
    DWORD bodySize = static_cast<DWORD>(body.size());
    void* bodyData = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
    if (!WinHttpSendRequest(
            handle.get(),
            request.headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : request.headers.c_str(),
            static_cast<DWORD>(request.headers.size()), bodyData, bodySize, bodySize, 0))
        return fail("send");
    if (!WinHttpReceiveResponse(handle.get(), nullptr)) return fail("receive");

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(handle.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return fail("receive");
    QueryTextHeader(handle.get(), WINHTTP_QUERY_ETAG, response.etag);

    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(handle.get(), &available)) return fail("receive");
        if (available == 0) break;
        size_t at = response.body.size();
        if (at + available > kMaxPolicyBytes) {
            error = "the answer is larger than 256 MB";
            return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
        }
        response.body.resize(at + available);
        DWORD read = 0;
        if (!WinHttpReadData(handle.get(), &response.body[at], available, &read))
            return fail("receive");
        response.body.resize(at + read);
        if (read == 0) break;
    }
    // A connection closed early must not pass for a shorter policy.
    DWORD length = 0;
    size = sizeof length;
    if (WinHttpQueryHeaders(handle.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &length, &size,
                            WINHTTP_NO_HEADER_INDEX) &&
        status != HTTP_STATUS_NOT_MODIFIED && length != response.body.size()) {
        error = "receive: the answer was cut short";
        return HRESULT_FROM_WIN32(ERROR_WINHTTP_CONNECTION_ERROR);
    }
    response.status = status;
    return S_OK;
}

}  // namespace standin
