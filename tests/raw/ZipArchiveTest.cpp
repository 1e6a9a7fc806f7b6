// The ZIP analyser: block sizes of crafted headers (Zip64 among them), the
// member-name rules, core.xml read across a block end, and archives whose
// end the streaming walk cannot see, sized by the device walk.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>

#include "RawSearchSupport.h"
#include "ZipTestSupport.h"
#include "raw/analysers/OleAnalyser.h"
#include "raw/analysers/ZipAnalyser.h"
#include "storage/SyntheticDevice.h"

using rawtest::Found;
using rawtest::RawSearch;

namespace {

class ZipArchive : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        std::setlocale(LC_ALL, "C.UTF-8");
    }
};

std::vector<std::uint8_t> Local(std::uint16_t method, std::uint32_t csize, std::uint32_t usize, const std::string& name,
                                const std::vector<std::uint8_t>& extra, std::uint16_t flags = 0) {
    std::vector<std::uint8_t> h(30, 0);
    byteorder::PutLE32(h.data(), 0x04034B50);
    byteorder::PutLE16(h.data() + 6, flags);
    byteorder::PutLE16(h.data() + 8, method);
    byteorder::PutLE32(h.data() + 18, csize);
    byteorder::PutLE32(h.data() + 22, usize);
    byteorder::PutLE16(h.data() + 26, static_cast<std::uint16_t>(name.size()));
    byteorder::PutLE16(h.data() + 28, static_cast<std::uint16_t>(extra.size()));
    h.insert(h.end(), name.begin(), name.end());
    h.insert(h.end(), extra.begin(), extra.end());
    return h;
}

std::vector<std::uint8_t> Zip64Extra(std::vector<std::uint64_t> values, std::uint16_t declared = 0xFFFF) {
    std::vector<std::uint8_t> e(4, 0);
    byteorder::PutLE16(e.data(), 0x0001);
    byteorder::PutLE16(e.data() + 2, declared == 0xFFFF ? static_cast<std::uint16_t>(8 * values.size()) : declared);
    for (std::uint64_t v : values) {
        std::uint8_t b[8];
        byteorder::PutLE64(b, v);
        e.insert(e.end(), b, b + 8);
    }
    return e;
}

// The found file that starts at `start`, or null.
const Found* At(const std::vector<Found>& files, std::int64_t start) {
    for (const Found& f : files)
        if (f.start == start) return &f;
    return nullptr;
}

// The core.xml member as a search meets it: a local header (method 0 or 8,
// the stored data size, the document's size) and its data, padded to whole
// sectors, read by `reader` from sector 0.
FileProperty ReadCoreMember(Tessel::OfficeTagFromXML& reader, const std::string& data, bool stored,
                            std::size_t xmlSize) {
    std::vector<std::uint8_t> bytes(30, 0);
    byteorder::PutLE32(bytes.data(), 0x04034B50);
    byteorder::PutLE16(bytes.data() + 8, stored ? 0 : 8);
    byteorder::PutLE32(bytes.data() + 18, static_cast<std::uint32_t>(data.size()));
    byteorder::PutLE32(bytes.data() + 22, static_cast<std::uint32_t>(xmlSize));
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.resize((bytes.size() / 512 + 1) * 512, 0);
    Tessel::tagZipLocalFileHeader header;
    std::memcpy(header.bytes, bytes.data(), 30);
    const SectorView view(bytes.data(), 512, 0, static_cast<std::int64_t>(bytes.size() / 512), 0);
    FileProperty property;
    int needMore = 0;
    reader.GetOfficeTagFromXML(view, 0, header, property, needMore);
    return property;
}

}  // namespace

