// One HTTP request to the security server, through WinHTTP. The library
// reads the policy with it and the security-database client writes it back.
//
// The time-out is the limit for the WHOLE request: resolve, connect, send,
// the answer's headers and every read of its body together, not each of them.
// Each phase and each read gets WinHTTP's time-outs set to the time left,
// but under Wine those bound each receive only (a server that sends a byte
// a second never trips them) and a change made after the headers never
// reaches the socket. So the request runs on a thread of its own and the
// caller waits for it until the deadline: past it the caller has
// ERROR_WINHTTP_TIMEOUT, and the thread, left behind, stops at its next step
// or when the server stops sending.
#pragma once

#include "ResourceOwners.h"

#include <windows.h>
#include <winhttp.h>
#include <memory>
#include <string>

namespace standin {

using unique_hinternet = unique_any<HINTERNET, &WinHttpCloseHandle>;

// The whole request, when no time-out was set.
constexpr int kDefaultHttpTimeoutMs = 30 * 1000;

// A body can be taken only when it is known whole: a Content-Length that the
// bytes received met. One with fewer bytes was cut short...
constexpr HRESULT kAnswerCutShort = HRESULT_FROM_WIN32(ERROR_WINHTTP_CONNECTION_ERROR);
// ...and one without a length ends wherever the connection happened to end.
// A chunked body is refused too: WinHTTP under Wine ends one that lost its
// last chunk, or broke off inside a chunk, exactly as a whole one, without an
// error, so its end cannot be checked.
constexpr HRESULT kAnswerLengthUnknown = HRESULT_FROM_WIN32(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);

// The server asked for credentials (401) and none were stored for its
// origin, the stored ones were refused, or it asked over plain http:, where
// none are ever sent.
constexpr HRESULT kServerWantsCredentials = HRESULT_FROM_WIN32(ERROR_LOGON_FAILURE);
// The server refused the request to whoever made it (403).
constexpr HRESULT kServerForbids = E_ACCESSDENIED;

// An HTTP status that no operation expects: 0x80190000 plus the status for
// 400 and above (HTTP_E_STATUS_NOT_FOUND...), HTTP_E_STATUS_UNEXPECTED else.
HRESULT HttpStatusError(DWORD status) noexcept;

// Where an "http:" or "https:" address points.
struct HttpAddress {
    bool secure = false;  // https:
    std::wstring host;
    INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
    std::wstring path;         // with the query, "/" when the address has none
    bool hasUserInfo = false;  // a user name or password: such an address is refused
    // Scheme, host and port as the address writes them
    // ("https://policy.plant.example:8443"): the TargetName of the generic
    // credential that answers the server's 401.
    std::wstring origin;
};

// False for an address that is not "http:" or "https:" with a host.
bool ParseHttpAddress(const wchar_t* url, HttpAddress& address);

// The address as a message may show it: as given, or "http://host:port/path"
// when it carries a user name or password (such an address is refused). Of
// an address of another scheme, whatever precedes an "@" in its authority
// is left out.
std::wstring AddressForMessages(const wchar_t* url);

struct HttpRequest {
    const wchar_t* verb = L"GET";
    std::wstring headers;                     // "Name: value\r\n" lines
    std::shared_ptr<const std::string> body;  // none when null
    int timeoutMs = kDefaultHttpTimeoutMs;    // the whole request; 0 or less: the default
    // The body of a 200 answer is read, and must be whole. Without it no
    // body is read at all (the answer to a PUT says all in its status).
    bool readBody = true;
};

struct HttpResponse {
    DWORD status = 0;
    std::wstring etag;  // as the server sent it, quotes and any W/ kept
    std::string body;   // of a 200 answer, when the request reads one
};

// Sends the request on a connection of its own and reads the answer. Over
// https:, the server's certificate must chain to the machine's trusted
// roots, name the host and be in date; a failed check gives
// kCertificateNotTrusted, kCertificateWrongName or kCertificateExpired
// (ServerCertificate.h). A 401 is answered once, over https: only, with
// the generic credential stored for the address's origin (Basic); a 401
// after it, or without one, gives kServerWantsCredentials, a 403
// kServerForbids. An address with user info gives E_INVALIDARG, and plain
// http: that the machine does not allow kPlainHttpRefused, before anything
// is sent. Any other status is a success here. A failure to resolve, connect, send or
// receive, a request that ran past its time-out, a body of a 200 answer
// that is not known whole (kAnswerCutShort, kAnswerLengthUnknown) or larger
// than a policy may be, give the error and a message naming it.
HRESULT SendHttpRequest(const HttpAddress& address, const HttpRequest& request,
                        HttpResponse& response, std::string& error);

}  // namespace standin
