#include "KQSecRolesCollection.h"

#include "ErrorObject.h"
#include "KQSecRole.h"
#include "RoleEnumerator.h"

#include "AppFramework.h"
#include "AuthSecClient.h"
#include "Validation.h"
#include "NarrowText.h"
#include "Messages.h"
#include "OperationNames.h"

#include <mutex>
#include <string>

namespace {

const ErrorSource kErrors{L"Authorization.KQSecRolesCollection", &IID_IKQSecRolesCollection};

}  // namespace

CKQSecRolesCollection::~CKQSecRolesCollection() = default;

const InterfaceEntry* CKQSecRolesCollection::Interfaces() noexcept
{
    // Free-threaded, so that callers may pass a collection between threads.
    static const InterfaceEntry entries[] = {
        INTERFACE_ENTRY(CKQSecRolesCollection, IKQSecRolesCollection),
        INTERFACE_ENTRY_IID(CKQSecRolesCollection, IID_IDispatch, IKQSecRolesCollection),
        INTERFACE_ENTRY(CKQSecRolesCollection, ISupportErrorInfo),
        INTERFACE_ENTRY_FREE_THREADED_MARSHALER(CKQSecRolesCollection),
        INTERFACE_ENTRY(CKQSecRolesCollection, IProvideClassInfo2),
        INTERFACE_ENTRY_IID(CKQSecRolesCollection, IID_IProvideClassInfo, IProvideClassInfo2),
        INTERFACE_ENTRY_END,
    };
    return entries;
}

com_ptr<IRoleServices> CKQSecRolesCollection::Authorization() noexcept
{
    std::lock_guard<CriticalSection> guard(m_lock);
    return m_pAuthorization;
}

BstrText CKQSecRolesCollection::CacheTime() noexcept
{
    std::lock_guard<CriticalSection> guard(m_lock);
    return m_sCacheTime;
}

bool CKQSecRolesCollection::ElementAt(size_t position, CRoleInfo& element) noexcept
{
    std::lock_guard<CriticalSection> guard(m_lock);
    if (position >= m_roles.size()) return false;
    element = m_roles[position];
    return true;
}

size_t CKQSecRolesCollection::ElementCount() noexcept
{
    std::lock_guard<CriticalSection> guard(m_lock);
    return m_roles.size();
}

HRESULT CKQSecRolesCollection::Init(IRoleServices* authorization) noexcept
{
    {
        std::lock_guard<CriticalSection> guard(m_lock);
        if (m_pAuthorization.get() != authorization)
            m_pAuthorization = com_ptr<IRoleServices>(authorization);
    }
    return Fill(authorization);
}

HRESULT CKQSecRolesCollection::Fill(IRoleServices* authorization) noexcept
{
    ErrorContext context(op::RolesCollection_Init);
    if (!authorization) return REPORTED(context, E_UNEXPECTED);
    // Reported only once the filling lock is given up: a report calls out.
    HRESULT filled = Barrier(CaughtCode, [&] {
        std::lock_guard<CriticalSection> filling(m_fillLock);
        std::vector<RoleListEntry> listed;
        BstrText cacheTime;
        HRESULT read = authorization->ReadRoleCache(listed, cacheTime, RoleNames::Leave);
        if (SUCCEEDED(read)) {
            // A null list is the library's "no roles": keeping the old elements
            // would show roles that no longer exist.
            std::vector<CRoleInfo> roles;
            roles.reserve(listed.size());
            for (RoleListEntry& entry : listed)
                roles.push_back(CRoleInfo{std::move(entry.id), authorization});

            std::lock_guard<CriticalSection> guard(m_lock);
            m_roles.swap(roles);
            m_sCacheTime = cacheTime;
        }
        return read;
    });
    return REPORTED(context, filled);
}

STDMETHODIMP CKQSecRolesCollection::get__NewEnum(IUnknown** Val)
{
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        if (!Val) return E_POINTER;
        *Val = nullptr;
        com_ptr<IEnumVARIANT> enumerator;
        if (FAILED(CreateRoleEnumerator(this, 0, enumerator.put()))) return E_OUTOFMEMORY;
        return enumerator.query_to(Val);
    });
}

STDMETHODIMP CKQSecRolesCollection::get_Item(BSTR RoleId, IKQSecRole** Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        if (!Val) return E_POINTER;
        *Val = nullptr;
        ErrorContext context(op::RolesCollection_get_Item);
        return Barrier(ReportUnexpected(context), [&] {
            context.SetTextParam(1, param::sRoleId, RoleId);
            if (IsEmptyText(RoleId)) return ReportNullOrEmpty(context, param::sRoleId, RoleId);
            return REPORTED(context, MakeRoleObject(RoleId, Authorization().get(), Val));
        });
    });
}