TEST_F(ZipArchive, CraftedHeaderBlockSizes) {
    std::vector<std::uint8_t> unknown = {'P', 'K', 9, 9, 0, 0, 0, 0};
    std::vector<std::uint8_t> central(46, 0);
    byteorder::PutLE32(central.data(), 0x02014B50);
    byteorder::PutLE16(central.data() + 28, 5);
    byteorder::PutLE16(central.data() + 30, 7);
    byteorder::PutLE16(central.data() + 32, 11);  // a file comment does not stop the walk
    central.resize(46 + 5 + 7 + 11, 'x');
    std::vector<std::uint8_t> end(22, 0);
    byteorder::PutLE32(end.data(), 0x06054B50);
    byteorder::PutLE16(end.data() + 20, 40);
    std::vector<std::uint8_t> zip64End(56, 0);
    byteorder::PutLE32(zip64End.data(), 0x06064B50);
    byteorder::PutLE64(zip64End.data() + 4, 44);
    std::vector<std::uint8_t> cut = Local(0, 1, 1, "abcdef", {});
    cut.resize(32);
    std::vector<std::uint8_t> locator(20, 0);
    byteorder::PutLE32(locator.data(), 0x07064B50);
    const struct {
        const char* what;
        std::vector<std::uint8_t> header;
        int result;
        std::uint64_t size;
    } cases[] = {
        {"stored", Local(0, 100, 100, "a.txt", {}), 1, 30 + 5 + 100},
        // Zip64: both sizes in the extra field, the uncompressed one first.
        {"zip64 both", Local(8, 0xFFFFFFFF, 0xFFFFFFFF, "a.txt", Zip64Extra({0x1234, 0x5A0})), 1, 30 + 5 + 20 + 0x5A0},
        {"zip64 compressed only", Local(8, 0xFFFFFFFF, 77, "a.txt", Zip64Extra({0x5A0})), 1, 30 + 5 + 12 + 0x5A0},
        {"zip64 beyond 4 GiB", Local(8, 0xFFFFFFFF, 0xFFFFFFFF, "a.txt", Zip64Extra({1ull << 33, 5ull << 30})), 1,
         30 + 5 + 20 + (5ull << 30)},
        {"zip64 field missing", Local(8, 0xFFFFFFFF, 0xFFFFFFFF, "a.txt", {}), 0, 0},
        {"zip64 field too short", Local(8, 0xFFFFFFFF, 0xFFFFFFFF, "a.txt", Zip64Extra({0x1234})), 0, 0},
        {"extra record past its field", Local(8, 0xFFFFFFFF, 5, "a.txt", Zip64Extra({0x10}, 200)), 0, 0},
        {"method 11", Local(11, 1, 1, "a.txt", {}), 0, 0},
        {"name over 1,024 bytes", Local(0, 1, 1, std::string(1025, 'n'), {}), 0, 0},
        {"name cut by the buffer", cut, 2, 0},
        {"central with comment", central, 1, 46 + 5 + 7 + 11},
        {"end record with comment", end, 1, 22 + 40},
        {"zip64 end record", zip64End, 1, 56},
        {"zip64 locator", locator, 1, 20},
        {"unknown signature", unknown, 0, 0},
    };
    for (const auto& c : cases) {
        std::uint32_t type = RAW_FILE_TYPE_ZIP;
        ZipBlock block;
        EXPECT_EQ(classZipSearch::GetBlockSize(c.header.data(), c.header.size(), false, true, type, block), c.result)
            << c.what;
        if (c.result == 1) {
            EXPECT_EQ(block.size, c.size) << c.what;
        }
    }
}

