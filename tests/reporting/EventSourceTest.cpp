// The description of where an event came from, under this machine.
#include "EventSource.h"

#include <gtest/gtest.h>
#include <winsock.h>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::wstring Text(const BstrText& text)
{
    return text.wide() ? text.wide() : L"";
}

std::wstring Widen(const char* text)
{
    return Text(BstrText::FromAcp(text));
}

bool SocketsStarted()
{
    char name[256];
    if (gethostname(name, sizeof name) != 0) return WSAGetLastError() != WSANOTINITIALISED;
    // Some socket libraries name the host before they are started.
    return gethostbyname(name) != nullptr || WSAGetLastError() != WSANOTINITIALISED;
}

bool IsDottedAddress(const std::wstring& text)
{
    unsigned parts[4];
    wchar_t end;
    return swscanf(text.c_str(), L"%u.%u.%u.%u%lc", &parts[0], &parts[1], &parts[2], &parts[3],
                   &end) == 4 &&
           parts[0] < 256 && parts[1] < 256 && parts[2] < 256 && parts[3] < 256;
}

bool ThreadImpersonates()
{
    HANDLE token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
    CloseHandle(token);
    return true;
}

TEST(EventSourceTest, StartsAtItsInitialValues)
{
    EventSource source;
    EXPECT_EQ(source.ModulePath.wide(), nullptr);
    EXPECT_EQ(source.Account.wide(), nullptr);
    EXPECT_EQ(source.Reserved.wide(), nullptr);
    EXPECT_EQ(source.CommandLine.wide(), nullptr);
    EXPECT_EQ(source.ProcessId, 0xFFFFFFFFu);
    EXPECT_EQ(source.ThreadId, 0xFFFFFFFFu);
    EXPECT_EQ(source.ComputerName.wide(), nullptr);
    EXPECT_EQ(source.Address.wide(), nullptr);
}

TEST(EventSourceTest, FillsEveryFieldButTheReservedOne)
{
    EventSource source;
    FillEventSource(source);

    char path[521] = {};
    ASSERT_NE(GetModuleFileNameA(nullptr, path, 520),
              0u);  // the module's code lives in this program
    EXPECT_EQ(Text(source.ModulePath), Widen(path));

    BstrText domain, user;
    ASSERT_GE(GetTokenAccount(domain, user), 0);
    EXPECT_FALSE(domain.empty());
    EXPECT_FALSE(user.empty());
    EXPECT_EQ(Text(source.Account), Text(domain) + L"\\" + Text(user));

    EXPECT_TRUE(source.Reserved.empty());
    EXPECT_EQ(source.ProcessId, GetCurrentProcessId());
    EXPECT_EQ(Text(source.CommandLine), Widen(GetCommandLineA()));
    EXPECT_EQ(source.ThreadId, GetCurrentThreadId());

    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof computer;
    ASSERT_TRUE(GetComputerNameA(computer, &size));
    EXPECT_EQ(Text(source.ComputerName), Widen(computer));

    EXPECT_TRUE(IsDottedAddress(Text(source.Address)))
        << testing::PrintToString(Text(source.Address));
}

TEST(EventSourceTest, NamesTheReportingThread)
{
    EventSource source;
    DWORD threadId = 0;
    std::thread([&] {
        threadId = GetCurrentThreadId();
        FillEventSource(source);
    }).join();
    EXPECT_EQ(source.ThreadId, threadId);
    EXPECT_NE(source.ThreadId, GetCurrentThreadId());
}

TEST(EventSourceTest, TheAccountComesFromTheToken)
{
    // Under this machine the token's account is the process user; the user
    // name of the process is the oracle for its user part.
    BstrText user, domain;
    GetLogonUser(user, domain);
    BstrText tokenDomain, tokenUser;
    ASSERT_GE(GetTokenAccount(tokenDomain, tokenUser), 0);
    EXPECT_EQ(Text(user), Text(tokenUser));
    EXPECT_EQ(Text(domain), Text(tokenDomain));
    char name[256];
    DWORD size = sizeof name;
    ASSERT_TRUE(GetUserNameA(name, &size));
    EXPECT_EQ(_wcsicmp(Text(user).c_str(), Widen(name).c_str()), 0);
}

