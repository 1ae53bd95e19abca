// Resources of BenchNull.dll.
#pragma once

// The classes' registry scripts (REGISTRY).
#define IDR_NULLAUTHORIZATION 101
#define IDR_BENCHCLOCK 102
