// Figures, never verdicts: what the module's calls cost, each next to the
// reference it is compared with. Run by scripts/bench:
//   auth_bench checks            early-bound checks and the default domain
//   auth_bench roles N [N...]    role administration at stores of N roles
//   auth_bench events            events per second
// The module, KQSecSupport.dll and SecClient.dll must be registered.
#include "Clock.h"
#include "Authorization.h"
#include "AuditSupportItf.h"
#include "AuthSecClientItf.h"
#include "SecClientItf.h"

#include "ComPtr.h"
#include "ResourceOwners.h"
#include "KIVAuthorize.h"
#include "TestHelpers.h"

#include <windows.h>
#include <oleauto.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what, HRESULT hr)
{
    printf("FAILED: %s: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    fflush(stdout);
    ExitProcess(2);
}

void Check(HRESULT hr, const char* what)
{
    if (FAILED(hr)) Fail(what, hr);
}

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// One line of figures: what, how much, and how much that is of its reference.
void Row(const char* what, double value, const char* unit, double reference,
         const char* referenceName, const char* target = "")
{
    printf("  %-44s %10.3f %-8s %7.2fx %-30s %s\n", what, value, unit, value / reference,
           referenceName, target);
}

// The best of rounds, the calls of each kind interleaved round by round so
// that a machine's noise falls on all of them alike. Microseconds per call.
std::vector<double> BestOfInterleaved(int rounds, int calls,
                                      const std::vector<std::function<void()>>& bodies)
{
    std::vector<double> best(bodies.size(), 1e30);
    for (int round = 0; round < rounds; ++round) {
        for (size_t b = 0; b < bodies.size(); ++b) {
            double start = Now();
            for (int i = 0; i < calls; ++i) bodies[b]();
            best[b] = std::min(best[b], (Now() - start) * 1e6 / calls);
        }
    }
    return best;
}

// ---------------------------------------------------------------- checks

const char kDomain[] = "PLANT";
const char kUser[] = "alice";
const char kDn[] = "CN=Pump P-101,OU=Area 1,O=Plant";
const char kRole[] = "Operators";
const char kVokKey[] = "SOFTWARE\\Quarnex\\VOK";

void SetDefaultDomainValue(const char* text)
{
    HKEY key;
    Check(HRESULT_FROM_WIN32(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kVokKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr)),
          "RegCreateKeyExA");
    if (text)
        RegSetValueExA(key, "AuthDefaultDomain", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>(strlen(text) + 1));
    else
        RegDeleteValueA(key, "AuthDefaultDomain");
    RegCloseKey(key);
}

// The value the registry holds now, or false when there is none.
bool ReadDefaultDomainValue(std::string& text)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVokKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    char data[256] = {};
    DWORD size = sizeof data, type = 0;
    LONG status = RegQueryValueExA(key, "AuthDefaultDomain", nullptr, &type,
                                   reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    text = data;
    return true;
}

