// One roles collection and its roles shared by threads of several
// apartments: the free-threaded marshaler hands every thread the raw object,
// so each call below may run beside any other.
#include "Authorization.h"
#include "AuthSecClientItf.h"
#include "FakeSecClient.h"
#include "MallocSpy.h"
#include "TestSupport.h"
#include "ProcAddress.h"

#include <fstream>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kThreads = 8;  // even ones single-threaded apartments, odd ones the MTA
constexpr int kRounds = 30;
constexpr int kInitialRoles = 200;

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

std::wstring InitialRoleName(int i)
{
    wchar_t name[32];
    swprintf(name, 32, L"Role %03d", i);
    return name;
}

std::wstring RoundRoleName(int thread, int round)
{
    wchar_t name[32];
    swprintf(name, 32, L"Stress %d-%02d", thread, round);
    return name;
}

// A security-database client that any thread may call: it aggregates the
// free-threaded marshaler and writes every change, under its own lock, into
// the library's policy, so that a refresh shows it.
class SharedSecClient : public IAuthSecClient {
public:
    struct Role {
        std::wstring id, name, users, groups;
    };

    SharedSecClient()
    {
        for (int i = 0; i < kInitialRoles; ++i)
            m_roles.push_back({MakeId(i), InitialRoleName(i), L"", L""});
        m_nextId = kInitialRoles;
        Publish();
    }
    HRESULT Init() { return CoCreateFreeThreadedMarshaler(this, m_marshaler.put()); }
    void Done() { m_marshaler.reset(); }

    std::vector<Role> Roles()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_roles;
    }
    LONG refs() const { return m_refs; }

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IMarshal) && m_marshaler)
            return m_marshaler->QueryInterface(riid, ppv);
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) &&
            !IsEqualIID(riid, IID_IAuthSecClient))
            return E_NOINTERFACE;
        *ppv = static_cast<IAuthSecClient*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override
    {
        return static_cast<ULONG>(InterlockedIncrement(&m_refs));
    }
    STDMETHOD_(ULONG, Release)() override
    {
        return static_cast<ULONG>(InterlockedDecrement(&m_refs));
    }
    STDMETHOD(GetTypeInfoCount)(UINT*) override { return E_NOTIMPL; }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
#define UNUSED_SLOT(n)                \
    STDMETHOD(Reserved##n)() override \
    {                                 \
        return E_NOTIMPL;             \
    }
    UNUSED_SLOT(07)
    UNUSED_SLOT(08)
    UNUSED_SLOT(09)
    UNUSED_SLOT(10)
    UNUSED_SLOT(11)
    UNUSED_SLOT(12)
    UNUSED_SLOT(13)
    UNUSED_SLOT(14)
    UNUSED_SLOT(15)
    UNUSED_SLOT(16)
    UNUSED_SLOT(17)
    UNUSED_SLOT(20)
    UNUSED_SLOT(21)
    UNUSED_SLOT(22)
    UNUSED_SLOT(23)
    UNUSED_SLOT(24)
    UNUSED_SLOT(25)
    UNUSED_SLOT(26)
    UNUSED_SLOT(27)
#undef UNUSED_SLOT

    STDMETHOD(DeleteRoleByName)(BSTR name, LONG* result) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        *result = 0;
        for (auto it = m_roles.begin(); it != m_roles.end(); ++it) {
            if (it->name != Text(name)) continue;
            m_roles.erase(it);
            *result = 1;
            return Publish();
        }
        return S_OK;
    }
    STDMETHOD(DeleteRoleById)(BSTR, LONG*) override
    {
        return E_NOTIMPL;
    }
    STDMETHOD(AddRole)(BSTR name, BSTR, BSTR* id) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::wstring assigned = MakeId(m_nextId++);
        m_roles.push_back({assigned, Text(name), L"", L""});
        SysFreeString(*id);
        *id = SysAllocString(assigned.c_str());
        return Publish();
    }
    STDMETHOD(UpdateRole)(BSTR id, BSTR name, BSTR, BSTR users, BSTR groups, LONG) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (Role& role : m_roles) {
            if (role.id != Text(id)) continue;
            role = {role.id, Text(name), Text(users), Text(groups)};
            return Publish();
        }
        return E_FAIL;
    }

