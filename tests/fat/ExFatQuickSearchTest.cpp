// exFAT quick search on an image made by mkfs.exfat and filled through
// exfat-fuse (tests/fixtures/make_exfat_images.sh), checked against The
// Sleuth Kit, and on hand-patched copies of it.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ExFatTestSupport.h"
#include "fat/ExFatQuickSearch.h"
#include "fat/ExFatStructures.h"
#include "foundation/DataRun.h"
#include "foundation/DirectoryTree.h"
#include "foundation/Progress.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/VolumeAnalyze.h"
#include "storage/MemoryDevice.h"
#include "support/LittleEndian.h"
#include "support/Fixture.h"

namespace {

using exfattest::ReadRuns;
using exfattest::RecordingBuilder;

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[65536];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

const std::string& FixtureDir() {
    static const std::string dir = [] {
        return quillory_test::MakeFixtures("make_exfat_images.sh",
                                           std::string(QUILLORY_BINARY_DIR) + "/fixtures/exfat");
    }();
    return dir;
}

std::string Image() { return FixtureDir() + "/exfat.img"; }

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::vector<std::uint8_t> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

// The fixture image as an in-memory volume, so tests can patch their copy.
std::unique_ptr<CMemoryStorageDevice> LoadImage() {
    auto bytes = ReadFile(Image());
    auto dev = std::make_unique<CMemoryStorageDevice>(512, static_cast<std::int64_t>(bytes.size() / 512),
                                                      STORAGE_DEVICE_VOLUME);
    dev->Write(0, bytes.data(), bytes.size());
    return dev;
}

struct Geometry {
    std::uint64_t fatOffset, heap;
    std::uint32_t spc, root, clusterBytes;
    explicit Geometry(CMemoryStorageDevice& d) {
        const std::uint8_t* b = d.Bytes().data();
        fatOffset = byteorder::LE32(b + 80);
        heap = byteorder::LE32(b + 88);
        root = byteorder::LE32(b + 96);
        spc = 1u << b[109];
        clusterBytes = spc * 512;
    }
    std::uint64_t ClusterOffset(std::uint32_t c) const { return (heap + std::uint64_t(c - 2) * spc) * 512; }
    std::uint64_t FatEntryOffset(std::uint32_t c) const { return fatOffset * 512 + 4ull * c; }
};

class RecordingProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override { states.push_back(info->state); }
    int Continued() override { return ++asked <= allowed ? 1 : 0; }
    int shouldBuild() override { return 1; }
    int Finished() const {
        int n = 0;
        for (auto s : states) n += s == PROGRESS_STATE_FINISHED;
        return n;
    }
    std::vector<std::uint32_t> states;
    int asked = 0;
    int allowed = 1 << 30;
};

struct Scan {
    RecordingBuilder builder;
    RecordingProgress progress;
    std::unique_ptr<IQuickFileSystemSearchController> searcher{CreateEXFatQuickSearcher()};
    EngineResult result = 0;
    std::string stdoutText;
    void Run(IStorageDevice* dev) {
        searcher->SetDirecotryTreeBuilder(&builder);
        testing::internal::CaptureStdout();
        result = searcher->QuickSearchFiles(dev, &progress);
        stdoutText = testing::internal::GetCapturedStdout();
    }
};

// Path -> inode of what `fls -r -d -p` lists as deleted, orphans left out.
std::map<std::string, std::string> FlsDeleted(const std::string& image) {
    std::map<std::string, std::string> out;
    std::istringstream lines(Shell("fls -r -d -p '" + image + "'"));
    std::string line;
    while (std::getline(lines, line)) {
        auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string path = line.substr(tab + 1);
        if (path.rfind("$OrphanFiles", 0) == 0) continue;
        std::string head = line.substr(0, tab);
        auto colon = head.rfind(':');
        auto space = head.rfind(' ', colon);
        out[path] = head.substr(space + 1, colon - space - 1);
    }
    return out;
}