TEST_F(ZipArchive, MemberNamesDecideTheType) {
    const std::string epub = "application/epub+zip";
    const std::string odt = "application/vnd.oasis.opendocument.text";
    const std::string ods = "application/vnd.oasis.opendocument.spreadsheet";
    const std::string pagesThenNumbers = "<string>pages-trunk</string><string>numbers-trunk";
    const std::string numbersThenPages = "<string>numbers-trunk</string><string>pages-trunk";
    const struct {
        std::string name;
        std::string after;
        bool office, streaming, local;
        std::uint32_t before, type;
    } cases[] = {
        {"word/_rels/document.xml.rels", "", true, false, true, 72, 73},
        {"xl/_rels/workbook.xml.rels", "", true, true, false, 72, 74},
        {"ppt/_rels/presentation.xml.rels", "", true, true, true, 72, 75},
        {"word/theme/theme1.xml", "", true, true, true, 72, 73},
        {"word/theme/theme1.xml", "", true, true, false, 72, 73},  // central: the "word" prefix
        {"1b4e28ba-2fa1-11d2-883f-0016d3cca427", "", false, true, true, 72, 145},
        {"1b4e28ba-2fa1-11d2-883f-0016d3cca427", "", false, false, true, 72, 72},  // streaming only
        {"1b4e28ba_2fa1_11d2_883f_0016d3cca427", "", false, true, true, 72, 72},
        {"Accounts/Outlook/", "", true, true, true, 72, 120},
        {"Accounts/Outlook/", "", true, true, false, 72, 120},
        {"Local/com.microsoft.__Messages/", "", true, true, false, 72, 72},  // local headers only
        {"Accounts/Outlook/", "", false, true, true, 72, 72},
        {"Data/numbers/x", "", false, true, true, 72, 112},
        {"Index/Slide1.iwa", "", false, true, true, 72, 111},
        {"buildVersionHistory.plist", pagesThenNumbers, false, true, true, 72, 110},
        {"buildVersionHistory.plist", numbersThenPages, false, true, true, 72, 112},
        {"buildVersionHistory.plist", pagesThenNumbers, false, false, true, 72, 112},  // numbers anywhere wins
        {"buildVersionHistory.plist", "<string>pages-trunk", false, false, true, 72, 110},
        {"buildVersionHistory.plist", std::string(300, ' ') + "<string>pages-trunk", false, true, true, 72, 112},
        {"Index/DocumentStylesheet.iwa", "..imported-paragraph-style-1", false, false, true, 72, 110},
        {"Index/Metadata.iwa", "DocumentMetadata", false, true, true, 72, 110},
        {"Index/Metadata.iwa", "DocumentMetadata", false, false, true, 72, 72},
        {"mimetype", epub, false, true, true, 72, 114},
        {"mimetype", odt, false, false, true, 72, 123},
        {"mimetype", ods, false, true, true, 72, 124},
        {"mimetype", odt, false, true, true, 112, 112},  // an iWork type stays
        {"OEBPS/Text/chapter1.xhtml", "", false, true, true, 72, 114},
        {"OEBPS/Text/chapter1.xhtml", "", false, false, true, 72, 72},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classZipSearch::ClassifyMember(c.name, reinterpret_cast<const std::uint8_t*>(c.after.data()),
                                                 c.after.size(), c.office, c.streaming, c.local, c.before),
                  c.type)
            << c.name << " office " << c.office << " streaming " << c.streaming << " local " << c.local;
    }
    EXPECT_TRUE(ZipIpaFileType("payload/Demo.app/Info.plist"));
    EXPECT_TRUE(ZipIpaFileType("iTunesMetadata.plist"));
    EXPECT_FALSE(ZipIpaFileType("Pay"));
}

