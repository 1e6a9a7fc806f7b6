// The read window, the window reader, the ring of recent blocks, end-signature
// sizing and the byte helpers, at 512- and 4,096-byte sectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/Progress.h"
#include "raw/BufferStorageDevice.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawSearchState.h"
#include "raw/RawUtility.h"
#include "raw/SearchSignFileAnalyser.h"
#include "raw/SectorView.h"
#include "storage/MemoryDevice.h"
#include "storage/SyntheticDevice.h"

namespace {

class RawWindow : public ::testing::TestWithParam<std::uint32_t> {
protected:
    void SetUp() override { state.ResetForTest(); }
    std::uint32_t ss() const { return GetParam(); }
    CRawSearchState state;
};

// A device of `sectors` sectors of seeded random bytes.
void Random(CSyntheticStorageDevice& dev, std::int64_t sectors, std::uint64_t seed = 1) {
    dev.AddRandom(static_cast<std::uint64_t>(sectors) * dev.GetSectorSize(), seed);
}

class StopSink : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return go; }
    int shouldBuild() override { return 1; }
    int go = 1;
};

}  // namespace

TEST_P(RawWindow, OffsetsInOneWindowLoadItOnceAndTheNextOffsetLoadsTheNext) {
    CSyntheticStorageDevice dev(ss());
    Random(dev, 1000);
    RawFileBuffer buf(&dev, 10, &state);
    const std::uint64_t w = buf.WindowSize();
    ASSERT_EQ(w, 128u * ss());
    const std::uint8_t* p = buf.GetRawFileBuffer(0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(p, p + 129 * ss()), dev.Bytes(10ull * ss(), 129 * ss()));
    const auto reads = dev.ReadCalls();
    const std::uint8_t* last = buf.GetRawFileBuffer(w - 1);
    EXPECT_EQ(last, p + w - 1);
    EXPECT_EQ(dev.ReadCalls(), reads);
    const std::uint8_t* next = buf.GetRawFileBuffer(w);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(dev.ReadCalls(), reads + 1);
    EXPECT_EQ(*next, dev.Bytes((10 + 128ull) * ss(), 1)[0]);
}

TEST_P(RawWindow, WindowAtTheDeviceTailReadsWhatIsLeftAndNothingPastIt) {
    // 200 sectors; a file at sector 0 whose second window (128..) runs past
    // the end. The device fails reads past its end (as a real image does).
    CMemoryStorageDevice dev(ss(), 200);
    dev.FillPattern();
    struct Strict : IStorageDevice {
        CMemoryStorageDevice* d;
        int Open(char*) override { return 1; }
        int Close() override { return 1; }
        int ReadSector(void* b, std::int64_t f, std::int64_t c) override {
            return f + c > d->GetTotalSectors() ? 0 : d->ReadSector(b, f, c);
        }
        std::uint32_t GetSectorSize() override { return d->GetSectorSize(); }
        std::int64_t GetTotalSectors() override { return d->GetTotalSectors(); }
        int IOCtl(std::uint64_t, void*) override { return 0; }
        IStorageDeviceData* GetPrivateData() override { return nullptr; }
        void SetPrivateData(IStorageDeviceData*) override {}
        int GetType() override { return 0; }
        EngineResult GetLastError() override { return 0; }
    } strict;
    strict.d = &dev;
    RawFileBuffer buf(&strict, 0, &state);
    const std::uint64_t w = buf.WindowSize();
    const std::uint8_t* p = buf.GetRawFileBuffer(w);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(byteorder::LE64(p), 128u);
    EXPECT_EQ(byteorder::LE64(p + 71ull * ss()), 199u);
    // Past the end: zeros, never an older window's bytes.
    for (std::uint32_t i = 72 * ss(); i < 129 * ss(); ++i) ASSERT_EQ(p[i], 0) << i;
    // A window wholly past the end is a failure.
    EXPECT_EQ(buf.GetRawFileBuffer(2 * w), nullptr);
    RawFileBuffer beyond(&strict, 200, &state);
    EXPECT_EQ(beyond.GetRawFileBuffer(0), nullptr);
}

