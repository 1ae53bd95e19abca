// The client stand-in on its own: registration and interfaces, each
// operation's effect on a policy file, the control interface, and the
// promises about where and how it writes.
#include "SecClientSupport.h"

#include "ResourceOwners.h"

#include <functional>
#include <thread>

namespace {

const char kOperators[] = "{13CEE7F6-538C-43C2-AF6F-04F650653063}";
const char kMaintenance[] = "{33164CD7-CD23-417C-BF55-6D7905DC29EB}";
const wchar_t kOperatorsW[] = L"{13CEE7F6-538C-43C2-AF6F-04F650653063}";
const wchar_t kMaintenanceId[] = L"KIV33164CD7-CD23-417C-BF55-6D7905DC29EB";

// References by identifier (any case) and by name (any case), a comment,
// aligned fields and records of other kinds.
const char* const kBase[] = {
    "policy | 1",
    "# Plant roles",
    "role | {13CEE7F6-538C-43C2-AF6F-04F650653063} | Operators   | Run the process areas",
    "role | {33164CD7-CD23-417C-BF55-6D7905DC29EB} | Maintenance",
    "role-group | Operators   | PLANT\\Shift A",
    "role-user  | {13cee7f6-538c-43c2-af6f-04f650653063} | PLANT\\carol",
    "role-user  | Maintenance | PLANT\\bob",
    "role-grant | operators   | CN=Pump P-101,O=Plant | 3",
    "role-grant | {33164CD7-CD23-417C-BF55-6D7905DC29EB} | CN=Pump P-101,O=Plant | 5",
    "grant | PLANT\\bob | CN=Pump P-101,O=Plant | 0x2",
    "application | Others | SID-0000",
};

struct Change {
    int line;          // index into kBase
    std::string text;  // "-" removes the line
};

// kBase with some lines replaced or removed, and new lines after others.
std::string BaseWith(std::vector<Change> replaced, std::vector<Change> added = {})
{
    std::string text;
    for (int i = 0; i < static_cast<int>(std::size(kBase)); ++i) {
        std::string line = kBase[i];
        for (const Change& change : replaced)
            if (change.line == i) line = change.text;
        if (line != "-") text += line + "\r\n";
        for (const Change& change : added)
            if (change.line == i) text += change.text + "\r\n";
    }
    return text;
}

std::string Base()
{
    return BaseWith({});
}

bool IsCanonicalGuid(const std::wstring& text)
{
    GUID guid;
    wchar_t canonical[64];
    if (FAILED(CLSIDFromString(text.c_str(), &guid))) return false;
    StringFromGUID2(guid, canonical, 64);
    return text == canonical;
}

// A call and what it gives back: AddRole's identifier slot, a delete's result.
using Call = std::function<HRESULT(IAuthSecClient*, std::wstring& out)>;

Call Add(const wchar_t* name, const wchar_t* description, const wchar_t* id)
{
    return [=](IAuthSecClient* client, std::wstring& out) {
        BSTR slot = id ? SysAllocString(id) : nullptr;
        HRESULT hr = client->AddRole(Bstr(name), Bstr(description), &slot);
        out = slot ? slot : L"<null>";
        SysFreeString(slot);
        return hr;
    };
}

Call Update(const wchar_t* id, const wchar_t* name, const wchar_t* description,
            const wchar_t* users, const wchar_t* groups)
{
    return [=](IAuthSecClient* client, std::wstring&) {
        return client->UpdateRole(Bstr(id), Bstr(name), Bstr(description), Bstr(users),
                                  Bstr(groups), 0);
    };
}

Call DeleteByName(const wchar_t* name)
{
    return [=](IAuthSecClient* client, std::wstring& out) {
        LONG result = -1;
        HRESULT hr = client->DeleteRoleByName(Bstr(name), &result);
        out = std::to_wstring(result);
        return hr;
    };
}

Call DeleteById(const wchar_t* prefixedId)
{
    return [=](IAuthSecClient* client, std::wstring& out) {
        LONG result = -1;
        HRESULT hr = client->DeleteRoleById(Bstr(prefixedId), &result);
        out = std::to_wstring(result);
        return hr;
    };
}

class SecClientTest : public testing::Test {
protected:
    void SetUp() override
    {
        SetEnvironmentVariableW(L"KIVAUTH_POLICY", nullptr);
        m_policy = m_folder.File(L"policy.txt");
        m_client = CreateClient();
        ASSERT_TRUE(m_client);
        m_control = ControlOf(m_client);
        ASSERT_EQ(m_control->put_PolicyFile(Bstr(m_policy.c_str())), S_OK);
    }
    void TearDown() override
    {
        m_control.reset();
        m_client.reset();
        EXPECT_EQ(SecClientCanUnload(), S_OK) << "objects of SecClient.dll left alive";
    }

    TempFolder m_folder;
    std::wstring m_policy;
    com_ptr<IAuthSecClient> m_client;
    com_ptr<ISecClientControl> m_control;
};

// --- Registration and interfaces ---------------------------------------------

TEST_F(SecClientTest, ProgIdNamesTheRegisteredApartmentClass)
{
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(L"Authorization.SecClientStandIn", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_SecClientStandIn));
    ASSERT_EQ(CLSIDFromProgID(L"Authorization.SecClientStandIn.1", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_SecClientStandIn));

    wchar_t key[128], clsidText[40], model[32] = {};
    StringFromGUID2(CLSID_SecClientStandIn, clsidText, 40);
    swprintf(key, 128, L"CLSID\\%ls\\InprocServer32", clsidText);
    DWORD size = sizeof model;
    ASSERT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, key, L"ThreadingModel", RRF_RT_REG_SZ, nullptr, model,
                           &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(model, L"Apartment");

    com_ptr<ITypeLib> typeLib;
    EXPECT_EQ(LoadRegTypeLib(LIBID_SecClientLib, 1, 0, LANG_NEUTRAL, typeLib.put()), S_OK);
}

TEST_F(SecClientTest, AnswersItsInterfacesAndNoOthers)
{
    const struct {
        const IID* iid;
        HRESULT expected;
    } cases[] = {
        {&IID_IUnknown, S_OK},          {&IID_IDispatch, S_OK},
        {&IID_IAuthSecClient, S_OK},    {&IID_ISecClientControl, S_OK},
        {&IID_IMarshal, E_NOINTERFACE}, {&IID_IClassFactory, E_NOINTERFACE},
        {&IID_IPersist, E_NOINTERFACE}, {&IID_IProvideClassInfo, E_NOINTERFACE},
    };
    EXPECT_EQ(RefCount(m_client.get()), 2u);  // the test's two pointers
    for (const auto& c : cases) {
        com_ptr<IUnknown> answer;
        wchar_t name[40];
        StringFromGUID2(*c.iid, name, 40);
        EXPECT_EQ(m_client->QueryInterface(*c.iid, answer.put_void()), c.expected) << Narrow(name);
        EXPECT_EQ(!!answer, c.expected == S_OK) << Narrow(name);
    }
    EXPECT_EQ(RefCount(m_client.get()), 2u);

    // One identity; IDispatch is the control interface.
    com_ptr<IUnknown> fromClient, fromControl;
    com_ptr<IDispatch> dispatch;
    m_client->QueryInterface(IID_IUnknown, fromClient.put_void());
    m_control->QueryInterface(IID_IUnknown, fromControl.put_void());
    m_client->QueryInterface(IID_IDispatch, dispatch.put_void());
    EXPECT_EQ(fromClient.get(), fromControl.get());
    EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(m_control.get()));
}

