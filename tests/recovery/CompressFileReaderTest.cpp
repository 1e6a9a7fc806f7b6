// The NTFS-compressed reader: regrouping runs into units, LZNT1 chunks, and
// whole files on an in-memory device.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "WriterTestSupport.h"
#include "recovery/CompressFileReader.h"
#include "recovery/DataRecovery.h"
#include "storage/MemoryDevice.h"

using namespace writertest;

TEST(CompressFileReader, RegroupsRunsIntoUnits) {
    struct Piece {
        std::int64_t lcn;
        std::int32_t length;
        std::uint16_t type;
    };
    struct Case {
        const char* what;
        std::vector<DataRun> runs;
        std::vector<Piece> want;
    };
    for (const Case& c : {
             Case{"3 data + 13 sparse", {{100, 3}, {-1, 13}}, {{100, 3, COMPRESSED_UNIT}, {-1, 13, COMPRESSED_UNIT}}},
             Case{"40 plain",
                  {{200, 40}},
                  {{200, 16, NONECOMPRESSED_UNIT}, {216, 16, NONECOMPRESSED_UNIT}, {232, 8, NONECOMPRESSED_UNIT}}},
             Case{"48 sparse", {{-1, 48}}, {{-1, 16, SPARSE_UNIT}, {-1, 16, SPARSE_UNIT}, {-1, 16, SPARSE_UNIT}}},
             Case{"data over two runs then sparse",
                  {{10, 2}, {50, 3}, {-1, 11}, {70, 16}},
                  {{10, 2, COMPRESSED_UNIT},
                   {50, 3, COMPRESSED_UNIT},
                   {-1, 11, COMPRESSED_UNIT},
                   {70, 16, NONECOMPRESSED_UNIT}}},
         }) {
        std::unique_ptr<CDataRunList> list(new CDataRunList);
        for (const DataRun& r : c.runs) list->AddDataRun(&r);
        std::list<tagCompressDataRun> out;
        CCompressFileReader::ReGroupCompressDataRunList(list.get(), out);
        ASSERT_EQ(out.size(), c.want.size()) << c.what;
        auto it = out.begin();
        for (const Piece& p : c.want) {
            EXPECT_EQ(it->s64LCN, p.lcn) << c.what;
            EXPECT_EQ(it->length, p.length) << c.what;
            EXPECT_EQ(it->eType, p.type) << c.what;
            ++it;
        }
    }
}

TEST(CompressFileReader, DecompressBlockCases) {
    std::vector<unsigned char> out(4096 + 64, 0xEE);
    // A stored chunk with low bits 0x0FFF: 4,096 bytes.
    std::vector<unsigned char> stored(4098);
    stored[0] = 0xFF;
    stored[1] = 0x3F;
    for (int i = 0; i < 4096; ++i) stored[2 + i] = static_cast<unsigned char>(i * 13);
    ASSERT_EQ(CCompressFileReader::DecompressBlock(out.data(), 8192, stored.data(), 4098), 4096);
    EXPECT_EQ(0, std::memcmp(out.data(), stored.data() + 2, 4096));
    // Cut input: only what is there is copied.
    EXPECT_EQ(CCompressFileReader::DecompressBlock(out.data(), 8192, stored.data(), 100), 98);
    // 'A' then a back-reference of distance 1 and length 4,095: 4,096 'A'.
    const unsigned char run[] = {0x03, 0xB0, 0x02, 'A', 0xFC, 0x0F};
    ASSERT_EQ(CCompressFileReader::DecompressBlock(out.data(), 8192, run, sizeof run), 4096);
    EXPECT_EQ(out[0], 'A');
    EXPECT_EQ(out[4095], 'A');
    EXPECT_EQ(out[4096], 0xEE);  // the 4,096 cap
    // A reference before the chunk's start gives zeros: "AB" then distance 4.
    const unsigned char before[] = {0x05, 0xB0, 0x04, 'A', 'B', 0x00, 0x30};
    ASSERT_EQ(CCompressFileReader::DecompressBlock(out.data(), 100, before, sizeof before), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), 5), std::string("AB\0\0A", 5));
    // A back-reference whose token is cut by the end of the input stops there.
    const unsigned char cut[] = {0x04, 0xB0, 0x02, 'A', 0xFC};
    EXPECT_EQ(CCompressFileReader::DecompressBlock(out.data(), 100, cut, sizeof cut), 1);
    EXPECT_EQ(CCompressFileReader::DecompressBlock(out.data(), 0, run, sizeof run), 0);
}

