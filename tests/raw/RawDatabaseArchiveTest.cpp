// Databases, layered images, header-sized documents, fonts, installers,
// disk images, archives, drawings and the small formats. Formats with no
// free writer are built byte by byte here ("Crafted" in the test name): the
// tests replay the formats' rules on them. Real samples made by Debian tools
// are checked by the manifest test.
#include <gtest/gtest.h>
#include <zlib.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "RawSearchSupport.h"
#include "foundation/ByteOrder.h"
#include "raw/RawAnalyserFactory.h"
#include "raw/analysers/ArchiveAnalysers.h"
#include "raw/analysers/HeaderSizedAnalysers.h"
#include "raw/analysers/LayeredImageAnalysers.h"
#include "raw/analysers/PackageAnalysers.h"
#include "raw/analysers/SmallFormatAnalysers.h"
#include "storage/SyntheticDevice.h"

using rawtest::Found;
using rawtest::RawSearch;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A first sector as the driver offers it: the sector and 4,096 spare bytes.
Bytes Sector(std::size_t used = 512) { return Bytes(std::max<std::size_t>(used, 512) + 4096, 0); }

void Put(Bytes& b, std::size_t at, const void* p, std::size_t n) {
    if (b.size() < at + n) b.resize(at + n, 0);
    std::memcpy(b.data() + at, p, n);
}
void Put(Bytes& b, std::size_t at, const char* text) { Put(b, at, text, std::strlen(text)); }

// The files the whole search finds on a device holding `file` at sector 4,
// zero padded, then random bytes behind a zero gap.
std::vector<Found> SearchOne(const Bytes& file, std::uint32_t ss) {
    // The nodes of the last search stay alive until the next one.
    static std::unique_ptr<RawSearch> raw;
    static std::unique_ptr<CSyntheticStorageDevice> dev;
    raw.reset();
    dev = std::make_unique<CSyntheticStorageDevice>(ss);
    dev->AddZeros(4 * ss).AddBytes(file);
    dev->AddZeros((ss - file.size() % ss) % ss + 64 * ss).AddRandom(8 * ss, 3).AddZeros(ss);
    raw = std::make_unique<RawSearch>(dev.get(), 8);
    raw->Run();
    return raw->Files();
}

