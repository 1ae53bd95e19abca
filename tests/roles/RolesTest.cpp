// Role administration end to end through the registered module: the roles
// collection, the role objects and the enumerator, with a fake client that
// writes its changes into the closed library's policy.
#include "Authorization.h"
#include "Events.h"
#include "FakeSecClient.h"
#include "MallocSpy.h"
#include "TestSupport.h"
#include "ProcAddress.h"

#include <algorithm>
#include <functional>
#include <vector>
#include <ocidl.h>

namespace {

const wchar_t kOperatorsId[] = L"{13CEE7F6-538C-43C2-AF6F-04F650653063}";
const wchar_t kMaintenanceId[] = L"{33164CD7-CD23-417C-BF55-6D7905DC29EB}";
const wchar_t kAuditorsId[] = L"{7A6E151F-BEFB-4823-B24A-7A45FF240CA1}";
const wchar_t kAssignedId[] = L"{A0A0A0A0-1111-2222-3333-444455556666}";

struct StoredRole {
    std::wstring id, name, description;
    std::vector<std::wstring> users, groups;
};

// The security database behind the fake client: written into the library's
// policy after every change, so a refresh shows it.
std::vector<StoredRole> g_store;

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// The policy keeps no blank member names: the fake database drops them.
bool Storable(const std::wstring& member)
{
    return member.find_first_not_of(L' ') != std::wstring::npos;
}

void Publish()
{
    std::string policy = "policy | 1\n";
    for (const StoredRole& r : g_store) {
        policy += "role | " + Narrow(r.id) + " | " + Narrow(r.name) + " | " +
                  Narrow(r.description) + "\n";
        for (const std::wstring& u : r.users)
            if (Storable(u)) policy += "role-user | " + Narrow(r.id) + " | " + Narrow(u) + "\n";
        for (const std::wstring& g : r.groups)
            if (Storable(g)) policy += "role-group | " + Narrow(r.id) + " | " + Narrow(g) + "\n";
    }
    ASSERT_EQ(S_OK, KivTest_LoadPolicyText(policy.c_str()));
}

std::vector<std::wstring> SplitList(const FakeSecClient::Text& text)
{
    std::vector<std::wstring> items;
    if (!text) return items;
    size_t start = 0;
    for (size_t semi; (semi = text->find(L';', start)) != std::wstring::npos; start = semi + 1)
        items.push_back(text->substr(start, semi - start));
    return items;
}

void ApplyChange(FakeSecClient&, const FakeSecClient::Call& call)
{
    auto byName = [&](const std::wstring& name) {
        return std::find_if(g_store.begin(), g_store.end(),
                            [&](const StoredRole& r) { return r.name == name; });
    };
    if (call.name == "AddRole") {
        std::wstring id = call.args.size() > 3 ? *call.args[3] : call.args[2].value_or(kAssignedId);
        g_store.push_back({id, *call.args[0], call.args[1].value_or(L""), {}, {}});
    } else if (call.name == "DeleteRoleByName") {
        auto found = byName(*call.args[0]);
        if (found != g_store.end()) g_store.erase(found);
    } else if (call.name == "DeleteRoleById") {
        std::wstring id = L"{" + call.args[0]->substr(3) + L"}";
        g_store.erase(std::remove_if(g_store.begin(), g_store.end(),
                                     [&](const StoredRole& r) { return r.id == id; }),
                      g_store.end());
    } else if (call.name == "UpdateRole") {
        for (StoredRole& r : g_store) {
            if (r.id != *call.args[0]) continue;
            r.name = call.args[1].value_or(L"");
            r.description = call.args[2].value_or(L"");
            r.users = SplitList(call.args[3]);
            r.groups = SplitList(call.args[4]);
        }
    }
    Publish();
}

// The library operation that starts failing once the client has made its
// change (RefreshCache forced false, GetRolesCache forced to E_FAIL).
const char* g_breakAfterChange = nullptr;

void ApplyChangeThenBreak(FakeSecClient& client, const FakeSecClient::Call& call)
{
    ApplyChange(client, call);
    if (g_breakAfterChange)
        KivTest_Force(g_breakAfterChange,
                      std::string(g_breakAfterChange) == "RefreshCache" ? 0 : E_FAIL);
}

// An authorization object that the client refreshes from inside its calls,
// as one in another apartment may do while the module waits for it.
IIKIVAuthorization* g_refreshedFromTheClient = nullptr;

void ApplyChangeThenRefresh(FakeSecClient& client, const FakeSecClient::Call& call)
{
    ApplyChange(client, call);
    g_refreshedFromTheClient->RefreshCacheEx(2);
}

std::wstring Text(BSTR s)
{
    std::wstring text = s ? s : L"<null>";
    SysFreeString(s);
    return text;
}

class RolesTest : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        g_store = {
            {kOperatorsId, L"Operators", L"Run the plant", {L"PLANT\\alice", L"PLANT\\bob"}, {}},
            {kMaintenanceId,
             L"Maintenance",
             L"Service",
             {L"PLANT\\carl", L"PLANT\\carl"},
             {L"PLANT\\Engineers"}},
            {kAuditorsId, L"Auditors", L"", {}, {L"PLANT\\Audit"}},
        };
        Publish();
        client.onChange = ApplyChange;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_IKIVAuthorization, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IIKIVAuthorization, auth.put_void()));
        ASSERT_EQ(S_OK, auth->InitCache());
        ASSERT_EQ(S_OK, auth->put_AuthSecClient(&client));
        roles = Collection();
    }
    void TearDown() override
    {
        roles.reset();
        auth.reset();
        EXPECT_EQ(1u, client.refs);
        // Every role, collection and enumerator of the test is gone.
        using CanUnloadNow = HRESULT(WINAPI*)();
        auto canUnloadNow = GetProcAddressAs<CanUnloadNow>(GetModuleHandleW(L"Authorization.dll"),
                                                           "DllCanUnloadNow");
        EXPECT_EQ(S_OK, canUnloadNow());
        LibraryTest::TearDown();
    }

    com_ptr<IKQSecRolesCollection> Collection()
    {
        com_ptr<IKQSecRolesCollection> collection;
        BSTR time = nullptr;
        EXPECT_EQ(S_OK, auth->get_RolesColl(collection.put(), &time));
        SysFreeString(time);
        return collection;
    }

    LONG Count()
    {
        LONG count = -1;
        EXPECT_EQ(S_OK, roles->get_Count(&count));
        return count;
    }

    std::wstring NameOf(IKQSecRole* role)
    {
        BSTR name = nullptr;
        role->get_Name(&name);
        return Text(name);
    }

    FakeSecClient client;
    com_ptr<IIKIVAuthorization> auth;
    com_ptr<IKQSecRolesCollection> roles;
};