std::set<std::string> Keys(const std::map<std::string, std::string>& m) {
    std::set<std::string> out;
    for (auto& [k, v] : m) out.insert(k);
    return out;
}

TEST(ExFatQuickSearch, DeletedFilesMatchSleuthKitByteForByte) {
    auto dev = LoadImage();
    Geometry g(*dev);
    Scan scan;
    scan.Run(dev.get());
    ASSERT_EQ(scan.result, ENGINE_OK);
    ASSERT_EQ(scan.builder.searchers.size(), 1u);
    EXPECT_EQ(scan.builder.searchers[0].first, SEARCHER_EXFAT);
    EXPECT_EQ(scan.builder.searchers[0].second, static_cast<std::int64_t>(g.heap + (g.root - 2) * g.spc));
    EXPECT_EQ(scan.builder.flashed, std::vector<int>{SEARCHER_EXFAT});
    EXPECT_EQ(scan.progress.Finished(), 1);
    EXPECT_EQ(scan.progress.states.back(), PROGRESS_STATE_FINISHED);

    const auto fls = FlsDeleted(Image());
    ASSERT_FALSE(fls.empty());
    EXPECT_EQ(scan.builder.Paths(true), Keys(fls));

    CSearchedPartitionInfo* records[1] = {};
    ASSERT_EQ(scan.searcher->GetSearchedPartitionInfo(records, 1), 1);
    std::unique_ptr<CSearchedPartitionInfo> record(records[0]);
    EXPECT_EQ(record->GetFileSystemType(), FILE_SYSTEM_EXFAT);
    EXPECT_EQ(record->GetCluster0Sector(), static_cast<std::int64_t>(g.heap));
    EXPECT_EQ(record->GetSectorsPerCluster(), g.spc);
    EXPECT_EQ(scan.searcher->GetSearchedPartitionInfo(nullptr, 0), 1);

    int files = 0;
    for (auto& [path, inode] : fls) {
        IFileNode* node = scan.builder.Find(path);
        ASSERT_NE(node, nullptr) << path;
        if (node->IsDirectory()) continue;
        ++files;
        const std::string icat = Shell("icat '" + Image() + "' " + inode);
        const auto ours = ReadRuns(*dev, node, *record);
        EXPECT_EQ(ours.size(), icat.size()) << path;
        EXPECT_TRUE(std::string(ours.begin(), ours.end()) == icat) << path;
        EXPECT_EQ(ours, ReadFile(FixtureDir() + "/orig/" + path)) << path;
    }
    EXPECT_GE(files, 8);

    // Live files and folders are there as well, with their names and times.
    IFileNode* accented = scan.builder.Find("Dossier été/naïve-ñ.txt");
    ASSERT_NE(accented, nullptr);
    EXPECT_EQ(accented->IsDeleted(), 0);
    EXPECT_EQ(ReadRuns(*dev, accented, *record), ReadFile(FixtureDir() + "/orig/Dossier été/naïve-ñ.txt"));
    EXPECT_GT(accented->GetModificationTime(), 0);
    ASSERT_NE(scan.builder.Find("docs/deep/deeper/kept.dat"), nullptr);
    int bigChildren = 0;
    for (auto* n : scan.builder.nodes)
        if (scan.builder.PathOf(n).rfind("big/", 0) == 0) ++bigChildren;
    EXPECT_EQ(bigChildren, 60);
    // The FAT describes more clusters than the boot sector counts.
    EXPECT_NE(scan.stdoutText.find("chang totalClustur = "), std::string::npos) << scan.stdoutText;
}