const Found* At(const std::vector<Found>& files, std::int64_t start) {
    for (const Found& f : files)
        if (f.start == start) return &f;
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Header-sized formats
// ---------------------------------------------------------------------------

TEST(RawHeaderSized, CraftedHeadersReplayTheSizeRules) {
    struct Case {
        const char* what;
        IRawFileAnalyser* analyser;
        Bytes sector;
        std::uint32_t type;  // 0 = refused
        std::int64_t size;
    };
    FileLowDocAnalyser lowDoc;
    FileWPDAnalyser wpd;
    FileCHMAnalyser chm;
    FileHLPAnalyser hlp;
    FileMNYAnalyser mny;
    FilePSTAnalyser pst;
    FileITLAnalyser itl;
    FileCABAnalyser cab;
    std::vector<Case> cases;

    Bytes doc = Sector();
    Put(doc, 0, "\xDB\xA5\x2D\x00", 4);
    byteorder::PutLE32(&doc[0x124], 0xFFFFFFF0);  // summed in 64 bits
    byteorder::PutLE16(&doc[0x128], 0x300);
    cases.push_back({"word for dos", &lowDoc, doc, RAW_FILE_TYPE_DOC, (0xFFFFFFF0ll + 0x300 + 511) / 512 * 512});

    const struct {
        const char* at8;
        const char* at14;
        std::uint32_t type;
    } wp[] = {{"\x01\x0A\x02\x01", "\x00\x02\x05\x00", RAW_FILE_TYPE_WPD},
              {"\x01\x16\x02\x00", "\x00\x00\x03\x00", RAW_FILE_TYPE_WPG},
              {"\x0F\x0F\x01\x00", "\x00\x00\x03\x00", RAW_FILE_TYPE_SHW},
              {"\x0F\x0F\x01\x00", "\x00\x02\x05\x00", 0}};
    for (const auto& w : wp) {
        Bytes b = Sector();
        Put(b, 0, "\xFFWPC", 4);
        Put(b, 8, w.at8, 4);
        Put(b, 14, w.at14, 4);
        byteorder::PutLE32(&b[20], 77777);
        cases.push_back({"wordperfect", &wpd, b, w.type, 77777});
    }

    Bytes c = Sector();
    Put(c, 0, "ITSF");
    byteorder::PutLE32(&c[8], 0x60);
    Put(c, 24, "\x10\xFD\x01\x7C\xAA\x7B\xD0\x11\x9E\x0C\x00\xA0\xC9\x22\xE6\xEC", 16);
    Put(c, 40, "\x11\xFD\x01\x7C\xAA\x7B\xD0\x11\x9E\x0C\x00\xA0\xC9\x22\xE6\xEC", 16);
    byteorder::PutLE32(&c[0x60], 0x1FE);
    byteorder::PutLE64(&c[0x68], 123456);
    cases.push_back({"chm", &chm, c, RAW_FILE_TYPE_CHM, 123456});
    c[0x70] = 1;
    cases.push_back({"chm with a non-zero field at 0x70", &chm, c, 0, 0});

    for (std::uint32_t size : {400u, 4096u}) {
        Bytes h = Sector();
        Put(h, 0, "\x3F\x5F\x03\x00", 4);
        byteorder::PutLE32(&h[4], 100);
        byteorder::PutLE32(&h[12], size);
        cases.push_back({"winhelp", &hlp, h, size >= 512 ? RAW_FILE_TYPE_HLP : 0u, size});
    }

    Bytes m = Sector();
    Put(m, 0, "MS");
    Put(m, 4, "MSISAM Database");
    cases.push_back({"money", &mny, m, RAW_FILE_TYPE_MNY, 0x100000});

    const std::int64_t big = 5ll << 30;
    for (std::uint8_t kind : {0x17, 0x0E, 0x24}) {
        Bytes p = Sector();
        Put(p, 0, "!BDN");
        p[10] = kind;
        byteorder::PutLE64(&p[0xB8], static_cast<std::uint64_t>(big));
        byteorder::PutLE32(&p[0xA8], 300000);
        cases.push_back({"pst", &pst, p, RAW_FILE_TYPE_PST, kind == 0x17 ? big : kind == 0x0E ? 300000 : 0x100000});
    }

    Bytes i = Sector();
    Put(i, 0, "hdfm");
    byteorder::PutBE32(&i[8], 0x12345);
    cases.push_back({"itunes", &itl, i, RAW_FILE_TYPE_ITL, 0x12345});

    for (std::uint16_t version : {0x0103, 0x0104}) {
        Bytes k = Sector();
        Put(k, 0, "MSCF");
        byteorder::PutLE32(&k[8], 5000);
        byteorder::PutLE16(&k[24], version);
        cases.push_back({"cabinet", &cab, k, version == 0x0103 ? RAW_FILE_TYPE_CAB : 0u, 5000});
    }

    for (Case& t : cases) {
        CRawFileInfo r;
        const int hit = t.analyser->AnalyseBuffer(t.sector.data(), r);
        SCOPED_TRACE(t.what);
        if (t.type == 0) {
            EXPECT_EQ(hit, 0);
            continue;
        }
        EXPECT_EQ(hit, 1);
        EXPECT_EQ(r.m_type, t.type);
        EXPECT_EQ(r.m_size, t.size);
    }
}

TEST(RawHeaderSized, CraftedFontNeedsHalfItsTagsKnown) {
    FileTTFAnalyser ttf;
    for (int known : {4, 5}) {
        Bytes b = Sector();
        Put(b, 0, "\x00\x01\x00\x00", 4);
        byteorder::PutBE16(&b[4], 10);
        for (int k = 0; k < 10; ++k) {
            Put(b, 12 + 16 * k, k < known ? (k % 2 ? "glyf" : "cmap") : "zzzz");
            byteorder::PutBE32(&b[12 + 16 * k + 12], 101);  // rounded to 104
        }
        CRawFileInfo r;
        EXPECT_EQ(ttf.AnalyseBuffer(b.data(), r), known == 5 ? 1 : 0) << known;
        if (known == 5) {
            EXPECT_EQ(r.m_size, 12 + 16 * 10 + 10 * 104);
        }
    }
    // Lengths that sum far past any font are refused, not taken as 100s of GiB.
    Bytes b = Sector();
    Put(b, 0, "\x00\x01\x00\x00", 4);
    byteorder::PutBE16(&b[4], 30);
    for (int k = 0; k < 30; ++k) {
        Put(b, 12 + 16 * k, "glyf");
        byteorder::PutBE32(&b[12 + 16 * k + 12], 0xFFFFFFF0);
    }
    CRawFileInfo r;
    EXPECT_EQ(ttf.AnalyseBuffer(b.data(), r), 0);
}

TEST(RawHeaderSized, SystemDejaVuFontsAreSizedExactly) {
    const std::string dir = "/usr/share/fonts/truetype/dejavu/";
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    ASSERT_TRUE(d) << "fonts-dejavu-core is installed by tools/setup.sh";
    int fonts = 0;
    while (dirent* e = readdir(d.get())) {
        const std::string name = e->d_name;
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".ttf") != 0) continue;
        std::ifstream f(dir + name, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        bytes.resize(std::max<std::size_t>(bytes.size(), 512 + 4096), 0);
        const auto real =
            static_cast<std::int64_t>(std::ifstream(dir + name, std::ios::ate | std::ios::binary).tellg());
        FileTTFAnalyser ttf;
        CRawFileInfo r;
        ASSERT_EQ(ttf.AnalyseBuffer(bytes.data(), r), 1) << name;
        EXPECT_EQ(r.m_size, real) << name;
        ++fonts;
    }
    EXPECT_GE(fonts, 1);
}

// A Unicode PST of 5 GiB on a device that long: found whole, not cut to
// the low 32 bits of its end-of-file field.
TEST(RawHeaderSized, UnicodePstAboveFourGiBKeepsItsSize) {
    const std::int64_t size = (5ll << 30) + 4096;
    Bytes p(4096, 0);
    Put(p, 0, "!BDN");
    p[10] = 0x17;
    byteorder::PutLE64(&p[0xB8], static_cast<std::uint64_t>(size));
    CSyntheticStorageDevice dev(512);
    dev.AddZeros(512).AddBytes(p).AddZeros(static_cast<std::uint64_t>(size) + (1 << 20));
    RawSearch raw(&dev, 64);
    raw.search.PreparetoSearch();
    raw.search.AnalyzeBlock(0, 64);
    raw.search.EndSearch(1);
    const auto files = raw.Files();
    const Found* f = At(files, 1);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->size, size);
}

TEST(RawHeaderSized, MboxEndsAfterSignatureAndItsBlankLines) {
    std::string text = "From someone@example.com Thu Jan  1 00:00:00 2026\nSubject: hi\n\n";
    for (int i = 0; i < 30; ++i) text += "A line of the message body that goes on.\n";
    text += "--\n\n\n\n";
    Bytes file(text.begin(), text.end());
    for (std::uint32_t ss : {512u, 4096u}) {
        const auto files = SearchOne(file, ss);
        const Found* f = At(files, 4);
        ASSERT_NE(f, nullptr) << ss;
        EXPECT_EQ(f->size, static_cast<std::int64_t>(file.size())) << ss;
    }
}

// ---------------------------------------------------------------------------
// Archives
// ---------------------------------------------------------------------------