TEST_F(SecClientTest, ScriptsReachTheControlInterfaceThroughIDispatch)
{
    com_ptr<IDispatch> dispatch;
    ASSERT_EQ(m_client->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
    // Even through the IDispatch part of IAuthSecClient.
    IDispatch* viaClient = m_client.get();
    const wchar_t* names[] = {L"PolicyFile", L"FailNext",  L"FailAlways", L"ClearFailures",
                              L"LastCall",   L"CallCount", L"LastResult"};
    for (int i = 0; i < static_cast<int>(std::size(names)); ++i) {
        LPOLESTR name = const_cast<LPOLESTR>(names[i]);
        DISPID dispid = -1;
        EXPECT_EQ(viaClient->GetIDsOfNames(IID_NULL, &name, 1, 0, &dispid), S_OK)
            << Narrow(names[i]);
        EXPECT_EQ(dispid, i + 1) << Narrow(names[i]);
    }

    LPOLESTR name = const_cast<LPOLESTR>(L"PolicyFile");
    DISPID dispid;
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, 0, &dispid), S_OK);
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = SysAllocString(L"Z:\\elsewhere\\policy.txt");
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put = {&value, &named, 1, 1};
    EXPECT_EQ(dispatch->Invoke(dispid, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr,
                               nullptr),
              S_OK);
    VariantClear(&value);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    unique_variant got;
    EXPECT_EQ(
        dispatch->Invoke(dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &got, nullptr, nullptr),
        S_OK);
    ASSERT_EQ(V_VT(&got), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&got), L"Z:\\elsewhere\\policy.txt");
}

// The module never calls them; they must answer, not crash.
TEST_F(SecClientTest, ReservedSlotsAnswerNotImplemented)
{
    using Reserved = HRESULT (STDMETHODCALLTYPE IAuthSecClient::*)();
    const Reserved slots[] = {
        &IAuthSecClient::Reserved07, &IAuthSecClient::Reserved08, &IAuthSecClient::Reserved09,
        &IAuthSecClient::Reserved10, &IAuthSecClient::Reserved11, &IAuthSecClient::Reserved12,
        &IAuthSecClient::Reserved13, &IAuthSecClient::Reserved14, &IAuthSecClient::Reserved15,
        &IAuthSecClient::Reserved16, &IAuthSecClient::Reserved17, &IAuthSecClient::Reserved20,
        &IAuthSecClient::Reserved21, &IAuthSecClient::Reserved22, &IAuthSecClient::Reserved23,
        &IAuthSecClient::Reserved24, &IAuthSecClient::Reserved25, &IAuthSecClient::Reserved26,
        &IAuthSecClient::Reserved27,
    };
    for (Reserved slot : slots) EXPECT_EQ((m_client.get()->*slot)(), E_NOTIMPL);
    LONG count = -1;
    m_control->get_CallCount(&count);
    EXPECT_EQ(count, 0);
}

// --- Each operation's effect on the file --------------------------------------

struct EditCase {
    const char* name;
    Call call;
    HRESULT expected;
    std::string after;   // empty: the file stays byte for byte
    const wchar_t* out;  // what the call gives back; "{NEW}" a new identifier; null: not checked
    std::string before = "";  // empty: kBase
};

void PrintTo(const EditCase& c, std::ostream* os)
{
    *os << c.name;
}

class PolicyEdit : public SecClientTest, public testing::WithParamInterface<EditCase> {};

TEST_P(PolicyEdit, ChangesExactlyWhatItShould)
{
    const EditCase& c = GetParam();
    std::string before = c.before.empty() ? Base() : c.before;
    WriteBytes(m_policy, before);

    std::wstring out;
    EXPECT_EQ(c.call(m_client.get(), out), c.expected);
    std::string expected = c.after.empty() ? before : c.after;
    if (c.out && std::wstring(c.out) == L"{NEW}") {
        EXPECT_TRUE(IsCanonicalGuid(out)) << Narrow(out.c_str());
        size_t at = expected.find("{NEW}");
        ASSERT_NE(at, std::string::npos);
        expected.replace(at, 5, Narrow(out.c_str()));
    } else if (c.out) {
        EXPECT_EQ(out, c.out);
    }
    std::string after = ReadBytes(m_policy);
    EXPECT_EQ(after, expected);
    if (SUCCEEDED(c.expected)) {
        EXPECT_TRUE(LibraryAccepts(after)) << after;
    }
    // The new file took the old one's place: nothing else is left behind.
    EXPECT_EQ(m_folder.Files(), std::vector<std::wstring>{L"policy.txt"});
}

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
const HRESULT kExists = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
const HRESULT kInvalidPolicy = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
const std::string kShiftLeads = "role | {0A1B2C3D-1111-2222-3333-444455556666} | Shift Leads";

