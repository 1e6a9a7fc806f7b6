// Folder trees of rebuilt NTFS partitions: hand-built MFTs for the placing
// rules, and a real mkntfs volume at sector 2048 of a disk image (files
// written and deleted through ntfs-3g) checked against `fls -r -p -o 2048`.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "NTFSTestSupport.h"
#include "foundation/DirectoryTree.h"
#include "foundation/FileNode.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSDeepSearchRecords.h"
#include "ntfs/NTFSDirectoryTreeBuilder.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSLogFileFinder.h"
#include "support/Fixture.h"

using namespace ntfstest;

namespace {

// Takes what it is given unless the name is on its refusal list; keeps the
// accepted nodes and frees them at the end, as the real builder does.
class SpyTreeBuilder : public IDirecotryTreeBuilder {
public:
    struct Added {
        std::int64_t id;
        std::int64_t parent;
        std::string name;
        bool folder;
        bool deleted;
        std::uint16_t partition;
        std::int64_t metadataSector;
        std::int64_t size;
    };
    ~SpyTreeBuilder() override {
        for (IFileNode* n : owned) n->Release();
    }
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType type) override {
        EXPECT_EQ(type, SEARCHER_NTFS);
        auto* n = dynamic_cast<CNTFSFileNode*>(node);
        EXPECT_NE(n, nullptr);
        if (n == nullptr) return 0;
        ++calls;
        const std::string name = n->GetFileName();
        if (refuse.count(name) != 0) {
            refused.push_back(name);
            return 0;
        }
        EXPECT_EQ(std::count(owned.begin(), owned.end(), node), 0) << "node handed over twice: " << name;
        owned.push_back(node);
        added.push_back({n->GetCurrentNodeID(), n->GetParentNodeID(), name, n->IsDirectory() != 0, n->IsDeleted() != 0,
                         n->GetBelongedPartition(), n->GetMetadataStartPositionOfNode(), n->GetFileSize()});
        return 1;
    }
    int AddSearcherInfo(_tagSearcherType, int64_t) override { return 1; }
    void FlashBuild(_tagSearcherType) override {}
    void Release() override { delete this; }
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}

    const Added* Find(const std::string& name) const {
        for (const Added& a : added)
            if (a.name == name) return &a;
        return nullptr;
    }
    // "Dir/Sub/name" by parent ids up to the root folder (5); "?" marks a
    // parent that was not added.
    std::string PathOf(const Added& a) const {
        std::string path = a.name;
        std::int64_t parent = a.parent;
        for (int depth = 0; parent != 5 && depth < 64; ++depth) {
            const Added* p = nullptr;
            for (const Added& b : added)
                if (b.folder && b.id == parent) p = &b;
            if (p == nullptr) return "?" + std::to_string(parent) + "/" + path;
            path = p->name + "/" + path;
            parent = p->parent;
        }
        return path;
    }

    std::set<std::string> refuse;
    std::vector<std::string> refused;
    std::vector<Added> added;
    std::vector<IFileNode*> owned;
    int calls = 0;
};

// What the deep search would hand over for one partition.
struct SearchLists {
    std::list<CMFTInfo*> mfts;
    std::list<CCommonFileRecordPositionInfo*> positions;
    std::list<FindFileMFTAndLogx*> finders;
    CNTFSIntelligentSearchInfo info;
    SearchLists() { info.Init(&mfts, &positions, &finders); }
    ~SearchLists() {
        for (FindFileMFTAndLogx* f : finders) delete f;
        for (CMFTInfo* m : mfts) delete m;
        for (CCommonFileRecordPositionInfo* p : positions) delete p;
    }
    // A located $MFT goes into the MFT list and, without a finder, the find list.
    void AddMFT(CMFTInfo* mft) {
        mfts.push_back(mft);
        finders.push_back(new FindFileMFTAndLogx{mft, nullptr});
    }
    // The search's ordinary-record bookkeeping: runs of records 2 sectors apart.
    void AddRecordSector(std::int64_t sector) {
        if (!positions.empty() && positions.back()->Merge(sector)) return;
        positions.push_back(new CCommonFileRecordPositionInfo(sector));
    }
};

