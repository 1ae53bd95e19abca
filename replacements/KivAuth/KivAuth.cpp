// CKIVAuthorize: one role cache per object, loaded from the policy source
// of the process. Every operation is recorded, may be forced by a test, and
// never turns a failure into a grant.
#include "KIVAuthorize.h"

#include "AppCache.h"
#include "LibraryState.h"
#include "Policy.h"
#include "RoleRecords.h"
#include "Text.h"

#include "Results.h"

#include <atomic>
#include <memory>
#include <new>
#include <vector>

using namespace kivauth;

namespace {

// A query whose cache could not be loaded on demand (the reason is in the
// last errors).
constexpr HRESULT kLoadFailed = E_FAIL;
// GetRoleInfo for a role the cache does not hold.
constexpr HRESULT kUnknownRole = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
// GetRoleInfo for a text that starts like an identifier but is none.
constexpr HRESULT kBadRoleId = static_cast<HRESULT>(0x80041006);

struct LoadedCache {
    std::shared_ptr<const Policy> policy;
    std::string account;  // the one that null accounts stand for
    std::string origin;   // what was read, to tell whether a refresh brings news
    std::shared_ptr<const std::string> text;
    std::wstring etag;  // the server's tag for text, asked about by the next refresh
    std::string time;
    // Only InitCache makes a cache that checks may use; one loaded on demand
    // by a query never grants anything.
    bool forChecks = false;
    std::unique_ptr<RoleRecords> records;
    // A client that walks the role list asks for its roles in list order:
    // the one after the role found last is tried before the hash table,
    // whose buckets a store of 100,000 roles spreads beyond the caches.
    std::atomic<size_t> nextRole{0};

    RoleRecords& Records()
    {
        if (!records) records.reset(new RoleRecords(*policy));
        return *records;
    }
};

// "DOMAIN\user" of the process token; empty when it cannot be had.
std::string ProcessAccount()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
    std::unique_ptr<void, decltype(&CloseHandle)> closer(token, &CloseHandle);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return std::string();
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return std::string();
    char user[256], domain[256];
    DWORD userSize = sizeof user, domainSize = sizeof domain;
    SID_NAME_USE use;
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    if (!LookupAccountSidA(nullptr, sid, user, &userSize, domain, &domainSize, &use))
        return std::string();
    return domainSize ? std::string(domain) + "\\" + user : std::string(user);
}

// The application of a caller's name; none for a name that the code page
// cannot hold, which no policy names.
const Application* FindApplication(const Policy& policy, const wchar_t* name)
{
    std::string narrow;
    return ToAcp(name, narrow) ? policy.FindApplication(narrow) : nullptr;
}

// A VT_ARRAY|VT_BSTR of the texts, or VT_EMPTY when there are none.
HRESULT MakeTextArray(const std::vector<std::string_view>& texts, VARIANT* out) noexcept
{
    VariantInit(out);
    if (texts.empty()) return S_OK;
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size()));
    if (!array) return E_OUTOFMEMORY;
    BSTR* items;
    HRESULT hr = SafeArrayAccessData(array, reinterpret_cast<void**>(&items));
    if (SUCCEEDED(hr)) {
        for (size_t i = 0; i < texts.size() && SUCCEEDED(hr); ++i)
            if (!(items[i] = ToBstr(texts[i]))) hr = E_OUTOFMEMORY;
        SafeArrayUnaccessData(array);
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(array);
        return hr;
    }
    V_VT(out) = VT_ARRAY | VT_BSTR;
    V_ARRAY(out) = array;
    return S_OK;
}

// Fills names and ids in step; on failure both are left VT_EMPTY.
HRESULT MakeTextArrays(const std::vector<std::string_view>& names,
                       const std::vector<std::string_view>& ids, VARIANT* namesOut,
                       VARIANT* idsOut) noexcept
{
    HRESULT hr = MakeTextArray(names, namesOut);
    if (SUCCEEDED(hr)) hr = MakeTextArray(ids, idsOut);
    if (FAILED(hr)) {
        VariantClear(namesOut);
        VariantInit(idsOut);
    }
    return hr;
}

// Empties the two out slots that are given; false unless both are.
bool InitSlots(VARIANT* first, VARIANT* second) noexcept
{
    if (first) VariantInit(first);
    if (second) VariantInit(second);
    return first && second;
}

template <class First, class Second>
bool InitSlots(First** first, Second** second) noexcept
{
    if (first) *first = nullptr;
    if (second) *second = nullptr;
    return first && second;
}

}  // namespace

