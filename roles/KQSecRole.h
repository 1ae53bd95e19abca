// CKQSecRole: a detached copy of one security role. Edits change only the
// object; CommitChanges writes every field through the attached
// security-database client and refreshes the library's role cache.
#pragma once

#include "Authorization.h"
#include "BstrText.h"
#include "ComObject.h"
#include "CriticalSection.h"
#include "RoleServices.h"
#include "SupportErrorInfo.h"
#include "TypeInfoDispatch.h"

#include <string>
#include <vector>

class CKQSecRole : public SupportErrorInfoImpl<IKQSecRole>,
                   public DispatchImpl<IKQSecRole>,
                   public FreeThreadedObjectRoot {
public:
    CKQSecRole() = default;

    static const InterfaceEntry* Interfaces() noexcept;

    // IKQSecRole
    STDMETHOD(get_Id)(BSTR* Val) override;
    STDMETHOD(get_Name)(BSTR* Val) override;
    STDMETHOD(put_Name)(BSTR newVal) override;
    STDMETHOD(get_Description)(BSTR* Val) override;
    STDMETHOD(put_Description)(BSTR newVal) override;
    STDMETHOD(get_Users)(BSTR* Val) override;
    STDMETHOD(get_Groups)(BSTR* Val) override;
    STDMETHOD(get_DateCreated)(DATE* Val) override;
    STDMETHOD(get_DateModified)(DATE* Val) override;
    STDMETHOD(get_LastModifiedUser)(BSTR* Val) override;
    STDMETHOD(AddMembers)(BSTR Users, BSTR Groups) override;
    STDMETHOD(RemoveMembers)(BSTR Users, BSTR Groups) override;
    STDMETHOD(CommitChanges)() override;

    // Filled by the roles collection from a record, before anyone else sees the role.
    void Fill(IRoleServices* authorization, RoleRecord record) noexcept;

private:
    HRESULT EditMembers(const wchar_t* operation, BSTR Users, BSTR Groups,
                        void (*edit)(std::vector<std::wstring>&, const wchar_t*));
    HRESULT CopyTextOut(const BstrText& member, BSTR* out) noexcept;
    HRESULT CopyMembersOut(const std::vector<std::wstring>& member, BSTR* out) noexcept;

    // Any thread may call (see the marshaler): every member below is read
    // and written under m_lock, and nothing is called out while it is held.
    CriticalSection m_lock;
    BstrText m_sId;
    BstrText m_sName;
    BstrText m_sDescription;
    std::vector<std::wstring> m_users;
    std::vector<std::wstring> m_groups;
    DATE m_dateCreated = 0;
    DATE m_dateModified = 0;
    BstrText m_sLastModifiedUser;
    com_ptr<IRoleServices> m_pAuthorization;
};

// Each name followed by ";", the last one too; a null text for an empty list.
BstrText MemberListText(const std::vector<std::wstring>& members);

// The member names of an AddMembers or RemoveMembers argument: the text up to
// each run of semicolons, trimmed of spaces; empty tokens included.
std::vector<std::wstring> SplitMemberList(const wchar_t* text);

// A lookup that succeeds without handing out a record.
constexpr HRESULT AUTH_E_ROLE_RECORD_MISSING = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// A new role object filled from the library's current record of the role
// named by an identifier or a name. Failures are reported.
HRESULT MakeRoleObject(const wchar_t* text, IRoleServices* authorization,
                       IKQSecRole** role) noexcept;