// The offset of the file entry of the set named `name` in a folder cluster.
std::int64_t FindSet(CMemoryStorageDevice& dev, std::uint64_t clusterOffset, std::uint32_t clusterBytes,
                     const std::string& name) {
    const std::uint8_t* b = dev.Bytes().data() + clusterOffset;
    for (std::uint32_t off = 0; off + 96 <= clusterBytes; off += 32) {
        if (b[off] != 0x85 || b[off + 32] != 0xC0 || b[off + 35] != name.size()) continue;
        std::string got;
        for (std::size_t i = 0; i < name.size() && i < 15; ++i) got += static_cast<char>(b[off + 66 + 2 * i]);
        if (got == name.substr(0, 15)) return static_cast<std::int64_t>(clusterOffset + off);
    }
    return -1;
}

// exfat-fuse writes the "big" folder (two clusters) contiguously without a
// FAT chain and leaves its FAT entries 0. Variants: with a FAT chain, and a
// chain claimed over a cleared FAT.
TEST(ExFatQuickSearch, FoldersWithAndWithoutFatChain) {
    struct Case {
        const char* what;
        bool noFatChain;
        bool writeChain;
        int children;  // -1: fewer than all 60 (one cluster's worth)
    } cases[] = {
        {"no FAT chain, FAT entries 0", true, false, 60},
        {"no FAT chain, stale chain in the FAT", true, true, 60},
        {"FAT chain", false, true, 60},
        {"FAT chain claimed, FAT entries 0", false, false, -1},
    };
    for (const Case& c : cases) {
        auto dev = LoadImage();
        Geometry g(*dev);
        const std::int64_t at = FindSet(*dev, g.ClusterOffset(g.root), g.clusterBytes, "big");
        ASSERT_GE(at, 0);
        std::uint8_t* set = dev->Bytes().data() + at;
        const std::uint32_t first = byteorder::LE32(set + 52);
        const std::uint64_t clusters = byteorder::LE64(set + 56) / g.clusterBytes;
        ASSERT_GE(clusters, 2u) << "the folder must span two clusters";
        for (std::uint32_t k = 0; k < clusters; ++k) {
            const std::uint32_t v = !c.writeChain ? 0 : k + 1 < clusters ? first + k + 1 : 0xFFFFFFFFu;
            std::uint8_t* entry = dev->Bytes().data() + g.FatEntryOffset(first + k);
            quillory_test::Put32(entry, v);
        }
        set[33] = c.noFatChain ? 0x03 : 0x01;
        const std::uint16_t sum = ExFatSetChecksum(set, 32u * (1 + set[1]));
        quillory_test::Put16(set + 2, sum);

        Scan scan;
        scan.Run(dev.get());
        ASSERT_EQ(scan.result, ENGINE_OK) << c.what;
        int children = 0;
        for (auto* n : scan.builder.nodes)
            if (scan.builder.PathOf(n).rfind("big/", 0) == 0) ++children;
        if (c.children < 0) {
            EXPECT_GT(children, 0) << c.what;
            EXPECT_LT(children, 60) << c.what;
        } else {
            EXPECT_EQ(children, c.children) << c.what;
        }
    }
}

TEST(ExFatQuickSearch, VolumeGuidEntryInTheRootIsSkipped) {
    auto dev = LoadImage();
    Geometry g(*dev);
    Scan plain;
    plain.Run(dev.get());
    // Insert a volume GUID entry after the root's first entry (its label).
    std::uint8_t* root = dev->Bytes().data() + g.ClusterOffset(g.root);
    ASSERT_EQ(root[0], 0x83);
    const std::uint8_t* lastEntry = root + g.clusterBytes - 32;
    for (int i = 0; i < 32; ++i) ASSERT_EQ(lastEntry[i], 0) << "no room in the root cluster";
    std::memmove(root + 64, root + 32, g.clusterBytes - 64);
    std::memset(root + 32, 0, 32);
    root[32] = 0xA0;
    root[33] = 0;  // no secondaries
    for (int i = 6; i < 22; ++i) root[32 + i] = static_cast<std::uint8_t>(i * 7);
    const std::uint16_t sum = ExFatSetChecksum(root + 32, 32);
    quillory_test::Put16(root + 34, sum);

    Scan patched;
    patched.Run(dev.get());
    ASSERT_EQ(patched.result, ENGINE_OK);
    EXPECT_EQ(patched.builder.Paths(false), plain.builder.Paths(false));
    EXPECT_EQ(patched.builder.Paths(true), Keys(FlsDeleted(Image())));
}

