#include <gtest/gtest.h>
#include <pthread.h>

#include <memory>
#include <vector>

#include "TestNode.h"
#include "foundation/DataRun.h"

namespace {

std::vector<IFileNode*> Children(CFileNode& n) {
    std::vector<IFileNode*> out;
    for (IFileNode* c = n.GetFirstChild(); c; c = c->GetNextNode()) out.push_back(c);
    return out;
}

}  // namespace

TEST(FileNode, NewNodeIsShownUncheckedWithoutPartitionOrMetadata) {
    TestNode n;
    EXPECT_EQ(n.GetStatusWord(), 0xFFFFFFFFFFFFFF10ull);
    EXPECT_EQ(n.IsNodeShow(), 1);
    EXPECT_EQ(n.GetCheckedStatus(), CHECKED_NONE);
    EXPECT_EQ(n.GetBelongedPartition(), 0xFFFF);
    EXPECT_EQ(n.GetMetadataStartPosition(), -1);
    EXPECT_EQ(n.GetCurrentNodeID(), -1);
    EXPECT_EQ(n.GetParentNodeID(), -1);
    EXPECT_EQ(n.GetVolumeName(), nullptr);
    EXPECT_EQ(n.CreateCompressFileReader(nullptr), nullptr);
    EXPECT_EQ(CFileNode::kNoPartition, n.GetBelongedPartition());
}

TEST(FileNode, AddChildRefusesNullSelfAndAncestors) {
    TestNode root("root", true), mid("mid", true), leaf("leaf");
    ASSERT_EQ(root.AddChild(&mid), 1);
    ASSERT_EQ(mid.AddChild(&leaf), 1);
    struct Case {
        CFileNode* parent;
        IFileNode* child;
    } refused[] = {{&leaf, nullptr}, {&leaf, &leaf}, {&leaf, &mid}, {&leaf, &root}, {&mid, &root}};
    for (const Case& c : refused) {
        EXPECT_EQ(c.parent->AddChild(c.child), 0);
    }
    // Links are as they were.
    EXPECT_EQ(root.GetParent(), nullptr);
    EXPECT_EQ(mid.GetParent(), &root);
    EXPECT_EQ(leaf.GetParent(), &mid);
    EXPECT_EQ(leaf.GetFirstChild(), nullptr);
    EXPECT_EQ(Children(root), std::vector<IFileNode*>{&mid});
    EXPECT_EQ(Children(mid), std::vector<IFileNode*>{&leaf});
    EXPECT_EQ(root.GetShownChildrenCount(), 1u);
    EXPECT_EQ(mid.GetShownChildrenCount(), 1u);
}

TEST(FileNode, ChildrenComeBackNewestFirstAndAddNextInsertsBehind) {
    TestNode dir("d", true), a("a"), b("b"), c("c"), x("x");
    dir.AddChild(&a);
    dir.AddChild(&b);
    dir.AddChild(&c);
    EXPECT_EQ(Children(dir), (std::vector<IFileNode*>{&c, &b, &a}));
    EXPECT_EQ(dir.GetShownChildrenCount(), 3u);
    EXPECT_EQ(c.AddNext(&x), 1);
    EXPECT_EQ(Children(dir), (std::vector<IFileNode*>{&c, &x, &b, &a}));
    EXPECT_EQ(c.AddNext(nullptr), 0);
    EXPECT_EQ(c.AddNext(&c), 0);
}

TEST(FileNode, RemoveChildKeepsTheRestOfTheListAndCountsShownOnly) {
    TestNode dir("d", true), a("a"), b("b"), c("c"), other("o");
    dir.AddChild(&a);
    dir.AddChild(&b);
    dir.AddChild(&c);  // list: c, b, a
    b.ShowNode(0);     // b hidden: 2 shown children
    EXPECT_EQ(dir.GetShownChildrenCount(), 2u);

    EXPECT_EQ(dir.RemoveChild(&other), 0);
    EXPECT_EQ(dir.RemoveChild(nullptr), 0);

    EXPECT_EQ(dir.RemoveChild(&c), 1);  // a shown child at the head
    EXPECT_EQ(Children(dir), (std::vector<IFileNode*>{&b, &a}));
    EXPECT_EQ(dir.GetShownChildrenCount(), 1u);
    EXPECT_EQ(c.GetParent(), nullptr);
    EXPECT_EQ(c.GetNextNode(), nullptr);

    EXPECT_EQ(dir.RemoveChild(&b), 1);  // hidden: the count stays
    EXPECT_EQ(Children(dir), std::vector<IFileNode*>{&a});
    EXPECT_EQ(dir.GetShownChildrenCount(), 1u);
    EXPECT_EQ(dir.IsNodeShow(), 1);

    EXPECT_EQ(dir.RemoveChild(&a), 1);
    EXPECT_EQ(dir.GetFirstChild(), nullptr);
    EXPECT_EQ(dir.GetShownChildrenCount(), 0u);
}

