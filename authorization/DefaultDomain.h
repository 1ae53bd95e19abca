// The default domain kept in the registry for accounts given without one.
#pragma once

#include "BstrText.h"

// "AuthDefaultDomain" under HKEY_LOCAL_MACHINE\SOFTWARE\Quarnex\VOK, as
// stored (no expansion); a null text when it is absent, empty, ill-typed,
// unterminated or longer than 255 bytes. Throws only on lack of memory.
BstrText ReadDefaultDomain();
