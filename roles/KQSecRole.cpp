#include "KQSecRole.h"

#include "ErrorObject.h"
#include "AppFramework.h"
#include "AuthSecClient.h"
#include "Validation.h"
#include "Messages.h"
#include "OperationNames.h"

#include <algorithm>
#include <mutex>

namespace {

const ErrorSource kErrors{L"Authorization.KQSecRole", &IID_IKQSecRole};

}  // namespace

namespace {

// A new copy of a text for a client; E_OUTOFMEMORY when it cannot be made.
HRESULT CopyOut(const BstrText& text, BSTR* out) noexcept
{
    if (!out) return E_POINTER;
    *out = nullptr;
    return Barrier(E_OUTOFMEMORY, [&] {
        *out = text.copy();
        return S_OK;
    });
}

void AddTokens(std::vector<std::wstring>& list, const wchar_t* text)
{
    for (std::wstring& token : SplitMemberList(text))
        if (std::find(list.begin(), list.end(), token) == list.end())
            list.push_back(std::move(token));
}

void RemoveTokens(std::vector<std::wstring>& list, const wchar_t* text)
{
    for (const std::wstring& token : SplitMemberList(text)) {
        auto found = std::find(list.begin(), list.end(), token);
        if (found != list.end()) list.erase(found);
    }
}

}  // namespace

BstrText MemberListText(const std::vector<std::wstring>& members)
{
    if (members.empty()) return BstrText();
    std::wstring text;
    for (const std::wstring& member : members) {
        text += member;
        text += L';';
    }
    return BstrText(text.c_str());
}

std::vector<std::wstring> SplitMemberList(const wchar_t* text)
{
    std::vector<std::wstring> tokens;
    std::wstring rest = text ? text : L"";
    while (!rest.empty()) {
        size_t semicolon = rest.find(L';');
        std::wstring token = rest.substr(0, semicolon);
        size_t next =
            semicolon == std::wstring::npos ? rest.size() : rest.find_first_not_of(L';', semicolon);
        rest.erase(0, next == std::wstring::npos ? rest.size() : next);
        tokens.push_back(TrimSpaces(token.c_str()));
    }
    return tokens;
}

const InterfaceEntry* CKQSecRole::Interfaces() noexcept
{
    // Free-threaded, so that a role can travel with the collection that made it.
    static const InterfaceEntry entries[] = {
        INTERFACE_ENTRY(CKQSecRole, IKQSecRole),
        INTERFACE_ENTRY_IID(CKQSecRole, IID_IDispatch, IKQSecRole),
        INTERFACE_ENTRY(CKQSecRole, ISupportErrorInfo),
        INTERFACE_ENTRY_FREE_THREADED_MARSHALER(CKQSecRole),
        INTERFACE_ENTRY_END,
    };
    return entries;
}

void CKQSecRole::Fill(IRoleServices* authorization, RoleRecord record) noexcept
{
    std::lock_guard<CriticalSection> guard(m_lock);
    m_pAuthorization = com_ptr<IRoleServices>(authorization);
    m_sId = record.id;
    m_sName = record.name;
    m_sDescription = record.description;
    m_users = std::move(record.users);
    m_groups = std::move(record.groups);
}

HRESULT CKQSecRole::CopyTextOut(const BstrText& member, BSTR* out) noexcept
{
    if (!out) return E_POINTER;
    BstrText text;
    {
        std::lock_guard<CriticalSection> guard(m_lock);
        text = member;
    }
    return CopyOut(text, out);
}

HRESULT CKQSecRole::CopyMembersOut(const std::vector<std::wstring>& member, BSTR* out) noexcept
{
    if (!out) return E_POINTER;
    *out = nullptr;
    return Barrier(E_OUTOFMEMORY, [&] {
        std::lock_guard<CriticalSection> guard(m_lock);
        return CopyOut(MemberListText(member), out);
    });
}

STDMETHODIMP CKQSecRole::get_Id(BSTR* Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT { return CopyTextOut(m_sId, Val); });
}

STDMETHODIMP CKQSecRole::get_Name(BSTR* Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors,
                                    [&]() -> HRESULT { return CopyTextOut(m_sName, Val); });
}

STDMETHODIMP CKQSecRole::get_Description(BSTR* Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors,
                                    [&]() -> HRESULT { return CopyTextOut(m_sDescription, Val); });
}

STDMETHODIMP CKQSecRole::get_LastModifiedUser(BSTR* Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(
        kErrors, [&]() -> HRESULT { return CopyTextOut(m_sLastModifiedUser, Val); });
}

STDMETHODIMP CKQSecRole::get_Users(BSTR* Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors,
                                    [&]() -> HRESULT { return CopyMembersOut(m_users, Val); });
}

STDMETHODIMP CKQSecRole::get_Groups(BSTR* Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors,
                                    [&]() -> HRESULT { return CopyMembersOut(m_groups, Val); });
}

STDMETHODIMP CKQSecRole::get_DateCreated(DATE* Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        if (!Val) return E_POINTER;
        std::lock_guard<CriticalSection> guard(m_lock);
        *Val = m_dateCreated;
        return S_OK;
    });
}

STDMETHODIMP CKQSecRole::get_DateModified(DATE* Val)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        if (!Val) return E_POINTER;
        std::lock_guard<CriticalSection> guard(m_lock);
        *Val = m_dateModified;
        return S_OK;
    });
}

