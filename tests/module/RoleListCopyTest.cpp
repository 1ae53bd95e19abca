// The copy of the library's role list: identifiers that a reading before
// held already keep that reading's texts, every other one is converted.
#include "RoleRecordCopy.h"

#include "KIVAuthorize.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// A list of records with these identifiers, in this order.
struct Records {
    explicit Records(const std::vector<std::string>& ids)
    {
        for (const std::string& id : ids) {
            auto role = std::make_unique<CKIVRole>();
            memset(role.get(), 0, sizeof(CKIVRole));
            memcpy(role->id, id.data(), std::min(id.size(), sizeof role->id));
            pointers.push_back(role.get());
            roles.push_back(std::move(role));
        }
        list.roles = pointers.data();
        list.count = static_cast<LONG>(pointers.size());
    }
    std::vector<std::unique_ptr<CKIVRole>> roles;
    std::vector<CKIVRole*> pointers;
    CKIVRoleList list{};
};

std::vector<RoleListEntry> Listed(const std::vector<std::string>& ids,
                                  const std::vector<RoleListEntry>& earlier)
{
    Records records(ids);
    return CopyRoleList(&records.list, RoleNames::Leave, earlier);
}

const std::string kA = "{0000000A-0000-4000-8000-00000000000A}";
const std::string kB = "{0000000B-0000-4000-8000-00000000000B}";
const std::string kC = "{0000000C-0000-4000-8000-00000000000C}";
const std::string kD = "{0000000D-0000-4000-8000-00000000000D}";
const std::string kE = "{0000000E-0000-4000-8000-00000000000E}";

constexpr int kEither = -2;

TEST(CopyRoleList, ARoleListedBeforeKeepsItsTextAfterAChange)
{
    const std::vector<RoleListEntry> earlier = Listed({kA, kB, kC, kD}, {});
    struct Case {
        const char* what;
        std::vector<std::string> ids;
        // For each role, the index of earlier's entry whose text it shares,
        // -1 for a text of its own, kEither where either is right.
        std::vector<int> shares;
    } cases[] = {
        {"unchanged", {kA, kB, kC, kD}, {0, 1, 2, 3}},
        {"one removed", {kA, kC, kD}, {0, 2, 3}},
        {"first removed", {kB, kC, kD}, {1, 2, 3}},
        {"one added", {kA, kE, kB, kC, kD}, {0, -1, 1, 2, 3}},
        {"one added last", {kA, kB, kC, kD, kE}, {0, 1, 2, 3, -1}},
        {"one replaced", {kA, kE, kC, kD}, {0, -1, 2, 3}},
        // Far from its place a role may get a text of its own: still its own identifier.
        {"in another order", {kD, kC, kB, kA}, {kEither, kEither, kEither, kEither}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<RoleListEntry> listed = Listed(c.ids, earlier);
        ASSERT_EQ(c.ids.size(), listed.size());
        for (size_t i = 0; i < listed.size(); ++i) {
            EXPECT_EQ(std::wstring(c.ids[i].begin(), c.ids[i].end()), listed[i].id.wide()) << i;
            EXPECT_EQ(c.ids[i].size(), listed[i].id.length()) << i;
            EXPECT_EQ(nullptr, listed[i].name.wide()) << i;
            if (c.shares[i] >= 0) {
                EXPECT_EQ(earlier[static_cast<size_t>(c.shares[i])].id.wide(), listed[i].id.wide())
                    << i;
            } else if (c.shares[i] == -1) {
                for (const RoleListEntry& before : earlier)
                    EXPECT_NE(before.id.wide(), listed[i].id.wide()) << i;
            }
        }
    }
}

TEST(CopyRoleList, OnlyTheSameTextToTheCharacterIsShared)
{
    // Texts that read alike but are not the record's own: a prefix of it,
    // one longer, one with a NUL inside, and one outside ASCII.
    std::vector<RoleListEntry> earlier;
    earlier.push_back(RoleListEntry{BstrText(L"{0000000A"), BstrText()});
    earlier.push_back(RoleListEntry{BstrText(L"Role bb"), BstrText()});
    earlier.push_back(
        RoleListEntry{BstrText::Attach(SysAllocStringLen(L"Ro\0e c", 6)), BstrText()});
    earlier.push_back(RoleListEntry{BstrText(L"caf\x00e9"), BstrText()});
    std::vector<RoleListEntry> listed =
        Listed({"{0000000A-0000-4000-8000-00000000000A}", "Role b", "Ro", "caf\xe9"}, earlier);
    ASSERT_EQ(4u, listed.size());
    EXPECT_EQ(std::wstring(L"{0000000A-0000-4000-8000-00000000000A}"), listed[0].id.wide());
    EXPECT_EQ(std::wstring(L"Role b"), listed[1].id.wide());
    EXPECT_EQ(6u, listed[1].id.length());
    EXPECT_EQ(2u, listed[2].id.length());
    EXPECT_EQ(std::wstring(BstrText::FromAcp("caf\xe9").wide()), listed[3].id.wide());
    for (size_t i = 0; i < listed.size(); ++i)
        for (const RoleListEntry& before : earlier)
            EXPECT_NE(before.id.wide(), listed[i].id.wide()) << i;
}

}  // namespace