struct CKIVAuthorize::Impl {
    std::unique_ptr<LoadedCache> cache;
    VARIANT errors;  // the copy that GetLastVokErrors points to

    Impl() noexcept { VariantInit(&errors); }
    ~Impl() { VariantClear(&errors); }

    // Reads and parses the current policy source. The earlier cache stays
    // unless the new one is complete. With an earlier cache from the same
    // server, the server is asked for news only: unchanged sets unchanged
    // and gives null.
    std::unique_ptr<LoadedCache> Read(const LoadedCache* earlier, bool& unchanged)
    {
        unchanged = false;
        PolicySource source = CurrentPolicySource();
        std::unique_ptr<LoadedCache> fresh(new LoadedCache);
        std::string error;
        PolicyRead read;
        bool sameSource = earlier && earlier->origin == source.origin;
        if (!ReadPolicyText(source, sameSource ? earlier->etag : std::wstring(), read, error)) {
            SetLoadError(error);
            return nullptr;
        }
        if (read.notModified) {
            SetLoadError(std::string());
            unchanged = true;
            return nullptr;
        }
        fresh->policy = ParseShared(source.origin, std::move(read.text), fresh->text, error);
        if (!fresh->policy) {
            SetLoadError(source.origin + ": " + error);
            return nullptr;
        }
        SetLoadError(std::string());
        fresh->origin = source.origin;
        fresh->etag = std::move(read.etag);
        fresh->time = LocalTimeText();
        return fresh;
    }

    // A null account is the process's own user.
    bool Load(const char* account, bool forChecks)
    {
        std::string who = account ? std::string(account) : ProcessAccount();
        if (who.empty() && !account) return false;
        bool unchanged;
        std::unique_ptr<LoadedCache> fresh = Read(nullptr, unchanged);
        if (!fresh) return false;
        fresh->account = std::move(who);
        fresh->forChecks = forChecks;
        cache = std::move(fresh);
        return true;
    }

    // Queries answer from the cache, loading it as InitCache() would when
    // there is none. Null when that load fails.
    LoadedCache* ForQueries()
    {
        if (!cache && !Load(nullptr, false)) return nullptr;
        return cache.get();
    }

    // ForQueries of an object that may have none: E_OUTOFMEMORY without
    // one, kLoadFailed when the load fails.
    static HRESULT CacheForQueries(Impl* impl, LoadedCache*& loaded)
    {
        loaded = impl ? impl->ForQueries() : nullptr;
        if (!impl) return E_OUTOFMEMORY;
        return loaded ? S_OK : kLoadFailed;
    }

    bool Refresh(bool& refreshed)
    {
        if (!cache) return false;
        bool unchanged;
        std::unique_ptr<LoadedCache> fresh = Read(cache.get(), unchanged);
        if (!fresh && !unchanged) return false;
        if (unchanged || (fresh->origin == cache->origin &&
                          (fresh->text == cache->text || *fresh->text == *cache->text))) {
            if (fresh) cache->etag = fresh->etag;
            refreshed = false;  // records handed out stay as they are
            return true;
        }
        fresh->account = cache->account;
        fresh->forChecks = cache->forChecks;
        if (cache->records) fresh->Records().Adopt(*cache->records);
        cache = std::move(fresh);
        refreshed = true;
        return true;
    }

    // A null account stands for the one the cache was loaded for.
    bool Check(const char* account, const char* dn, unsigned long permission) const
    {
        if (!cache || !cache->forChecks || !dn) return false;
        std::string_view who =
            account ? std::string_view(account) : std::string_view(cache->account);
        return cache->policy->AccountHolds(who, dn, permission);
    }

    bool CheckRole(const char* roleName, const char* dn, unsigned long permission) const
    {
        if (!cache || !cache->forChecks || !roleName || !dn) return false;
        const Role* role = cache->policy->FindRole(roleName);
        return role && cache->policy->RoleHolds(*role, dn, permission);
    }
};

