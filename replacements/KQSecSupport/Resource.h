// Resources of KQSecSupport.dll.
#pragma once

// The class's registry script (REGISTRY).
#define IDR_KQSECSUPPORT 101