TEST_F(RolesTest, CountPositionsAndReadOnly)
{
    EXPECT_EQ(3, Count());
    com_ptr<IKQSecRole> first;
    ASSERT_EQ(S_OK, roles->ItemPos(0, first.put()));
    EXPECT_EQ(L"Operators", NameOf(first.get()));
    VARIANT_BOOL readOnly = VARIANT_TRUE;
    EXPECT_EQ(S_OK, roles->get_ReadOnly(&readOnly));
    EXPECT_EQ(VARIANT_FALSE, readOnly);

    for (LONG pos : {3L, -1L}) {
        FakeAuditRegistration audit;
        com_ptr<IKQSecRole> none;
        EXPECT_EQ(static_cast<HRESULT>(0x80041009), roles->ItemPos(pos, none.put()));
        std::vector<Event> events = Events(audit);
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(L"CKQSecRolesCollection::ItemPos", events[0].operation);
        EXPECT_EQ(
            L"Invalid position. Total Roles = 3. Asked position = " + std::to_wstring(pos) + L".",
            events[0].message);
        EXPECT_EQ(Arg(L"3"), events[0].extra);
        EXPECT_EQ(Arg(std::to_wstring(pos)), events[0].params.at(0).second);
    }
}

TEST_F(RolesTest, EveryRolesCollIsANewCollection)
{
    com_ptr<IKQSecRolesCollection> other = Collection();
    EXPECT_NE(roles.get(), other.get());
    KivTest_Force("GetRolesCache", E_FAIL);
    FakeAuditRegistration audit;
    com_ptr<IKQSecRolesCollection> failed;
    BSTR time = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(E_FAIL, auth->get_RolesColl(failed.put(), &time));
    EXPECT_EQ(reinterpret_cast<BSTR>(1), time);  // not written
    EXPECT_EQ((std::vector<std::string>{"CKQSecRolesCollection::Init 0x80004005",
                                        "CIKIVAuthorization::get_RolesColl 0x80004005"}),
              EventNames(audit));
}

