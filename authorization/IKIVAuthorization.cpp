#include "IKIVAuthorization.h"

#include "ErrorObject.h"
#include "ResourceOwners.h"
#include "AppFramework.h"
#include "DefaultDomain.h"
#include "NarrowText.h"
#include "VariantArray.h"
#include "Messages.h"
#include "OperationNames.h"
#include "KQSecRolesCollection.h"
#include "RoleRecordCopy.h"
#include "ProcAddress.h"

#include <memory>
#include <mutex>
#include <string>

namespace {

const ErrorSource kErrors{L"Quarnex.VOK.IKIVAuthorization", &IID_IIKIVAuthorization};
const ErrorSource kSecurityErrors{L"Quarnex.VOK.IKIVAuthorization", &IID__IVokWebBpeSecurity};

}  // namespace

namespace {

constexpr unsigned long kAllCacheTypes = 0xFFFF;
// InitCache always asks the library for these cache types.
constexpr unsigned long kInitCacheTypes = 3;
// The cache types that a committed role change refreshes.
constexpr unsigned long kRoleCacheTypes = 2;

VARIANT_BOOL ToVariantBool(bool value) noexcept
{
    return value ? VARIANT_TRUE : VARIANT_FALSE;
}

HRESULT ToStatus(bool ok) noexcept
{
    return ok ? S_OK : E_FAIL;
}

bool HasAccount(const wchar_t* domain, const wchar_t* userName) noexcept
{
    return !IsEmptyText(domain) || !IsEmptyText(userName);
}

// A text that starts with NUL although its BSTR length says there is more:
// it counts as empty by its first character, yet it is not the empty text
// that, for domain and user name together, stands for the cached account.
// "\0mallory" must not be answered for the cache's own user. The length is
// read only for a text that starts with NUL.
bool IsHiddenText(const wchar_t* text) noexcept
{
    return text && !*text && SysStringLen(const_cast<BSTR>(text)) > 0;
}

bool IsHiddenAccount(const wchar_t* domain, const wchar_t* userName) noexcept
{
    return IsHiddenText(domain) || IsHiddenText(userName);
}

// For Barrier in a check: a text that the code page cannot hold names
// nothing the library knows, so the answer is a denial (S_OK, the result
// left VARIANT_FALSE) and the library is not asked; any other exception is
// E_UNEXPECTED.
HRESULT DeniedOrUnexpected(HRESULT code) noexcept
{
    return code == HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION) ? S_OK : E_UNEXPECTED;
}

}  // namespace

std::wstring JoinDomainUser(const wchar_t* domain, const wchar_t* userName)
{
    std::wstring account;
    if (!IsEmptyText(domain)) {
        account = domain;
        account += L'\\';
    }
    if (!IsEmptyText(userName)) account += userName;
    return account;
}

namespace {

// WideToAcp of JoinDomainUser, narrowed part by part: the joined wide text
// cost a heap allocation, half of what the module adds to a check.
NarrowText JoinDomainUserToAcp(const wchar_t* domain, const wchar_t* userName)
{
    const wchar_t* user = IsEmptyText(userName) ? L"" : userName;
    if (IsEmptyText(domain)) return WideToAcp({user});
    return WideToAcp({domain, L"\\", user});
}

// Room for a check's DN and account when both are short plain ASCII.
constexpr size_t kCheckRoomBytes = 256;

// JoinDomainUserToAcp for plain ASCII, appended at to (AppendAscii): the
// end, or null when a part is not plain ASCII or the whole does not fit.
char* AppendAccountAscii(const wchar_t* domain, const wchar_t* userName, char* to,
                         const char* limit) noexcept
{
    if (!IsEmptyText(domain)) {
        to = AppendAscii(domain, to, static_cast<size_t>(limit - to));
        if (!to || to >= limit) return nullptr;
        *to++ = '\\';
    }
    if (!IsEmptyText(userName)) to = AppendAscii(userName, to, static_cast<size_t>(limit - to));
    return to;
}

// The DN and the account of a check (null where WideToAcp and
// JoinDomainUserToAcp give null) in room, when both are plain ASCII and
// fit; false leaves them to the code page's conversion.
bool NarrowCheckAscii(const wchar_t* domain, const wchar_t* userName, const wchar_t* objectDn,
                      char (&room)[kCheckRoomBytes], const char*& dn, const char*& account) noexcept
{
    char* at = room;
    const char* const limit = room + sizeof room - 1;  // the last terminator's room after it
    if (objectDn) {
        char* end = AppendAscii(objectDn, at, static_cast<size_t>(limit - at));
        if (!end) return false;
        *end = '\0';
        dn = at;
        at = end + 1;
    }
    if (HasAccount(domain, userName)) {
        char* end = at < limit ? AppendAccountAscii(domain, userName, at, limit) : nullptr;
        if (!end) return false;
        *end = '\0';
        account = at;
    }
    return true;
}

}  // namespace

