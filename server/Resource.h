// Resource ids of the Authorization module.
#pragma once

#include "MessageIds.h"

#define IDS_PROJNAME 100
#define IDR_IKIVAUTHORIZATION 102
#define IDR_AUTHORIZATIONEX 103
#define IDR_KQSECROLE 104
#define IDR_KQSECROLESCOLLECTION 105