namespace {

Bytes CraftedRar(bool withEnder) {
    Bytes b;
    Put(b, 0, "Rar!\x1A\x07\x00", 7);
    // Main header: type 0x73, 13 bytes.
    const std::uint8_t mainHead[13] = {0x00, 0x00, 0x73, 0x00, 0x00, 13, 0};
    Put(b, 7, mainHead, 13);
    // File block: 32 bytes of header naming "a.txt", then 700 stored bytes.
    std::uint8_t file[32] = {0x00, 0x00, 0x74, 0x00, 0x80, 32, 0};
    byteorder::PutLE32(file + 7, 700);
    byteorder::PutLE32(file + 11, 700);
    file[15] = 3;  // Unix
    std::memcpy(file + 27, "a.txt", 5);
    Put(b, 20, file, 32);
    Bytes data(700, 0x5A);
    Put(b, 52, data.data(), data.size());
    if (withEnder) Put(b, b.size(), "\xC4\x3D\x7B\x00\x40\x07\x00", 7);
    return b;
}

Bytes CraftedLzh(int members) {
    // Level 0 "-lh0-" members: header length H at 0, the member holds 2 + H
    // + packed bytes; the archive closes with one zero byte.
    Bytes b;
    for (int m = 0; m < members; ++m) {
        const std::string name = "file" + std::to_string(m) + ".txt";
        Bytes h(22 + name.size(), 0);
        h[0] = static_cast<std::uint8_t>(h.size() - 2);
        std::memcpy(&h[2], "-lh0-", 5);
        byteorder::PutLE32(&h[7], 300 + 10 * m);
        byteorder::PutLE32(&h[11], 300 + 10 * m);
        h[20] = 0;  // level 0
        h[21] = static_cast<std::uint8_t>(name.size());
        std::memcpy(&h[22], name.data(), name.size());
        // The CRC-16 and the data follow the name.
        h.resize(h.size() + 2, 0);
        h[0] = static_cast<std::uint8_t>(h.size() - 2);
        Put(b, b.size(), h.data(), h.size());
        Bytes data(300 + 10 * m, static_cast<std::uint8_t>('a' + m));
        Put(b, b.size(), data.data(), data.size());
    }
    b.push_back(0);
    return b;
}

}  // namespace

TEST(RawArchives, CraftedRarIsWalkedToItsEndBlockByBothSizers) {
    for (bool ender : {true, false}) {
        const Bytes rar = CraftedRar(ender);
        const std::int64_t want = static_cast<std::int64_t>(rar.size());
        for (std::uint32_t ss : {512u, 4096u}) {
            const auto files = SearchOne(rar, ss);
            const Found* f = At(files, 4);
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(f->size, want) << ender << " " << ss;
        }
        CSyntheticStorageDevice dev(512);
        dev.AddBytes(rar).AddZeros(4096);
        FileRARAnalyser twin;
        CRawFileInfo r;
        ASSERT_EQ(twin.GetRawFileSize(r, &dev), 1);
        EXPECT_EQ(r.m_size, want) << ender;
    }
}

TEST(RawArchives, CraftedLzhLevelZeroMembersEndAtTheClosingByte) {
    const Bytes lzh = CraftedLzh(3);
    const auto files = SearchOne(lzh, 512);
    const Found* f = At(files, 4);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->size, static_cast<std::int64_t>(lzh.size()));
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(lzh).AddZeros(4096);
    FileLZHAnalyser twin;
    CRawFileInfo r;
    ASSERT_EQ(twin.GetRawFileSize(r, &dev), 1);
    EXPECT_EQ(r.m_size, static_cast<std::int64_t>((lzh.size() + 511) / 512 * 512));
    // A directory header of length 0 would never move the walk on: refused.
    Bytes stuck(2048, 0);
    for (std::size_t at = 0; at + 11 <= stuck.size(); at += 11) std::memcpy(&stuck[at + 2], "-lhd-", 5);
    CSyntheticStorageDevice d2(512);
    d2.AddBytes(stuck);
    CRawFileInfo r2;
    EXPECT_EQ(twin.GetRawFileSize(r2, &d2), 0);
    EXPECT_EQ(At(SearchOne(stuck, 512), 4), nullptr);
}

TEST(RawArchives, GzipTwinTakesTheStoredNameCutToTheNameLimit) {
    for (std::size_t nameLength : {std::size_t(9), std::size_t(400)}) {
        Bytes gz = {0x1F, 0x8B, 8, 4 | 8, 0, 0, 0, 0, 2, 3};
        Bytes extra = {6, 0, 'A', 'B', 2, 0, 1, 2};
        Put(gz, gz.size(), extra.data(), extra.size());
        const std::string name = nameLength == 9 ? "notes.txt" : std::string(nameLength, 'n');
        Put(gz, gz.size(), name.c_str(), name.size() + 1);
        Bytes body(3000, 0x77);
        Put(gz, gz.size(), body.data(), body.size());
        CSyntheticStorageDevice dev(512);
        dev.AddBytes(gz).AddZeros(8192);
        FileGZAnalyser twin;
        CRawFileInfo r;
        ASSERT_EQ(twin.GetRawFileSize(r, &dev), 1);
        EXPECT_EQ(r.GetRawFileName(), name.substr(0, FileGZAnalyser::kNameMax));
        EXPECT_EQ(r.m_size, static_cast<std::int64_t>((gz.size() + 511) / 512 * 512));
    }
}

TEST(RawArchives, TarTwinWalksPastAFolderOnEitherSectorSize) {
    // Folder (size 0), a 1,000-byte member, then the two zero blocks.
    Bytes tar(512 * 2 + 1024 + 1024, 0);
    auto header = [&](std::size_t at, const char* name, const char* size, char kind) {
        Put(tar, at, name);
        Put(tar, at + 124, size);
        tar[at + 156] = static_cast<std::uint8_t>(kind);
        Put(tar, at + 257,
            "ustar\0"
            "00",
            8);
    };
    header(0, "dir/", "00000000000", '5');
    header(512, "dir/a", "00000001750", '0');  // 1,000 bytes
    std::memset(&tar[1024], 'x', 1000);
    for (std::uint32_t ss : {512u, 4096u}) {
        CSyntheticStorageDevice dev(ss);
        dev.AddBytes(tar).AddZeros(4 * ss);
        FileTARAnalyser twin;
        CRawFileInfo r;
        ASSERT_EQ(twin.GetRawFileSize(r, &dev), 1);
        EXPECT_EQ(r.m_size, static_cast<std::int64_t>(tar.size())) << ss;
    }
}