int Checks()
{
    const int rounds = 15, calls = 20000;
    com_ptr<IIKIVAuthorization> auth;
    Check(CoCreateInstance(CLSID_IKIVAuthorization, nullptr, CLSCTX_INPROC_SERVER,
                           IID_IIKIVAuthorization, auth.put_void()),
          "create the authorization object");
    CKIVAuthorize library;
    std::string account = std::string(kDomain) + "\\" + kUser;
    Bstr domain(Widen(kDomain)), user(Widen(kUser)), dn(Widen(kDn)), role(Widen(kRole));
    Check(auth->InitCacheEx(domain, user), "InitCacheEx");
    if (!library.InitCache(account.c_str(), 3)) Fail("the library's InitCache", E_FAIL);

    VARIANT_BOOL granted = VARIANT_FALSE;
    int wrong = 0;
    auto expectGranted = [&](HRESULT hr) {
        if (hr != S_OK || granted != VARIANT_TRUE) ++wrong;
    };
    std::vector<double> best = BestOfInterleaved(
        rounds, calls,
        {
            [&] { expectGranted(auth->CheckAccessEx(domain, user, dn, 3, &granted)); },
            [&] { wrong += library.CheckAccess(account.c_str(), kDn, 3) ? 0 : 1; },
            [&] { expectGranted(auth->CheckAccess(dn, 3, &granted)); },
            [&] { wrong += library.CheckAccess(kDn, 3) ? 0 : 1; },
            [&] { expectGranted(auth->CheckRoleAccess(role, dn, 3, &granted)); },
            [&] { wrong += library.CheckRoleAccess(kRole, kDn, 3) ? 0 : 1; },
        });
    printf(
        "Early-bound checks from C++ (best of %d interleaved rounds of %d calls; %s on\n"
        "\"%s\", permission 3, default policy)\n",
        rounds, calls, account.c_str(), kDn);
    Row("library CheckAccess(account, DN)", best[1], "us/call", best[1], "itself");
    Row("module CheckAccessEx through the vtable", best[0], "us/call", best[1],
        "library CheckAccess(acct, DN)", "target <= 1.30");
    Row("library CheckAccess(DN) (cached account)", best[3], "us/call", best[3], "itself");
    Row("module CheckAccess through the vtable", best[2], "us/call", best[3],
        "library CheckAccess(DN)");
    Row("library CheckRoleAccess", best[5], "us/call", best[5], "itself");
    Row("module CheckRoleAccess through the vtable", best[4], "us/call", best[5],
        "library CheckRoleAccess");
    // What the module adds, apart from the library's own work: narrowing the
    // texts, the library lock, the call.
    Row("module's own part of CheckAccessEx", best[0] - best[1], "us/call", best[1],
        "library CheckAccess(acct, DN)");
    Row("module's own part of CheckAccess", best[2] - best[3], "us/call", best[3],
        "library CheckAccess(DN)");
    Row("module's own part of CheckRoleAccess", best[4] - best[5], "us/call", best[5],
        "library CheckRoleAccess");
    if (wrong) printf("  (unexpected: %d answers were not grants)\n", wrong);

    // The default domain: the module's answer against a plain registry read.
    std::string saved;
    bool hadValue = ReadDefaultDomainValue(saved);
    SetDefaultDomainValue(kDomain);
    Bstr empty(L"");
    std::string readBack;
    best = BestOfInterleaved(
        rounds, calls / 10,
        {
            [&] {
                BSTR value = nullptr;
                Check(auth->get_RegAuthDefaultDomain(&value), "RegAuthDefaultDomain");
                SysFreeString(value);
            },
            [&] { ReadDefaultDomainValue(readBack); },
            [&] {
                unique_variant names, ids;
                Check(auth->GetUserRoles(empty, user, &names, &ids), "GetUserRoles");
            },
            [&] {
                unique_variant names, ids;
                library.GetRoles(account.c_str(), &names, &ids);
            },
        });
    SetDefaultDomainValue(hadValue ? saved.c_str() : nullptr);
    printf("\nThe registry's default domain (best of %d interleaved rounds of %d calls)\n", rounds,
           calls / 10);
    Row("registry: open, read, close the value", best[1], "us/call", best[1], "itself");
    Row("module RegAuthDefaultDomain", best[0], "us/call", best[1], "registry open, read, close");
    Row("library GetRoles(account, names, ids)", best[3], "us/call", best[3], "itself");
    Row("module GetUserRoles(\"\", user): domain from registry", best[2], "us/call", best[3],
        "library GetRoles");
    return 0;
}

// ---------------------------------------------------------------- roles

std::string RoleId(int i)
{
    char id[40];
    snprintf(id, sizeof id, "{%08X-0000-4000-8000-%012X}", i, i);
    return id;
}

std::string RoleName(int i)
{
    return "Role " + std::to_string(i);
}

// One user and one grant per role.
std::string MakePolicy(int roles)
{
    std::string text = "policy | 1\r\n";
    text.reserve(static_cast<size_t>(roles) * 160);
    for (int i = 0; i < roles; ++i) {
        std::string id = RoleId(i), name = std::to_string(i);
        text += "role | " + id + " | Role " + name + " | bench role\r\n";
        text += "role-user | " + id + " | BENCH\\user" + name + "\r\n";
        text += "role-grant | " + id + " | CN=Object " + name + ",O=Bench | 3\r\n";
    }
    return text;
}

std::wstring TempFolder()
{
    wchar_t folder[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH) Fail("GetTempPathW", HRESULT_FROM_WIN32(GetLastError()));
    return folder;
}

void WriteWholeFile(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        Fail("create the policy file", HRESULT_FROM_WIN32(GetLastError()));
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != bytes.size()) Fail("write the policy file", E_FAIL);
}

// What the machine can do with a policy file, the limits of a load and of
// a client's write.

// Reads the whole file and splits it into lines, as any reader must.
size_t ReadAndSplit(const std::wstring& path, std::string& bytes,
                    std::vector<std::string_view>& lines)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        Fail("open the policy file", HRESULT_FROM_WIN32(GetLastError()));
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    BOOL ok = ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || read != bytes.size()) Fail("read the policy file", E_FAIL);
    lines.clear();
    std::string_view text(bytes);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines.size();
}