private:
    static std::wstring Text(BSTR s)
    {
        return s ? s : L"";
    }
    static std::wstring MakeId(int n)
    {
        wchar_t id[40];
        swprintf(id, 40, L"{5EED0000-0000-4000-8000-%012d}", n);
        return id;
    }
    static void AddMembers(std::string& policy, const char* kind, const Role& role,
                           const std::wstring& list)
    {
        size_t start = 0;
        for (size_t semi; (semi = list.find(L';', start)) != std::wstring::npos; start = semi + 1)
            policy += std::string(kind) + " | " + Narrow(role.id) + " | " +
                      Narrow(list.substr(start, semi - start)) + "\n";
    }
    HRESULT Publish()
    {
        std::string policy = "policy | 1\n";
        for (const Role& role : m_roles) {
            policy += "role | " + Narrow(role.id) + " | " + Narrow(role.name) + "\n";
            AddMembers(policy, "role-user", role, role.users);
            AddMembers(policy, "role-group", role, role.groups);
        }
        return KivTest_LoadPolicyText(policy.c_str());
    }

    std::mutex m_lock;
    std::vector<Role> m_roles;
    int m_nextId = 0;
    LONG m_refs = 1;
    com_ptr<IUnknown> m_marshaler;
};

// What went wrong in a worker, for the main thread to report.
struct Failures {
    std::mutex lock;
    std::vector<std::string> lines;

    void Check(bool ok, int thread, int round, const char* what, HRESULT hr)
    {
        if (ok) return;
        char line[160];
        snprintf(line, sizeof line, "thread %d round %d: %s returned 0x%08lx", thread, round, what,
                 static_cast<unsigned long>(hr));
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(line);
    }
};

struct Worker {
    int index = 0;
    IStream* stream = nullptr;  // the collection, for this thread's apartment
    Failures* failures = nullptr;
    LONG* waiting = nullptr;  // workers not yet at the start line
};

// All workers begin their rounds together, so that the first ones overlap.
void StartTogether(Worker& w)
{
    InterlockedDecrement(w.waiting);
    while (InterlockedCompareExchange(w.waiting, 0, 0) > 0) Sleep(0);
}

void WalkByPosition(IKQSecRolesCollection* roles, Worker& w, int round)
{
    LONG count = 0;
    HRESULT hr = roles->get_Count(&count);
    w.failures->Check(hr == S_OK && count >= kInitialRoles, w.index, round, "Count", hr);
    // The first roles are never removed: every position among them answers.
    for (LONG pos = 0; pos < kInitialRoles; ++pos) {
        com_ptr<IKQSecRole> role;
        hr = roles->ItemPos(pos, role.put());
        w.failures->Check(hr == S_OK && role, w.index, round, "ItemPos", hr);
    }
}

// References taken and given up, as clients pass a shared object around.
void ShareReferences(IKQSecRolesCollection* roles, Worker& w, int round)
{
    for (int i = 0; i < 5000; ++i) {
        com_ptr<IDispatch> dispatch;
        HRESULT hr = roles->QueryInterface(IID_IDispatch, dispatch.put_void());
        w.failures->Check(hr == S_OK, w.index, round, "QueryInterface", hr);
    }
}