namespace {

// The texts that a query answers: names and, in step, identifiers.
struct QueryTexts {
    std::vector<std::string_view> names, ids;
    void Add(std::string_view name, std::string_view id)
    {
        names.push_back(name);
        ids.push_back(id);
    }
};

// A query that answers arrays of texts: a test's forced answer, else its
// out slots emptied, the cache ready as for any query, and the texts that
// collect(cache, texts) gathers. With withIds false it answers the names
// alone, in names.
template <class Impl, class Collect>
long AnswerTexts(const char* operation, Impl* impl, VARIANT* names, VARIANT* ids, bool withIds,
                 Collect collect)
{
    HRESULT hr;
    if (ForcedVariant(operation, names, ids, hr)) return hr;
    // The names alone need only their own slot.
    if (!InitSlots(names, withIds ? ids : names)) return E_POINTER;
    LoadedCache* cache = nullptr;
    if (HRESULT loaded = Impl::CacheForQueries(impl, cache); FAILED(loaded)) return loaded;
    QueryTexts texts;
    collect(*cache, texts);
    if (!withIds) return MakeTextArray(texts.names, names);
    return MakeTextArrays(texts.names, texts.ids, names, ids);
}

// The roles of the account, or of the cache's own account when it is null.
void CollectRolesOf(const char* account, const LoadedCache& cache, QueryTexts& texts)
{
    const Policy& policy = *cache.policy;
    for (uint32_t index : policy.RolesOf(account ? std::string(account) : cache.account))
        texts.Add(policy.Roles()[index].name, policy.Roles()[index].id);
}

// The way into every operation: the call goes to the call log when a test
// keeps one (describe adds the arguments to its line), a result that a test
// forces answers in place of body(), and nothing thrown inside leaves: an
// exception answers onException. Only a throw that a test asks for leaves.
template <class Result, class Describe, class Body>
Result LibraryCall(const char* operation, Result onException, Describe describe, Body body)
{
    ThrowIfAsked(operation);
    return Barrier(onException, [&]() -> Result {
        LogCall([&] {
            CallLine line(operation);
            describe(line);
            return line;
        });
        long forced;
        if (ForcedResult(operation, forced)) return static_cast<Result>(forced);
        return body();
    });
}

void NoArguments(CallLine&) noexcept {}

}  // namespace

CKIVAuthorize::CKIVAuthorize() : m_impl(new (std::nothrow) Impl) {}

CKIVAuthorize::~CKIVAuthorize()
{
    delete m_impl;
}

bool CKIVAuthorize::InitCache()
{
    return LibraryCall<bool>("InitCache", false, NoArguments,
                             [&]() -> bool { return m_impl && m_impl->Load(nullptr, true); });
}

bool CKIVAuthorize::InitCache(const char* account, unsigned long cacheTypes)
{
    return LibraryCall<bool>(
        "InitCache", false, [&](CallLine& line) { line.Text(account).Unsigned(cacheTypes); },
        [&]() -> bool {
            // Every cache type is loaded whatever the mask asks for.
            return m_impl && m_impl->Load(account, true);
        });
}

bool CKIVAuthorize::RefreshCache(bool& refreshed, unsigned long cacheTypes)
{
    ThrowIfAsked("RefreshCache");
    return Barrier(false, [&] {
        LogCall([&] { return CallLine("RefreshCache").Flag(refreshed).Unsigned(cacheTypes); });
        long forced;
        if (ForcedResult("RefreshCache", forced)) {
            if (forced && RefreshFlagCleared()) refreshed = false;
            return forced != 0;
        }
        if (RefreshFlagCleared()) {  // nothing is read: nothing new
            refreshed = false;
            return true;
        }
        return m_impl && m_impl->Refresh(refreshed);
    });
}

bool CKIVAuthorize::ClearCache(unsigned long cacheTypes)
{
    return LibraryCall<bool>(
        "ClearCache", false, [&](CallLine& line) { line.Unsigned(cacheTypes); },
        [&]() -> bool {
            if (m_impl) m_impl->cache.reset();
            return m_impl != nullptr;
        });
}

bool CKIVAuthorize::CheckAccess(const char* dn, unsigned long permission)
{
    return LibraryCall<bool>(
        "CheckAccess", false, [&](CallLine& line) { line.Text(dn).Unsigned(permission); },
        [&]() -> bool { return m_impl && m_impl->Check(nullptr, dn, permission); });
}

bool CKIVAuthorize::CheckAccess(const char* account, const char* dn, unsigned long permission)
{
    return LibraryCall<bool>(
        "CheckAccess", false,
        [&](CallLine& line) { line.Text(account).Text(dn).Unsigned(permission); },
        [&]() -> bool { return m_impl && m_impl->Check(account, dn, permission); });
}

bool CKIVAuthorize::CheckRoleAccess(const char* roleName, const char* dn, unsigned long permission)
{
    return LibraryCall<bool>(
        "CheckRoleAccess", false,
        [&](CallLine& line) { line.Text(roleName).Text(dn).Unsigned(permission); },
        [&]() -> bool { return m_impl && m_impl->CheckRole(roleName, dn, permission); });
}

