// The outline by type: categories from a FileType.plist, extension folders
// under their category's root, incremental filing from the scan bridge's
// type lists, folder check marks, clearing, and the 16 x 16 icons.
#include <gtest/gtest.h>

#include <QFile>
#include <mutex>

#include "ModelTestSupport.h"
#include "model/QXPublic.h"
#include "model/QXUIScan.h"
#include "model/TreeStore.h"
#include "model/qt/QXTypeMgr.h"

using namespace model_test;

namespace {

// Categories as a plist of the model would list them: "both" under the
// picture and the music bit, no key for e-mail at all.
const char kPlist[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>1</key><array><string>txt</string><string>doc</string></array>
<key>2</key><array><string>jpg</string><string>both</string></array>
<key>4</key><array><string>mp4</string></array>
<key>8</key><array><string>mp3</string><string>both</string></array>
<key>16</key><array><string>zip</string></array>
</dict></plist>)";

void LoadModelPlist() {
    QFile file(":/quillory/model/FileType.plist");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    ASSERT_TRUE(QXTypeMgr::share().init(file.readAll()));
}

class TypeTree : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool types = (initFileType(), true);
        (void)types;
        ASSERT_TRUE(types_.init(QByteArray(kPlist)));
        types_.SetScan(&scan);
        std::lock_guard lock(treeLock);
        previousStore = types_.SetTreeStore(&store);
        types_.clear();
    }
    void TearDown() override {
        {
            std::lock_guard lock(treeLock);
            types_.clear();
            types_.SetTreeStore(previousStore);
        }
        types_.SetScan(nullptr);
        LoadModelPlist();
    }
    FakeNode* File(const std::string& name) { return tree.Add(nullptr, name, false); }
    void Show(std::vector<IFileNode*> batch) { scan.ShowNodesResult(batch.data(), static_cast<unsigned>(batch.size())); }
    void Refresh() {
        std::lock_guard lock(treeLock);
        types_.refreshTypeTree();
    }
    // The file entries directly under a row.
    static std::vector<IFileNode*> Files(const OpNodeData* row) {
        std::vector<IFileNode*> files;
        if (row != nullptr)
            for (const OpChild& child : row->children())
                if (child.file != nullptr) files.push_back(child.file);
        return files;
    }
    // The names of the folders directly under a root.
    static std::vector<std::string> Folders(const OpNodeData* root) {
        std::vector<std::string> names;
        for (const OpChild& child : root->children())
            if (child.obj != nullptr) names.push_back(child.obj->name());
        return names;
    }

    QXTypeMgr& types_ = QXTypeMgr::share();
    TreeStore* previousStore = nullptr;
    QXUIScan scan;
    std::mutex treeLock;
    TreeStore store{TreeLockRef(treeLock)};
    NodeTree tree;
};

TEST_F(TypeTree, FilesGoToTheirExtensionFolderUnderTheirCategory) {
    struct Case {
        const char* name;
        unsigned root;       // category root the file ends under
        const char* folder;  // its extension folder; "" directly under the root
    };
    const Case cases[] = {
        {"letter.txt", 1, "txt"},   {"SHOUT.TXT", 1, "txt"}, {"memo.doc", 1, "doc"},
        {"photo.jpg", 2, "jpg"},    {"film.mp4", 4, "mp4"},  {"song.mp3", 8, "mp3"},
        {"twice.both", 8, "both"},  // listed under 2 and 8: the higher bit
        {"pack.zip", 16, "zip"},    {"odd.qzx", 64, ""},     {"README", 64, ""},
        {"mail.eml", 64, ""},  // no e-mail key in this plist
    };
    std::vector<IFileNode*> batch;
    for (const Case& c : cases) batch.push_back(File(c.name));
    Show(batch);
    Refresh();

    std::lock_guard lock(treeLock);
    const std::vector<OpNodeData*> roots = types_.getRootNode();
    ASSERT_EQ(roots.size(), 7u);
    const unsigned bits[] = {1, 2, 4, 8, 16, 32, 64};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(roots[i], types_.rootOf(bits[i]));
        EXPECT_EQ(roots[i]->type(), kOpTreeType);
        EXPECT_TRUE(roots[i]->isFadeNode());
        EXPECT_EQ(roots[i]->isExpandAble(), 1u);
        EXPECT_FALSE(roots[i]->name().empty()) << bits[i];
        EXPECT_EQ(types_.isOtherNode(roots[i]), bits[i] == 64);
    }
    EXPECT_EQ(Folders(types_.rootOf(1)), (std::vector<std::string>{"txt", "doc"}));
    EXPECT_EQ(Folders(types_.rootOf(2)), (std::vector<std::string>{"jpg"}));
    EXPECT_EQ(Folders(types_.rootOf(8)), (std::vector<std::string>{"mp3", "both"}));
    EXPECT_TRUE(Folders(types_.rootOf(32)).empty());
    EXPECT_TRUE(Folders(types_.rootOf(64)).empty());
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        OpNodeData* root = types_.rootOf(c.root);
        const OpNodeData* holder = *c.folder ? types_.folderOf(c.folder) : root;
        ASSERT_NE(holder, nullptr) << c.name;
        const std::vector<IFileNode*> files = Files(holder);
        EXPECT_NE(std::find(files.begin(), files.end(), batch[i]), files.end()) << c.name;
        if (*c.folder) {
            EXPECT_EQ(holder->parent(), root) << c.name;
            EXPECT_EQ(holder->type(), kOpTreeType);
            EXPECT_EQ(holder->nodeType(), 8) << c.name;
        }
    }
    EXPECT_EQ(Files(types_.folderOf("txt")).size(), 2u);
    EXPECT_EQ(Files(types_.rootOf(64)).size(), 3u);
}