CIKIVAuthorization::~CIKIVAuthorization()
{
    // The client goes first, then the library object (a member, after this body).
    ForgetClient();
}

const InterfaceEntry* CIKIVAuthorization::Interfaces() noexcept
{
    static const InterfaceEntry entries[] = {
        INTERFACE_ENTRY(CIKIVAuthorization, IIKIVAuthorization),
        INTERFACE_ENTRY_IID(CIKIVAuthorization, IID_IDispatch, IIKIVAuthorization),
        INTERFACE_ENTRY(CIKIVAuthorization, ISupportErrorInfo),
        INTERFACE_ENTRY(CIKIVAuthorization, _IVokWebBpeSecurity),
        INTERFACE_ENTRY_END,
    };
    return entries;
}

STDMETHODIMP CIKIVAuthorization::CheckAccess(BSTR bstrDN, LONG AccessPermission,
                                             VARIANT_BOOL* Result)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        if (!Result) return E_INVALIDARG;
        *Result = VARIANT_FALSE;
        return Barrier(DeniedOrUnexpected, [&] {
            NarrowText dn = WideToAcp(bstrDN);
            std::lock_guard<CriticalSection> library(m_libraryLock);
            *Result = ToVariantBool(
                m_authorize.CheckAccess(dn.get(), static_cast<unsigned long>(AccessPermission)));
            return S_OK;
        });
    });
}

STDMETHODIMP CIKIVAuthorization::CheckAccessEx(BSTR Domain, BSTR UserName, BSTR SecObjectDN,
                                               LONG AccessPermission, VARIANT_BOOL* Result)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        if (!Result) return E_INVALIDARG;
        *Result = VARIANT_FALSE;
        if (IsHiddenAccount(Domain, UserName)) return S_OK;
        return Barrier(DeniedOrUnexpected, [&] {
            // Plain ASCII, the usual DN and account, is narrowed into a room on
            // the stack; anything else takes the code page's conversion.
            char room[kCheckRoomBytes];
            const char* dn = nullptr;
            const char* account = nullptr;
            if (!NarrowCheckAscii(Domain, UserName, SecObjectDN, room, dn, account)) {
                NarrowText dnConverted = WideToAcp(SecObjectDN);
                NarrowText accountConverted = HasAccount(Domain, UserName)
                                                  ? JoinDomainUserToAcp(Domain, UserName)
                                                  : NarrowText();
                return CheckAccountAccess(accountConverted.get(), dnConverted.get(),
                                          AccessPermission, Result);
            }
            return CheckAccountAccess(account, dn, AccessPermission, Result);
        });
    });
}

HRESULT CIKIVAuthorization::CheckAccountAccess(const char* account, const char* dn,
                                               LONG AccessPermission, VARIANT_BOOL* Result)
{
    std::lock_guard<CriticalSection> library(m_libraryLock);
    *Result = ToVariantBool(
        m_authorize.CheckAccess(account, dn, static_cast<unsigned long>(AccessPermission)));
    return S_OK;
}

STDMETHODIMP CIKIVAuthorization::CheckRoleAccess(BSTR RoleName, BSTR SecObjectDN,
                                                 LONG AccessPermission, VARIANT_BOOL* Result)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        if (!Result) return E_INVALIDARG;
        *Result = VARIANT_FALSE;
        NarrowText dn = WideToThreadAcp(SecObjectDN);
        NarrowText roleName = WideToThreadAcp(RoleName);
        // A text that could not be converted must never reach the library as
        // "no text": the answer is a denial. A text that the code page cannot
        // hold names no role or object there is, which is an answer.
        if (dn.unmappable() || roleName.unmappable()) return S_OK;
        if (dn.failed() || roleName.failed()) return E_UNEXPECTED;
        return Barrier(E_UNEXPECTED, [&] {
            std::lock_guard<CriticalSection> library(m_libraryLock);
            *Result = ToVariantBool(m_authorize.CheckRoleAccess(
                roleName.get(), dn.get(), static_cast<unsigned long>(AccessPermission)));
            return S_OK;
        });
    });
}

