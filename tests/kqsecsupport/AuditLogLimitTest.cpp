// The audit log after a write that failed part-way. Run by file-size-limit.sh
// under a limit on the size of the files the process writes: past it a write
// stops short, as on a full disk.
#include "AuditSupportItf.h"
#include "ComPtr.h"
#include "TestHelpers.h"
#include "ProcAddress.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t kLogVariable[] = L"KQSECSUPPORT_AUDIT_LOG";

class AuditLogLimitTest : public testing::Test {
protected:
    void SetUp() override
    {
        const char* limit = getenv("AUTH_TEST_FILE_LIMIT");
        ASSERT_NE(limit, nullptr) << "run through file-size-limit.sh";
        m_limit = strtoul(limit, nullptr, 10);
        ASSERT_GT(m_limit, 0u);

        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring folder = path;
        folder.resize(folder.find_last_of(L'\\') + 1);
        m_library = LoadLibraryW((folder + L"KQSecSupport.dll").c_str());
        ASSERT_NE(m_library, nullptr);
        auto getClassObject = GetProcAddressAs<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
            m_library, "DllGetClassObject");
        ASSERT_NE(getClassObject, nullptr);
        com_ptr<IClassFactory> factory;
        ASSERT_EQ(getClassObject(CLSID_KQSecSupport, IID_IClassFactory, factory.put_void()), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IAuditSupport, m_support.put_void()), S_OK);

        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        GetTempFileNameW(temp, L"lim", 0, path);
        DeleteFileW(path);
        m_log = path;
        SetEnvironmentVariableW(kLogVariable, m_log.c_str());
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(kLogVariable, nullptr);
        DeleteFileW(m_log.c_str());
        m_support.reset();
        if (m_library) FreeLibrary(m_library);
    }

    HRESULT Send(const std::wstring& message)
    {
        com_ptr<IAuditEvent> event;
        HRESULT hr = m_support->CreateEvent(Bstr(L"op"), 1, 1, Bstr(message), nullptr, event.put());
        return SUCCEEDED(hr) ? event->Send(VARIANT_FALSE) : hr;
    }

    unsigned long m_limit = 0;
    HMODULE m_library = nullptr;
    com_ptr<IAuditSupport> m_support;
    std::wstring m_log;
};

// A line that does not fit is not left half written: the next event starts
// a line of its own, and the log holds whole JSON lines only.
TEST_F(AuditLogLimitTest, FailedEventLeavesNoPartOfItsLine)
{
    const std::wstring tooLong(m_limit + 1000, L'x');
    for (int before : {0, 2}) {
        SCOPED_TRACE(testing::Message() << before << " events before");
        DeleteFileW(m_log.c_str());
        std::vector<std::wstring> expected;
        for (int i = 0; i < before; ++i) {
            expected.push_back(L"before " + std::to_wstring(i));
            ASSERT_EQ(Send(expected.back()), S_OK);
        }
        HRESULT hr = Send(tooLong);
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        expected.push_back(L"after");
        EXPECT_EQ(Send(expected.back()), S_OK);

        std::string bytes = ReadFileBytes(m_log);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes.back(), '\n');
        std::vector<std::string> messages;
        for (size_t start = 0; start < bytes.size();) {
            size_t end = bytes.find('\n', start);
            if (end == std::string::npos) end = bytes.size();
            nlohmann::json line =
                nlohmann::json::parse(bytes.substr(start, end - start), nullptr, false);
            EXPECT_FALSE(line.is_discarded())
                << "not one JSON value: " << bytes.substr(start, std::min<size_t>(end - start, 80));
            messages.push_back(line.is_discarded() ? "<not JSON>" : line.value("message", ""));
            start = end + 1;
        }
        std::vector<std::string> wanted;
        for (const std::wstring& message : expected)
            wanted.emplace_back(message.begin(), message.end());
        EXPECT_EQ(messages, wanted);
    }
}

}  // namespace
