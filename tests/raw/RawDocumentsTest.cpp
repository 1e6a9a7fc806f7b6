// The document analysers: PDF and PostScript, text documents, e-books,
// page layouts, notebooks and mail stores, and the zero-ended record they
// share with other formats.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "RawSearchSupport.h"
#include "foundation/ByteOrder.h"
#include "raw/RawUtility.h"
#include "raw/ZeroEndRawFileInfo.h"
#include "raw/analysers/DocumentStoreAnalysers.h"
#include "raw/analysers/PdfAnalysers.h"
#include "raw/analysers/TextDocumentAnalysers.h"
#include "storage/SyntheticDevice.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The context the driver gives a sector: its trailing zero bytes counted in
// steps of 4 up to 32, and a view holding just that sector.
CRawFileInfo::SearchContext ContextFor(const std::uint8_t* sector, std::uint32_t size, std::int64_t number) {
    CRawFileInfo::SearchContext ctx;
    std::uint32_t trailing = 0;
    for (int k = 1; k <= 8 && 4u * k <= size; ++k) {
        if (byteorder::LE32(sector + size - 4 * k) != 0) break;
        trailing += 4;
    }
    ctx.trailingZeroBytes = trailing;
    ctx.bufferStartSector = number;
    ctx.blockEndSector = number + 1;
    ctx.view = SectorView::ForSector(sector, size, number, 0);
    return ctx;
}

// Feeds `data` (zero-padded to whole sectors, then `extraSectors` zero
// sectors) sector by sector, starting at sector `start`, until the record
// answers 1; returns that answer (0 when it never did).
int Stream(CRawFileInfo& record, const Bytes& data, std::uint32_t sectorSize, std::int64_t start = 7,
           int extraSectors = 8) {
    Bytes padded(data);
    padded.resize((data.size() + sectorSize - 1) / sectorSize * sectorSize + extraSectors * sectorSize, 0);
    record.m_startSector = start;
    for (std::size_t at = 0; at < padded.size(); at += sectorSize) {
        const std::int64_t number = start + static_cast<std::int64_t>(at / sectorSize);
        CRawFileInfo::SearchContext ctx = ContextFor(padded.data() + at, sectorSize, number);
        if (record.CalcRawSize(padded.data() + at, static_cast<int>(sectorSize), number, ctx) == 1) return 1;
    }
    return 0;
}

Bytes Text(std::size_t n, char fill = 'x') {
    Bytes b(n, static_cast<std::uint8_t>(fill));
    for (std::size_t i = 79; i < n; i += 80) b[i] = '\n';
    return b;
}

TEST(ZeroEndRawFileInfo, EndsAtTheLastDataByteOfTheFirstZeroTailedSector) {
    struct Case {
        const char* what;
        std::size_t length;
        std::uint32_t unit;
        std::uint64_t skipUntil;
        std::uint64_t cap;
        std::int64_t want;
    };
    const Case cases[] = {
        {"a few bytes", 5, 1, 0, 1 << 30, 5},
        {"ends 1 byte into a sector", 4097, 1, 0, 1 << 30, 4097},
        // Under one zero word the sector does not count as padded: the
        // next, empty sector ends the file, and with only that sector in
        // view the 3 zero bytes stay (the search's view holds the sector
        // before: see the text EPS below).
        {"ends 3 bytes before a sector end", 4096 - 3, 1, 0, 1 << 30, 4096},
        {"ends 20 bytes before a sector end", 4096 - 20, 1, 0, 1 << 30, 4096 - 20},
        {"ends 33 bytes before a sector end", 4096 - 33, 1, 0, 1 << 30, 4096 - 33},
        {"ends exactly on a sector end: the next, empty sector ends it", 4096, 1, 0, 1 << 30, 4096},
        {"step of 4 keeps the last byte", 1001, 4, 0, 1 << 30, 1001},
        {"zero tail before the skip-until position is passed", 1000, 1, 3000, 1 << 30, 3072},
        {"cut at the cap", 10000, 1, 0, 2048, 2048},
    };
    for (std::uint32_t sectorSize : {512u, 4096u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " / sector " + std::to_string(sectorSize));
            Bytes data = Text(c.length);
            // A zero inside the data, short of a whole tail, never ends it.
            if (c.length > 600) data[c.length - 300] = 0;
            CZeroEndRawFileInfo record(c.cap, c.unit);
            record.m_skipUntil = c.skipUntil;
            ASSERT_EQ(Stream(record, data, sectorSize), 1);
            std::int64_t want = c.want;
            // Past the skip-until position the first sector seen is all padding.
            if (c.skipUntil) want = static_cast<std::int64_t>((c.skipUntil + sectorSize - 1) / sectorSize * sectorSize);
            EXPECT_EQ(record.m_size, want);
        }
    }
}