TEST(FileNode, CheckPropagatesUpAsPartlyThenFully) {
    TestNode root("r", true), dir("d", true), a("a"), b("b");
    root.AddChild(&dir);
    dir.AddChild(&a);
    dir.AddChild(&b);

    a.SetCheck(CHECKED_ALL);
    EXPECT_EQ(a.GetCheckedStatus(), CHECKED_ALL);
    EXPECT_EQ(dir.GetCheckedStatus(), CHECKED_PART);
    EXPECT_EQ(root.GetCheckedStatus(), CHECKED_PART);

    b.SetCheck(CHECKED_ALL);
    EXPECT_EQ(dir.GetCheckedStatus(), CHECKED_ALL);
    EXPECT_EQ(root.GetCheckedStatus(), CHECKED_ALL);

    a.SetCheck(CHECKED_NONE);
    EXPECT_EQ(dir.GetCheckedStatus(), CHECKED_PART);
    EXPECT_EQ(root.GetCheckedStatus(), CHECKED_PART);
    b.SetCheck(CHECKED_NONE);
    EXPECT_EQ(dir.GetCheckedStatus(), CHECKED_NONE);
    EXPECT_EQ(root.GetCheckedStatus(), CHECKED_NONE);
    EXPECT_EQ(root.GetCheckedChildrenSum(), 0u);
}

TEST(FileNode, CheckingAFolderReachesShownDescendantsOnly) {
    TestNode root("r", true), dir("d", true), sub("s", true), a("a"), hidden("h"), deep("x"), hiddenDeep("hx");
    root.AddChild(&dir);
    dir.AddChild(&a);
    dir.AddChild(&hidden);
    dir.AddChild(&sub);
    sub.AddChild(&deep);
    hidden.AddChild(&hiddenDeep);
    hidden.ShowNode(0);
    hiddenDeep.ShowNode(0);

    dir.SetCheck(CHECKED_ALL);
    EXPECT_EQ(dir.GetCheckedStatus(), CHECKED_ALL);
    EXPECT_EQ(sub.GetCheckedStatus(), CHECKED_ALL);
    EXPECT_EQ(deep.GetCheckedStatus(), CHECKED_ALL);
    EXPECT_EQ(a.GetCheckedStatus(), CHECKED_ALL);
    EXPECT_EQ(hidden.GetCheckedStatus(), CHECKED_NONE);
    EXPECT_EQ(hiddenDeep.GetCheckedStatus(), CHECKED_NONE);
    EXPECT_EQ(root.GetCheckedStatus(), CHECKED_ALL);

    // A hidden node ignores checks and keeps its mark when its folder changes.
    hidden.SetCheck(CHECKED_ALL);
    EXPECT_EQ(hidden.GetCheckedStatus(), CHECKED_NONE);
    hidden.ShowNode(1);
    hidden.SetCheck(CHECKED_ALL);
    hidden.ShowNode(0);
    dir.SetCheck(CHECKED_NONE);
    EXPECT_EQ(hidden.GetCheckedStatus(), CHECKED_ALL);
    EXPECT_EQ(a.GetCheckedStatus(), CHECKED_NONE);
    EXPECT_EQ(deep.GetCheckedStatus(), CHECKED_NONE);
    EXPECT_EQ(root.GetCheckedStatus(), CHECKED_NONE);

    // Only 0 and 2 are set from outside; 3 and above are ignored.
    a.SetCheck(static_cast<_tagCheckedStatus>(3));
    EXPECT_EQ(a.GetCheckedStatus(), CHECKED_NONE);
}

