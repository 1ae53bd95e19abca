/* The module calls the client by slot: keep the four operations in place. */
#include "AuthSecClientItf.h"

#include <stddef.h>

#define SLOT(name) (offsetof(IAuthSecClientVtbl, name) / sizeof(void*))

_Static_assert(SLOT(DeleteRoleByName) == 18, "DeleteRoleByName at slot 18");
_Static_assert(SLOT(DeleteRoleById) == 19, "DeleteRoleById at slot 19");
_Static_assert(SLOT(AddRole) == 28, "AddRole at slot 28");
_Static_assert(SLOT(UpdateRole) == 29, "UpdateRole at slot 29");
