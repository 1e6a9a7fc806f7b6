#include "foundation/Crc.h"
#include "foundation/RecordContainer.h"
#include "foundation/StdFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const tagGUIDSIGN kIdA = {
    {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};
const tagGUIDSIGN kIdB = {
    {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20}};
const tagGUIDSIGN kIdC = {
    {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF}};

const uint8_t kSignature[16] = {0xEA, 0xF4, 0xB3, 0x1C, 0x05, 0x43, 0xB6, 0x4A,
                                0xB4, 0xB8, 0x24, 0x4A, 0x33, 0xD9, 0x13, 0xBB};

class TempDir : public quillory_test::TempDir {
public:
    TempDir() : quillory_test::TempDir("quillory-rs") {}
};

using quillory_test::ReadAll;
using quillory_test::WriteAll;

void PutU32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void AppendU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void AppendFrame(Bytes& b, const tagGUIDSIGN& id, const Bytes& data, uint32_t length) {
    b.insert(b.end(), kSignature, kSignature + 16);
    b.insert(b.end(), id.bytes, id.bytes + 16);
    AppendU32(b, length);
    b.insert(b.end(), data.begin(), data.end());
}

// A 132-byte header built from its numbers; the CRC is recomputed unless the
// caller wants a stale one.
Bytes MakeHeader(uint32_t status, uint32_t descriptionLength, const std::string& description, uint32_t version = 5800,
                 bool fixCrc = true) {
    Bytes h(kSignature, kSignature + 16);
    AppendU32(h, version);
    AppendU32(h, 0);
    AppendU32(h, status);
    AppendU32(h, descriptionLength);
    Bytes text(100, 0);
    std::memcpy(text.data(), description.data(), std::min<size_t>(description.size(), 100));
    h.insert(h.end(), text.begin(), text.end());
    if (fixCrc) PutU32(h, 20, CCRC::RunCRC16(h.data(), h.size(), 0x8005));
    return h;
}

uint32_t ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const CRSException& e) {
        return e.GetErrorcode();
    }
    return 0;
}

// Writes header (status 2, "Quillory"), frame A = "ABCDE" in two calls, frame B = 00 01 02.
bool WriteGoldenContainer(const std::string& path) {
    CRSData rs(RSMODE_WRITE);
    if (!rs.StartRS(path.c_str(), 1)) return false;
    FILEHEADER header;
    header.status = 2;
    header.descriptionLength = 8;
    std::memcpy(header.description, "Quillory", 8);
    bool ok = rs.WriteFileHeader(header);
    ok = ok && rs.OpenFrame(kIdA) && rs.WriteCurFrame("AB", 2) && rs.WriteCurFrame("CDE", 3) && rs.CloseFrame();
    const uint8_t b[3] = {0, 1, 2};
    ok = ok && rs.OpenFrame(kIdB) && rs.WriteCurFrame(b, 3) && rs.CloseFrame();
    return rs.EndRS() && ok;
}

}  // namespace

TEST(Crc, KnownCheckValues) {
    const char* digits = "123456789";
    EXPECT_EQ(CCRC::RunCRC16(digits, 9, 0x8005), 0xFEE8);                       // CRC-16/UMTS
    EXPECT_EQ(CCRC::RunCRC32(digits, 9, 0x04C11DB7), 0x89A1897Fu);              // init 0, no xorout
    EXPECT_EQ(CCRC::RunCRC32(digits, 9, 0x04C11DB7, 0xFFFFFFFF), 0x0376E6E7u);  // CRC-32/MPEG-2
    EXPECT_EQ(CCRC::RunCRC16(digits, 0, 0x8005), 0);
}

