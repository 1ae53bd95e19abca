/* The module calls the audit-support component by slot: keep the operations in place. */
#include "AuditSupportItf.h"

#include <stddef.h>

#define SLOT(itf, name) (offsetof(itf##Vtbl, name) / sizeof(void*))

_Static_assert(SLOT(IAuditSupport, CreateEvent) == 11, "CreateEvent at slot 11");
_Static_assert(SLOT(IAuditEvent, SetOptionalText1) == 21, "SetOptionalText1 at slot 21");
_Static_assert(SLOT(IAuditEvent, SetOptionalNumber) == 23, "SetOptionalNumber at slot 23");
_Static_assert(SLOT(IAuditEvent, SetOptionalText3) == 25, "SetOptionalText3 at slot 25");
_Static_assert(SLOT(IAuditEvent, SetOptionalText2) == 27, "SetOptionalText2 at slot 27");
_Static_assert(SLOT(IAuditEvent, AddParameter) == 49, "AddParameter at slot 49");
_Static_assert(SLOT(IAuditEvent, SetSource) == 50, "SetSource at slot 50");
_Static_assert(SLOT(IAuditEvent, Send) == 51, "Send at slot 51");
