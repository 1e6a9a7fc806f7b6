// The raw search driver over crafted layouts: streaming, eviction to the
// device sizer, the bit-map skip, stops, unreadable sectors and the size gate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "RawSearchSupport.h"
#include "foundation/Bitmap.h"
#include "foundation/ByteOrder.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/RecoveryController.h"
#include "storage/MemoryDevice.h"
#include "support/RecordingSink.h"
#include "storage/SyntheticDevice.h"

using rawtest::Found;
using rawtest::RawSearch;
using rawtest::StopAfter;

namespace {

using Bytes = std::vector<std::uint8_t>;

void Chunk(Bytes& out, const char* type, std::uint32_t length, std::uint8_t fill = 0x5A) {
    std::uint8_t head[8];
    byteorder::PutBE32(head, length);
    std::memcpy(head + 4, type, 4);
    out.insert(out.end(), head, head + 8);
    out.insert(out.end(), length, fill);
    out.insert(out.end(), 4, 0xCC);  // CRC, not checked
}

// A PNG of about `bytes` bytes: signature, IHDR, one IDAT, IEND.
Bytes Png(std::size_t bytes) {
    Bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes ihdr(13, 0);
    byteorder::PutBE32(ihdr.data(), 16);
    byteorder::PutBE32(ihdr.data() + 4, 16);
    std::uint8_t head[8] = {0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    out.insert(out.end(), head, head + 8);
    out.insert(out.end(), ihdr.begin(), ihdr.end());
    out.insert(out.end(), 4, 0xCC);
    const std::size_t fixed = out.size() + 12 + 12;
    Chunk(out, "IDAT", static_cast<std::uint32_t>(bytes > fixed ? bytes - fixed : 1));
    Chunk(out, "IEND", 0);
    return out;
}

std::vector<Found> OfName(const std::vector<Found>& files, const std::string& ext) {
    std::vector<Found> out;
    for (const Found& f : files)
        if (f.name.size() >= ext.size() && f.name.compare(f.name.size() - ext.size(), ext.size(), ext) == 0)
            out.push_back(f);
    return out;
}

}  // namespace

TEST(RawDriver, PngWhoseIendStraddlesSectorAndBlockEnds) {
    // IEND's header across a sector boundary, and in a second case across the
    // end of a block: the chunk type is read from the bytes that follow.
    for (std::size_t endAt : {512u * 3 - 4, 512u * 16 - 6}) {
        Bytes png = Png(endAt + 12);
        CSyntheticStorageDevice dev(512);
        dev.AddZeros(512 * 2).AddBytes(png).AddZeros(512 * 40);
        RawSearch raw(&dev, 18);  // the IEND of the second case lies at the end of block 0
        raw.Run();
        auto files = raw.Files();
        ASSERT_EQ(files.size(), 1u) << endAt;
        EXPECT_EQ(files[0].size, static_cast<std::int64_t>(png.size()));
        EXPECT_EQ(files[0].start, 2);
        EXPECT_EQ(files[0].folder, "png");
        const std::int64_t endSector = 2 + static_cast<std::int64_t>(endAt) / 512;
        EXPECT_EQ(files[0].name, "2-" + std::to_string(endSector) + "_000.PNG");
        EXPECT_EQ(raw.Read(files[0].node), png);
        EXPECT_EQ(raw.builder.flashed, (std::vector<int>{34, 36}));
        EXPECT_EQ(raw.builder.searchers, (std::vector<std::pair<int, std::int64_t>>{{34, 1}, {36, 1000}}));
    }
}

TEST(RawDriver, FortyPngsOpenAtOnceAreAllSizedTheEvictedThroughTheTwin) {
    // PNG k starts at sector k inside the IDAT of PNG k - 1; the IENDs lie in
    // reverse order far behind, beyond a ring of 20 blocks of 16 sectors.
    constexpr int kCount = 40;
    const std::size_t firstEnd = 512 * 400;
    Bytes disk(512 * 520, 0x77);
    std::vector<std::size_t> sizes;
    for (int k = 0; k < kCount; ++k) {
        const std::size_t start = 512 * static_cast<std::size_t>(k);
        const std::size_t iend = firstEnd + static_cast<std::size_t>(kCount - 1 - k) * 12;
        Bytes png = Png(64);
        png.resize(33);  // signature and IHDR
        std::copy(png.begin(), png.end(), disk.begin() + static_cast<std::ptrdiff_t>(start));
        byteorder::PutBE32(&disk[start + 33], static_cast<std::uint32_t>(iend - start - 45));
        std::memcpy(&disk[start + 37], "IDAT", 4);
        byteorder::PutBE32(&disk[iend], 0);
        std::memcpy(&disk[iend + 4], "IEND", 4);
        sizes.push_back(iend + 12 - start);
    }
    CMemoryStorageDevice dev(512, static_cast<std::int64_t>(disk.size() / 512));
    dev.Write(0, disk.data(), disk.size());
    RawSearch raw(&dev, 16);
    raw.Run();
    auto files = raw.Files();
    ASSERT_EQ(files.size(), static_cast<std::size_t>(kCount));
    for (const Found& f : files) {
        ASSERT_GE(f.start, 0);
        ASSERT_LT(f.start, kCount);
        EXPECT_EQ(f.size, static_cast<std::int64_t>(sizes[static_cast<std::size_t>(f.start)])) << f.start;
    }
    EXPECT_TRUE(raw.search.EvictionLosses().empty());
}

TEST(RawDriver, GifWhoseSubBlockLengthsLookLikeBlockIntroducers) {
    // Sub-block lengths 0x21, 0x2C and 0x3B before the real trailer, which
    // lies in the third sector: the file is three whole sectors.
    Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 16, 0, 16, 0, 0x00, 0, 0};
    const std::uint8_t descriptor[10] = {0x2C, 0, 0, 0, 0, 16, 0, 16, 0, 0x00};
    gif.insert(gif.end(), descriptor, descriptor + 10);
    gif.push_back(2);  // LZW code size
    for (int i = 0; gif.size() < 1100; ++i) {
        const std::uint8_t len = (i % 3 == 0) ? 0x3B : (i % 3 == 1) ? 0x21 : 0x2C;
        gif.push_back(len);
        gif.insert(gif.end(), len, 0x3B);
    }
    gif.push_back(0);     // end of the chain
    gif.push_back(0x3B);  // trailer
    CSyntheticStorageDevice dev(512);
    dev.AddZeros(512).AddBytes(gif).AddZeros(512 * 8);
    RawSearch raw(&dev);
    raw.Run();
    auto files = raw.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].size, 512 * 3);
    EXPECT_EQ(files[0].folder, "gif");
    Bytes want = gif;
    want.resize(512 * 3, 0);
    EXPECT_EQ(raw.Read(files[0].node), want);
}