TEST_P(RawWindow, FailedReadGivesNullAndNoStaleBytes) {
    CMemoryStorageDevice dev(ss(), 1000);
    dev.FillPattern();
    dev.FailSector(300);
    RawFileBuffer buf(&dev, 0, &state);
    ASSERT_NE(buf.GetRawFileBuffer(0), nullptr);
    // Window 2 holds sector 300: both the read and its retry fail.
    EXPECT_EQ(buf.GetRawFileBuffer(2ull * buf.WindowSize()), nullptr);
    // Two readers take turns on the shared buffer: neither sees the other's bytes.
    ASSERT_NE(buf.GetRawFileBuffer(0), nullptr);
    RawFileBuffer other(&dev, 500, &state);
    const std::uint8_t* p = other.GetRawFileBuffer(0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(byteorder::LE64(p), 500u);
    const std::uint8_t* q = buf.GetRawFileBuffer(5);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(byteorder::LE64(q - 5), 0u);
}

TEST_P(RawWindow, StopEndsEveryWindowRead) {
    CSyntheticStorageDevice dev(ss());
    Random(dev, 300);
    StopSink sink;
    state.NotifyCenter().SetProgress(&sink);
    RawFileBuffer buf(&dev, 0, &state);
    EXPECT_NE(buf.GetRawFileBuffer(0), nullptr);
    sink.go = 0;
    EXPECT_EQ(buf.GetRawFileBuffer(0), nullptr);
    state.NotifyCenter().Reset();
    EXPECT_NE(buf.GetRawFileBuffer(0), nullptr);
}

TEST_P(RawWindow, ReaderReadsAndFindsAcrossWindows) {
    CSyntheticStorageDevice dev(ss());
    Random(dev, 600, 3);
    const std::uint64_t w = 128ull * ss();
    const std::string mark = "END-MARK!";
    dev.Write(5 * ss() + w - 4, mark.data(), mark.size());  // straddles windows 0 and 1 of a file at 5
    WindowReader reader(&dev, 5, &state);
    std::vector<std::uint8_t> got(3 * w);
    ASSERT_TRUE(reader.Read(100, got.size(), got.data()));
    EXPECT_EQ(got, dev.Bytes(5ull * ss() + 100, got.size()));
    EXPECT_EQ(reader.Find(0, 3 * w, reinterpret_cast<const std::uint8_t*>(mark.data()), mark.size()),
              static_cast<std::int64_t>(w - 4));
    EXPECT_EQ(reader.Find(w - 3, 2 * w, reinterpret_cast<const std::uint8_t*>(mark.data()), mark.size()), -1);
    // A look-back from a window's first sector reloads instead of reading before the buffer.
    ASSERT_NE(reader.At(w), nullptr);
    std::uint8_t back[16];
    ASSERT_TRUE(reader.Read(w - 8, sizeof back, back));
    EXPECT_EQ(std::vector<std::uint8_t>(back, back + 16), dev.Bytes(5 * ss() + w - 8, 16));
    // Past the device: false.
    EXPECT_FALSE(reader.Read(600ull * ss(), 1, back));
}

TEST_P(RawWindow, EndSignatureSplitAtAWindowBoundaryIsFound) {
    // The sign's first half ends window 0 of the file; the second half opens
    // window 1, whose first sector ends in zero padding.
    CSyntheticStorageDevice dev(ss());
    dev.AddRandom(400ull * ss(), 9);
    const std::uint64_t start = 7, w = 128ull * ss();
    const std::string sign = "%%EOF\n";
    const std::uint64_t at = start * ss() + w - 3;
    dev.Write(at, sign.data(), sign.size());
    std::vector<std::uint8_t> zeros(ss() - 3, 0);
    dev.Write(at + sign.size(), zeros.data(), zeros.size());
    // No sector before it ends in two zero bytes.
    for (std::uint64_t s = start; s < start + 127; ++s) dev.Write((s + 1) * ss() - 1, "\x01", 1);
    SearchSignFileAnalyser a;
    a.SetSearchState(&state);
    SearchSignCodeInfo info;
    std::memcpy(info.sign, sign.data(), sign.size());
    info.length = static_cast<std::uint32_t>(sign.size());
    for (int caseSensitive : {1, 0}) {
        CRawFileInfo rec;
        rec.m_startSector = static_cast<std::int64_t>(start);
        ASSERT_EQ(a.SearchEndSignCode(rec, &dev, info, caseSensitive), 1);
        EXPECT_EQ(rec.m_size, static_cast<std::int64_t>(w + sign.size())) << caseSensitive;
    }
    EXPECT_EQ(state.SearchEndSignSectorSize(), ss());
}

TEST_P(RawWindow, EndSignatureInsideASectorAndCaseForms) {
    CSyntheticStorageDevice dev(ss());
    dev.AddZeros(50ull * ss());
    for (std::uint64_t s = 0; s < 50; ++s) dev.Write((s + 1) * ss() - 1, "\x01", 1);
    dev.Write(3ull * ss() + 10, "</HTML>", 7);
    dev.Write(4ull * ss() - 1, "\x00", 1);
    SearchSignFileAnalyser a;
    SearchSignCodeInfo info;
    std::memcpy(info.sign, "</html>", 7);
    info.length = 7;
    CRawFileInfo rec;
    ASSERT_EQ(a.SearchEndSignCode(rec, &dev, info, 0), 1);
    EXPECT_EQ(rec.m_size, static_cast<std::int64_t>(3 * ss() + 17));
    EXPECT_EQ(std::memcmp(info.sign, "</html>", 7), 0) << "the caller's info stays as it was";
    CRawFileInfo exact;
    std::memcpy(info.sign, "</HTML>", 7);
    ASSERT_EQ(a.SearchEndSignCode(exact, &dev, info, 1), 1);
    EXPECT_EQ(exact.m_size, static_cast<std::int64_t>(3 * ss() + 17));
    CRawFileInfo none;
    EXPECT_EQ(a.SearchEndSignCode(none, nullptr, info, 1), 0);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, RawWindow, ::testing::Values(512u, 4096u));

TEST(RawWindowLimits, LargeSectorsReadCorrectlyAndHugeOnesAreRefused) {
    CRawSearchState state;
    CSyntheticStorageDevice big(8192);
    big.AddRandom(300ull * 8192, 5);
    RawFileBuffer buf(&big, 2, &state);
    const std::uint8_t* p = buf.GetRawFileBuffer(128ull * 8192 + 17);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(p, p + 8192), big.Bytes((2 + 128) * 8192ull + 17, 8192));
    CSyntheticStorageDevice huge(1u << 20);
    huge.AddZeros(4u << 20);
    RawFileBuffer refused(&huge, 0, &state);
    EXPECT_EQ(refused.GetRawFileBuffer(0), nullptr);
    CSyntheticStorageDevice odd(1000);
    odd.AddZeros(100000);
    EXPECT_EQ(RawFileBuffer(&odd, 0).GetRawFileBuffer(0), nullptr);
    EXPECT_EQ(RawFileBuffer(nullptr, 0).GetRawFileBuffer(0), nullptr);
    EXPECT_EQ(RawFileBuffer(nullptr, 0).WindowSize(), 0x10000u);
}