void WalkByEnumerator(IKQSecRolesCollection* roles, Worker& w, int round)
{
    com_ptr<IUnknown> unknown;
    HRESULT hr = roles->get__NewEnum(unknown.put());
    w.failures->Check(hr == S_OK, w.index, round, "_NewEnum", hr);
    if (FAILED(hr)) return;
    com_ptr<IEnumVARIANT> enumerator;
    hr = unknown.query(enumerator);
    w.failures->Check(hr == S_OK, w.index, round, "IEnumVARIANT", hr);
    if (FAILED(hr)) return;
    for (int i = 0; i < kInitialRoles; ++i) {
        unique_variant item;
        ULONG fetched = 0;
        hr = enumerator->Next(1, &item, &fetched);
        w.failures->Check(hr == S_OK && fetched == 1 && V_VT(&item) == VT_DISPATCH, w.index, round,
                          "Next", hr);
    }
}

void LookUp(IKQSecRolesCollection* roles, Worker& w, int round)
{
    Bstr name(InitialRoleName((w.index * 7 + round) % kInitialRoles).c_str());
    com_ptr<IKQSecRole> role;
    HRESULT hr = roles->get_Item(name, role.put());
    w.failures->Check(hr == S_OK, w.index, round, "Item", hr);
    VARIANT_BOOL exists = VARIANT_FALSE;
    hr = roles->IsExists(name, &exists);
    w.failures->Check(hr == S_OK && exists == VARIANT_TRUE, w.index, round, "IsExists", hr);
    // A rejected request: its audit event is recorded from this thread.
    com_ptr<IKQSecRole> none;
    hr = roles->ItemPos(-1, none.put());
    w.failures->Check(hr == static_cast<HRESULT>(0x80041009), w.index, round, "ItemPos(-1)", hr);
}

// Adds this round's role, edits and commits its members; even rounds remove it again.
void Change(IKQSecRolesCollection* roles, Worker& w, int round)
{
    Bstr name(RoundRoleName(w.index, round).c_str());
    com_ptr<IKQSecRole> role;
    HRESULT hr = roles->Add(name, nullptr, nullptr, role.put());
    w.failures->Check(hr == S_OK && role, w.index, round, "Add", hr);
    if (!role) return;
    std::wstring user = L"PLANT\\user" + std::to_wstring(w.index);
    std::wstring group = L"PLANT\\group" + std::to_wstring(w.index);
    hr = role->AddMembers(Bstr((user + L";PLANT\\temp").c_str()), Bstr(group.c_str()));
    w.failures->Check(hr == S_OK, w.index, round, "AddMembers", hr);
    hr = role->RemoveMembers(Bstr(L"PLANT\\temp"), nullptr);
    w.failures->Check(hr == S_OK, w.index, round, "RemoveMembers", hr);
    hr = role->CommitChanges();
    w.failures->Check(SUCCEEDED(hr), w.index, round, "CommitChanges", hr);
    VARIANT_BOOL exists = VARIANT_FALSE;
    hr = roles->IsExists(name, &exists);
    w.failures->Check(hr == S_OK && exists == VARIANT_TRUE, w.index, round, "IsExists own", hr);
    if (round % 2 == 0) {
        hr = roles->Remove(name);
        w.failures->Check(hr == S_OK, w.index, round, "Remove", hr);
    }
}

