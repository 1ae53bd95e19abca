// Role administration through the module with the client stand-in attached:
// what a client program does, and what the closed library then shows.
#include "SecClientSupport.h"

#include "Authorization.h"

#include <fstream>
#include <vector>

namespace {

const std::string kPlant = Crlf({
    "policy | 1",
    "role | {13CEE7F6-538C-43C2-AF6F-04F650653063} | Operators | Run the process areas",
    "role | {33164CD7-CD23-417C-BF55-6D7905DC29EB} | Maintenance",
    "role-user | Operators | PLANT\\carol",
    "role-grant | Operators | CN=Pump P-101,O=Plant | 3",
    "grant | PLANT\\bob | CN=Pump P-101,O=Plant | 2",
});

class ModuleWithClientTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_policy = m_folder.File(L"policy.txt");
        m_auditLog = m_folder.File(L"audit.jsonl");
        WriteBytes(m_policy, kPlant);
        // The library and the client find the file the same way.
        SetEnvironmentVariableW(L"KIVAUTH_POLICY", m_policy.c_str());
        SetEnvironmentVariableW(L"KQSECSUPPORT_AUDIT_LOG", m_auditLog.c_str());
        KivTest_Reset();
        KivTest_UseMachinePolicy(TRUE);

        CLSID clsid;
        ASSERT_EQ(CLSIDFromProgID(L"Quarnex.VOK.IKIVAuthorization", &clsid), S_OK);
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IIKIVAuthorization,
                                   m_auth.put_void()),
                  S_OK);
        m_client = CreateClient();
        ASSERT_TRUE(m_client);
        m_control = ControlOf(m_client);
        ASSERT_EQ(m_auth->put_AuthSecClient(m_client.get()), S_OK);
        ASSERT_EQ(m_auth->InitCache(), S_OK);
    }
    void TearDown() override
    {
        m_auth.reset();
        m_control.reset();
        m_client.reset();
        SetEnvironmentVariableW(L"KIVAUTH_POLICY", nullptr);
        SetEnvironmentVariableW(L"KQSECSUPPORT_AUDIT_LOG", nullptr);
        KivTest_Reset();
        EXPECT_EQ(SecClientCanUnload(), S_OK) << "objects of SecClient.dll left alive";
    }

    com_ptr<IKQSecRolesCollection> Roles()
    {
        com_ptr<IKQSecRolesCollection> roles;
        BSTR time = nullptr;
        EXPECT_EQ(m_auth->get_RolesColl(roles.put(), &time), S_OK);
        SysFreeString(time);
        return roles;
    }

    static LONG Count(const com_ptr<IKQSecRolesCollection>& roles)
    {
        LONG count = -1;
        EXPECT_EQ(roles->get_Count(&count), S_OK);
        return count;
    }

    static std::wstring Text(HRESULT (STDMETHODCALLTYPE IKQSecRole::*getter)(BSTR*),
                             IKQSecRole* role)
    {
        BSTR value = nullptr;
        EXPECT_EQ((role->*getter)(&value), S_OK);
        std::wstring text = value ? value : L"<null>";
        SysFreeString(value);
        return text;
    }

    std::wstring LastCall()
    {
        BSTR call = nullptr;
        m_control->get_LastCall(&call);
        std::wstring text = call ? call : L"";
        SysFreeString(call);
        return text;
    }

    bool Exists(IKQSecRolesCollection* roles, const wchar_t* idOrName)
    {
        VARIANT_BOOL exists = VARIANT_FALSE;
        EXPECT_EQ(roles->IsExists(Bstr(idOrName), &exists), S_OK);
        return exists == VARIANT_TRUE;
    }

    std::vector<std::string> AuditLines()
    {
        std::vector<std::string> lines;
        std::ifstream log(Narrow(m_auditLog.c_str()));
        for (std::string line; std::getline(log, line);) lines.push_back(line);
        return lines;
    }

    TempFolder m_folder;
    std::wstring m_policy, m_auditLog;
    com_ptr<IIKIVAuthorization> m_auth;
    com_ptr<IAuthSecClient> m_client;
    com_ptr<ISecClientControl> m_control;
};

