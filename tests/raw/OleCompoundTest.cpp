// Compound files found by the raw search: classification by directory
// names, sizing by streaming and on the device (crafted files, since no free
// writer makes DIFAT chains or version-4 files on demand), and naming from
// the summary stream.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "OleTestSupport.h"
#include "RawSearchSupport.h"
#include "raw/analysers/OleAnalyser.h"
#include "storage/SyntheticDevice.h"

using oletest::BuildCfb;
using oletest::Cfb;
using oletest::CfbSpec;
using rawtest::Found;
using rawtest::RawSearch;

namespace {

class OleCompound : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        std::setlocale(LC_ALL, "C.UTF-8");
    }
};

// The file planted after `lead` zero sectors and followed by random bytes
// behind a zero sector; returns the found files.
struct Planted {
    std::vector<Found> files;
    std::int64_t start = 0;
    const Found* At() const {
        for (const Found& f : files)
            if (f.start == start) return &f;
        return nullptr;
    }
};

std::vector<std::uint8_t> Directory(const std::vector<std::string>& names, bool clsid) {
    CfbSpec spec;
    spec.names = names;
    spec.rootClsid = clsid;
    const Cfb cfb = BuildCfb(spec);
    // The directory sits right after the data sectors.
    const std::size_t at = static_cast<std::size_t>(spec.dataSectors + 1) * 512;
    std::vector<std::uint8_t> dir(cfb.bytes.begin() + at, cfb.bytes.begin() + at + 1024);
    return dir;
}

}  // namespace

TEST_F(OleCompound, CraftedDirectoriesAreClassifiedLaterRulesWinning) {
    const struct {
        std::vector<std::string> names;
        bool clsid;
        std::uint32_t type;
    } cases[] = {
        {{"Root Entry", "Data", "Other"}, false, RAW_FILE_TYPE_MOF},
        {{"Root Entry", "1Table", "x", "y", "WordDocument"}, false, RAW_FILE_TYPE_DOC},  // any entry
        {{"Root Entry", "ObjectPool"}, false, RAW_FILE_TYPE_DOC},
        {{"Root Entry", "x", "Workbook"}, false, RAW_FILE_TYPE_XLS},
        {{"Root Entry", "Book"}, false, RAW_FILE_TYPE_XLS},
        {{"Root Entry", "Workbook", "PowerPoint Document"}, false, RAW_FILE_TYPE_PPT},
        {{"Root Entry", "PP40"}, false, RAW_FILE_TYPE_PPT},
        {{"Root Entry", "WordDocument", "Scene"}, false, RAW_FILE_TYPE_MAX},
        {{"Root Entry", "VisioDocument", "Scene"}, false, RAW_FILE_TYPE_VSD},
        {{"Root Entry", "PerfectOffice_MAIN", "PerfectOffice_OBJECTS", "\x05SummaryInformation"},
         false,
         RAW_FILE_TYPE_SHW},
        {{"Root Entry", "PerfectOffice_MAIN", "PerfectOffice_OBJECTS", "x"}, true, RAW_FILE_TYPE_WPD},
        {{"Root Entry", "PerfectOffice_MAIN", "PerfectOffice_OBJECTS", "x"}, false, RAW_FILE_TYPE_WPG},
        {{"Root Entry", "RSeStorage", "x", "RSeEmbeddings"}, false, RAW_FILE_TYPE_IPT},
        {{"Root Entry", "Objects", "Quill", "QuillSub"}, false, RAW_FILE_TYPE_PUB},
        {{"Root Entry", "NativeContent_MAIN"}, false, RAW_FILE_TYPE_QPW},
        {{"Root Entry", "properties"}, false, RAW_FILE_TYPE_AAF},
        {{"Root Entry",
          "\x01"
          "CompObj",
          "   112", "   212"},
         false,
         RAW_FILE_TYPE_MPP},
        {{"Root Entry",
          "\x01"
          "CompObj",
          "   19", "   212"},
         false,
         RAW_FILE_TYPE_MOF},
        {{"Root Entry", "VBA", "VBAProject", "VBA"}, false, RAW_FILE_TYPE_ADP},
        {{"Root Entry", "PropData", "Forms", "Reports"}, false, RAW_FILE_TYPE_ADP},
        // Whole names only: a longer or shorter name is another stream.
        {{"Root Entry", "Workbooks", "Boo"}, false, RAW_FILE_TYPE_MOF},
    };
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> dir = Directory(c.names, c.clsid);
        CRawFileInfo info;
        CheckSectDirData(dir.data(), static_cast<std::uint32_t>(dir.size()), info);
        EXPECT_EQ(info.m_type, c.type) << c.names[1];
    }
    CRawFileInfo untouched;
    untouched.m_type = 7;
    CheckSectDirData(Directory({"Root Entry", "Workbook"}, false).data(), 127, untouched);
    EXPECT_EQ(untouched.m_type, 7u);  // under one entry: nothing tested
}

