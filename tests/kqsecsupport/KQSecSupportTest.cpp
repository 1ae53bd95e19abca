// The audit-support stand-in: its class object, the JSON line each sent event
// becomes, where the log goes, its registration, and the module's reports
// reaching it through the registry.
#include "AuditSupportItf.h"
#include "ComPtr.h"
#include "DebugOutput.h"
#include "Messages.h"
#include "OperationNames.h"
#include "TestHelpers.h"
#include "ProcAddress.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <shlobj.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t kLogVariable[] = L"KQSECSUPPORT_AUDIT_LOG";
const wchar_t kLogKey[] = L"SOFTWARE\\Quarnex\\VOK\\KQSecSupport";

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring FreshTempPath(const wchar_t* prefix)
{
    wchar_t folder[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, prefix, 0, path);
    DeleteFileW(path);
    return path;
}

std::vector<std::string> ReadLines(const std::wstring& path)
{
    std::vector<std::string> lines;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lines;
    std::string content;
    char buffer[4096];
    DWORD read;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read)
        content.append(buffer, read);
    CloseHandle(file);
    for (size_t start = 0; start < content.size();) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(content.substr(start) + "<no line break>");
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

using nlohmann::json;

json ParseLine(const std::string& line)
{
    json value = json::parse(line, nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << "not one JSON value: " << line;
    return value;
}

// A JSON string as the wide text it was written from.
std::wstring Text(const json& value)
{
    if (!value.is_string()) {
        ADD_FAILURE() << "not a string: " << value.dump();
        return std::wstring();
    }
    const std::string& utf8 = value.get_ref<const std::string&>();
    if (utf8.empty()) return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                   static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                        wide.data(), size);
    return wide;
}

// The environment variable points the log at a fresh file for one test.
class LogFile {
public:
    LogFile() : m_path(FreshTempPath(L"aud"))
    {
        SetEnvironmentVariableW(kLogVariable, m_path.c_str());
    }
    ~LogFile()
    {
        SetEnvironmentVariableW(kLogVariable, nullptr);
        DeleteFileW(m_path.c_str());
    }
    const std::wstring& path() const { return m_path; }
    std::vector<std::string> Lines() const { return ReadLines(m_path); }

private:
    std::wstring m_path;
};

// The stand-in DLL of this build, reached through its own class object.
class StandInTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_library = LoadLibraryW((ProgramFolder() + L"KQSecSupport.dll").c_str());
        ASSERT_NE(m_library, nullptr);
        auto getClassObject = GetProcAddressAs<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
            m_library, "DllGetClassObject");
        ASSERT_NE(getClassObject, nullptr);
        ASSERT_EQ(getClassObject(CLSID_KQSecSupport, IID_IClassFactory, m_factory.put_void()),
                  S_OK);
        ASSERT_EQ(m_factory->CreateInstance(nullptr, IID_IAuditSupport, m_support.put_void()),
                  S_OK);
    }
    void TearDown() override
    {
        m_support.reset();
        m_factory.reset();
        if (m_library) FreeLibrary(m_library);
    }

    com_ptr<IAuditEvent> NewEvent(BSTR operation, LONG code, LONG kind, BSTR message, BSTR extra)
    {
        com_ptr<IAuditEvent> event;
        EXPECT_EQ(m_support->CreateEvent(operation, code, kind, message, extra, event.put()), S_OK);
        return event;
    }

    HMODULE m_library = nullptr;
    com_ptr<IClassFactory> m_factory;
    com_ptr<IAuditSupport> m_support;
};

TEST_F(StandInTest, ClassObjectMakesOnlyTheComponent)
{
    auto getClassObject = GetProcAddressAs<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
        m_library, "DllGetClassObject");
    com_ptr<IClassFactory> other;
    EXPECT_EQ(getClassObject(IID_IAuditSupport, IID_IClassFactory, other.put_void()),
              CLASS_E_CLASSNOTAVAILABLE);

    com_ptr<IUnknown> aggregated;
    EXPECT_EQ(m_factory->CreateInstance(m_support.get(), IID_IUnknown, aggregated.put_void()),
              CLASS_E_NOAGGREGATION);

    const struct {
        const IID* iid;
        HRESULT hr;
    } interfaces[] = {{&IID_IUnknown, S_OK},
                      {&IID_IAuditSupport, S_OK},
                      {&IID_IAuditEvent, E_NOINTERFACE},
                      {&IID_IDispatch, E_NOINTERFACE}};
    for (const auto& entry : interfaces) {
        com_ptr<IUnknown> answer;
        EXPECT_EQ(m_support->QueryInterface(*entry.iid, answer.put_void()), entry.hr);
    }
    com_ptr<IAuditEvent> event = NewEvent(Bstr(L"op"), 1, 1, Bstr(L"m"), nullptr);
    com_ptr<IUnknown> answer;
    EXPECT_EQ(event->QueryInterface(IID_IAuditEvent, answer.put_void()), S_OK);
    EXPECT_EQ(event->QueryInterface(IID_IAuditSupport, answer.put_void()), E_NOINTERFACE);
}

