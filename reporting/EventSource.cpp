#include "EventSource.h"

#include "ResourceOwners.h"
#include "HostModule.h"
#include "ProcAddress.h"

#include <winsock.h>
#include <new>
#include <string>
#include <vector>

namespace {

// Shared by every apartment of the process. The library handle is published
// atomically; the address is set once under the lock and then only read.
HMODULE g_networkLibrary = nullptr;
SRWLOCK g_addressLock = SRWLOCK_INIT;
BstrText g_address;

// Static objects go when the module is unloaded, and with them this state.
struct EventSourceStateRelease {
    ~EventSourceStateRelease() { ReleaseEventSourceState(); }
} g_release;

const DWORD kPathChars = 520;
const DWORD kNameChars = 256;

HRESULT LastErrorResult() noexcept
{
    return HRESULT_FROM_WIN32(GetLastError());
}

// Level-1 workstation-user records: user name, then logon domain.
struct WorkstationUserW {
    wchar_t* userName;
    wchar_t* logonDomain;
    wchar_t* otherDomains;
    wchar_t* logonServer;
};
struct WorkstationUserA {
    char* userName;
    char* logonDomain;
    char* otherDomains;
    char* logonServer;
};
typedef DWORD(WINAPI* WorkstationUserGetInfo)(void* reserved, DWORD level, BYTE** buffer);
typedef DWORD(WINAPI* ApiBufferFree)(void* buffer);

HMODULE NetworkLibrary(const char* name) noexcept
{
    if (HMODULE library = static_cast<HMODULE>(InterlockedCompareExchangePointer(
            reinterpret_cast<void**>(&g_networkLibrary), nullptr, nullptr)))
        return library;
    HMODULE loaded = LoadLibraryA(name);
    if (!loaded) return nullptr;
    // Two apartments may load at once: the first handle stays, the other goes.
    if (void* earlier = InterlockedCompareExchangePointer(
            reinterpret_cast<void**>(&g_networkLibrary), loaded, nullptr)) {
        FreeLibrary(loaded);
        return static_cast<HMODULE>(earlier);
    }
    return loaded;
}

void AskWorkstationService(HMODULE library, bool wide, BstrText& user, BstrText& domain)
{
    auto getInfo = GetProcAddressAs<WorkstationUserGetInfo>(
        library, wide ? "NetWkstaUserGetInfo" : "NetWkstaUserGetInfoA");
    auto bufferFree = GetProcAddressAs<ApiBufferFree>(library, "NetApiBufferFree");
    if (!getInfo || !bufferFree) return;

    BYTE* buffer = nullptr;
    DWORD status = getInfo(nullptr, 1, &buffer);
    struct BufferRelease {
        ApiBufferFree free;
        BYTE* buffer;
        ~BufferRelease()
        {
            if (buffer) free(buffer);
        }
    } release{bufferFree, buffer};
    if (status != 0 || !buffer) return;
    if (wide) {
        auto* record = reinterpret_cast<WorkstationUserW*>(buffer);
        user = BstrText(record->userName);
        domain = BstrText(record->logonDomain);
    } else {
        auto* record = reinterpret_cast<WorkstationUserA*>(buffer);
        user = BstrText::FromAcp(record->userName);
        domain = BstrText::FromAcp(record->logonDomain);
    }
}

void StoreAddress(const char* address)
{
    BstrText text = BstrText::FromAcp(address);
    AcquireSRWLockExclusive(&g_addressLock);
    if (g_address.empty()) g_address = text;
    ReleaseSRWLockExclusive(&g_addressLock);
}

BstrText CachedAddress() noexcept
{
    AcquireSRWLockShared(&g_addressLock);
    BstrText address = g_address;
    ReleaseSRWLockShared(&g_addressLock);
    return address;
}

}  // namespace

int GetPlatformClass() noexcept
{
    OSVERSIONINFOEXA version = {};
    static_assert(sizeof version == 156, "extended version record");
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) {
        version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
    }
    switch (version.dwPlatformId) {
    case VER_PLATFORM_WIN32_NT: return version.dwMajorVersion >= 5 ? 1 : 2;
    case VER_PLATFORM_WIN32_WINDOWS:
        if (version.dwMajorVersion > 4 ||
            (version.dwMajorVersion == 4 && version.dwMinorVersion > 0))
            return 4;
        return 3;
    default: return 0;
    }
}