STDMETHODIMP CIKIVAuthorization::InitCache()
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        std::lock_guard<CriticalSection> library(m_libraryLock);
        return LoadedOrDropped(
            Barrier(E_UNEXPECTED, [&] { return ToStatus(m_authorize.InitCache()); }));
    });
}

STDMETHODIMP CIKIVAuthorization::InitCacheEx(BSTR Domain, BSTR UserName)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        // Held from the start: a failed load is dropped before any check can
        // read it. The lock is recursive.
        std::lock_guard<CriticalSection> library(m_libraryLock);
        return LoadedOrDropped(Barrier(E_UNEXPECTED, [&] {
            NarrowText account;
            RETURN_IF_FAILED(ThreadAcpAccount(Domain, UserName, account));
            return ToStatus(m_authorize.InitCache(account.get(), kInitCacheTypes));
        }));
    });
}

HRESULT CIKIVAuthorization::LoadedOrDropped(HRESULT load) noexcept
{
    if (FAILED(load)) Barrier(false, [&] { return m_authorize.ClearCache(kAllCacheTypes); });
    return load;
}

HRESULT CIKIVAuthorization::RefreshWithTypes(unsigned long cacheTypes) noexcept
{
    return Barrier(E_UNEXPECTED, [&] {
        bool refreshed = true;
        std::lock_guard<CriticalSection> library(m_libraryLock);
        if (!m_authorize.RefreshCache(refreshed, cacheTypes)) return E_FAIL;
        return refreshed ? S_OK : S_FALSE;
    });
}

STDMETHODIMP CIKIVAuthorization::RefreshCache()
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT { return RefreshWithTypes(kAllCacheTypes); });
}

STDMETHODIMP CIKIVAuthorization::RefreshCacheEx(LONG lCacheType)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return RefreshWithTypes(static_cast<unsigned long>(lCacheType));
    });
}

STDMETHODIMP CIKIVAuthorization::ClearCache()
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Barrier(E_UNEXPECTED, [&] {
            std::lock_guard<CriticalSection> library(m_libraryLock);
            return ToStatus(m_authorize.ClearCache(kAllCacheTypes));
        });
    });
}

STDMETHODIMP CIKIVAuthorization::SetHTTPTimeout(LONG newVal)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Barrier(E_UNEXPECTED, [&] {
            std::lock_guard<CriticalSection> library(m_libraryLock);
            m_authorize.SetHTTPTimeout(newVal);
            return S_OK;
        });
    });
}

STDMETHODIMP CIKIVAuthorization::GetLastErrors(VARIANT* pValErrors)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        if (!pValErrors) return E_POINTER;
        // An [out] slot holds nothing owned on entry: VariantCopy would clear,
        // and so free, whatever the caller left there.
        VariantInit(pValErrors);
        return Barrier(E_UNEXPECTED, [&] {
            std::lock_guard<CriticalSection> library(m_libraryLock);
            VARIANT* errors = m_authorize.GetLastVokErrors();
            if (!errors) return E_FAIL;
            return VariantCopy(pValErrors, errors);
        });
    });
}

HRESULT CIKIVAuthorization::SetSecurityServer(BSTR Reserved, BSTR Url) noexcept
{
    // A setting of the library as a whole, not of one object.
    HMODULE library = GetModuleHandleA("KivAuth.dll");
    if (!library) return S_OK;
    auto setSecurityServer = GetProcAddressAs<SetSecurityServerFn>(library, "SetSecurityServer");
    if (!setSecurityServer) return S_OK;
    return Barrier(E_UNEXPECTED, [&] { return setSecurityServer(Reserved, Url); });
}

STDMETHODIMP CIKIVAuthorization::SetSecServer(BSTR Reserved, BSTR Url)
{
    return WithErrorObject(kSecurityErrors,
                           [&]() -> HRESULT { return SetSecurityServer(Reserved, Url); });
}

// Role services: what the roles collection and the role objects use, from any thread.

HRESULT CIKIVAuthorization::ReadRoleCache(std::vector<RoleListEntry>& roles, BstrText& cacheTime,
                                          RoleNames names) noexcept
{
    return Barrier(CaughtCode, [&] {
        CKIVRoleList* list = nullptr;
        unique_bstr time;
        std::lock_guard<CriticalSection> library(m_libraryLock);
        HRESULT hr = m_authorize.GetRolesCache(&list, time.put());
        if (FAILED(hr)) return hr;
        // The list belongs to the library: read while it is held.
        std::vector<RoleListEntry> copied = CopyRoleList(list, names, m_listedIds);
        KeepListedIds(copied);
        cacheTime = BstrText::Attach(time.release());
        roles.swap(copied);
        return hr;
    });
}