TEST(RawArchives, CraftedStuffItClassicAndSitx) {
    Bytes sit(6000, 0x11);
    Put(sit, 0, "StuffIt (c)1997");
    byteorder::PutBE32(&sit[84], 6000);
    const auto files = SearchOne(sit, 512);
    const Found* f = At(files, 4);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->size, 6000);

    Bytes sitx(30000, 0x22);
    Put(sitx, 0, "StuffIt!");
    Put(sitx, sitx.size() - 8, "\x02\xD7\x0A\x19\x98\xF6\x42\x88", 8);
    const auto xfiles = SearchOne(sitx, 512);
    const Found* x = At(xfiles, 4);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->size, 30000);
    EXPECT_NE(x->name.find(".SITX"), std::string::npos) << x->name;
}

TEST(RawArchives, CraftedCptChainIsBoundedAndSized) {
    Bytes cpt(0x2000, 0);
    Put(cpt, 0, "CPT9FILE");
    byteorder::PutLE32(&cpt[52], 316);
    byteorder::PutLE32(&cpt[40], 2);              // two table entries at 316
    byteorder::PutLE32(&cpt[316 + 8], 0x400);     // the last one: P = 0x400
    byteorder::PutLE32(&cpt[0x400 + 32], 0);      // B = 0
    byteorder::PutLE32(&cpt[0x400 + 60], 0x800);  // X
    byteorder::PutLE32(&cpt[0x400 + 64], 1);      // Y
    byteorder::PutLE32(&cpt[0x800 - 8], 0x1000);
    byteorder::PutLE32(&cpt[0x800 - 4], 0x0F00);
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(cpt);
    FileCPTAnalyser cptAnalyser;
    CRawFileInfo r;
    ASSERT_EQ(cptAnalyser.GetRawFileSize(r, &dev), 1);
    EXPECT_EQ(r.m_size, 0x1F00);
    // Hostile offsets: no read outside the device, no size past the bound.
    for (std::uint32_t bad : {0xFFFFFFFFu, 0x7FFFFFF0u}) {
        Bytes hostile = cpt;
        byteorder::PutLE32(&hostile[0x400 + 60], bad);
        CSyntheticStorageDevice d2(512);
        d2.AddBytes(hostile);
        CRawFileInfo r2;
        EXPECT_EQ(cptAnalyser.GetRawFileSize(r2, &d2), 1);
        EXPECT_EQ(r2.m_size, 0x400);
        byteorder::PutLE32(&hostile[40], bad);
        CSyntheticStorageDevice d3(512);
        d3.AddBytes(hostile);
        CRawFileInfo r3;
        EXPECT_EQ(cptAnalyser.GetRawFileSize(r3, &d3), 0);
    }
}

// ---------------------------------------------------------------------------
// Packages and disk images
// ---------------------------------------------------------------------------

namespace {

Bytes Xar(const std::string& toc, std::size_t heapBytes) {
    uLongf packedLength = compressBound(toc.size());
    Bytes packed(packedLength);
    compress(packed.data(), &packedLength, reinterpret_cast<const Bytef*>(toc.data()), toc.size());
    packed.resize(packedLength);
    Bytes b(28, 0);
    Put(b, 0, "xar!");
    byteorder::PutBE16(&b[4], 28);
    byteorder::PutBE16(&b[6], 1);
    byteorder::PutBE64(&b[8], packed.size());
    byteorder::PutBE64(&b[16], toc.size());
    Put(b, 28, packed.data(), packed.size());
    b.resize(b.size() + heapBytes, 0x33);
    return b;
}

}  // namespace

TEST(RawPackages, XarDataEndIsTheFurthestDataInSixtyFourBits) {
    const std::string toc =
        "<?xml version=\"1.0\"?><xar><toc><checksum style=\"sha1\"><offset>0</offset><size>20</size></checksum>"
        "<file id=\"1\"><name>big</name><data><length>3221225472</length><offset>20</offset></data></file>"
        "<file id=\"2\"><name>dir</name><type>directory</type>"
        "<file id=\"3\"><name>small</name><data><length>10</length><offset>3221225492</offset></data></file>"
        "</file><file id=\"4\"><name>last</name><type>directory</type></file></toc></xar>";
    const Bytes x = Xar(toc, 512);
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(x).AddZeros(4096);
    FilePKGAnalyser pkg;
    CRawFileInfo r;
    ASSERT_EQ(pkg.GetRawFileSize(r, &dev), 1);
    const std::int64_t packed = static_cast<std::int64_t>(byteorder::BE64(&x[8]));
    EXPECT_EQ(r.m_size, 28 + packed + 3221225502ll);
}

TEST(RawPackages, DeeplyNestedTableOfContentsIsRefusedWithoutACrash) {
    std::string toc = "<xar><toc>";
    for (int i = 0; i < 100000; ++i) toc += "<file id=\"1\">";
    for (int i = 0; i < 100000; ++i) toc += "</file>";
    toc += "</toc></xar>";
    ASSERT_LE(toc.size(), FilePKGAnalyser::kMaxToc);
    const Bytes x = Xar(toc, 0);
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(x).AddZeros(4096);
    FilePKGAnalyser pkg;
    CRawFileInfo r;
    EXPECT_EQ(pkg.GetRawFileSize(r, &dev), 0);
    EXPECT_EQ(FilePKGAnalyser::XmlDepth("<a><b/><c><d></d></c></a>", 256), 3);
}

