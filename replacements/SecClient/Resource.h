// Resources of SecClient.dll.
#pragma once

// The class's registry script (REGISTRY).
#define IDR_SECCLIENTSTANDIN 101