TEST(FileNode, HidingTheOnlyShownChildHidesTheFoldersAbove) {
    TestNode root("r", true), dir("d", true), other("o"), leaf("l");
    root.AddChild(&dir);
    dir.AddChild(&leaf);

    leaf.ShowNode(0);
    EXPECT_EQ(dir.IsNodeShow(), 0);
    EXPECT_EQ(root.IsNodeShow(), 0);
    leaf.ShowNode(0);  // no change, no double count
    EXPECT_EQ(dir.GetShownChildrenCount(), 0u);

    leaf.ShowNode(1);
    EXPECT_EQ(dir.IsNodeShow(), 1);
    EXPECT_EQ(root.IsNodeShow(), 1);

    root.AddChild(&other);  // a second shown child keeps the root shown
    leaf.ShowNode(0);
    EXPECT_EQ(dir.IsNodeShow(), 0);
    EXPECT_EQ(root.IsNodeShow(), 1);
    EXPECT_EQ(root.GetShownChildrenCount(), 1u);
}

namespace {

// Runs `fn` on a thread with the 2 MiB stack of a scan worker.
void RunOnScanStack(void (*fn)(void*), void* arg) {
    struct Call {
        void (*fn)(void*);
        void* arg;
    } call{fn, arg};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 2 * 1024 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void* p) -> void* {
                      auto* c = static_cast<Call*>(p);
                      c->fn(c->arg);
                      return nullptr;
                  },
                  &call),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

}  // namespace

TEST(FileNode, VeryDeepChainsPropagateWithoutRecursion) {
    constexpr int kDepth = 50000;
    std::vector<std::unique_ptr<TestNode>> chain;
    chain.reserve(kDepth);
    for (int i = 0; i < kDepth; ++i) chain.push_back(std::make_unique<TestNode>("n", i + 1 < kDepth));
    // Linked from the leaf upwards, so each loop check starts at a root.
    for (int i = kDepth - 2; i >= 0; --i) ASSERT_EQ(chain[i]->AddChild(chain[i + 1].get()), 1);
    RunOnScanStack(
        [](void* p) {
            auto& c = *static_cast<std::vector<std::unique_ptr<TestNode>>*>(p);
            c.back()->SetCheck(CHECKED_ALL);
            c.front()->SetCheck(CHECKED_NONE);
            c.front()->SetCheck(CHECKED_ALL);
            c.back()->ShowNode(0);
            // Adding the root under the leaf walks the whole chain.
            c.back()->AddChild(c.front().get());
        },
        &chain);
    EXPECT_EQ(chain.front()->GetCheckedStatus(), CHECKED_ALL);
    EXPECT_EQ(chain[kDepth / 2]->GetCheckedStatus(), CHECKED_ALL);
    EXPECT_EQ(chain.front()->IsNodeShow(), 0);
    EXPECT_EQ(chain.front()->GetParent(), nullptr);
}

TEST(FileNode, MetadataSectorRoundTripsAndKeepsTheLowBits) {
    const std::int64_t values[] = {-(1ll << 39), -1, 0, 1, 2048, (1ll << 39) - 1};
    for (std::int64_t v : values) {
        TestNode dir("d", true), n;
        dir.AddChild(&n);
        n.SetCheck(CHECKED_ALL);
        n.SetBelongedPartition(0x1234);
        const std::uint64_t low = n.GetStatusWord() & 0xFFFFFF;
        n.SetMetaDataSector(v);
        EXPECT_EQ(n.GetMetadataStartPosition(), v);
        EXPECT_EQ(n.GetStatusWord() & 0xFFFFFF, low);
        EXPECT_EQ(n.GetCheckedStatus(), CHECKED_ALL);
        EXPECT_EQ(n.IsNodeShow(), 1);
        EXPECT_EQ(n.GetBelongedPartition(), 0x1234);
    }
}

TEST(FileNode, FilterFileNameByDotKeepsTheNameAsOnDisk) {
    // Hidden names are user data on Linux: nothing is stripped.
    for (const char* name : {".ssh", ".config", "..a.b", " ..name", "name", "a .", "", " . ."})
        EXPECT_EQ(CFileNode::FilterFileNameByDot(name), name) << name;
    TestNode n(".bashrc");
    n.FilterFileNameByDot();
    EXPECT_STREQ(n.GetFileName(), ".bashrc");
}