// The one-pass reading of a table of contents gives the tree's answer on
// every text it takes, and hands back the texts it cannot be sure of.
TEST(RawPackages, TableOfContentsScanAgreesWithTheTree) {
    const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const std::string file = "<file id=\"1\"><name>a</name><data><length>10</length><offset>20</offset></data></file>";
    const struct {
        std::string xml;
        bool scanned;
    } cases[] = {
        {decl + "<xar>\n <toc>\n  " + file + "\n </toc>\n</xar>\n", true},
        {"<xar><toc>" + file + "<file><data><offset> 7\n</offset><length>\t5 9</length></data></file></toc></xar>",
         true},
        // Only the first "offset" and "length" count; one whose first child is an element has no number.
        {"<xar><toc><file><data><offset>1</offset><offset>900</offset><length>1</length></data>"
         "<data><offset><b/>800</offset><length>1</length></data></file></toc></xar>",
         true},
        // Data outside a chain of "file" elements, or in a later table, is not the heap's.
        {"<xar><toc><data><offset>500</offset><length>1</length></data>" + file + "</toc><toc>" +
             "<file><data><offset>900</offset><length>1</length></data></file></toc></xar>",
         true},
        {"<xar><first/><toc>" + file + "</toc></xar>", true},
        {"<xar>text<toc><file/><file><x><file><data><offset>99</offset><length>1</length></data></file></x>"
         "<data><offset>3</offset><length>4</length></data></file></toc></xar>",
         true},
        {"<xar><toc><name>x</name></toc></xar>", true},
        {"<xar/>", true},
        {"<xar><toc " + std::string("a='1' b = \"2\"") + ">" + file + "</toc></xar>", true},
        {"<xar><toc>" + file + "</toc ></xar>", false},
        {"<xar><toc a=\"1\" a=\"2\">" + file + "</toc></xar>", false},
        {"<xar><toc>" + file + "</toc></xar>trailing", false},
        {"<xar><toc>" + file + "</tok></xar>", false},
        {"<xar><toc><!-- c -->" + file + "</toc></xar>", false},
        {"<xar><toc><file><data><offset>1&#48;</offset><length>1</length></data></file></toc></xar>", false},
        {"<xar><toc><file><data><offset><![CDATA[5]]></offset><length>1</length></data></file></toc></xar>", false},
        {"<xar><toc>" + file + "</toc>", false},
        {"<xar><toc>" + file + "</toc></xar>" + std::string("\0<junk", 6), true},
        {"<?XML version=\"1.0\"?><xar><toc>" + file + "</toc></xar>", false},
        {"\xEF\xBB\xBF<xar><toc>" + file + "</toc></xar>", false},
        {"", false},
    };
    for (const auto& c : cases) {
        std::int64_t end = -5;
        EXPECT_EQ(FilePKGAnalyser::HeapEndFromTocScan(c.xml, end), c.scanned) << c.xml;
        const std::int64_t tree = FilePKGAnalyser::HeapEndFromTocTree(c.xml);
        if (c.scanned) EXPECT_EQ(end, tree) << c.xml;
        EXPECT_EQ(FilePKGAnalyser::HeapEndFromToc(c.xml), tree) << c.xml;
    }
}

TEST(RawPackages, CraftedPkg7FHeaderGivesItsTotalSize) {
    Bytes p(512, 0);
    Put(p, 0, "\x7FPKG\x80\x00\x00\x01", 8);
    byteorder::PutBE64(&p[24], 1 << 20);
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(p);
    FilePKGAnalyser pkg;
    CRawFileInfo r;
    ASSERT_EQ(pkg.GetRawFileSize(r, &dev), 1);
    EXPECT_EQ(r.m_size, 1 << 20);
}

// ---------------------------------------------------------------------------
// Databases and layered images
// ---------------------------------------------------------------------------

namespace {

Bytes CraftedMdb(bool ace, int pages, bool pageAt4096, int emptyPages = 0) {
    Bytes b(static_cast<std::size_t>(pages) * 4096, 0xAB);
    std::memset(b.data(), 0, 4096);
    Put(b, 0, ace ? "\x00\x01\x00\x00Standard ACE DB" : "\x00\x01\x00\x00Standard Jet DB", 19);
    for (int p = 1; p < pages; ++p) {
        b[p * 4096] = static_cast<std::uint8_t>(1 + p % 5);
        b[p * 4096 + 1] = 1;
    }
    if (!pageAt4096) b[4096] = 0x77;
    b.resize(b.size() + static_cast<std::size_t>(emptyPages) * 4096, 0);
    // Past the empty run, data that is no database page.
    b.resize(b.size() + 4096, 0x77);
    return b;
}

}  // namespace

TEST(RawDatabases, CraftedAccessPagesEndAtTheFirstOfTheEmptyRun) {
    for (bool ace : {false, true}) {
        const Bytes mdb = CraftedMdb(ace, 6, true, 40);
        const auto files = SearchOne(mdb, 512);
        const Found* f = At(files, 4);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->size, 6 * 4096);
        EXPECT_NE(f->name.find(ace ? ".ACCDB" : ".MDB"), std::string::npos) << f->name;
    }
    // Not a page at 4,096: only the zero padding ends it.
    Bytes odd = CraftedMdb(false, 3, false);
    odd.resize(3 * 4096);
    const auto files = SearchOne(odd, 512);
    const Found* f = At(files, 4);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->size, 3 * 4096);
}