// Each refresh files what came since the last one, each file once; a file
// hidden when it is looked at is passed for good, unless it was the last
// one looked at in its category.
TEST_F(TypeTree, IncrementalRefreshesFileEachShownFileOnce) {
    FakeNode* a = File("a.txt");
    FakeNode* hidden = File("hidden.txt");
    FakeNode* b = File("b.txt");
    FakeNode* lastHidden = File("last.jpg");
    hidden->ShowNode(0);
    lastHidden->ShowNode(0);
    Show({a, hidden, b, lastHidden});
    Refresh();
    Refresh();  // nothing new: nothing added
    {
        std::lock_guard lock(treeLock);
        EXPECT_EQ(Files(types_.folderOf("txt")), (std::vector<IFileNode*>{a, b}));
        EXPECT_EQ(types_.folderOf("jpg"), nullptr);
    }
    FakeNode* c = File("c.txt");
    Show({c});
    hidden->ShowNode(1);
    lastHidden->ShowNode(1);
    Refresh();
    Refresh();
    std::lock_guard lock(treeLock);
    EXPECT_EQ(Files(types_.folderOf("txt")), (std::vector<IFileNode*>{a, b, c}));
    EXPECT_EQ(Files(types_.folderOf("jpg")), (std::vector<IFileNode*>{lastHidden}));
}

// A refresh filed a few nodes at a time ends with the outline one refresh
// makes, each file once, whatever happens between two slices: nothing, a
// reset that stops it (the next refresh goes on from there), or another
// refresh that takes the lock meanwhile (it goes on, this one stops).
TEST_F(TypeTree, SlicedRefreshEndsWithTheSameOutline) {
    std::vector<IFileNode*> batch;
    const char* names[] = {"a.txt", "b.jpg", "c.qzx", "d.txt", "e.mp3", "f.both", "g.zip",
                           "README", "h.jpg", "i.doc", "j.mp4", "k.txt", "l.eml"};
    for (int round = 0; round < 3; ++round)
        for (const char* name : names) batch.push_back(File(std::to_string(round) + name));
    batch[4]->ShowNode(0);
    batch[17]->ShowNode(0);
    Show(batch);
    // Every root's folders with their files, and its own files.
    auto outline = [&] {
        std::lock_guard lock(treeLock);
        std::vector<std::string> lines;
        for (OpNodeData* root : types_.getRootNode())
            for (const OpChild& child : root->children()) {
                std::string line = root->name() + "/";
                if (child.obj != nullptr) {
                    line += child.obj->name() + ":";
                    for (IFileNode* file : Files(child.obj)) line += std::string(" ") + file->GetFileName();
                } else {
                    line += child.file->GetFileName();
                }
                lines.push_back(line);
            }
        return lines;
    };
    Refresh();
    const std::vector<std::string> whole = outline();
    ASSERT_EQ(whole.size(), 16u);  // 7 folders, 9 files under "other"

    enum Between { kGoOn, kStopOnce, kOtherRefresh };
    for (Between between : {kGoOn, kStopOnce, kOtherRefresh}) {
        {
            std::lock_guard lock(treeLock);
            types_.clear();
        }
        int calls = 0;
        types_.SetSlicing(4, [&] {
            if (++calls != 2) return true;
            if (between == kOtherRefresh) types_.refreshTypeTree();
            return between != kStopOnce;
        });
        Refresh();
        if (between == kStopOnce) {
            EXPECT_NE(outline(), whole);
            Refresh();
        }
        types_.SetSlicing(0, {});
        EXPECT_GE(calls, 2) << between;
        EXPECT_EQ(outline(), whole) << between;
    }
}