TEST(EventSourceTest, KeepsTheThreadsImpersonation)
{
    ASSERT_FALSE(ThreadImpersonates());
    EventSource plain;
    FillEventSource(plain);
    EXPECT_FALSE(ThreadImpersonates());

    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    EventSource impersonating;
    FillEventSource(impersonating);
    EXPECT_TRUE(ThreadImpersonates());
    ASSERT_TRUE(RevertToSelf());
    EXPECT_EQ(Text(impersonating.Account), Text(plain.Account));
}

TEST(EventSourceTest, AnImpersonationThatCannotBeOpenedIsLeftInPlace)
{
    // Only a thread without a token may be looked up by the process token:
    // for any other failure RevertToSelf would end an impersonation that
    // nothing restores.
    ASSERT_TRUE(ImpersonateSelf(SecurityAnonymous));
    HANDLE probe = nullptr;
    ASSERT_FALSE(
        OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_IMPERSONATE, TRUE, &probe));
    DWORD error = GetLastError();
    ASSERT_NE(error, static_cast<DWORD>(ERROR_NO_TOKEN));

    BstrText domain, user;
    EXPECT_EQ(GetTokenAccount(domain, user), HRESULT_FROM_WIN32(error));
    EXPECT_EQ(user.wide(), nullptr);
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &probe));
    EXPECT_EQ(GetLastError(), error);  // still impersonating, anonymously
    ASSERT_TRUE(RevertToSelf());
    EXPECT_FALSE(ThreadImpersonates());
}

TEST(EventSourceTest, PlatformClassFollowsTheVersion)
{
    OSVERSIONINFOA version = {sizeof version};
    ASSERT_TRUE(GetVersionExA(&version));
    int expected = 0;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT)
        expected = version.dwMajorVersion >= 5 ? 1 : 2;
    EXPECT_EQ(GetPlatformClass(), expected);
    EXPECT_EQ(expected, 1);  // this machine says NT 6.1
}

TEST(EventSourceTest, LooksTheAddressUpOnceAndReusesIt)
{
    ReleaseEventSourceState();
    BstrText first = GetHostAddress();
    ASSERT_FALSE(first.empty());
    BstrText second = GetHostAddress();
    // The same cached text, not a new lookup's.
    EXPECT_EQ(second.wide(), first.wide());
    EventSource source;
    FillEventSource(source);
    EXPECT_EQ(source.Address.wide(), first.wide());

    ReleaseEventSourceState();
    BstrText fresh = GetHostAddress();
    EXPECT_NE(fresh.wide(), first.wide());
    EXPECT_EQ(Text(fresh), Text(first));
}

// Loading the network library may start the socket library for good, so the
// checks run in a fresh copy of this program where nothing has started it.
const wchar_t kFreshProcessVariable[] = L"REPORTING_TEST_FRESH_PROCESS";

bool InFreshProcess()
{
    return GetEnvironmentVariableW(kFreshProcessVariable, nullptr, 0) != 0;
}

DWORD RunInFreshProcess(const char* testName)
{
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring filter(testName, testName + strlen(testName));
    std::wstring commandLine = L"\"" + std::wstring(program) + L"\" --gtest_filter=" + filter;
    SetEnvironmentVariableW(kFreshProcessVariable, L"1");
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(program, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process);
    SetEnvironmentVariableW(kFreshProcessVariable, nullptr);
    if (!started) return GetLastError() | 0x10000000;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

TEST(EventSourceTest, StartsAndCleansUpTheSocketLibraryOnlyForItself)
{
    if (!InFreshProcess()) {
        EXPECT_EQ(
            RunInFreshProcess("EventSourceTest.StartsAndCleansUpTheSocketLibraryOnlyForItself"),
            0u);
        return;
    }
    ASSERT_FALSE(SocketsStarted());
    EXPECT_FALSE(GetHostAddress().empty());
    EXPECT_FALSE(SocketsStarted());

    // A host that started the library keeps it.
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    ReleaseEventSourceState();
    EXPECT_FALSE(GetHostAddress().empty());
    EXPECT_TRUE(SocketsStarted());
    WSACleanup();
    EXPECT_FALSE(SocketsStarted());
}

TEST(EventSourceTest, ReleasingTwiceIsHarmless)
{
    ReleaseEventSourceState();
    ReleaseEventSourceState();
    EventSource source;
    FillEventSource(source);
    EXPECT_FALSE(source.Account.empty());
    EXPECT_FALSE(source.Address.empty());
}

}  // namespace