TEST(RawLayeredImages, CraftedRawPhotoshopOfTheExampleIs30040Bytes) {
    Bytes psd(26 + 4 + 4 + 4 + 2, 0);
    Put(psd, 0, "8BPS");
    byteorder::PutBE16(&psd[4], 1);
    byteorder::PutBE16(&psd[12], 3);
    byteorder::PutBE32(&psd[14], 100);
    byteorder::PutBE32(&psd[18], 100);
    byteorder::PutBE16(&psd[22], 8);
    byteorder::PutBE16(&psd[24], 3);
    psd.resize(30040, 0x40);
    const auto files = SearchOne(psd, 512);
    const Found* f = At(files, 4);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->size, 30040);
    // 10,000 x 10,000 x 4 channels x 16 bits: the product passes 2^32.
    byteorder::PutBE16(&psd[12], 4);
    byteorder::PutBE32(&psd[14], 10000);
    byteorder::PutBE32(&psd[18], 10000);
    byteorder::PutBE16(&psd[22], 16);
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(psd);
    FilePSDAnalyser twin;
    CRawFileInfo r;
    ASSERT_EQ(twin.GetRawFileSize(r, &dev), 1);
    EXPECT_EQ(r.m_size, 40 + 10000ll * 10000 * 4 * 2);
}

TEST(RawLayeredImages, CraftedPaintShopBlocksEndTheFile) {
    for (std::int64_t end : {6000, 300}) {
        Bytes psp(static_cast<std::size_t>(end), 0x61);
        Put(psp, 0, "Paint Shop Pro Image File\n\x1A\0\0\0\0\0", 32);
        std::memset(&psp[32], 0, 4);
        // Blocks from 36: a 10-byte header (7E 42 4B 00, id, u32 length) each.
        std::int64_t at = 36;
        while (at + 10 < end) {
            const std::int64_t length = std::min<std::int64_t>(1000, end - at - 10);
            Put(psp, static_cast<std::size_t>(at), "\x7E\x42\x4B\x00\x01\x00", 6);
            byteorder::PutLE32(&psp[static_cast<std::size_t>(at + 6)], static_cast<std::uint32_t>(length));
            at += 10 + length;
        }
        psp.resize(static_cast<std::size_t>(at));
        CSyntheticStorageDevice dev(512);
        dev.AddBytes(psp).AddZeros(8192);
        FilePSPAnalyser twin;
        CRawFileInfo r;
        EXPECT_EQ(twin.GetRawFileSize(r, &dev), at < 512 ? 0 : 1);
        if (at >= 512) {
            EXPECT_EQ(r.m_size, at);
            const auto files = SearchOne(psp, 512);
            const Found* f = At(files, 4);
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(f->size, at);
        }
    }
}

// ---------------------------------------------------------------------------
// Drawings and small formats
// ---------------------------------------------------------------------------

TEST(RawSmallFormats, CraftedZeroTailedAndChainedFormatsAreSized) {
    struct Case {
        const char* what;
        Bytes bytes;
        std::int64_t size;
        const char* ext;
    };
    std::vector<Case> cases;
    auto filled = [](std::size_t n, const char* head, std::size_t headLength) {
        Bytes b(n, 0x5C);
        Put(b, 0, head, headLength);
        return b;
    };
    // Password Safe: the first sector may end in zeros (b = 0 is below the minimum).
    Bytes ps = filled(1500, "PWS3", 4);
    std::memset(&ps[480], 0, 32);
    cases.push_back({"psafe3", ps, 1500, ".PSAFE3"});
    cases.push_back({"psafe3 at 3", filled(900, "abcpws3", 7), 900, ".PSAFE3"});
    cases.push_back({"sibelius", filled(2000, "\x0FSIBELIUS", 9), 2000, ".SIB"});
    cases.push_back({"java keystore", filled(1300, "\xFE\xED\xFE\xED", 4), 1300, ".JKS"});
    cases.push_back({"wordperfect graphic", filled(1100, "wpg\0", 4), 1100, ".WPG"});
    // NGRR: "atad" chunks from 60, each 24 bytes and the u32 at +16.
    Bytes ng = filled(60, "-in-", 4);
    for (int i = 0; i < 3; ++i) {
        Bytes chunk(24 + 400, 0x41);
        Put(chunk, 0, "atad");
        byteorder::PutLE32(&chunk[16], 400);
        Put(ng, ng.size(), chunk.data(), chunk.size());
    }
    cases.push_back({"ngrr", ng, static_cast<std::int64_t>(ng.size()), ".NGRR"});
    // After Effects: RIFX of 3,000 bytes, then no XMP packet.
    Bytes aep = filled(3008, "RIFX", 4);
    byteorder::PutBE32(&aep[4], 3000);
    Put(aep, 8, "Egg!");
    cases.push_back({"after effects", aep, 3008, ".AEP"});
    // FreeHand 11: 4-byte aligned records, ended at the zero padding.
    Bytes fh = filled(2400, "\x1C\x01\x00\x00\x02\x00\x04\x1C\x01\x14\x00\x02\x00\x14\x1C\x01", 16);
    Put(fh, 34, "11");
    cases.push_back({"freehand 11", fh, 2400, ".FH11"});
    for (const Case& c : cases) {
        const auto files = SearchOne(c.bytes, 512);
        const Found* f = At(files, 4);
        ASSERT_NE(f, nullptr) << c.what << " " << files.size();
        EXPECT_EQ(f->size, c.size) << c.what;
        EXPECT_NE(f->name.find(c.ext), std::string::npos) << c.what << ": " << f->name;
    }
    // A graphic's name has a full stop after the sector range.
    const auto files = SearchOne(cases[4].bytes, 512);
    ASSERT_NE(At(files, 4), nullptr);
    EXPECT_EQ(At(files, 4)->name.rfind("4-6.", 0), 0u) << At(files, 4)->name;
}

namespace {

Bytes DwgAc1018(bool goodChecks) {
    Bytes d(0x80 + 108, 0);
    Put(d, 0, "AC1018");
    std::uint8_t h[108] = {};
    std::memcpy(h, "AcFssFcAJMB", 11);
    byteorder::PutLE32(h + 0x10, 0x6C);
    byteorder::PutLE32(h + 0x14, goodChecks ? 4 : 5);
    byteorder::PutLE64(h + 0x34, 9000);
    byteorder::PutLE32(h + 0x44, 0x20);
    byteorder::PutLE32(h + 0x48, 0x80);
    byteorder::PutLE32(h + 0x4C, 0x40);
    std::uint32_t x = 1;
    for (int i = 0; i < 108; ++i) {
        x = x * 214013u + 2531011u;
        d[0x80 + i] = h[i] ^ static_cast<std::uint8_t>(x >> 16);
    }
    d.resize(9108, 0x44);
    return d;
}

}  // namespace

