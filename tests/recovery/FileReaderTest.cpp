// The file reader over runs on an in-memory device, over resident NTFS
// content, and over files found by the FAT quick searcher.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "WriterTestSupport.h"
#include "recovery/FileReader.h"
#include "storage/MemoryDevice.h"

using namespace writertest;

namespace {

// Byte b of the pattern device: sector number's low byte mixed with the
// position, so a shifted read shows.
std::uint8_t PatternByte(std::int64_t absolute) {
    return static_cast<std::uint8_t>((absolute / 512) * 7 + (absolute % 512));
}

void FillDevice(CMemoryStorageDevice& dev) {
    auto& b = dev.Bytes();
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = PatternByte(static_cast<std::int64_t>(i));
}

// Expected file bytes for runs in 1-sector clusters with cluster 0 at `c0`.
std::vector<std::uint8_t> Expected(const std::vector<DataRun>& runs, std::int64_t c0, std::int64_t size) {
    std::vector<std::uint8_t> out;
    for (const DataRun& r : runs)
        for (std::int64_t i = 0; i < r.length * 512; ++i)
            out.push_back(r.start < 0 ? 0 : PatternByte((c0 + r.start) * 512 + i));
    out.resize(static_cast<std::size_t>(size));
    return out;
}

class ZeroSectorSizeDevice : public CMemoryStorageDevice {
public:
    using CMemoryStorageDevice::CMemoryStorageDevice;
    std::uint32_t GetSectorSize() override { return 0; }
};

}  // namespace

TEST(FileReader, ReadsAcrossRunsSparseAndEdges) {
    CMemoryStorageDevice dev(512, 256);
    FillDevice(dev);
    const std::vector<DataRun> runs = {{10, 3}, {-1, 2}, {50, 4}};
    const std::int64_t size = 8 * 512 + 100;  // ends inside the last run's fourth cluster
    FakeNode node(1, 0, "f", false, true, size);
    node.SetRuns(Runs({runs[0], runs[1], runs[2]}));
    auto part = Partition(20, 1);
    CFileReader reader;
    ASSERT_EQ(reader.Open(&dev, &node, part.get()), 1);
    EXPECT_EQ(reader.GetDataSize(), size);
    const auto expected = Expected(runs, 20, size);

    struct Case {
        std::int64_t offset;
        unsigned length;
        int want;  // bytes returned
    };
    for (const Case& c : {
             Case{0, 4096, 4096},            // aligned, across the sparse run
             Case{3 * 512 - 20, 60, 60},     // from run 1 into the sparse run
             Case{4 * 512 + 7, 1100, 1100},  // sparse into the third run, unaligned
             Case{13, 13, 13},               // inside one sector, 13-byte buffer
             Case{size - 5, 50, 5},          // shortened at the end
             Case{0, 1u << 20, static_cast<int>(size)},
         }) {
        std::vector<char> buf(c.length);  // exactly the length: ASan sees any overrun
        int err = 0;
        ASSERT_EQ(reader.ReadData(c.offset, buf.data(), c.length, &err), c.want) << c.offset;
        EXPECT_EQ(0, std::memcmp(buf.data(), expected.data() + c.offset, static_cast<std::size_t>(c.want)))
            << "offset " << c.offset;
        EXPECT_EQ(err, 0);
    }
    char one = 0;
    EXPECT_EQ(reader.ReadData(size, &one, 1, nullptr), 0);  // offset at the size
    EXPECT_EQ(reader.ReadData(-1, &one, 1, nullptr), 0);

    // A clone reads the same and outlives the original.
    std::unique_ptr<IFileReader, void (*)(IFileReader*)> clone(reader.Clone(), [](IFileReader* r) { r->Release(); });
    reader.Close();
    EXPECT_EQ(reader.GetDataSize(), 0);
    std::vector<char> buf(size);
    ASSERT_EQ(clone->ReadData(0, buf.data(), static_cast<unsigned>(size), nullptr), size);
    EXPECT_EQ(0, std::memcmp(buf.data(), expected.data(), static_cast<std::size_t>(size)));
}