TEST_F(RolesTest, NullRoleListMeansNoRoles)
{
    // The library's "no roles" empties the collection: it must not go on
    // showing roles that were removed.
    KivTest_SetNullRoleList(TRUE);
    com_ptr<IKQSecRolesCollection> empty = Collection();
    LONG count = -1;
    EXPECT_EQ(S_OK, empty->get_Count(&count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(S_OK, roles->RemoveAll());
    EXPECT_EQ(0, Count());

    // Nothing to delete: no client is needed either.
    ASSERT_EQ(S_OK, auth->put_AuthSecClient(nullptr));
    FakeAuditRegistration audit;
    EXPECT_EQ(S_OK, roles->RemoveAll());
    EXPECT_TRUE(EventNames(audit).empty());
}

TEST_F(RolesTest, RolesAreFoundByIdentifierAndName)
{
    for (const wchar_t* key : {kMaintenanceId, L"Maintenance", L"  Maintenance  "}) {
        com_ptr<IKQSecRole> role;
        ASSERT_EQ(S_OK, roles->get_Item(Bstr(key), role.put()));
        BSTR id = nullptr;
        role->get_Id(&id);
        EXPECT_EQ(kMaintenanceId, Text(id));
        VARIANT_BOOL exists = VARIANT_FALSE;
        EXPECT_EQ(S_OK, roles->IsExists(Bstr(key), &exists));
        EXPECT_EQ(VARIANT_TRUE, exists);
    }
    VARIANT_BOOL exists = VARIANT_TRUE;
    EXPECT_EQ(S_OK, roles->IsExists(Bstr(L"Nobody"), &exists));
    EXPECT_EQ(VARIANT_FALSE, exists);

    FakeAuditRegistration audit;
    EXPECT_EQ(static_cast<HRESULT>(0x80041006), roles->IsExists(Bstr(L"{not a guid"), &exists));
    EXPECT_EQ(std::vector<std::string>{"CKQSecRolesCollection::IsExists 0x80041006"},
              EventNames(audit));
}

TEST_F(RolesTest, MissingRoleIdIsRejected)
{
    struct Case {
        const wchar_t* id;
        const wchar_t* shown;
    };
    for (const Case& c : {Case{nullptr, L"<null>"}, Case{L"", L"<empty>"}}) {
        FakeAuditRegistration audit;
        com_ptr<IKQSecRole> role;
        VARIANT_BOOL exists = 7;
        EXPECT_EQ(static_cast<HRESULT>(0x80041000), roles->get_Item(Bstr(c.id), role.put()));
        EXPECT_EQ(static_cast<HRESULT>(0x80041000), roles->IsExists(Bstr(c.id), &exists));
        EXPECT_EQ(7, exists);  // not written
        EXPECT_EQ(static_cast<HRESULT>(0x80041000), roles->Remove(Bstr(c.id)));
        std::vector<Event> events = Events(audit);
        ASSERT_EQ(3u, events.size());
        for (const Event& e : events) {
            EXPECT_EQ(
                std::wstring(L"Required parameter 'sRoleId' can not be NULL or empty. Value = '") +
                    c.shown + L"'.",
                e.message);
            EXPECT_EQ(Arg(L"sRoleId"), e.extra);
            EXPECT_TRUE(e.request);
        }
    }
    EXPECT_TRUE(client.calls.empty());
}

TEST_F(RolesTest, RoleShowsTheRecord)
{
    com_ptr<IKQSecRole> role;
    ASSERT_EQ(S_OK, roles->get_Item(Bstr(L"Operators"), role.put()));
    BSTR text = nullptr;
    role->get_Users(&text);
    EXPECT_EQ(L"PLANT\\alice;PLANT\\bob;", Text(text));
    role->get_Groups(&text);
    EXPECT_EQ(L"<null>", Text(text));
    role->get_Description(&text);
    EXPECT_EQ(L"Run the plant", Text(text));
    role->get_LastModifiedUser(&text);
    EXPECT_EQ(L"<null>", Text(text));
    DATE date = 1;
    EXPECT_EQ(S_OK, role->get_DateCreated(&date));
    EXPECT_EQ(0, date);

    com_ptr<IKQSecRole> maintenance;
    ASSERT_EQ(S_OK, roles->get_Item(Bstr(L"Maintenance"), maintenance.put()));
    maintenance->get_Users(&text);
    EXPECT_EQ(L"PLANT\\carl;PLANT\\carl;", Text(text));  // duplicates kept
}

TEST_F(RolesTest, AddHandsTheClientTheNormalFormAndGrows)
{
    com_ptr<IKQSecRole> added;
    ASSERT_EQ(S_OK,
              roles->Add(Bstr(L"  Shift Leads  "), Bstr(L"  as given  "), nullptr, added.put()));
    EXPECT_EQ(L"Shift Leads", NameOf(added.get()));
    EXPECT_EQ(4, Count());
    ASSERT_EQ(S_OK, roles->Add(Bstr(L"Guests"), nullptr,
                               Bstr(L"{a0a0a0a0-9999-2222-3333-444455556666}"), added.put()));
    BSTR id = nullptr;
    added->get_Id(&id);
    EXPECT_EQ(L"{A0A0A0A0-9999-2222-3333-444455556666}", Text(id));
    EXPECT_EQ(5, Count());

    ASSERT_EQ(2u, client.calls.size());
    EXPECT_EQ("AddRole", client.calls[0].name);
    EXPECT_EQ((std::vector<FakeSecClient::Text>{L"Shift Leads", L"  as given  ", std::nullopt}),
              client.calls[0].args);
    EXPECT_EQ((std::vector<FakeSecClient::Text>{L"Guests", std::nullopt,
                                                L"{A0A0A0A0-9999-2222-3333-444455556666}"}),
              client.calls[1].args);
}

TEST_F(RolesTest, AddRejectsDuplicatesAndBadInput)
{
    struct Case {
        const wchar_t* name;
        const wchar_t* guid;
        HRESULT code;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {L"  Operators ",
         nullptr,
         static_cast<HRESULT>(0x80041008),
         {"CKQSecRolesCollection::Add 0x80041008"}},
        {L"Ops/Night",
         nullptr,
         static_cast<HRESULT>(0x80041004),
         {"::ValidateName 0x80041004", "CKQSecRolesCollection::Add 0x80041004"}},
        {nullptr,
         nullptr,
         static_cast<HRESULT>(0x80041000),
         {"CKQSecRolesCollection::Add 0x80041000"}},
        {L"Night",
         L"no guid",
         static_cast<HRESULT>(0x80041006),
         {"::ValidateGuid 0x80041006", "CKQSecRolesCollection::Add 0x80041006"}},
        // Not "????": a name the code page cannot hold is refused as such.
        {L"\x0418\x0432\x0430\x043D",
         nullptr,
         HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION),
         {"CKQSecRolesCollection::Add 0x80070459"}},
    };
    for (const Case& c : cases) {
        FakeAuditRegistration audit;
        com_ptr<IKQSecRole> role;
        EXPECT_EQ(c.code, roles->Add(Bstr(c.name), nullptr, Bstr(c.guid), role.put()));
        EXPECT_EQ(c.events, EventNames(audit));
        if (c.code == static_cast<HRESULT>(0x80041008)) {
            EXPECT_EQ(L"Role 'Operators' already exists.", Events(audit)[0].message);
            EXPECT_EQ(Arg(L"Operators"), Events(audit)[0].extra);
        }
    }
    EXPECT_TRUE(client.calls.empty());
    EXPECT_EQ(3, Count());
}

TEST_F(RolesTest, ChangesNeedAnAttachedClient)
{
    ASSERT_EQ(S_OK, auth->put_AuthSecClient(nullptr));
    FakeAuditRegistration audit;
    com_ptr<IKQSecRole> role;
    EXPECT_EQ(E_FAIL, roles->Add(Bstr(L"Night"), nullptr, nullptr, role.put()));
    EXPECT_EQ(E_FAIL, roles->Remove(Bstr(L"Operators")));
    EXPECT_EQ(E_FAIL, roles->RemoveAll());
    ASSERT_EQ(S_OK, roles->get_Item(Bstr(L"Operators"), role.put()));
    EXPECT_EQ(E_FAIL, role->CommitChanges());
    EXPECT_EQ(
        (std::vector<std::string>{
            "CKQSecRolesCollection::Add 0x80004005", "CKQSecRolesCollection::Remove 0x80004005",
            "CKQSecRolesCollection::RemoveAll 0x80004005", "CKQSecRole::CommitChanges 0x80004005"}),
        EventNames(audit));
    EXPECT_EQ(3, Count());
}

TEST_F(RolesTest, RemoveByNameAndById)
{
    EXPECT_EQ(S_OK, roles->Remove(Bstr(L"  Auditors  ")));
    EXPECT_EQ(2, Count());
    EXPECT_EQ(S_OK, roles->Remove(Bstr(kOperatorsId)));
    EXPECT_EQ(1, Count());
    ASSERT_EQ(2u, client.calls.size());
    EXPECT_EQ("DeleteRoleByName", client.calls[0].name);
    EXPECT_EQ(FakeSecClient::Text(L"Auditors"), client.calls[0].args[0]);
    EXPECT_EQ("DeleteRoleById", client.calls[1].name);
    EXPECT_EQ(FakeSecClient::Text(L"KIV13CEE7F6-538C-43C2-AF6F-04F650653063"),
              client.calls[1].args[0]);

    FakeAuditRegistration audit;
    client.deleteByName = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, roles->Remove(Bstr(L"Maintenance")));
    EXPECT_EQ(std::vector<std::string>{"CKQSecRolesCollection::Remove 0x80070005"},
              EventNames(audit));

    // A role the library does not know: its lookup fails, the client is not asked.
    FakeAuditRegistration unknown;
    client.calls.clear();
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), roles->Remove(Bstr(L"Nobody")));
    EXPECT_EQ(std::vector<std::string>{"CKQSecRolesCollection::Remove 0x80070490"},
              EventNames(unknown));
    EXPECT_TRUE(client.calls.empty());
}

TEST_F(RolesTest, RemoveAllGoesOnAfterAFailingDelete)
{
    client.deleteByName = E_ACCESSDENIED;  // the fake then changes nothing
    FakeAuditRegistration audit;
    EXPECT_EQ(S_OK, roles->RemoveAll());
    EXPECT_TRUE(EventNames(audit).empty());
    ASSERT_EQ(3u, client.calls.size());
    EXPECT_EQ(FakeSecClient::Text(L"Operators"), client.calls[0].args[0]);
    EXPECT_EQ(FakeSecClient::Text(L"Auditors"), client.calls[2].args[0]);

    client.deleteByName = S_OK;
    EXPECT_EQ(S_OK, roles->RemoveAll());
    EXPECT_EQ(0, Count());
}