DWORD WINAPI RunWorker(void* parameter)
{
    Worker& w = *static_cast<Worker*>(parameter);
    HRESULT hr =
        CoInitializeEx(nullptr, w.index % 2 == 0 ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
    w.failures->Check(SUCCEEDED(hr), w.index, -1, "CoInitializeEx", hr);
    {
        com_ptr<IKQSecRolesCollection> roles;
        hr = CoGetInterfaceAndReleaseStream(w.stream, IID_IKQSecRolesCollection, roles.put_void());
        w.failures->Check(hr == S_OK, w.index, -1, "CoGetInterfaceAndReleaseStream", hr);
        StartTogether(w);
        for (int round = 0; roles && round < kRounds; ++round) {
            ShareReferences(roles.get(), w, round);
            WalkByPosition(roles.get(), w, round);
            WalkByEnumerator(roles.get(), w, round);
            LookUp(roles.get(), w, round);
            Change(roles.get(), w, round);
        }
    }
    CoUninitialize();
    return 0;
}

DWORD WINAPI RunLookUp(void* parameter)
{
    Worker& w = *static_cast<Worker*>(parameter);
    CoInitializeEx(nullptr, w.index % 2 == 0 ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
    {
        com_ptr<IKQSecRolesCollection> roles;
        CoGetInterfaceAndReleaseStream(w.stream, IID_IKQSecRolesCollection, roles.put_void());
        StartTogether(w);
        if (roles) LookUp(roles.get(), w, 0);
    }
    CoUninitialize();
    return 0;
}

// An authorization object with the client attached, and a collection of it.
struct Session {
    com_ptr<IIKIVAuthorization> auth;
    com_ptr<IKQSecRolesCollection> roles;
};

void Open(SharedSecClient& client, Session& session)
{
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_IKIVAuthorization, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IIKIVAuthorization, session.auth.put_void()));
    ASSERT_EQ(S_OK, session.auth->InitCache());
    ASSERT_EQ(S_OK, session.auth->put_AuthSecClient(&client));
    BSTR time = nullptr;
    ASSERT_EQ(S_OK, session.auth->get_RolesColl(session.roles.put(), &time));
    SysFreeString(time);
}

// One thread per worker, each handed the collection for its own apartment.
void RunThreads(IKQSecRolesCollection* roles, std::vector<Worker>& workers,
                LPTHREAD_START_ROUTINE body)
{
    std::vector<HANDLE> threads;
    LONG waiting = static_cast<LONG>(workers.size());
    for (Worker& w : workers) {
        ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IKQSecRolesCollection, roles,
                                                              &w.stream));
        w.waiting = &waiting;
    }
    for (Worker& w : workers) threads.push_back(CreateThread(nullptr, 0, body, &w, 0, nullptr));
    for (HANDLE thread : threads) {
        ASSERT_NE(nullptr, thread);
        DWORD index = 0;
        // Pumps: a call from another apartment may need this one.
        CoWaitForMultipleHandles(0, INFINITE, 1, &thread, &index);
        CloseHandle(thread);
    }
}

// The audit log of this test program (set by its test definition), emptied.
std::wstring FreshAuditLog()
{
    wchar_t path[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"KQSECSUPPORT_AUDIT_LOG", path, MAX_PATH)) return L"";
    DeleteFileW(path);
    return path;
}

size_t LinesWith(const std::wstring& path, const std::string& text)
{
    std::ifstream log(std::string(path.begin(), path.end()));
    size_t count = 0;
    for (std::string line; std::getline(log, line);)
        if (line.find(text) != std::string::npos) ++count;
    return count;
}

