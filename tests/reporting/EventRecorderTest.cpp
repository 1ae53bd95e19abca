// The recording of reported failures as audit events, against a fake
// component registered in this process, and the debugger output when
// recording fails.
#include "DebugOutput.h"
#include "EventRecorder.h"
#include "FakeAuditSupport.h"
#include "Messages.h"
#include "OperationNames.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <map>

namespace {

const HRESULT kCode = AUTH_E_BAD_OBJECT_NAME;

std::string Hex(HRESULT value)
{
    char text[16];
    snprintf(text, sizeof text, "%lx", static_cast<unsigned long>(value));
    return text;
}

std::string ExecutablePathA()
{
    char path[521] = {};
    GetModuleFileNameA(nullptr, path, 520);
    return path;
}

std::wstring Widen(const std::string& text)
{
    BstrText wide = BstrText::FromAcp(text.c_str());
    return wide.wide() ? wide.wide() : L"";
}

std::string FirstWrite(HRESULT hr)
{
    return "=== Error recording event: hr = 0x" + Hex(hr) + ". Module: " + ExecutablePathA() + ", ";
}

std::string SecondWrite(HRESULT code, const std::string& message, const std::string& function,
                        const std::string& extra)
{
    return "Code: 0x" + Hex(code) + ", Message: " + message + "\r\nFunction: " + function +
           ", Extra: " + extra;
}

std::string CreationWrite(HRESULT hr)
{
    return "~~~ Error create KQSecSupport component: hr = 0x" + Hex(hr) + "\r\n";
}

using Names = std::vector<std::string>;

Arg ArgOf(const wchar_t* text)
{
    return text ? Arg(text) : std::nullopt;
}

struct Pair {
    std::wstring name;
    Arg value;
    std::wstring marker;
};

std::vector<Pair> Parameters(const std::vector<FakeCall>& calls)
{
    std::vector<Pair> pairs;
    for (const FakeCall& call : calls)
        if (call.name == "AddParameter")
            pairs.push_back({*call.args[0], call.args[1], *call.args[2]});
    return pairs;
}

const FakeCall* Find(const std::vector<FakeCall>& calls, const std::string& name)
{
    for (const FakeCall& call : calls)
        if (call.name == name) return &call;
    return nullptr;
}

bool operator==(const Pair& a, const Pair& b)
{
    return a.name == b.name && a.value == b.value && a.marker == b.marker;
}

void PrintTo(const Pair& pair, std::ostream* os)
{
    *os << "(" << testing::PrintToString(pair.name) << ", "
        << (pair.value ? testing::PrintToString(*pair.value) : std::string("null")) << ", "
        << testing::PrintToString(pair.marker) << ")";
}

class RecordEventTest : public testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(FakeAuditRegistration::LiveObjects(), 0); }
};

// Which pairs an event gets, and with which first-pair marker.
struct PairCase {
    const char* title;
    const wchar_t* names[4];
    const wchar_t* values[4];  // set only where given; kNotSet leaves a value unset
    std::vector<Pair> expected;
};

const wchar_t kNotSet[] = L"(not set)";

const PairCase kPairCases[] = {
    {"three pairs",
     {L"Name", L"Description", L"GUID", nullptr},
     {L"Admins", L"All of them", L"{6B29FC40-CA47-1067-B31D-00DD010662DA}", kNotSet},
     {{L"Name", L"Admins", L"-1"},
      {L"Description", L"All of them", L"0"},
      {L"GUID", L"{6B29FC40-CA47-1067-B31D-00DD010662DA}", L"0"}}},
    {"no pairs", {nullptr, nullptr, nullptr, nullptr}, {kNotSet, kNotSet, kNotSet, kNotSet}, {}},
    {"first pair alone",
     {L"sRoleId", nullptr, nullptr, nullptr},
     {L"r1", kNotSet, kNotSet, kNotSet},
     {{L"sRoleId", L"r1", L"-1"}}},
    {"first keeps -1 past skipped pairs",
     {L"m_sName", nullptr, L"sGroups", L""},
     {L"Role", kNotSet, nullptr, L"x"},
     {{L"m_sName", L"Role", L"-1"}, {L"sGroups", L"<NULL>", L"0"}}},
    {"later pairs keep 0 without a first",
     {nullptr, L"sUser", L"", L"sGroups"},
     {kNotSet, L"u", L"skipped", kNotSet},
     {{L"sUser", L"u", L"0"}, {L"sGroups", std::nullopt, L"0"}}},
};

