#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "apfs/APFSFileNode.h"
#include "foundation/DataRun.h"

namespace {
void SetName(APFSFileNode& n, const std::string& stored) { n.SetName(stored.data(), stored.size()); }
std::string Z(const char* s) { return std::string(s) + std::string(1, '\0'); }
}  // namespace

TEST(APFSFileNode, NameRule) {
    struct Case {
        std::string stored;
        std::string shown;
        bool deletedFolder;
    } cases[] = {
        {Z(".Trashes"), ".Trashes", true},
        {Z(".TRASHES"), ".TRASHES", true},
        {Z("..x"), "..x", false},
        {Z(".DS_Store"), "", false},
        {Z(".ds_store"), "", false},
        {Z("plain.txt"), "plain.txt", false},
        {Z("."), ".", false},
        {".", ".", false},
        {Z("Trashes"), "Trashes", true},
        {Z(".ssh"), ".ssh", false},
        {Z(".Trashesx"), ".Trashesx", false},
    };
    for (const auto& c : cases) {
        APFSFileNode n;
        SetName(n, c.stored);
        EXPECT_STREQ(n.GetFileName(), c.shown.c_str()) << c.stored;
        EXPECT_EQ(n.IsDeleted() == -1 && n.IsDirectory() == -1, c.deletedFolder) << c.stored;
    }
}

TEST(APFSFileNode, ExtentsCoverAndGrowTheSize) {
    APFSFileNode n;
    n.SetSize(10000);
    EXPECT_FALSE(n.AddExtent(100, 16, 512, 0));   // 8192 bytes
    EXPECT_TRUE(n.AddExtent(116, 8, 512, 8192));  // 12288 in all
    EXPECT_EQ(n.GetFileSize(), 10000);
    EXPECT_TRUE(n.Flags() & APFSFileNode::kFlagCovered);

    APFSFileNode g;
    g.SetSize(10000);
    g.AddExtent(100, 16, 512, 0);
    g.AddExtent(200, 16, 512, 8192);  // 16384 in all
    EXPECT_EQ(g.GetFileSize(), 16384);

    // A second extent at an offset already mapped, with another first sector.
    APFSFileNode d;
    d.SetSize(100000);
    d.AddExtent(100, 8, 512, 0);
    d.AddExtent(100, 8, 512, 4096);
    d.AddExtent(900, 16, 512, 4096);
    ASSERT_EQ(d.Extents().size(), 2u);
    EXPECT_EQ(d.Extents().at(4096).start, 100);
    // The same first sector with a longer count takes the new count.
    d.AddExtent(100, 24, 512, 4096);
    EXPECT_EQ(d.Extents().at(4096).length, 24);
    // The run list follows the map; touching runs merge.
    IDataRunList* runs = d.GetDataRunList();
    ASSERT_TRUE(runs);
    DataRun* r = runs->GetFirst();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->start, 100);
    EXPECT_EQ(r->length, 8);
    r = runs->GetNext();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->length, 24);
}

TEST(APFSFileNode, ReadinessAndTimes) {
    APFSFileNode extentOnly;
    extentOnly.AddExtent(100, 8, 512, 0);
    EXPECT_FALSE(extentOnly.ReadyToHandOver(false));
    EXPECT_FALSE(extentOnly.ReadyToHandOver(true));

    APFSFileNode f;
    f.SetBelongedPartition(0);
    SetName(f, Z("a.txt"));
    f.SetTimes(1000000000ull * 86400, 0, 0);
    EXPECT_FALSE(f.ReadyToHandOver(false));  // no parent known yet
    EXPECT_TRUE(f.ReadyToHandOver(true));
    EXPECT_EQ(f.GetParentNodeID(), 3);
    EXPECT_EQ(f.GetCreationTime(), APFSFileNode::kUnixEpochAs1601 + 86400ll * 10000000);
    EXPECT_EQ(f.GetModificationTime(), 0x19DB1DED53E8000ll);
    EXPECT_EQ(f.GetAttribute(), 32u);
    EXPECT_EQ(f.GetSearcheType(), SEARCHER_DEFAULT);
    EXPECT_EQ(f.GetFileSystemSearcherType(), SEARCHER_APFS);

    APFSFileNode root;
    root.SetParentNodeID(1);
    EXPECT_EQ(root.GetParentNodeID(), static_cast<std::int64_t>((std::uint64_t{0xFFFF} << 32) | 2));
}

TEST(APFSFileNode, TwinFoldersMerge) {
    APFSFileNode parent, a, b, file;
    parent.SetNodeId(10);
    for (APFSFileNode* n : {&a, &b}) {
        n->SetFolder(true);
        SetName(*n, Z("docs"));
    }
    SetName(file, Z("x"));
    APFSFileNode::LinkUnderFolder(&parent, &a);
    APFSFileNode::LinkUnderFolder(&parent, &b);
    EXPECT_EQ(b.Twin(), &a);
    EXPECT_TRUE(b.Flags() & APFSFileNode::kFlagMerged);
    EXPECT_EQ(parent.FirstChildNode(), &a);
    EXPECT_EQ(a.NextSiblingNode(), nullptr);
    EXPECT_EQ(b.GetParentNodeID(), 10);
    // Children linked under the merged twin go to the folder it merged into.
    a.SetNodeId(11);
    APFSFileNode::LinkUnderFolder(&b, &file);
    EXPECT_EQ(file.ParentFolder(), &a);
    EXPECT_EQ(file.GetParentNodeID(), 11);
}