// Every layout is sized exactly by streaming and by the device walk, on
// 512- and 4,096-byte sectors; the device walk is asked directly as well.
TEST_F(OleCompound, CraftedLayoutsAreSizedExactlyByBothSizers) {
    struct Layout {
        const char* what;
        CfbSpec spec;
        bool streamed;  // else the device sizer took over
    };
    std::vector<Layout> layouts;
    {
        CfbSpec s;
        s.dataSectors = 6;
        layouts.push_back({"version 3", s, true});
        s.version = 4;
        layouts.push_back({"version 4", s, true});
        CfbSpec big;
        big.names = {"Root Entry", "Workbook"};
        big.dataSectors = 14100;  // 110 FAT sectors: the 110th is named by a DIFAT sector
        layouts.push_back({"DIFAT chain", big, true});
        big.fatBeforeDifat = true;
        layouts.push_back({"FAT sectors before the DIFAT", big, false});
    }
    for (std::uint32_t ss : {512u, 4096u}) {
        for (const Layout& l : layouts) {
            const Cfb cfb = BuildCfb(l.spec);
            CSyntheticStorageDevice dev(ss);
            dev.AddZeros(ss * 3);
            const std::int64_t start = static_cast<std::int64_t>(dev.GetTotalSectors());
            dev.AddBytes(cfb.bytes);
            dev.AddZeros(ss);
            dev.AddRandom(ss * 8, 5);
            RawSearch raw(&dev);
            raw.Run();
            const std::vector<Found> files = raw.Files();
            const Found* hit = nullptr;
            for (const Found& f : files)
                if (f.start == start) hit = &f;
            ASSERT_NE(hit, nullptr) << l.what << " @" << ss;
            EXPECT_EQ(hit->size, static_cast<std::int64_t>(cfb.bytes.size())) << l.what << " @" << ss;
            EXPECT_EQ(raw.Read(hit->node), cfb.bytes) << l.what << " @" << ss;
            // A streamed file is named by its sector range. On 4,096-byte
            // sectors the early FAT sector shares a device sector with the
            // DIFAT, so it is read in time.
            const std::string range =
                std::to_string(start) + "-" + std::to_string(start + static_cast<std::int64_t>(cfb.bytes.size()) / ss);
            EXPECT_EQ(hit->name.rfind(range, 0) == 0, l.streamed || ss == 4096)
                << l.what << " @" << ss << ": " << hit->name;

            FileOLEAnalyser analyser;
            CRawFileInfo record;
            record.m_startSector = start;
            ASSERT_EQ(analyser.GetRawFileSize(record, &dev), 1) << l.what;
            EXPECT_EQ(record.m_size, static_cast<std::int64_t>(cfb.bytes.size())) << l.what << " @" << ss;
            EXPECT_EQ(record.m_type, l.spec.names[1] == "Workbook" ? RAW_FILE_TYPE_XLS : RAW_FILE_TYPE_DOC);
        }
    }
}