TEST_F(RolesTest, RemoveAllReadsNoListThatANestedRefreshFreed)
{
    g_refreshedFromTheClient = auth.get();
    client.onChange = ApplyChangeThenRefresh;
    EXPECT_EQ(S_OK, roles->RemoveAll());
    std::vector<FakeSecClient::Text> deleted;
    for (const FakeSecClient::Call& call : client.calls) deleted.push_back(call.args.at(0));
    EXPECT_EQ((std::vector<FakeSecClient::Text>{L"Operators", L"Maintenance", L"Auditors"}),
              deleted);
    EXPECT_EQ(0, Count());
}

TEST_F(RolesTest, NullOutPointersChangeNothing)
{
    FakeAuditRegistration audit;
    const std::pair<const char*, HRESULT> calls[] = {
        {"Add", roles->Add(Bstr(L"Night"), nullptr, nullptr, nullptr)},
        {"Item", roles->get_Item(Bstr(L"Operators"), nullptr)},
        {"ItemPos", roles->ItemPos(0, nullptr)},
    };
    for (const auto& [name, hr] : calls) EXPECT_EQ(E_POINTER, hr) << name;
    // Nothing is written for a role that could not be handed back.
    EXPECT_TRUE(client.calls.empty());
    EXPECT_TRUE(EventNames(audit).empty());
    EXPECT_EQ(3, Count());
}

TEST_F(RolesTest, AFailureAfterTheChangeKeepsTheListAndIsReportedAtEachLevel)
{
    enum class Action { Add, Remove, RemoveAll, Commit };
    struct Case {
        const char* title;
        Action action;
        const char* breaks;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"Add, refresh", Action::Add, "RefreshCache", {"CKQSecRolesCollection::Add 0x80004005"}},
        {"Add, refill",
         Action::Add,
         "GetRolesCache",
         {"CKQSecRolesCollection::Init 0x80004005", "CKQSecRolesCollection::Add 0x80004005"}},
        {"Remove, refresh",
         Action::Remove,
         "RefreshCache",
         {"CKQSecRolesCollection::Remove 0x80004005"}},
        {"Remove, refill",
         Action::Remove,
         "GetRolesCache",
         {"CKQSecRolesCollection::Init 0x80004005", "CKQSecRolesCollection::Remove 0x80004005"}},
        {"RemoveAll, refresh",
         Action::RemoveAll,
         "RefreshCache",
         {"CKQSecRolesCollection::RemoveAll 0x80004005"}},
        {"RemoveAll, refill",
         Action::RemoveAll,
         "GetRolesCache",
         {"CKQSecRolesCollection::Init 0x80004005", "CKQSecRolesCollection::RemoveAll 0x80004005"}},
        {"CommitChanges, refresh",
         Action::Commit,
         "RefreshCache",
         {"CKQSecRole::CommitChanges 0x80004005"}},
    };
    client.onChange = ApplyChangeThenBreak;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        com_ptr<IKQSecRole> role;
        ASSERT_EQ(S_OK, roles->get_Item(Bstr(L"Operators"), role.put()));
        client.calls.clear();
        g_breakAfterChange = c.breaks;
        HRESULT hr = E_UNEXPECTED;
        {
            FakeAuditRegistration audit;
            com_ptr<IKQSecRole> added;
            switch (c.action) {
            case Action::Add: hr = roles->Add(Bstr(L"Night"), nullptr, nullptr, added.put()); break;
            case Action::Remove: hr = roles->Remove(Bstr(L"Auditors")); break;
            case Action::RemoveAll: hr = roles->RemoveAll(); break;
            case Action::Commit: hr = role->CommitChanges(); break;
            }
            EXPECT_EQ(E_FAIL, hr);
            EXPECT_EQ(nullptr, added.get());
            EXPECT_EQ(c.events, EventNames(audit));
        }
        g_breakAfterChange = nullptr;
        KivTest_Unforce(c.breaks);
        EXPECT_FALSE(client.calls.empty());  // the change stays made
        EXPECT_EQ(3, Count());               // and the collection shows the old list

        // Back to the three roles for the next case.
        client.calls.clear();
        client.onChange = nullptr;
        g_store = {
            {kOperatorsId, L"Operators", L"Run the plant", {L"PLANT\\alice", L"PLANT\\bob"}, {}},
            {kMaintenanceId, L"Maintenance", L"Service", {}, {}},
            {kAuditorsId, L"Auditors", L"", {}, {}}};
        Publish();
        ASSERT_TRUE(SUCCEEDED(auth->RefreshCache()));
        roles = Collection();
        client.onChange = ApplyChangeThenBreak;
    }
}