TEST_F(StandInTest, AnswersOnlyTheCallsItIsMadeFor)
{
    EXPECT_EQ(m_support->Reserved03(), E_NOTIMPL);
    EXPECT_EQ(m_support->Reserved10(), E_NOTIMPL);
    com_ptr<IAuditEvent> event = NewEvent(Bstr(L"op"), 1, 1, Bstr(L"m"), nullptr);
    EXPECT_EQ(event->Reserved03(), E_NOTIMPL);
    EXPECT_EQ(event->Reserved22(), E_NOTIMPL);
    EXPECT_EQ(event->Reserved48(), E_NOTIMPL);
    com_ptr<IAuditEvent> none;
    EXPECT_EQ(m_support->CreateEvent(Bstr(L"op"), 1, 1, Bstr(L"m"), nullptr, nullptr), E_POINTER);
}

TEST_F(StandInTest, WritesOneJsonLinePerEventWithEveryField)
{
    LogFile log;
    com_ptr<IAuditEvent> event =
        NewEvent(Bstr(L"CKQSecRolesCollection::Add"), static_cast<LONG>(0x80041004), 1,
                 Bstr(L"Bad object name 'a/b'. Character '/' is not allowed."), Bstr(L"a/b"));
    ASSERT_TRUE(event);
    EXPECT_EQ(event->SetSource(nullptr, Bstr(L"DOM\\user"), Bstr(L"C:\\x\\Authorization.dll"),
                               Bstr(L"\"host.exe\" -x"), 1234, 0xFFFFFFFF, Bstr(L"HOST"),
                               Bstr(L"10.0.0.7")),
              S_OK);
    EXPECT_EQ(event->AddParameter(Bstr(L"Name"), Bstr(L"a/b"), -1), S_OK);
    EXPECT_EQ(event->AddParameter(Bstr(L"Description"), nullptr, 0), S_OK);
    EXPECT_EQ(event->AddParameter(Bstr(L"GUID"), Bstr(L""), 0), S_OK);
    EXPECT_EQ(event->SetOptionalText1(Bstr(L"one")), S_OK);
    EXPECT_EQ(event->SetOptionalText3(Bstr(L"three")), S_OK);
    EXPECT_EQ(event->SetOptionalNumber(-5), S_OK);
    EXPECT_EQ(event->SetOptionalText2(Bstr(L"two")), S_OK);
    EXPECT_EQ(event->Send(VARIANT_TRUE), S_OK);

    // A bare event: nothing but what CreateEvent gave.
    com_ptr<IAuditEvent> bare = NewEvent(nullptr, 0, 0, nullptr, nullptr);
    EXPECT_EQ(bare->Send(VARIANT_FALSE), S_OK);

    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    json full = ParseLine(lines[0]);
    EXPECT_TRUE(std::regex_match(full.at("time").get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    EXPECT_EQ(Text(full.at("operation")), L"CKQSecRolesCollection::Add");
    EXPECT_EQ(Text(full.at("code")), L"0x80041004");
    EXPECT_EQ(full.at("kind").get<double>(), 1);
    EXPECT_EQ(Text(full.at("message")), L"Bad object name 'a/b'. Character '/' is not allowed.");
    EXPECT_EQ(Text(full.at("extra")), L"a/b");
    const json& parameters = full.at("parameters");
    ASSERT_EQ(parameters.size(), 3u);
    const struct {
        const wchar_t* name;
        const wchar_t* value;  // null: JSON null
        double first;
    } expected[] = {{L"Name", L"a/b", -1}, {L"Description", nullptr, 0}, {L"GUID", L"", 0}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Text(parameters.at(i).at("name")), expected[i].name);
        if (expected[i].value)
            EXPECT_EQ(Text(parameters.at(i).at("value")), expected[i].value);
        else
            EXPECT_TRUE(parameters.at(i).at("value").is_null());
        EXPECT_EQ(parameters.at(i).at("first").get<double>(), expected[i].first);
    }
    const json& source = full.at("source");
    EXPECT_TRUE(source.at("reserved").is_null());
    EXPECT_EQ(Text(source.at("account")), L"DOM\\user");
    EXPECT_EQ(Text(source.at("modulePath")), L"C:\\x\\Authorization.dll");
    EXPECT_EQ(Text(source.at("commandLine")), L"\"host.exe\" -x");
    EXPECT_EQ(source.at("processId").get<double>(), 1234);
    EXPECT_EQ(source.at("threadId").get<double>(), 4294967295.0);
    EXPECT_EQ(Text(source.at("computerName")), L"HOST");
    EXPECT_EQ(Text(source.at("address")), L"10.0.0.7");
    const json& optional = full.at("optional");
    EXPECT_EQ(Text(optional.at("text1")), L"one");
    EXPECT_EQ(Text(optional.at("text2")), L"two");
    EXPECT_EQ(Text(optional.at("text3")), L"three");
    EXPECT_EQ(optional.at("number").get<double>(), -5);
    EXPECT_TRUE(full.at("request").is_boolean());
    EXPECT_TRUE(full.at("request").get<bool>());

    json minimal = ParseLine(lines[1]);
    for (const char* key : {"operation", "message", "extra", "source"}) {
        EXPECT_TRUE(minimal.contains(key)) << key;
        EXPECT_TRUE(minimal.at(key).is_null()) << key;
    }
    EXPECT_EQ(Text(minimal.at("code")), L"0x00000000");
    EXPECT_TRUE(minimal["parameters"].empty());
    for (const char* key : {"text1", "text2", "text3", "number"})
        EXPECT_TRUE(minimal.at("optional").at(key).is_null());
    EXPECT_TRUE(minimal.at("request").is_boolean());
    EXPECT_FALSE(minimal.at("request").get<bool>());
}

TEST_F(StandInTest, EscapesEveryTextItWrites)
{
    const std::wstring kLoneSurrogates = L"lone \xD800 and \xDC00";
    const std::wstring texts[] = {
        L"quote \" backslash \\ slash /",
        L"tab\t newline\n return\r backspace\b formfeed\f",
        L"\x01\x1f\x7f",
        std::wstring(L"nul\0inside", 10),
        L"\u00e9\u6f22\u20ac",
        L"\U0001F600 pair",
        kLoneSurrogates,
        L"\u2028\u2029",
    };
    LogFile log;
    for (const std::wstring& text : texts) {
        Bstr message(text.data(), static_cast<UINT>(text.size()));
        com_ptr<IAuditEvent> event = NewEvent(Bstr(L"op"), 1, 1, message, nullptr);
        EXPECT_EQ(event->Send(VARIANT_FALSE), S_OK);
    }
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), std::size(texts));
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        for (char c : lines[i]) EXPECT_GE(static_cast<unsigned char>(c), 0x20u);
        if (texts[i] == kLoneSurrogates) {
            // A lone surrogate has no UTF-8 form, and JSON readers refuse its
            // escape: the escapes are checked as written.
            EXPECT_NE(lines[i].find(R"("message":"lone \ud800 and \udc00")"), std::string::npos);
            continue;
        }
        EXPECT_EQ(Text(ParseLine(lines[i]).at("message")), texts[i]);
    }
}