// The sector-range name of a small streamed file, and the names and tags
// the summary stream gives: only Word, Excel and PowerPoint files are filed
// under "Office/<group>/<value>".
TEST_F(OleCompound, CraftedFilesAreNamedFromRangeOrSummary) {
    using oletest::Prop;
    const auto summary = oletest::SummaryStream({
        {2, CSummaryInFormation::VT_LPSTR, oletest::Str8("Minutes")},
        {4, CSummaryInFormation::VT_LPSTR, oletest::Str8("Ada")},
        {8, CSummaryInFormation::VT_LPSTR, oletest::Str8("Lee")},
        {12, CSummaryInFormation::VT_FILETIME, oletest::Time64(129080178050000000ull)},  // 2010-01-15 08:30:05
        {13, CSummaryInFormation::VT_FILETIME, oletest::Time64(129176228960000000ull)},  // 2010-05-06 12:34:56
    });
    const struct {
        const char* what;
        std::vector<std::string> names;
        std::vector<std::uint8_t> summary;
        std::uint32_t dataSectors;
        std::string name;  // {S} start, {E} start + 11
        std::string tree;  // the tag-tree folders, "" = none
    } cases[] = {
        // Ten sectors after the header, the last FAT entry in use index 9: 11 x 512 bytes.
        {"range", {"Root Entry", "Data"}, {}, 8, "{S}-{E}", ""},
        {"word", {"Root Entry", "WordDocument"}, summary, 4, "Lee_Minutes_2010-05-06-12-34-56", "Office/Word/Lee/"},
        {"excel", {"Root Entry", "Workbook"}, summary, 4, "Lee_Minutes_2010-05-06-12-34-56", "Office/Excel/Lee/"},
        {"unclassified", {"Root Entry", "Data"}, summary, 4, "Minutes_2010-05-06-12-34-56", ""},
    };
    for (std::uint32_t ss : {512u, 4096u}) {
        for (const auto& c : cases) {
            CfbSpec spec;
            spec.names = c.names;
            spec.summary = c.summary;
            spec.dataSectors = c.dataSectors;
            const Cfb cfb = BuildCfb(spec);
            CSyntheticStorageDevice dev(ss);
            dev.AddZeros(ss * 5).AddBytes(cfb.bytes).AddZeros(ss * 3);
            RawSearch raw(&dev);
            raw.Run();
            const std::vector<Found> files = raw.Files();
            const Found* hit = nullptr;
            for (const Found& f : files)
                if (f.start == 5) hit = &f;
            ASSERT_NE(hit, nullptr) << c.what << " @" << ss;
            std::string name = c.name;
            if (name == "{S}-{E}") {
                ASSERT_EQ(cfb.bytes.size(), 11u * 512);
                name = "5-" + std::to_string(5 + 11 * 512 / ss);
            }
            EXPECT_EQ(hit->name.rfind(name, 0), 0u) << c.what << " @" << ss << ": " << hit->name;
            EXPECT_EQ(hit->size, static_cast<std::int64_t>(cfb.bytes.size())) << c.what;
            const std::string path = raw.builder.PathBelow(hit->node, 1);
            if (c.tree.empty())
                EXPECT_EQ(path.find("Office/"), std::string::npos) << c.what << ": " << path;
            else
                EXPECT_NE(path.find(c.tree + hit->name), std::string::npos) << c.what << ": " << path;
        }
    }
}