TEST_F(ModuleWithClientTest, AddedRolesReachTheLibrary)
{
    com_ptr<IKQSecRolesCollection> roles = Roles();
    EXPECT_EQ(Count(roles), 2);

    com_ptr<IKQSecRole> added;
    ASSERT_EQ(roles->Add(Bstr(L"  Shift Leads  "), nullptr, nullptr, added.put()), S_OK);
    EXPECT_EQ(LastCall(), L"AddRole(\"Shift Leads\", null, null)");
    std::wstring id = Text(&IKQSecRole::get_Id, added.get());
    GUID guid;
    EXPECT_EQ(CLSIDFromString(id.c_str(), &guid), S_OK) << Narrow(id.c_str());
    EXPECT_EQ(Text(&IKQSecRole::get_Name, added.get()), L"Shift Leads");
    EXPECT_EQ(Count(roles), 3);

    ASSERT_EQ(roles->Add(Bstr(L"Reviewers"), Bstr(L"Read the records"),
                         Bstr(L"{0a1b2c3d-1111-2222-3333-444455556666}"), added.put()),
              S_OK);
    EXPECT_EQ(Text(&IKQSecRole::get_Id, added.get()), L"{0A1B2C3D-1111-2222-3333-444455556666}");
    EXPECT_EQ(Text(&IKQSecRole::get_Description, added.get()), L"Read the records");
    EXPECT_EQ(Count(roles), 4);
    EXPECT_TRUE(Exists(roles.get(), id.c_str()));
    EXPECT_TRUE(LibraryAccepts(ReadBytes(m_policy)));
}

// A rename must not strand the grant that named the role by its old name.
TEST_F(ModuleWithClientTest, CommittedChangesShowInANewCollection)
{
    com_ptr<IKQSecRolesCollection> roles = Roles();
    com_ptr<IKQSecRole> role;
    ASSERT_EQ(roles->get_Item(Bstr(L"Operators"), role.put()), S_OK);
    ASSERT_EQ(role->AddMembers(Bstr(L"PLANT\\x;PLANT\\y"), Bstr(L"PLANT\\Shift A")), S_OK);
    ASSERT_EQ(role->RemoveMembers(Bstr(L"PLANT\\carol"), nullptr), S_OK);
    ASSERT_EQ(role->put_Name(Bstr(L"Shift Operators")), S_OK);
    ASSERT_EQ(role->put_Description(Bstr(L"Run it all")), S_OK);
    ASSERT_EQ(role->CommitChanges(), S_OK);

    com_ptr<IKQSecRolesCollection> fresh = Roles();
    com_ptr<IKQSecRole> read;
    ASSERT_EQ(fresh->get_Item(Bstr(L"Shift Operators"), read.put()), S_OK);
    EXPECT_EQ(Text(&IKQSecRole::get_Id, read.get()), L"{13CEE7F6-538C-43C2-AF6F-04F650653063}");
    EXPECT_EQ(Text(&IKQSecRole::get_Users, read.get()), L"PLANT\\x;PLANT\\y;");
    EXPECT_EQ(Text(&IKQSecRole::get_Groups, read.get()), L"PLANT\\Shift A;");
    EXPECT_EQ(Text(&IKQSecRole::get_Description, read.get()), L"Run it all");
    EXPECT_FALSE(Exists(fresh.get(), L"Operators"));

    VARIANT_BOOL granted = VARIANT_FALSE;
    EXPECT_EQ(m_auth->CheckRoleAccess(Bstr(L"Shift Operators"), Bstr(L"CN=Pump P-101,O=Plant"), 3,
                                      &granted),
              S_OK);
    EXPECT_EQ(granted, VARIANT_TRUE);
    EXPECT_TRUE(LibraryAccepts(ReadBytes(m_policy)));

    // Committing again writes the same record: nothing new for the library.
    EXPECT_EQ(role->CommitChanges(), S_FALSE);
}