TEST(RawDrawings, CraftedDwgHeadersAreSizedByVersion) {
    // R2000: three section locators.
    Bytes r2000(6000, 0x10);
    Put(r2000, 0, "AC1015");
    byteorder::PutLE32(&r2000[21], 3);
    const std::uint32_t loc[3][2] = {{0x100, 0x200}, {0x300, 0x1000}, {0x1300, 0x10}};
    for (int i = 0; i < 3; ++i) {
        r2000[25 + 9 * i] = static_cast<std::uint8_t>(i);
        byteorder::PutLE32(&r2000[25 + 9 * i + 1], loc[i][0]);
        byteorder::PutLE32(&r2000[25 + 9 * i + 5], loc[i][1]);
    }
    r2000.resize(0x1310);
    // 2007: the 984 bytes after 0x80 de-interleave into a header whose
    // compressed length is 0, so the file header follows uncompressed.
    Bytes r2007(0x80 + 984, 0);
    Put(r2007, 0, "AC1021");
    std::uint8_t plain[717] = {};
    byteorder::PutLE64(plain + 32 + 8, 7000);
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 239; ++i) r2007[0x80 + 3 * i + k] = plain[239 * k + i];
    r2007.resize(7000, 0x21);
    std::memset(&r2007[0x80 + 717], 0x21, 984 - 717);
    struct Case {
        const char* what;
        Bytes bytes;
        std::int64_t size;  // 0: no file
    } cases[] = {{"R2000 locators", r2000, 0x1310},
                 {"2004 header", DwgAc1018(true), 9108},
                 {"2004 header with one failed check", DwgAc1018(false), 0},
                 {"2007 uncompressed header", r2007, 7000}};
    for (const Case& c : cases) {
        const auto files = SearchOne(c.bytes, 512);
        const Found* f = At(files, 4);
        if (c.size == 0) {
            EXPECT_EQ(f, nullptr) << c.what;
            continue;
        }
        ASSERT_NE(f, nullptr) << c.what;
        EXPECT_EQ(f->size, c.size) << c.what;
    }
}

namespace {

// A 2007 file header of 272 bytes holding `fileSize`, compressed by hand
// with the format's rules: a 16-byte literal run (stored as its two 8-byte
// halves swapped), an 8-byte back-copy of bytes 8..15, then four 50-byte and
// one 48-byte runs of zeros copied from one byte back.
Bytes CompressedAc1021Header(std::uint64_t fileSize) {
    std::uint8_t h[8] = {};
    byteorder::PutLE64(h, fileSize);
    Bytes c = {0x08};                                                   // literal of 16
    c.insert(c.end(), h, h + 8);                                        // header bytes 8..15
    c.insert(c.end(), {0x70, 0, 0, 0, 0, 0, 0, 0});                     // header bytes 0..7
    c.insert(c.end(), {0x87, 0x00});                                    // copy 8 from 8 back
    for (int i = 0; i < 4; ++i) c.insert(c.end(), {0xFF, 0x00, 0x80});  // 50 zeros
    c.insert(c.end(), {0xFD, 0x00, 0x80});                              // 48 zeros
    return c;
}

Bytes Ac1021File(const Bytes& compressed, std::int32_t storedLength, std::size_t total) {
    std::uint8_t data[717] = {};
    byteorder::PutLE32(data + 24, static_cast<std::uint32_t>(storedLength));
    std::memcpy(data + 32, compressed.data(), std::min<std::size_t>(compressed.size(), 717 - 32));
    Bytes d(0x80 + 984, 0x21);
    Put(d, 0, "AC1021");
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 239; ++i) d[0x80 + 3 * i + k] = data[239 * k + i];
    d.resize(total, 0x21);
    return d;
}

}  // namespace

TEST(RawDrawings, CraftedDwg2007CompressedHeaderIsDecompressed) {
    const Bytes c = CompressedAc1021Header(9000);
    std::uint8_t out[272];
    ASSERT_TRUE(BruteForce::CDWGRawInfo::DecompressAC1021(c.data(), c.size(), out, sizeof out));
    EXPECT_EQ(byteorder::LE64(out), 0x70u);
    EXPECT_EQ(byteorder::LE64(out + 8), 9000u);
    EXPECT_EQ(byteorder::LE64(out + 16), 9000u);
    for (std::size_t i = 24; i < sizeof out; ++i) ASSERT_EQ(out[i], 0) << i;

    // A back-copy whose last byte announces two more literal bytes, which
    // are stored reversed.
    const Bytes tail = {0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x15, 7, 0x02, 0xB0, 0xA0};
    std::uint8_t t[18];
    ASSERT_TRUE(BruteForce::CDWGRawInfo::DecompressAC1021(tail.data(), tail.size(), t, sizeof t));
    const std::uint8_t want[18] = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0xA0, 0xB0};
    EXPECT_EQ(std::memcmp(t, want, sizeof t), 0);

    // Every literal run of 8 to 63 bytes places each of its bytes exactly
    // once: a run of the bytes 1..n decodes to a permutation of them.
    for (std::uint8_t n = 8; n < 64; ++n) {
        Bytes lit = n < 23 ? Bytes{static_cast<std::uint8_t>(n - 8)} : Bytes{0x0F, static_cast<std::uint8_t>(n - 23)};
        for (std::uint8_t i = 1; i <= n; ++i) lit.push_back(i);
        std::uint8_t o[64] = {};
        ASSERT_TRUE(BruteForce::CDWGRawInfo::DecompressAC1021(lit.data(), lit.size(), o, n)) << int(n);
        std::sort(o, o + n);
        for (std::uint8_t i = 0; i < n; ++i) ASSERT_EQ(o[i], i + 1) << int(n);
    }

    for (const int sector : {512, 4096}) {
        const auto files = SearchOne(Ac1021File(c, static_cast<std::int32_t>(c.size()), 9000), sector);
        const Found* f = At(files, 4);
        ASSERT_NE(f, nullptr) << sector;
        EXPECT_EQ(f->size, 9000) << sector;
    }
}

