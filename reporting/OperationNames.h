// The names under which operations and their parameters appear in audit
// events. Operations are written as class, two colons and method; a free
// function has the two colons in front.
#pragma once

namespace op {
inline constexpr wchar_t RolesCollection_Init[] = L"CKQSecRolesCollection::Init";
inline constexpr wchar_t RolesCollection_Add[] = L"CKQSecRolesCollection::Add";
inline constexpr wchar_t RolesCollection_Remove[] = L"CKQSecRolesCollection::Remove";
inline constexpr wchar_t RolesCollection_RemoveAll[] = L"CKQSecRolesCollection::RemoveAll";
inline constexpr wchar_t RolesCollection_IsExists[] = L"CKQSecRolesCollection::IsExists";
inline constexpr wchar_t RolesCollection_ItemPos[] = L"CKQSecRolesCollection::ItemPos";
inline constexpr wchar_t RolesCollection_get_Item[] = L"CKQSecRolesCollection::get_Item";
inline constexpr wchar_t Role_put_Name[] = L"CKQSecRole::put_Name";
inline constexpr wchar_t Role_AddMembers[] = L"CKQSecRole::AddMembers";
inline constexpr wchar_t Role_RemoveMembers[] = L"CKQSecRole::RemoveMembers";
inline constexpr wchar_t Role_CommitChanges[] = L"CKQSecRole::CommitChanges";
inline constexpr wchar_t ValidateName[] = L"::ValidateName";
inline constexpr wchar_t ValidateGuid[] = L"::ValidateGuid";
inline constexpr wchar_t CopySecRole_copyVrtIfc[] = L"_CopySecRole::copyVrtIfc";
inline constexpr wchar_t CopySecRole_getComObject[] = L"_CopySecRole::getComObject";
inline constexpr wchar_t Authorization_get_RolesColl[] = L"CIKIVAuthorization::get_RolesColl";
inline constexpr wchar_t Authorization_put_AuthSecClient[] =
    L"CIKIVAuthorization::put_AuthSecClient";
}  // namespace op

// Parameter names as the interfaces name them.
namespace param {
inline constexpr wchar_t Name[] = L"Name";
inline constexpr wchar_t Description[] = L"Description";
inline constexpr wchar_t GUID[] = L"GUID";
inline constexpr wchar_t sRoleId[] = L"sRoleId";
inline constexpr wchar_t lPos[] = L"lPos";
inline constexpr wchar_t sName[] = L"sName";
// A role's own current name, first pair of AddMembers, RemoveMembers, CommitChanges.
inline constexpr wchar_t m_sName[] = L"m_sName";
inline constexpr wchar_t sUser[] = L"sUser";
inline constexpr wchar_t sGroups[] = L"sGroups";
inline constexpr wchar_t sGuidIn[] = L"sGuidIn";
inline constexpr wchar_t sGuid[] = L"sGuid";
// The attached client's pointer, recorded as a signed number.
inline constexpr wchar_t pSec[] = L"(long)pSec";
}  // namespace param