TEST(RawRing, HoldsTheNewestBlocksAndSendsOtherRangesToTheDevice) {
    for (std::uint32_t ss : {512u, 4096u}) {
        CMemoryStorageDevice dev(ss, 400);
        dev.FillPattern();
        CBufferStorageDevice ring;
        ASSERT_EQ(ring.InitBufferDevice(&dev, 0, ss, 8, 3), 1);
        EXPECT_EQ(ring.GetTotalSectors(), 0);
        EXPECT_FALSE(ring.IsFullBuffer());
        std::vector<char> block(8ull * ss);
        auto add = [&](std::int64_t first) {
            ASSERT_EQ(dev.ReadSector(block.data(), first, 8), 1);
            ring.AddBlockToBuffer(block.data());
        };
        add(0);
        std::vector<std::uint8_t> out(24ull * ss);
        // Partly filled: read from the ring's own start.
        auto reads = dev.ReadCalls();
        ASSERT_EQ(ring.ReadSector(out.data(), 2, 3), 1);
        EXPECT_EQ(byteorder::LE64(out.data()), 2u);
        EXPECT_EQ(dev.ReadCalls(), reads);
        add(8);
        add(16);
        EXPECT_TRUE(ring.IsFullBuffer());
        EXPECT_EQ(ring.GetTotalSectors(), 24);
        add(24);  // the oldest block makes room
        EXPECT_EQ(ring.GetDeviceStartSector(), 8u);
        EXPECT_EQ(ring.GetTotalSectors(), 24);
        reads = dev.ReadCalls();
        ASSERT_EQ(ring.ReadSector(out.data(), 14, 12), 1);  // wraps at the ring's end
        for (int i = 0; i < 12; ++i) EXPECT_EQ(byteorder::LE64(out.data() + i * ss), 14u + i);
        EXPECT_EQ(dev.ReadCalls(), reads);
        // Ending one sector past the newest sector held: the device, whole.
        ASSERT_EQ(ring.ReadSector(out.data(), 30, 3), 1);
        EXPECT_EQ(dev.ReadCalls(), reads + 1);
        EXPECT_EQ(byteorder::LE64(out.data() + 2 * ss), 32u);
        // The window over the ring finds the real device's end.
        EXPECT_EQ(RealTotalSectors(&ring), 400);
        EXPECT_EQ(ring.GetType(), STORAGE_DEVICE_CACHE);
    }
}

