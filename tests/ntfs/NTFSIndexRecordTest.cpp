#include <gtest/gtest.h>

#include <cstring>

#include "NTFSTestSupport.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSIndexRecord.h"

using namespace ntfstest;

namespace {

// A 4,096-byte INDX block with `entries` directory entries naming `parents`,
// in its on-disk form.
std::vector<std::uint8_t> MakeIndx(const std::vector<std::uint64_t>& parents, std::uint16_t usaCount = 9,
                                   std::uint32_t firstEntry = 40, std::uint32_t allocated = 4072) {
    std::vector<std::uint8_t> b(4096, 0);
    std::memcpy(b.data(), "INDX", 4);
    Put16(b.data() + 4, 40);
    Put16(b.data() + 6, usaCount);
    Put64(b.data() + 16, 3);  // VCN
    Put32(b.data() + 24, firstEntry);
    std::size_t off = 24 + firstEntry;
    for (std::uint64_t parent : parents) {
        Put64(b.data() + off, 100);          // file reference
        Put16(b.data() + off + 8, 96);       // entry length
        Put16(b.data() + off + 10, 80);      // key length
        Put16(b.data() + off + 12, 0);       // flags
        Put64(b.data() + off + 16, parent);  // key: $FILE_NAME content
        Put64(b.data() + off + 56, 8192);    // allocated
        Put64(b.data() + off + 64, 5000);    // real
        b[off + 80] = 3;                     // name length
        off += 96;
    }
    Put16(b.data() + off + 8, 16);
    Put16(b.data() + off + 12, 2);  // last entry
    off += 16;
    Put32(b.data() + 28, static_cast<std::uint32_t>(off - 24));
    Put32(b.data() + 32, allocated);
    const std::uint16_t usn = 0x0042;
    Put16(b.data() + 40, usn);
    for (int i = 0; i < 8 && i < usaCount - 1; ++i) {
        b[42 + 2 * i] = b[510 + 512 * i];
        b[43 + 2 * i] = b[511 + 512 * i];
        Put16(b.data() + 510 + 512 * i, usn);
    }
    return b;
}

std::vector<std::uint8_t> MakeRstr() {
    std::vector<std::uint8_t> b(4096, 0);
    std::memcpy(b.data(), "RSTR", 4);
    Put16(b.data() + 30, 0x0009);
    Put64(b.data() + 144, 0x005300460054004Eull);
    for (int i = 0; i < 8; ++i) Put16(b.data() + 510 + 512 * i, 0x0009);
    return b;
}

std::vector<std::uint8_t> MakeRcrd() {
    std::vector<std::uint8_t> b(4096, 0);
    std::memcpy(b.data(), "RCRD", 4);
    Put16(b.data() + 4, 40);
    Put16(b.data() + 6, 9);
    Put16(b.data() + 40, 0x0033);
    for (int i = 0; i < 8; ++i) {
        Put16(b.data() + 42 + 2 * i, static_cast<std::uint16_t>(0x1000 + i));
        Put16(b.data() + 510 + 512 * i, 0x0033);
    }
    return b;
}

}  // namespace

TEST(NTFSIndexRecord, HeaderAndEntries) {
    auto good = MakeIndx({77, 77, 77});
    const auto copy = good;
    EXPECT_TRUE(CIndexRecord::IsValid(good.data(), 4096));
    EXPECT_EQ(good, copy);  // the protection is put back
    EXPECT_EQ(CIndexRecord::GetParentFileReference(good.data(), 4096), 77);
    EXPECT_EQ(CStandardIndexHeader::GetOffsetofIndexEntries(good.data()), 64u);
    EXPECT_EQ(CIndexRecord::GetVCN(good.data()), 3);

    struct Case {
        const char* what;
        std::vector<std::uint8_t> block;
        bool valid;
    };
    auto thirdEnd = MakeIndx({77});
    Put16(thirdEnd.data() + 1534, 0x0043);
    auto twoParents = MakeIndx({77, 78});
    auto badSizes = MakeIndx({77});
    Put64(badSizes.data() + 64 + 64, 9000);  // real above allocated
    auto inUsePastAlloc = MakeIndx({77});
    Put32(inUsePastAlloc.data() + 28, 5000);
    auto usaOffset = MakeIndx({77});
    Put16(usaOffset.data() + 4, 300);
    // A chain of entries whose last one starts 6 bytes before the block end:
    // its fields would lie past the buffer.
    auto entryAtEnd = MakeIndx({77});
    Put32(entryAtEnd.data() + 28, 4072);
    Put16(entryAtEnd.data() + 64 + 8, 4090 - 64);
    Put16(entryAtEnd.data() + 64 + 12, 0x01);
    Case cases[] = {
        {"USA count 9", MakeIndx({77}, 9), true},
        {"USA count 8", MakeIndx({77}, 8), false},
        {"USA count 10", MakeIndx({77}, 10), false},
        {"bad third sector end", thirdEnd, false},
        {"two parents", twoParents, false},
        {"real size above allocated", badSizes, false},
        {"bytes in use past allocated", inUsePastAlloc, false},
        {"USA offset 300", usaOffset, false},
        {"entry at the block end", entryAtEnd, false},
    };
    for (Case& c : cases) EXPECT_EQ(CIndexRecord::IsValid(c.block.data(), 4096), c.valid) << c.what;
    // Smaller than its allocation.
    auto small = MakeIndx({77});
    EXPECT_FALSE(CIndexRecord::IsValid(small.data(), 2048));
    EXPECT_EQ(CIndexRecord::GetParentFileReference(small.data(), 2048), -1);
}