TEST(FileReader, OpenRefusesAndReadFailures) {
    CMemoryStorageDevice dev(512, 64);
    FillDevice(dev);
    auto part = Partition(0, 2);
    FakeNode node(1, 0, "f", false, true, 4096);
    CFileReader r;
    EXPECT_EQ(r.Open(nullptr, &node, part.get()), 0);
    EXPECT_EQ(r.Open(&dev, &node, part.get()), 0);  // no run list
    node.SetRuns(Runs({{4, 4}}));
    {
        // 0 sectors per cluster (the raw search's record, older scan results)
        // counts runs in sectors, as a 1 does.
        auto noCluster = Partition(0, 0);
        CFileReader z;
        ASSERT_EQ(z.Open(&dev, &node, noCluster.get()), 1);
        std::vector<char> got(2048);
        ASSERT_EQ(z.ReadData(0, got.data(), 2048, nullptr), 2048);
        const auto want = Expected({{4, 4}}, 0, 2048);
        EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.end()), want);
    }
    FakeNode empty(2, 0, "e", false, true, 0);
    empty.SetRuns(Runs({{4, 1}}));
    EXPECT_EQ(r.Open(&dev, &empty, part.get()), 0);
    ASSERT_EQ(r.Open(&dev, &node, part.get()), 1);

    // A failed sector fails the read and says so.
    dev.FailSector(9);
    std::vector<char> buf(4096);
    int err = 0;
    EXPECT_EQ(r.ReadData(0, buf.data(), 4096, &err), 0);
    EXPECT_EQ(err, -1);
    EXPECT_EQ(r.ReadData(0, buf.data(), 512, nullptr), 512);  // sector 8 alone is fine
    dev.ClearFailures();

    // Runs that end before the size: what the runs hold, the rest unread.
    FakeNode shortNode(3, 0, "s", false, true, 10000);
    shortNode.SetRuns(Runs({{4, 2}}));  // 2 clusters = 2,048 bytes
    CFileReader s;
    ASSERT_EQ(s.Open(&dev, &shortNode, part.get()), 1);
    std::vector<char> big(10000);
    EXPECT_EQ(s.ReadData(0, big.data(), 10000, nullptr), 2048);

    // A run whose start overflows the sector count is a failed read, not a wild one.
    FakeNode wild(4, 0, "w", false, true, 512);
    wild.SetRuns(Runs({{INT64_MAX / 2, 1}}));
    CFileReader w;
    ASSERT_EQ(w.Open(&dev, &wild, part.get()), 1);
    EXPECT_EQ(w.ReadData(0, buf.data(), 512, &err), 0);
}

TEST(FileReader, SectorSizeZeroReadsAs512) {
    ZeroSectorSizeDevice dev(512, 64);
    FillDevice(dev);
    FakeNode node(1, 0, "f", false, true, 1024);
    node.SetRuns(Runs({{3, 2}}));
    auto part = Partition(1, 1);
    CFileReader r;
    ASSERT_EQ(r.Open(&dev, &node, part.get()), 1);
    std::vector<char> buf(1024);
    ASSERT_EQ(r.ReadData(0, buf.data(), 1024, nullptr), 1024);
    EXPECT_EQ(static_cast<std::uint8_t>(buf[0]), PatternByte(4 * 512));
    EXPECT_EQ(static_cast<std::uint8_t>(buf[1023]), PatternByte(5 * 512 + 511));
}