TEST_F(RolesTest, EveryFailedAllocationIsReportedByTheOperationThatFails)
{
    com_ptr<IKQSecRole> role;
    ASSERT_EQ(S_OK, roles->get_Item(Bstr(L"Operators"), role.put()));
    Bstr operators(L"Operators"), dayCrew(L"Day Crew");
    com_ptr<IUnknown> unknown;
    ASSERT_EQ(S_OK, roles->get__NewEnum(unknown.put()));
    com_ptr<IEnumVARIANT> walk;
    ASSERT_EQ(S_OK, unknown.query(walk));
    struct Case {
        const char* title;
        std::wstring operation;
        // The call; handedOut tells whether it gave the client anything.
        std::function<HRESULT(bool& handedOut)> call;
        // Where a lack of memory comes from, when only a nested function can
        // run out: it reports first, the operation once more.
        std::wstring inner = L"";
    };
    const Case cases[] = {
        {"Item", L"CKQSecRolesCollection::get_Item",
         [&](bool& handedOut) {
             com_ptr<IKQSecRole> found;
             HRESULT hr = roles->get_Item(operators, found.put());
             handedOut = found.get() != nullptr;
             return hr;
         },
         L"_CopySecRole::getComObject"},
        {"ItemPos", L"CKQSecRolesCollection::ItemPos",
         [&](bool& handedOut) {
             com_ptr<IKQSecRole> found;
             HRESULT hr = roles->ItemPos(1, found.put());
             handedOut = found.get() != nullptr;
             return hr;
         },
         L"_CopySecRole::getComObject"},
        {"IsExists", L"CKQSecRolesCollection::IsExists",
         [&](bool& handedOut) {
             VARIANT_BOOL exists = VARIANT_FALSE;
             HRESULT hr = roles->IsExists(operators, &exists);
             handedOut = exists != VARIANT_FALSE;
             return hr;
         }},
        {"enumerator", L"_CopySecRole::copyVrtIfc",
         [&](bool& handedOut) {
             walk->Reset();
             unique_variant item;
             HRESULT hr = walk->Next(1, &item, nullptr);
             handedOut = V_VT(&item) != VT_EMPTY;
             return hr;
         }},
        {"put_Name", L"CKQSecRole::put_Name", [&](bool&) { return role->put_Name(dayCrew); }},
        {"CommitChanges", L"CKQSecRole::CommitChanges",
         [&](bool&) { return role->CommitChanges(); }},
        {"RolesColl", L"CIKIVAuthorization::get_RolesColl",
         [&](bool& handedOut) {
             com_ptr<IKQSecRolesCollection> collection;
             BSTR time = nullptr;
             HRESULT hr = auth->get_RolesColl(collection.put(), &time);
             handedOut = collection.get() != nullptr || time != nullptr;
             SysFreeString(time);
             return hr;
         },
         L"CKQSecRolesCollection::Init"},
    };
    MallocSpy spy;
    ASSERT_TRUE(spy.registered());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        // The first, second, ... allocation of the call fails, until the call makes no more.
        for (int skip = 0;; ++skip) {
            ASSERT_LT(skip, 1000);
            FakeAuditRegistration audit;
            bool handedOut = false;
            spy.FailAllocationAfter(skip);
            HRESULT hr = c.call(handedOut);
            bool failed = spy.Failed();
            spy.FailAllocationAfter(-1);
            if (!failed) {
                EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
                break;
            }
            if (SUCCEEDED(hr)) continue;  // a best-effort detail went without
            SCOPED_TRACE("allocation " + std::to_string(skip + 1));
            EXPECT_FALSE(handedOut);
            std::vector<Event> events = Events(audit);
            ASSERT_FALSE(events.empty()) << std::hex << hr;
            EXPECT_EQ(c.operation, events.back().operation);
            EXPECT_EQ(hr, events.back().code);
            if (!c.inner.empty() && hr == E_OUTOFMEMORY) {
                ASSERT_GE(events.size(), 2u);
                EXPECT_EQ(c.inner, events[events.size() - 2].operation);
                EXPECT_EQ(hr, events[events.size() - 2].code);
            }
        }
    }
}