TEST_F(ModuleWithClientTest, RemoveByNameAndByBracedId)
{
    com_ptr<IKQSecRolesCollection> roles = Roles();
    ASSERT_EQ(roles->Remove(Bstr(L" Operators ")), S_OK);
    EXPECT_EQ(LastCall(), L"DeleteRoleByName(\"Operators\")");
    EXPECT_EQ(Count(roles), 1);
    ASSERT_EQ(roles->Remove(Bstr(L"{33164cd7-cd23-417c-bf55-6d7905dc29eb}")), S_OK);
    EXPECT_EQ(LastCall(), L"DeleteRoleById(\"KIV33164cd7-cd23-417c-bf55-6d7905dc29eb\")");
    EXPECT_EQ(Count(roles), 0);
    EXPECT_EQ(ReadBytes(m_policy),
              Crlf({"policy | 1", "grant | PLANT\\bob | CN=Pump P-101,O=Plant | 2"}));
}

TEST_F(ModuleWithClientTest, RemoveAllKeepsTheOtherRecords)
{
    com_ptr<IKQSecRolesCollection> roles = Roles();
    ASSERT_EQ(roles->RemoveAll(), S_OK);
    EXPECT_EQ(Count(roles), 0);
    LONG calls = 0;
    m_control->get_CallCount(&calls);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(ReadBytes(m_policy),
              Crlf({"policy | 1", "grant | PLANT\\bob | CN=Pump P-101,O=Plant | 2"}));
}

// The client's code goes back to the caller and into the audit log; the
// file and the collection stay as they were.
TEST_F(ModuleWithClientTest, ClientFailuresReachTheCallerAndTheAuditLog)
{
    com_ptr<IKQSecRolesCollection> roles = Roles();
    ASSERT_EQ(m_control->FailNext(Bstr(L"AddRole"), E_ACCESSDENIED), S_OK);
    com_ptr<IKQSecRole> added;
    EXPECT_EQ(roles->Add(Bstr(L"Shift Leads"), nullptr, nullptr, added.put()), E_ACCESSDENIED);
    EXPECT_EQ(Count(roles), 2);
    EXPECT_EQ(ReadBytes(m_policy), kPlant);
    bool logged = false;
    for (const std::string& line : AuditLines())
        logged |= line.find("\"operation\":\"CKQSecRolesCollection::Add\"") != std::string::npos &&
                  line.find("\"code\":\"0x80070005\"") != std::string::npos;
    EXPECT_TRUE(logged);

    com_ptr<IKQSecRole> role;
    ASSERT_EQ(roles->get_Item(Bstr(L"Operators"), role.put()), S_OK);
    ASSERT_EQ(m_control->FailNext(Bstr(L"UpdateRole"), E_FAIL), S_OK);
    EXPECT_EQ(role->CommitChanges(), E_FAIL);

    // RemoveAll goes on past deletes that fail, and says nothing of them.
    ASSERT_EQ(m_control->FailAlways(Bstr(L"DeleteRoleByName"), E_FAIL), S_OK);
    EXPECT_EQ(roles->RemoveAll(), S_OK);
    EXPECT_EQ(Count(roles), 2);
    EXPECT_EQ(ReadBytes(m_policy), kPlant);
}

TEST_F(ModuleWithClientTest, NoPolicyFileIsAClearFailure)
{
    SetEnvironmentVariableW(L"KIVAUTH_POLICY", nullptr);
    com_ptr<IKQSecRolesCollection> roles = Roles();  // the library's default policy
    com_ptr<IKQSecRole> added;
    EXPECT_EQ(roles->Add(Bstr(L"Shift Leads"), nullptr, nullptr, added.put()),
              HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND));
}

}  // namespace