TEST(ZeroEndRawFileInfo, ARunOfZerosInsideTheLastSectorDoesNotCutTheFile) {
    // 100 bytes of text, 64 zero bytes, 100 bytes of text, then padding: a
    // bisection probing the inner run would end the file at 100.
    Bytes data = Text(264);
    std::memset(data.data() + 100, 0, 64);
    for (std::uint32_t unit : {1u, 4u}) {
        CZeroEndRawFileInfo record(1 << 30, unit);
        ASSERT_EQ(Stream(record, data, 512), 1);
        EXPECT_EQ(record.m_size, 264);
    }
    const std::uint8_t allZero[16] = {};
    EXPECT_EQ(CZeroEndRawFileInfo::LastDataEnd(allZero, sizeof allZero, 4), 0u);
    EXPECT_EQ(CZeroEndRawFileInfo::LastDataEnd(data.data(), 1, 4), 1u);
    EXPECT_EQ(CZeroEndRawFileInfo::LastDataEnd(nullptr, 16, 4), 0u);
}

// ---- Whole searches over planted files ----

struct Planted {
    std::int64_t start = 0;
    const rawtest::Found* hit = nullptr;
};

// Lays each file at a sector boundary, pads it to the sector end, then one
// zero sector and `gapRandom` random bytes behind another zero sector; runs
// the search and matches the found files to their start sectors.
class Scan {
public:
    Scan(std::uint32_t ss, const std::vector<Bytes>& files, std::uint64_t gapRandom = 0) : dev(ss) {
        dev.AddZeros(ss * 2);
        std::uint64_t seed = 5;
        for (const Bytes& f : files) {
            starts.push_back(static_cast<std::int64_t>(dev.GetTotalSectors()));
            dev.AddBytes(f);
            if (f.size() % ss) dev.AddZeros(ss - f.size() % ss);
            dev.AddZeros(ss);
            if (gapRandom) dev.AddRandom((gapRandom + ss - 1) / ss * ss, seed++).AddZeros(ss);
        }
        raw = std::make_unique<rawtest::RawSearch>(&dev);
        raw->Run();
        found = raw->Files();
    }
    const rawtest::Found* At(std::size_t i) const {
        for (const rawtest::Found& f : found)
            if (f.start == starts[i]) return &f;
        return nullptr;
    }
    std::string Dump() const {
        std::string out;
        for (const rawtest::Found& f : found)
            out += f.name + " @" + std::to_string(f.start) + " " + std::to_string(f.size) + "\n";
        for (std::int64_t st : starts) out += "start " + std::to_string(st) + "\n";
        return out;
    }
    static bool Ext(const rawtest::Found* f, const std::string& ext) {
        return f && f->name.size() > ext.size() && f->name.compare(f->name.size() - ext.size(), ext.size(), ext) == 0;
    }
    // The file's bytes equal `want` followed by zero bytes up to its size.
    bool ReadsAs(const rawtest::Found* f, Bytes want) const {
        if (f == nullptr) return false;
        want.resize(static_cast<std::size_t>(f->size), 0);
        return raw->Read(f->node) == want;
    }

    CSyntheticStorageDevice dev;
    std::vector<std::int64_t> starts;
    std::unique_ptr<rawtest::RawSearch> raw;
    std::vector<rawtest::Found> found;
};

void Put(Bytes& b, std::size_t at, const std::string& text) {
    if (b.size() < at + text.size()) b.resize(at + text.size(), 'x');
    std::memcpy(b.data() + at, text.data(), text.size());
}

// A PDF of exactly `length` bytes ending "%%EOF" and `lineEnd`, with an Info
// dictionary.
Bytes Pdf(std::size_t length, const std::string& info = "", const std::string& lineEnd = "\n") {
    std::string head = "%PDF-1.4\n1 0 obj\n<<" + info + ">>\nendobj\n2 0 obj\n<< /Length 9 >>\nstream\n";
    const std::string tail = "\nendstream\nendobj\ntrailer\n<< /Info 1 0 R >>\n%%EOF" + lineEnd;
    Bytes b = Text(length, 'p');
    Put(b, 0, head);
    Put(b, length - tail.size(), tail);
    return b;
}

const char kInfo[] =
    " /Title (Hello World) /Author (Jane Doe) /Creator (Writer) /Producer (LibreOffice 7.4)"
    " /CreationDate (D:20240102030405+01'00') /ModDate (D:20240203040506Z00'00') ";

TEST(PdfAnalyzer, StreamingEndsAtTheMarkerInTheZeroTailedSector) {
    // "%%EOF\n" with at least 32 zero bytes after it in its sector, and with
    // fewer: either way the file ends with the marker's line end, and the
    // zero padding after it is no part of it.
    for (std::uint32_t ss : {512u, 4096u}) {
        SCOPED_TRACE(ss);
        const std::size_t wide = 40000, narrow = 40960 - 20;
        const Scan scan(ss, {Pdf(wide, kInfo), Pdf(narrow, kInfo)}, 3000);
        const rawtest::Found* a = scan.At(0);
        const rawtest::Found* b = scan.At(1);
        ASSERT_TRUE(Scan::Ext(a, ".PDF") && Scan::Ext(b, ".PDF")) << scan.Dump();
        EXPECT_EQ(a->size, static_cast<std::int64_t>(wide));
        EXPECT_EQ(b->size, static_cast<std::int64_t>(narrow));
        EXPECT_TRUE(scan.ReadsAs(a, Pdf(wide, kInfo)));
        EXPECT_TRUE(scan.ReadsAs(b, Pdf(narrow, kInfo)));
        // Named by the title and modification time, filed under the author.
        EXPECT_EQ(a->name.rfind("Hello World2024-02-03 04-05-06", 0), 0u) << a->name;
        EXPECT_EQ(scan.raw->builder.PathBelow(a->node, 1000).rfind("PDF/Jane Doe/Hello World", 0), 0u)
            << scan.raw->builder.PathBelow(a->node, 1000);
    }
}