STDMETHODIMP CKQSecRolesCollection::get_Count(LONG* Val)
{
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        if (!Val) return E_POINTER;
        *Val = static_cast<LONG>(ElementCount());
        return S_OK;
    });
}

STDMETHODIMP CKQSecRolesCollection::get_ReadOnly(VARIANT_BOOL* ReadOnly)
{
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        if (!ReadOnly) return E_POINTER;
        *ReadOnly = VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP CKQSecRolesCollection::ItemPos(LONG Pos, IKQSecRole** Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        if (!Val) return E_POINTER;
        *Val = nullptr;
        ErrorContext context(op::RolesCollection_ItemPos);
        return Barrier(ReportUnexpected(context), [&] {
            context.SetNumberParam(1, param::lPos, Pos);
            // The element is copied out: a refill on another thread may replace the list.
            CRoleInfo element;
            LONG count = 0;
            {
                std::lock_guard<CriticalSection> guard(m_lock);
                count = static_cast<LONG>(m_roles.size());
                if (Pos >= 0 && Pos < count) element = m_roles[static_cast<size_t>(Pos)];
            }
            if (Pos < 0 || Pos >= count) {
                std::wstring countText = std::to_wstring(count), posText = std::to_wstring(Pos);
                return ReportRequestError(context, AUTH_E_INVALID_POSITION, kReportKind,
                                          FormatModuleMessage(AUTH_E_INVALID_POSITION,
                                                              countText.c_str(), posText.c_str()),
                                          BstrText(countText.c_str()));
            }
            return REPORTED(
                context, MakeRoleObject(element.m_sRoleId.wide(), element.m_pAuthorization, Val));
        });
    });
}

STDMETHODIMP CKQSecRolesCollection::IsExists(BSTR RoleId, VARIANT_BOOL* Exist)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        ErrorContext context(op::RolesCollection_IsExists);
        return Barrier(ReportUnexpected(context), [&] {
            context.SetTextParam(1, param::sRoleId, RoleId);
            if (IsEmptyText(RoleId)) return ReportNullOrEmpty(context, param::sRoleId, RoleId);
            if (!Exist) return E_POINTER;
            *Exist = VARIANT_FALSE;
            com_ptr<IRoleServices> authorization = Authorization();
            if (!authorization) return REPORTED(context, E_UNEXPECTED);

            bool found = false;
            HRESULT hr =
                authorization->LookUpRole(NormalizeRoleText(RoleId).c_str(), found, nullptr);
            if (SUCCEEDED(hr) && found) {
                *Exist = VARIANT_TRUE;
                return S_OK;
            }
            // Only a malformed identifier is a failure; any other miss means "no such role".
            if (hr == AUTH_E_INVALID_GUID) return REPORTED(context, AUTH_E_INVALID_GUID);
            return S_OK;
        });
    });
}

HRESULT CKQSecRolesCollection::RefreshAndRefill(IRoleServices* authorization) noexcept
{
    HRESULT hr = authorization->RefreshRoleCache();
    if (SUCCEEDED(hr)) hr = Fill(authorization);
    return hr;
}

STDMETHODIMP CKQSecRolesCollection::Add(BSTR Name, BSTR Description, BSTR Guid, IKQSecRole** Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        // Nothing may be written to the database for a role that cannot be handed back.
        if (!Val) return E_POINTER;
        *Val = nullptr;
        ErrorContext context(op::RolesCollection_Add);
        return Barrier(ReportUnexpected(context), [&] {
            context.SetTextParam(1, param::Name, Name);
            context.SetTextParam(2, param::Description, Description);
            context.SetTextParam(3, param::GUID, Guid);

            RETURN_IF_FAILED(CheckRoleName(context, param::Name, Name));
            com_ptr<IRoleServices> authorization = Authorization();
            if (!authorization) return REPORTED(context, E_UNEXPECTED);
            std::string narrowName = NormalizeRoleText(Name);
            std::wstring newName = WidenRoleText(narrowName);

            bool exists = false;
            HRESULT hr = authorization->LookUpRole(narrowName.c_str(), exists, nullptr);
            if (SUCCEEDED(hr) && exists) {
                return ReportRequestError(context, AUTH_E_ROLE_EXISTS, kReportKind,
                                          FormatModuleMessage(AUTH_E_ROLE_EXISTS, newName.c_str()),
                                          BstrText(newName.c_str()));
            }

            com_ptr<IAuthSecClient> client;
            REPORT_IF_FAILED(context, authorization->GetSecClient(client.put()));

            unique_bstr identifier;
            REPORT_IF_FAILED(context, ValidateGuid(Guid, identifier));

            // The client may assign an identifier of its own; whatever the slot holds
            // afterwards is released unread.
            unique_bstr name = unique_bstr::copy_of(newName.c_str());
            HRESULT added = client->AddRole(name.get(), Description, identifier.inout());
            identifier.reset();
            client.reset();
            REPORT_IF_FAILED(context, added);

            REPORT_IF_FAILED(context, RefreshAndRefill(authorization.get()));
            return REPORTED(context, get_Item(name.get(), Val));
        });
    });
}

