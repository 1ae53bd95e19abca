// CIKIVAuthorization: the in-process authorization object (coclass
// IKIVAuthorization), a thin automation front over one embedded CKIVAuthorize.
#pragma once

#include "AgileReference.h"
#include "ApartmentHome.h"
#include "Authorization.h"
#include "AuthorizationMethods.h"
#include "ComObject.h"
#include "CriticalSection.h"
#include "KIVAuthorize.h"
#include "NarrowText.h"
#include "SupportErrorInfo.h"
#include "TypeInfoDispatch.h"
#include "AuthSecClient.h"
#include "RoleServices.h"

#include <memory>
#include <string>

// The object itself lives in the apartment that created it. Its roles
// collections and roles may be called from any thread, and reach it only
// through IRoleServices, which is safe from any thread.
class CIKIVAuthorization : public SupportErrorInfoImpl<IIKIVAuthorization>,
                           public DispatchImpl<IIKIVAuthorization>,
                           public DispatchImpl<_IVokWebBpeSecurity>,
                           public IRoleServices,
                           public ComObjectRoot {
public:
    CIKIVAuthorization() = default;
    ~CIKIVAuthorization();

    static const InterfaceEntry* Interfaces() noexcept;

    // IIKIVAuthorization
    IIKIVAUTHORIZATION_METHODS

    // _IVokWebBpeSecurity
    STDMETHOD(SetSecServer)(BSTR Reserved, BSTR Url) override;

    // Sets the library's security server; shared with the forwarding object.
    static HRESULT SetSecurityServer(BSTR Reserved, BSTR Url) noexcept;

    // IRoleServices
    HRESULT ReadRoleCache(std::vector<RoleListEntry>& roles, BstrText& cacheTime,
                          RoleNames names) noexcept override;
    HRESULT LookUpRole(const char* roleIdOrName, bool& found, RoleRecord* record) noexcept override;
    HRESULT GetSecClient(IAuthSecClient** client) noexcept override;
    HRESULT RefreshRoleCache() noexcept override;

private:
    // Makes the attached client reachable from other apartments.
    void ShareClient() noexcept;
    void ForgetClient() noexcept;

    // The account in the thread's code page: null when both names are empty,
    // E_UNEXPECTED when it cannot be converted.
    static HRESULT ThreadAcpAccount(const wchar_t* Domain, const wchar_t* UserName,
                                    NarrowText& account);
    HRESULT RefreshWithTypes(unsigned long cacheTypes) noexcept;
    // The library's check of narrowed texts, under the library lock.
    HRESULT CheckAccountAccess(const char* account, const char* dn, LONG AccessPermission,
                               VARIANT_BOOL* Result);
    // The outcome of a cache load, with the library lock held. A load that
    // failed leaves the library holding the cache it had, perhaps another
    // account's: that cache is dropped, so that checks answer "denied" until
    // a load succeeds instead of answering for the wrong account.
    HRESULT LoadedOrDropped(HRESULT load) noexcept;

    // The library object is not safe for concurrent use: every call into it,
    // and every read of a record it handed out, holds m_libraryLock.
    CriticalSection m_libraryLock;
    CKIVAuthorize m_authorize;
    // The identifiers of the latest reading of the role cache, whose texts
    // the next reading shares where they are the same. Under m_libraryLock.
    std::vector<RoleListEntry> m_listedIds;
    void KeepListedIds(const std::vector<RoleListEntry>& listed) noexcept;

    // The client as attached, valid in the thread that attached it; for
    // other threads an agile reference to it is made once roles collections
    // exist (m_clientShared: how that went). All under m_clientLock; the
    // reference is shared so that it can be resolved outside the lock. Both
    // are released in the client's apartment (m_clientHome), on whatever
    // thread they are let go.
    CriticalSection m_clientLock;
    com_ptr<IAuthSecClient> m_pSecClient;
    std::shared_ptr<ApartmentHome> m_clientHome;
    std::shared_ptr<const AgileReference> m_sharedClient;
    HRESULT m_clientShared = S_OK;
    bool m_collectionsHandedOut = false;
};

// Domain, a backslash when the domain is non-empty, then the user name.
// Called only when at least one of the two is non-empty. Throws on lack of memory.
std::wstring JoinDomainUser(const wchar_t* domain, const wchar_t* userName);