// With spare slots blocks are read straight into the ring: each lies right
// after the block before it (copied in front of the first slot at the
// wrap), and bytes written past it, as the search's spare bytes are, never
// touch a block the ring holds. Rings of a few megabytes have their memory
// mapped ahead by a helper thread while the blocks are written.
TEST(RawRing, BlocksReadIntoTheNextSlotFollowTheirPredecessorAcrossTheWrap) {
    struct Case {
        std::uint32_t ss;
        std::uint64_t perBlock;
    } cases[] = {{512, 8}, {4096, 8}, {512, 2048}, {4096, 256}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ss << " x " << c.perBlock);
        const std::uint32_t ss = c.ss;
        const std::uint64_t n = c.perBlock;
        CMemoryStorageDevice dev(ss, std::max<std::int64_t>(200, static_cast<std::int64_t>(16 * n + 8)));
        dev.FillPattern();
        CBufferStorageDevice ring;
        const std::size_t spare = std::max<std::size_t>(4096, ss);
        ASSERT_EQ(ring.InitBufferDevice(&dev, 0, ss, static_cast<std::uint32_t>(n), 3, 2, spare), 1);
        std::vector<std::uint8_t> out(3 * n * ss);
        for (std::uint64_t b = 0; b < 16; ++b) {
            SCOPED_TRACE(b);
            std::uint8_t* slot = ring.NextSlot();
            ASSERT_NE(slot, nullptr);
            if (b > 0 && ring.NextSlotIsFirst()) ring.CopyNewestBeforeFirstSlot();
            ASSERT_EQ(dev.ReadSector(slot, static_cast<std::int64_t>(b * n), static_cast<std::int64_t>(n)), 1);
            std::memset(slot + n * ss, 0xEE, spare);
            if (b > 0) {
                EXPECT_EQ(byteorder::LE64(slot - n * ss), (b - 1) * n);
                EXPECT_EQ(byteorder::LE64(slot - ss), b * n - 1);
            }
            ring.AddBlockToBuffer(reinterpret_cast<const char*>(slot));
            const std::uint64_t first = ring.GetDeviceStartSector();
            EXPECT_EQ(first, b >= 2 ? (b - 2) * n : 0);
            const auto held = static_cast<std::int64_t>(ring.GetTotalSectors());
            ASSERT_EQ(ring.ReadSector(out.data(), static_cast<std::int64_t>(first), held), 1);
            for (std::int64_t i = 0; i < held; ++i)
                ASSERT_EQ(byteorder::LE64(out.data() + i * ss), first + static_cast<std::uint64_t>(i));
        }
        // A new geometry while the helper may still run: it stops before the memory goes.
        ASSERT_EQ(ring.InitBufferDevice(&dev, 0, ss, static_cast<std::uint32_t>(n), 2, 2, spare), 1);
    }
}