void CIKIVAuthorization::KeepListedIds(const std::vector<RoleListEntry>& listed) noexcept
{
    // Without memory for the copy the next reading makes its own texts.
    m_listedIds.clear();
    Barrier(false, [&] {
        std::vector<RoleListEntry> ids;
        ids.reserve(listed.size());
        for (const RoleListEntry& entry : listed)
            ids.push_back(RoleListEntry{entry.id, BstrText()});
        m_listedIds.swap(ids);
        return true;
    });
}

HRESULT CIKIVAuthorization::LookUpRole(const char* roleIdOrName, bool& found,
                                       RoleRecord* record) noexcept
{
    found = false;
    return Barrier(CaughtCode, [&] {
        CKIVRole* role = nullptr;
        std::lock_guard<CriticalSection> library(m_libraryLock);
        HRESULT hr = m_authorize.GetRoleInfo(roleIdOrName, &role);
        if (FAILED(hr) || !role) return hr;
        if (record) *record = CopyRoleRecord(*role);
        found = true;
        return hr;
    });
}

HRESULT CIKIVAuthorization::RefreshRoleCache() noexcept
{
    return RefreshWithTypes(kRoleCacheTypes);
}

HRESULT CIKIVAuthorization::GetSecClient(IAuthSecClient** client) noexcept
{
    if (!client) return E_POINTER;
    com_ptr<IAuthSecClient> attached;
    std::shared_ptr<const AgileReference> shared;
    HRESULT sharing = S_OK;
    {
        std::lock_guard<CriticalSection> guard(m_clientLock);
        if (!m_pSecClient) return E_FAIL;
        // In the thread that attached it the client is used as it was given;
        // anywhere else only through its agile reference, resolved outside
        // the lock: that may wait for the client's apartment.
        if (m_clientHome && m_clientHome->IsCurrentThread()) attached = m_pSecClient;
        shared = m_sharedClient;
        sharing = m_clientShared;
    }
    if (attached) return attached.query_to(client);
    if (FAILED(sharing)) return sharing;
    if (!shared) return RPC_E_WRONG_THREAD;

    com_ptr<IUnknown> unknown;
    RETURN_IF_FAILED(shared->Resolve(IID_IUnknown, unknown.put_void()));
    return unknown.query_to(client);
}

void CIKIVAuthorization::ShareClient() noexcept
{
    std::lock_guard<CriticalSection> guard(m_clientLock);
    if (!m_pSecClient || m_sharedClient || FAILED(m_clientShared)) return;
    // Registered as IUnknown, which every apartment can reach; whether the
    // client interface itself reaches another apartment is the client's affair.
    m_clientShared = Barrier(CaughtCode, [&] {
        // Revoking it releases the client: that too happens at home, after
        // the last of the threads that resolve it lets go.
        std::shared_ptr<ApartmentHome> home = m_clientHome;
        std::shared_ptr<AgileReference> shared(
            std::make_unique<AgileReference>().release(),
            [home](AgileReference* gone) { home->Run([gone] { delete gone; }); });
        RETURN_IF_FAILED(shared->Register(m_pSecClient.get(), IID_IUnknown));
        m_sharedClient = std::move(shared);
        return S_OK;
    });
}

void CIKIVAuthorization::ForgetClient() noexcept
{
    com_ptr<IAuthSecClient> client;
    std::shared_ptr<const AgileReference> shared;
    std::shared_ptr<ApartmentHome> home;
    {
        std::lock_guard<CriticalSection> guard(m_clientLock);
        client = std::move(m_pSecClient);
        shared = std::move(m_sharedClient);
        home = std::move(m_clientHome);
        m_clientShared = S_OK;
    }
    // Outside the lock: the registration goes with its last holder, and the
    // client is released in its own apartment.
    if (IAuthSecClient* gone = client.detach()) home->Run([gone] { gone->Release(); });
}

// Role and group queries.