TEST(PdfAnalyzer, SmallPdfIsSizedByTheDeviceWalkAndNeverRunsIntoTheNextOne) {
    for (std::uint32_t ss : {512u, 4096u}) {
        SCOPED_TRACE(ss);
        // Below 20,480 bytes streaming never ends a PDF; the walk ends it at
        // the marker's line end. A second PDF right behind must not be
        // swallowed by the first.
        const Scan alone(ss, {Pdf(10000)}, 70000);
        const rawtest::Found* f = alone.At(0);
        ASSERT_TRUE(Scan::Ext(f, ".PDF"));
        EXPECT_EQ(f->size, 10000);
        EXPECT_TRUE(alone.ReadsAs(f, Pdf(10000)));

        const Scan pair(ss, {Pdf(10000), Pdf(40000)});
        ASSERT_TRUE(Scan::Ext(pair.At(0), ".PDF") && Scan::Ext(pair.At(1), ".PDF"));
        EXPECT_EQ(pair.At(0)->size, 10000);
        EXPECT_EQ(pair.At(1)->size, 40000);
        // Nor a PostScript file behind it, which ends in "%%EOF" too.
        Bytes ps = Text(30000);
        Put(ps, 0, "%!PS-Adobe-3.0 EPSF-3.0\n");
        Put(ps, 30000 - 6, "%%EOF\n");
        const Scan before(ss, {Pdf(10000), ps});
        ASSERT_TRUE(Scan::Ext(before.At(0), ".PDF") && Scan::Ext(before.At(1), ".EPS")) << before.Dump();
        EXPECT_EQ(before.At(0)->size, 10000);
        EXPECT_EQ(before.At(1)->size, 30000);
    }
}

TEST(PdfAnalyzer, EveryEndRuleStopsAtTheLineEndOfTheLastMarker) {
    // Under 20,480 bytes the device walk sizes the file, above it streaming;
    // 12,288 and 40,960 end on a sector end, so the marker's line end is in
    // the sector before the first padded one. Each file reads back whole.
    const std::size_t lengths[] = {10000, 12288, 40000, 40960};
    for (std::uint32_t ss : {512u, 4096u}) {
        for (const char* lineEnd : {"", "\n", "\r\n", "\r"}) {
            SCOPED_TRACE(std::to_string(ss) + " / line end of " + std::to_string(std::strlen(lineEnd)));
            std::vector<Bytes> files;
            for (std::size_t n : lengths) files.push_back(Pdf(n, kInfo, lineEnd));
            const Scan scan(ss, files, 2000);
            for (std::size_t i = 0; i < files.size(); ++i) {
                ASSERT_TRUE(Scan::Ext(scan.At(i), ".PDF")) << lengths[i] << "\n" << scan.Dump();
                EXPECT_EQ(scan.At(i)->size, static_cast<std::int64_t>(lengths[i]));
                EXPECT_TRUE(scan.ReadsAs(scan.At(i), files[i])) << lengths[i];
            }
        }
    }
}

TEST(PdfAnalyzer, IllustratorHeaderIsTypedAIAndEpsIsNot_Crafted) {
    Bytes ai = Text(30000);
    Put(ai, 0, "%!PS-Adobe-3.0\n%%Creator: Adobe Illustrator(R) 24.0\n%%Title: x\n");
    Put(ai, 30000 - 6, "%%EOF\n");
    Bytes eps = Text(3000);
    Put(eps, 0, "%!PS-Adobe-3.0 EPSF-3.0\n%%Creator: Adobe Illustrator(R) 24.0\n");
    const Scan scan(4096, {ai, eps});
    EXPECT_TRUE(Scan::Ext(scan.At(0), ".AI"));
    EXPECT_EQ(scan.At(0)->size, 30000);
    ASSERT_TRUE(Scan::Ext(scan.At(1), ".EPS"));
    EXPECT_EQ(scan.At(1)->size, 3000);
}