// Windows the ring holds in one piece are its own bytes, not a copy; they
// must never outlive the block they came from.
TEST(RawRing, WindowsItHoldsWholeAreReadInPlaceUntilItMovesOn) {
    for (std::uint32_t ss : {512u, 4096u}) {
        CMemoryStorageDevice dev(ss, 600);
        dev.FillPattern();
        CBufferStorageDevice ring;
        ASSERT_EQ(ring.InitBufferDevice(&dev, 0, ss, 64, 4), 1);
        std::vector<char> block(64ull * ss);
        auto add = [&](std::int64_t first) {
            ASSERT_EQ(dev.ReadSector(block.data(), first, 64), 1);
            ring.AddBlockToBuffer(block.data());
        };
        for (std::int64_t b = 0; b < 4; ++b) add(b * 64);
        // Window and spare sector inside the ring: in place, no device read.
        RawFileBuffer early(&ring, 10);
        auto reads = dev.ReadCalls();
        const std::uint8_t* p = early.GetRawFileBuffer(ss);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p - ss, ring.HeldSectors(10, CRawSearchState::kWindowSectors + 1));
        EXPECT_EQ(byteorder::LE64(p), 11u);
        EXPECT_EQ(byteorder::LE64(p + CRawSearchState::kWindowSectors * ss), 10u + 1 + CRawSearchState::kWindowSectors);
        EXPECT_EQ(dev.ReadCalls(), reads);
        // The block that held it leaves: the same offset now reads the
        // device, never the slot's new bytes.
        add(256);
        reads = dev.ReadCalls();
        p = early.GetRawFileBuffer(ss);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(byteorder::LE64(p), 11u);
        EXPECT_EQ(dev.ReadCalls(), reads + 1);
        // A window across the ring's wrap is copied from the ring.
        EXPECT_EQ(ring.HeldSectors(180, CRawSearchState::kWindowSectors + 1), nullptr);
        RawFileBuffer wrapped(&ring, 180);
        reads = dev.ReadCalls();
        p = wrapped.GetRawFileBuffer(0);
        ASSERT_NE(p, nullptr);
        for (std::uint32_t i = 0; i <= CRawSearchState::kWindowSectors; ++i)
            EXPECT_EQ(byteorder::LE64(p + std::size_t{i} * ss), 180u + i);
        EXPECT_EQ(dev.ReadCalls(), reads);
    }
}

TEST(RawUtility, BinaryCompareFindMagicAndMemstr) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        int want;
    } cases[] = {
        {[] {
             std::vector<std::uint8_t> v(512, 0);
             v[0] = 1;
             return v;
         }(),
         2},
        {[] {
             std::vector<std::uint8_t> v(512, 0);
             v[0] = v[1] = 1;
             return v;
         }(),
         2},
        {std::vector<std::uint8_t>(512, 0), 0},
        {std::vector<std::uint8_t>(512, 7), 512},
        {std::vector<std::uint8_t>(1, 7), 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BruteForce::RawUtility::Binary_Compare(c.bytes.data(), static_cast<int>(c.bytes.size())), c.want);

    const std::uint8_t buf[] = "xxIENDyyIENDzz";
    const std::uint8_t magic[] = "IEND";
    EXPECT_EQ(BruteForce::RawUtility::FindMagicInBuffer(buf, 14, 0, magic, 4), 12);
    EXPECT_EQ(BruteForce::RawUtility::FindMagicInBuffer(buf, 14, 7, magic, 4), 6);
    EXPECT_EQ(BruteForce::RawUtility::FindMagicInBuffer(buf, 14, 15, magic, 4), 0);
    EXPECT_EQ(BruteForce::RawUtility::FindMagicInBuffer(buf, 3, 0, magic, 4), 0);
    // Against the plain backwards search, on text made of the markers' own
    // bytes (blank-heavy, like the DXF text its end marker sits in).
    const auto plain = [](const std::uint8_t* b, int length, int back, const std::uint8_t* m, int ml) {
        int last = std::min(length - back, length - ml);
        if (length - back < 0) return 0;
        for (int i = last; i >= 0; --i)
            if (b[i] != 0 && std::memcmp(b + i, m, static_cast<std::size_t>(ml)) == 0) return i + ml;
        return 0;
    };
    const std::string markers[] = {
        "  0\nEOF\n", "  0\r\nEOF\r\n", "%%EOF", "TAG", std::string("\xFF\xD9", 2), std::string("\0AB", 3), " \n", "E"};
    const std::string alphabet = std::string("  0\r\nEOF%TAG\xFF\xD9", 14) + std::string(1, '\0');
    std::uint32_t x = 99;
    for (int round = 0; round < 3000; ++round) {
        const std::string& m = markers[round % std::size(markers)];
        x = x * 1103515245u + 12345u;
        std::vector<std::uint8_t> text(1 + (x >> 16) % 96);
        for (std::uint8_t& b : text) {
            x = x * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(alphabet[(x >> 16) % alphabet.size()]);
        }
        if (round % 3 == 0 && text.size() > m.size())  // plant the marker
            std::memcpy(text.data() + (x >> 8) % (text.size() - m.size()), m.data(), m.size());
        const int length = static_cast<int>(text.size());
        const int back = static_cast<int>((x >> 4) % 12);
        const auto* mp = reinterpret_cast<const std::uint8_t*>(m.data());
        EXPECT_EQ(BruteForce::RawUtility::FindMagicInBuffer(text.data(), length, back, mp, static_cast<int>(m.size())),
                  plain(text.data(), length, back, mp, static_cast<int>(m.size())))
            << round;
    }
    EXPECT_EQ(Apimemstr(buf, 14, magic, 4), buf + 2);
    EXPECT_EQ(Apimemstr(buf, 5, magic, 4), nullptr);
    EXPECT_EQ(Apimemstr(buf, 3, magic, 4), nullptr);
    EXPECT_EQ(Apimemstr(nullptr, 3, magic, 1), nullptr);
    const std::uint8_t le[] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(BruteForce::RawUtility::EXIF_Get32s(le, true), 0x12345678u);
    EXPECT_EQ(BruteForce::RawUtility::EXIF_Get32s(le, false), 0x78563412u);
    EXPECT_EQ(BruteForce::RawUtility::EXIF_Get16s(le, false), 0x7856u);
}