TEST_F(StandInTest, SendFailsWhenTheLineCannotBeWritten)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring places[] = {
        temp,                                                    // a folder
        FreshTempPath(L"mis") + L"\\no such folder\\log.jsonl",  // a missing folder
    };
    for (const std::wstring& place : places) {
        SCOPED_TRACE(testing::PrintToString(place));
        SetEnvironmentVariableW(kLogVariable, place.c_str());
        com_ptr<IAuditEvent> event = NewEvent(Bstr(L"op"), 1, 1, Bstr(L"m"), nullptr);
        HRESULT hr = event->Send(VARIANT_TRUE);
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    }
    SetEnvironmentVariableW(kLogVariable, nullptr);
}

// The log's place: the environment variable, else the registry value, else
// the common application data folder.
class RegistryValue {
public:
    RegistryValue()
    {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLogKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key,
                        nullptr);
        wchar_t saved[MAX_PATH];
        DWORD bytes = sizeof saved;
        m_hadValue = RegQueryValueExW(m_key, L"AuditLog", nullptr, &m_savedType,
                                      reinterpret_cast<BYTE*>(saved), &bytes) == ERROR_SUCCESS;
        if (m_hadValue) m_saved.assign(saved, bytes / sizeof(wchar_t));
    }
    ~RegistryValue()
    {
        if (m_hadValue)
            RegSetValueExW(m_key, L"AuditLog", 0, m_savedType,
                           reinterpret_cast<const BYTE*>(m_saved.data()),
                           static_cast<DWORD>(m_saved.size() * sizeof(wchar_t)));
        else
            RegDeleteValueW(m_key, L"AuditLog");
        RegCloseKey(m_key);
    }
    LONG Set(DWORD type, const std::wstring& value)
    {
        return RegSetValueExW(m_key, L"AuditLog", 0, type,
                              reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    void Remove() { RegDeleteValueW(m_key, L"AuditLog"); }

private:
    HKEY m_key = nullptr;
    bool m_hadValue = false;
    DWORD m_savedType = REG_SZ;
    std::wstring m_saved;
};

TEST_F(StandInTest, FindsTheLogInEnvironmentThenRegistryThenProgramData)
{
    auto sendOne = [this] {
        com_ptr<IAuditEvent> event = NewEvent(Bstr(L"op"), 1, 1, Bstr(L"m"), nullptr);
        return event->Send(VARIANT_FALSE);
    };
    RegistryValue value;
    SetEnvironmentVariableW(kLogVariable, nullptr);

    std::wstring registryLog = FreshTempPath(L"reg");
    ASSERT_EQ(value.Set(REG_SZ, registryLog), ERROR_SUCCESS);
    EXPECT_EQ(sendOne(), S_OK);
    EXPECT_EQ(ReadLines(registryLog).size(), 1u);

    // An expandable value is expanded.
    wchar_t name[] = L"kqs-expanded.jsonl";
    std::wstring expandedLog = FreshTempPath(L"exp");
    expandedLog = expandedLog.substr(0, expandedLog.find_last_of(L'\\') + 1) + name;
    DeleteFileW(expandedLog.c_str());
    ASSERT_EQ(value.Set(REG_EXPAND_SZ, std::wstring(L"%TEMP%\\") + name), ERROR_SUCCESS);
    EXPECT_EQ(sendOne(), S_OK);
    EXPECT_EQ(ReadLines(expandedLog).size(), 1u);
    DeleteFileW(expandedLog.c_str());

    {
        ASSERT_EQ(value.Set(REG_SZ, registryLog), ERROR_SUCCESS);
        LogFile environmentLog;
        EXPECT_EQ(sendOne(), S_OK);
        EXPECT_EQ(environmentLog.Lines().size(), 1u);
        EXPECT_EQ(ReadLines(registryLog).size(), 1u);
    }
    DeleteFileW(registryLog.c_str());

    value.Remove();
    wchar_t common[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common),
              S_OK);
    std::wstring defaultLog = std::wstring(common) + L"\\KQSecSupport\\audit.jsonl";
    size_t before = ReadLines(defaultLog).size();
    EXPECT_EQ(sendOne(), S_OK);
    EXPECT_EQ(ReadLines(defaultLog).size(), before + 1);
}