TEST(PdfAnalyzer, AWhollyPaddedSectorWithNothingBeforeItInTheBufferNeedsTheMarker) {
    // Past 20,480 bytes, a sector with 32 or more trailing zero bytes whose
    // previous sector is not in the buffer: the file ends only where the
    // sector itself shows "%%EOF".
    struct Case {
        const char* what;
        std::string text;
        int answer;
        std::int64_t size;
    };
    const Case cases[] = {
        {"no marker: keep going", "binary stream data", 2, 0},
        {"marker in the sector", "endobj\n%%EOF\n", 1, 40960 + 13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BruteForce::PdfAnalyzer owner;
        BruteForce::PdfAnalyzer::PdfRawFileInfo r(&owner);
        r.m_startSector = 100;
        r.m_infoPending = 0;
        r.m_firstSector = 0;
        Bytes sector(512, 0);
        std::memcpy(sector.data(), c.text.data(), c.text.size());
        const std::int64_t number = 100 + 80;
        CRawFileInfo::SearchContext ctx = ContextFor(sector.data(), 512, number);
        EXPECT_EQ(r.CalcRawSize(sector.data(), 512, number, ctx), c.answer);
        if (c.answer == 1) {
            EXPECT_EQ(r.m_size, c.size);
        }
    }
}

TEST(PdfTitleAnalyzer, InfoValuesAreReadFilteredAndCut) {
    using BruteForce::PdfTitleAnalyzer;
    struct Case {
        std::string entry;  // the value as it stands in the file
        std::string want;   // the title read, "" when dropped
    };
    // Greek "Καλημέρα κόσμε" in UTF-16BE behind its byte-order mark.
    const std::string greek = std::string(
        "\xFE\xFF\x03\x9A\x03\xB1\x03\xBB\x03\xB7\x03\xBC\x03\xAD\x03\xC1\x03\xB1"
        "\x00\x20\x03\xBA\x03\xCC\x03\xC3\x03\xBC\x03\xB5",
        2 + 2 * 14);
    const Case cases[] = {
        {"Plain title", "Plain title"},
        {greek,
         "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1 "
         "\xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xB5"},
        // As writers store it: the units' unprintable bytes escaped in octal.
        {"\\376\\377\\003\\232\\003\\261", "\xCE\x9A\xCE\xB1"},
        {"Report 2024", ""},                                                     // a digit drops the title
        {"A very long title that goes on and on", "A very long title that go"},  // 25 characters
        {"Bad: chars?", "Bad_ chars_"},
        {"Tab\tin it", ""},
        {"x", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.want);
        std::string text = "7 0 obj\n<< /Title (" + c.entry + ") /Author (Jane Doe) /Creator (Writer)" +
                           " /CreationDate (D:20240102030405Z) >>\nendobj\n";
        Bytes sector(512, ' ');
        std::memcpy(sector.data(), text.data(), text.size());
        FileProperty p;
        PdfTitleAnalyzer reader;
        ASSERT_EQ(reader.ObtainPerSecPDFInformation(sector.data(), 512, 512, p), 1);
        EXPECT_EQ(p.m_title, c.want);
        EXPECT_EQ(p.m_lastAuthor, "Jane Doe");
        EXPECT_EQ(p.m_author, "Writer");
        EXPECT_EQ(p.m_createTime, "2024-01-02 03-04-05");
    }
    // Too short a date, or letters in it, leaves no time.
    EXPECT_EQ(PdfTitleAnalyzer::TimeChange("D:2024010203040"), "");
    EXPECT_EQ(PdfTitleAnalyzer::TimeChange("D:2024X102030405Z"), "");
    // Neither both names nor a date: nothing is stored.
    const std::string lone = "1 0 obj << /Title (Only a title) /Producer (P) >> endobj";
    Bytes sector(512, ' ');
    std::memcpy(sector.data(), lone.data(), lone.size());
    FileProperty p;
    EXPECT_EQ(PdfTitleAnalyzer().ObtainPerSecPDFInformation(sector.data(), 512, 512, p), 0);
}

TEST(PdfTitleAnalyzer, NameAndTagFollowTheEntriesThatAreThere) {
    struct Case {
        FileProperty p;
        std::uint32_t type;
        std::string name, value;
        std::int32_t tag;
    };
    auto prop = [](std::string title, std::string producer, std::string creator, std::string author,
                   std::string created, std::string modified) {
        FileProperty p;
        p.m_title = title;
        p.m_producer = producer;
        p.m_author = creator;
        p.m_lastAuthor = author;
        p.m_createTime = created;
        p.m_lastSaveTime = modified;
        return p;
    };
    const Case cases[] = {
        {prop("T", "P", "C", "A", "2024-01-02 03-04-05", "M"), RAW_FILE_TYPE_PDF, "TM", "A", RAW_FILE_TAG_PDF},
        {prop("", "P", "C", "", "", ""), RAW_FILE_TYPE_PDF, "C", "C", RAW_FILE_TAG_PDF},
        {prop("", "P", "", "", "", "M"), RAW_FILE_TYPE_AI, "PM", "P", RAW_FILE_TAG_ILLUSTRATION},
        {prop("", "", "", "", "2024-01-02 03-04-05", ""), RAW_FILE_TYPE_PDF, "2024-01-02 03-04-05", "unknown",
         RAW_FILE_TAG_PDF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BruteForce::PdfAnalyzer owner;
        BruteForce::PdfAnalyzer::PdfRawFileInfo r(&owner);
        r.m_type = c.type;
        r.m_properties = c.p;
        r.m_infoPending = 0;
        r.PdfTagDealwith();
        EXPECT_EQ(r.m_rawFileName, c.name);
        EXPECT_EQ(r.m_tag, c.tag);
        EXPECT_EQ(r.m_tagValue, c.value);
        EXPECT_EQ(r.m_rawFileTime, c.p.m_createTime);
    }
}

// ---- EPS ----

// A binary EPS header: PostScript, metafile and TIFF sections (offset,
// length), the TIFF preview last.
Bytes BinaryEps(std::uint32_t psLength, std::uint32_t tiffLength) {
    Bytes b(30 + psLength + tiffLength, 0);
    byteorder::PutLE32(b.data(), 0xC6D3D0C5);
    byteorder::PutLE32(b.data() + 4, 30);
    byteorder::PutLE32(b.data() + 8, psLength);
    byteorder::PutLE32(b.data() + 20, 30 + psLength);
    byteorder::PutLE32(b.data() + 24, tiffLength);
    b[28] = b[29] = 0xFF;
    Put(b, 30, "%!PS-Adobe-3.0 EPSF-3.0\n");
    for (std::size_t i = 30 + 25; i < 30 + psLength; ++i) b[i] = 'e';
    // The preview holds zero runs: only the header's size may end the file.
    Put(b, 30 + psLength, "II*");
    for (std::size_t i = 30 + psLength + 3; i < b.size(); ++i) b[i] = (i / 700) % 2 ? 0 : 0x41;
    b.back() = 0x42;
    return b;
}

TEST(CEPSAnalyser, TextEndsAtItsLastByteWhenItsLastSectorIsNearlyFull) {
    // Fewer zero bytes than a word before the sector end: the next, empty
    // sector ends the file, and the zero bytes before it are cut too.
    for (std::uint32_t ss : {512u, 4096u}) {
        std::vector<Bytes> files;
        for (std::size_t gap : {0, 1, 2, 3, 4}) {
            Bytes text = Text(2 * ss - gap, 't');
            Put(text, 0, "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n");
            Put(text, text.size() - 5, "%%EOF");
            files.push_back(text);
        }
        const Scan scan(ss, files, 700);
        for (std::size_t i = 0; i < files.size(); ++i) {
            SCOPED_TRACE(std::to_string(ss) + " / " + std::to_string(files[i].size()));
            ASSERT_TRUE(Scan::Ext(scan.At(i), ".EPS")) << scan.Dump();
            EXPECT_EQ(scan.At(i)->size, static_cast<std::int64_t>(files[i].size()));
            EXPECT_TRUE(scan.ReadsAs(scan.At(i), files[i]));
        }
    }
}

TEST(CEPSAnalyser, BinaryHeaderSizesAtOnceAndTextEndsAtItsPadding_Crafted) {
    Bytes text = Text(5000, 't');
    Put(text, 0, "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n");
    const Bytes binary = BinaryEps(3000, 9000);
    for (std::uint32_t ss : {512u, 4096u}) {
        SCOPED_TRACE(ss);
        // The binary one comes after a text one, whose record kind must not
        // carry over to it.
        const Scan scan(ss, {text, binary, binary}, 2000);
        for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(Scan::Ext(scan.At(i), ".EPS")) << i << scan.Dump();
        EXPECT_EQ(scan.At(0)->size, 5000);
        EXPECT_TRUE(scan.ReadsAs(scan.At(0), text));
        EXPECT_EQ(scan.At(1)->size, static_cast<std::int64_t>(binary.size()));
        EXPECT_TRUE(scan.ReadsAs(scan.At(1), binary));
        EXPECT_EQ(scan.At(2)->size, static_cast<std::int64_t>(binary.size()));
    }
}

// ---- Text documents ----

TEST(FileRTFAnalyser, BraceDepthEndsTheFile) {
    struct Case {
        const char* what;
        std::string text;
        int ok;
        std::int64_t size;
    };
    std::string body(999 - 6, 'r');
    const Case cases[] = {
        {"closing brace at 999", "{\\rtf1" + body + "}", 1, 1000},
        {"a second top-level group goes on", "{\\rtf1{a}}{b}", 1, 13},
        {"a group left open at the padding", "{\\rtf1{\\b open", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CSyntheticStorageDevice dev(512);
        dev.AddBytes(c.text.data(), c.text.size()).AddZeros(4096);
        CRawFileInfo r;
        FileRTFAnalyser rtf;
        EXPECT_EQ(rtf.GetRawFileSize(r, &dev), c.ok);
        if (c.ok) {
            EXPECT_EQ(r.m_size, c.size);
        }
    }
}

TEST(TextAnalysers, StreamingEndsAtTheZeroTailOrMarker) {
    std::string html = "<!DOCTYPE html>\n<html><body>" + std::string(700 - 43, 'h') + "</body></html>\n";
    ASSERT_EQ(html.size(), 700u);
    Bytes gpx(Text(900, 'g'));
    Put(gpx, 0, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx version=\"1.1\">");
    Put(gpx, 900 - 7, "</gpx>\n");
    Bytes rtf(Text(1000, 'r'));
    Put(rtf, 0, "{\\rtf1\\ansi ");
    Put(rtf, 999, "}");
    Bytes binarySvg(Text(11152, 's'));
    byteorder::PutLE32(binarySvg.data(), 0x000001CD);
    byteorder::PutLE32(binarySvg.data() + 1100, 10000);
    const Scan scan(512, {Bytes(html.begin(), html.end()), gpx, rtf, binarySvg}, 1500);
    // Each ends at its last text byte: the zero padding is no part of it.
    ASSERT_TRUE(Scan::Ext(scan.At(0), ".HTM"));
    EXPECT_EQ(scan.At(0)->size, 700);
    ASSERT_TRUE(Scan::Ext(scan.At(1), ".GPX"));
    EXPECT_EQ(scan.At(1)->size, 900);  // "</gpx>" and its line end
    ASSERT_TRUE(Scan::Ext(scan.At(2), ".RTF"));
    EXPECT_EQ(scan.At(2)->size, 1000);
    ASSERT_TRUE(Scan::Ext(scan.At(3), ".SVG"));
    EXPECT_EQ(scan.At(3)->size, 11152);
}

// A text document of `length` bytes in one of the text formats the
// streaming records end, ending with its closing tag and a line end.
Bytes TextDocument(const std::string& kind, std::size_t length) {
    if (kind == "utf16") {
        // UTF-16LE behind its byte-order mark; its last unit, "\n", ends in
        // a zero byte that belongs to the file.
        const std::string head = "<HTML><body>", tail = "</body></html>\n";
        std::string text(length / 2 - 1, 'u');
        for (std::size_t i = 79; i < text.size(); i += 80) text[i] = '\n';
        text.replace(0, head.size(), head);
        text.replace(text.size() - tail.size(), tail.size(), tail);
        Bytes b = {0xFF, 0xFE};
        for (char c : text) b.insert(b.end(), {static_cast<std::uint8_t>(c), 0});
        return b;
    }
    static const struct {
        const char* kind;
        const char* head;
        const char* tail;
    } kForms[] = {
        {"rtf", "{\\rtf1\\ansi ", "\\par }"},
        {"html", "<!DOCTYPE html>\n<html><body>", "</body></html>\n"},
        {"svg", "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\">", "\n</svg>\n"},
        {"gpx", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx version=\"1.1\">", "</trk>\n</gpx>\n"},
        {"plist", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist>\n<plist>", "</dict>\n</plist>\n"},
    };
    for (const auto& f : kForms) {
        if (kind != f.kind) continue;
        Bytes b = Text(length, kind[0]);
        Put(b, 0, f.head);
        Put(b, length - std::strlen(f.tail), f.tail);
        return b;
    }
    return Bytes();
}

TEST(TextAnalysers, EveryFormatEndsAtItsLastByteWhereverThePaddingStarts) {
    // Text that ends a few bytes short of its sector end leaves that sector
    // too little padding to end the file: the next, empty sector does, and
    // the zero bytes before it are no part of the file either.
    const std::size_t gaps[] = {0, 1, 2, 3, 5, 7, 8, 9, 31, 200};
    const char* const kinds[] = {"rtf", "html", "utf16", "svg", "gpx", "plist"};
    const char* const exts[] = {".RTF", ".HTM", ".HTM", ".SVG", ".GPX", ".PLIST"};
    for (std::uint32_t ss : {512u, 4096u}) {
        std::vector<Bytes> files;
        std::vector<std::string> what;
        for (std::size_t k = 0; k < std::size(kinds); ++k)
            for (std::size_t gap : gaps) {
                std::size_t length = 3 * ss - gap;
                if (std::string(kinds[k]) == "utf16") length &= ~std::size_t{1};
                files.push_back(TextDocument(kinds[k], length));
                what.push_back(std::string(kinds[k]) + " of " + std::to_string(length) + " / " + std::to_string(ss));
            }
        const Scan scan(ss, files, 1000);
        for (std::size_t i = 0; i < files.size(); ++i) {
            SCOPED_TRACE(what[i]);
            ASSERT_TRUE(Scan::Ext(scan.At(i), exts[i / std::size(gaps)])) << scan.Dump();
            EXPECT_EQ(scan.At(i)->size, static_cast<std::int64_t>(files[i].size()));
            EXPECT_TRUE(scan.ReadsAs(scan.At(i), files[i]));
        }
    }
}

TEST(TextAnalysers, DeviceSizersEndAtTheLastByteToo) {
    // The sizers of candidates the streaming did not finish: a marker in
    // the padded sector, one across its start, and one that ended the full
    // sector before it.
    struct Case {
        const char* kind;
        std::size_t length;
    };
    const Case cases[] = {
        {"html", 3000}, {"html", 3000 - 200}, {"svg", 3000},   {"svg", 1027},   {"svg", 1024},
        {"gpx", 3000},  {"gpx", 1026},        {"plist", 3000}, {"plist", 1024},
    };
    for (std::uint32_t ss : {512u, 4096u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.kind) + " of " + std::to_string(c.length) + " / " + std::to_string(ss));
            const Bytes text = TextDocument(c.kind, c.length);
            CSyntheticStorageDevice dev(ss);
            dev.AddBytes(text).AddZeros(8 * ss);
            CRawFileInfo r;
            r.m_startSector = 0;
            FileHTMAnalyser html;
            FileSVGAnalyser svg;
            IRawFileAnalyser& twin = std::string(c.kind) == "html" ? static_cast<IRawFileAnalyser&>(html) : svg;
            ASSERT_EQ(twin.GetRawFileSize(r, &dev), 1);
            EXPECT_EQ(r.m_size, static_cast<std::int64_t>(c.length));
        }
    }
}

TEST(FileSVGAnalyser, MarkerSearchOnEverySectorSize) {
    for (std::uint32_t ss : {512u, 4096u}) {
        SCOPED_TRACE(ss);
        Bytes svg = Text(6000, 's');
        Put(svg, 0, "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\">");
        Put(svg, 6000 - 8, "\n</svg>\n");
        CSyntheticStorageDevice dev(ss);
        dev.AddBytes(svg).AddZeros(8 * ss);
        CRawFileInfo r;
        FileSVGAnalyser twin;
        ASSERT_EQ(twin.AnalyseBuffer(svg.data(), r), 1);
        ASSERT_EQ(twin.GetRawFileSize(r, &dev), 1);
        EXPECT_EQ(r.m_size, 6000);  // the marker and its line end
        EXPECT_EQ(r.m_type, RAW_FILE_TYPE_SVG);
    }
}

// ---- E-books, layouts, notebooks, mail stores (crafted from the formats'
// constants: no free writer exists) ----

Bytes Mobi(std::uint32_t lastRecord) {
    Bytes b = Text(lastRecord + 4, 'm');
    Put(b, 0, "Test book");
    Put(b, 60, "BOOKMOBI");
    std::uint8_t count[4];
    byteorder::PutBE32(count, 3);  // no next list, 3 records
    std::memcpy(b.data() + 74, count, 4);
    const std::uint32_t offsets[3] = {200, 5000, lastRecord};
    for (int i = 0; i < 3; ++i) byteorder::PutBE32(b.data() + 78 + 8 * i, offsets[i]);
    byteorder::PutBE32(b.data() + lastRecord, 0xE98E0D0A);
    return b;
}

Bytes Indd(std::uint32_t end) {
    static const std::uint8_t head[24] = {0x06, 0x06, 0xED, 0xF5, 0xD8, 0x1D, 0x46, 0xE5, 0xBD, 0x31, 0xEF, 0xE7,
                                          0xFE, 0x74, 0xB7, 0x1D, 'D',  'O',  'C',  'U',  'M',  'E',  'N',  'T'};
    static const std::uint8_t mark[16] = {0xDE, 0x39, 0x39, 0x79, 0x51, 0x88, 0x4B, 0x6C,
                                          0x8E, 0x63, 0xEE, 0xF8, 0xAE, 0xE0, 0xDD, 0x38};
    Bytes b = Text(end, 'i');
    std::memcpy(b.data(), head, 24);
    byteorder::PutLE32(b.data() + 280, 1);  // objects from page 1
    // Two objects; the second header straddles a 512-byte sector end.
    const std::uint32_t first = 4096, second = 4096 + 64 + 446 + 1000;
    std::memcpy(b.data() + first, mark, 16);
    byteorder::PutLE32(b.data() + first + 24, second - first - 64);
    std::memcpy(b.data() + second, mark, 16);
    byteorder::PutLE32(b.data() + second + 24, end - second - 64);
    return b;
}

Bytes OneSection(std::uint64_t length, int lengthAt = 196) {
    static const std::uint8_t id[16] = {0xE4, 0x52, 0x5C, 0x7B, 0x8C, 0xD8, 0xA7, 0x4D,
                                        0xAE, 0xB1, 0x53, 0x78, 0xD0, 0x29, 0x96, 0xD3};
    Bytes b = Text(static_cast<std::size_t>(length), 'o');
    std::memset(b.data() + 16, 0, 200);
    std::memcpy(b.data(), id, 16);
    byteorder::PutLE64(b.data() + lengthAt, length);
    return b;
}

Bytes Dbx(bool folder, std::uint32_t declared, std::size_t bytes) {
    static const std::uint8_t folderSig[16] = {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F,
                                               0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0};
    static const std::uint8_t storeSig[16] = {0xF7, 0x89, 0x34, 0x2C, 0xF7, 0xF0, 0xEE, 0x6D,
                                              0xAF, 0x22, 0x89, 0xD1, 0x00, 0xFF, 0xF0, 0xB0};
    Bytes b = Text(bytes, 'd');
    std::memcpy(b.data(), folder ? folderSig : storeSig, 16);
    byteorder::PutLE32(b.data() + 124, declared);
    return b;
}

TEST(DocumentStoreAnalysers, ChainsReplayTheFormatsRules_Crafted) {
    Bytes two = OneSection(3000);
    const Bytes second = OneSection(5000, 100);
    two.insert(two.end(), second.begin(), second.end());
    for (std::uint32_t ss : {512u, 4096u}) {
        SCOPED_TRACE(ss);
        const Scan scan(ss, {Mobi(300000), Indd(70000), two, Dbx(true, 2000000, 2000000), Dbx(false, 7, 3333)}, 1000);
        ASSERT_TRUE(Scan::Ext(scan.At(0), ".MOBI")) << scan.Dump();
        EXPECT_EQ(scan.At(0)->size, 300004);
        EXPECT_TRUE(scan.ReadsAs(scan.At(0), Mobi(300000)));
        ASSERT_TRUE(Scan::Ext(scan.At(1), ".INDD"));
        EXPECT_EQ(scan.At(1)->size, 73728);
        ASSERT_TRUE(Scan::Ext(scan.At(2), ".ONE"));
        EXPECT_EQ(scan.At(2)->size, 8000);  // both sections
        EXPECT_TRUE(scan.ReadsAs(scan.At(2), two));
        ASSERT_TRUE(Scan::Ext(scan.At(3), ".DBX"));
        EXPECT_EQ(scan.At(3)->size, 2000000);
        // The message store has no length: it ends at its padding.
        ASSERT_TRUE(Scan::Ext(scan.At(4), ".DBX"));
        EXPECT_EQ(scan.At(4)->size, 3333);
    }
}

TEST(DocumentStoreAnalysers, HostileChainsEndOrWait) {
    // A section of no length never holds the search in place; a MOBI whose
    // record list points nowhere falls back to its padding.
    Bytes zeroLength = OneSection(4000);
    byteorder::PutLE64(zeroLength.data() + 196, 0);
    Bytes lost = Mobi(9000);
    byteorder::PutBE32(lost.data() + 74, 0x80000001u);
    const Scan scan(512, {zeroLength, lost}, 700);
    ASSERT_TRUE(Scan::Ext(scan.At(1), ".MOBI")) << scan.Dump();
    EXPECT_EQ(scan.At(1)->size, 9004);

    // An object header that straddles the sector end, with nothing of the
    // next sector in the buffer, waits for that sector instead of ending the
    // chain or spinning.
    Bytes indd = Indd(70000);
    indd.resize(80000, 0);
    RawSpeed::InddRawFileInfo r;
    r.m_startSector = 0;
    int answer = 2;
    std::int64_t s = 0;
    for (; s * 512 < 80000 && answer == 2; ++s) {
        CRawFileInfo::SearchContext ctx;
        ctx.view = SectorView(indd.data(), 512, 0, s + 1, 0);
        answer = r.CalcRawSize(indd.data() + s * 512, 512, s, ctx);
        // The second header, at 5,606, runs 6 bytes past sector 10.
        if (s == 10) {
            EXPECT_TRUE(answer == 2 && r.m_nextObject == 5606u) << "still at the straddling header";
        }
    }
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(r.m_size, 73728);
}

TEST(DocumentAnalysers, EveryKeyOfTheseFormatsHoldsAWrittenAnalyser) {
    CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
    registry->ReinitAnalyzeList(nullptr);
    auto written = [](IRawFileAnalyser* a) { return a != nullptr && dynamic_cast<CPendingAnalyser*>(a) == nullptr; };
    const std::uint8_t keys[][4] = {{'%', 'P', 'D', 'F'},     {0xC5, 0xD0, 0xD3, 0xC6}, {'{', '\\', 'r', 't'},
                                    {0xE4, 0x52, 0x5C, 0x7B}, {'J', 'M', 'F', '6'},     {0xCF, 0xAD, 0x12, 0xFE},
                                    {0xF7, 0x89, 0x34, 0x2C}, {'<', '?', 'x', 'm'},     {0xEF, 0xBB, 0xBF, 0x3C},
                                    {0xCD, 0x01, 0x00, 0x00}, {'|', 's', 'v', 'g'},     {'B', 'C', 'F', 'Z'}};
    for (int set : {0, 1}) {
        auto& map = registry->GetAnalyserMap(set);
        for (const auto& k : keys) {
            const auto it = map.find(byteorder::LE32(k));
            ASSERT_NE(it, map.end());
            EXPECT_TRUE(written(it->second)) << std::string(reinterpret_cast<const char*>(k), 4);
        }
        auto& multi = registry->GetAnalyserMultimap(set);
        for (const char* pair : {"%!", "<h", "<H", "<!"}) {
            const auto range = multi.equal_range(byteorder::LE16(pair));
            ASSERT_NE(range.first, range.second);
            for (auto it = range.first; it != range.second; ++it) EXPECT_TRUE(written(it->second)) << pair;
        }
        int htmlFFFE = 0;
        const auto ff = multi.equal_range(0xFEFF);
        for (auto it = ff.first; it != ff.second; ++it)
            htmlFFFE += written(it->second) && it->second->GetAnalyserType() == RAW_FILE_TYPE_HTM;
        EXPECT_EQ(htmlFFFE, 2);
        int keyless = 0;
        for (IRawFileAnalyser* a : registry->GetAnalyserList(set))
            if (a->GetAnalyserType() == RAW_FILE_TYPE_MOBI || a->GetAnalyserType() == RAW_FILE_TYPE_INDD)
                keyless += written(a);
        EXPECT_EQ(keyless, 2);
    }
}

}  // namespace