TEST(RawDriver, HeaderSizedHitStillFeedsTheOpenRecords) {
    // A BMP whose header sits in the sector where an open PNG's IEND lies
    // (inside the PNG's data): the PNG still ends there.
    Bytes png = Png(512 * 3 + 40);
    const std::size_t bmpAt = 512 * 3;
    Bytes bmp(64, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    byteorder::PutLE32(&bmp[2], 64);
    byteorder::PutLE32(&bmp[14], 40);
    std::copy(bmp.begin(), bmp.begin() + 24, png.begin() + static_cast<std::ptrdiff_t>(bmpAt));
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(png).AddZeros(512 * 8);
    RawSearch raw(&dev);
    raw.Run();
    auto files = raw.Files();
    ASSERT_EQ(OfName(files, ".PNG").size(), 1u);
    EXPECT_EQ(OfName(files, ".PNG")[0].size, static_cast<std::int64_t>(png.size()));
    EXPECT_EQ(OfName(files, ".BMP").size(), 1u);
}

TEST(RawDriver, BitmapSkipsUsedClusters) {
    // Clusters of 8 sectors; cluster 1 (sectors 8..15) is used. A BMP inside
    // it is not looked at; one right after it is.
    Bytes bmp(64, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    byteorder::PutLE32(&bmp[2], 64);
    byteorder::PutLE32(&bmp[14], 40);
    CMemoryStorageDevice dev(512, 64);
    for (std::int64_t s : {9, 16, 21}) dev.Write(static_cast<std::uint64_t>(s) * 512, bmp.data(), bmp.size());
    TBitmap bitmap;
    bitmap.CreateBitmap(8, 8);
    bitmap.SetBit(1, 1, 1);
    RawSearch raw(&dev);
    raw.search.SetBitmap(&bitmap);
    raw.Run();
    std::vector<std::int64_t> starts;
    for (const Found& f : raw.Files()) starts.push_back(f.start);
    std::sort(starts.begin(), starts.end());
    EXPECT_EQ(starts, (std::vector<std::int64_t>{16, 21}));
}

TEST(RawDriver, BitmapWordSkipVisitsTheSectorsOfTheSectorWalk) {
    // A BMP header in every sector, so each sector the search looks at yields
    // a file. The sectors found must be those the walk of one sector (inside a
    // cluster) or one cluster (from a boundary) at a time reaches. Blocks of
    // 37 sectors start off both the cluster and the 64-bit word boundaries.
    struct Run {
        std::int64_t from, count;
    };
    struct Case {
        const char* what;
        std::uint32_t unit;
        std::int64_t bits;
        std::vector<Run> set;
        std::int64_t sectors;
    };
    const std::vector<Case> cases = {
        {"none set", 1, 300, {}, 320},
        {"all set, partial last word, disk past the map", 1, 300, {{0, 300}}, 400},
        {"runs across word edges", 1, 300, {{0, 1}, {60, 11}, {120, 81}, {255, 45}}, 300},
        {"a word all set but its last bit", 1, 200, {{64, 63}, {129, 64}}, 200},
        {"short map, a partial word only", 1, 70, {{3, 67}}, 100},
        {"clusters of 8, all set", 8, 100, {{0, 100}}, 900},
        {"clusters of 8, runs across word edges", 8, 100, {{1, 1}, {62, 5}, {30, 34}, {97, 3}}, 820},
        {"clusters of 8, none set", 8, 40, {}, 330},
    };
    constexpr std::int64_t kBlock = 37;
    Bytes bmp(64, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    byteorder::PutLE32(&bmp[2], 64);
    byteorder::PutLE32(&bmp[14], 40);
    for (const Case& c : cases) {
        TBitmap bitmap;
        ASSERT_EQ(bitmap.CreateBitmap(c.bits, c.unit), 1);
        for (const Run& r : c.set) bitmap.SetBit(r.from, 1, static_cast<std::uint32_t>(r.count));
        std::vector<std::int64_t> want;
        for (std::int64_t first = 0; first < c.sectors; first += kBlock) {
            const std::int64_t held = std::min(kBlock, c.sectors - first);
            for (std::int64_t i = 0; i < held;) {
                const std::int64_t s = first + i;
                if (bitmap.GetBit(s / c.unit)) {
                    i += (s % c.unit) != 0 ? 1 : c.unit;
                    continue;
                }
                want.push_back(s);
                ++i;
            }
        }
        CMemoryStorageDevice dev(512, c.sectors);
        for (std::int64_t s = 0; s < c.sectors; ++s)
            dev.Write(static_cast<std::uint64_t>(s) * 512, bmp.data(), bmp.size());
        RawSearch raw(&dev, static_cast<int>(kBlock));
        raw.search.SetBitmap(&bitmap);
        raw.Run();
        std::vector<std::int64_t> got;
        for (const Found& f : raw.Files()) got.push_back(f.start);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << c.what;
    }
}

TEST(RawDriver, EndSearchWithoutBuildAndAStopDuringIt) {
    Bytes png = Png(512 * 600);
    {
        CSyntheticStorageDevice dev(512);
        dev.AddBytes(png).AddZeros(512 * 8);
        RawSearch raw(&dev);
        raw.Run(nullptr, 0);
        EXPECT_TRUE(raw.builder.flashed.empty());
    }
    {
        // The PNG is still open when the scan stops: nothing is sized, both
        // trees are flushed, and the record is freed (the leak check sees it).
        CSyntheticStorageDevice dev(512);
        dev.AddBytes(png);
        RawSearch raw(&dev);
        StopAfter progress(2);
        raw.Run(&progress);
        EXPECT_EQ(raw.builder.flashed, (std::vector<int>{34, 36}));
        EXPECT_TRUE(raw.Files().empty());
    }
}

TEST(RawDriver, UnreadableSectorsCostOnlyThemselves) {
    // A sector fails in block 0: a PNG in block 0 after it and one across
    // blocks 1 and 2 keep their sizes and bytes.
    for (std::uint32_t ss : {512u, 4096u}) {
        const std::int64_t block = 16;
        Bytes a = Png(ss * 2 + 100), b = Png(ss * 3 + 7);
        CMemoryStorageDevice dev(ss, 64);
        dev.Write(ss * 5, a.data(), a.size());
        dev.Write(ss * (block + 14), b.data(), b.size());
        dev.FailSector(3);
        RawSearch raw(&dev, static_cast<int>(block));
        raw.Run();
        auto files = raw.Files();
        ASSERT_EQ(files.size(), 2u) << ss;
        for (const Found& f : files) {
            const Bytes& want = f.start == 5 ? a : b;
            EXPECT_EQ(f.size, static_cast<std::int64_t>(want.size())) << ss << " " << f.start;
            EXPECT_EQ(raw.Read(f.node), want) << ss << " " << f.start;
        }
    }
}

TEST(RawDriver, SizeGateAndPartitionRecord) {
    // An ICNS whose header claims more than the device holds is cut at the
    // device end; a BMP that claims 0 bytes yields nothing.
    Bytes icns = {'i', 'c', 'n', 's', 0, 0x10, 0, 0};
    Bytes bmp(64, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    byteorder::PutLE32(&bmp[14], 40);
    CMemoryStorageDevice dev(512, 32);
    dev.Write(512 * 30, icns.data(), icns.size());
    dev.Write(512 * 4, bmp.data(), bmp.size());
    std::map<std::int64_t, std::uint32_t> sectors;
    RawSearch raw(&dev);
    raw.search.SetFileSectorMap(&sectors);
    raw.Run();
    auto files = raw.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].size, 2 * 512);
    EXPECT_EQ(sectors, (std::map<std::int64_t, std::uint32_t>{{4, RAW_FILE_TYPE_BMP}, {30, RAW_FILE_TYPE_ICNS}}));
    CSearchedPartitionInfo* record = nullptr;
    EXPECT_EQ(raw.search.GetSearchedPartitionInfo(&record, 1), 1);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->GetSectorsPerCluster(), 1u);
    EXPECT_EQ(record->GetCount(), 1u);
    EXPECT_EQ(record->GetScore(), 1.0);
    delete record;
    EXPECT_EQ(raw.search.GetSearchedPartitionInfo(nullptr, 1), 1);
}

namespace {

// Stops the scan once the controller reports its second block done.
class StopAfterTwoBlocks : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override {
        if (info->state == PROGRESS_STATE_RUNNING && info->current >= 1) stop = true;
    }
    int Continued() override { return stop ? 0 : 1; }
    int shouldBuild() override { return 1; }
    bool stop = false;
};

}  // namespace