// The device sizer refuses what it cannot size: no FAT sector (a 4 GiB
// wrap before), an unreadable header or FAT sector, an unreadable directory
// on a file over 10 MiB; a DIFAT chain that points back ends.
TEST_F(OleCompound, DeviceSizerRefusalsAndLoops) {
    // The read window holds 128 sectors and fails whole: each file puts its
    // directory in the last sector of a window and what follows in the next.
    CfbSpec small;
    small.dataSectors = 254;
    CfbSpec large;
    large.dataSectors = 128 * 165 - 2;  // about 10.4 MiB
    const Cfb smallFile = BuildCfb(small);
    const Cfb largeFile = BuildCfb(large);
    const std::uint32_t smallDir = small.dataSectors + 1;  // device sector of the directory (header first)
    const std::uint32_t largeDir = large.dataSectors + 1;
    auto noFat = smallFile.bytes;
    for (int i = 0; i < 109; ++i) byteorder::PutLE32(noFat.data() + 0x4C + 4 * i, 0xFFFFFFFF);
    // A DIFAT sector whose next pointer names itself.
    auto loop = smallFile.bytes;
    byteorder::PutLE32(loop.data() + 0x44, 0);
    std::vector<std::uint8_t> self(512, 0xFF);
    byteorder::PutLE32(self.data() + 508, 0);
    std::copy(self.begin(), self.end(), loop.begin() + 512);
    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::int64_t failing;  // device sector that cannot be read, -1 none
        int result;
        std::uint32_t type;
        std::int64_t size;
    } cases[] = {
        {"whole", smallFile.bytes, -1, 1, RAW_FILE_TYPE_DOC, static_cast<std::int64_t>(smallFile.bytes.size())},
        {"no FAT sector", noFat, -1, 0, 0, 0},
        {"unreadable header", smallFile.bytes, 0, 0, 0, 0},
        {"unreadable FAT sector", smallFile.bytes, smallDir + 1, 0, 0, 0},
        {"unreadable directory, small", smallFile.bytes, smallDir, 1, RAW_FILE_TYPE_MOF,
         static_cast<std::int64_t>(smallFile.bytes.size())},
        {"over 10 MiB", largeFile.bytes, -1, 1, RAW_FILE_TYPE_DOC, static_cast<std::int64_t>(largeFile.bytes.size())},
        {"unreadable directory, over 10 MiB", largeFile.bytes, largeDir, 0, 0, 0},
        {"DIFAT pointing at itself", loop, -1, 1, RAW_FILE_TYPE_DOC, static_cast<std::int64_t>(smallFile.bytes.size())},
    };
    for (const auto& c : cases) {
        CSyntheticStorageDevice dev(512);
        dev.AddBytes(c.bytes).AddZeros(512 * 2);
        if (c.failing >= 0) dev.FailSector(static_cast<std::uint64_t>(c.failing));
        FileOLEAnalyser analyser;
        CRawFileInfo record;
        EXPECT_EQ(analyser.GetRawFileSize(record, &dev), c.result) << c.what;
        if (c.result != 1) continue;
        EXPECT_EQ(record.m_type, c.type) << c.what;
        EXPECT_EQ(record.m_size, c.size) << c.what;
    }
}

// A record evicted after its FAT but before its directory knows a size but
// not a type: it hands both to the device sizer.
TEST_F(OleCompound, EvictedRecordLeavesSizeAndTypeToTheDevice) {
    CfbSpec spec;
    spec.directoryLast = true;
    const Cfb cfb = BuildCfb(spec);
    const std::int64_t sectors = static_cast<std::int64_t>(cfb.bytes.size() / 512);
    FileOLEAnalyser analyser;
    std::unique_ptr<CRawFileInfo> record(analyser.CreateRawFileInfo());
    record->m_startSector = 0;
    std::vector<std::uint8_t> bytes = cfb.bytes;
    int result = 2;
    for (std::int64_t s = 0; s + 1 < sectors && result == 2; ++s) {
        CRawFileInfo::SearchContext ctx;
        ctx.view = SectorView(bytes.data(), 512, 0, sectors, 0);
        result = record->CalcRawSize(bytes.data() + s * 512, 512, s, ctx);
    }
    ASSERT_EQ(result, 2);  // the directory, in the last sector, is still ahead
    EXPECT_EQ(record->m_size, static_cast<std::int64_t>(cfb.bytes.size()));
    record->WillBeRemove(nullptr, -1);
    EXPECT_EQ(record->m_size, 0);
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(cfb.bytes).AddZeros(1024);
    ASSERT_EQ(analyser.GetRawFileSize(*record, &dev), 1);
    EXPECT_EQ(record->m_size, static_cast<std::int64_t>(cfb.bytes.size()));
    EXPECT_EQ(record->m_type, RAW_FILE_TYPE_DOC);
}