TEST_F(RolesTest, PutNameRejectionsAreReportedUnderItsOwnNames)
{
    com_ptr<IKQSecRole> role;
    ASSERT_EQ(S_OK, roles->get_Item(Bstr(L"Operators"), role.put()));
    struct Case {
        const char* title;
        std::wstring name;
        HRESULT code;
        std::vector<std::string> events;
        Arg extra;
    };
    const Case cases[] = {
        {"illegal character",
         L"Ops/Night",
         static_cast<HRESULT>(0x80041004),
         {"::ValidateName 0x80041004", "CKQSecRole::put_Name 0x80041004"},
         std::nullopt},
        {"255 characters",
         std::wstring(255, L'n'),
         static_cast<HRESULT>(0x80041007),
         {"CKQSecRole::put_Name 0x80041007"},
         Arg(L"255")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        FakeAuditRegistration audit;
        EXPECT_EQ(c.code, role->put_Name(Bstr(c.name.c_str())));
        EXPECT_EQ(c.events, EventNames(audit));
        std::vector<Event> events = Events(audit);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(c.extra, events.back().extra);
        ASSERT_EQ(1u, events.back().params.size());
        EXPECT_EQ(L"sName", events.back().params[0].first);
        EXPECT_EQ(Arg(c.name), events.back().params[0].second);
        EXPECT_EQ(L"Operators", NameOf(role.get()));
    }

    // 254 characters are allowed; the whole BSTR is kept, embedded NULs too.
    EXPECT_EQ(S_OK, role->put_Name(Bstr(std::wstring(254, L'n').c_str())));
    EXPECT_EQ(std::wstring(254, L'n'), NameOf(role.get()));
    EXPECT_EQ(S_OK, role->put_Name(Bstr(L"Night\0Shift", 11)));
    BSTR name = nullptr;
    ASSERT_EQ(S_OK, role->get_Name(&name));
    EXPECT_EQ(11u, SysStringLen(name));
    EXPECT_EQ(std::wstring(L"Night\0Shift", 11), std::wstring(name, SysStringLen(name)));
    SysFreeString(name);

    // What follows a NUL is kept, so it is checked as well, and recorded:
    // the events name the text that was refused, not "Night".
    {
        FakeAuditRegistration audit;
        const std::wstring refused(L"Night\0/Shift", 12);
        EXPECT_EQ(static_cast<HRESULT>(0x80041004), role->put_Name(Bstr(refused)));
        std::vector<Event> events = Events(audit);
        ASSERT_EQ(2u, events.size());
        for (const Event& event : events) {
            ASSERT_EQ(1u, event.params.size());
            EXPECT_EQ(Arg(refused), event.params[0].second);
        }
        EXPECT_EQ(Arg(refused), events[0].extra);  // ::ValidateName's
    }
    EXPECT_EQ(static_cast<HRESULT>(0x80041007),
              role->put_Name(Bstr(std::wstring(L"n\0", 2) + std::wstring(254, L'm'))));
    ASSERT_EQ(S_OK, role->get_Name(&name));
    EXPECT_EQ(std::wstring(L"Night\0Shift", 11), std::wstring(name, SysStringLen(name)));
    SysFreeString(name);
}

TEST_F(RolesTest, RoleEditsAndCommit)
{
    com_ptr<IKQSecRole> role;
    ASSERT_EQ(S_OK, roles->get_Item(Bstr(L"Operators"), role.put()));
    BSTR text = nullptr;

    struct Edit {
        bool add;
        const wchar_t* users;
        const wchar_t* groups;
        const wchar_t* expectUsers;
        const wchar_t* expectGroups;
    };
    const Edit edits[] = {
        {true, L"carol;PLANT\\alice", nullptr, L"PLANT\\alice;PLANT\\bob;carol;", L"<null>"},
        {true, L"Carol", L"", L"PLANT\\alice;PLANT\\bob;carol;Carol;", L"<null>"},
        {false, L"PLANT\\bob;nobody", nullptr, L"PLANT\\alice;carol;Carol;", L"<null>"},
        {true, nullptr, L";x", L"PLANT\\alice;carol;Carol;", L";x;"},
        {true, nullptr, L"x;;y;", L"PLANT\\alice;carol;Carol;", L";x;y;"},
        {false, nullptr, L" x ", L"PLANT\\alice;carol;Carol;", L";y;"},
        {true, nullptr, L" ; z", L"PLANT\\alice;carol;Carol;", L";y; ;z;"},
    };
    for (const Edit& e : edits) {
        EXPECT_EQ(S_OK, e.add ? role->AddMembers(Bstr(e.users), Bstr(e.groups))
                              : role->RemoveMembers(Bstr(e.users), Bstr(e.groups)));
        role->get_Users(&text);
        EXPECT_EQ(e.expectUsers, Text(text));
        role->get_Groups(&text);
        EXPECT_EQ(e.expectGroups, Text(text));
    }

    // A padded current name changes nothing; a padded new name is kept as given.
    EXPECT_EQ(S_OK, role->put_Name(Bstr(L"  Operators  ")));
    EXPECT_EQ(L"Operators", NameOf(role.get()));
    EXPECT_EQ(S_OK, role->put_Name(Bstr(L" Day Crew ")));
    EXPECT_EQ(L" Day Crew ", NameOf(role.get()));
    {
        FakeAuditRegistration audit;
        EXPECT_EQ(static_cast<HRESULT>(0x80041000), role->put_Name(Bstr(L"")));
        EXPECT_EQ(L" Day Crew ", NameOf(role.get()));
        ASSERT_EQ(1u, Events(audit).size());
        EXPECT_EQ(L"Required parameter 'sName' can not be NULL or empty. Value = '<empty>'.",
                  Events(audit)[0].message);
    }
    EXPECT_EQ(S_OK, role->put_Description(nullptr));

    EXPECT_TRUE(client.calls.empty());  // nothing is written before the commit
    EXPECT_EQ(S_OK, role->CommitChanges());
    ASSERT_EQ(1u, client.calls.size());
    EXPECT_EQ("UpdateRole", client.calls[0].name);
    EXPECT_EQ((std::vector<FakeSecClient::Text>{kOperatorsId, L" Day Crew ", std::nullopt,
                                                L"PLANT\\alice;carol;Carol;", L";y; ;z;", L"0"}),
              client.calls[0].args);

    // The collection shows the change from its next filling on.
    com_ptr<IKQSecRolesCollection> fresh = Collection();
    com_ptr<IKQSecRole> reread;
    ASSERT_EQ(S_OK, fresh->get_Item(Bstr(kOperatorsId), reread.put()));
    reread->get_Users(&text);
    EXPECT_EQ(L"PLANT\\alice;carol;Carol;", Text(text));

    KivTest_SetRefreshFlagCleared(TRUE);
    EXPECT_EQ(S_FALSE, role->CommitChanges());  // unchanged role: still written
    EXPECT_EQ(2u, client.calls.size());
}

TEST_F(RolesTest, EnumeratorWalksTheListAndKeepsTheCollection)
{
    com_ptr<IUnknown> unknown;
    ASSERT_EQ(S_OK, roles->get__NewEnum(unknown.put()));
    com_ptr<IEnumVARIANT> walk;
    ASSERT_EQ(S_OK, unknown.query(walk));
    unknown.reset();
    roles.reset();  // the enumerator keeps the collection

    VARIANT items[5];
    ULONG fetched = 99;
    EXPECT_EQ(S_FALSE, walk->Next(5, items, &fetched));
    ASSERT_EQ(3u, fetched);
    const wchar_t* names[] = {L"Operators", L"Maintenance", L"Auditors"};
    for (ULONG i = 0; i < fetched; ++i) {
        ASSERT_EQ(VT_DISPATCH, V_VT(&items[i]));
        com_ptr<IKQSecRole> role;
        ASSERT_EQ(S_OK, V_DISPATCH(&items[i])->QueryInterface(IID_IKQSecRole, role.put_void()));
        EXPECT_EQ(names[i], NameOf(role.get()));
        VariantClear(&items[i]);
    }
    EXPECT_EQ(S_FALSE, walk->Next(1, items, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(E_POINTER, walk->Next(2, items, nullptr));

    EXPECT_EQ(S_OK, walk->Reset());
    EXPECT_EQ(S_OK, walk->Skip(3));
    EXPECT_EQ(S_OK, walk->Reset());
    EXPECT_EQ(S_FALSE, walk->Skip(4));

    walk->Reset();
    EXPECT_EQ(S_OK, walk->Next(1, items, nullptr));
    VariantClear(&items[0]);
    com_ptr<IEnumVARIANT> clone;
    ASSERT_EQ(S_OK, walk->Clone(clone.put()));
    EXPECT_EQ(S_OK, walk->Reset());
    ASSERT_EQ(S_OK, clone->Next(1, items, nullptr));  // the clone stands at the second
    com_ptr<IKQSecRole> second;
    V_DISPATCH(&items[0])->QueryInterface(IID_IKQSecRole, second.put_void());
    EXPECT_EQ(L"Maintenance", NameOf(second.get()));
    VariantClear(&items[0]);
}

TEST_F(RolesTest, EnumeratorFailureClearsWhatItFilled)
{
    com_ptr<IUnknown> unknown;
    ASSERT_EQ(S_OK, roles->get__NewEnum(unknown.put()));
    com_ptr<IEnumVARIANT> walk;
    ASSERT_EQ(S_OK, unknown.query(walk));
    // The second role vanishes from the library: its conversion fails.
    g_store.erase(g_store.begin() + 1);
    Publish();
    ASSERT_EQ(S_OK, auth->RefreshCache());
    FakeAuditRegistration audit;
    VARIANT items[3];
    ULONG fetched = 99;
    EXPECT_TRUE(FAILED(walk->Next(3, items, &fetched)));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(VT_EMPTY, V_VT(&items[0]));
    EXPECT_EQ(2u, EventNames(audit).size());  // getComObject, then copyVrtIfc
    // The position stays past the element converted before the failure.
    EXPECT_TRUE(FAILED(walk->Next(1, items, nullptr)));
    EXPECT_EQ(S_OK, walk->Skip(1));
    EXPECT_EQ(S_OK, walk->Next(1, items, nullptr));
    VariantClear(&items[0]);
}

TEST_F(RolesTest, OneEventPerLevel)
{
    KivTest_Force("GetRoleInfo", E_ACCESSDENIED);
    {
        FakeAuditRegistration audit;
        com_ptr<IKQSecRole> role;
        EXPECT_EQ(E_ACCESSDENIED, roles->ItemPos(0, role.put()));
        EXPECT_EQ((std::vector<std::string>{"_CopySecRole::getComObject 0x80070005",
                                            "CKQSecRolesCollection::ItemPos 0x80070005"}),
                  EventNames(audit));
    }
    {
        FakeAuditRegistration audit;
        com_ptr<IKQSecRole> role;
        EXPECT_EQ(E_ACCESSDENIED, roles->Add(Bstr(L"Night"), nullptr, nullptr, role.put()));
        EXPECT_EQ((std::vector<std::string>{"_CopySecRole::getComObject 0x80070005",
                                            "CKQSecRolesCollection::get_Item 0x80070005",
                                            "CKQSecRolesCollection::Add 0x80070005"}),
                  EventNames(audit));
        EXPECT_EQ(1u, client.calls.size());  // the change stays made
    }
    KivTest_Unforce("GetRoleInfo");
    KivTest_SetRoleInfoWithoutRecord(TRUE);
    {
        // A lookup without a record is no role: nothing is read.
        com_ptr<IKQSecRole> role;
        VARIANT_BOOL exists = VARIANT_TRUE;
        EXPECT_EQ(S_OK, roles->IsExists(Bstr(L"Operators"), &exists));
        EXPECT_EQ(VARIANT_FALSE, exists);
        EXPECT_TRUE(FAILED(roles->get_Item(Bstr(L"Operators"), role.put())));
    }
}

TEST_F(RolesTest, RolesKeepTheAuthorizationObjectAlive)
{
    com_ptr<IKQSecRole> role;
    ASSERT_EQ(S_OK, roles->get_Item(Bstr(L"Operators"), role.put()));
    roles.reset();
    auth.reset();
    // The role still reaches the client through its authorization object.
    EXPECT_TRUE(SUCCEEDED(role->CommitChanges()));
    EXPECT_EQ(1u, client.calls.size());
    role.reset();
    EXPECT_EQ(1u, client.refs);
}

TEST_F(RolesTest, InterfaceTables)
{
    com_ptr<IKQSecRole> role;
    ASSERT_EQ(S_OK, roles->get_Item(Bstr(L"Operators"), role.put()));
    struct Case {
        IUnknown* object;
        const IID* iid;
        HRESULT expected;
    };
    const Case cases[] = {
        {roles.get(), &IID_IKQSecRolesCollection, S_OK},
        {roles.get(), &IID_IDispatch, S_OK},
        {roles.get(), &IID_ISupportErrorInfo, S_OK},
        {roles.get(), &IID_IMarshal, S_OK},
        {roles.get(), &IID_IProvideClassInfo2, S_OK},
        {roles.get(), &IID_IProvideClassInfo, S_OK},
        {roles.get(), &IID_IKQSecRole, E_NOINTERFACE},
        {role.get(), &IID_IKQSecRole, S_OK},
        {role.get(), &IID_IDispatch, S_OK},
        {role.get(), &IID_ISupportErrorInfo, S_OK},
        {role.get(), &IID_IMarshal, S_OK},
        {role.get(), &IID_IProvideClassInfo, E_NOINTERFACE},
        {auth.get(), &IID_IMarshal, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        com_ptr<IUnknown> answer;
        EXPECT_EQ(c.expected, c.object->QueryInterface(*c.iid, answer.put_void()));
    }

    com_ptr<IProvideClassInfo2> info;
    ASSERT_EQ(S_OK, roles.query(info));
    GUID guid;
    EXPECT_EQ(S_OK, info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid));
    EXPECT_TRUE(IsEqualGUID(IID_IKQSecRolesCollection, guid));
    EXPECT_EQ(E_INVALIDARG, info->GetGUID(2, &guid));
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, guid));
    EXPECT_EQ(E_POINTER, info->GetGUID(1, nullptr));
    com_ptr<ITypeInfo> classInfo;
    ASSERT_EQ(S_OK, info->GetClassInfo(classInfo.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, classInfo->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(CLSID_KQSecRolesCollection, attr->guid));
    classInfo->ReleaseTypeAttr(attr);

    com_ptr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, role.query(support));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IKQSecRole));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IKQSecRolesCollection));
}