TEST(ThreadsTest, OneCollectionSharedByApartments)
{
    KivTest_Reset();
    std::wstring auditLog = FreshAuditLog();
    SharedSecClient client;
    ASSERT_EQ(S_OK, client.Init());
    Failures failures;
    {
        // What the module and the runtime keep for the process is made first.
        Session warmUp;
        Open(client, warmUp);
        std::vector<Worker> workers = {{0, nullptr, &failures}, {1, nullptr, &failures}};
        RunThreads(warmUp.roles.get(), workers, RunLookUp);
    }

    MallocSpy spy;
    ASSERT_TRUE(spy.registered());
    size_t before = spy.Live();
    {
        Session session;
        Open(client, session);
        std::vector<Worker> workers(static_cast<size_t>(kThreads));
        for (int i = 0; i < kThreads; ++i)
            workers[static_cast<size_t>(i)] = {i, nullptr, &failures};
        RunThreads(session.roles.get(), workers, RunWorker);

        // The library now lists exactly the roles that the rounds left.
        std::set<std::wstring> expected;
        for (int i = 0; i < kInitialRoles; ++i) expected.insert(InitialRoleName(i));
        for (int t = 0; t < kThreads; ++t)
            for (int r = 1; r < kRounds; r += 2) expected.insert(RoundRoleName(t, r));
        com_ptr<IKQSecRolesCollection> fresh;
        BSTR time = nullptr;
        ASSERT_EQ(S_OK, session.auth->get_RolesColl(fresh.put(), &time));
        SysFreeString(time);
        LONG count = 0;
        EXPECT_EQ(S_OK, fresh->get_Count(&count));
        EXPECT_EQ(static_cast<LONG>(expected.size()), count);
        std::set<std::wstring> listed;
        for (LONG pos = 0; pos < count; ++pos) {
            com_ptr<IKQSecRole> role;
            ASSERT_EQ(S_OK, fresh->ItemPos(pos, role.put()));
            BSTR name = nullptr;
            role->get_Name(&name);
            listed.insert(name ? name : L"");
            SysFreeString(name);
        }
        EXPECT_TRUE(expected == listed);

        // ... and the policy holds each of them with its committed members.
        std::map<std::wstring, SharedSecClient::Role> stored;
        for (const SharedSecClient::Role& role : client.Roles()) stored[role.name] = role;
        EXPECT_EQ(expected.size(), stored.size());
        for (int t = 0; t < kThreads; ++t) {
            for (int r = 1; r < kRounds; r += 2) {
                auto found = stored.find(RoundRoleName(t, r));
                ASSERT_NE(stored.end(), found) << Narrow(RoundRoleName(t, r));
                EXPECT_EQ(L"PLANT\\user" + std::to_wstring(t) + L";", found->second.users);
                EXPECT_EQ(L"PLANT\\group" + std::to_wstring(t) + L";", found->second.groups);
            }
        }
    }
    // Every object of the rounds is gone, and with it every text it held.
    EXPECT_EQ(before, spy.Live()) << "task-memory blocks left";
    for (const std::string& line : failures.lines) ADD_FAILURE() << line;
    // One audit event per rejected request, whichever apartment made it.
    if (!auditLog.empty()) {
        EXPECT_EQ(2u + kThreads * kRounds,
                  LinesWith(auditLog, "\"operation\":\"CKQSecRolesCollection::ItemPos\""));
    }

    client.Done();
    EXPECT_EQ(1, client.refs());
    using CanUnloadNow = HRESULT(WINAPI*)();
    auto canUnloadNow =
        GetProcAddressAs<CanUnloadNow>(GetModuleHandleW(L"Authorization.dll"), "DllCanUnloadNow");
    ASSERT_NE(nullptr, canUnloadNow);
    EXPECT_EQ(S_OK, canUnloadNow());
    KivTest_Reset();
}

// The roles collection of a new authorization object with this client
// attached in the calling thread; null on failure.
com_ptr<IKQSecRolesCollection> RolesWithClient(IAuthSecClient* client)
{
    com_ptr<IIKIVAuthorization> auth;
    com_ptr<IKQSecRolesCollection> roles;
    BSTR time = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_IKIVAuthorization, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IIKIVAuthorization, auth.put_void()));
    if (auth && SUCCEEDED(auth->InitCache()) && SUCCEEDED(auth->put_AuthSecClient(client))) {
        EXPECT_EQ(S_OK, auth->get_RolesColl(roles.put(), &time));
    }
    SysFreeString(time);
    return roles;
}

// What a thread of the MTA got from a role and a collection whose client
// belongs to the main thread's apartment.
struct ForeignCalls {
    IStream* role = nullptr;
    IStream* roles = nullptr;
    HRESULT commit = S_OK, remove = S_OK, add = S_OK;
};