TEST_F(RecordEventTest, AddsEachNamedPairWithItsMarker)
{
    for (const PairCase& c : kPairCases) {
        SCOPED_TRACE(c.title);
        FakeAuditRegistration fake;
        ASSERT_EQ(fake.registered(), S_OK);
        ErrorContext context(op::RolesCollection_Add);
        for (int i = 0; i < 4; ++i) {
            context.ParamName[i] = c.names[i];
            if (c.values[i] != kNotSet) context.SetTextParam(i + 1, c.names[i], c.values[i]);
        }
        BstrText message(L"message"), extra(L"extra");
        DebugOutputCapture debug;
        EXPECT_EQ(ReportError(context, kCode, kReportKind, message, extra), kCode);

        EXPECT_EQ(Parameters(fake.Calls()), c.expected);
        Names expectedNames = {"CreateInstance", "CreateEvent", "SetSource"};
        expectedNames.insert(expectedNames.end(), c.expected.size(), "AddParameter");
        expectedNames.insert(expectedNames.end(), {"Send", "ReleaseEvent", "ReleaseSupport"});
        EXPECT_EQ(fake.CallNames(), expectedNames);
        // Names go as fresh copies.
        for (const FakeCall& call : fake.Calls()) {
            if (call.name != "AddParameter") continue;
            for (const wchar_t* name : c.names) EXPECT_NE(call.pointers[0], name);
        }
        EXPECT_TRUE(debug.Writes().empty());
    }
}

TEST_F(RecordEventTest, CreatesTheEventWithOperationCodeKindMessageAndExtra)
{
    FakeAuditRegistration fake;
    ASSERT_EQ(fake.registered(), S_OK);
    ErrorContext context(op::Role_put_Name);
    BstrText message(L"Bad object name 'a/b'. Character '/' is not allowed.");
    BstrText extra(L"a/b");
    EXPECT_EQ(ReportRequestError(context, kCode, 7, message, extra), kCode);

    const FakeCall* create = Find(fake.Calls(), "CreateEvent");
    ASSERT_NE(create, nullptr);
    EXPECT_EQ(create->args, (std::vector<Arg>{L"CKQSecRole::put_Name", std::to_wstring(kCode), L"7",
                                              message.wide(), extra.wide()}));
    // The operation goes as a fresh copy; message and extra as they came.
    EXPECT_NE(create->pointers[0], context.Operation);
    EXPECT_EQ(create->pointers[1], message.wide());
    EXPECT_EQ(create->pointers[2], extra.wide());
}

TEST_F(RecordEventTest, SetsTheSourceWithAnEmptyFirstText)
{
    FakeAuditRegistration fake;
    ASSERT_EQ(fake.registered(), S_OK);
    ErrorContext context(op::ValidateName);
    EXPECT_EQ(ReportError(context, E_FAIL, kReportKind, BstrText(L"m")), E_FAIL);

    const FakeCall* source = Find(fake.Calls(), "SetSource");
    ASSERT_NE(source, nullptr);
    ASSERT_EQ(source->args.size(), 8u);
    EXPECT_EQ(source->args[0], Arg(L""));  // empty, never null
    ASSERT_TRUE(source->args[1]);
    EXPECT_NE(source->args[1]->find(L'\\'), std::wstring::npos);
    EXPECT_EQ(source->args[2], Widen(ExecutablePathA()));
    EXPECT_EQ(source->args[3], Widen(GetCommandLineA()));
    EXPECT_EQ(source->args[4], std::to_wstring(GetCurrentProcessId()));
    EXPECT_EQ(source->args[5], std::to_wstring(GetCurrentThreadId()));
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof computer;
    ASSERT_TRUE(GetComputerNameA(computer, &size));
    EXPECT_EQ(source->args[6], Widen(computer));
    ASSERT_TRUE(source->args[7]);
    EXPECT_FALSE(source->args[7]->empty());
}