TEST(RawDrawings, CraftedHostileDwg2007CompressedHeadersGiveNoSize) {
    const Bytes good = CompressedAc1021Header(9000);
    auto with = [&](std::size_t at, std::initializer_list<std::uint8_t> bytes) {
        Bytes b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        return b;
    };
    struct Case {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"truncated inside the first literal", Bytes(good.begin(), good.begin() + 10)},
        {"back-copy before the first byte", with(17, {0x8F, 0xF8})},
        {"copy past the 272-byte header", with(19, {0x2F, 0x01, 0x00, 0xFF, 0xF8})},
        {"extended literal length reaching past the input", Bytes{0x0F, 0xFF, 0xFF, 0xFF, 0x00, 0x01}},
        {"endless 0xFFFF literal extensions", Bytes{0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"too few bytes for the header", Bytes(good.begin(), good.end() - 3)},
        {"empty", Bytes{}},
    };
    for (const Case& c : cases) {
        std::uint8_t out[272];
        EXPECT_FALSE(BruteForce::CDWGRawInfo::DecompressAC1021(c.bytes.data(), c.bytes.size(), out, sizeof out))
            << c.what;
    }
    // A stored compressed length beyond the decoded block, and a stream that
    // fails, end the record without a size; the scan goes on.
    for (const Bytes& file : {Ac1021File(good, 0x7FFFFFFF, 9000), Ac1021File(cases[1].bytes, 19, 9000)}) {
        const auto files = SearchOne(file, 512);
        EXPECT_EQ(At(files, 4), nullptr);
    }
}

TEST(RawDrawings, ThreeDStudioMainChunkLengthIsThirtyTwoBits) {
    // A 3D Studio file of 70,000 bytes: its length does not fit 16 bits.
    Bytes m(70000, 0x07);
    Put(m, 0, "MM");
    byteorder::PutLE32(&m[2], 70000);
    Put(m, 6, "\x02\x00\x0A\x00\x00\x00\x03\x00\x00\x00", 10);
    Put(m, 16, "==");
    const auto files = SearchOne(m, 512);
    const Found* f = At(files, 4);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->size, 70000);
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(m).AddZeros(4096);
    File3DSAnalyser twin;
    CRawFileInfo r;
    ASSERT_EQ(twin.GetRawFileSize(r, &dev), 1);
    EXPECT_EQ(r.m_size, 70000);
}

TEST(RawDrawings, HostileSqlitePagesStayInsideThePage) {
    Bytes page(1024, 0);
    page[0] = 13;
    byteorder::PutBE16(&page[3], 30);
    for (int i = 0; i < 30; ++i) byteorder::PutBE16(&page[8 + 2 * i], static_cast<std::uint16_t>(1020 + i % 4));
    EXPECT_FALSE(BruteForce::CFCPEvtFileInfo::AnalyseABCDDBFileType(page.data(), 1024));
    byteorder::PutBE16(&page[3], 0xFFFF);
    EXPECT_FALSE(BruteForce::CFCPEvtFileInfo::AnalyseABCDDBFileType(page.data(), 1024));
}

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------

// Which key-table classes still hold a placeholder: none of this family's,
// and the list of the others is printed for the record.
TEST(RawRegistryPlaceholders, NoneLeftForDatabasesArchivesAndDrawings) {
    auto& registry = *CRawFileAnalyserListSingle::CreateInstance();
    registry.ReinitAnalyzeList(nullptr);
    std::set<std::string> pending;
    auto note = [&](IRawFileAnalyser* a) {
        if (auto* p = dynamic_cast<CPendingAnalyser*>(a)) pending.insert(p->ClassName());
    };
    for (auto& [k, a] : registry.GetAnalyserMap(0)) note(a);
    for (auto& [k, a] : registry.GetAnalyserMultimap(0)) note(a);
    for (auto* a : registry.GetAnalyserList(0)) note(a);
    const char* ours[] = {"RawSpeed::CMDBAnalyser",
                          "RawSpeed::PSDAnalyser",
                          "RawSpeed::PSPAnalyser",
                          "FileLowDocAnalyser",
                          "FileWPDAnalyser",
                          "FileCHMAnalyser",
                          "FileHLPAnalyser",
                          "FileMNYAnalyser",
                          "FilePSTAnalyser",
                          "FileITLAnalyser",
                          "FileTTFAnalyser",
                          "FileMboxAnalyser",
                          "FilePKGAnalyser",
                          "Tessel::DMGAnalyser",
                          "RawSpeed::RARAnalyser",
                          "RawSpeed::GZAnalyzer",
                          "Tessel::LZHAnalyser",
                          "RawSpeed::TARAnalyser",
                          "RawSpeed::SITAnalyser",
                          "FileCABAnalyser",
                          "FileCPTAnalyser",
                          "BruteForce::CDWGAnalyser",
                          "BruteForce::CDXFAnalyser",
                          "RawSpeed::WpgAnalyser",
                          "RawSpeed::New3DSAnalyser",
                          "RawSpeed::SIBAnalyser",
                          "RawSpeed::JKSAnalyser",
                          "RawSpeed::PSAFE3Analyser",
                          "RawSpeed::NGRRAnalyser",
                          "RawSpeed::AEPAnalyser",
                          "BruteForce::CFCPEvtAnalyser",
                          "BruteForce::CFH11Analyser"};
    for (const char* name : ours) EXPECT_EQ(pending.count(name), 0u) << name;
    std::string left;
    for (const std::string& p : pending) left += " " + p;
    std::printf("placeholders left in the registry: %zu%s\n", pending.size(), left.c_str());
}
