// The build's own Apache httpd (tests/httpd.sh) as the tests of the policy
// over HTTP see it: addresses on it, plain and over TLS, its served folder,
// its access log, its users and the run's CA; and, on the loopback too,
// servers that are down, never answer, or answer with canned bytes that no
// honest server would send.
#pragma once

#include "TestHelpers.h"

#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
#include <wincred.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
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

// The value of a "name value" line of a file in the server's folder; empty
// when there is none.
inline std::string ServerSetting(const std::wstring& file, const std::string& name)
{
    std::istringstream lines(ReadFileBytes(ServerFolder() + L"\\" + file));
    std::string key, value;
    while (lines >> key >> value)
        if (key == name) return value;
    return std::string();
}

// The TLS port whose certificate is "good" (localhost and 127.0.0.1, from
// the run's CA), "wrong-name", "expired" or "stranger" (from a CA nobody
// trusts); 0 when there is none.
inline int TlsPort(const std::string& certificate)
{
    return atoi(ServerSetting(L"tls-ports", certificate).c_str());
}

// An https: address on the server. By name: Wine's WinHTTP matches a
// certificate's DNS names only, not its IP addresses.
inline std::wstring TlsUrl(const std::string& certificate, const std::wstring& path)
{
    return L"https://localhost:" + std::to_wstring(TlsPort(certificate)) + L"/" + path;
}

// The origin of those addresses, the TargetName of their credential.
inline std::wstring TlsOrigin(const std::string& certificate)
{
    return L"https://localhost:" + std::to_wstring(TlsPort(certificate));
}

// The password of one of the server's users ("admin" writes, "reader" reads).
inline std::wstring Password(const std::string& user)
{
    std::string password = ServerSetting(L"tls\\users", user);
    return std::wstring(password.begin(), password.end());
}

// Trusts the run's CA in this Wine prefix's machine Root store, as an
// administrator trusts a site's CA. Never the host's store.
inline void TrustServersCa()
{
    std::string der = ReadFileBytes(ServerFolder() + L"\\tls\\ca.der");
    ASSERT_FALSE(der.empty()) << "no CA in the server's folder";
    HCERTSTORE root =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    ASSERT_TRUE(root) << GetLastError();
    BOOL added = CertAddEncodedCertificateToStore(
        root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
        static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING, nullptr);
    DWORD error = GetLastError();
    // The store is written out when it is closed.
    CertCloseStore(root, 0);
    ASSERT_TRUE(added) << error;
}

// A generic credential, as "cmdkey /generic:TARGET /user:USER /pass:..."
// stores it; an empty user removes it.
inline void StoreCredential(const std::wstring& target, const std::wstring& user,
                            const std::wstring& password)
{
    if (user.empty()) {
        CredDeleteW(target.c_str(), CRED_TYPE_GENERIC, 0);
        return;
    }
    CREDENTIALW credential = {};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = const_cast<wchar_t*>(target.c_str());
    credential.UserName = const_cast<wchar_t*>(user.c_str());
    credential.CredentialBlob = reinterpret_cast<BYTE*>(const_cast<wchar_t*>(password.data()));
    credential.CredentialBlobSize = static_cast<DWORD>(password.size() * sizeof(wchar_t));
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    ASSERT_TRUE(CredWriteW(&credential, 0)) << GetLastError();
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

// The threads of this process, counted.
inline size_t ThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    size_t count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

// Waits, at most timeoutMs, until no more threads run than did before: a
// request that the client gave up on ends once its server has gone, and a
// process that ended while it still ran could die in Wine's teardown.
inline void WaitForThreadsBackTo(size_t before, DWORD timeoutMs)
{
    ULONGLONG end = GetTickCount64() + timeoutMs;
    while (ThreadCount() > before && GetTickCount64() < end) Sleep(20);
}

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
    SOCKET Handle() const { return m_socket; }

private:
    bool m_started = false;
    SOCKET m_socket = INVALID_SOCKET;
    int m_port = 0;
};

// What a scripted server answers on one connection: raw bytes, the first
// atOnce of them together and then one byte every paceMs (0: all at once),
// after which it closes the connection.
struct CannedAnswer {
    std::string bytes;
    size_t atOnce = std::string::npos;
    DWORD paceMs = 0;
};

// A server on the loopback that answers each connection, in turn, with the
// next canned answer. A connection past the last answer is closed without
// one. It records the head of every request (request line and header
// lines). It stops when destroyed, or by itself after kLifetimeMs; a drip
// ends when the client goes away.
class ScriptedServer {
public:
    static constexpr ULONGLONG kLifetimeMs = 60 * 1000;

    explicit ScriptedServer(std::vector<CannedAnswer> answers) : m_answers(std::move(answers))
    {
        m_listener.Listen();
        if (m_listener.Port()) m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedServer()
    {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int Port() const { return m_listener.Port(); }
    std::wstring Url(const std::wstring& path) const { return LoopbackUrl(Port(), path); }

    // The heads of the requests so far, in order.
    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_requests;
    }

private:
    static constexpr DWORD kPollMs = 50;
    static constexpr size_t kMaxHead = 64 * 1024;

    bool Live() const { return !m_stop && GetTickCount64() < m_end; }

    // Something to accept or read within a poll.
    static bool Readable(SOCKET s)
    {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait = {0, static_cast<long>(kPollMs * 1000)};
        return select(0, &set, nullptr, nullptr, &wait) == 1;
    }

    void Serve()
    {
        for (size_t served = 0; Live();) {
            if (!Readable(m_listener.Handle())) continue;
            SOCKET client = accept(m_listener.Handle(), nullptr, nullptr);
            if (client == INVALID_SOCKET) continue;
            std::string head = ReadHead(client);
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_requests.push_back(head);
            }
            if (served < m_answers.size()) Answer(client, m_answers[served]);
            ++served;
            shutdown(client, SD_SEND);
            closesocket(client);
        }
    }

    std::string ReadHead(SOCKET client)
    {
        std::string head;
        while (Live() && head.size() < kMaxHead && head.find("\r\n\r\n") == std::string::npos) {
            if (!Readable(client)) continue;
            char buffer[4096];
            int got = recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            head.append(buffer, static_cast<size_t>(got));
        }
        return head.substr(0, head.find("\r\n\r\n"));
    }

    void Answer(SOCKET client, const CannedAnswer& answer)
    {
        const std::string& bytes = answer.bytes;
        size_t at = answer.paceMs ? std::min(answer.atOnce, bytes.size()) : bytes.size();
        if (at && send(client, bytes.data(), static_cast<int>(at), 0) != static_cast<int>(at))
            return;
        for (; at < bytes.size() && Live(); ++at) {
            Sleep(answer.paceMs);
            if (send(client, &bytes[at], 1, 0) != 1) return;  // the client went away
        }
    }

    std::vector<CannedAnswer> m_answers;
    LoopbackSocket m_listener;  // closed only once the thread has ended
    std::atomic<bool> m_stop{false};
    ULONGLONG m_end = GetTickCount64() + kLifetimeMs;
    std::mutex m_lock;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

}  // namespace httptest
