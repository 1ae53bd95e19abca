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

// A null list gives no roles. An identifier that is, to the character, the
// one of earlier's entry at or near its own place shares that entry's text:
// after a change all roles but one are listed again, and 100,000 new texts
// cost more than the refresh's parse of their lines. Throw on failure.
std::vector<RoleListEntry> CopyRoleList(const CKIVRoleList* list, RoleNames names,
                                        const std::vector<RoleListEntry>& earlier);
RoleRecord CopyRoleRecord(const CKIVRole& role);
