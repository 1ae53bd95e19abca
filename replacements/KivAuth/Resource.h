// Resources of KivAuth.dll.
#pragma once

// The embedded default policy (RCDATA), used when no other source names one.
#define IDR_DEFAULT_POLICY 101
