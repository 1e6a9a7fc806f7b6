// Run lists, the entry-group walk of one folder buffer and the FAT32
// first-cluster repair, on hand-built tables, buffers and sectors.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "FatTestSupport.h"
#include "fat/FATBuildWorker.h"
#include "fat/FATFileNode.h"
#include "fat/FATStructures.h"
#include "fat/FATTable.h"
#include "foundation/DataRun.h"
#include "raw/RawFileAnalyser.h"
#include "storage/MemoryDevice.h"

using namespace fattest;

static bool operator==(const DataRun& a, const DataRun& b) { return a.start == b.start && a.length == b.length; }

namespace {

// A table of explicit entries; every other entry is free (0).
class MapFat : public IFATTable {
public:
    MapFat(std::initializer_list<std::pair<const std::uint32_t, std::uint32_t>> e) : m(e) {}
    std::uint32_t GetNextCluster(std::uint32_t c) override {
        auto it = m.find(c);
        return it == m.end() ? 0 : it->second;
    }
    std::map<std::uint32_t, std::uint32_t> m;
};

std::vector<DataRun> Runs(IDataRunList* list) {
    std::vector<DataRun> out;
    if (!list) return out;
    for (DataRun* r = list->GetFirst(); r; r = list->GetNext()) out.push_back(*r);
    list->Release();
    return out;
}

constexpr std::uint32_t EOC = 0x0FFFFFFF;

std::vector<std::uint8_t> Cat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

CFATFileNode* Folder(std::int64_t cluster, unsigned state) {
    auto* p = CFATFileProperties::Create();
    p->SetFileName("parent");
    p->SetAttribute(0x10);
    p->SetState(state);
    p->SetFirstClusterNum(cluster);
    auto* n = new CFATFileNode();
    n->SetFileProperties(p);
    return n;
}

// A folder reader over a memory device: data starts at sector 100, one
// sector per cluster.
struct Reader {
    explicit Reader(std::uint32_t type, IFATTable* fat, std::int64_t sectors = 400)
        : dev(512, sectors, STORAGE_DEVICE_VOLUME) {
        ctx.builder = &builder;
        ctx.device = &dev;
        ctx.type = type;
        ctx.sectorsPerCluster = 1;
        ctx.dataStart = 100;
        ctx.totalSectors = static_cast<std::uint64_t>(sectors);
        ctx.fat = fat;
        ctx.rootCluster = 2;
        children = std::make_unique<CFATBuildChildren>(ctx, &visited, &folders);
    }
    CMemoryStorageDevice dev;
    RecordingBuilder builder;
    FATBuildContext ctx;
    std::unordered_set<std::uint32_t> visited;
    std::unordered_map<std::uint64_t, CFATFileNode*> folders;
    std::unique_ptr<CFATBuildChildren> children;
};

}  // namespace

TEST(FatDataRuns, ExistingFiles) {
    struct Case {
        const char* what;
        MapFat fat;
        std::uint64_t first;
        std::int64_t size;
        std::uint64_t limit;
        std::vector<DataRun> runs;
    };
    Case cases[] = {
        {"contiguous", {{10, 11}, {11, 12}, {12, EOC}}, 10, 1500, 1000, {{8, 3}}},
        {"fragmented", {{10, 11}, {11, 20}, {20, 21}, {21, EOC}}, 10, 2048, 1000, {{8, 2}, {18, 2}}},
        {"chain ends early", {{10, EOC}}, 10, 1536, 1000, {{8, 3}}},
        {"chain longer than the file", {{10, 11}, {11, 12}, {12, 13}, {13, EOC}}, 10, 1000, 1000, {{8, 2}}},
        {"looped chain", {{10, 11}, {11, 10}}, 10, 5 * 512, 1000, {{8, 5}}},
        {"looped chain, huge size", {{10, 11}, {11, 10}}, 10, 0x7FFFFFFF, 1000, {}},
        {"past the partition end", {{10, 11}, {11, 12}, {12, EOC}}, 10, 1500, 10, {}},
        {"no data", {{10, EOC}}, 10, 0, 1000, {}},
    };
    for (auto& c : cases) {
        CFATBuildDataRun b(&c.fat, 512, 1, c.limit);
        EXPECT_EQ(Runs(b.BuildDataRunList(c.first, c.size, false)), c.runs) << c.what;
    }
}