std::unique_ptr<CSearchedNTFSPartitionInfo> MakeCandidate(std::int64_t start, std::uint32_t spc, std::uint64_t total,
                                                          std::uint32_t ss = 512) {
    auto c = std::make_unique<CSearchedNTFSPartitionInfo>(ss);
    c->SetFileSystemType(FILE_SYSTEM_NTFS);
    c->SetStartSector(start);
    c->SetCluster0Sector(start);
    c->SetSectorsPerCluster(spc);
    c->SetTotalSectors(total);
    c->SetMFTLocated(1);
    return c;
}

// ------------------------------------------------------ hand-built volume

constexpr std::int64_t kStart = 64;  // partition start
constexpr std::uint32_t kSpc = 8;
constexpr std::int64_t kMftLcn = 4;        // $MFT at cluster 4
constexpr std::int64_t kMftClusters = 16;  // 64 records of 1,024 bytes
constexpr std::int64_t kMftSector = kStart + kMftLcn * kSpc;

std::vector<std::uint8_t> FileRecord(const std::u16string& name, std::uint64_t parent, bool folder, std::uint32_t mft) {
    std::vector<std::vector<std::uint8_t>> attrs;
    attrs.push_back(ResidentAttr(0x10, StdInfoContent(0x20)));
    attrs.push_back(ResidentAttr(0x30, FileNameContent(name, parent, 1, 10, folder ? 0x10000000 : 0)));
    if (!folder) attrs.push_back(ResidentAttr(0x80, std::vector<std::uint8_t>(10, 'x')));
    return MakeRecord(attrs, folder ? 3 : 1, mft);
}

// The same record in the older layout whose update sequence sits at 42, so
// it carries no number of its own.
std::vector<std::uint8_t> WithoutOwnNumber(std::vector<std::uint8_t> r) {
    const std::vector<std::uint8_t> usa(r.begin() + 48, r.begin() + 54);
    std::fill(r.begin() + 42, r.begin() + 56, 0);
    std::copy(usa.begin(), usa.end(), r.begin() + 42);
    Put16(r.data() + 4, 42);
    return r;
}

struct HandBuilt {
    std::unique_ptr<MemoryDevice> device;
    SearchLists lists;
    std::unique_ptr<CSearchedNTFSPartitionInfo> candidate;

    HandBuilt() {
        device = std::make_unique<MemoryDevice>(std::vector<std::uint8_t>(4096 * 512, 0));
        candidate = MakeCandidate(kStart, kSpc, 2048);
        auto* mft = new CMFTInfo;
        mft->GetDataRunList().AddDataRun({kMftLcn, 0, kMftClusters});
        mft->SetSectorAddress(kMftSector);
        mft->SetSectorsPerCluster(kSpc);
        lists.AddMFT(mft);
    }
    void Put(std::int64_t sector, const std::vector<std::uint8_t>& record, bool listed = true) {
        std::copy(record.begin(), record.end(), device->Bytes().begin() + sector * 512);
        if (listed) lists.AddRecordSector(sector);
    }
    void PutNumbered(std::uint32_t mft, const std::u16string& name, std::uint64_t parent, bool folder) {
        Put(kMftSector + 2 * mft, FileRecord(name, parent, folder, mft));
    }
};

