// What a policy of blank lines costs the library: memory in proportion to
// its text, not to its count of lines. A program of its own, since the peak
// of the working set is the process's since it started.
#include "KIVAuthorize.h"
#include "KivAuthControl.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <string>

namespace {

PROCESS_MEMORY_COUNTERS_EX Counters()
{
    // Wine answers the peak working set but no private bytes (0).
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    EXPECT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(),
                                     reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                     sizeof counters));
    return counters;
}

TEST(KivAuthMemory, BlankLinesCostNoMoreThanTheirText)
{
    KivTest_Reset();
    const size_t kBlank = 16u << 20;
    const std::string text = "policy | 1\n" + std::string(kBlank, '\n');
    SIZE_T before = Counters().WorkingSetSize;

    // The text is read when it is given and again by the load.
    ASSERT_EQ(S_OK, KivTest_LoadPolicyText(text.c_str()));
    CKIVAuthorize auth;
    ASSERT_TRUE(auth.InitCache("D\\alice", 0xFFFF));

    PROCESS_MEMORY_COUNTERS_EX after = Counters();
    SIZE_T growth = after.PeakWorkingSetSize - before;
    printf("16 MB of blank lines: the peak working set grew by %llu MB\n",
           static_cast<unsigned long long>(growth >> 20));
    EXPECT_LT(growth, 8 * kBlank);
    KivTest_Reset();
}

}  // namespace