TEST(RawSectorView, AnswersOnlyInsideTheBuffer) {
    std::vector<std::uint8_t> buf(3 * 512 + 100);
    for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<std::uint8_t>(i);
    const SectorView v(buf.data(), 512, 10, 13, 100);  // sectors 10..12 and 100 spare bytes
    EXPECT_EQ(v.at(10 * 512, 1), buf.data());
    EXPECT_EQ(v.at(10 * 512 - 1, 1), nullptr);
    EXPECT_EQ(v.at(13 * 512 + 99, 1), buf.data() + 3 * 512 + 99);
    EXPECT_EQ(v.at(13 * 512 + 99, 2), nullptr);
    EXPECT_EQ(v.at(UINT64_MAX - 2, 8), nullptr);
    EXPECT_EQ(v.sector(12), buf.data() + 1024);
    EXPECT_EQ(v.sector(13), nullptr);
    EXPECT_EQ(v.prevAvailable(11 * 512), 512u);
    EXPECT_EQ(v.availableFrom(12 * 512), 612u);
    const auto fat = SectorView::ForSector(buf.data(), 512, 77, 4096);
    EXPECT_EQ(fat.at(77 * 512 + 4096 + 511, 1), buf.data() + 4096 + 511);
    EXPECT_EQ(fat.at(77 * 512 - 1, 1), nullptr);
    EXPECT_TRUE(SectorView(nullptr, 512, 0, 1, 0).empty());
}

TEST(RawSyntheticDevice, ExtentsOverlaysAndFailures) {
    CSyntheticStorageDevice dev(4096);
    dev.AddRandom(3ull << 30, 11).AddBytes("abc", 3).AddZeros(10);
    EXPECT_EQ(dev.GetTotalSectors(), static_cast<std::int64_t>((3ull << 30) / 4096 + 1));
    std::vector<std::uint8_t> s(4096);
    ASSERT_EQ(dev.ReadSector(s.data(), (3ll << 30) / 4096, 1), 1);
    EXPECT_EQ(std::string(s.begin(), s.begin() + 4), std::string("abc\0", 4));
    std::vector<std::uint8_t> a(4096), b(4096);
    ASSERT_EQ(dev.ReadSector(a.data(), 123456, 1), 1);
    ASSERT_EQ(dev.ReadSector(b.data(), 123456, 1), 1);
    EXPECT_EQ(a, b);
    dev.Write(123456ull * 4096 + 1, "Z", 1);
    ASSERT_EQ(dev.ReadSector(b.data(), 123456, 1), 1);
    EXPECT_EQ(b[1], 'Z');
    EXPECT_EQ(b[0], a[0]);
    dev.FailSector(5);
    std::vector<std::uint8_t> two(8192, 0xAA);
    EXPECT_EQ(dev.ReadSector(two.data(), 4, 2), 0);
    EXPECT_EQ(two[4096], 0);
    EXPECT_EQ(dev.ReadSector(two.data(), dev.GetTotalSectors(), 1), 0);
}