TEST(FileNode, EqualityRulesAndTheFatLongNameFixUp) {
    struct Side {
        const char* name;
        bool dir;
        _tagSearcherType type;
        std::uint16_t partition;
        std::int64_t ctime;
        std::int64_t size;
    };
    struct Case {
        const char* what;
        Side left, right;
        bool equal;
        int adopted;  // AdoptPropertiesFrom calls on the left node
    } cases[] = {
        {"folders", {"a", true, SEARCHER_NTFS, 1, 0, 0}, {"a", true, SEARCHER_NTFS, 2, 5, 9}, true, 0},
        {"same partition", {"a", false, SEARCHER_NTFS, 1, 0, 0}, {"a", false, SEARCHER_NTFS, 1, 5, 9}, true, 0},
        {"other partition", {"a", false, SEARCHER_NTFS, 1, 0, 0}, {"a", false, SEARCHER_NTFS, 2, 0, 0}, false, 0},
        {"hfs same time and size",
         {"a", false, SEARCHER_HFSPLUS, 1, 7, 9},
         {"a", false, SEARCHER_HFSPLUS, 2, 7, 9},
         true,
         0},
        {"hfs other size", {"a", false, SEARCHER_HFSPLUS, 1, 7, 9}, {"a", false, SEARCHER_HFSPLUS, 2, 7, 8}, false, 0},
        {"file vs folder", {"a", false, SEARCHER_NTFS, 1, 0, 0}, {"a", true, SEARCHER_NTFS, 1, 0, 0}, false, 0},
        {"names differ", {"a", false, SEARCHER_NTFS, 1, 0, 0}, {"b", false, SEARCHER_NTFS, 1, 0, 0}, false, 0},
        {"fat folder renamed",
         {"LONGNA~1", true, SEARCHER_FAT, 1, 10, 0},
         {"Long name", true, SEARCHER_FAT, 1, 10, 0},
         false,
         1},
        {"fat folder renamed, older",
         {"LONGNA~1", true, SEARCHER_FAT, 1, 10, 0},
         {"Long name", true, SEARCHER_FAT, 1, 9, 0},
         false,
         0},
        {"fat file renamed", {"A~1", false, SEARCHER_FAT, 1, 10, 0}, {"Abc", false, SEARCHER_FAT, 1, 10, 0}, false, 0},
        {"exfat folder renamed",
         {"a", true, SEARCHER_EXFAT, 1, 10, 0},
         {"b", true, SEARCHER_EXFAT, 1, 10, 0},
         false,
         0},
    };
    for (const Case& c : cases) {
        auto make = [](const Side& s) {
            auto n = std::make_unique<TestNode>(s.name, s.dir, s.type, 42);
            n->SetParentId(5);
            n->SetBelongedPartition(s.partition);
            n->m_ctime = s.ctime;
            n->m_size = s.size;
            return n;
        };
        auto left = make(c.left), right = make(c.right);
        EXPECT_EQ(*left == *right, c.equal) << c.what;
        EXPECT_EQ(left->m_adopted, 0) << c.what << ": operator== has no side effect";
        EXPECT_EQ(left->IsDuplicateOf(*right), c.equal) << c.what;
        EXPECT_EQ(left->m_adopted, c.adopted) << c.what;
    }
    TestNode a("a", false, SEARCHER_NTFS, 1), b("a", false, SEARCHER_NTFS, 2);
    EXPECT_FALSE(a == b);
    TestNode p("a", false, SEARCHER_NTFS, 1), q("a", false, SEARCHER_NTFS, 1);
    q.SetParentId(9);
    EXPECT_FALSE(p == q);
}

TEST(FileNode, CopiesAndMergesOwnTheirRunLists) {
    TestNode a("a"), b("b");
    IDataRunList* runs = CreateDataRunList();
    DataRun r{100, 8};
    runs->AddDataRun(&r);
    a.SetRuns(runs);
    a.m_size = 4096;

    TestNode copy(a);  // the copy owns a clone
    ASSERT_NE(copy.GetDataRunList(), nullptr);
    EXPECT_NE(copy.GetDataRunList(), a.GetDataRunList());
    EXPECT_EQ(copy.GetDataRunList()->GetFirst()->start, 100);

    b = a;
    EXPECT_NE(b.GetDataRunList(), a.GetDataRunList());
    EXPECT_STREQ(b.GetFileName(), "a");

    TestNode merged("m");
    merged.MergeNode(&a);
    EXPECT_EQ(merged.GetDataRunList(), runs);
    EXPECT_EQ(a.GetDataRunList(), nullptr);
    EXPECT_EQ(merged.GetFileSize(), 4096);
    merged.MergeNode(nullptr);
    EXPECT_EQ(merged.GetDataRunList(), runs);
}