namespace {

// A compressed file on a device with 512-byte clusters: unit 0 compressed
// (one cluster of data, 15 sparse), unit 1 sparse, unit 2 stored plainly,
// then a last short piece.
struct CompressedFile {
    CompressedFile() : dev(512, 256) {
        // Unit 0 at cluster 10: two chunks, 4,096 'A' then 4,096 'B', the rest of the 8 KiB unit zeros.
        const unsigned char unit0[] = {0x03, 0xB0, 0x02, 'A', 0xFC, 0x0F, 0x03, 0xB0, 0x02, 'B', 0xFC, 0x0F, 0, 0};
        dev.Write(10 * 512, unit0, sizeof unit0);
        for (int i = 0; i < 16 * 512 + 700; ++i) dev.Bytes()[40 * 512 + i] = static_cast<unsigned char>(i * 7 + 3);
        node = std::make_unique<FakeNode>(5, 0, "c.bin", false, true, size);
        node->SetRuns(Runs({{10, 1}, {-1, 15}, {-1, 16}, {40, 18}}));
        node->SetCompressedFlag();
    }
    std::vector<unsigned char> Expected() const {
        std::vector<unsigned char> want(static_cast<std::size_t>(size), 0);
        std::fill(want.begin(), want.begin() + 4096, 'A');
        std::fill(want.begin() + 4096, want.begin() + 8192, 'B');
        for (int i = 0; i < 16 * 512 + 700 && 16384 + i < size; ++i)
            want[16384 + i] = static_cast<unsigned char>(i * 7 + 3);
        return want;
    }
    static constexpr std::int64_t size = 16384 + 16 * 512 + 600;
    CMemoryStorageDevice dev;
    std::unique_ptr<FakeNode> node;
};

}  // namespace

TEST(CompressFileReader, WholeFileToPathMemoryAndRanges) {
    CompressedFile f;
    auto part = Partition(0, 1);
    CCompressFileReader r;
    ASSERT_EQ(r.Open(&f.dev, f.node.get(), part.get()), 1);
    const auto want = f.Expected();
    char tmpl[] = "/tmp/compresstest-XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    bool fallback = true;
    ASSERT_TRUE(r.Recovery(tmpl, nullptr, fallback));
    EXPECT_FALSE(fallback);
    EXPECT_TRUE(fattest::ReadFile(tmpl) == std::vector<std::uint8_t>(want.begin(), want.end()));
    EXPECT_FALSE(r.Recovery("/dev/full", nullptr, fallback));  // a failed write is a failure
    unlink(tmpl);

    // In memory, twice: the second copy starts again at the target's start.
    std::vector<char> mem(5000, 0x55);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(r.Recovery(mem.data(), 5000, nullptr));
        EXPECT_EQ(0, std::memcmp(mem.data(), want.data(), 5000));
    }
    // Ranges through slot 2 give decoded bytes, wherever they fall.
    for (auto [offset, length] :
         {std::pair<long long, unsigned>{0, 65536}, {4000, 300}, {9000, 8000}, {16384 + 8000, 5000}}) {
        std::vector<char> buf(length);
        const long long n = std::min<long long>(length, CompressedFile::size - offset);
        ASSERT_EQ(r.ReadData(offset, buf.data(), length, nullptr), n) << offset;
        EXPECT_EQ(0, std::memcmp(buf.data(), want.data() + offset, static_cast<std::size_t>(n))) << offset;
    }

    // Clusters too large for a unit buffer are refused, not overrun.
    auto huge = Partition(0, 256);
    CCompressFileReader h;
    ASSERT_EQ(h.Open(&f.dev, f.node.get(), huge.get()), 1);
    std::vector<char> buf(100);
    EXPECT_EQ(h.ReadData(0, buf.data(), 100, nullptr), 0);
}