namespace {

constexpr int kThreads = 8;  // even ones single-threaded apartments, odd ones the MTA
constexpr int kRounds = 4;

std::wstring RoundRole(int thread, int round)
{
    return L"T" + std::to_wstring(thread) + L" R" + std::to_wstring(round);
}

// One thread's share: add a role, give it a member, commit, remove it; the
// last round's role stays. The first failure ends the thread's work.
struct Worker {
    int index = 0;
    IKQSecRolesCollection* roles = nullptr;
    HRESULT failure = S_OK;
    std::wstring failedStep;

    void Fail(HRESULT hr, const std::wstring& step)
    {
        failure = hr;
        failedStep = step;
    }

    void Run()
    {
        for (int round = 0; round < kRounds && SUCCEEDED(failure); ++round) {
            std::wstring name = RoundRole(index, round);
            com_ptr<IKQSecRole> role;
            HRESULT hr = roles->Add(Bstr(name.c_str()), nullptr, nullptr, role.put());
            if (FAILED(hr)) return Fail(hr, L"Add " + name);
            std::wstring member = L"PLANT\\t" + std::to_wstring(index);
            hr = role->AddMembers(Bstr(member.c_str()), nullptr);
            if (SUCCEEDED(hr)) hr = role->CommitChanges();
            if (FAILED(hr)) return Fail(hr, L"CommitChanges " + name);
            if (round + 1 == kRounds) break;
            hr = roles->Remove(Bstr(name.c_str()));
            if (FAILED(hr)) return Fail(hr, L"Remove " + name);
        }
    }

    static DWORD WINAPI Start(void* self)
    {
        auto* worker = static_cast<Worker*>(self);
        CoInitializeEx(nullptr,
                       worker->index % 2 ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
        worker->Run();
        CoUninitialize();
        return 0;
    }
};

}  // namespace

// The collection travels to threads of every apartment; the client stays in
// the apartment that attached it, and reaches the others through the
// automation marshaler that its registration set up. The attaching thread
// only runs its message loop meanwhile.
TEST_F(ModuleWithClientTest, RolesAreAdministeredFromThreadsOfEveryApartment)
{
    com_ptr<IKQSecRolesCollection> roles = Roles();
    Worker workers[kThreads];
    HANDLE threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        workers[i].index = i;
        workers[i].roles = roles.get();
        threads[i] = CreateThread(nullptr, 0, Worker::Start, &workers[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    // Bounded: a call that never returns fails the test instead of hanging it.
    std::vector<HANDLE> pending(threads, threads + kThreads);
    const ULONGLONG deadline = GetTickCount64() + 120000;
    while (!pending.empty() && GetTickCount64() < deadline) {
        DWORD wait = MsgWaitForMultipleObjects(static_cast<DWORD>(pending.size()), pending.data(),
                                               FALSE, 50, QS_ALLINPUT);
        if (wait < WAIT_OBJECT_0 + pending.size())
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(wait - WAIT_OBJECT_0));
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    ASSERT_TRUE(pending.empty()) << "a thread's call did not return";
    for (HANDLE thread : threads) CloseHandle(thread);

    for (const Worker& worker : workers)
        EXPECT_EQ(worker.failure, S_OK)
            << "thread " << worker.index << ": " << Narrow(worker.failedStep.c_str());
    // Every change reached the policy: each thread's last role, with its member.
    std::string policy = ReadBytes(m_policy);
    auto hasLastField = [&](const std::wstring& field) {
        std::string text = "| " + Narrow(field.c_str());
        for (size_t at = policy.find(text); at != std::string::npos;
             at = policy.find(text, at + 1)) {
            size_t end = at + text.size();
            if (end == policy.size() || policy[end] == '\r' || policy[end] == '\n') return true;
        }
        return false;
    };
    for (int i = 0; i < kThreads; ++i) {
        for (int round = 0; round < kRounds; ++round)
            EXPECT_EQ(hasLastField(RoundRole(i, round)), round + 1 == kRounds)
                << Narrow(RoundRole(i, round).c_str());
        EXPECT_TRUE(hasLastField(L"PLANT\\t" + std::to_wstring(i))) << "thread " << i;
    }
    EXPECT_EQ(Count(Roles()), 2 + kThreads);
}