HRESULT CIKIVAuthorization::ThreadAcpAccount(const wchar_t* Domain, const wchar_t* UserName,
                                             NarrowText& account)
{
    account = NarrowText();
    if (IsHiddenAccount(Domain, UserName)) return E_INVALIDARG;
    if (!HasAccount(Domain, UserName)) return S_OK;
    account = WideToThreadAcp(JoinDomainUser(Domain, UserName).c_str());
    // A null account would answer for the cache's own user instead.
    if (account.unmappable()) return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
    return account.failed() ? E_UNEXPECTED : S_OK;
}

STDMETHODIMP CIKIVAuthorization::get_Roles(BSTR Domain, BSTR UserName, VARIANT* Roles)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Barrier(E_UNEXPECTED, [&] {
            NarrowText account;
            RETURN_IF_FAILED(ThreadAcpAccount(Domain, UserName, account));
            std::lock_guard<CriticalSection> library(m_libraryLock);
            return m_authorize.GetRoles(account.get(), Roles);
        });
    });
}

STDMETHODIMP CIKIVAuthorization::get_RolesVar(BSTR Domain, BSTR UserName, VARIANT* Roles)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Barrier(E_UNEXPECTED, [&] {
            unique_variant roles;
            NarrowText account;
            RETURN_IF_FAILED(ThreadAcpAccount(Domain, UserName, account));
            {
                std::lock_guard<CriticalSection> library(m_libraryLock);
                RETURN_IF_FAILED(m_authorize.GetRoles(account.get(), &roles));
            }
            return ConvertToVariantArray(&roles, Roles);
        });
    });
}

STDMETHODIMP CIKIVAuthorization::GetAllRoles(VARIANT* RoleNames, VARIANT* RoleIds)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Barrier(E_UNEXPECTED, [&] {
            std::lock_guard<CriticalSection> library(m_libraryLock);
            return m_authorize.GetAllRoles(RoleNames, RoleIds);
        });
    });
}

STDMETHODIMP CIKIVAuthorization::GetAllRolesVar(VARIANT* RoleNames, VARIANT* RoleIds)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        unique_variant names, ids;
        if (!RoleNames || !RoleIds) return E_INVALIDARG;
        V_VT(RoleNames) = VT_EMPTY;
        V_VT(RoleIds) = VT_EMPTY;
        return Barrier(E_UNEXPECTED, [&] {
            {
                std::lock_guard<CriticalSection> library(m_libraryLock);
                RETURN_IF_FAILED(m_authorize.GetAllRoles(&names, &ids));
            }
            RETURN_IF_FAILED(ConvertToVariantArray(&names, RoleNames));
            return ConvertToVariantArray(&ids, RoleIds);
        });
    });
}

STDMETHODIMP CIKIVAuthorization::GetUserRoles(BSTR Domain, BSTR UserName, VARIANT* RoleNames,
                                              VARIANT* RoleIds)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Barrier(E_UNEXPECTED, [&] {
            NarrowText account;
            if (IsHiddenAccount(Domain, UserName)) return E_INVALIDARG;
            if (HasAccount(Domain, UserName)) {
                // Only a missing domain is taken from the registry.
                BstrText domain = IsEmptyText(Domain) ? ReadDefaultDomain() : BstrText(Domain);
                RETURN_IF_FAILED(ThreadAcpAccount(domain.wide(), UserName, account));
            }
            std::lock_guard<CriticalSection> library(m_libraryLock);
            return m_authorize.GetRoles(account.get(), RoleNames, RoleIds);
        });
    });
}

STDMETHODIMP CIKIVAuthorization::GetSecureGroups(BSTR applName, VARIANT* secGroupNames,
                                                 VARIANT* secGroupIds)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Barrier(E_UNEXPECTED, [&] {
            std::lock_guard<CriticalSection> library(m_libraryLock);
            return m_authorize.GetSecureGroups(applName, secGroupNames, secGroupIds);
        });
    });
}

STDMETHODIMP CIKIVAuthorization::GetSecureGroupMembers(BSTR applName, BSTR groupName,
                                                       VARIANT* secObjNames, VARIANT* secObjIds)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        return Barrier(E_UNEXPECTED, [&] {
            std::lock_guard<CriticalSection> library(m_libraryLock);
            return m_authorize.GetSecureGroupMembers(applName, groupName, secObjNames, secObjIds);
        });
    });
}