TEST(RolesMadeDirectly, WorkOnTheirEmptySelvesAndFailCleanly)
{
    FakeAuditRegistration audit;
    com_ptr<IKQSecRolesCollection> roles;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KQSecRolesCollection, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IKQSecRolesCollection, roles.put_void()));
    LONG count = -1;
    EXPECT_EQ(S_OK, roles->get_Count(&count));
    EXPECT_EQ(0, count);
    com_ptr<IUnknown> unknown;
    ASSERT_EQ(S_OK, roles->get__NewEnum(unknown.put()));
    com_ptr<IEnumVARIANT> walk;
    ASSERT_EQ(S_OK, unknown.query(walk));
    VARIANT item;
    ULONG fetched = 9;
    EXPECT_EQ(S_FALSE, walk->Next(1, &item, &fetched));
    EXPECT_EQ(0u, fetched);
    com_ptr<IKQSecRole> role;
    EXPECT_EQ(static_cast<HRESULT>(0x80041009), roles->ItemPos(0, role.put()));
    EXPECT_EQ(E_UNEXPECTED, roles->get_Item(Bstr(L"Operators"), role.put()));
    EXPECT_EQ(E_UNEXPECTED, roles->Add(Bstr(L"Night"), nullptr, nullptr, role.put()));
    EXPECT_EQ(E_UNEXPECTED, roles->Remove(Bstr(L"Night")));
    EXPECT_EQ(E_UNEXPECTED, roles->RemoveAll());

    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KQSecRole, nullptr, CLSCTX_INPROC_SERVER, IID_IKQSecRole,
                                     role.put_void()));
    BSTR text = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(S_OK, role->get_Name(&text));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(S_OK, role->AddMembers(Bstr(L"a;b"), nullptr));
    EXPECT_EQ(S_OK, role->get_Users(&text));
    EXPECT_EQ(L"a;b;", Text(text));
    EXPECT_EQ(E_UNEXPECTED, role->CommitChanges());
}