HRESULT GetTokenAccount(BstrText& domain, BstrText& user) noexcept
{
    const DWORD access = TOKEN_QUERY | TOKEN_IMPERSONATE;
    unique_handle token;
    bool threadToken = OpenThreadToken(GetCurrentThread(), access, TRUE, token.put()) != FALSE;
    // Only a thread that impersonates nobody speaks for the process: any other
    // failure would let RevertToSelf drop an impersonation never restored.
    if (!threadToken && GetLastError() != ERROR_NO_TOKEN) return LastErrorResult();
    if (!threadToken && !OpenProcessToken(GetCurrentProcess(), access, token.put()))
        return LastErrorResult();

    // Look up under the process's own identity, whoever the thread impersonates.
    if (!RevertToSelf()) return LastErrorResult();

    HRESULT hr = S_OK;
    try {
        DWORD size = 0;
        if (!GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size) &&
            GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            hr = LastErrorResult();
        }
        std::vector<BYTE> tokenUser;
        std::vector<BYTE> sid;
        if (SUCCEEDED(hr)) {
            tokenUser.resize(size);
            if (!GetTokenInformation(token.get(), TokenUser, tokenUser.data(), size, &size)) {
                hr = LastErrorResult();
            } else {
                PSID userSid = reinterpret_cast<TOKEN_USER*>(tokenUser.data())->User.Sid;
                sid.resize(GetLengthSid(userSid));
                if (!CopySid(static_cast<DWORD>(sid.size()), sid.data(), userSid))
                    hr = LastErrorResult();
            }
        }
        if (SUCCEEDED(hr)) {
            DWORD nameSize = 0;
            DWORD domainSize = 0;
            SID_NAME_USE use;
            if (LookupAccountSidA(nullptr, sid.data(), nullptr, &nameSize, nullptr, &domainSize,
                                  &use) ||
                GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
                hr = LastErrorResult();
            } else {
                std::vector<char> name(++nameSize);
                std::vector<char> domainName(++domainSize);
                if (LookupAccountSidA(nullptr, sid.data(), name.data(), &nameSize,
                                      domainName.data(), &domainSize, &use)) {
                    domain = BstrText::FromAcp(domainName.data());
                    user = BstrText::FromAcp(name.data());
                } else {
                    hr = LastErrorResult();
                }
            }
        }
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_FAIL;
    }

    // Put the caller's impersonation back. A process token is never set on
    // the thread: it was not impersonating, and RevertToSelf kept it so.
    if (threadToken) SetThreadToken(nullptr, token.get());
    return hr;
}

void GetLogonUser(BstrText& user, BstrText& domain)
{
    user = BstrText();
    domain = BstrText();
    int platformClass = GetPlatformClass();
    if (platformClass != 0) {
        bool nt = platformClass == 1 || platformClass == 2;
        if (HMODULE library = NetworkLibrary(nt ? "NetAPI32" : "radmin32")) {
            if (FAILED(GetTokenAccount(domain, user)))
                AskWorkstationService(library, nt, user, domain);
        }
    }
    if (user.empty()) {
        char name[kNameChars];
        DWORD size = kNameChars;
        if (GetUserNameA(name, &size)) user = BstrText::FromAcp(name);
        char computer[kNameChars];
        size = kNameChars;
        if (GetComputerNameA(computer, &size)) domain = BstrText::FromAcp(computer);
    }
}

BstrText GetHostAddress()
{
    BstrText cached = CachedAddress();
    if (!cached.empty()) return cached;

    char hostName[kPathChars];
    bool started = false;
    auto startSockets = [&started]() noexcept {
        WSADATA data;
        if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
        started = true;
        return true;
    };
    if (gethostname(hostName, sizeof hostName) != 0 &&
        (WSAGetLastError() != WSANOTINITIALISED || !startSockets()))
        return cached;

    try {
        if (gethostname(hostName, sizeof hostName) == 0) {
            hostent* host = gethostbyname(hostName);
            // Some socket libraries name the host before they are started.
            if (!host && !started && WSAGetLastError() == WSANOTINITIALISED && startSockets())
                host = gethostbyname(hostName);
            if (host && host->h_addrtype == AF_INET && host->h_addr_list && host->h_addr_list[0]) {
                in_addr address;
                memcpy(&address, host->h_addr_list[0], sizeof address);
                StoreAddress(inet_ntoa(address));
            }
        }
    } catch (...) {
        if (started) WSACleanup();
        throw;
    }
    if (started) WSACleanup();
    return CachedAddress();
}

void ReleaseEventSourceState() noexcept
{
    if (HMODULE library = static_cast<HMODULE>(
            InterlockedExchangePointer(reinterpret_cast<void**>(&g_networkLibrary), nullptr)))
        FreeLibrary(library);
    AcquireSRWLockExclusive(&g_addressLock);
    g_address = BstrText();
    ReleaseSRWLockExclusive(&g_addressLock);
}

void FillEventSource(EventSource& source) noexcept
{
    try {
        char path[kPathChars + 1] = {};
        if (GetModuleFileNameA(ModuleInstance(), path, kPathChars) != 0)
            source.ModulePath = BstrText::FromAcp(path);

        BstrText user;
        BstrText domain;
        GetLogonUser(user, domain);
        std::wstring account;
        if (domain.wide()) account += domain.wide();
        account += L'\\';
        if (user.wide()) account += user.wide();
        source.Account = BstrText(account.c_str());

        source.ProcessId = GetCurrentProcessId();

        if (HANDLE process =
                OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, source.ProcessId)) {
            CloseHandle(process);
            source.CommandLine = BstrText::FromAcp(GetCommandLineA());
        } else {
            char executable[kPathChars + 1] = {};
            if (GetModuleFileNameA(nullptr, executable, kPathChars) != 0)
                source.CommandLine = BstrText::FromAcp(executable);
        }

        source.ThreadId = GetCurrentThreadId();

        char computer[kPathChars + 1] = {};
        DWORD size = kPathChars;
        if (GetComputerNameA(computer, &size)) source.ComputerName = BstrText::FromAcp(computer);

        source.Address = GetHostAddress();
    } catch (...) {
        // Best effort: what was found so far is kept.
    }
}
