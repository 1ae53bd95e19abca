// The build's own Apache httpd (tests/httpd.sh) as the tests of the policy
// over HTTP see it: addresses on it, its served folder and its access log;
// and, on the loopback too, servers that are down or never answer.
#pragma once

#include "TestHelpers.h"

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace httptest {

// The server's folder, which use_httpd() names in AUTH_HTTPD_DIR.
inline std::wstring ServerFolder()
{
    wchar_t value[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"AUTH_HTTPD_DIR", value, MAX_PATH);
    return length && length < MAX_PATH ? std::wstring(value) : std::wstring();
}

// The port the server listens on; 0 when it was not started.
inline int ServerPort()
{
    std::wstring folder = ServerFolder();
    if (folder.empty()) return 0;
    return atoi(ReadFileBytes(folder + L"\\port").c_str());
}

inline std::wstring LoopbackUrl(int port, const std::wstring& path)
{
    return L"http://127.0.0.1:" + std::to_wstring(port) + L"/" + path;
}

// The address of a file the server serves, e.g. Url(L"policy.txt").
inline std::wstring Url(const std::wstring& path)
{
    return LoopbackUrl(ServerPort(), path);
}

// The served file itself, as the server's administrator sees it.
inline std::wstring ServedFile(const std::wstring& path)
{
    std::wstring file = ServerFolder() + L"\\docs\\" + path;
    for (wchar_t& c : file)
        if (c == L'/') c = L'\\';
    return file;
}

// Puts a policy on the server as its administrator would: a new file
// renamed over the old one. An empty text removes it.
inline void Publish(const std::wstring& path, const std::string& text)
{
    std::wstring file = ServedFile(path);
    if (text.empty()) {
        DeleteFileW(file.c_str());
        return;
    }
    std::wstring fresh = file + L".new";
    HANDLE handle =
        CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    DWORD written = 0;
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(handle);
    ASSERT_TRUE(MoveFileExW(fresh.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING));
}

// The server's access log from the moment this object was made, so that a
// test sees only its own requests however often it runs.
class AccessLog {
public:
    AccessLog() : m_start(Text().size()) {}

    // The lines that name the path ("GET /x.txt 304 ..."), in order.
    std::vector<std::string> Requests(const std::wstring& path) const
    {
        std::string log = Text();
        std::string wanted = " /" + std::string(path.begin(), path.end()) + " ";
        std::vector<std::string> lines;
        size_t begin = log.size() >= m_start ? m_start : 0;
        while (begin < log.size()) {
            size_t end = log.find('\n', begin);
            if (end == std::string::npos) end = log.size();
            std::string line = log.substr(begin, end - begin);
            if (line.find(wanted) != std::string::npos) lines.push_back(line);
            begin = end + 1;
        }
        return lines;
    }

    // How many of those lines begin with the text ("PUT ", "GET /x.txt 304").
    size_t Count(const std::wstring& path, const std::string& start) const
    {
        size_t count = 0;
        for (const std::string& line : Requests(path))
            if (line.compare(0, start.size(), start) == 0) ++count;
        return count;
    }

private:
    static std::string Text() { return ReadFileBytes(ServerFolder() + L"\\logs\\access.log"); }

    size_t m_start;
};

// A listening socket on the loopback. Until Listen() it holds a port that
// nothing listens on: a server that is down. Listening, it never accepts:
// the system completes connections and takes requests, and nothing answers.
class LoopbackSocket {
public:
    LoopbackSocket()
    {
        WSADATA data;
        m_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof address;
        if (m_socket == INVALID_SOCKET ||
            bind(m_socket, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ADD_FAILURE() << "no loopback socket: " << WSAGetLastError();
            return;
        }
        m_port = ntohs(address.sin_port);
    }
    ~LoopbackSocket()
    {
        if (m_socket != INVALID_SOCKET) closesocket(m_socket);
        if (m_started) WSACleanup();
    }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    void Listen() { EXPECT_EQ(0, listen(m_socket, 8)) << WSAGetLastError(); }
    int Port() const { return m_port; }

private:
    bool m_started = false;
    SOCKET m_socket = INVALID_SOCKET;
    int m_port = 0;
};

}  // namespace httptest