// A core.xml whose data runs past the end of the 4 MiB block (and, in the
// last cases, past the spare bytes the driver holds after it) is read once
// the next block is in; one of 10,240 bytes or more is refused.
TEST_F(ZipArchive, CoreXmlAcrossTheBlockEndAndItsSizeLimit) {
    const std::uint64_t blockEnd = 0x400000;
    for (std::uint32_t ss : {512u, 4096u}) {
        for (std::uint64_t past : {1ull * ss, 2ull * ss, 3ull * ss, 4096ull + 2 * ss}) {
            std::vector<std::size_t> offsets;
            const std::vector<std::uint8_t> zip =
                ziptest::BuildZip(ziptest::Docx(ziptest::CoreXml("Eve Editor", "Straddle", 7000)), "", &offsets);
            // Data end of the core member: its header, name, then the data up to the next header.
            const std::uint64_t coreEnd = offsets[3];
            const std::int64_t start = static_cast<std::int64_t>((blockEnd + past - coreEnd) / ss);
            CSyntheticStorageDevice dev(ss);
            dev.AddZeros(static_cast<std::uint64_t>(start) * ss);
            dev.AddBytes(zip);
            dev.AddZeros(ss * 4);
            RawSearch raw(&dev);
            raw.Run();
            const std::vector<Found> files = raw.Files();
            const Found* hit = At(files, start);
            ASSERT_NE(hit, nullptr) << ss << " +" << past;
            EXPECT_EQ(hit->name.rfind("Eve Editor_Straddle_2010-05-06 12-34-56", 0), 0u)
                << ss << " +" << past << ": " << hit->name;
            EXPECT_EQ(hit->size, static_cast<std::int64_t>(zip.size()));
        }
    }
    const std::size_t base = ziptest::CoreXml("Eve Editor", "Limit").size();
    for (std::size_t length : {10239u, 10240u}) {
        const std::vector<std::uint8_t> zip =
            ziptest::BuildZip(ziptest::Docx(ziptest::CoreXml("Eve Editor", "Limit", length - base)));
        CSyntheticStorageDevice dev(512);
        dev.AddZeros(512 * 2).AddBytes(zip).AddZeros(512 * 4);
        RawSearch raw(&dev);
        raw.Run();
        const std::vector<Found> files = raw.Files();
        const Found* hit = At(files, 2);
        ASSERT_NE(hit, nullptr) << length;
        EXPECT_EQ(hit->name.rfind("Eve Editor_Limit", 0) == 0, length < 10240) << hit->name;
        EXPECT_EQ(hit->size, static_cast<std::int64_t>(zip.size()));
    }
}

// One reader serves every document of a search: each member gives exactly
// its own properties, whatever the member before it was (longer, stored,
// refused or damaged), so nothing of an earlier document leaks into a later one.
TEST_F(ZipArchive, OneCoreReaderReadsEachMemberAfterAnyOther) {
    struct Case {
        std::string editor, title;
        std::size_t padding;
        bool stored;
        bool damaged;  // the deflated data cut short: nothing is read
    };
    const std::vector<Case> cases = {
        {"Eve Editor", std::string(900, 'L'), 3000, false, false},
        {"Bob", "Short", 0, false, false},
        {"Gil", "Oversized", 12000, false, false},  // refused: nothing is read
        {"Eve Editor", "Padded", 5000, true, false},
        {"Cy", "Tiny", 0, true, false},
        {"Dee", "Cut", 0, false, true},
        {"Flo", "After", 0, false, false},
    };
    Tessel::OfficeTagFromXML reader;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string xml = ziptest::CoreXml(c.editor, c.title, c.padding);
        std::string data = c.stored ? xml : ziptest::RawDeflate(xml);
        if (c.damaged) data.resize(data.size() / 2);
        const FileProperty property = ReadCoreMember(reader, data, c.stored, xml.size());
        const bool readable = !c.damaged && xml.size() < Tessel::OfficeTagFromXML::kLimit;
        EXPECT_EQ(property.m_title, readable ? c.title : "") << i;
        EXPECT_EQ(property.m_lastAuthor, readable ? c.editor : "") << i;
        EXPECT_EQ(property.m_author, readable ? "Ada Author" : "") << i;
    }
}

