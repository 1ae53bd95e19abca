// Copies of the closed library's role records, taken while the library is
// held: the authorization object reads them under its library lock and
// hands the copies to the role classes (RoleServices.h).
#pragma once

#include "BstrText.h"
#include "RoleServices.h"

#include <vector>

struct CKIVRole;
struct CKIVRoleList;

// A text field of a library record as wide text (CP_ACP): at most the
// field's 256 bytes, even without a terminator. Throws on failure.
BstrText RecordText(const char (&field)[256]);

// A null list gives no roles. Throw on failure.
std::vector<RoleListEntry> CopyRoleList(const CKIVRoleList* list, RoleNames names);
RoleRecord CopyRoleRecord(const CKIVRole& role);
