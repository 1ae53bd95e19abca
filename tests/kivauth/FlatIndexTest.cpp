// The stand-in library's flat table of role indexes: what it finds when
// several keys share a hash or a slot, and after it has grown.
#include "FlatIndex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using kivauth::FlatIndex;

namespace {

// Keys by index, as the library keeps names beside its table.
struct Keys {
    std::vector<std::string> keys;
    FlatIndex index;

    void Add(uint32_t hash, std::string key)
    {
        index.Add(hash, static_cast<uint32_t>(keys.size()));
        keys.push_back(std::move(key));
    }
    uint32_t Find(uint32_t hash, const std::string& key) const
    {
        return index.Find(hash, [&](uint32_t at) { return keys[at] == key; });
    }
};

}  // namespace

TEST(FlatIndexTest, EmptyTableFindsNothing)
{
    FlatIndex index;
    EXPECT_EQ(FlatIndex::kNone, index.Find(7, [](uint32_t) { return true; }));
    index.Reserve(10);
    EXPECT_EQ(FlatIndex::kNone, index.Find(7, [](uint32_t) { return true; }));
}

// Keys of one hash, and keys of other hashes in the slots that follow it:
// each is found by its own key, and a key that is not there by none.
TEST(FlatIndexTest, SharedHashesAndSlotsAreToldApartByTheKey)
{
    Keys table;
    table.Add(5, "a");
    table.Add(5, "b");
    table.Add(6, "c");       // its own slot is taken by then
    table.Add(5 + 16, "d");  // the same slot in a table of 16
    table.Add(5, "e");
    EXPECT_EQ(0u, table.Find(5, "a"));
    EXPECT_EQ(1u, table.Find(5, "b"));
    EXPECT_EQ(2u, table.Find(6, "c"));
    EXPECT_EQ(3u, table.Find(5 + 16, "d"));
    EXPECT_EQ(4u, table.Find(5, "e"));
    EXPECT_EQ(FlatIndex::kNone, table.Find(5, "c"));
    EXPECT_EQ(FlatIndex::kNone, table.Find(6, "a"));
    EXPECT_EQ(FlatIndex::kNone, table.Find(7, "f"));
}

// Slots at the end of the table wrap to its start.
TEST(FlatIndexTest, ProbesWrapAtTheEnd)
{
    Keys table;
    table.Add(15, "last");
    table.Add(15, "wrapped");
    table.Add(0, "first");
    EXPECT_EQ(1u, table.Find(15, "wrapped"));
    EXPECT_EQ(2u, table.Find(0, "first"));
}

// Growing past what was reserved keeps every entry, crowded hashes too.
TEST(FlatIndexTest, GrowthKeepsEveryEntry)
{
    Keys table;
    table.index.Reserve(4);
    for (uint32_t i = 0; i < 5000; ++i)
        table.Add(i % 3 == 0 ? 42 : i * 2654435761u, std::to_string(i));
    for (uint32_t i = 0; i < 5000; ++i)
        ASSERT_EQ(i, table.Find(i % 3 == 0 ? 42 : i * 2654435761u, std::to_string(i))) << i;
    EXPECT_EQ(FlatIndex::kNone, table.Find(42, "5000"));
}
