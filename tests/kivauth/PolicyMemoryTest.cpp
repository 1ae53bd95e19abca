// What a policy of blank lines costs the library: memory in proportion to
// its text, not to its count of lines. A program of its own, since the peak
// of the working set is the process's since it started.
#include "KIVAuthorize.h"
#include "KivAuthControl.h"
#include "WorkingSet.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

TEST(KivAuthMemory, BlankLinesCostNoMoreThanTheirText)
{
    KivTest_Reset();
    const size_t kBlank = 16u << 20;
    const std::string text = "policy | 1\n" + std::string(kBlank, '\n');
    SIZE_T before = WorkingSet().WorkingSetSize;

    // The text is read when it is given and again by the load.
    ASSERT_EQ(S_OK, KivTest_LoadPolicyText(text.c_str()));
    CKIVAuthorize auth;
    ASSERT_TRUE(auth.InitCache("D\\alice", 0xFFFF));

    SIZE_T growth = PeakGrowthSince(before, "16 MB of blank lines");
    EXPECT_LT(growth, 8 * kBlank);
    KivTest_Reset();
}

}  // namespace