TEST(RecordContainer, GoldenBytesOfHeaderAndTwoFrames) {
    TempDir dir;
    const std::string path = dir.File("golden.qrs");
    ASSERT_TRUE(WriteGoldenContainer(path));

    Bytes expected(kSignature, kSignature + 16);
    const uint8_t fixed[] = {0xA8, 0x16, 0x00, 0x00,   // version 5800
                             0x19, 0x27, 0x00, 0x00,   // CRC-16 0x2719 of the header with this field 0
                             0x02, 0x00, 0x00, 0x00,   // status
                             0x08, 0x00, 0x00, 0x00};  // description length
    expected.insert(expected.end(), fixed, fixed + sizeof fixed);
    const char* text = "Quillory";
    expected.insert(expected.end(), text, text + 8);
    expected.resize(132, 0);
    AppendFrame(expected, kIdA, {'A', 'B', 'C', 'D', 'E'}, 5);
    AppendFrame(expected, kIdB, {0, 1, 2}, 3);
    EXPECT_EQ(ReadAll(path), expected);
}

TEST(RecordContainer, RoundTripReadsFramesInAnyOrder) {
    TempDir dir;
    const std::string path = dir.File("rt.qrs");
    ASSERT_TRUE(WriteGoldenContainer(path));

    CRSData rs(RSMODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_TRUE(rs.CheckFile());
    FILEHEADER header;
    EXPECT_TRUE(rs.ReadFileHeader(header));
    EXPECT_EQ(header.crc, 0x2719u);
    EXPECT_EQ(rs.GetStatus(), 2u);
    char desc[32];
    ASSERT_TRUE(rs.GetFileDescription(desc, sizeof desc));
    EXPECT_STREQ(desc, "Quillory");

    ASSERT_TRUE(rs.OpenFrame(kIdB));
    EXPECT_EQ(rs.GetFrameSize(), 3u);
    uint8_t b[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_TRUE(rs.ReadCurFrame(b, 8));  // asks for more than is left: gets the rest
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(b[2], 2);
    EXPECT_EQ(b[3], 9);
    EXPECT_EQ(rs.GetFrameRemaining(), 0u);
    EXPECT_TRUE(rs.ReadCurFrame(b, 1));  // nothing left: true, buffer untouched
    EXPECT_EQ(b[0], 0);
    EXPECT_TRUE(rs.CloseFrame());

    ASSERT_TRUE(rs.OpenFrame(kIdA));
    char a[6] = {};
    EXPECT_TRUE(rs.ReadCurFrame(a, 2));
    EXPECT_EQ(rs.GetFrameRemaining(), 3u);
    EXPECT_TRUE(rs.ReadCurFrame(a + 2, 3));
    EXPECT_STREQ(a, "ABCDE");
    EXPECT_TRUE(rs.CloseFrame());
    EXPECT_TRUE(rs.CloseFrame());  // nothing open: still true

    // An unknown identifier: code 7 and no frame left open.
    EXPECT_EQ(ErrorOf([&] { rs.OpenFrame(kIdC); }), RSERR_FRAME_NOT_FOUND);
    EXPECT_EQ(ErrorOf([&] { rs.GetFrameSize(); }), RSERR_NO_FRAME);
    EXPECT_FALSE(rs.TryOpenFrame(kIdC));
    EXPECT_TRUE(rs.TryOpenFrame(kIdA));
    EXPECT_EQ(rs.GetFrameSize(), 5u);
    EXPECT_TRUE(rs.EndRS());
}

TEST(RecordContainer, ModeAndFrameStateErrors) {
    TempDir dir;
    const std::string path = dir.File("modes.qrs");
    ASSERT_TRUE(WriteGoldenContainer(path));
    uint8_t byte = 0;
    {
        CRSData rs(RSMODE_READ);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        EXPECT_FALSE(rs.WriteFileHeader(FILEHEADER{}));
        EXPECT_EQ(ErrorOf([&] { rs.SetStatus(1); }), RSERR_WRONG_MODE);
        EXPECT_EQ(ErrorOf([&] { rs.SetFileDescription("x"); }), RSERR_WRONG_MODE);
        EXPECT_EQ(ErrorOf([&] { rs.ReadCurFrame(&byte, 1); }), RSERR_NO_FRAME);
        ASSERT_TRUE(rs.OpenFrame(kIdA));
        EXPECT_EQ(ErrorOf([&] { rs.WriteCurFrame(&byte, 1); }), RSERR_WRONG_MODE);
    }
    {
        CRSData rs(RSMODE_WRITE);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        EXPECT_EQ(ErrorOf([&] { rs.GetStatus(); }), RSERR_WRONG_MODE);
        char d[4];
        EXPECT_EQ(ErrorOf([&] { rs.GetFileDescription(d, 4); }), RSERR_WRONG_MODE);
        EXPECT_EQ(ErrorOf([&] { rs.WriteCurFrame(&byte, 1); }), RSERR_NO_FRAME);
        EXPECT_EQ(ErrorOf([&] { rs.GetFrameSize(); }), RSERR_NO_FRAME);
        ASSERT_TRUE(rs.OpenFrame(kIdC));
        EXPECT_EQ(ErrorOf([&] { rs.ReadCurFrame(&byte, 1); }), RSERR_WRONG_MODE);
        EXPECT_EQ(ErrorOf([&] { rs.SearchFrame(kIdA); }), RSERR_WRONG_MODE);
    }
    CRSData rs(RSMODE_READ);
    EXPECT_FALSE(rs.StartRS(nullptr, 0));
    EXPECT_FALSE(rs.StartRS("", 0));
    EXPECT_FALSE(rs.StartRS(dir.File("missing.qrs").c_str(), 0));
    EXPECT_FALSE(rs.CheckFile());
}

TEST(RecordContainer, DamagedHeadersAreRefused) {
    struct Case {
        const char* name;
        Bytes header;
        bool checkFile;
        bool readHeader;
        uint32_t status;       // what GetStatus answers when it does not throw
        uint32_t statusError;  // or the code it throws
        int description;       // 1 read, 0 false, else the code thrown
    };
    const Bytes good = MakeHeader(3, 3, "abc");
    Bytes badSignature = MakeHeader(2, 3, "abc");
    badSignature[0] ^= 0xFF;
    PutU32(badSignature, 20, 0);
    PutU32(badSignature, 20, CCRC::RunCRC16(badSignature.data(), 132, 0x8005));
    const Case cases[] = {
        {"good", MakeHeader(3, 3, "abc"), true, true, 3, 0, 1},
        {"stale CRC", MakeHeader(3, 3, "abc", 5800, false), true, false, 3, 0, 0},
        {"bad signature", badSignature, false, true, 2, 0, 1},
        {"status 0", MakeHeader(0, 3, "abc"), false, true, 0, 0, 1},
        {"status 5", MakeHeader(5, 3, "abc"), false, true, 0, RSERR_BAD_HEADER, 1},
        {"stale CRC status 7", MakeHeader(7, 3, "abc", 5800, false), false, false, 7, 0, 0},
        {"other version", MakeHeader(3, 3, "abc", 5801), true, false, 3, 0, 0},
        {"description 101", MakeHeader(3, 101, "abc"), true, true, 3, 0, RSERR_BAD_HEADER},
        {"truncated header", Bytes(good.begin(), good.begin() + 131), false, false, 0, 0, 0},
        {"empty file", Bytes(), false, false, 0, 0, 0},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File("h.qrs");
        WriteAll(path, c.header);
        CRSData rs(RSMODE_READ);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        EXPECT_EQ(rs.CheckFile(), c.checkFile);
        FILEHEADER header;
        EXPECT_EQ(rs.ReadFileHeader(header), c.readHeader);
        uint32_t status = 0xDEAD;
        EXPECT_EQ(ErrorOf([&] { status = rs.GetStatus(); }), c.statusError);
        if (c.statusError == 0) {
            EXPECT_EQ(status, c.status);
        }
        char text[16] = {};
        bool read = false;
        const uint32_t code = ErrorOf([&] { read = rs.GetFileDescription(text, sizeof text); });
        if (c.description == 0 || c.description == 1) {
            EXPECT_EQ(code, 0u);
            EXPECT_EQ(read, c.description == 1);
        } else {
            EXPECT_EQ(code, static_cast<uint32_t>(c.description));
        }
        // A frame search on a header-only or damaged file ends cleanly.
        EXPECT_FALSE(rs.TryOpenFrame(kIdA));
    }
}

TEST(RecordContainer, DescriptionIsCutAndStatusRewritten) {
    TempDir dir;
    const std::string path = dir.File("desc.qrs");
    const std::string longText(150, 'd');
    {
        CRSData rs(RSMODE_WRITE);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
        EXPECT_FALSE(rs.SetFileDescription("x"));  // no header yet: nothing happens
        ASSERT_TRUE(rs.SetStatus(4));              // fresh header: signature and status
        ASSERT_TRUE(rs.SetFileDescription((std::string("0123456789") + longText).c_str()));
        ASSERT_TRUE(rs.SetStatus(1));  // keeps the description
        ASSERT_TRUE(rs.EndRS());
    }
    const Bytes raw = ReadAll(path);
    ASSERT_EQ(raw.size(), 132u);
    EXPECT_EQ(raw[28], 100);
    CRSData rs(RSMODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_TRUE(rs.CheckFile());
    EXPECT_EQ(rs.GetStatus(), 1u);
    char small[10];
    ASSERT_TRUE(rs.GetFileDescription(small, sizeof small));
    EXPECT_STREQ(small, "012345678");
    char full[200];
    ASSERT_TRUE(rs.GetFileDescription(full, sizeof full));
    EXPECT_EQ(std::string(full), std::string("0123456789") + longText.substr(0, 90));
    EXPECT_FALSE(rs.GetFileDescription(nullptr, 10));
    EXPECT_FALSE(rs.GetFileDescription(full, 0));
}

TEST(RecordContainer, DuplicateIdentifiersFindTheFirst) {
    TempDir dir;
    const std::string path = dir.File("dup.qrs");
    Bytes file = MakeHeader(1, 0, "");
    AppendFrame(file, kIdB, {7}, 1);
    AppendFrame(file, kIdA, {1, 1}, 2);
    AppendFrame(file, kIdA, {2, 2, 2}, 3);
    WriteAll(path, file);
    CRSData rs(RSMODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    ASSERT_TRUE(rs.OpenFrame(kIdA));
    EXPECT_EQ(rs.GetFrameSize(), 2u);
}

TEST(RecordContainer, TruncatedAndCorruptFramesAreNotTakenAsWhole) {
    TempDir dir;
    const std::string path = dir.File("cut.qrs");
    Bytes whole = MakeHeader(1, 0, "");
    AppendFrame(whole, kIdA, Bytes(40, 0xAA), 40);
    AppendFrame(whole, kIdB, Bytes(40, 0xBB), 40);

    // Frame B cut in its data: found, but refused as truncated, not "missing".
    WriteAll(path, Bytes(whole.begin(), whole.end() - 1));
    {
        CRSData rs(RSMODE_READ);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        EXPECT_EQ(ErrorOf([&] { rs.OpenFrame(kIdB); }), RSERR_SHORT_READ);
        EXPECT_EQ(ErrorOf([&] { rs.TryOpenFrame(kIdB); }), RSERR_SHORT_READ);
        EXPECT_EQ(ErrorOf([&] { rs.GetFrameSize(); }), RSERR_NO_FRAME);
        ASSERT_TRUE(rs.OpenFrame(kIdA));  // the frames before the cut stay readable
        EXPECT_EQ(rs.GetFrameSize(), 40u);
    }
    // Cut inside B's frame header: B is simply absent.
    WriteAll(path, Bytes(whole.begin(), whole.begin() + 132 + 76 + 20));
    {
        CRSData rs(RSMODE_READ);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        EXPECT_EQ(ErrorOf([&] { rs.OpenFrame(kIdB); }), RSERR_FRAME_NOT_FOUND);
    }
    // Absurd lengths on frame A: the walk ends instead of wrapping or looping,
    // and no frame ever reports more bytes than the file holds.
    for (uint32_t length : {0xFFFFFFF0u, 0xFFFFFFFFu, 0x7FFFFFFFu, 200u}) {
        SCOPED_TRACE(length);
        Bytes bad = whole;
        PutU32(bad, 132 + 32, length);
        WriteAll(path, bad);
        CRSData rs(RSMODE_READ);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        EXPECT_EQ(ErrorOf([&] { rs.OpenFrame(kIdA); }), RSERR_SHORT_READ);
        EXPECT_FALSE(rs.TryOpenFrame(kIdB));
    }
    // A frame whose mark is damaged is skipped by its length.
    Bytes marked = whole;
    marked[132] ^= 1;
    WriteAll(path, marked);
    CRSData rs(RSMODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_FALSE(rs.TryOpenFrame(kIdA));
    EXPECT_TRUE(rs.TryOpenFrame(kIdB));
}

TEST(RecordContainer, BufferedWritesAndReadsKeepEveryByteInOrder) {
    TempDir dir;
    const std::string path = dir.File("big.qrs");
    // Small fields past the 512 KiB buffer, one direct write larger than the
    // buffer in the middle, then small fields again.
    Bytes expected;
    {
        CRSData rs(RSMODE_WRITE);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
        ASSERT_TRUE(rs.SetStatus(2));
        ASSERT_TRUE(rs.OpenFrame(kIdA));
        uint32_t counter = 0;
        auto smallWrites = [&](int n) {
            for (int i = 0; i < n; ++i, ++counter) {
                uint8_t field[7];
                for (int k = 0; k < 7; ++k) field[k] = static_cast<uint8_t>(counter * 7 + k);
                ASSERT_TRUE(rs.WriteCurFrame(field, 7));
                expected.insert(expected.end(), field, field + 7);
            }
        };
        smallWrites(100000);
        Bytes large(600 * 1024);
        for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 31 + 5);
        ASSERT_TRUE(rs.WriteCurFrame(large.data(), static_cast<unsigned>(large.size())));
        expected.insert(expected.end(), large.begin(), large.end());
        smallWrites(50000);
        ASSERT_TRUE(rs.CloseFrame());
        ASSERT_TRUE(rs.OpenFrame(kIdB));
        ASSERT_TRUE(rs.WriteCurFrame("tail", 4));
        ASSERT_TRUE(rs.CloseFrame());
        ASSERT_TRUE(rs.EndRS());
    }
    CRSData rs(RSMODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    ASSERT_TRUE(rs.OpenFrame(kIdA));
    ASSERT_EQ(rs.GetFrameSize(), expected.size());
    Bytes got(expected.size());
    size_t at = 0;
    // Mixed read sizes: tiny fields through the read buffer, and large reads
    // that go past it.
    const size_t pattern[] = {3, 8, 1, 70000, 5, 400000, 13};
    for (size_t i = 0; at < got.size(); ++i) {
        const size_t n = std::min(pattern[i % 7], got.size() - at);
        ASSERT_TRUE(rs.ReadCurFrame(got.data() + at, static_cast<unsigned>(n)));
        at += n;
    }
    EXPECT_TRUE(got == expected);
    ASSERT_TRUE(rs.OpenFrame(kIdB));
    char tail[5] = {};
    ASSERT_TRUE(rs.ReadCurFrame(tail, 4));
    EXPECT_STREQ(tail, "tail");
}

TEST(RecordContainer, FramesAppendToAnExistingFileAndNeverOverlapTheHeader) {
    TempDir dir;
    const std::string path = dir.File("append.qrs");
    {
        // A frame opened before any header is written still lands after the header.
        CRSData rs(RSMODE_WRITE);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
        ASSERT_TRUE(rs.OpenFrame(kIdA));
        ASSERT_TRUE(rs.WriteCurFrame("first", 5));
        ASSERT_TRUE(rs.CloseFrame());
        ASSERT_TRUE(rs.SetStatus(3));
        ASSERT_TRUE(rs.EndRS());
    }
    {
        CRSData rs(RSMODE_WRITE);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));  // keep the contents
        ASSERT_TRUE(rs.OpenFrame(kIdB));
        ASSERT_TRUE(rs.WriteCurFrame("second", 6));
        ASSERT_TRUE(rs.EndRS());  // left open: the data is written, the length stays 0
    }
    EXPECT_EQ(ReadAll(path).size(), 132u + 36 + 5 + 36 + 6);
    CRSData rs(RSMODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_TRUE(rs.CheckFile());
    EXPECT_EQ(rs.GetStatus(), 3u);
    ASSERT_TRUE(rs.OpenFrame(kIdA));
    char text[8] = {};
    ASSERT_TRUE(rs.ReadCurFrame(text, 5));
    EXPECT_STREQ(text, "first");
    ASSERT_TRUE(rs.OpenFrame(kIdB));
    EXPECT_EQ(rs.GetFrameSize(), 0u);
}

TEST(RecordContainer, PositionsPastFourGiBDoNotWrap) {
    TempDir dir;
    const std::string path = dir.File("huge.qrs");
    // Header, then frame A whose data (sparse) ends past 4 GiB.
    const uint32_t lengthA = 0xFFFFFFF0u;
    Bytes start = MakeHeader(1, 0, "");
    AppendFrame(start, kIdA, {}, lengthA);
    WriteAll(path, start);
    const uint64_t endOfA = 132 + 36 + uint64_t(lengthA);
    ASSERT_GT(endOfA, 0x100000000u);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(endOfA)), 0);
    {
        CRSData rs(RSMODE_WRITE);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        ASSERT_TRUE(rs.OpenFrame(kIdB));
        ASSERT_TRUE(rs.WriteCurFrame("past4G", 6));
        ASSERT_TRUE(rs.CloseFrame());
        ASSERT_TRUE(rs.EndRS());
    }
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), endOfA + 36 + 6);
    // Nothing landed at the 32-bit wrapped position (inside frame A's header).
    {
        CStdFile f;
        ASSERT_TRUE(f.Open(path.c_str(), CStdFile::OpenReadOnly));
        Bytes head(start.size() + 64);
        ASSERT_EQ(f.ReadAt(0, head.data(), head.size()), static_cast<int64_t>(head.size()));
        EXPECT_TRUE(std::equal(start.begin(), start.end(), head.begin()));
        for (size_t i = start.size(); i < head.size(); ++i) EXPECT_EQ(head[i], 0) << i;
    }
    CRSData rs(RSMODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    ASSERT_TRUE(rs.OpenFrame(kIdB));
    char text[8] = {};
    ASSERT_TRUE(rs.ReadCurFrame(text, 6));
    EXPECT_STREQ(text, "past4G");
    ASSERT_TRUE(rs.OpenFrame(kIdA));
    EXPECT_EQ(rs.GetFrameSize(), lengthA);
}

TEST(RecordContainer, WritesToAFullDeviceFail) {
    CRSData rs(RSMODE_WRITE);
    ASSERT_TRUE(rs.StartRS("/dev/full", 1));
    EXPECT_FALSE(rs.WriteFileHeader(FILEHEADER{}));
    EXPECT_FALSE(rs.SetStatus(1));
    EXPECT_EQ(ErrorOf([&] { rs.OpenFrame(kIdA); }), RSERR_WRITE_FAILED);
    EXPECT_EQ(ErrorOf([&] { rs.GetFrameSize(); }), RSERR_NO_FRAME);
    rs.EndRS();
}

// A file size limit makes writes short and then fail once the frame data is
// flushed: every path must report it.
TEST(RecordContainer, ShortWritesAreFailures) {
    TempDir dir;
    const std::string path = dir.File("limited.qrs");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {64 * 1024, 64 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
        int step = 20;
        CRSData rs(RSMODE_WRITE);
        if (!rs.StartRS(path.c_str(), 1) || !rs.SetStatus(1)) _exit(step);
        // Buffered: 100 KiB in small fields, failing only when flushed.
        ++step;
        if (!rs.OpenFrame(kIdA)) _exit(step);
        uint8_t field[100] = {};
        for (int i = 0; i < 1024; ++i)
            if (!rs.WriteCurFrame(field, sizeof field)) _exit(step);
        ++step;
        try {
            rs.CloseFrame();
            _exit(step);
        } catch (const CRSException& e) {
            if (e.GetErrorcode() != RSERR_WRITE_FAILED) _exit(step);
        }
        // Direct: one write larger than the buffer.
        ++step;
        CRSData big(RSMODE_WRITE);
        if (!big.StartRS(path.c_str(), 1) || !big.SetStatus(1) || !big.OpenFrame(kIdA)) _exit(step);
        Bytes large(600 * 1024);
        if (big.WriteCurFrame(large.data(), static_cast<unsigned>(large.size()))) _exit(step);
        if (big.WriteCurFrame(field, 1))  // a pending failure refuses further data
            _exit(step);
        ++step;
        try {
            big.CloseFrame();
            _exit(step);
        } catch (const CRSException& e) {
            if (e.GetErrorcode() != RSERR_WRITE_FAILED) _exit(step);
        }
        // Data of a frame left open that cannot be flushed: EndRS says so.
        ++step;
        CRSData open(RSMODE_WRITE);
        if (!open.StartRS(path.c_str(), 1) || !open.OpenFrame(kIdA)) _exit(step);
        for (int i = 0; i < 1024; ++i) open.WriteCurFrame(field, sizeof field);
        if (open.EndRS()) _exit(step);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failing step " << WEXITSTATUS(status);
}

TEST(StdFile, OpensOnDescriptorZeroAndKeepsPermissions) {
    TempDir dir;
    const std::string path = dir.File("perm");
    WriteAll(path, {1, 2, 3});
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(0);  // a daemon without stdin: the file gets descriptor 0
        CStdFile f;
        if (!f.Open(path.c_str(), CStdFile::OpenAlways) || !f.IsOpen()) _exit(1);
        uint8_t b[3];
        if (f.Read(b, 3) != 3 || b[2] != 3) _exit(2);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    CStdFile f;
    EXPECT_FALSE(f.Open(path.c_str(), 5));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.Read(nullptr, 0), 0);
}

TEST(StdFile, LinesAndPositions) {
    TempDir dir;
    const std::string path = dir.File("lines");
    {
        CStdFile f;
        ASSERT_TRUE(f.Open(path.c_str(), CStdFile::OpenCreateAlways));
        ASSERT_TRUE(f.WriteLine("one", 3));
        ASSERT_TRUE(f.WriteLine("two\r\n", 5));
        ASSERT_TRUE(f.WriteLine("", 0));
        ASSERT_TRUE(f.Write("longline", 8));
        EXPECT_EQ(f.GetPosition(), 5u + 5 + 2 + 8);
        uint64_t length = 0;
        ASSERT_TRUE(f.GetFileLength(&length));
        EXPECT_EQ(length, 20u);
    }
    CStdFile f;
    ASSERT_TRUE(f.Open(path.c_str(), CStdFile::OpenReadOnly));
    char line[6];
    EXPECT_EQ(f.ReadLine(line, 5), 5u);
    EXPECT_STREQ(line, "one\r\n");
    EXPECT_EQ(f.ReadLine(line, 5), 5u);
    EXPECT_STREQ(line, "two\r\n");
    EXPECT_EQ(f.ReadLine(line, 5), 2u);
    EXPECT_STREQ(line, "\r\n");
    EXPECT_EQ(f.ReadLine(line, 5), 5u);  // capacity reached mid-line
    EXPECT_STREQ(line, "longl");
    EXPECT_EQ(f.ReadLine(line, 5), 3u);  // end of file without a line feed
    EXPECT_STREQ(line, "ine");
    EXPECT_EQ(f.ReadLine(line, 5), 0u);
    ASSERT_TRUE(f.Seek(17));
    uint64_t at = 0;
    ASSERT_TRUE(f.GetPosistion(&at));
    EXPECT_EQ(at, 17u);
    ASSERT_TRUE(f.SeekToEnd());
    EXPECT_EQ(f.GetPosition(), 20u);
    ASSERT_TRUE(f.SeekToBegin());
    EXPECT_EQ(f.GetPosition(), 0u);
    EXPECT_FALSE(f.Write("x", 1));  // read-only
}