TEST(KQSecSupportRegistrationTest, IsRegisteredInProcessForEveryApartment)
{
    wchar_t clsid[40];
    StringFromGUID2(CLSID_KQSecSupport, clsid, 40);
    std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
    auto read = [&](const wchar_t* name) {
        wchar_t data[MAX_PATH] = {};
        DWORD bytes = sizeof data - sizeof(wchar_t);
        LONG status = RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr,
                                   data, &bytes);
        return status == ERROR_SUCCESS ? std::wstring(data) : std::wstring(L"(missing)");
    };
    EXPECT_EQ(_wcsicmp(read(nullptr).c_str(), (ProgramFolder() + L"KQSecSupport.dll").c_str()), 0)
        << testing::PrintToString(read(nullptr));
    EXPECT_EQ(read(L"ThreadingModel"), L"Both");

    // Registering again changes nothing.
    HMODULE library = LoadLibraryW((ProgramFolder() + L"KQSecSupport.dll").c_str());
    ASSERT_NE(library, nullptr);
    auto registerServer = GetProcAddressAs<HRESULT(WINAPI*)()>(library, "DllRegisterServer");
    ASSERT_NE(registerServer, nullptr);
    EXPECT_EQ(registerServer(), S_OK);
    EXPECT_EQ(read(L"ThreadingModel"), L"Both");
    FreeLibrary(library);
}