// Which texts of core.xml name the document: the first child text of the
// first element of each name right under cp:coreProperties, its blank runs
// collapsed to one space; plain texts and those with entities, comments or
// other characters (read by TinyXML) alike.
TEST_F(ZipArchive, CorePropertiesTextRules) {
    const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";
    const std::string open = "<cp:coreProperties xmlns:cp=\"c\" xmlns:dc=\"d\">";
    const std::string close = "</cp:coreProperties>";
    const struct {
        std::string xml;
        const char* title;
        const char* author;
    } cases[] = {
        {decl + open + "<dc:title>\r\n  Two   words\there \n</dc:title><dc:creator>Ada</dc:creator>" + close,
         "Two words here", "Ada"},
        {decl + open + "<dc:title><b/>Late</dc:title><dc:title>Second</dc:title><x><dc:creator>Deep</dc:creator></x>" +
             close,
         "", ""},
        {decl + open + "<dc:title/><dc:creator>  </dc:creator>" + close, "", ""},
        {decl + "<other xmlns:dc=\"d\"><dc:title>Elsewhere</dc:title></other>", "", ""},
        {decl + open + "<dc:title>Fish &amp; Chips</dc:title><!-- note --><dc:creator>Bo</dc:creator>" + close,
         "Fish & Chips", "Bo"},
        {decl + open + "<dc:title>Caf\xC3\xA9</dc:title>" + close, "Caf\xC3\xA9", ""},
        {decl + open + "<dc:title>Unclosed</dc:title>", "", ""},
        {decl + open + "<dc:title>Twice</dc:title>" + close + "<cp:coreProperties/>", "Twice", ""},
    };
    Tessel::OfficeTagFromXML reader;
    for (const auto& c : cases) {
        const FileProperty property = ReadCoreMember(reader, c.xml, true, c.xml.size());
        EXPECT_EQ(property.m_title, c.title) << c.xml;
        EXPECT_EQ(property.m_author, c.author) << c.xml;
    }
}

// Archives written with data descriptors whose end record shares its sector
// with other bytes: the streaming walk never sees their end. Forty of them
// overflow the 32 open candidates, so the first are evicted and the last
// are still open at the end; the device walk sizes every one exactly, and
// the same layout whose core.xml the walk could not reach is named from
// the central directory.
TEST_F(ZipArchive, EvictedAndUnfinishedArchivesAreSizedByTheDeviceWalk) {
    for (std::uint32_t ss : {512u, 4096u}) {
        CSyntheticStorageDevice dev(ss);
        dev.AddZeros(ss * 2);
        std::vector<std::int64_t> starts;
        std::vector<std::size_t> sizes;
        for (int i = 0; i < 40; ++i) {
            std::vector<ziptest::Member> members = {
                {"notes.txt", std::string(3000 + 100 * i, 'a' + i % 26), true, true},
                {"more.txt", "the second member", true, true}};
            const std::vector<std::uint8_t> zip = ziptest::BuildZip(members);
            starts.push_back(static_cast<std::int64_t>(dev.GetTotalSectors()));
            sizes.push_back(zip.size());
            dev.AddBytes(zip);
            // Random bytes right after the end record: no zero tail to find it by.
            dev.AddRandom((ss - zip.size() % ss) % ss + ss, 100 + i);
            dev.AddZeros(ss);
        }
        RawSearch raw(&dev);
        raw.Run();
        const std::vector<Found> files = raw.Files();
        for (std::size_t i = 0; i < starts.size(); ++i) {
            const Found* hit = At(files, starts[i]);
            ASSERT_NE(hit, nullptr) << ss << " #" << i;
            EXPECT_EQ(hit->size, static_cast<std::int64_t>(sizes[i])) << ss << " #" << i;
        }
    }
}

// Both keys of these formats hold the written analysers, not placeholders.
TEST_F(ZipArchive, RegistryKeysHoldTheWrittenAnalysers) {
    CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
    registry->ReinitAnalyzeList(nullptr);
    for (int set : {0, 1}) {
        auto& map = registry->GetAnalyserMap(set);
        ASSERT_TRUE(map.count(0x04034B50u) && map.count(0xE011CFD0u)) << set;
        EXPECT_NE(dynamic_cast<FileZIPAnalyser*>(map[0x04034B50u]), nullptr) << set;
        EXPECT_NE(dynamic_cast<FileOLEAnalyser*>(map[0xE011CFD0u]), nullptr) << set;
    }
}