TEST(RolesMadeDirectly, OmittedOptionalArgumentsAreNoText)
{
    // A script that leaves out an [optional] BSTR, in the middle (an explicit
    // DISP_E_PARAMNOTFOUND) or at the end (fewer arguments), or names only
    // some arguments: the member sees no text, never the scode as a pointer.
    VARIANT omitted;
    V_VT(&omitted) = VT_ERROR;
    V_ERROR(&omitted) = DISP_E_PARAMNOTFOUND;
    struct Case {
        const char* call;
        std::vector<const wchar_t*> args;  // last to first; null: omitted
        std::vector<DISPID> named;
        const wchar_t* users;
        const wchar_t* groups;
    };
    const Case cases[] = {
        {"AddMembers(\"x;y\")", {L"x;y"}, {}, L"x;y;", nullptr},
        {"AddMembers()", {}, {}, nullptr, nullptr},
        {"AddMembers(, \"g\")", {L"g", nullptr}, {}, nullptr, L"g;"},
        {"AddMembers(\"u\", )", {nullptr, L"u"}, {}, L"u;", nullptr},
        {"AddMembers(Groups:=\"g\")", {L"g"}, {1}, nullptr, L"g;"},
        {"AddMembers(Users:=\"u\")", {L"u"}, {0}, L"u;", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        com_ptr<IKQSecRole> role;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KQSecRole, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IKQSecRole, role.put_void()));
        com_ptr<IDispatch> dispatch;
        ASSERT_EQ(S_OK, role.query(dispatch));
        std::vector<VARIANT> args;
        for (const wchar_t* text : c.args) {
            VARIANT arg = omitted;
            if (text) {
                V_VT(&arg) = VT_BSTR;
                V_BSTR(&arg) = SysAllocString(text);
            }
            args.push_back(arg);
        }
        std::vector<DISPID> named = c.named;
        DISPPARAMS params = {args.data(), named.empty() ? nullptr : named.data(),
                             static_cast<UINT>(args.size()), static_cast<UINT>(named.size())};
        EXPECT_EQ(S_OK, dispatch->Invoke(100, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                                         nullptr, nullptr));
        for (VARIANT& arg : args) VariantClear(&arg);
        BSTR users = reinterpret_cast<BSTR>(1), groups = reinterpret_cast<BSTR>(1);
        EXPECT_EQ(S_OK, role->get_Users(&users));
        EXPECT_EQ(S_OK, role->get_Groups(&groups));
        EXPECT_EQ(c.users ? c.users : L"<null>", Text(users));
        EXPECT_EQ(c.groups ? c.groups : L"<null>", Text(groups));
    }
}

}  // namespace

namespace {

// What GetErrorInfo holds for the thread, or "(none)".
struct ErrorObject {
    std::wstring description, source;
    GUID guid = GUID_NULL;
};

ErrorObject ThreadErrorObject()
{
    ErrorObject result{L"(none)", L"(none)"};
    com_ptr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info) return result;
    unique_bstr description, source;
    info->GetDescription(description.put());
    info->GetSource(source.put());
    info->GetGUID(&result.guid);
    result.description = description.get() ? description.get() : L"";
    result.source = source.get() ? source.get() : L"";
    return result;
}

// Another component's error object, left on the thread by an earlier failure.
void LeaveStaleErrorObject()
{
    com_ptr<ICreateErrorInfo> create;
    ASSERT_EQ(S_OK, CreateErrorInfo(create.put()));
    create->SetDescription(const_cast<wchar_t*>(L"stale"));
    create->SetSource(const_cast<wchar_t*>(L"Other.Component"));
    com_ptr<IErrorInfo> info;
    ASSERT_EQ(S_OK, create.query(info));
    ASSERT_EQ(S_OK, SetErrorInfo(0, info.get()));
}

std::wstring SystemText(HRESULT code)
{
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(0x1300, nullptr, static_cast<DWORD>(code), 0x0400,
                                  reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer ? buffer : L"", length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    if (!text.empty()) return text;
    wchar_t fallback[64];
    swprintf(fallback, 64, L"Process error: 0x%x", static_cast<unsigned>(code));
    return fallback;
}

}  // namespace

// A failure leaves an error object of the class that failed, whatever
// another component left before: the description is what the audit event
// says where there is one, else the system's text for the code (or the
// "Process error" text where the system has none, as for E_NOINTERFACE here).
TEST_F(RolesTest, FailuresLeaveTheirOwnErrorObject)
{
    FakeAuditRegistration audit;
    NotAClient notAClient;
    const std::wstring collection = L"Authorization.KQSecRolesCollection";
    const std::wstring authorization = L"Quarnex.VOK.IKIVAuthorization";
    struct Case {
        const char* title;
        std::function<HRESULT()> call;
        HRESULT code;
        std::wstring description, source;
        const GUID* guid;
    };
    const Case cases[] = {
        {"a bad role name",
         [&] {
             com_ptr<IKQSecRole> role;
             return roles->Add(Bstr(L"Sales/East"), nullptr, nullptr, role.put());
         },
         static_cast<HRESULT>(0x80041004),
         L"Bad object name 'Sales/East'. Character '/' is not allowed.", collection,
         &IID_IKQSecRolesCollection},
        {"a duplicate",
         [&] {
             com_ptr<IKQSecRole> role;
             return roles->Add(Bstr(L"operators"), nullptr, nullptr, role.put());
         },
         static_cast<HRESULT>(0x80041008), L"Role 'operators' already exists.", collection,
         &IID_IKQSecRolesCollection},
        {"a position out of range",
         [&] {
             com_ptr<IKQSecRole> role;
             return roles->ItemPos(99, role.put());
         },
         static_cast<HRESULT>(0x80041009),
         L"Invalid position. Total Roles = 3. Asked position = 99.", collection,
         &IID_IKQSecRolesCollection},
        {"an unknown role",
         [&] {
             com_ptr<IKQSecRole> role;
             return roles->get_Item(Bstr(L"Nobody"), role.put());
         },
         HRESULT_FROM_WIN32(ERROR_NOT_FOUND), SystemText(HRESULT_FROM_WIN32(ERROR_NOT_FOUND)),
         collection, &IID_IKQSecRolesCollection},
        {"a wrong client attached", [&] { return auth->put_AuthSecClient(&notAClient); },
         E_NOINTERFACE, SystemText(E_NOINTERFACE), authorization, &IID_IIKIVAuthorization},
        {"a check without a result slot",
         [&] { return auth->CheckAccess(Bstr(L"CN=A"), 1, nullptr); }, E_INVALIDARG,
         SystemText(E_INVALIDARG), authorization, &IID_IIKIVAuthorization},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        LeaveStaleErrorObject();
        EXPECT_EQ(c.code, c.call());
        ErrorObject left = ThreadErrorObject();
        EXPECT_EQ(c.description, left.description);
        EXPECT_EQ(c.source, left.source);
        EXPECT_TRUE(IsEqualGUID(*c.guid, left.guid));
    }
    // A success leaves the thread's error object as it was: a caller reads
    // it only after a failure.
    LeaveStaleErrorObject();
    LONG count = 0;
    EXPECT_EQ(S_OK, roles->get_Count(&count));
    EXPECT_EQ(L"stale", ThreadErrorObject().description);
    SetErrorInfo(0, nullptr);
}