TEST(NTFSDirectoryTreeBuilder, MFTNumberFromTheRecordPlaceInsideTheMFT) {
    CMFTInfo mft;
    // Two runs: VCN 0-1 at cluster 4, VCN 2-3 at cluster 100.
    mft.GetDataRunList().AddDataRun({4, 0, 2});
    mft.GetDataRunList().AddDataRun({100, 2, 2});
    const std::int64_t S = 1000;
    struct Case {
        std::int64_t sector;
        std::int64_t want;
    } cases[] = {
        {S + 32, 0},                           // first record
        {S + 32 + 6, 3},    {S + 32 + 7, -1},  // odd sector: inside a record
        {S + 800, 8},                          // cluster 100 = VCN 2: sector 16 of the $MFT
        {S + 800 + 15, -1}, {S + 31, -1},      // before the $MFT
        {S + 48, -1},                          // cluster 6: not in its runs
        {S - 2, -1},                           // before the partition
    };
    for (const Case& c : cases)
        EXPECT_EQ(CMFTDirectoryTreeBuilder::GetMFTNumber(c.sector, &mft, S, 8), c.want) << c.sector;
    EXPECT_EQ(CMFTDirectoryTreeBuilder::GetMFTNumber(S + 32, &mft, S, 0), -1);
    EXPECT_EQ(CMFTDirectoryTreeBuilder::GetMFTNumber(S + 32, nullptr, S, 8), -1);
    mft.SetSectorsPerFileRecord(1);
    EXPECT_EQ(CMFTDirectoryTreeBuilder::GetMFTNumber(S + 32 + 7, &mft, S, 8), 7);
}

TEST(NTFSDirectoryTreeBuilder, MFTInsideCandidateOnlyAtItsClusterAndWithinItsLength) {
    CMFTInfo mft;
    mft.GetDataRunList().AddDataRun({4, 0, 16});
    mft.SetSectorAddress(64 + 32);
    EXPECT_TRUE(CNTFSDirectoryTreeBuilder::IsMFTInsidePartition(mft, 64, 8, 2048));
    EXPECT_FALSE(CNTFSDirectoryTreeBuilder::IsMFTInsidePartition(mft, 72, 8, 2048));    // other start
    EXPECT_FALSE(CNTFSDirectoryTreeBuilder::IsMFTInsidePartition(mft, 64, 4, 2048));    // other cluster size
    EXPECT_FALSE(CNTFSDirectoryTreeBuilder::IsMFTInsidePartition(mft, 64, 8, 19 * 8));  // runs pass the end
    EXPECT_TRUE(CNTFSDirectoryTreeBuilder::IsMFTInsidePartition(mft, 64, 8, 19 * 8 + 1));
}

// Every record of the $MFT that has properties reaches the tree builder, as
// the quick scan hands them over: one whose folder is gone, refused or a
// system record keeps its parent's number and ends among the lost files.
TEST(NTFSDirectoryTreeBuilder, PlacesFromTheRootThenLostFoldersThenTheRestUnderTheirParents) {
    HandBuilt v;
    v.PutNumbered(25, u"a.txt", 5, false);
    v.PutNumbered(26, u"Dir", 5, true);
    v.PutNumbered(27, u"b.txt", 26, false);
    v.PutNumbered(28, u"Sub", 26, true);
    v.PutNumbered(29, u"c.txt", 28, false);
    v.PutNumbered(31, u"Lost30", 30, true);  // parent 30 was never found
    v.PutNumbered(32, u"d.txt", 31, false);
    v.PutNumbered(33, u"Lost11", 11, true);  // parent is a system record
    v.PutNumbered(34, u"e.txt", 33, false);
    v.PutNumbered(35, u"Refused", 5, true);
    v.PutNumbered(36, u"f.txt", 35, false);
    v.PutNumbered(37, u"g.txt", 36, false);  // a "folder" that is a file
    v.PutNumbered(3, u"$Volume", 5, false);  // system numbers are never shown
    // Records at odd sectors of the $MFT: one without a number of its own,
    // one that carries 77.
    v.Put(kMftSector + 2 * 40 + 1, WithoutOwnNumber(FileRecord(u"odd.txt", 5, false, 0)));
    v.Put(kMftSector + 2 * 42 + 1, FileRecord(u"own.txt", 5, false, 77));

    SpyTreeBuilder spy;
    spy.refuse = {"Refused"};
    CNTFSDirectoryTreeBuilder tree;
    EXPECT_EQ(tree.BuildDirectoryTree(&v.lists.info, v.candidate.get(), v.device.get(), 0, nullptr, &spy), nullptr);
    EXPECT_TRUE(tree.IsFinished());

    std::map<std::string, std::pair<std::int64_t, std::int64_t>> got;  // name -> {id, parent}
    for (const auto& a : spy.added) {
        EXPECT_EQ(a.partition, 0);
        got[a.name] = {a.id, a.parent};
    }
    const std::map<std::string, std::pair<std::int64_t, std::int64_t>> want = {
        {"a.txt", {25, 5}},   {"Dir", {26, 5}},    {"b.txt", {27, 26}},  {"Sub", {28, 26}},    {"c.txt", {29, 28}},
        {"Lost30", {31, 30}}, {"d.txt", {32, 31}}, {"odd.txt", {-1, 5}}, {"own.txt", {77, 5}}, {"Lost11", {33, 11}},
        {"e.txt", {34, 33}},  {"f.txt", {36, 35}}, {"g.txt", {37, 36}},
    };
    EXPECT_EQ(got, want);
    EXPECT_EQ(spy.refused, std::vector<std::string>{"Refused"});
    // Breadth first: the root's children come before anything deeper.
    ASSERT_GE(spy.added.size(), 4u);
    bool deeper = false;
    for (const auto& a : spy.added) {
        if (a.name == "c.txt") deeper = true;
        if (deeper) {
            EXPECT_NE(a.parent, 5) << a.name;
        }
    }
    EXPECT_EQ(spy.Find("Dir")->metadataSector, kMftSector + 52);
    EXPECT_TRUE(tree.GetBuildInfos().empty());
    EXPECT_TRUE(tree.GetUnplacedRecords().empty());
}