TEST(ExFatQuickSearch, LoopedRootChainIsReadOncePerCluster) {
    auto dev = LoadImage();
    Geometry g(*dev);
    Scan plain;
    plain.Run(dev.get());
    const std::int64_t plainReads = dev->ReadCalls();
    std::uint8_t* entry = dev->Bytes().data() + g.FatEntryOffset(g.root);
    quillory_test::Put32(entry, g.root);
    Scan looped;
    looped.Run(dev.get());
    ASSERT_EQ(looped.result, ENGINE_OK);
    EXPECT_EQ(looped.builder.Paths(false), plain.builder.Paths(false));
    EXPECT_EQ(dev->ReadCalls() - plainReads, plainReads);
}

TEST(ExFatQuickSearch, FailuresEndWithOneFinishedRecord) {
    {
        auto dev = LoadImage();
        Geometry g(*dev);
        dev->FailSector(static_cast<std::int64_t>(g.heap + (g.root - 2) * g.spc));
        Scan scan;
        scan.Run(dev.get());
        EXPECT_EQ(scan.result, EXFAT_ERR_ROOT_READ);
        EXPECT_TRUE(scan.builder.nodes.empty());
        EXPECT_TRUE(scan.builder.flashed.empty());
        EXPECT_EQ(scan.progress.Finished(), 1);
    }
    {
        auto dev = LoadImage();
        dev->Bytes()[3] = 'X';  // not an exFAT boot sector
        Scan scan;
        scan.Run(dev.get());
        EXPECT_EQ(scan.result, EXFAT_ERR_NOT_EXFAT);
        EXPECT_TRUE(scan.builder.searchers.empty());
        EXPECT_EQ(scan.progress.Finished(), 1);
    }
    {
        CMemoryStorageDevice empty(512, 0, STORAGE_DEVICE_VOLUME);
        Scan scan;
        scan.Run(&empty);
        EXPECT_TRUE(IsEngineFailure(scan.result));
        EXPECT_EQ(scan.progress.Finished(), 1);
    }
    {
        // A stop after the root: the root's children are kept and the tree is built.
        auto dev = LoadImage();
        Scan scan;
        scan.progress.allowed = 0;
        scan.Run(dev.get());
        EXPECT_EQ(scan.result, ENGINE_OK);
        EXPECT_NE(scan.builder.Find("keep.txt"), nullptr);
        EXPECT_EQ(scan.builder.Find("docs/readme.md"), nullptr);
        EXPECT_EQ(scan.builder.flashed, std::vector<int>{SEARCHER_EXFAT});
        EXPECT_EQ(scan.progress.Finished(), 1);
    }
}

TEST(ExFatQuickSearch, Recogniser) {
    auto dev = LoadImage();
    std::unique_ptr<IVolumeAnalyze> a(CreateExfatVolumeAnalyze(dev.get(), 0));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetFileSystemType(), FILE_SYSTEM_EXFAT);
    EXPECT_EQ(a->GetTotalSector(), dev->GetTotalSectors());
    char label[16];
    std::memset(label, 'x', sizeof label);
    a->GetLabel(label, sizeof label);
    EXPECT_STREQ(label, "");
    EXPECT_EQ(CreateExfatVolumeAnalyze(dev.get(), 1), nullptr);
    EXPECT_EQ(CreateExfatVolumeAnalyze(nullptr, 0), nullptr);
    dev->FailSector(0);
    EXPECT_EQ(CreateExfatVolumeAnalyze(dev.get(), 0), nullptr);
}

}  // namespace