long CKIVAuthorize::GetRoles(const char* account, VARIANT* roles)
{
    return LibraryCall<long>(
        "GetRoles", E_OUTOFMEMORY, [&](CallLine& line) { line.Text(account).Out(); },
        [&]() -> long {
            return AnswerTexts("GetRoles", m_impl, roles, nullptr, false,
                               [&](const LoadedCache& cache, QueryTexts& texts) {
                                   CollectRolesOf(account, cache, texts);
                               });
        });
}

long CKIVAuthorize::GetRoles(const char* account, VARIANT* roleNames, VARIANT* roleIds)
{
    return LibraryCall<long>(
        "GetRoles", E_OUTOFMEMORY, [&](CallLine& line) { line.Text(account).Out().Out(); },
        [&]() -> long {
            return AnswerTexts("GetRoles", m_impl, roleNames, roleIds, true,
                               [&](const LoadedCache& cache, QueryTexts& texts) {
                                   CollectRolesOf(account, cache, texts);
                               });
        });
}

long CKIVAuthorize::GetAllRoles(VARIANT* roleNames, VARIANT* roleIds)
{
    return LibraryCall<long>(
        "GetAllRoles", E_OUTOFMEMORY, [&](CallLine& line) { line.Out().Out(); },
        [&]() -> long {
            return AnswerTexts("GetAllRoles", m_impl, roleNames, roleIds, true,
                               [](const LoadedCache& cache, QueryTexts& texts) {
                                   for (const Role& role : cache.policy->Roles())
                                       texts.Add(role.name, role.id);
                               });
        });
}

// The wide texts come from BSTRs, where null means empty.
long CKIVAuthorize::GetSecureGroups(wchar_t* applName, VARIANT* groupNames, VARIANT* groupIds)
{
    return LibraryCall<long>(
        "GetSecureGroups", E_OUTOFMEMORY, [&](CallLine& line) { line.Text(applName).Out().Out(); },
        [&]() -> long {
            return AnswerTexts(
                "GetSecureGroups", m_impl, groupNames, groupIds, true,
                [&](const LoadedCache& cache, QueryTexts& texts) {
                    if (const Application* application = FindApplication(*cache.policy, applName))
                        for (const SecureGroup& group : application->groups)
                            texts.Add(group.name, group.id);
                });
        });
}

long CKIVAuthorize::GetSecureGroupMembers(wchar_t* applName, wchar_t* groupName,
                                          VARIANT* memberNames, VARIANT* memberIds)
{
    return LibraryCall<long>(
        "GetSecureGroupMembers", E_OUTOFMEMORY,
        [&](CallLine& line) { line.Text(applName).Text(groupName).Out().Out(); },
        [&]() -> long {
            return AnswerTexts(
                "GetSecureGroupMembers", m_impl, memberNames, memberIds, true,
                [&](const LoadedCache& cache, QueryTexts& texts) {
                    std::string group;
                    const Application* application = FindApplication(*cache.policy, applName);
                    if (!application || !ToAcp(groupName, group)) return;
                    auto found = application->groupByName.find(FoldCase(group));
                    if (found == application->groupByName.end()) return;
                    for (const SecuredObject& member : application->groups[found->second].members)
                        texts.Add(member.name, member.id);
                });
        });
}

long CKIVAuthorize::GetSecurityId(wchar_t* applName, wchar_t* groupName, wchar_t* objectName,
                                  wchar_t** id)
{
    ThrowIfAsked("GetSecurityId");
    return Barrier<long>(E_OUTOFMEMORY, [&]() -> long {
        LogCall([&] {
            return CallLine("GetSecurityId").Text(applName).Text(groupName).Text(objectName).Out();
        });
        HRESULT hr;
        if (ForcedSecurityId(applName, hr, id)) return hr;
        long forced;
        if (ForcedResult("GetSecurityId", forced)) return forced;
        if (!id) return E_POINTER;
        *id = nullptr;
        LoadedCache* cache = nullptr;
        if (HRESULT loaded = Impl::CacheForQueries(m_impl, cache); FAILED(loaded)) return loaded;
        const Application* application = FindApplication(*cache->policy, applName);
        std::string group, object;
        if (!application || !ToAcp(groupName, group) || !ToAcp(objectName, object)) return S_FALSE;
        group = FoldCase(std::move(group));
        object = FoldCase(std::move(object));
        const std::string* found = nullptr;
        if (group.empty() && object.empty()) {
            if (!application->id.empty()) found = &application->id;
        } else if (group.empty()) {
            auto any = application->objectIds.find(object);
            if (any != application->objectIds.end()) found = &any->second;
        } else {
            auto secureGroup = application->groupByName.find(group);
            if (secureGroup != application->groupByName.end()) {
                const SecureGroup& g = application->groups[secureGroup->second];
                if (object.empty()) {
                    found = &g.id;
                } else {
                    auto member = g.memberByName.find(object);
                    if (member != g.memberByName.end()) found = &g.members[member->second].id;
                }
            }
        }
        if (!found) return S_FALSE;  // not found: a null id
        *id = ToBstr(*found);
        return *id ? S_OK : E_OUTOFMEMORY;
    });
}

