// One HTTP request to the security server, through WinHTTP. The library
// reads the policy with it and the security-database client writes it back;
// both must give up on a silent server, so every phase has a time-out.
#pragma once

#include "ComPtr.h"

#include <windows.h>
#include <winhttp.h>
#include <string>

namespace standin {

using unique_hinternet = unique_any<HINTERNET, &WinHttpCloseHandle>;

// Each of resolve, connect, send and receive, when no time-out was set.
constexpr int kDefaultHttpTimeoutMs = 30 * 1000;

// An HTTP status that no operation expects: 0x80190000 plus the status for
// 400 and above (HTTP_E_STATUS_NOT_FOUND...), HTTP_E_STATUS_UNEXPECTED else.
HRESULT HttpStatusError(DWORD status) noexcept;

// Where an "http:" address points.
struct HttpAddress {
    std::wstring host;
    INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
    std::wstring path;  // with the query, "/" when the address has none
};

// False for an address that is not "http:" with a host.
bool ParseHttpAddress(const wchar_t* url, HttpAddress& address);

struct HttpRequest {
    const wchar_t* verb = L"GET";
    std::wstring headers;  // "Name: value\r\n" lines
    const std::string* body = nullptr;
    int timeoutMs = kDefaultHttpTimeoutMs;  // 0 or less: the default
};

struct HttpResponse {
    DWORD status = 0;
    std::wstring etag;  // as the server sent it, quotes and any W/ kept
    std::string body;
};

// Sends the request on a connection of its own and reads the whole answer.
// Any status is a success here. A failure to resolve, connect, send or
// receive, and an answer larger than a policy may be, give the error and a
// message naming it.
HRESULT SendHttpRequest(const HttpAddress& address, const HttpRequest& request,
                        HttpResponse& response, std::string& error);

}  // namespace standin