TEST(NTFSDirectoryTreeBuilder, RecordsOutsideEveryMFTGoOnlyToTheFirstCandidate) {
    for (int place : {0, 1}) {
        HandBuilt v;
        v.candidate->SetMFTLocated(0);  // nothing can be matched to a $MFT
        v.PutNumbered(26, u"Dir", 5, true);
        v.PutNumbered(31, u"Lost30", 30, true);
        v.PutNumbered(32, u"d.txt", 31, false);
        SpyTreeBuilder spy;
        CNTFSDirectoryTreeBuilder tree;
        tree.BuildDirectoryTree(&v.lists.info, v.candidate.get(), v.device.get(), place, nullptr, &spy);
        std::set<std::string> names;
        for (const auto& a : spy.added) {
            names.insert(a.name);
            EXPECT_EQ(a.partition, place);
        }
        if (place == 0) {
            EXPECT_EQ(names, (std::set<std::string>{"Lost30", "d.txt"}));
        } else {
            EXPECT_TRUE(names.empty());
        }
    }
}

TEST(NTFSDirectoryTreeBuilder, LostFoldersThatNameEachOtherAreHandedOverOnce) {
    HandBuilt v;
    // 40 says its parent is 41 and 41 says its parent is 40; 42 hangs below 41.
    v.PutNumbered(40, u"Ping", 41, true);
    v.PutNumbered(41, u"Pong", 40, true);
    v.PutNumbered(42, u"h.txt", 41, false);
    v.PutNumbered(43, u"Self", 43, true);  // its own parent
    SpyTreeBuilder spy;
    CNTFSDirectoryTreeBuilder tree;
    tree.BuildDirectoryTree(&v.lists.info, v.candidate.get(), v.device.get(), 0, nullptr, &spy);
    std::multiset<std::string> names;
    for (const auto& a : spy.added) names.insert(a.name);
    EXPECT_EQ(names, (std::multiset<std::string>{"Ping", "Pong", "h.txt", "Self"}));
}

TEST(NTFSDirectoryTreeBuilder, NotAnNTFSCandidateOrBrokenGeometryBuildsNothing) {
    HandBuilt v;
    v.PutNumbered(25, u"a.txt", 5, false);
    SpyTreeBuilder spy;
    CNTFSDirectoryTreeBuilder tree;
    CSearchedPartitionInfo plain(512);
    tree.BuildDirectoryTree(&v.lists.info, &plain, v.device.get(), 0, nullptr, &spy);
    EXPECT_TRUE(tree.IsFinished());
    v.candidate->SetSectorsPerCluster(0);
    tree.BuildDirectoryTree(&v.lists.info, v.candidate.get(), v.device.get(), 0, nullptr, &spy);
    v.candidate->SetSectorsPerCluster(kSpc);
    v.candidate->SetStartSector(-5);
    tree.BuildDirectoryTree(&v.lists.info, v.candidate.get(), v.device.get(), 0, nullptr, &spy);
    EXPECT_EQ(spy.calls, 0);
}

