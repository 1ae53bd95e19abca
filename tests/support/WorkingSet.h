// The process's working set, for the tests that bound what a text costs in
// memory. Such a test is a program of its own: the peak is the process's
// since it started. Link psapi.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdio>

// The working set now and its peak. Wine answers these, but no private
// bytes (0).
inline PROCESS_MEMORY_COUNTERS WorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    EXPECT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters));
    return counters;
}

// How far the peak rose above a working set read before, printed with what
// was measured.
inline SIZE_T PeakGrowthSince(SIZE_T before, const char* what)
{
    SIZE_T growth = WorkingSet().PeakWorkingSetSize - before;
    printf("%s: the peak working set grew by %llu MB\n", what,
           static_cast<unsigned long long>(growth >> 20));
    return growth;
}