// Through the writer on an NTFS record, and the limit rule.
TEST(CompressFileReader, ThroughTheWriter) {
    CompressedFile f;
    struct Node : FakeNode {
        using FakeNode::FakeNode;
        IFileReader* CreateCompressFileReader(void*) override { return new CCompressFileReader; }
    };
    Node node(5, 0, "c.bin", false, true, CompressedFile::size);
    node.SetRuns(Runs({{10, 1}, {-1, 15}, {-1, 16}, {40, 18}}));
    node.SetCompressedFlag();
    node.SetCTime(116444736000000000 + 1500000000ll * 10000000);
    auto part = Partition(0, 1);
    part->SetFileSystemType(FILE_SYSTEM_NTFS);
    std::vector<CSearchedPartitionInfo*> parts{part.get()};
    auto* w = static_cast<CDataRecovery*>(CreateDataRecoveryObj());
    ASSERT_EQ(w->Initialize(parts, &f.dev), ENGINE_OK);
    IFileReader* clone = w->SetRecoverNode(&node);
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->IsCompressFile(), 1);
    clone->Release();
    char tmpl[] = "/tmp/compresstest-XXXXXX";
    const int fd = mkstemp(tmpl);
    close(fd);
    ASSERT_EQ(w->RecoverTo(tmpl, nullptr, 0), ENGINE_OK);
    const auto want = f.Expected();
    EXPECT_TRUE(fattest::ReadFile(tmpl) == std::vector<std::uint8_t>(want.begin(), want.end()));
    struct stat st {};
    ASSERT_EQ(stat(tmpl, &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(w->RecoverTo(tmpl, nullptr, 100), DATA_RECOVERY_LIMIT_ON_COMPRESSED);
    EXPECT_EQ(w->RecoverTo("/dev/full", nullptr, 0), DATA_RECOVERY_COMPRESSED_FAILED);
    unlink(tmpl);
    w->Release();
}

// A unit whose LZNT1 data no compressor makes (a back-reference before the
// chunk's start), or whose clusters cannot be read, makes the file a failure
// with its reason, never a whole file; the other units are still written.
TEST(CompressFileReader, DamagedOrUnreadableUnitFailsTheFile) {
    struct Node : FakeNode {
        using FakeNode::FakeNode;
        IFileReader* CreateCompressFileReader(void*) override { return new CCompressFileReader; }
    };
    struct Case {
        const char* what;
        bool damage;
        int reason;
    };
    for (const Case& c : {Case{"reference before the chunk", true, FILE_READ_DECODE},
                          Case{"unreadable cluster", false, FILE_READ_DEVICE}}) {
        CompressedFile f;
        if (c.damage) {
            const unsigned char bad[] = {0x03, 0xB0, 0x01, 0xFC, 0x0F, 0x00, 0x00, 0x00};
            f.dev.Write(10 * 512, bad, sizeof bad);
        } else {
            f.dev.FailSector(10);
        }
        CCompressFileReader r;
        auto part = Partition(0, 1);
        part->SetFileSystemType(FILE_SYSTEM_NTFS);
        ASSERT_EQ(r.Open(&f.dev, f.node.get(), part.get()), 1);
        std::vector<char> buf(4096);
        int error = 0;
        EXPECT_EQ(r.ReadData(0, buf.data(), 4096, &error), 0) << c.what;
        EXPECT_EQ(error, c.reason) << c.what;

        Node node(5, 0, "c.bin", false, true, CompressedFile::size);
        node.SetRuns(Runs({{10, 1}, {-1, 15}, {-1, 16}, {40, 18}}));
        node.SetCompressedFlag();
        std::vector<CSearchedPartitionInfo*> parts{part.get()};
        auto* w = static_cast<CDataRecovery*>(CreateDataRecoveryObj());
        ASSERT_EQ(w->Initialize(parts, &f.dev), ENGINE_OK);
        IFileReader* clone = w->SetRecoverNode(&node);
        ASSERT_NE(clone, nullptr);
        clone->Release();
        char tmpl[] = "/tmp/compresstest-XXXXXX";
        const int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        RecoveryOutcome outcome;
        EXPECT_EQ(w->RecoverToDescriptor(fd, tmpl, nullptr, 0, &outcome), DATA_RECOVERY_COMPRESSED_FAILED) << c.what;
        close(fd);
        EXPECT_EQ(outcome.readError, c.reason) << c.what;
        EXPECT_EQ(outcome.writeErrno, 0);
        // Unit 0 (16 clusters of 512 bytes) is lost; the rest was read.
        EXPECT_EQ(outcome.bytesRead, CompressedFile::size - 16 * 512) << c.what;
        const auto want = f.Expected();
        const auto got = fattest::ReadFile(tmpl);
        ASSERT_EQ(got.size(), want.size());
        EXPECT_TRUE(std::equal(want.begin() + 16384, want.end(), got.begin() + 16384)) << c.what;
        unlink(tmpl);
        w->Release();
    }
}