TEST(NTFSLogPages, RestartAndRecordPages) {
    auto rstr = MakeRstr();
    EXPECT_TRUE(CLogFileAnalyzer::IsValidRSTRRecord(rstr.data(), 4096));
    EXPECT_FALSE(CLogFileAnalyzer::IsValidRSTRRecord(rstr.data(), 2048));
    auto notNtfs = rstr;
    notNtfs[144] = 'X';
    EXPECT_FALSE(CLogFileAnalyzer::IsValidRSTRRecord(notNtfs.data(), 4096));
    EXPECT_FALSE(CLogFileAnalyzer::IsValidRestartRecordHeader(notNtfs.data(), 4096));
    auto torn = rstr;
    Put16(torn.data() + 510 + 512 * 7, 1);
    EXPECT_FALSE(CLogFileAnalyzer::IsValidRSTRRecord(torn.data(), 4096));
    EXPECT_TRUE(CLogFileAnalyzer::IsValidRestartRecordHeader(torn.data(), 152));

    auto rcrd = MakeRcrd();
    EXPECT_TRUE(CRCRDRecord::IsValid(rcrd.data(), 4096));
    auto count3 = rcrd;
    Put16(count3.data() + 6, 3);
    EXPECT_FALSE(CRCRDRecord::IsValid(count3.data(), 4096));
    auto offset48 = rcrd;
    Put16(offset48.data() + 4, 48);
    EXPECT_FALSE(CRCRDRecord::IsValid(offset48.data(), 4096));
    ASSERT_EQ(CRCRDRecord::Unfixup(rcrd.data(), 4096), 1);
    EXPECT_EQ(LE16(rcrd.data() + 510 + 512 * 5), 0x1005);
    CRecordPageHeader* head = nullptr;
    EXPECT_TRUE(CRCRDRecord::GetRecordHead(rcrd.data(), 4096, &head));
    EXPECT_EQ(static_cast<void*>(head), rcrd.data());
    CLogRecordHeader* op = nullptr;
    EXPECT_FALSE(CRCRDRecord::GetOperationRecordHeader(rcrd.data(), 47, &op));
    EXPECT_TRUE(CRCRDRecord::GetOperationRecordHeader(rcrd.data(), 48, &op));
}

TEST(NTFSIndexRoot, FolderNumberFromEntries) {
    // $INDEX_ROOT content: root header (16), index header (16), entries.
    auto makeRoot = [](const std::vector<std::uint64_t>& parents) {
        std::vector<std::uint8_t> c(32, 0);
        Put32(c.data(), 0x30);
        Put32(c.data() + 8, 4096);
        for (std::uint64_t p : parents) {
            std::vector<std::uint8_t> e(96, 0);
            Put16(e.data() + 8, 96);
            Put16(e.data() + 10, 80);
            Put64(e.data() + 16, p | (std::uint64_t{3} << 48));
            Put64(e.data() + 56, 4096);
            Put64(e.data() + 64, 10);
            e[80] = 3;
            c.insert(c.end(), e.begin(), e.end());
        }
        std::vector<std::uint8_t> last(16, 0);
        Put16(last.data() + 8, 16);
        Put16(last.data() + 12, 2);
        c.insert(c.end(), last.begin(), last.end());
        Put32(c.data() + 16, 16);                                         // entries offset
        Put32(c.data() + 20, static_cast<std::uint32_t>(c.size() - 16));  // entries size
        Put32(c.data() + 24, static_cast<std::uint32_t>(c.size() - 16));
        return ResidentAttr(0x90, c);
    };
    auto one = makeRoot({66, 66});
    EXPECT_EQ(
        CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(one.data(), static_cast<int>(one.size())),
        66);
    auto two = makeRoot({66, 67});
    EXPECT_EQ(
        CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(two.data(), static_cast<int>(two.size())),
        -1);
    auto none = makeRoot({});
    EXPECT_EQ(
        CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(none.data(), static_cast<int>(none.size())),
        -1);
    // An entries size past the content is refused before any entry is read.
    auto past = makeRoot({66});
    Put32(past.data() + 24 + 20, 5000);
    EXPECT_EQ(
        CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(past.data(), static_cast<int>(past.size())),
        -1);
}