TEST(NTFSDirectoryTreeBuilder, PositionRunsPastTheDeviceOrCandidateEndAreCut) {
    HandBuilt v;
    v.PutNumbered(25, u"a.txt", 5, false);
    // A run far past the device and one straddling the candidate's end.
    v.lists.positions.push_back(new CCommonFileRecordPositionInfo(kStart + 2040));
    for (int i = 1; i < 100; ++i) v.lists.positions.back()->Merge(kStart + 2040 + 2 * i);
    v.lists.positions.push_back(new CCommonFileRecordPositionInfo(1LL << 40));
    SpyTreeBuilder spy;
    CNTFSDirectoryTreeBuilder tree;
    tree.BuildDirectoryTree(&v.lists.info, v.candidate.get(), v.device.get(), 0, nullptr, &spy);
    ASSERT_EQ(spy.added.size(), 1u);
    EXPECT_EQ(spy.added[0].name, "a.txt");
}

// ----------------------------------------------------------- real volume

const std::string& TreeFixtureDir() {
    static const std::string dir = [] {
        return quillory_test::MakeFixtures("make_ntfs_tree_images.sh",
                                           std::string(QUILLORY_BINARY_DIR) + "/fixtures/ntfstree");
    }();
    return dir;
}

constexpr std::int64_t kVolumeStart = 2048;

// The disk image in memory, and the search lists made from its boot sector
// and $MFT the way the deep search records them.
struct RealDisk {
    std::unique_ptr<MemoryDevice> device;
    SearchLists lists;
    std::unique_ptr<CSearchedNTFSPartitionInfo> candidate;
    std::int64_t mftSector = -1;

    explicit RealDisk(std::uint32_t ss = 512, const std::string& path = TreeFixtureDir() + "/ntfs_disk2048.img",
                      std::int64_t start = kVolumeStart) {
        device = std::make_unique<MemoryDevice>(ReadFile(path), ss);
        if (device->Bytes().empty()) return;
        const std::uint8_t* boot = device->Bytes().data() + start * ss;
        CNTFSDBR dbr;
        if (!dbr.InitFromBuffer(boot)) return;
        const std::uint32_t spc = dbr.GetSectorsperCluster();
        candidate = MakeCandidate(start, spc, static_cast<std::uint64_t>(dbr.GetTotalSectors()) + 1, ss);
        mftSector = start + dbr.GetMFTStartCluster() * spc;
        const int recordBytes = static_cast<int>(std::max<std::uint32_t>(1024, ss));
        GetSectorsPerCluster::g_nSectorSize = static_cast<int>(ss);
        auto* mft = new CMFTInfo;
        std::vector<std::uint8_t> record(device->Bytes().begin() + mftSector * ss,
                                         device->Bytes().begin() + mftSector * ss + recordBytes);
        if (!mft->InitFromBuffer(record.data(), recordBytes, mftSector)) {
            delete mft;
            return;
        }
        mft->SetSectorsPerFileRecord(static_cast<std::uint8_t>(ss == 512 ? 2 : 1));
        lists.AddMFT(mft);
        candidate->SetMFTSector(mftSector);
        for (const CDataRun& r : mft->GetDataRunList().Runs()) {
            for (std::int64_t s = 0; s < r.length * spc; s += recordBytes / ss) {
                const std::int64_t sector = start + r.LCN * spc + s;
                std::uint8_t* p = device->Bytes().data() + sector * ss;
                if (CNTFSFileRecord::IsValid(p, recordBytes) && !CNTFSFileRecord::IsExtendFileRecord(p)) {
                    if (ss == 512)
                        lists.AddRecordSector(sector);
                    else
                        lists.positions.push_back(new CCommonFileRecordPositionInfo(sector));
                }
            }
        }
    }
    bool Ready() const { return candidate != nullptr && !lists.mfts.empty(); }