INSTANTIATE_TEST_SUITE_P(
    AddRole, PolicyEdit,
    testing::Values(
        EditCase{"GivenIdInLowerCaseIsStoredAndHandedBackCanonical",
                 Add(L"Shift Leads", L"Lead the shifts", L"{0a1b2c3d-1111-2222-3333-444455556666}"),
                 S_OK, BaseWith({}, {{3, kShiftLeads + " | Lead the shifts"}}),
                 L"{0A1B2C3D-1111-2222-3333-444455556666}"},
        EditCase{"NullIdGetsANewOne", Add(L"Shift Leads", nullptr, nullptr), S_OK,
                 BaseWith({}, {{3, "role | {NEW} | Shift Leads"}}), L"{NEW}"},
        EditCase{"EmptyIdGetsANewOne", Add(L"Shift Leads", L"", L""), S_OK,
                 BaseWith({}, {{3, "role | {NEW} | Shift Leads"}}), L"{NEW}"},
        EditCase{"DescriptionKeepsBarsAndLosesSurroundingBlanks",
                 Add(L"Shift Leads", L" \tA | B  ", L"{0A1B2C3D-1111-2222-3333-444455556666}"),
                 S_OK, BaseWith({}, {{3, kShiftLeads + " | A | B"}})},
        EditCase{"NameOfAnotherRoleInOtherCase", Add(L"MAINTENANCE", nullptr, nullptr), kExists, "",
                 L"<null>"},
        EditCase{"IdOfAnotherRole",
                 Add(L"Shift Leads", nullptr, L"{33164cd7-cd23-417c-bf55-6d7905dc29eb}"), kExists,
                 "", L"{33164cd7-cd23-417c-bf55-6d7905dc29eb}"},
        EditCase{"NullName", Add(nullptr, nullptr, nullptr), E_INVALIDARG, ""},
        EditCase{"EmptyName", Add(L"", nullptr, nullptr), E_INVALIDARG, ""},
        EditCase{"NameWithABar", Add(L"A|B", nullptr, nullptr), E_INVALIDARG, ""},
        EditCase{"NameWithALineBreak", Add(L"A\nB", nullptr, nullptr), E_INVALIDARG, ""},
        EditCase{"NameEndingInATab", Add(L"Leads\t", nullptr, nullptr), E_INVALIDARG, ""},
        EditCase{"NameOfSpacesOnly", Add(L"   ", nullptr, nullptr), E_INVALIDARG, ""},
        EditCase{"NameThatReadsAsAnId",
                 Add(L"{0A1B2C3D-1111-2222-3333-444455556666}", nullptr, nullptr), E_INVALIDARG,
                 ""},
        EditCase{"IdThatIsNoGuid", Add(L"Shift Leads", nullptr, L"not-a-guid"), E_INVALIDARG, "",
                 L"not-a-guid"},
        EditCase{"IdWithoutBraces",
                 Add(L"Shift Leads", nullptr, L"0A1B2C3D-1111-2222-3333-444455556666"),
                 E_INVALIDARG, ""},
        EditCase{"DescriptionWithALineBreak", Add(L"Shift Leads", L"one\r\ntwo", nullptr),
                 E_INVALIDARG, ""}),
    [](const testing::TestParamInfo<EditCase>& row) { return std::string(row.param.name); });

const std::string kOperatorsRecord = std::string("role | ") + kOperators;

