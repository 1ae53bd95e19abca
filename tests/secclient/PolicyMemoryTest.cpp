// What an edit of a policy of blank lines costs the client: memory in
// proportion to the file, not to its count of lines. A program of its own,
// since the peak of the working set is the process's since it started.
#include "SecClientSupport.h"
#include "WorkingSet.h"

namespace {

TEST(SecClientMemory, BlankLinesCostNoMoreThanTheirText)
{
    SetEnvironmentVariableW(L"KIVAUTH_POLICY", nullptr);
    TempFolder folder;
    std::wstring policy = folder.File(L"policy.txt");
    const size_t kBlank = 16u << 20;
    std::string text = "policy | 1\n" + std::string(kBlank, '\n');
    WriteBytes(policy, text);
    {
        com_ptr<IAuthSecClient> client = CreateClient();
        ASSERT_TRUE(client);
        ASSERT_EQ(ControlOf(client)->put_PolicyFile(Bstr(policy.c_str())), S_OK);
        SIZE_T before = WorkingSet().WorkingSetSize;

        BSTR id = SysAllocString(L"{0A1B2C3D-1111-2222-3333-444455556666}");
        EXPECT_EQ(client->AddRole(Bstr(L"Leads"), nullptr, &id), S_OK);
        SysFreeString(id);

        SIZE_T growth = PeakGrowthSince(before, "16 MB of blank lines");
        EXPECT_LT(growth, 8 * kBlank);
    }
    text += "role | {0A1B2C3D-1111-2222-3333-444455556666} | Leads\n";
    EXPECT_TRUE(ReadBytes(policy) == text) << "the file is not the old one and the new role";
}

}  // namespace