TEST_F(RecordEventTest, SendsRequestErrorsWithTrueAndCallErrorsWithFalse)
{
    using Report =
        HRESULT (*)(const ErrorContext&, HRESULT, LONG, const BstrText&, const BstrText&) noexcept;
    struct {
        Report report;
        const wchar_t* flag;
    } const cases[] = {{ReportRequestError, L"-1"}, {ReportError, L"0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.flag)));
        FakeAuditRegistration fake;
        ASSERT_EQ(fake.registered(), S_OK);
        ErrorContext context(op::RolesCollection_ItemPos);
        context.SetNumberParam(1, param::lPos, -1);
        EXPECT_EQ(
            c.report(context, AUTH_E_INVALID_POSITION, kReportKind, BstrText(L"m"), BstrText(L"3")),
            AUTH_E_INVALID_POSITION);
        const FakeCall* send = Find(fake.Calls(), "Send");
        ASSERT_NE(send, nullptr);
        EXPECT_EQ(send->args, std::vector<Arg>{c.flag});
    }
}

TEST_F(RecordEventTest, HandsOnOnlyTheOptionalAttributesThatAreSet)
{
    struct {
        const char* title;
        const wchar_t* text1;
        const wchar_t* text2;
        const wchar_t* text3;
        LONG number;
        Names expected;
    } const cases[] = {
        {"all set",
         L"one",
         L"two",
         L"three",
         7,
         {"SetOptionalText1", "SetOptionalText3", "SetOptionalNumber", "SetOptionalText2"}},
        {"none set", nullptr, nullptr, nullptr, -1, {}},
        {"empty texts and zero", L"", L"", L"", 0, {"SetOptionalNumber"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        FakeAuditRegistration fake;
        ASSERT_EQ(fake.registered(), S_OK);
        ErrorContext context(op::Role_CommitChanges);
        context.SetTextParam(1, param::m_sName, L"Role");
        context.OptionalText1 = c.text1;
        context.OptionalText2 = c.text2;
        context.OptionalText3 = c.text3;
        context.OptionalNumber = c.number;
        ReportError(context, E_FAIL, kReportKind, BstrText(L"m"));

        Names expected = {"CreateInstance", "CreateEvent", "SetSource", "AddParameter"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        expected.insert(expected.end(), {"Send", "ReleaseEvent", "ReleaseSupport"});
        EXPECT_EQ(fake.CallNames(), expected);
        for (const FakeCall& call : fake.Calls()) {
            const std::map<std::string, Arg> expectedArgs = {
                {"SetOptionalText1", ArgOf(c.text1)},
                {"SetOptionalText2", ArgOf(c.text2)},
                {"SetOptionalText3", ArgOf(c.text3)},
                {"SetOptionalNumber", std::to_wstring(c.number)}};
            auto found = expectedArgs.find(call.name);
            if (found == expectedArgs.end()) continue;
            EXPECT_EQ(call.args[0], found->second) << call.name;
            if (call.name.rfind("SetOptionalText", 0) == 0) {
                EXPECT_NE(call.pointers[0], c.text1);
                EXPECT_NE(call.pointers[0], c.text2);
                EXPECT_NE(call.pointers[0], c.text3);
            }
        }
    }
}

TEST_F(RecordEventTest, SendsEvenWhenTheDetailsAreRefused)
{
    FakeBehaviour refusing;
    refusing.setSource = E_FAIL;
    refusing.addParameter = E_INVALIDARG;
    refusing.setOptional = E_NOTIMPL;
    FakeAuditRegistration fake(refusing);
    ASSERT_EQ(fake.registered(), S_OK);
    ErrorContext context(op::Role_AddMembers);
    context.SetTextParam(1, param::m_sName, L"Role");
    context.SetTextParam(2, param::sUser, L"DOM\\u");
    context.OptionalText1 = L"t";
    DebugOutputCapture debug;
    EXPECT_EQ(ReportError(context, kCode, kReportKind, BstrText(L"m")), kCode);
    EXPECT_EQ(fake.CallNames(),
              (Names{"CreateInstance", "CreateEvent", "SetSource", "AddParameter", "AddParameter",
                     "SetOptionalText1", "Send", "ReleaseEvent", "ReleaseSupport"}));
    EXPECT_TRUE(debug.Writes().empty());
}

// Every failure that stops the event: the debugger output instead, and the code back.
TEST_F(RecordEventTest, WritesFailuresToTheDebuggerOutput)
{
    struct {
        const char* title;
        FakeBehaviour behaviour;
        HRESULT hr;
        bool creationLine;
        Names calls;
    } const cases[] = {
        {"component not registered",
         {REGDB_E_CLASSNOTREG},
         REGDB_E_CLASSNOTREG,
         true,
         {"CreateInstance"}},
        {"component refuses the interface", {S_OK, true}, E_NOINTERFACE, true, {"CreateInstance"}},
        {"CreateEvent fails",
         {S_OK, false, E_FAIL},
         E_FAIL,
         false,
         {"CreateInstance", "CreateEvent", "ReleaseSupport"}},
        {"Send fails",
         {S_OK, false, S_OK, S_OK, S_OK, S_OK, E_ACCESSDENIED},
         E_ACCESSDENIED,
         false,
         {"CreateInstance", "CreateEvent", "SetSource", "AddParameter", "Send", "ReleaseEvent",
          "ReleaseSupport"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        for (bool request : {false, true}) {
            FakeAuditRegistration fake(c.behaviour);
            ASSERT_EQ(fake.registered(), S_OK);
            ErrorContext context(op::RolesCollection_Remove);
            context.SetTextParam(1, param::sRoleId, L"r1");
            BstrText message(L"The message"), extra(L"r1");
            HRESULT result;
            {
                DebugOutputCapture debug;
                result = request ? ReportRequestError(context, kCode, kReportKind, message, extra)
                                 : ReportError(context, kCode, kReportKind, message, extra);
                std::vector<std::string> expected;
                if (c.creationLine) expected.push_back(CreationWrite(c.hr));
                expected.push_back(FirstWrite(c.hr));
                expected.push_back(
                    SecondWrite(kCode, "The message", "CKQSecRolesCollection::Remove", "r1"));
                EXPECT_EQ(debug.Writes(), expected);
            }
            EXPECT_EQ(result, kCode);
            EXPECT_EQ(fake.CallNames(), c.calls);
        }
    }
}

// A report made on a thread that never entered an apartment, as a raw
// pointer of a free-threaded object allows.
struct ThreadReport {
    HRESULT returned = S_OK;
    std::vector<std::string> writes;
};

DWORD WINAPI ReportWithoutCom(void* parameter)
{
    auto& report = *static_cast<ThreadReport*>(parameter);
    DebugOutputCapture debug;
    ErrorContext context(op::RolesCollection_Remove);
    context.SetTextParam(1, param::sRoleId, L"r1");
    report.returned =
        ReportError(context, kCode, kReportKind, BstrText(L"The message"), BstrText(L"r1"));
    report.writes = debug.Writes();
    return 0;
}

TEST_F(RecordEventTest, ReportsFromAThreadWithoutComToTheDebuggerOutput)
{
    ThreadReport report;
    HANDLE thread = CreateThread(nullptr, 0, ReportWithoutCom, &report, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(report.returned, kCode);
    EXPECT_EQ(report.writes,
              (Names{CreationWrite(CO_E_NOTINITIALIZED), FirstWrite(CO_E_NOTINITIALIZED),
                     SecondWrite(kCode, "The message", "CKQSecRolesCollection::Remove", "r1")}));
}

TEST_F(RecordEventTest, WritesNullMessageAndExtraAsNull)
{
    FakeAuditRegistration fake({REGDB_E_CLASSNOTREG});
    ASSERT_EQ(fake.registered(), S_OK);
    ErrorContext context(op::Authorization_get_RolesColl);
    DebugOutputCapture debug;
    EXPECT_EQ(ReportError(context, E_OUTOFMEMORY, kReportKind, BstrText(), BstrText()),
              E_OUTOFMEMORY);
    ASSERT_EQ(debug.Writes().size(), 3u);
    EXPECT_EQ(debug.Writes()[2],
              SecondWrite(E_OUTOFMEMORY, "(null)", "CIKIVAuthorization::get_RolesColl", "(null)"));
}

TEST_F(RecordEventTest, CutsTheSecondWriteAt1023Characters)
{
    FakeAuditRegistration fake({S_OK, false, E_FAIL});
    ASSERT_EQ(fake.registered(), S_OK);
    ErrorContext context(op::RolesCollection_Add);
    std::wstring longMessage(2000, L'm');
    DebugOutputCapture debug;
    EXPECT_EQ(
        ReportError(context, kCode, kReportKind, BstrText(longMessage.c_str()), BstrText(L"x")),
        kCode);
    ASSERT_EQ(debug.Writes().size(), 2u);
    std::string full =
        SecondWrite(kCode, std::string(2000, 'm'), "CKQSecRolesCollection::Add", "x");
    EXPECT_EQ(debug.Writes()[1], full.substr(0, 1023));
}

TEST_F(RecordEventTest, CreateAuditSupportHandsOutOneReference)
{
    IAuditSupport* support = reinterpret_cast<IAuditSupport*>(1);
    {
        FakeAuditRegistration fake;
        ASSERT_EQ(fake.registered(), S_OK);
        ASSERT_EQ(CreateAuditSupport(&support), S_OK);
        ASSERT_NE(support, nullptr);
        EXPECT_EQ(support->Release(), 0u);
        EXPECT_EQ(fake.CallNames(), (Names{"CreateInstance", "ReleaseSupport"}));
    }
    FakeAuditRegistration missing({REGDB_E_CLASSNOTREG});
    ASSERT_EQ(missing.registered(), S_OK);
    DebugOutputCapture debug;
    EXPECT_EQ(CreateAuditSupport(&support), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(support, nullptr);
    EXPECT_EQ(debug.Writes(), std::vector<std::string>{CreationWrite(REGDB_E_CLASSNOTREG)});
}

// A step of an operation that passes on what it is given.
HRESULT Step(HRESULT result)
{
    return result;
}

// An operation in the way every reporting operation is written.
HRESULT Operation(const ErrorContext& context, HRESULT first, HRESULT second, int& line)
{
    line = __LINE__ + 1;
    REPORT_IF_FAILED(context, Step(first));
    return REPORTED(context, Step(second));
}

// A failure passed on becomes one event, and its site (file, line and the
// call that failed) goes to the debugger output; a success does neither.
TEST_F(RecordEventTest, ReportedFailuresGoOutWithTheirSite)
{
    const struct {
        HRESULT first, second, result;
        int lineOffset;  // from the first step; -1: no failure
        const char* expression;
    } cases[] = {
        {E_ACCESSDENIED, S_OK, E_ACCESSDENIED, 0, "Step(first)"},
        {S_FALSE, kCode, kCode, 1, "Step(second)"},
        {S_OK, S_FALSE, S_FALSE, -1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        FakeAuditRegistration fake;
        ASSERT_EQ(fake.registered(), S_OK);
        ErrorContext context(op::RolesCollection_Remove);
        DebugOutputCapture debug;
        int line = 0;
        EXPECT_EQ(Operation(context, c.first, c.second, line), c.result);

        const FakeCall* create = Find(fake.Calls(), "CreateEvent");
        if (c.lineOffset < 0) {
            EXPECT_EQ(create, nullptr);
            EXPECT_TRUE(debug.Writes().empty());
            continue;
        }
        ASSERT_NE(create, nullptr);
        EXPECT_EQ(create->args[1], std::to_wstring(c.result));
        char site[256];
        snprintf(site, sizeof site, "tests/reporting/EventRecorderTest.cpp(%d): %s: 0x%08lX\n",
                 line + c.lineOffset, c.expression, static_cast<unsigned long>(c.result));
        ASSERT_FALSE(debug.Writes().empty());
        EXPECT_EQ(debug.Writes()[0], site);
    }
}

}  // namespace