    // Points every $FILE_NAME of record `number` at another parent.
    void SetParent(std::int64_t number, std::uint64_t parent) {
        std::uint8_t* r = device->Bytes().data() + (mftSector + 2 * number) * 512;
        ASSERT_EQ(std::memcmp(r, "FILE", 4), 0);
        std::uint32_t off = LE16(r + 20);
        int patched = 0;
        while (off + 8 < 1024 && LE32(r + off) != 0xFFFFFFFF) {
            if (LE32(r + off) == 0x30) {
                const std::uint32_t at = off + LE16(r + off + 20);
                ASSERT_LT(at + 8, 510u);
                Put64(r + at, parent | (std::uint64_t{1} << 48));
                ++patched;
            }
            off += LE32(r + off + 4);
        }
        ASSERT_GT(patched, 0);
    }
};

// fls -r -p lines: "r/r * 70-128-2:\tnotes.txt" -> path, inode, deleted.
struct FlsEntry {
    std::int64_t inode;
    bool deleted;
    bool folder;
    bool operator==(const FlsEntry&) const = default;
};
std::map<std::string, FlsEntry> ReadFls(const std::string& path) {
    std::map<std::string, FlsEntry> out;
    const std::vector<std::uint8_t> text = ReadFile(path);
    std::istringstream in(std::string(text.begin(), text.end()));
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string name = line.substr(tab + 1);
        if (name.empty() || name[0] == '$') continue;  // the volume's own files, $OrphanFiles
        const bool deleted = line.find(" * ") != std::string::npos;
        const auto colon = line.rfind(':', tab);
        auto numStart = line.rfind(' ', colon);
        const std::int64_t inode = std::stoll(line.substr(numStart + 1, colon - numStart - 1));
        out[name] = {inode, deleted, line[2] == 'd'};
    }
    return out;
}

TEST(NTFSDirectoryTreeBuilderRealImage, TreeOfTheVolumeAt2048MatchesFls) {
    RealDisk disk;
    ASSERT_TRUE(disk.Ready());
    const auto fls = ReadFls(TreeFixtureDir() + "/ntfs_disk2048.fls");
    ASSERT_GE(fls.size(), 40u);

    SpyTreeBuilder spy;
    CNTFSDirectoryTreeBuilder tree;
    tree.BuildDirectoryTree(&disk.lists.info, disk.candidate.get(), disk.device.get(), 0, nullptr, &spy);

    std::map<std::string, FlsEntry> got;
    for (const auto& a : spy.added) {
        EXPECT_EQ(a.partition, 0);
        EXPECT_EQ(a.metadataSector, disk.mftSector + 2 * a.id) << a.name;
        got[spy.PathOf(a)] = {a.id, a.deleted, a.folder};
    }
    EXPECT_EQ(got, fls);
    // Root files hang off the root folder.
    ASSERT_NE(spy.Find("readme.txt"), nullptr);
    EXPECT_EQ(spy.Find("readme.txt")->parent, 5);
    ASSERT_NE(spy.Find("notes.txt"), nullptr);
    EXPECT_EQ(spy.Find("notes.txt")->size, 20000);
    EXPECT_TRUE(spy.Find("notes.txt")->deleted);
}

