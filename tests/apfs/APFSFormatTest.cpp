#include <gtest/gtest.h>

#include <vector>

#include "ApfsTestUtil.h"
#include "apfs/APFSFormat.h"

using namespace apfstest;

namespace {
std::vector<APFSRecord> Records(const std::vector<std::uint8_t>& node) {
    std::vector<APFSRecord> out;
    ReadFsTreeRecords(node.data(), node.size(), [&](const APFSRecord& r) {
        out.push_back(r);
        return true;
    });
    return out;
}
}  // namespace

TEST(APFSObjectHeader, PlausibilityTable) {
    struct Case {
        std::uint64_t oid;
        std::uint16_t type, subtype;
        bool plausible;
    } cases[] = {
        {1, 1, 0, true},  {5, 0, 0, true},  // type 0 passes the header test
        {5, 3, 31, true}, {5, 3, 32, false}, {5, 32, 0, false}, {0, 3, 14, false},
    };
    for (const auto& c : cases) {
        auto b = ObjectHeader(c.oid, c.type, c.subtype);
        EXPECT_EQ(IsPlausibleObjectHeader(0, b.data(), b.size()), c.plausible)
            << c.oid << " " << c.type << " " << c.subtype;
    }
    auto b = ObjectHeader(1, 1, 0);
    EXPECT_FALSE(IsPlausibleObjectHeader(0, b.data(), 31));
    EXPECT_FALSE(IsPlausibleObjectHeader(0, nullptr, 4096));
}

TEST(APFSFsTree, InodeDirectoryAndExtentRecords) {
    auto node = FsTreeNode(2, {InodeEntry(20, 2, 0x81A4, "report.txt", 10000), DirEntry(2, "report.txt", 20, 8),
                               ExtentEntry(20, 0, 12288, 777)});
    auto r = Records(node);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].kind, kAPFSKindInode);
    EXPECT_EQ(r[0].oid, 20u);
    EXPECT_EQ(r[0].parentId, 2u);
    EXPECT_EQ(r[0].dataStreamId, 20u);
    EXPECT_EQ(r[0].createTime, 1000000000u);
    EXPECT_EQ(r[0].modifyTime, 2000000000u);
    EXPECT_TRUE(r[0].hasName);
    EXPECT_EQ(r[0].name, "report.txt");
    EXPECT_TRUE(r[0].hasSize);
    EXPECT_EQ(r[0].size, 10000u);
    EXPECT_FALSE(r[0].IsFolder());
    EXPECT_EQ(r[1].kind, kAPFSKindDirRecord);
    EXPECT_EQ(r[1].parentId, 2u);
    EXPECT_EQ(r[1].name, "report.txt");
    EXPECT_EQ(r[1].childId, 20u);
    EXPECT_FALSE(r[1].IsFolder());
    EXPECT_EQ(r[2].kind, kAPFSKindExtent);
    EXPECT_EQ(r[2].logicalOffset, 0u);
    EXPECT_EQ(r[2].length, 12288u);
    EXPECT_EQ(r[2].physicalBlock, 777u);

    auto folder = Records(FsTreeNode(2, {InodeEntry(21, 2, 0x41ED, "docs", 0), DirEntry(2, "docs", 21, 4)}));
    ASSERT_EQ(folder.size(), 2u);
    EXPECT_TRUE(folder[0].IsFolder());
    EXPECT_TRUE(folder[1].IsFolder());
}

TEST(APFSFsTree, RootTrailerOnlyForFlagsOneAndThree) {
    // The same entries laid out with a trailer (root) and without.
    struct Case {
        std::uint16_t builtWith, readAs;
        bool found;
    } cases[] = {{3, 3, true}, {1, 1, true}, {2, 2, true}, {3, 7, false}, {7, 7, true}};
    for (const auto& c : cases) {
        auto node = FsTreeNode(c.builtWith, {ExtentEntry(20, 0, 4096, 99)});
        put16(node, 32, c.readAs);
        auto r = Records(node);
        bool ok = r.size() == 1 && r[0].physicalBlock == 99 && r[0].length == 4096;
        EXPECT_EQ(ok, c.found) << c.builtWith << " read as " << c.readAs;
    }
}

TEST(APFSFsTree, ShortValuesAreIgnored) {
    auto r = Records(FsTreeNode(
        2, {InodeEntry(20, 2, 0x81A4, "a", 1, 99), ExtentEntry(20, 0, 4096, 5, 15), DirEntry(2, "b", 21, 8, 0, 17),
            InodeEntry(22, 2, 0x81A4, "c", 1, 100), ExtentEntry(22, 0, 4096, 6, 16), DirEntry(2, "d", 22, 8, 0, 18)}));
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].oid, 22u);
    EXPECT_EQ(r[1].physicalBlock, 6u);
    EXPECT_EQ(r[2].name, "d");
}