// Clearing, a search and a reset of the outlines each start the tree over:
// the next refresh files every (shown) file again, once.
TEST_F(TypeTree, ClearSearchAndResetFileEverythingAnew) {
    FakeNode* a = File("a.txt");
    FakeNode* b = File("b.txt");
    FakeNode* odd = File("odd.qzx");
    Show({a, b, odd});
    Refresh();
    const std::function<void()> restarts[] = {
        [&] { types_.clear(); },
        [&] {
            b->ShowNode(0);  // a search that hides b
            types_.setSearch(true);
        },
        [&] {
            b->ShowNode(1);
            store.Retire();  // the outlines were reset
        },
    };
    const std::vector<IFileNode*> expected[] = {{a, b}, {a}, {a, b}};
    for (size_t i = 0; i < std::size(restarts); ++i) {
        {
            std::lock_guard lock(treeLock);
            restarts[i]();
            if (i != 2) {
                EXPECT_TRUE(Folders(types_.rootOf(1)).empty()) << i;
                EXPECT_TRUE(Files(types_.rootOf(64)).empty()) << i;
            }
        }
        Refresh();
        Refresh();
        std::lock_guard lock(treeLock);
        EXPECT_EQ(Files(types_.folderOf("txt")), expected[i]) << i;
        EXPECT_EQ(Folders(types_.rootOf(1)), (std::vector<std::string>{"txt"})) << i;
        EXPECT_EQ(Files(types_.rootOf(64)), (std::vector<IFileNode*>{odd})) << i;
        EXPECT_EQ(types_.isSearch(), i >= 1) << i;  // a reset alone ends no search
    }
}

TEST_F(TypeTree, FolderCheckMarksFollowTheirFiles) {
    struct Case {
        std::vector<int> marks;
        int state;
    };
    const Case cases[] = {{{2, 2, 2}, 2}, {{2, 0, 2}, 1}, {{0, 0, 0}, 0}, {{2}, 2}};
    for (const Case& c : cases) {
        scan.ClearData();  // a new scan each time
        {
            std::lock_guard lock(treeLock);
            types_.clear();
        }
        std::vector<IFileNode*> batch;
        for (size_t i = 0; i < c.marks.size(); ++i) {
            batch.push_back(File("f" + std::to_string(i) + ".txt"));
            batch.push_back(File("g" + std::to_string(i) + ".qzx"));
            batch[batch.size() - 2]->SetCheck(static_cast<_tagCheckedStatus>(c.marks[i]));
            batch.back()->SetCheck(static_cast<_tagCheckedStatus>(c.marks[i]));
        }
        Show(batch);
        Refresh();
        std::lock_guard lock(treeLock);
        OpNodeData* folder = types_.folderOf("txt");
        ASSERT_NE(folder, nullptr);
        types_.setNodeState(folder);
        EXPECT_EQ(folder->state(), c.state);
        EXPECT_EQ(types_.rootOf(1)->state(), 0);  // its root keeps its mark
        // The whole tree on demand: extension folders and the root of others.
        EXPECT_EQ(types_.rootOf(64)->state(), 0);
        types_.refreshTypeTreeState();  // cleared marks it for recomputing
        EXPECT_EQ(types_.rootOf(64)->state(), c.state);
        for (IFileNode* file : batch) file->SetCheck(CHECKED_NONE);
        types_.refreshTypeTreeState();  // not marked again: nothing changes
        EXPECT_EQ(types_.rootOf(64)->state(), c.state);
        types_.QXSetNeedRefreshTree();
        types_.refreshTypeTreeState();
        EXPECT_EQ(types_.rootOf(64)->state(), 0);
        EXPECT_EQ(folder->state(), 0);
    }
}