TEST(NTFSDirectoryTreeBuilderRealImage, LostFoldersUnderRecord30AndRecord11KeepTheirParents) {
    RealDisk disk;
    ASSERT_TRUE(disk.Ready());
    const auto fls = ReadFls(TreeFixtureDir() + "/ntfs_disk2048.fls");
    const std::int64_t sub = fls.at("Docs/Sub").inode;
    const std::int64_t many = fls.at("Many").inode;
    disk.SetParent(sub, 30);
    disk.SetParent(many, 11);

    SpyTreeBuilder spy;
    CNTFSDirectoryTreeBuilder tree;
    tree.BuildDirectoryTree(&disk.lists.info, disk.candidate.get(), disk.device.get(), 0, nullptr, &spy);
    ASSERT_NE(spy.Find("Sub"), nullptr);
    EXPECT_EQ(spy.Find("Sub")->parent, 30);
    EXPECT_EQ(spy.Find("Sub")->id, sub);
    ASSERT_NE(spy.Find("deep.dat"), nullptr);
    EXPECT_EQ(spy.Find("deep.dat")->parent, sub);
    // A folder under a system record is no system file: it and its files
    // are handed over, to end among the lost files as the quick scan shows.
    ASSERT_NE(spy.Find("Many"), nullptr);
    EXPECT_EQ(spy.Find("Many")->parent, 11);
    ASSERT_NE(spy.Find("entry_number_01.txt"), nullptr);
    EXPECT_EQ(spy.Find("entry_number_01.txt")->parent, many);
    // The rest of the volume is where it was.
    EXPECT_EQ(spy.PathOf(*spy.Find("report.doc")), "Docs/report.doc");
}

// The volume at place 1: its ids carry the place above the 48 bits of an MFT
// number (the first volume's folder of the same number is another folder);
// the root folder stays the shared root. A refused folder is released, and
// its files still reach the tree builder under its id, after the rest.
TEST(NTFSDirectoryTreeBuilderRealImage, SecondPlaceTagsItsIdsAndARefusedFolderKeepsItsFiles) {
    RealDisk disk;
    ASSERT_TRUE(disk.Ready());
    const auto fls = ReadFls(TreeFixtureDir() + "/ntfs_disk2048.fls");
    SpyTreeBuilder spy;
    spy.refuse = {"Many"};
    CNTFSDirectoryTreeBuilder tree;
    tree.BuildDirectoryTree(&disk.lists.info, disk.candidate.get(), disk.device.get(), 1, nullptr, &spy);
    EXPECT_EQ(spy.refused, std::vector<std::string>{"Many"});
    constexpr std::int64_t kPlace1 = std::int64_t{1} << 48;
    const std::int64_t many = fls.at("Many").inode | kPlace1;
    int entries = 0;
    for (const auto& a : spy.added) {
        EXPECT_EQ(a.partition, 1);
        EXPECT_EQ(a.id & ~(kPlace1 - 1), kPlace1) << a.name;
        EXPECT_TRUE(a.parent == 5 || (a.parent & ~(kPlace1 - 1)) == kPlace1) << a.name;
        if (a.name.rfind("entry_number_", 0) == 0) {
            EXPECT_EQ(a.parent, many) << a.name;
            ++entries;
        }
    }
    EXPECT_EQ(entries, 34);
    ASSERT_NE(spy.Find("readme.txt"), nullptr);
    EXPECT_EQ(spy.Find("readme.txt")->parent, 5);
    ASSERT_NE(spy.Find("deep.dat"), nullptr);
    EXPECT_EQ(spy.Find("deep.dat")->parent, fls.at("Docs/Sub").inode | kPlace1);
}

TEST(NTFSDirectoryTreeBuilderRealImage, FourKiBSectorVolumeDoesNotCrash) {
    RealDisk disk(4096, Fixture("ntfs_4k.img"), 0);
    ASSERT_TRUE(disk.Ready());
    SpyTreeBuilder spy;
    CNTFSDirectoryTreeBuilder tree;
    tree.BuildDirectoryTree(&disk.lists.info, disk.candidate.get(), disk.device.get(), 0, nullptr, &spy);
    EXPECT_TRUE(tree.IsFinished());
    EXPECT_NE(spy.Find("small.txt"), nullptr);
    GetSectorsPerCluster::g_nSectorSize = 512;
}

// ------------------------------------------------------ $LogFile repair