TEST(APFSFsTree, NameLengthUsesLowNineBits) {
    auto r = Records(FsTreeNode(2, {DirEntry(2, "abcdefghijklmnop", 21, 8, 0x20A)}));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].name, "abcdefghij");
}

TEST(APFSFsTree, LengthsReachingPastTheBlockAreIgnored) {
    auto good = FsTreeNode(2, {ExtentEntry(20, 0, 4096, 99)});
    struct Case {
        const char* what;
        std::size_t field;
        std::uint16_t value;
    } cases[] = {
        {"value length past the end", 56 + 6, 200}, {"value offset past the start", 56 + 4, 5000},
        {"value offset zero", 56 + 4, 0},           {"key length past the end", 56 + 2, 4000},
        {"key offset past the end", 56, 4000},
    };
    for (const auto& c : cases) {
        auto node = good;
        put16(node, c.field, c.value);
        EXPECT_TRUE(Records(node).empty()) << c.what;
    }
    // A directory record whose name length runs past its key.
    auto dir = FsTreeNode(2, {DirEntry(2, "ab", 21, 8, 0x1FF)});
    EXPECT_TRUE(Records(dir).empty());
    // A name extended field longer than its inode value.
    auto ino = InodeEntry(20, 2, 0x81A4, "name", 1);
    put16(ino.value, 98, 0x1F0);
    auto r = Records(FsTreeNode(2, {ino}));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_FALSE(r[0].hasName);
    // A node claiming 1024 keys is not read at all; 4000 keys stop at the block end.
    auto many = good;
    put32(many, 36, 1024);
    EXPECT_TRUE(Records(many).empty());
}

TEST(APFSFsTree, CallerStopsTheWalk) {
    auto node = FsTreeNode(2, {ExtentEntry(20, 0, 4096, 1), ExtentEntry(20, 4096, 4096, 2)});
    int seen = 0;
    ReadFsTreeRecords(node.data(), node.size(), [&](const APFSRecord&) {
        ++seen;
        return false;
    });
    EXPECT_EQ(seen, 1);
}

TEST(APFSObjectMap, ChildrenByNodeFlags) {
    // Index nodes (4, root 5): 4-byte entries, 8-byte child addresses.
    for (std::uint16_t flags : {4, 5}) {
        auto b = ObjectHeader(9, 3, 11);
        put16(b, 32, flags);
        put32(b, 36, 2);
        put16(b, 42, 8);
        const std::size_t trailer = flags == 5 ? 40 : 0;
        put16(b, 56, 0);
        put16(b, 58, 8);
        put16(b, 60, 16);
        put16(b, 62, 16);
        put64(b, 4096 - trailer - 8, 111);
        put64(b, 4096 - trailer - 16, 222);
        std::vector<std::uint64_t> kids;
        CollectObjectMapChildren(b.data(), b.size(), kids);
        EXPECT_EQ(kids, (std::vector<std::uint64_t>{111, 222})) << flags;
        if (flags == 5) continue;
        // An address that would end past the block is skipped.
        put16(b, 58, 4);
        kids.clear();
        CollectObjectMapChildren(b.data(), b.size(), kids);
        EXPECT_EQ(kids, (std::vector<std::uint64_t>{222})) << flags;
    }
    // Root leaf (7): 16-byte values before the trailer, address last.
    {
        auto b = ObjectHeader(9, 3, 11);
        put16(b, 32, 7);
        put32(b, 36, 3);
        put16(b, 42, 12);
        put16(b, 58, 16);
        put16(b, 62, 32);
        put16(b, 66, 4090);  // outside: ends the node
        put64(b, 4096 - 40 - 16 + 8, 333);
        put64(b, 4096 - 40 - 32 + 8, 444);
        std::vector<std::uint64_t> kids;
        CollectObjectMapChildren(b.data(), b.size(), kids);
        EXPECT_EQ(kids, (std::vector<std::uint64_t>{333, 444}));
    }
    // Plain leaf (6): any value of flags 0, size 4096 above the key area.
    {
        auto b = ObjectHeader(9, 3, 11);
        put16(b, 32, 6);
        put16(b, 42, 64);
        put64(b, 4096 - 16, 0x0000100000000000ull);
        put64(b, 4096 - 8, 555);
        put64(b, 4096 - 48, 0x0000100000000000ull);
        put64(b, 4096 - 40, 666);
        put64(b, 4096 - 64, 0x0000200000000000ull);
        put64(b, 4096 - 56, 777);
        std::vector<std::uint64_t> kids;
        CollectObjectMapChildren(b.data(), b.size(), kids);
        EXPECT_EQ(kids, (std::vector<std::uint64_t>{555, 666}));
    }
}