STDMETHODIMP CKQSecRole::put_Description(BSTR newVal)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        return Barrier(E_OUTOFMEMORY, [&] {
            BstrText description = BstrText::Attach(
                newVal ? SysAllocStringLen(newVal, SysStringLen(newVal)) : nullptr);
            if (newVal && !description.wide()) return E_OUTOFMEMORY;
            std::lock_guard<CriticalSection> guard(m_lock);
            m_sDescription = description;
            return S_OK;
        });
    });
}

STDMETHODIMP CKQSecRole::put_Name(BSTR newVal)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        ErrorContext context(op::Role_put_Name);
        return Barrier(ReportUnexpected(context), [&] {
            const UINT length = SysStringLen(newVal);
            context.SetTextParam(1, param::sName, newVal, length);
            RETURN_IF_FAILED(CheckRoleName(context, param::sName, newVal, length));

            // Only the comparison uses the normal form: a new name is kept as given,
            // all of the BSTR, as put_Description keeps its text.
            std::wstring normal = WidenRoleText(NormalizeRoleText(newVal));
            BstrText name = BstrText::Attach(SysAllocStringLen(newVal, length));
            if (!name.wide()) return REPORTED(context, E_OUTOFMEMORY);
            std::lock_guard<CriticalSection> guard(m_lock);
            const wchar_t* current = m_sName.wide() ? m_sName.wide() : L"";
            if (normal != current) m_sName = name;
            return S_OK;
        });
    });
}

HRESULT CKQSecRole::EditMembers(const wchar_t* operation, BSTR Users, BSTR Groups,
                                void (*edit)(std::vector<std::wstring>&, const wchar_t*))
{
    return Barrier(E_UNEXPECTED, [&] {
        std::lock_guard<CriticalSection> guard(m_lock);
        // Filled as every operation fills its context; member edits report nothing.
        ErrorContext context(operation);
        context.SetTextParam(1, param::m_sName, m_sName.wide(), m_sName.length());
        context.SetTextParam(2, param::sUser, Users);
        context.SetTextParam(3, param::sGroups, Groups);
        // Both lists change, or neither does.
        std::vector<std::wstring> users = m_users, groups = m_groups;
        edit(users, Users);
        edit(groups, Groups);
        m_users.swap(users);
        m_groups.swap(groups);
        return S_OK;
    });
}

STDMETHODIMP CKQSecRole::AddMembers(BSTR Users, BSTR Groups)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        return EditMembers(op::Role_AddMembers, Users, Groups, AddTokens);
    });
}

STDMETHODIMP CKQSecRole::RemoveMembers(BSTR Users, BSTR Groups)
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        return EditMembers(op::Role_RemoveMembers, Users, Groups, RemoveTokens);
    });
}

STDMETHODIMP CKQSecRole::CommitChanges()
{
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return WithErrorObjectAndEvents(kErrors, [&]() -> HRESULT {
        ErrorContext context(op::Role_CommitChanges);
        return Barrier(ReportUnexpected(context), [&] {
            // One consistent state is written, whatever other threads do to the role meanwhile.
            com_ptr<IRoleServices> authorization;
            BstrText id, name, description, users, groups;
            {
                std::lock_guard<CriticalSection> guard(m_lock);
                context.SetTextParam(1, param::m_sName, m_sName.wide(), m_sName.length());
                authorization = m_pAuthorization;
                id = m_sId;
                name = m_sName;
                description = m_sDescription;
                users = MemberListText(m_users);
                groups = MemberListText(m_groups);
            }

            // A role made directly by its class object belongs to no authorization object.
            if (!authorization) return REPORTED(context, E_UNEXPECTED);

            com_ptr<IAuthSecClient> client;
            REPORT_IF_FAILED(context, authorization->GetSecClient(client.put()));
            REPORT_IF_FAILED(context, client->UpdateRole(const_cast<BSTR>(id.wide()),
                                                         const_cast<BSTR>(name.wide()),
                                                         const_cast<BSTR>(description.wide()),
                                                         const_cast<BSTR>(users.wide()),
                                                         const_cast<BSTR>(groups.wide()), 0));
            return REPORTED(context, authorization->RefreshRoleCache());
        });
    });
}

HRESULT MakeRoleObject(const wchar_t* text, IRoleServices* authorization, IKQSecRole** out) noexcept
{
    ErrorContext context(op::CopySecRole_getComObject);
    return Barrier(ReportCaught(context), [&] {
        context.SetTextParam(1, param::sRoleId, text);
        if (IsEmptyText(text)) {
            return ReportNullOrEmpty(context, param::sRoleId, text);
        }
        if (!authorization) return REPORTED(context, E_UNEXPECTED);

        bool found = false;
        RoleRecord record;
        REPORT_IF_FAILED(
            context, authorization->LookUpRole(NormalizeRoleText(text).c_str(), found, &record));
        if (!found) return REPORTED(context, AUTH_E_ROLE_RECORD_MISSING);

        com_ptr<ComObject<CKQSecRole>> role;
        REPORT_IF_FAILED(context, ComObject<CKQSecRole>::Create(role));
        role->Fill(authorization, std::move(record));
        return REPORTED(context, role.query_to(out));
    });
}
