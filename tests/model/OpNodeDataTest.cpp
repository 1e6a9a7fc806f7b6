// Outline rows over engine nodes and virtual folders: icon kinds, names,
// and check marks carried between folders and the engine's own tri-state.
#include <gtest/gtest.h>

#include <map>

#include "ModelTestSupport.h"
#include "model/OpNodeData.h"

using namespace model_test;

namespace {

// Category titles as the front end names them, for the icon kinds.
void UseTitles() {
    OpNodeData::SetLookups(OpNodeData::Lookups{
        nullptr,
        [](const char* title) -> unsigned {
            static const std::map<std::string, unsigned> bits = {{"Documents", 1}, {"Pictures", 2}, {"Movies", 4},
                                                                 {"Music", 8},     {"Archives", 16}, {"E-mail", 32},
                                                                 {"Other", 64}};
            auto it = bits.find(title);
            return it == bits.end() ? 64u : it->second;
        },
        nullptr,
    });
}

std::unique_ptr<OpNodeData> Folder(const char* name, uint32_t type, OpNodeData* parent = nullptr) {
    auto row = std::make_unique<OpNodeData>(__TreeNodeData__{1, 0, 0, nullptr});
    row->setType(type);
    if (name != nullptr) row->setFadeName(name);
    row->setParent(parent);
    if (parent != nullptr) parent->addChildObject(row.get());
    return row;
}

TEST(OpNodeData, IconKindOfEveryRow) {
    UseTitles();
    NodeTree tree;
    FakeRoot* root = tree.Root("Vol", SEARCHER_FAT);
    FakeNode* file = tree.Add(root, "a.txt", false);
    OpNodeData volumeRow(__TreeNodeData__{1, 0, 1, root});
    OpNodeData fileRow(file);
    OpNodeData bare(__TreeNodeData__{0, 0, 0, nullptr});  // path outline, no node

    auto dateRoot = Folder("Modified", 3);
    auto year = Folder("2019", 3, dateRoot.get());
    auto month = Folder("03", 3, year.get());
    auto createRoot = Folder("Created", 2);
    auto createYear = Folder("2020", 2, createRoot.get());
    auto accessRoot = Folder("Accessed", 4);

    struct Case {
        const OpNodeData* row;
        int kind;
        const char* what;
    };
    std::vector<std::unique_ptr<OpNodeData>> categories;
    std::vector<Case> cases = {
        {&volumeRow, 0, "volume root"}, {&fileRow, 1, "file"},          {&bare, 11, "row without node"},
        {dateRoot.get(), 9, "date root"}, {year.get(), 9, "year"},      {month.get(), 10, "month"},
        {createRoot.get(), 9, "creation root"}, {createYear.get(), 9, "creation year"},
        {accessRoot.get(), 11, "type above 3"},
    };
    const std::pair<const char*, int> titles[] = {{"Documents", 2}, {"Pictures", 3}, {"Movies", 4}, {"Music", 5},
                                                  {"Archives", 6},  {"E-mail", 7},   {"Other", 8},  {"jpg", 8}};
    for (auto& [title, kind] : titles) {
        categories.push_back(Folder(title, 1));
        cases.push_back({categories.back().get(), kind, title});
    }
    for (const Case& c : cases) EXPECT_EQ(c.row->nodeType(), c.kind) << c.what;
    OpNodeData::SetLookups({});
}

TEST(OpNodeData, NamesOfNodesAndFolders) {
    NodeTree tree;
    FakeRoot* root = tree.Root("Vol", SEARCHER_FAT);
    struct Case {
        std::unique_ptr<OpNodeData> row;
        std::string name;
    };
    Case cases[] = {
        {std::make_unique<OpNodeData>(tree.Add(root, "caf\xc3\xa9.txt", false)), "caf\xc3\xa9.txt"},
        {std::make_unique<OpNodeData>(tree.Add(root, "bad\xff\xfe.txt", false)), "Unknown"},
        {Folder("2019", 3), "2019"},
        {Folder(nullptr, 1), "Unknown"},  // a folder never named
        {std::make_unique<OpNodeData>(__TreeNodeData__{}), ""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.row->name(), c.name);
    EXPECT_EQ(OpNodeData::fileNodeName(nullptr), "");
    // Folder rows have no path, time or size of their own.
    EXPECT_EQ(cases[2].row->path(), "");
    EXPECT_EQ(cases[2].row->modifyTime(), "");
    EXPECT_EQ(cases[2].row->size(), 0);
    EXPECT_TRUE(cases[2].row->isDirect());
    EXPECT_TRUE(cases[2].row->IsShow());
}

// A type folder over files, and the same files in the path outline.
struct MarkTree {
    MarkTree() {
        root = tree.Root("Vol", SEARCHER_FAT);
        dir = tree.Add(root, "docs", true);
        for (const char* name : {"a.txt", "b.txt", "c.txt"}) files.push_back(tree.Add(dir, name, false));
        category = Folder("Documents", 1);
        ext = Folder("txt", 1, category.get());
        for (FakeNode* f : files) ext->addChildFile(f);
        empty = Folder("pdf", 1, category.get());
        rootRow = std::make_unique<OpNodeData>(__TreeNodeData__{1, 0, 1, root});
        dirRow = std::make_unique<OpNodeData>(__TreeNodeData__{1, 0, 0, dir});
        dirRow->setParent(rootRow.get());
        rootRow->addChildObject(dirRow.get());
        underType = std::make_unique<OpNodeData>(files[0]);
        underType->setType(1);
        underType->setParent(ext.get());
    }
    NodeTree tree;
    FakeRoot* root;
    FakeNode* dir;
    std::vector<FakeNode*> files;
    std::unique_ptr<OpNodeData> category, ext, empty, rootRow, dirRow, underType;
};

TEST(OpNodeData, CheckMarksBetweenFoldersAndTheEngine) {
    {  // a folder without children keeps what it is given; the engine is untouched
        MarkTree t;
        t.empty->setNodeState(2);
        EXPECT_EQ(t.empty->state(), 2);
        for (FakeNode* f : t.files) EXPECT_EQ(f->GetCheckedStatus(), CHECKED_NONE);
        EXPECT_EQ(t.category->state(), 1);  // one of its two folders checked
    }
    {  // a partial mark stays on the folder and never reaches an engine node
        MarkTree t;
        t.ext->setNodeState(1);
        EXPECT_EQ(t.ext->state(), 1);
        EXPECT_EQ(t.category->state(), 1);
        for (FakeNode* f : t.files) EXPECT_EQ(f->GetCheckedStatus(), CHECKED_NONE);
        OpNodeData::setFileNode(t.files[0], 1);
        OpNodeData::setFileNode(t.files[0], 7);
        EXPECT_EQ(t.files[0]->GetCheckedStatus(), CHECKED_NONE);
    }
    {  // checking a type folder checks exactly its files, and its category sums them
        MarkTree t;
        t.ext->setNodeState(2);
        for (FakeNode* f : t.files) EXPECT_EQ(f->GetCheckedStatus(), CHECKED_ALL);
        EXPECT_EQ(t.dir->GetCheckedStatus(), CHECKED_ALL);  // the engine spread it upwards
        EXPECT_EQ(t.category->state(), 1);                  // "pdf" is still unchecked
        t.empty->setNodeState(2);
        EXPECT_EQ(t.category->state(), 2);
        t.category->setNodeState(0);
        EXPECT_EQ(t.ext->state(), 0);
        for (FakeNode* f : t.files) EXPECT_EQ(f->GetCheckedStatus(), CHECKED_NONE);
    }
    {  // a path-outline row is checked through the engine only
        MarkTree t;
        t.dirRow->setNodeState(2);
        for (FakeNode* f : t.files) EXPECT_EQ(f->GetCheckedStatus(), CHECKED_ALL);
        EXPECT_EQ(t.dirRow->state(), 2);
        EXPECT_EQ(t.rootRow->state(), 2);  // the engine's own sum
        t.dirRow->SetChildrenNodeState(0);  // the engine spreads its own marks
        EXPECT_EQ(t.files[0]->GetCheckedStatus(), CHECKED_ALL);
    }
    {  // the same file under a type folder is set through SetChildrenNodeState
        MarkTree t;
        t.underType->SetChildrenNodeState(2);
        EXPECT_EQ(t.files[0]->GetCheckedStatus(), CHECKED_ALL);
        EXPECT_EQ(t.files[1]->GetCheckedStatus(), CHECKED_NONE);
        t.underType->SetChildrenNodeState(1);
        EXPECT_EQ(t.files[0]->GetCheckedStatus(), CHECKED_ALL);
    }
}

}  // namespace