STDMETHODIMP CIKIVAuthorization::GetSecurityId(BSTR applName, BSTR groupName, BSTR SecObjName,
                                               BSTR* Id)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        if (!Id) return E_POINTER;
        // An [out] slot holds nothing owned on entry; the library may leave it unwritten.
        *Id = nullptr;
        return Barrier(E_UNEXPECTED, [&] {
            std::lock_guard<CriticalSection> library(m_libraryLock);
            HRESULT hr = m_authorize.GetSecurityId(applName, groupName, SecObjName, Id);
            if (!IsEmptyText(*Id)) return hr;

            // Not found: the catch-all entry answers. An empty id the library
            // allocated would leak when the second call overwrites the slot.
            SysFreeString(*Id);
            *Id = nullptr;
            unique_bstr others = unique_bstr::copy_of(L"Others");
            unique_bstr empty = unique_bstr::copy_of(L"");
            return m_authorize.GetSecurityId(others.get(), empty.get(), empty.get(), Id);
        });
    });
}

STDMETHODIMP CIKIVAuthorization::checkCache(IUnknown** ppUnk, BSTR* pstrTime)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        com_ptr<IKivXml2> appCache;
        // An [out] slot holds nothing owned on entry; whatever the library puts there is freed
        // below.
        if (pstrTime) *pstrTime = nullptr;
        RETURN_IF_FAILED(Barrier(E_UNEXPECTED, [&] {
            std::lock_guard<CriticalSection> library(m_libraryLock);
            return m_authorize.GetAppCache(appCache.put(), pstrTime);
        }));
        if (!appCache) {
            // The time text is the receiver's: with no cache object it is of no use.
            if (pstrTime) {
                SysFreeString(*pstrTime);
                *pstrTime = nullptr;
            }
            return E_POINTER;
        }
        return appCache.query_to(ppUnk);
    });
}

STDMETHODIMP CIKIVAuthorization::get_RegAuthDefaultDomain(BSTR* AuthDefaultDomain)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        if (!AuthDefaultDomain) return E_POINTER;
        return Barrier(E_UNEXPECTED, [&] {
            *AuthDefaultDomain = ReadDefaultDomain().copy();
            return S_OK;
        });
    });
}

// Client attachment and the roles collection.

STDMETHODIMP CIKIVAuthorization::get_RolesColl(IKQSecRolesCollection** ppRoles, BSTR* pstrTime)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        ErrorContext context(op::Authorization_get_RolesColl);
        return Barrier(ReportUnexpected(context), [&] {
            // Roles may now travel to other apartments, and need the client there.
            {
                std::lock_guard<CriticalSection> guard(m_clientLock);
                m_collectionsHandedOut = true;
            }
            ShareClient();

            // Every call makes a new collection, which keeps this object alive.
            com_ptr<ComObject<CKQSecRolesCollection>> collection;
            REPORT_IF_FAILED(context, ComObject<CKQSecRolesCollection>::Create(collection));
            REPORT_IF_FAILED(context, collection->Init(this));
            // Everything that can fail comes before the client holds anything.
            unique_bstr time(collection->CacheTime().copy());
            REPORT_IF_FAILED(context, collection.query_to(ppRoles));
            if (pstrTime) *pstrTime = time.release();
            return S_OK;
        });
    });
}

STDMETHODIMP CIKIVAuthorization::put_AuthSecClient(IUnknown* pSec)
{
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        ErrorContext context(op::Authorization_put_AuthSecClient);
        return Barrier(ReportUnexpected(context), [&] {
            context.SetPointerParam(1, param::pSec, pSec);

            // The old client goes first: a failed attach leaves none attached.
            ForgetClient();
            if (!pSec) return S_OK;
            com_ptr<IAuthSecClient> client;
            REPORT_IF_FAILED(context, pSec->QueryInterface(IID_IAuthSecClient, client.put_void()));
            std::shared_ptr<ApartmentHome> home = ApartmentHome::OfThisThread();
            bool share = false;
            {
                std::lock_guard<CriticalSection> guard(m_clientLock);
                m_pSecClient = std::move(client);
                m_clientHome = std::move(home);
                share = m_collectionsHandedOut;
            }
            if (share) ShareClient();
            return S_OK;
        });
    });
}

STDMETHODIMP CIKIVAuthorization::get_AuthSecClient(IUnknown** ppSec)
{
    return WithErrorObject(kErrors, [&]() -> HRESULT {
        if (!ppSec) return E_POINTER;
        com_ptr<IAuthSecClient> client;
        {
            std::lock_guard<CriticalSection> guard(m_clientLock);
            client = m_pSecClient;
        }
        if (!client) return E_FAIL;
        return client.query_to(ppSec);
    });
}