TEST_F(TypeTree, TypeStringsOfTheCategories) {
    EXPECT_EQ(types_.getTypeString(1), "txt;doc");
    EXPECT_EQ(types_.getTypeString(8), "mp3;both");
    // A bit the plist does not list, and bits that are no category.
    for (unsigned bit : {32u, 64u, 3u}) EXPECT_TRUE(types_.getTypeString(bit).isEmpty()) << bit;
}

TEST_F(TypeTree, IconsAreSixteenBySixteenForListedExtensions) {
    LoadModelPlist();  // the icons of the model's own list, as at start
    for (const char* extension : {"txt", "jpg", "mp4", "mp3", "zip", "eml", "PDF"}) {
        const QImage icon = types_.getImageForType(extension);
        ASSERT_FALSE(icon.isNull()) << extension;
        EXPECT_EQ(icon.size(), QSize(16, 16)) << extension;
    }
    EXPECT_TRUE(types_.getImageForType("qzx").isNull());
    // Any picture is drawn into the asked size; a null one gives null.
    QImage wide(40, 10, QImage::Format_ARGB32);
    wide.fill(Qt::red);
    EXPECT_EQ(QXTypeMgr::imageSize(wide, QSize(16, 16)).size(), QSize(16, 16));
    EXPECT_TRUE(QXTypeMgr::imageSize(QImage(), QSize(16, 16)).isNull());
}

// The bridge's incremental copies that feed both trees: only what lies at and
// beyond the index asked, whatever the order of the asks; lists with
// nothing new are left out.
TEST_F(TypeTree, BridgeCopiesOnlyTheTailsAsked) {
    std::vector<IFileNode*> docs, pictures;
    for (int i = 0; i < 5; ++i) docs.push_back(File("d" + std::to_string(i) + ".txt"));
    for (int i = 0; i < 2; ++i) pictures.push_back(File("p" + std::to_string(i) + ".jpg"));
    for (IFileNode* node : docs) static_cast<FakeNode*>(node)->SetMTime(132000000000000000LL);
    Show(docs);
    Show(pictures);
    const unsigned doc = FILTER_DOCUMENT, picture = FILTER_PICTURES;
    auto tail = [](const std::vector<IFileNode*>& v, size_t from) {
        return std::list<IFileNode*>(v.begin() + static_cast<std::ptrdiff_t>(from), v.end());
    };
    struct Case {
        std::map<unsigned, size_t> from;
        size_t docsFrom, picturesFrom;  // 5 or 2: left out
    };
    const Case cases[] = {
        {{}, 0, 0}, {{{doc, 3}}, 3, 0}, {{{doc, 4}, {picture, 1}}, 4, 1},
        {{{doc, 1}}, 1, 0},  // backwards: from the front again
        {{{doc, 5}, {picture, 2}}, 5, 2}, {{{doc, 9}}, 5, 0},
    };
    for (const Case& c : cases) {
        const QXTypeMap copy = scan.GetTypeMapFrom(c.from);
        EXPECT_EQ(copy.count(doc), c.docsFrom < 5 ? 1u : 0u);
        EXPECT_EQ(copy.count(picture), c.picturesFrom < 2 ? 1u : 0u);
        if (c.docsFrom < 5) EXPECT_EQ(copy.at(doc), tail(docs, c.docsFrom));
        if (c.picturesFrom < 2) EXPECT_EQ(copy.at(picture), tail(pictures, c.picturesFrom));
    }
    // By date: the key is year * 100 + month; only creation, modification
    // and last access have lists.
    int year = 0, month = 0;
    QXCPPPublic::GetYearMonthByFileTime(&year, &month, 132000000000000000LL);
    const QXTimeMap modified = scan.GetTimeMapFrom(3, {{year * 100 + month, 2}});
    ASSERT_EQ(modified.size(), 1u);
    EXPECT_EQ(modified.at(year).at(month), tail(docs, 2));
    EXPECT_TRUE(scan.GetTimeMapFrom(3, {{year * 100 + month, 5}}).empty());
    for (int which : {2, 4, 0, 7}) EXPECT_TRUE(scan.GetTimeMapFrom(which, {}).empty()) << which;
    // A new scan empties the lists; the copies start from the front again.
    scan.ClearData();
    Show({docs[4], docs[3]});
    EXPECT_EQ(scan.GetTypeMapFrom({{doc, 1}}).at(doc), (std::list<IFileNode*>{docs[3]}));
}

}  // namespace