// One RCRD page holding one log record whose redo data is a whole FILE
// record, as NTFS logs a record it writes; update sequence applied.
std::vector<std::uint8_t> LogPageWithFileImage(const std::vector<std::uint8_t>& record, std::uint64_t lsn) {
    std::vector<std::uint8_t> page(4096, 0);
    std::memcpy(page.data(), "RCRD", 4);
    Put16(page.data() + 4, 40);
    Put16(page.data() + 6, 9);
    Put64(page.data() + 8, lsn);
    Put64(page.data() + 32, lsn);
    std::uint8_t* r = page.data() + 64;
    const std::uint32_t clientData = 40 + static_cast<std::uint32_t>(record.size());
    Put64(r, lsn);
    Put64(r + 8, lsn - 1);
    Put32(r + 24, clientData);
    Put32(r + 32, 1);
    Put16(r + 48, 0x02);  // initialise file record segment
    Put16(r + 52, 40);
    Put16(r + 54, static_cast<std::uint16_t>(record.size()));
    Put16(r + 56, clientData);
    std::copy(record.begin(), record.end(), r + 88);
    const std::uint16_t usn = 0x21;
    Put16(page.data() + 40, usn);
    for (int s = 0; s < 8; ++s) {
        page[42 + 2 * s] = page[510 + 512 * s];
        page[43 + 2 * s] = page[511 + 512 * s];
        Put16(page.data() + 510 + 512 * s, usn);
    }
    return page;
}

TEST(NTFSDirectoryTreeBuilderRealImage, EmptiedDeletedFileIsRepairedFromTheLogOfTheVolumeAt2048) {
    RealDisk disk;
    ASSERT_TRUE(disk.Ready());
    const auto fls = ReadFls(TreeFixtureDir() + "/ntfs_disk2048.fls");
    const std::int64_t notes = fls.at("notes.txt").inode;
    std::uint8_t* at = disk.device->Bytes().data() + (disk.mftSector + 2 * notes) * 512;
    const std::vector<std::uint8_t> original(at, at + 1024);

    // What ntfs-3g left: the deleted record still maps its clusters.
    auto build = [&](bool withFinder) {
        auto* finder = withFinder ? new CFindFileFromLogFile : nullptr;
        disk.lists.finders.front()->finder = finder;
        SpyTreeBuilder spy;
        CNTFSDirectoryTreeBuilder tree;
        tree.BuildDirectoryTree(&disk.lists.info, disk.candidate.get(), disk.device.get(), 0, nullptr, &spy);
        if (finder != nullptr) {
            EXPECT_FALSE(finder->IsValid()) << "finders are reset after each candidate";
        }
        delete finder;
        disk.lists.finders.front()->finder = nullptr;
        const auto* n = spy.Find("notes.txt");
        return n != nullptr ? n->size : -1;
    };
    ASSERT_EQ(build(true), 20000);

    // Empty it as NTFS does: no runs, sizes 0.
    std::vector<std::uint8_t> emptied = original;
    ASSERT_TRUE(EmptyLikeNtfs(emptied));
    std::copy(emptied.begin(), emptied.end(), at);
    EXPECT_EQ(build(true), 0) << "mkntfs's log is empty: nothing to repair from";

    // The log's page 4 now holds the record as it was written; the $LogFile
    // runs count clusters from the volume's start at sector 2048.
    std::vector<std::uint8_t> logRecord(disk.device->Bytes().begin() + (disk.mftSector + 4) * 512,
                                        disk.device->Bytes().begin() + (disk.mftSector + 4) * 512 + 1024);
    CNTFSDataRunList logRuns;
    ASSERT_TRUE(
        CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(logRecord.data(), 1024, logRuns, 0, nullptr));
    const std::int64_t spc = disk.candidate->GetSectorsPerCluster();
    const std::int64_t page4 = kVolumeStart + logRuns.GetLCN(0) * spc + 4 * 8;
    const auto page = LogPageWithFileImage(original, 7);
    std::copy(page.begin(), page.end(), disk.device->Bytes().begin() + page4 * 512);
    EXPECT_EQ(build(false), 0);
    EXPECT_EQ(build(true), 20000);
}

}  // namespace