TEST(RawDriver, StoppedDeepScanStillShowsWhatTheRawSearchFound) {
    // PNGs in blocks 0 and 1 of a five-block disk; the user stops after two
    // blocks. Only the real raw search runs; its files reach the view.
    GetTreeBuilderTiming() = {[] { return int64_t{1000}; }, [](unsigned) {}};
    ScanControllerFactories& f = GetScanControllerFactories();
    f.flush = [](IStorageDevice*) {};
    f.hfsplusDeep = f.exfatDeep = f.fatDeep = f.ntfsDeep = f.apfsDeep = nullptr;
    const Bytes a = Png(5000), b = Png(70000);
    CMemoryStorageDevice dev(512, 8192 * 5);
    dev.Write(512 * 100, a.data(), a.size());
    dev.Write(512 * (8192 + 7), b.data(), b.size());
    CRecoveryFilter filter;
    filter.SetFilterTypes(FILTER_ALL);
    filter.SetScanType(SCAN_TYPE_DEEP);
    quillory_test::RecordingSink sink;
    StopAfterTwoBlocks progress;
    IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_DEEP_DISK);
    ASSERT_EQ(controller->Initialize(&filter), 1);
    EXPECT_EQ(controller->StartDataRecovery(&dev, &progress, &sink), ENGINE_OK);
    std::vector<std::int64_t> sizes;
    for (IFileNode* n : sink.shown)
        if (!n->IsDirectory()) sizes.push_back(n->GetFileSize());
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes,
              (std::vector<std::int64_t>{static_cast<std::int64_t>(a.size()), static_cast<std::int64_t>(b.size())}));
    controller->Release();
    ResetScanControllerFactories();
    ResetTreeBuilderTiming();
}