// The module's reports, through the registered component, into the log.
TEST(KQSecSupportReportTest, ModuleReportsBecomeLogLines)
{
    LogFile log;
    ErrorContext context(op::RolesCollection_Add);
    context.SetTextParam(1, param::Name, L"a/b");
    context.SetTextParam(2, param::Description, nullptr);
    context.SetTextParam(3, param::GUID, L"");
    BstrText message = FormatModuleMessage(AUTH_E_BAD_OBJECT_NAME, L"a/b", L"/");
    DebugOutputCapture debug;
    EXPECT_EQ(
        ReportRequestError(context, AUTH_E_BAD_OBJECT_NAME, kReportKind, message, BstrText(L"a/b")),
        AUTH_E_BAD_OBJECT_NAME);
    EXPECT_EQ(ReportError(context, AUTH_E_BAD_OBJECT_NAME, kReportKind,
                          GetSystemMessage(AUTH_E_BAD_OBJECT_NAME)),
              AUTH_E_BAD_OBJECT_NAME);
    EXPECT_TRUE(debug.Writes().empty());

    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    json request = ParseLine(lines[0]);
    EXPECT_EQ(Text(request.at("operation")), L"CKQSecRolesCollection::Add");
    EXPECT_EQ(Text(request.at("code")), L"0x80041004");
    EXPECT_EQ(request.at("kind").get<double>(), 1);
    EXPECT_EQ(Text(request.at("message")), L"Bad object name 'a/b'. Character '/' is not allowed.");
    EXPECT_EQ(Text(request.at("extra")), L"a/b");
    ASSERT_EQ(request["parameters"].size(), 3u);
    const wchar_t* names[] = {L"Name", L"Description", L"GUID"};
    const wchar_t* values[] = {L"a/b", L"<NULL>", L""};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Text(request.at("parameters").at(i).at("name")), names[i]);
        EXPECT_EQ(Text(request.at("parameters").at(i).at("value")), values[i]);
        EXPECT_EQ(request.at("parameters").at(i).at("first").get<double>(), i == 0 ? -1 : 0);
    }
    const json& source = request.at("source");
    // An empty text, not a null one: the log tells the two apart.
    EXPECT_FALSE(source.at("reserved").is_null());
    EXPECT_EQ(Text(source.at("reserved")), L"");
    EXPECT_NE(Text(source.at("account")).find(L'\\'), std::wstring::npos);
    EXPECT_EQ(source.at("processId").get<double>(), GetCurrentProcessId());
    EXPECT_EQ(source.at("threadId").get<double>(), GetCurrentThreadId());
    EXPECT_FALSE(Text(source.at("modulePath")).empty());
    EXPECT_FALSE(Text(source.at("commandLine")).empty());
    EXPECT_FALSE(Text(source.at("computerName")).empty());
    EXPECT_FALSE(Text(source.at("address")).empty());
    EXPECT_TRUE(request.at("request").get<bool>());

    json call = ParseLine(lines[1]);
    EXPECT_TRUE(call.at("extra").is_null());
    EXPECT_FALSE(call.at("request").get<bool>());
}

TEST(KQSecSupportReportTest, ReportsFromAMultithreadedApartment)
{
    LogFile log;
    HRESULT result = S_OK;
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ErrorContext context(op::ValidateGuid);
        context.SetTextParam(1, param::sGuidIn, L"{bad");
        result = ReportRequestError(context, AUTH_E_INVALID_GUID, kReportKind,
                                    FormatModuleMessage(AUTH_E_INVALID_GUID, L"{bad"),
                                    BstrText(L"{bad"));
        CoUninitialize();
    }).join();
    EXPECT_EQ(result, AUTH_E_INVALID_GUID);
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Text(ParseLine(lines[0]).at("message")), L"Invalid GUID format '{bad'");
}

TEST(KQSecSupportReportTest, AFailedSendFallsBackToTheDebuggerOutput)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    SetEnvironmentVariableW(kLogVariable, folder);
    ErrorContext context(op::RolesCollection_RemoveAll);
    DebugOutputCapture debug;
    EXPECT_EQ(ReportError(context, E_ACCESSDENIED, kReportKind, BstrText(L"m")), E_ACCESSDENIED);
    SetEnvironmentVariableW(kLogVariable, nullptr);
    ASSERT_EQ(debug.Writes().size(), 2u);
    EXPECT_EQ(debug.Writes()[0].rfind("=== Error recording event: hr = 0x8007", 0), 0u)
        << debug.Writes()[0];
    EXPECT_EQ(debug.Writes()[1],
              "Code: 0x80070005, Message: m\r\nFunction: CKQSecRolesCollection::RemoveAll, "
              "Extra: (null)");
}

}  // namespace