TEST(FatDataRuns, DeletedFiles) {
    struct Case {
        const char* what;
        MapFat fat;
        std::uint64_t first;
        std::int64_t size;
        std::uint64_t limit;
        std::vector<DataRun> runs;
    };
    Case cases[] = {
        {"free entries: consecutive clusters", {}, 10, 1500, 1000, {{8, 3}}},
        {"follows the FAT while entries are set", {{10, 15}}, 10, 1500, 1000, {{8, 1}, {13, 2}}},
        {"stops at the partition end", {}, 10, 100 * 512, 12, {{8, 4}}},
        {"cluster below 2", {}, 1, 1500, 1000, {}},
        {"end mark", {{10, 0x0FFFFFFF}}, 10, 1500, 1000, {{8, 1}}},
        {"table leading back", {{10, 11}, {11, 10}}, 10, 0x7FFFFFFF, 1000, {{8, 2}}},
    };
    for (auto& c : cases) {
        CFATBuildDataRun b(&c.fat, 512, 1, c.limit);
        EXPECT_EQ(Runs(b.BuildDataRunList(c.first, c.size, true)), c.runs) << c.what;
    }
}

TEST(FatFolderReader, EntryGroups) {
    MapFat fat{};
    Reader r(FILE_SYSTEM_FAT16, &fat);
    auto dot = ShortEntry(".          ", 0x10, 50, 0);
    auto dotdot = ShortEntry("..         ", 0x10, 0, 0);
    auto intact = ShortEntry("FILE    TXT", 0x20, 60, 10);
    auto self = ShortEntry("SELF    TXT", 0x20, 50, 10);
    auto longName = LongEntries("Pending Long Name.txt");

    // Under a deleted folder an intact entry is deleted too; an entry on the
    // folder's own cluster is not shown.
    auto buf = Cat({dot, dotdot, intact, self});
    std::unique_ptr<CFATFileNode> gone(Folder(50, 1));
    EXPECT_EQ(r.children->BuildChildrenFromBuffer(buf.data(), buf.size(), gone.get(), nullptr, false, false),
              buf.size());
    ASSERT_EQ(r.builder.nodes.size(), 1u);
    EXPECT_STREQ(r.builder.nodes[0]->GetFileName(), "FILE.TXT");
    EXPECT_TRUE(r.builder.nodes[0]->IsDeleted());
    EXPECT_EQ(r.builder.nodes[0]->GetParentNodeID(), 50);

    // With include-existing clear an intact file under a live folder is not shown.
    std::unique_ptr<CFATFileNode> live(Folder(50, 0));
    EXPECT_EQ(r.children->BuildChildrenFromBuffer(buf.data(), buf.size(), live.get(), nullptr, false, false),
              buf.size());
    EXPECT_EQ(r.builder.nodes.size(), 1u);

    // A third "." entry and a parent without FAT properties are refused.
    auto threeDots = Cat({dot, dotdot, dot});
    EXPECT_EQ(r.children->BuildChildrenFromBuffer(threeDots.data(), threeDots.size(), live.get(), nullptr, false, true),
              0xFFFFFFFFu);
    CFATFileNode bare;
    EXPECT_EQ(r.children->BuildChildrenFromBuffer(buf.data(), buf.size(), &bare, nullptr, false, true), 0xFFFFFFFFu);

    // A long-name group still open at the end answers its own offset.
    auto open = Cat({intact, longName});
    EXPECT_EQ(r.children->BuildChildrenFromBuffer(open.data(), open.size(), nullptr, nullptr, false, true), 32u);
    // Stop at an invalid entry when asked to.
    std::vector<std::uint8_t> junk(32, 0x01);
    auto stop = Cat({junk, intact});
    EXPECT_EQ(r.children->BuildChildrenFromBuffer(stop.data(), stop.size(), nullptr, nullptr, true, true), 0u);
}

TEST(FatRepair, Fat16EntriesAreNotTouched) {
    MapFat fat{};
    Reader r(FILE_SYSTEM_FAT16, &fat);
    auto e = ShortEntry("\xE5OST    EXE", 0x20, 7, 1000);
    CTempFATDirEntry entry(e.data());
    auto* props = CFATFileProperties::Create();
    props->SetFileName("#OST.EXE");
    std::uint64_t hint = 0;
    EXPECT_EQ(r.children->ReverseDelFileFirstNum(entry, 0x20005, hint, props, false), 7u);
    EXPECT_EQ(props->GetFirstClusterNum(), 7);
    EXPECT_EQ(e[20], 0);
    CFATFileProperties::Destory(props);
}

TEST(FatRepair, ParentHighPartComesFirst) {
    MapFat fat{};
    Reader r(FILE_SYSTEM_FAT32, &fat);
    auto e = ShortEntry("\xE5OST    TXT", 0x20, 7, 1000);
    CTempFATDirEntry entry(e.data());
    auto* props = CFATFileProperties::Create();
    props->SetFileName("lost.txt");
    std::uint64_t hint = 0x20005;
    EXPECT_EQ(r.children->ReverseDelFileFirstNum(entry, 0x20005, hint, props, false), 0x20007u);
    EXPECT_EQ(entry.GetFirstClusterNO(), 0x20007u);  // written back into the entry
    EXPECT_EQ(hint, 0x20007u + 2);                   // next entry's hint
    CFATFileProperties::Destory(props);
}