STDMETHODIMP CKQSecRolesCollection::Remove(BSTR RoleId)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        ErrorContext context(op::RolesCollection_Remove);
        return Barrier(ReportUnexpected(context), [&] {
            context.SetTextParam(1, param::sRoleId, RoleId);
            if (IsEmptyText(RoleId)) return ReportNullOrEmpty(context, param::sRoleId, RoleId);
            com_ptr<IRoleServices> authorization = Authorization();
            if (!authorization) return REPORTED(context, E_UNEXPECTED);

            com_ptr<IAuthSecClient> client;
            REPORT_IF_FAILED(context, authorization->GetSecClient(client.put()));

            // The lookup only has to succeed; its record is not looked at.
            std::wstring key = TrimSpaces(RoleId);
            bool found = false;
            REPORT_IF_FAILED(
                context, authorization->LookUpRole(WideToAcp(key.c_str()).get(), found, nullptr));

            HRESULT deleted = S_OK;
            LONG ignored = 0;
            if (!key.empty() && key[0] == L'{') {
                unique_bstr prefixed = unique_bstr::copy_of(MakePrefixedRoleId(key).c_str());
                deleted = client->DeleteRoleById(prefixed.get(), &ignored);
            } else {
                unique_bstr name = unique_bstr::copy_of(key.c_str());
                deleted = client->DeleteRoleByName(name.get(), &ignored);
            }
            client.reset();
            REPORT_IF_FAILED(context, deleted);
            return REPORTED(context, RefreshAndRefill(authorization.get()));
        });
    });
}

STDMETHODIMP CKQSecRolesCollection::RemoveAll()
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        ErrorContext context(op::RolesCollection_RemoveAll);
        return Barrier(ReportUnexpected(context), [&] {
            com_ptr<IRoleServices> authorization = Authorization();
            if (!authorization) return REPORTED(context, E_UNEXPECTED);

            // Without a client nothing can be deleted, which matters only when
            // there is something to delete.
            com_ptr<IAuthSecClient> client;
            HRESULT clientResult = authorization->GetSecClient(client.put());

            // The names are copied out first: a call to a client in another
            // apartment may let a nested call refresh the cache and free its list.
            std::vector<RoleListEntry> listed;
            BstrText cacheTime;
            REPORT_IF_FAILED(context,
                             authorization->ReadRoleCache(listed, cacheTime, RoleNames::Copy));

            if (!listed.empty()) REPORT_IF_FAILED(context, clientResult);
            for (const RoleListEntry& role : listed) {
                unique_bstr name = unique_bstr::copy_of(TrimSpaces(role.name.wide()).c_str());
                LONG ignored = 0;
                // A role that cannot be deleted does not stop the others.
                client->DeleteRoleByName(name.get(), &ignored);
            }
            client.reset();
            return REPORTED(context, RefreshAndRefill(authorization.get()));
        });
    });
}

STDMETHODIMP CKQSecRolesCollection::GetClassInfo(ITypeInfo** ppTI)
{
    if (!ppTI) return E_POINTER;
    return GetModuleTypeInfo(CLSID_KQSecRolesCollection, ppTI);
}

STDMETHODIMP CKQSecRolesCollection::GetGUID(DWORD dwGuidKind, GUID* pGUID)
{
    if (!pGUID) return E_POINTER;
    *pGUID = GUID_NULL;
    if (dwGuidKind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    *pGUID = IID_IKQSecRolesCollection;
    return S_OK;
}

HRESULT CopyRoleIntoVariant(VARIANT* out, const CRoleInfo& element) noexcept
{
    ErrorContext context(op::CopySecRole_copyVrtIfc);
    return Barrier(ReportCaught(context), [&] {
        context.SetTextParam(1, param::sGuid, element.m_sRoleId.wide());
        com_ptr<IKQSecRole> role;
        REPORT_IF_FAILED(context, MakeRoleObject(element.m_sRoleId.wide(), element.m_pAuthorization,
                                                 role.put()));
        V_VT(out) = VT_DISPATCH;
        V_DISPATCH(out) = nullptr;
        HRESULT hr = role.query_to(&V_DISPATCH(out));
        if (FAILED(hr)) V_VT(out) = VT_EMPTY;
        return REPORTED(context, hr);
    });
}