namespace {

// A 1,024-byte FILE record at `sector` with `content` at byte `offset`,
// protected by an update sequence (so bytes 510-511 sit in the array).
void PlaceRecord(CMemoryStorageDevice& dev, std::int64_t sector, std::uint32_t offset,
                 const std::vector<std::uint8_t>& content) {
    std::vector<std::uint8_t> rec(1024, 0);
    std::memcpy(rec.data(), "FILE", 4);
    rec[4] = 48;  // update sequence array offset
    rec[6] = 3;   // count: the number and two strides
    const std::uint32_t used = offset + static_cast<std::uint32_t>(content.size()) + 8;
    std::memcpy(rec.data() + 24, &used, 4);
    std::memcpy(rec.data() + offset, content.data(), content.size());
    rec[48] = 0x34;
    rec[49] = 0x12;
    for (int i = 1; i <= 2; ++i) {
        rec[48 + 2 * i] = rec[i * 512 - 2];
        rec[49 + 2 * i] = rec[i * 512 - 1];
        rec[i * 512 - 2] = 0x34;
        rec[i * 512 - 1] = 0x12;
    }
    dev.Write(static_cast<std::uint64_t>(sector) * 512, rec.data(), rec.size());
}

}  // namespace

TEST(FileReader, ResidentContentFromTheOffset) {
    CMemoryStorageDevice dev(512, 64);
    std::vector<std::uint8_t> content(600);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 3 + 1);
    PlaceRecord(dev, 16, 0x118, content);  // crosses the first stride's end
    FakeNode node(1, 0, "r", false, true, 600);
    node.SetRuns(new ResidentList(16, 0x118));
    auto part = Partition(0, 8);
    CFileReader r;
    ASSERT_EQ(r.Open(&dev, &node, part.get()), 1);
    std::vector<char> buf(1024);
    ASSERT_EQ(r.ReadData(0, buf.data(), 1024, nullptr), 600);
    EXPECT_EQ(0, std::memcmp(buf.data(), content.data(), 600));
    std::vector<char> small(13);
    ASSERT_EQ(r.ReadData(100, small.data(), 13, nullptr), 13);
    EXPECT_EQ(0, std::memcmp(small.data(), content.data() + 100, 13));
    ASSERT_EQ(r.ReadData(590, buf.data(), 100, nullptr), 10);
    EXPECT_EQ(0, std::memcmp(buf.data(), content.data() + 590, 10));

    // A torn record (a stride without the sequence number) or content past
    // the record's used bytes is refused.
    dev.Sector(16)[510] = 0;
    EXPECT_EQ(r.ReadData(0, buf.data(), 1024, nullptr), 0);
    PlaceRecord(dev, 16, 0x118, content);
    FakeNode tooBig(2, 0, "t", false, true, 900);
    tooBig.SetRuns(new ResidentList(16, 0x118));
    CFileReader t;
    ASSERT_EQ(t.Open(&dev, &tooBig, part.get()), 1);
    EXPECT_EQ(t.ReadData(0, buf.data(), 1024, nullptr), 0);
}

// Every deleted file the FAT quick searcher finds reads back as its original.
TEST(FileReader, FatFoundFilesMatchTheirOriginals) {
    for (auto [image, type] : {std::pair<const char*, std::uint32_t>{"fat16", 1}, {"fat32", 2}}) {
        FatScan scan(image, type);
        ASSERT_EQ(scan.result, ENGINE_OK);
        ASSERT_NE(scan.record, nullptr);
        auto files = scan.DeletedWithOriginals();
        ASSERT_GE(files.size(), 3u) << image;
        for (auto& [node, orig] : files) {
            CFileReader r;
            ASSERT_EQ(r.Open(scan.dev.get(), static_cast<CFileNode*>(node), scan.record.get()), 1);
            std::vector<char> buf(orig.size());
            EXPECT_EQ(r.ReadData(0, buf.data(), static_cast<unsigned>(buf.size()), nullptr),
                      static_cast<int>(orig.size()))
                << node->GetFileName();
            EXPECT_EQ(0, std::memcmp(buf.data(), orig.data(), orig.size())) << node->GetFileName();
        }
    }
}