TEST(FatRepair, DeletedFolderAlreadyOnItsClusterKeepsIt) {
    MapFat fat{};
    Reader r(FILE_SYSTEM_FAT32, &fat);
    auto head = Cat({ShortEntry(".          ", 0x10, 5, 0), ShortEntry("..         ", 0x10, 0, 0)});
    r.dev.Write(103 * 512ull, head.data(), head.size());
    auto e = ShortEntry("\xE5OLDER     ", 0x10, 5, 0);
    CTempFATDirEntry entry(e.data());
    auto* props = CFATFileProperties::Create();
    props->SetFileName("folder");
    std::uint64_t hint = 0;
    EXPECT_EQ(r.children->ReverseDelFileFirstNum(entry, 0, hint, props, false), 5u);
    EXPECT_TRUE(r.children->bEffectiveDIRFDT(5));
    EXPECT_FALSE(r.children->bEffectiveDIRFDT(6));
    CFATFileProperties::Destory(props);
}

TEST(FatRepair, QuickScanFindsAnExecutableByContent) {
    MapFat fat{};
    Reader r(FILE_SYSTEM_FAT32, &fat, 0x10100 + 200);
    std::vector<std::uint8_t> pe(512, 0);
    pe[0] = 'M';
    pe[1] = 'Z';
    pe[60] = 0x80;
    pe[0x80] = 'P';
    pe[0x81] = 'E';
    r.dev.Write((100 + 0x10007 - 2) * 512ull, pe.data(), pe.size());
    EXPECT_TRUE(CFATBuildChildren::bWindowsPEFiles(pe.data(), 512));
    pe[60] = 0xFF;
    pe[61] = 0x01;  // e_lfanew past the sector
    EXPECT_FALSE(CFATBuildChildren::bWindowsPEFiles(pe.data(), 512));
    auto e = ShortEntry("\xE5OOL    EXE", 0x20, 7, 1000);
    CTempFATDirEntry entry(e.data());
    auto* props = CFATFileProperties::Create();
    props->SetFileName("tool.exe");
    std::uint64_t hint = 0;
    g_u64PreReadFileCluNum = 0;
    EXPECT_EQ(r.children->ReverseDelFileFirstNum(entry, 0, hint, props, false), 0x10007u);
    EXPECT_EQ(g_u64PreReadFileCluNum, 0x10007u + 2);
    CFATFileProperties::Destory(props);
}

// Deep scans match candidates against the raw search's file-sector map; two
// deleted files may not be placed on one cluster under different names.
TEST(FatRepair, DeepScanMapAndCollisions) {
    MapFat fat{};
    Reader r(FILE_SYSTEM_FAT32, &fat, 400);
    FileSectorMap map;
    int exe = -1;
    for (int i = 0; i < RAW_FILE_TYPE_COUNT; ++i)
        if (std::string(g_s_strFileExtName[i]) == "EXE") exe = i;
    ASSERT_GE(exe, 0);
    const std::int64_t x = r.children->ConvertClusterNumToSector(0x10007);
    map[x] = static_cast<std::uint32_t>(exe);
    r.children->SetFileSectorMap(&map);
    r.children->SetQuickScan(true);
    g_u64PreReadFileCluNum = 0;

    auto repair = [&](const char* name, std::uint64_t parent) {
        auto e = ShortEntry("\xE5       EXE", 0x20, 7, 100);
        CTempFATDirEntry entry(e.data());
        auto* props = CFATFileProperties::Create();
        props->SetFileName(name);
        std::uint64_t hint = parent;
        const std::uint64_t c = r.children->ReverseDelFileFirstNum(entry, parent, hint, props, false);
        CFATFileProperties::Destory(props);
        return c;
    };
    EXPECT_EQ(repair("a.exe", 3), 0x10007u);
    EXPECT_EQ(repair("a.exe", 3), 0x10007u);  // the same name may stay
    EXPECT_EQ(repair("b.exe", 3), 7u);        // no other candidate: keeps its guess
    map[r.children->ConvertClusterNumToSector(0x20007)] = static_cast<std::uint32_t>(exe);
    EXPECT_EQ(repair("c.exe", 3), 0x20007u);  // moves on by 0x10000
    // The extension must match.
    EXPECT_EQ(repair("d.txt", 3), 7u);
}