// Writes the bytes to a new file beside target, flushes it and renames it
// over target, as the client replaces a policy.
void WriteFlushRename(const std::wstring& folder, const std::wstring& target,
                      const std::string& bytes)
{
    wchar_t temp[MAX_PATH];
    if (!GetTempFileNameW(folder.c_str(), L"ref", 0, temp))
        Fail("GetTempFileNameW", HRESULT_FROM_WIN32(GetLastError()));
    HANDLE file =
        CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail("create the copy", HRESULT_FROM_WIN32(GetLastError()));
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              FlushFileBuffers(file);
    CloseHandle(file);
    if (!ok || written != bytes.size()) Fail("write the copy", E_FAIL);
    if (!MoveFileExW(temp, target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        Fail("rename the copy", HRESULT_FROM_WIN32(GetLastError()));
}

com_ptr<IKQSecRolesCollection> RolesColl(IIKIVAuthorization* auth)
{
    com_ptr<IKQSecRolesCollection> roles;
    BSTR time = nullptr;
    Check(auth->get_RolesColl(roles.put(), &time), "RolesColl");
    SysFreeString(time);
    return roles;
}

// One store: its own policy file, an authorization object whose cache holds
// it, and the security-database client attached.
struct Store {
    int roles = 0;
    std::wstring policyPath;
    // Copies of the policy for the library's loads, alternated: the library
    // shares the store it parsed last with the next load of the same file.
    std::wstring loadPaths[2];
    std::wstring writePath;  // what the write reference replaces
    com_ptr<IIKIVAuthorization> auth;
    com_ptr<IUnknown> client;
    com_ptr<IAuthSecClient> clientCalls;
    com_ptr<IKQSecRolesCollection> collection;
    std::map<std::string, double> us;  // the fastest: per role for the reads, per call otherwise

    void Keep(const char* name, double value)
    {
        auto found = us.find(name);
        if (found == us.end() || value < found->second) us[name] = value;
    }

    // The library and the client both find the policy through the process's
    // environment: point it at this store's file before anything reads it.
    void Select() const { SetEnvironmentVariableW(L"KIVAUTH_POLICY", policyPath.c_str()); }
};

void OpenStore(Store& store, const std::wstring& folder, int roles)
{
    store.roles = roles;
    std::wstring size = std::to_wstring(roles);
    store.policyPath = folder + L"auth_bench_policy_" + size + L".txt";
    store.loadPaths[0] = folder + L"auth_bench_load_a_" + size + L".txt";
    store.loadPaths[1] = folder + L"auth_bench_load_b_" + size + L".txt";
    store.writePath = folder + L"auth_bench_write_" + size + L".txt";
    WriteWholeFile(store.policyPath, MakePolicy(roles));
    store.Select();
    Check(CoCreateInstance(CLSID_IKIVAuthorization, nullptr, CLSCTX_INPROC_SERVER,
                           IID_IIKIVAuthorization, store.auth.put_void()),
          "create the authorization object");
    Check(CoCreateInstance(CLSID_SecClientStandIn, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                           store.client.put_void()),
          "create the security-database client");
    Check(store.client->QueryInterface(IID_IAuthSecClient, store.clientCalls.put_void()),
          "IAuthSecClient");
    Check(store.auth->put_AuthSecClient(store.client.get()), "AuthSecClient");
    Check(store.auth->InitCache(), "InitCache");
    store.collection = RolesColl(store.auth.get());
}

// RolesColl, Count, For Each and Item, once each.
void MeasureReads(Store& store)
{
    const int roles = store.roles;
    // The collection a client let go of is not part of the next one's cost.
    store.collection.reset();
    double start = Now();
    store.collection = RolesColl(store.auth.get());
    store.Keep("RolesColl", (Now() - start) * 1e6 / roles);
    IKQSecRolesCollection* collection = store.collection.get();

    long count = 0;
    start = Now();
    for (int i = 0; i < 1000; ++i) collection->get_Count(&count);
    store.Keep("Count", (Now() - start) * 1e6 / 1000);
    if (count != roles) Fail("Count", E_UNEXPECTED);

    // For Each, as a script does it: one element at a time.
    start = Now();
    com_ptr<IUnknown> unknown;
    Check(collection->get__NewEnum(unknown.put()), "_NewEnum");
    com_ptr<IEnumVARIANT> items;
    Check(unknown->QueryInterface(IID_IEnumVARIANT, items.put_void()), "IEnumVARIANT");
    long seen = 0;
    for (;;) {
        VARIANT item;
        VariantInit(&item);
        ULONG fetched = 0;
        if (items->Next(1, &item, &fetched) != S_OK || fetched != 1) break;
        ++seen;
        VariantClear(&item);
    }
    store.Keep("For Each", (Now() - start) * 1e6 / roles);
    if (seen != roles) Fail("For Each", E_UNEXPECTED);

    // Item of roles spread over the store, by name and by identifier; and of
    // the same 10 roles again and again, whose data stays in the caches.
    const int lookups = 200;
    const char* const kinds[] = {"Item by name", "Item by id", "Item by name, same 10",
                                 "Item by id, same 10"};
    for (int kind = 0; kind < 4; ++kind) {
        bool byId = kind % 2 == 1, same10 = kind >= 2;
        start = Now();
        for (int i = 0; i < lookups; ++i) {
            // By name and by id ask for different roles: neither finds the other's in the caches.
            long long spread =
                static_cast<long long>(same10 ? i % 10 : i) * 7919 + (byId ? roles / 2 : 0);
            int which = static_cast<int>(spread % roles);
            Bstr key(Widen(byId ? RoleId(which) : RoleName(which)));
            com_ptr<IKQSecRole> role;
            Check(collection->get_Item(key, role.put()), "Item");
        }
        store.Keep(kinds[kind], (Now() - start) * 1e6 / lookups);
    }
}

// A new role added then removed, an edited role committed; then the parts
// of a change: the client's write alone, the library's refresh of the
// changed file, the collection's fill from the new cache.
void MeasureChanges(Store& store, int round)
{
    store.Select();
    IKQSecRolesCollection* collection = store.collection.get();
    Bstr description(L"added by the benchmark");
    Bstr name(L"Bench added " + std::to_wstring(round));
    com_ptr<IKQSecRole> added;
    double start = Now();
    Check(collection->Add(name, description, nullptr, added.put()), "Add");
    store.Keep("Add", (Now() - start) * 1e6);
    added.reset();
    start = Now();
    Check(collection->Remove(name), "Remove");
    store.Keep("Remove", (Now() - start) * 1e6);

    com_ptr<IKQSecRole> edited;
    Bstr existing(Widen(RoleName(store.roles / 2)));
    Check(collection->get_Item(existing, edited.put()), "Item for CommitChanges");
    Bstr newDescription(L"edited " + std::to_wstring(round));
    Check(edited->put_Description(newDescription), "Description");
    start = Now();
    Check(edited->CommitChanges(), "CommitChanges");
    store.Keep("CommitChanges", (Now() - start) * 1e6);

    Bstr direct(L"Bench direct " + std::to_wstring(round));
    BSTR id = nullptr;
    start = Now();
    Check(store.clientCalls->AddRole(direct, description, &id), "client AddRole");
    store.Keep("client AddRole", (Now() - start) * 1e6);
    SysFreeString(id);
    start = Now();
    Check(store.auth->RefreshCacheEx(2), "RefreshCacheEx");
    store.Keep("RefreshCacheEx", (Now() - start) * 1e6);
    store.collection.reset();
    start = Now();
    store.collection = RolesColl(store.auth.get());
    store.Keep("RolesColl after a change", (Now() - start) * 1e6);
    LONG deleted = 0;
    start = Now();
    Check(store.clientCalls->DeleteRoleByName(direct, &deleted), "client DeleteRoleByName");
    store.Keep("client DeleteRoleByName", (Now() - start) * 1e6);
    Check(store.auth->RefreshCacheEx(2), "RefreshCacheEx");
    store.collection = RolesColl(store.auth.get());
}

// The machine's limits for this store's file as it stands now, and the
// library's own load of the same bytes.
void MeasureLimits(Store& store, const std::wstring& folder)
{
    std::string bytes;
    std::vector<std::string_view> lines;
    double start = Now();
    ReadAndSplit(store.policyPath, bytes, lines);
    store.Keep("read reference", (Now() - start) * 1e6);
    start = Now();
    WriteFlushRename(folder, store.writePath, bytes);
    store.Keep("write reference", (Now() - start) * 1e6);

    for (const std::wstring& path : store.loadPaths) {
        WriteWholeFile(path, bytes);
        SetEnvironmentVariableW(L"KIVAUTH_POLICY", path.c_str());
        CKIVAuthorize library;
        start = Now();
        if (!library.InitCache("BENCH\\user0", 3)) Fail("the library's InitCache", E_FAIL);
        store.Keep("library load", (Now() - start) * 1e6);
    }
    store.Select();
}

int Roles(const std::vector<int>& sizes)
{
    std::wstring folder = TempFolder();
    std::wstring auditPath = folder + L"auth_bench_audit.jsonl";
    SetEnvironmentVariableW(L"KQSECSUPPORT_AUDIT_LOG", auditPath.c_str());
    const int readRounds = 6, changeRounds = 3;

    printf(
        "Role administration (the reads per role, the rest per call; every size in each round,\n"
        "the fastest of %d rounds for the reads and %d for the changes; policy: one user and one\n"
        "grant per role; SecClient.dll and KQSecSupport.dll attached). Ratio: to the same row at\n"
        "%d roles.\n",
        readRounds, changeRounds, sizes.front());
    std::vector<Store> stores(sizes.size());
    double start = Now();
    for (size_t i = 0; i < sizes.size(); ++i) OpenStore(stores[i], folder, sizes[i]);
    printf("  (stores written and loaded in %.1f s)\n", Now() - start);
    start = Now();
    for (int round = 0; round < readRounds; ++round)
        for (Store& store : stores) MeasureReads(store);
    printf("  (reads measured in %.1f s)\n", Now() - start);
    start = Now();
    for (int round = 0; round < changeRounds; ++round)
        for (Store& store : stores) MeasureChanges(store, round);
    printf("  (changes measured in %.1f s)\n", Now() - start);
    start = Now();
    for (int round = 0; round < readRounds; ++round)
        for (Store& store : stores) MeasureLimits(store, folder);
    printf("  (the machine's limits measured in %.1f s)\n", Now() - start);
    fflush(stdout);

    struct Target {
        const char* row;
        const char* unit;
        double perUs;  // units per microsecond
        const char* target;
    };
    const Target rows[] = {
        {"RolesColl", "us/role", 1, "target <= 1.5"},
        {"Count", "us/call", 1, ""},
        {"For Each", "us/role", 1, "target <= 1.5"},
        {"Item by name", "us/call", 1, "target about 1"},
        {"Item by id", "us/call", 1, "target about 1"},
        {"Item by name, same 10", "us/call", 1, "target about 1"},
        {"Item by id, same 10", "us/call", 1, "target about 1"},
        {"Add", "ms/call", 1e-3, "target <= 100 at 100,000"},
        {"Remove", "ms/call", 1e-3, "target <= 100 at 100,000"},
        {"CommitChanges", "ms/call", 1e-3, "target <= 100 at 100,000"},
        {"client AddRole", "ms/call", 1e-3, "part of Add: SecClient alone"},
        {"client DeleteRoleByName", "ms/call", 1e-3, "part of Remove: SecClient alone"},
        {"RefreshCacheEx", "ms/call", 1e-3, "part of a change: library refresh"},
        {"RolesColl after a change", "ms/call", 1e-3, "part of Add, Remove: collection fill"},
    };
    for (const Target& row : rows) {
        for (const Store& store : stores) {
            char what[96];
            snprintf(what, sizeof what, "%s, %d roles", row.row, store.roles);
            Row(what, store.us.at(row.row) * row.perUs, row.unit,
                stores.front().us.at(row.row) * row.perUs,
                store.roles == stores.front().roles ? "itself" : "the same at the first size",
                row.target);
        }
    }

    // Against what the machine does with the same file in the same run.
    struct Limit {
        const char* row;
        const char* reference;
        const char* referenceName;
        const char* target;
    };
    const Limit limits[] = {
        {"read reference", "read reference", "itself", "read the file, split lines"},
        {"library load", "read reference", "read and split the same file",
         "target <= 3 at 100,000"},
        {"RefreshCacheEx", "read reference", "read and split the same file",
         "target <= 3 at 100,000"},
        {"write reference", "write reference", "itself", "write, flush, rename"},
        {"client AddRole", "write reference", "write, flush, rename the same",
         "target <= 2 at 100,000"},
        {"client DeleteRoleByName", "write reference", "write, flush, rename the same",
         "target <= 2 at 100,000"},
    };
    printf("\nThe same against the machine's limits for the same file, measured in this run:\n");
    for (const Limit& row : limits) {
        for (const Store& store : stores) {
            char what[96];
            snprintf(what, sizeof what, "%s, %d roles", row.row, store.roles);
            Row(what, store.us.at(row.row) * 1e-3, "ms/call", store.us.at(row.reference) * 1e-3,
                row.referenceName, row.target);
        }
    }

    double removeAtFirst = stores.front().us.at("Remove");
    for (Store& store : stores)
        for (const std::wstring* path :
             {&store.policyPath, &store.loadPaths[0], &store.loadPaths[1], &store.writePath})
            DeleteFileW(path->c_str());
    stores.clear();

    // RemoveAll of 1,000 roles: one delete per role, one refresh.
    Store removal;
    OpenStore(removal, folder, 1000);
    start = Now();
    Check(removal.collection->RemoveAll(), "RemoveAll");
    double removeAll = (Now() - start) * 1e3;
    long count = -1;
    removal.collection->get_Count(&count);
    if (count != 0) Fail("RemoveAll left roles", E_UNEXPECTED);
    Row("RemoveAll of 1000 roles", removeAll, "ms/call", removeAtFirst * 1e-3,
        "one Remove at the first size");
    DeleteFileW(removal.policyPath.c_str());
    DeleteFileW(auditPath.c_str());
    return 0;
}

// ---------------------------------------------------------------- events

int Events()
{
    std::wstring auditPath = TempFolder() + L"auth_bench_events.jsonl";
    SetEnvironmentVariableW(L"KQSECSUPPORT_AUDIT_LOG", auditPath.c_str());
    DeleteFileW(auditPath.c_str());

    com_ptr<IIKIVAuthorization> auth;
    Check(CoCreateInstance(CLSID_IKIVAuthorization, nullptr, CLSCTX_INPROC_SERVER,
                           IID_IIKIVAuthorization, auth.put_void()),
          "create the authorization object");
    com_ptr<IKQSecRolesCollection> roles = RolesColl(auth.get());

    const int rounds = 5, events = 200;
    Bstr operation(L"CKQSecRolesCollection::ItemPos"), message(L"Invalid position."), extra(L"4"),
        empty(L""), account(L"BENCH\\user"), module(L"C:\\bench\\Authorization.dll"),
        command(L"auth_bench events"), computer(L"BENCH"), address(L"127.0.0.1"), name(L"lPos"),
        value(L"-1");
    std::vector<double> best = BestOfInterleaved(
        rounds, events,
        {
            // One rejected request: one event, through the event source and the component.
            [&] {
                com_ptr<IKQSecRole> role;
                if (roles->ItemPos(-1, role.put()) != static_cast<HRESULT>(0x80041009))
                    Fail("ItemPos", E_UNEXPECTED);
            },
            // The component alone, with what the module hands it.
            [&] {
                com_ptr<IAuditSupport> support;
                Check(CoCreateInstance(CLSID_KQSecSupport, nullptr, CLSCTX_ALL, IID_IAuditSupport,
                                       support.put_void()),
                      "create KQSecSupport");
                com_ptr<IAuditEvent> event;
                Check(support->CreateEvent(operation, static_cast<LONG>(0x80041009), 1, message,
                                           extra, event.put()),
                      "CreateEvent");
                event->SetSource(empty, account, module, command, GetCurrentProcessId(),
                                 GetCurrentThreadId(), computer, address);
                event->AddParameter(name, value, -1);
                Check(event->Send(VARIANT_TRUE), "Send");
            },
        });
    printf(
        "Events (best of %d interleaved rounds of %d events; each Send writes a line and "
        "flushes)\n",
        rounds, events);
    Row("KQSecSupport alone: create, event, source, Send", best[1], "us/event", best[1], "itself");
    Row("module: ItemPos(-1), one event", best[0], "us/event", best[1], "KQSecSupport alone");
    printf("  %-44s %10.0f events/s; the component alone %.0f events/s\n",
           "events per second through the module", 1e6 / best[0], 1e6 / best[1]);
    DeleteFileW(auditPath.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    setvbuf(stdout, nullptr, _IOLBF, 4096);
    int status = 1;
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "checks") {
        status = Checks();
    } else if (mode == "roles") {
        std::vector<int> sizes;
        for (int i = 2; i < argc; ++i) sizes.push_back(atoi(argv[i]));
        if (sizes.empty()) sizes = {1000, 10000, 100000};
        status = Roles(sizes);
    } else if (mode == "events") {
        status = Events();
    } else {
        printf("usage: auth_bench checks | roles [N...] | events\n");
    }
    fflush(stdout);
    CoUninitialize();
    return status;
}