VARIANT* CKIVAuthorize::GetLastVokErrors()
{
    ThrowIfAsked("GetLastVokErrors");
    return Barrier<VARIANT*>(nullptr, [&]() -> VARIANT* {
        LogCall([&] { return CallLine("GetLastVokErrors"); });
        if (!m_impl) return nullptr;
        // Each object hands out its own copy: no other thread changes it
        // while the caller reads it.
        if (FAILED(CopyLastErrors(&m_impl->errors))) VariantInit(&m_impl->errors);
        return &m_impl->errors;
    });
}

void CKIVAuthorize::SetHTTPTimeout(int timeout)
{
    ThrowIfAsked("SetHTTPTimeout");
    Barrier(0, [&] {
        LogCall([&] { return CallLine("SetHTTPTimeout").Signed(timeout); });
        kivauth::SetHttpTimeout(timeout);
        return 0;
    });
}

long CKIVAuthorize::GetAppCache(IKivXml2** appCache, wchar_t** cacheTime)
{
    return LibraryCall<long>(
        "GetAppCache", E_OUTOFMEMORY, [&](CallLine& line) { line.Out().Out(); },
        [&]() -> long {
            if (!InitSlots(appCache, cacheTime)) return E_POINTER;
            LoadedCache* cache = nullptr;
            if (HRESULT loaded = Impl::CacheForQueries(m_impl, cache); FAILED(loaded))
                return loaded;
            BSTR time = ToBstr(cache->time);
            if (time && AppCacheWithoutObject()) {
                *cacheTime = time;
                return S_OK;
            }
            IKivXml2* object = time ? CreateAppCache() : nullptr;
            if (!object) {
                SysFreeString(time);
                return E_OUTOFMEMORY;
            }
            *appCache = object;
            *cacheTime = time;
            return S_OK;
        });
}

long CKIVAuthorize::GetRolesCache(CKIVRoleList** roles, wchar_t** cacheTime)
{
    return LibraryCall<long>(
        "GetRolesCache", E_OUTOFMEMORY, [&](CallLine& line) { line.Out().Out(); },
        [&]() -> long {
            if (!InitSlots(roles, cacheTime)) return E_POINTER;
            LoadedCache* cache = nullptr;
            if (HRESULT loaded = Impl::CacheForQueries(m_impl, cache); FAILED(loaded))
                return loaded;
            CKIVRoleList* list = NullRoleList() ? nullptr : cache->Records().List();
            BSTR time = ToBstr(cache->time);
            if (!time) return E_OUTOFMEMORY;
            *roles = list;
            *cacheTime = time;
            return S_OK;
        });
}

long CKIVAuthorize::GetRoleInfo(const char* roleIdOrName, CKIVRole** role)
{
    return LibraryCall<long>(
        "GetRoleInfo", E_OUTOFMEMORY, [&](CallLine& line) { line.Text(roleIdOrName).Out(); },
        [&]() -> long {
            if (!role) return E_POINTER;
            *role = nullptr;
            if (RoleInfoWithoutRecord()) return S_OK;
            if (!roleIdOrName) return E_INVALIDARG;
            std::string_view text(roleIdOrName);
            bool byId = text[0] == '{';
            if (byId && !IsGuid(text)) return kBadRoleId;
            LoadedCache* cache = nullptr;
            if (HRESULT loaded = Impl::CacheForQueries(m_impl, cache); FAILED(loaded))
                return loaded;
            const Policy& policy = *cache->policy;
            const auto& roles = policy.Roles();
            const Role* found = nullptr;
            if (byId) {
                GuidValue id = GuidValueOf(text);
                size_t next = cache->nextRole.load(std::memory_order_relaxed);
                found = next < roles.size() && policy.RoleId(next) == id ? &roles[next]
                                                                         : policy.FindRoleById(id);
            } else {
                found = policy.FindRoleByName(text, &cache->Records());
            }
            if (!found) return kUnknownRole;
            cache->nextRole.store(static_cast<size_t>(found - roles.data()) + 1,
                                  std::memory_order_relaxed);
            *role = cache->Records().Record(*found);
            return S_OK;
        });
}