INSTANTIATE_TEST_SUITE_P(
    UpdateRole, PolicyEdit,
    testing::Values(
        EditCase{"UnchangedRoleLeavesTheFileAlone",
                 Update(kOperatorsW, L"Operators", L"Run the process areas", L"PLANT\\carol;",
                        L"PLANT\\Shift A;"),
                 S_OK, ""},
        EditCase{"RenameReachesTheLinesThatUsedTheOldName",
                 Update(kOperatorsW, L"Shift Operators", L"Run the process areas", L"PLANT\\carol;",
                        L"PLANT\\Shift A;"),
                 S_OK,
                 BaseWith({{2, kOperatorsRecord + " | Shift Operators   | Run the process areas"},
                           {4, "role-group | Shift Operators   | PLANT\\Shift A"},
                           {7, "role-grant | Shift Operators   | CN=Pump P-101,O=Plant | 3"}})},
        EditCase{"RenameInCaseOnly",
                 Update(L"{13cee7f6-538c-43c2-af6f-04f650653063}", L"OPERATORS",
                        L"Run the process areas", L"PLANT\\carol;", L"PLANT\\Shift A;"),
                 S_OK,
                 BaseWith({{2, kOperatorsRecord + " | OPERATORS   | Run the process areas"},
                           {4, "role-group | OPERATORS   | PLANT\\Shift A"},
                           {7, "role-grant | OPERATORS   | CN=Pump P-101,O=Plant | 3"}})},
        EditCase{"NameIsTrimmed",
                 Update(kOperatorsW, L"  Crew \t", L"Run the process areas", L"PLANT\\carol;",
                        L"PLANT\\Shift A;"),
                 S_OK,
                 BaseWith({{2, kOperatorsRecord + " | Crew   | Run the process areas"},
                           {4, "role-group | Crew   | PLANT\\Shift A"},
                           {7, "role-grant | Crew   | CN=Pump P-101,O=Plant | 3"}})},
        EditCase{
            "NewDescription",
            Update(kOperatorsW, L"Operators", L"Run it all", L"PLANT\\carol;", L"PLANT\\Shift A;"),
            S_OK, BaseWith({{2, kOperatorsRecord + " | Operators   | Run it all"}})},
        EditCase{"DescriptionRemoved",
                 Update(kOperatorsW, L"Operators", nullptr, L"PLANT\\carol;", L"PLANT\\Shift A;"),
                 S_OK, BaseWith({{2, kOperatorsRecord + " | Operators"}})},
        EditCase{"EmptyDescriptionFieldFilled",
                 Update(kOperatorsW, L"Operators", L"Runs", nullptr, nullptr), S_OK,
                 Crlf({"policy | 1", (kOperatorsRecord + " | Operators | Runs").c_str()}), nullptr,
                 Crlf({"policy | 1", (kOperatorsRecord + " | Operators |").c_str()})},
        EditCase{
            "FirstDescription",
            Update(L"{33164CD7-CD23-417C-BF55-6D7905DC29EB}", L"Maintenance", L"Fix things",
                   L"PLANT\\bob;", nullptr),
            S_OK,
            BaseWith({{3, std::string("role | ") + kMaintenance + " | Maintenance | Fix things"}})},
        EditCase{"MembersKeptAddedAndRemoved",
                 Update(kOperatorsW, L"Operators", L"Run the process areas",
                        L"PLANT\\carol;PLANT\\dave;", nullptr),
                 S_OK,
                 BaseWith({{4, "-"}},
                          {{5, std::string("role-user | ") + kOperators + " | PLANT\\dave"}})},
        EditCase{"MembersInANewOrder",
                 Update(kOperatorsW, L"Operators", L"Run the process areas",
                        L"PLANT\\dave;PLANT\\carol;", L"PLANT\\Shift A;"),
                 S_OK,
                 BaseWith({{5, "-"}},
                          {{2, std::string("role-user | ") + kOperators + " | PLANT\\dave"},
                           {2, std::string("role-user | ") + kOperators + " | PLANT\\carol"}})},
        EditCase{"BlankMembersAreSkipped",
                 Update(kOperatorsW, L"Operators", L"Run the process areas",
                        L" PLANT\\carol ;; ; \t;PLANT\\erin", L";PLANT\\Shift A;"),
                 S_OK,
                 BaseWith({}, {{5, std::string("role-user | ") + kOperators + " | PLANT\\erin"}})},
        EditCase{"MemberLinesOfARoleWithoutAny",
                 Update(L"{33164CD7-CD23-417C-BF55-6D7905DC29EB}", L"Maintenance", nullptr, nullptr,
                        L"PLANT\\Engineers;"),
                 S_OK,
                 BaseWith({{6, "-"}}, {{3, std::string("role-group | ") + kMaintenance +
                                               " | PLANT\\Engineers"}})},
        EditCase{
            "UnknownId",
            Update(L"{0A1B2C3D-1111-2222-3333-444455556666}", L"Ghosts", nullptr, nullptr, nullptr),
            kNotFound, ""},
        EditCase{"NameOfAnotherRole",
                 Update(kOperatorsW, L"maintenance", nullptr, nullptr, nullptr), kExists, ""},
        EditCase{"NullId", Update(nullptr, L"Operators", nullptr, nullptr, nullptr), E_INVALIDARG,
                 ""},
        EditCase{"PrefixedId",
                 Update(L"KIV13CEE7F6-538C-43C2-AF6F-04F650653063", L"Operators", nullptr, nullptr,
                        nullptr),
                 E_INVALIDARG, ""},
        EditCase{"NullName", Update(kOperatorsW, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG,
                 ""},
        EditCase{"MemberWithABar",
                 Update(kOperatorsW, L"Operators", nullptr, L"PLANT\\a|b;", nullptr), E_INVALIDARG,
                 ""}),
    [](const testing::TestParamInfo<EditCase>& row) { return std::string(row.param.name); });

INSTANTIATE_TEST_SUITE_P(
    DeleteRole, PolicyEdit,
    testing::Values(
        EditCase{"ByNameWithEveryLineNamingIt", DeleteByName(L"operators"), S_OK,
                 BaseWith({{2, "-"}, {4, "-"}, {5, "-"}, {7, "-"}}), L"1"},
        EditCase{"ByIdWithEveryLineNamingIt", DeleteById(kMaintenanceId), S_OK,
                 BaseWith({{3, "-"}, {6, "-"}, {8, "-"}}), L"1"},
        EditCase{"ByIdInLowerCase", DeleteById(L"KIV33164cd7-cd23-417c-bf55-6d7905dc29eb"), S_OK,
                 BaseWith({{3, "-"}, {6, "-"}, {8, "-"}}), L"1"},
        EditCase{"UnknownName", DeleteByName(L"Ghosts"), kNotFound, "", L"0"},
        EditCase{"NameIsNotTrimmed", DeleteByName(L" Operators"), kNotFound, "", L"0"},
        EditCase{"UnknownId", DeleteById(L"KIV0A1B2C3D-1111-2222-3333-444455556666"), kNotFound, "",
                 L"0"},
        EditCase{"NullName", DeleteByName(nullptr), E_INVALIDARG, "", L"0"},
        EditCase{"EmptyName", DeleteByName(L""), E_INVALIDARG, "", L"0"},
        EditCase{"NullId", DeleteById(nullptr), E_INVALIDARG, "", L"0"},
        EditCase{"PrefixAlone", DeleteById(L"KIV"), E_INVALIDARG, "", L"0"},
        EditCase{"BracesKept", DeleteById(L"KIV{33164CD7-CD23-417C-BF55-6D7905DC29EB}"),
                 E_INVALIDARG, "", L"0"},
        EditCase{"OtherPrefix", DeleteById(L"XYZ33164CD7-CD23-417C-BF55-6D7905DC29EB"),
                 E_INVALIDARG, "", L"0"},
        EditCase{"PrefixInLowerCase", DeleteById(L"kiv33164CD7-CD23-417C-BF55-6D7905DC29EB"),
                 E_INVALIDARG, "", L"0"},
        EditCase{"ShortId", DeleteById(L"KIV33164CD7-CD23-417C-BF55-6D7905DC29E"), E_INVALIDARG, "",
                 L"0"},
        EditCase{"NotHexadecimal", DeleteById(L"KIV33164CD7-CD23-417C-BF55-6D7905DC29EG"),
                 E_INVALIDARG, "", L"0"}),
    [](const testing::TestParamInfo<EditCase>& row) { return std::string(row.param.name); });

// Line ends, a missing final line end, a file without roles, the encoding.
INSTANTIATE_TEST_SUITE_P(
    FileForm, PolicyEdit,
    testing::Values(
        EditCase{"LineFeedsOnly",
                 Add(L"Shift Leads", nullptr, L"{0A1B2C3D-1111-2222-3333-444455556666}"), S_OK,
                 "policy | 1\nrole | {13CEE7F6-538C-43C2-AF6F-04F650653063} | Operators\n" +
                     kShiftLeads + "\nrole-user | Operators | PLANT\\carol\n",
                 nullptr,
                 "policy | 1\nrole | {13CEE7F6-538C-43C2-AF6F-04F650653063} | Operators\n"
                 "role-user | Operators | PLANT\\carol\n"},
        EditCase{"NoFinalLineEnd",
                 Add(L"Shift Leads", nullptr, L"{0A1B2C3D-1111-2222-3333-444455556666}"), S_OK,
                 "policy | 1\r\nrole | {13CEE7F6-538C-43C2-AF6F-04F650653063} | Operators\r\n" +
                     kShiftLeads,
                 nullptr,
                 "policy | 1\r\nrole | {13CEE7F6-538C-43C2-AF6F-04F650653063} | Operators"},
        EditCase{
            "LastLineRemovedWithoutFinalLineEnd", DeleteByName(L"Operators"), S_OK,
            "policy | 1\r\n# none", L"1",
            "policy | 1\r\n# none\r\nrole | {13CEE7F6-538C-43C2-AF6F-04F650653063} | Operators"},
        EditCase{"NoRolesYet",
                 Add(L"Shift Leads", nullptr, L"{0A1B2C3D-1111-2222-3333-444455556666}"), S_OK,
                 Crlf({"policy | 1", "grant | PLANT\\bob | CN=X | 1", kShiftLeads.c_str()}),
                 nullptr, Crlf({"policy | 1", "grant | PLANT\\bob | CN=X | 1"})},
        EditCase{
            "Utf8WithByteOrderMark",
            Add(L"Pr\u00FCfer", L"\u00DCberblick", L"{0A1B2C3D-1111-2222-3333-444455556666}"), S_OK,
            "\xEF\xBB\xBFpolicy | 1\r\nrole | {0A1B2C3D-1111-2222-3333-444455556666} | Pr\xC3\xBC"
            "fer | \xC3\x9C"
            "berblick\r\n",
            nullptr, "\xEF\xBB\xBFpolicy | 1\r\n"},
        EditCase{"HeaderOnlyAfterComments",
                 Add(L"A", nullptr, L"{0A1B2C3D-1111-2222-3333-444455556666}"), S_OK,
                 "# written by hand\r\n\r\npolicy|1\r\nrole | "
                 "{0A1B2C3D-1111-2222-3333-444455556666} | A\r\n",
                 nullptr, "# written by hand\r\n\r\npolicy|1\r\n"}),
    [](const testing::TestParamInfo<EditCase>& row) { return std::string(row.param.name); });

// Texts are written exactly as given, in the code page that the library
// holds them in, or refused with the file left as it was: by best fit
// "\x0101lice" was written as "alice", a fullwidth bar as a field's "|", and
// "\x014Cperators" deleted Operators.
INSTANTIATE_TEST_SUITE_P(
    ExactText, PolicyEdit,
    testing::Values(
        EditCase{"MemberWithALookAlike",
                 Update(kOperatorsW, L"Operators", L"Run the process areas", L"PLANT\\\x0101lice",
                        nullptr),
                 E_INVALIDARG, ""},
        EditCase{"MemberWithAFullwidthBar",
                 Update(kOperatorsW, L"Operators", L"Run the process areas",
                        L"PLANT\\carol\xFF5C"
                        L"5",
                        nullptr),
                 E_INVALIDARG, ""},
        EditCase{"GroupWithABarLookAlike",
                 Update(kOperatorsW, L"Operators", L"Run the process areas", nullptr,
                        L"PLANT\\Shift\x01C0"
                        L"A"),
                 E_INVALIDARG, ""},
        EditCase{"NameWithABackslashLookAlike", Add(L"Night\x2216Shift", nullptr, nullptr),
                 E_INVALIDARG, ""},
        EditCase{"NameTheCodePageLacks", Add(L"\x0418\x0432\x0430\x043D", nullptr, nullptr),
                 E_INVALIDARG, ""},
        EditCase{"DescriptionTheCodePageLacks", Add(L"Leads", L"\x4E2D", nullptr), E_INVALIDARG,
                 ""},
        EditCase{"DeleteByLookAlikeName", DeleteByName(L"\x014Cperators"), kNotFound, "", L"0"},
        EditCase{"Utf8FileNameTheLibraryCannotHold",
                 Add(L"\x0418\x0432\x0430\x043D", nullptr, nullptr), E_INVALIDARG, "", nullptr,
                 "\xEF\xBB\xBFpolicy | 1\r\n"},
        EditCase{"Utf8FileWithALineTheLibraryCannotHold", Add(L"A", nullptr, nullptr),
                 kInvalidPolicy, "", nullptr,
                 "\xEF\xBB\xBFpolicy | 1\r\ngrant | PLANT\\\xD0\x98 | CN=X | 1\r\n"},
        EditCase{"Utf8FileWithInvalidUtf8", Add(L"A", nullptr, nullptr), kInvalidPolicy, "",
                 nullptr, "\xEF\xBB\xBFpolicy | 1\r\ngrant | PLANT\\\xC3\x28 | CN=X | 1\r\n"}),
    [](const testing::TestParamInfo<EditCase>& row) { return std::string(row.param.name); });

// A policy the library would refuse is not edited.
INSTANTIATE_TEST_SUITE_P(
    InvalidPolicy, PolicyEdit,
    testing::Values(
        EditCase{"Empty", Add(L"A", nullptr, nullptr), kInvalidPolicy, "", nullptr,
                 "\r\n# nothing\r\n"},
        EditCase{"NoHeader", Add(L"A", nullptr, nullptr), kInvalidPolicy, "", nullptr,
                 Crlf({"role | {13CEE7F6-538C-43C2-AF6F-04F650653063} | Operators"})},
        EditCase{"OtherVersion", Add(L"A", nullptr, nullptr), kInvalidPolicy, "", nullptr,
                 Crlf({"policy | 2"})},
        EditCase{"RoleWithoutGuid", Add(L"A", nullptr, nullptr), kInvalidPolicy, "", nullptr,
                 Crlf({"policy | 1", "role | 13CEE7F6 | Operators"})},
        EditCase{"TwoRolesOfOneName", DeleteByName(L"Operators"), kInvalidPolicy, "", L"0",
                 Crlf({"policy | 1", "role | {13CEE7F6-538C-43C2-AF6F-04F650653063} | Operators",
                       "role | {33164CD7-CD23-417C-BF55-6D7905DC29EB} | OPERATORS"})},
        EditCase{"MemberLineWithTooManyFields", DeleteByName(L"Operators"), kInvalidPolicy, "",
                 L"0",
                 Crlf({"policy | 1", "role | {13CEE7F6-538C-43C2-AF6F-04F650653063} | Operators",
                       "role-user | Operators | PLANT\\carol | extra"})}),
    [](const testing::TestParamInfo<EditCase>& row) { return std::string(row.param.name); });

// Blank lines, comments and records of other kinds around the records an
// edit touches come out byte for byte, line ends and all, however many.
std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

const std::string kOperatorsLine = kOperatorsRecord + " | Operators | Run the process areas\r\n";
const std::string kCarolLine = "role-user | Operators | PLANT\\carol\r\n";
const std::string kMaintenanceLine = std::string("role | ") + kMaintenance + " | Maintenance\n";
const std::string kAround = "\r\n# written by hand\r\n\npolicy | 1\r\n  \t\r\n# roles\n" +
                            kOperatorsLine + "\r\n\r\n# between\r\n" + kMaintenanceLine +
                            "\n\n   # indented\r\n" + kCarolLine +
                            "grant | PLANT\\bob | CN=X | 1\n\t\n# the last, without a line end";

std::string Repeated(const std::string& text, size_t times)
{
    std::string joined;
    for (size_t i = 0; i < times; ++i) joined += text;
    return joined;
}

const std::string kFarApart = "policy | 1\r\n" + kOperatorsLine + Repeated("\r\n", 10000) +
                              Repeated("# comment\n\n", 5000) + kMaintenanceLine +
                              Repeated("\n", 10000) + "# the end\r\n";

INSTANTIATE_TEST_SUITE_P(
    PassThrough, PolicyEdit,
    testing::Values(
        EditCase{"RenameAmongBlankLinesAndComments",
                 Update(kOperatorsW, L"Crew", L"Run the process areas", L"PLANT\\carol;", nullptr),
                 S_OK,
                 Replaced(Replaced(kAround, kOperatorsLine,
                                   kOperatorsRecord + " | Crew | Run the process areas\r\n"),
                          kCarolLine, "role-user | Crew | PLANT\\carol\r\n"),
                 nullptr, kAround},
        EditCase{"DeleteAmongBlankLinesAndComments", DeleteByName(L"Operators"), S_OK,
                 Replaced(Replaced(kAround, kOperatorsLine, ""), kCarolLine, ""), L"1", kAround},
        EditCase{"AddAfterThousandsOfBlankLines",
                 Add(L"Shift Leads", nullptr, L"{0A1B2C3D-1111-2222-3333-444455556666}"), S_OK,
                 Replaced(kFarApart, kMaintenanceLine, kMaintenanceLine + kShiftLeads + "\r\n"),
                 nullptr, kFarApart},
        EditCase{"AddAfterCommentsWithoutAFinalLineEnd",
                 Add(L"Shift Leads", nullptr, L"{0A1B2C3D-1111-2222-3333-444455556666}"), S_OK,
                 "policy | 1\n\n  \n# only comments\n" + kShiftLeads, nullptr,
                 "policy | 1\n\n  \n# only comments"}),
    [](const testing::TestParamInfo<EditCase>& row) { return std::string(row.param.name); });

// The code page's characters, in a file without a byte order mark.
// A store of thousands of roles, as the lookups by hash must read it: each
// role is found by its name in any case and by its identifier wherever it
// stands, a name or identifier taken anywhere is refused, a deleted or
// renamed role frees its old name, and a duplicate far down the file makes
// it invalid.
TEST_F(SecClientTest, LargeStoreFindsEveryRoleWhereverItStands)
{
    const int roles = 3000;
    auto id = [](int i) {
        char text[40];
        snprintf(text, sizeof text, "{%08X-0000-4000-8000-%012X}", i, i);
        return std::string(text);
    };
    std::vector<std::string> lines = {"policy | 1"};
    for (int i = 0; i < roles; ++i) {
        lines.push_back("role | " + id(i) + " | Role " + std::to_string(i));
        lines.push_back("role-user | Role " + std::to_string(i) + " | D\\u" + std::to_string(i));
    }
    auto text = [&] {
        std::string joined;
        for (const std::string& line : lines)
            if (line != "-") joined += line + "\r\n";
        return joined;
    };
    auto roleLine = [&](int i) { return static_cast<size_t>(1 + 2 * i); };
    WriteBytes(m_policy, text());
    LONG done = 0;
    BSTR given = nullptr;

    EXPECT_EQ(m_client->DeleteRoleByName(Bstr(L"rOLE 2999"), &done), S_OK);
    lines[roleLine(2999)] = lines[roleLine(2999) + 1] = "-";
    EXPECT_EQ(ReadBytes(m_policy), text());
    std::wstring prefixed = L"KIV" + Widen(id(1500).substr(1, 36));
    EXPECT_EQ(m_client->DeleteRoleById(Bstr(prefixed.c_str()), &done), S_OK);
    lines[roleLine(1500)] = lines[roleLine(1500) + 1] = "-";
    EXPECT_EQ(ReadBytes(m_policy), text());
    EXPECT_EQ(m_client->DeleteRoleById(Bstr(prefixed.c_str()), &done),
              HRESULT_FROM_WIN32(ERROR_NOT_FOUND));

    EXPECT_EQ(m_client->AddRole(Bstr(L"ROLE 10"), nullptr, &given),
              HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    given = SysAllocString(Widen(id(2000)).c_str());
    EXPECT_EQ(m_client->AddRole(Bstr(L"Role 1500"), nullptr, &given),
              HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    SysFreeString(given);
    given = SysAllocString(Widen(id(1500)).c_str());
    EXPECT_EQ(m_client->AddRole(Bstr(L"Role 2999"), nullptr, &given), S_OK);
    SysFreeString(given);
    lines[roleLine(2998)] += "\r\nrole | " + id(1500) + " | Role 2999";
    EXPECT_EQ(ReadBytes(m_policy), text());

    EXPECT_EQ(m_client->UpdateRole(Bstr(Widen(id(7)).c_str()), Bstr(L"role 2999"), nullptr,
                                   Bstr(L"D\\u7;"), nullptr, 0),
              HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(m_client->UpdateRole(Bstr(Widen(id(7)).c_str()), Bstr(L"Seven"), nullptr,
                                   Bstr(L"D\\u7;"), nullptr, 0),
              S_OK);
    lines[roleLine(7)] = "role | " + id(7) + " | Seven";
    lines[roleLine(7) + 1] = "role-user | Seven | D\\u7";
    EXPECT_EQ(ReadBytes(m_policy), text());
    EXPECT_EQ(m_client->DeleteRoleByName(Bstr(L"Role 7"), &done),
              HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(m_client->DeleteRoleByName(Bstr(L"SEVEN"), &done), S_OK);
    lines[roleLine(7)] = lines[roleLine(7) + 1] = "-";
    EXPECT_EQ(ReadBytes(m_policy), text());
    EXPECT_TRUE(LibraryAccepts(text()));

    lines.push_back("role | {0A1B2C3D-1111-2222-3333-444455556666} | role 2500");
    WriteBytes(m_policy, text());
    EXPECT_EQ(m_client->DeleteRoleByName(Bstr(L"Role 1"), &done),
              HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
    EXPECT_EQ(ReadBytes(m_policy), text());
}

TEST_F(SecClientTest, TextsAreWrittenInTheAnsiCodePage)
{
    WriteBytes(m_policy, Crlf({"policy | 1"}));
    const wchar_t name[] = L"Pr\u00FCfer";
    char narrow[16] = {};
    WideCharToMultiByte(CP_ACP, 0, name, -1, narrow, sizeof narrow, nullptr, nullptr);
    std::wstring out;
    ASSERT_EQ(Add(name, nullptr, L"{0A1B2C3D-1111-2222-3333-444455556666}")(m_client.get(), out),
              S_OK);
    EXPECT_EQ(
        ReadBytes(m_policy),
        Crlf({"policy | 1",
              ("role | {0A1B2C3D-1111-2222-3333-444455556666} | " + std::string(narrow)).c_str()}));
}

// --- Pointers, configuration, where the file is -------------------------------

TEST_F(SecClientTest, NullOutPointersAreRefusedAndChangeNothing)
{
    WriteBytes(m_policy, Base());
    EXPECT_EQ(m_client->DeleteRoleByName(Bstr(L"Operators"), nullptr), E_POINTER);
    EXPECT_EQ(m_client->DeleteRoleById(Bstr(kMaintenanceId), nullptr), E_POINTER);
    EXPECT_EQ(m_client->AddRole(Bstr(L"Shift Leads"), nullptr, nullptr), E_POINTER);
    EXPECT_EQ(ReadBytes(m_policy), Base());

    EXPECT_EQ(m_control->get_PolicyFile(nullptr), E_POINTER);
    EXPECT_EQ(m_control->get_LastCall(nullptr), E_POINTER);
    EXPECT_EQ(m_control->get_CallCount(nullptr), E_POINTER);
    EXPECT_EQ(m_control->get_LastResult(nullptr), E_POINTER);
}

TEST_F(SecClientTest, WithoutAPolicyFileEveryOperationFailsClearly)
{
    ASSERT_EQ(m_control->put_PolicyFile(nullptr),
              S_OK);  // no override, no variable, no registry value
    BSTR shown = nullptr;
    ASSERT_EQ(m_control->get_PolicyFile(&shown), S_OK);
    EXPECT_EQ(SysStringLen(shown), 0u);
    SysFreeString(shown);

    const HRESULT kNoPolicy = HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND);
    std::wstring out;
    EXPECT_EQ(Add(L"A", nullptr, nullptr)(m_client.get(), out), kNoPolicy);
    EXPECT_EQ(out, L"<null>");
    EXPECT_EQ(Update(kOperatorsW, L"A", nullptr, nullptr, nullptr)(m_client.get(), out), kNoPolicy);
    EXPECT_EQ(DeleteByName(L"A")(m_client.get(), out), kNoPolicy);
    EXPECT_EQ(out, L"0");
    EXPECT_EQ(DeleteById(kMaintenanceId)(m_client.get(), out), kNoPolicy);
    // Arguments are judged first.
    EXPECT_EQ(Add(L"A|B", nullptr, nullptr)(m_client.get(), out), E_INVALIDARG);

    ASSERT_EQ(m_control->put_PolicyFile(Bstr(m_folder.File(L"missing.txt").c_str())), S_OK);
    EXPECT_EQ(Add(L"A", nullptr, nullptr)(m_client.get(), out),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(m_folder.Files(), std::vector<std::wstring>{});
}

// The same file as the library: the variable, then the registry value; the
// property overrides both. Addresses are taken as the library takes them.
TEST_F(SecClientTest, PolicyFileFollowsTheLibrarysPrecedence)
{
    auto shown = [&]() {
        BSTR path = nullptr;
        EXPECT_EQ(m_control->get_PolicyFile(&path), S_OK);
        std::wstring text = path ? path : L"";
        SysFreeString(path);
        return text;
    };
    ASSERT_EQ(m_control->put_PolicyFile(Bstr(L"")), S_OK);
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quarnex\\VOK\\KivAuth", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t fromRegistry[] = L"file:///C:/data/from%20registry.txt";
    RegSetValueExW(key, L"PolicyFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(fromRegistry),
                   sizeof fromRegistry);
    EXPECT_EQ(shown(), L"C:\\data\\from registry.txt");

    SetEnvironmentVariableW(L"KIVAUTH_POLICY", L"Z:\\from\\variable.txt");
    EXPECT_EQ(shown(), L"Z:\\from\\variable.txt");
    // A server's address names no file: the registry value counts again.
    SetEnvironmentVariableW(L"KIVAUTH_POLICY", L"http://server/policy");
    EXPECT_EQ(shown(), L"C:\\data\\from registry.txt");
    SetEnvironmentVariableW(L"KIVAUTH_POLICY", L"file://localhost/Z:/from/url.txt");
    EXPECT_EQ(shown(), L"Z:\\from\\url.txt");

    EXPECT_EQ(m_control->put_PolicyFile(Bstr(L"Z:\\override.txt")), S_OK);
    EXPECT_EQ(shown(), L"Z:\\override.txt");
    EXPECT_EQ(m_control->put_PolicyFile(Bstr(L"http://server/policy")), E_INVALIDARG);
    EXPECT_EQ(shown(), L"Z:\\override.txt");
    EXPECT_EQ(m_control->put_PolicyFile(Bstr(L"")), S_OK);
    EXPECT_EQ(shown(), L"Z:\\from\\url.txt");

    SetEnvironmentVariableW(L"KIVAUTH_POLICY", nullptr);
    RegDeleteValueW(key, L"PolicyFile");
    RegCloseKey(key);
    EXPECT_EQ(shown(), L"");
}

// --- Writing -------------------------------------------------------------------

// A file that is open cannot be renamed over: the write fails, and the old
// file, whole, is what remains. Nothing of the new one is left behind.
TEST_F(SecClientTest, FailedReplaceKeepsTheOldFileWhole)
{
    WriteBytes(m_policy, Base());
    HANDLE reader = CreateFileW(m_policy.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::wstring out;
    HRESULT hr = Add(L"Shift Leads", nullptr, nullptr)(m_client.get(), out);
    CloseHandle(reader);
    EXPECT_TRUE(hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) ||
                hr == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION))
        << std::hex << hr;
    EXPECT_EQ(out, L"<null>");
    EXPECT_EQ(ReadBytes(m_policy), Base());
    EXPECT_EQ(m_folder.Files(), std::vector<std::wstring>{L"policy.txt"});

    // Once the reader is gone the same change goes through.
    EXPECT_EQ(Add(L"Shift Leads", nullptr, nullptr)(m_client.get(), out), S_OK);
}

// Edits in a row, each on the text the one before wrote, and another writer
// changing the file between two of them (to a text of the same size): each
// edit sees the file as it is, and the other writer's change stays.
TEST_F(SecClientTest, EditsInARowSeeTheFileAsItIs)
{
    const wchar_t* const id = L"{0A1B2C3D-1111-2222-3333-444455556666}";
    const std::string leads = "role | {0A1B2C3D-1111-2222-3333-444455556666} | Leads";
    const std::string dave = "role-user | {0A1B2C3D-1111-2222-3333-444455556666} | PLANT\\dave";
    const Change otherWriter{2,
                             "role | {13CEE7F6-538C-43C2-AF6F-04F650653063} | Operators   | "
                             "Run the process yards"};
    struct Step {
        const char* what;
        Call call;  // null: the other writer writes the expected text itself
        HRESULT expected;
        std::string after;
    };
    const Step steps[] = {
        {"add", Add(L"Shift Leads", nullptr, id), S_OK, BaseWith({}, {{3, kShiftLeads}})},
        {"add the added name again", Add(L"shift leads", nullptr, nullptr), kExists,
         BaseWith({}, {{3, kShiftLeads}})},
        {"rename the added role, give it a user",
         Update(id, L"Leads", nullptr, L"PLANT\\dave", nullptr), S_OK,
         BaseWith({}, {{3, leads}, {3, dave}})},
        {"another writer", nullptr, S_OK, BaseWith({otherWriter}, {{3, leads}, {3, dave}})},
        {"delete the renamed role", DeleteByName(L"Leads"), S_OK, BaseWith({otherWriter})},
        {"delete it again", DeleteByName(L"Leads"), kNotFound, BaseWith({otherWriter})},
    };
    WriteBytes(m_policy, Base());
    for (const Step& step : steps) {
        std::wstring out;
        if (step.call)
            EXPECT_EQ(step.call(m_client.get(), out), step.expected) << step.what;
        else
            WriteBytes(m_policy, step.after);
        EXPECT_EQ(ReadBytes(m_policy), step.after) << step.what;
    }
}

// Writers of one file take turns: no change is lost, whatever the interleaving.
TEST_F(SecClientTest, ConcurrentWritersLoseNothing)
{
    WriteBytes(m_policy, Crlf({"policy | 1"}));
    constexpr int kWriters = 2, kRolesEach = 10;
    HRESULT results[kWriters][kRolesEach];
    auto writer = [&](int index) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            com_ptr<IAuthSecClient> client = CreateClient();
            ControlOf(client)->put_PolicyFile(Bstr(m_policy.c_str()));
            for (int i = 0; i < kRolesEach; ++i) {
                std::wstring out,
                    name = L"Role " + std::to_wstring(index) + L"." + std::to_wstring(i);
                results[index][i] = Add(name.c_str(), nullptr, nullptr)(client.get(), out);
            }
        }
        CoUninitialize();
    };
    std::thread first(writer, 0), second(writer, 1);
    first.join();
    second.join();
    for (auto& row : results)
        for (HRESULT hr : row) EXPECT_EQ(hr, S_OK);
    std::string text = ReadBytes(m_policy);
    EXPECT_TRUE(LibraryAccepts(text)) << text;
    for (int index = 0; index < kWriters; ++index)
        for (int i = 0; i < kRolesEach; ++i) {
            std::string name =
                " | Role " + std::to_string(index) + "." + std::to_string(i) + "\r\n";
            EXPECT_NE(text.find(name), std::string::npos) << name;
        }
}

// --- Failure injection and the record of calls ---------------------------------

struct OperationCase {
    const char* operation;
    Call call;  // succeeds on kBase, and again after a failure
};

void PrintTo(const OperationCase& c, std::ostream* os)
{
    *os << c.operation;
}

class InjectedFailure : public SecClientTest, public testing::WithParamInterface<OperationCase> {
protected:
    LONG Count()
    {
        LONG count = -1;
        m_control->get_CallCount(&count);
        return count;
    }
    LONG LastResult()
    {
        LONG code = 0;
        m_control->get_LastResult(&code);
        return code;
    }
};

TEST_P(InjectedFailure, FailNextFailsOnceWithoutTouchingTheFile)
{
    const OperationCase& c = GetParam();
    WriteBytes(m_policy, Base());
    ASSERT_EQ(m_control->FailNext(Bstr(Widen(c.operation).c_str()), E_ACCESSDENIED), S_OK);
    std::wstring out;
    EXPECT_EQ(c.call(m_client.get(), out), E_ACCESSDENIED);
    EXPECT_EQ(ReadBytes(m_policy), Base());
    EXPECT_EQ(LastResult(), E_ACCESSDENIED);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(c.call(m_client.get(), out), S_OK);
    EXPECT_NE(ReadBytes(m_policy), Base());
    EXPECT_EQ(LastResult(), S_OK);
    EXPECT_EQ(Count(), 2);
}

TEST_P(InjectedFailure, FailAlwaysLastsUntilCleared)
{
    const OperationCase& c = GetParam();
    WriteBytes(m_policy, Base());
    ASSERT_EQ(m_control->FailAlways(Bstr(Widen(c.operation).c_str()), E_FAIL), S_OK);
    std::wstring out;
    EXPECT_EQ(c.call(m_client.get(), out), E_FAIL);
    EXPECT_EQ(c.call(m_client.get(), out), E_FAIL);
    EXPECT_EQ(ReadBytes(m_policy), Base());
    ASSERT_EQ(m_control->ClearFailures(), S_OK);
    EXPECT_EQ(c.call(m_client.get(), out), S_OK);
}

TEST_P(InjectedFailure, StarFailsEveryOperation)
{
    const OperationCase& c = GetParam();
    WriteBytes(m_policy, Base());
    ASSERT_EQ(m_control->FailNext(Bstr(L"*"), static_cast<LONG>(0x80041234)), S_OK);
    std::wstring out;
    EXPECT_EQ(c.call(m_client.get(), out), static_cast<HRESULT>(0x80041234));
}

INSTANTIATE_TEST_SUITE_P(
    Operations, InjectedFailure,
    testing::Values(OperationCase{"AddRole",
                                  [](IAuthSecClient* client, std::wstring& out) {
                                      static int n = 0;
                                      std::wstring name = L"Added " + std::to_wstring(++n);
                                      return Add(name.c_str(), nullptr, nullptr)(client, out);
                                  }},
                    OperationCase{"UpdateRole",
                                  Update(kOperatorsW, L"Operators", L"Changed", nullptr, nullptr)},
                    OperationCase{"DeleteRoleByName", DeleteByName(L"Operators")},
                    OperationCase{"DeleteRoleById", DeleteById(kMaintenanceId)}),
    [](const testing::TestParamInfo<OperationCase>& row) {
        return std::string(row.param.operation);
    });

TEST_F(SecClientTest, FailuresAreChosenByKnownNamesAndFailureCodes)
{
    const struct {
        const wchar_t* operation;
        LONG code;
        HRESULT expected;
    } cases[] = {
        {L"AddRole", E_FAIL, S_OK},
        {L"addrole", E_FAIL, S_OK},
        {L"*", E_FAIL, S_OK},
        {L"Reserved07", E_FAIL, E_INVALIDARG},
        {L"", E_FAIL, E_INVALIDARG},
        {nullptr, E_FAIL, E_INVALIDARG},
        {L"AddRole", S_OK, E_INVALIDARG},
        {L"AddRole", S_FALSE, E_INVALIDARG},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(m_control->FailNext(Bstr(c.operation), c.code), c.expected)
            << Narrow(c.operation);
        EXPECT_EQ(m_control->FailAlways(Bstr(c.operation), c.code), c.expected)
            << Narrow(c.operation);
    }
}

// A caller's fault is answered before an injected failure, which stays pending.
TEST_F(SecClientTest, InjectedFailureWaitsBehindANullPointer)
{
    WriteBytes(m_policy, Base());
    ASSERT_EQ(m_control->FailNext(Bstr(L"AddRole"), E_FAIL), S_OK);
    EXPECT_EQ(m_client->AddRole(Bstr(L"A"), nullptr, nullptr), E_POINTER);
    std::wstring out;
    EXPECT_EQ(Add(L"A", nullptr, nullptr)(m_client.get(), out), E_FAIL);
    EXPECT_EQ(Add(L"A", nullptr, nullptr)(m_client.get(), out), S_OK);
}

TEST_F(SecClientTest, LastCallShowsEachCallAsItCame)
{
    WriteBytes(m_policy, Base());
    const struct {
        Call call;
        const wchar_t* shown;
    } cases[] = {
        {Add(L"Shift Leads", nullptr, nullptr), L"AddRole(\"Shift Leads\", null, null)"},
        {Add(L"Say \"hi\"", L"a\\b", L"{0a1b2c3d-1111-2222-3333-444455556666}"),
         L"AddRole(\"Say \\\"hi\\\"\", \"a\\\\b\", \"{0a1b2c3d-1111-2222-3333-444455556666}\")"},
        {Update(kOperatorsW, L"Operators", nullptr, L"PLANT\\carol;", nullptr),
         L"UpdateRole(\"{13CEE7F6-538C-43C2-AF6F-04F650653063}\", \"Operators\", null, "
         L"\"PLANT\\\\carol;\", null, 0)"},
        {DeleteByName(L"Ghosts"), L"DeleteRoleByName(\"Ghosts\")"},
        {DeleteById(kMaintenanceId),
         L"DeleteRoleById(\"KIV33164CD7-CD23-417C-BF55-6D7905DC29EB\")"},
    };
    BSTR shown = nullptr;
    ASSERT_EQ(m_control->get_LastCall(&shown), S_OK);
    EXPECT_EQ(shown, nullptr);
    LONG count = 0;
    for (const auto& c : cases) {
        std::wstring out;
        c.call(m_client.get(), out);
        ASSERT_EQ(m_control->get_LastCall(&shown), S_OK);
        EXPECT_STREQ(shown, c.shown);
        SysFreeString(shown);
        m_control->get_CallCount(&count);
    }
    EXPECT_EQ(count, static_cast<LONG>(std::size(cases)));
}

}  // namespace