DWORD WINAPI ChangeFromTheMta(void* parameter)
{
    auto& calls = *static_cast<ForeignCalls*>(parameter);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        com_ptr<IKQSecRole> role;
        com_ptr<IKQSecRolesCollection> roles;
        CoGetInterfaceAndReleaseStream(calls.role, IID_IKQSecRole, role.put_void());
        CoGetInterfaceAndReleaseStream(calls.roles, IID_IKQSecRolesCollection, roles.put_void());
        if (role) calls.commit = role->CommitChanges();
        if (roles) {
            calls.remove = roles->Remove(Bstr(L"Operators"));
            com_ptr<IKQSecRole> added;
            calls.add = roles->Add(Bstr(L"Night"), nullptr, nullptr, added.put());
        }
    }
    CoUninitialize();
    return 0;
}

TEST(ThreadsTest, AClientOfOneApartmentIsNeverCalledFromAnother)
{
    KivTest_Reset();
    FakeSecClient client;  // no marshaler of its own
    {
        com_ptr<IKQSecRolesCollection> roles = RolesWithClient(&client);
        ASSERT_TRUE(roles);
        com_ptr<IKQSecRole> role;
        ASSERT_EQ(S_OK, roles->get_Item(Bstr(L"Operators"), role.put()));

        ForeignCalls calls;
        ASSERT_EQ(S_OK,
                  CoMarshalInterThreadInterfaceInStream(IID_IKQSecRole, role.get(), &calls.role));
        ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IKQSecRolesCollection,
                                                              roles.get(), &calls.roles));
        HANDLE thread = CreateThread(nullptr, 0, ChangeFromTheMta, &calls, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        DWORD index = 0;
        CoWaitForMultipleHandles(0, INFINITE, 1, &thread, &index);
        CloseHandle(thread);

        // The changes reached the client, each in the client's own apartment
        // (through the automation marshaler that the client stand-in's type
        // library registers for the interface), never on that thread.
        EXPECT_TRUE(SUCCEEDED(calls.commit)) << std::hex << calls.commit;
        EXPECT_TRUE(SUCCEEDED(calls.remove)) << std::hex << calls.remove;
        EXPECT_EQ(0, client.foreignCalls);
        std::vector<std::string> names;
        for (const FakeSecClient::Call& call : client.calls) names.push_back(call.name);
        EXPECT_EQ((std::vector<std::string>{"UpdateRole", "DeleteRoleByName", "AddRole"}), names);

        // In its own apartment the client is used as attached.
        client.calls.clear();
        EXPECT_TRUE(SUCCEEDED(role->CommitChanges()));
        ASSERT_EQ(1u, client.calls.size());
        EXPECT_EQ("UpdateRole", client.calls[0].name);
    }
    EXPECT_EQ(1u, client.refs);
    KivTest_Reset();
}

DWORD WINAPI ReleaseInTheMta(void* stream)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        com_ptr<IKQSecRolesCollection> roles;
        CoGetInterfaceAndReleaseStream(static_cast<IStream*>(stream), IID_IKQSecRolesCollection,
                                       roles.put_void());
    }  // the last reference to the collection, and so to the authorization object
    CoUninitialize();
    return 0;
}

// The authorization object goes on a thread of the MTA, with the last
// collection that held it; the client it had attached in this apartment is
// released in this apartment all the same, once its message loop runs.
TEST(ThreadsTest, TheClientIsReleasedInItsOwnApartment)
{
    KivTest_Reset();
    FakeSecClient client;
    IStream* stream = nullptr;
    {
        com_ptr<IKQSecRolesCollection> roles = RolesWithClient(&client);
        ASSERT_TRUE(roles);
        ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IKQSecRolesCollection,
                                                              roles.get(), &stream));
    }
    EXPECT_GT(client.refs, 1u);
    HANDLE thread = CreateThread(nullptr, 0, ReleaseInTheMta, stream, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    DWORD index = 0;
    CoWaitForMultipleHandles(0, INFINITE, 1, &thread, &index);
    CloseHandle(thread);
    // What was posted to this apartment.
    for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&message);

    EXPECT_EQ(1u, client.refs);
    EXPECT_EQ(0, client.foreignCalls);
    KivTest_Reset();
}

}  // namespace
