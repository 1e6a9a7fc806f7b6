// The film and container analysers over crafted bytes: recognition tables,
// the QuickTime device walk for evicted, unfinished and huge films, camera
// tags, the record-owned Ogg and transport-stream flags, Matroska, MXF and
// RIFF length forms, and the ends of ASF, FLV and MPEG streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "RawSearchSupport.h"
#include "foundation/ByteOrder.h"
#include "raw/analysers/ContainerAnalysers.h"
#include "raw/analysers/MovAnalysers.h"
#include "raw/analysers/StreamAnalysers.h"
#include "storage/SyntheticDevice.h"

using rawtest::Found;
using rawtest::RawSearch;

namespace {

using Bytes = std::vector<std::uint8_t>;

void Append(Bytes& out, const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    out.insert(out.end(), b, b + n);
}

void Box(Bytes& out, const char* type, const Bytes& payload) {
    std::uint8_t h[8];
    byteorder::PutBE32(h, static_cast<std::uint32_t>(payload.size() + 8));
    std::memcpy(h + 4, type, 4);
    Append(out, h, 8);
    out.insert(out.end(), payload.begin(), payload.end());
}

Bytes Ftyp(const char* major, std::size_t size = 24) {
    Bytes p(size - 8, 0);
    std::memcpy(p.data(), major, 4);
    if (size >= 24) std::memcpy(p.data() + 8, "isom", 4);
    Bytes out;
    Box(out, "ftyp", p);
    return out;
}

// ftyp, mdat of `mdatBytes`, moov holding `moov`.
Bytes Film(const char* major, std::size_t mdatBytes, const Bytes& moov = Bytes(120, 0x11)) {
    Bytes out = Ftyp(major);
    Box(out, "mdat", Bytes(mdatBytes, 0x77));
    Box(out, "moov", moov);
    return out;
}

Bytes Sector(const Bytes& head, std::size_t size = 512) {
    Bytes s = head;
    s.resize(std::max(size, head.size()), 0);
    return s;
}

const Found* At(const std::vector<Found>& files, std::int64_t start) {
    for (const Found& f : files)
        if (f.start == start) return &f;
    return nullptr;
}

}  // namespace

TEST(RawVideo, FtypRecognitionByAnalyserAndBrand) {
    struct Case {
        const char* what;
        Bytes sector;
        std::uint32_t mov, mp4, gp3;  // type each analyser gives, 0 = refused
    };
    Bytes big = Ftyp("isom", 84);
    Bytes upper = Ftyp("ISOM");
    Bytes trec = Ftyp("mp42");
    trec.resize(32, 0);
    std::memcpy(trec.data() + 28, "free", 4);
    Bytes qt = Ftyp("qt  ");
    Bytes m4a = Ftyp("M4A ");
    Bytes g3 = Ftyp("3gp4");
    Bytes g2 = Ftyp("3g2a");
    const Case cases[] = {
        {"84-byte isom box", big, 0, RAW_FILE_TYPE_MP4, 0},
        {"upper-case ISOM", upper, 0, RAW_FILE_TYPE_MP4, 0},
        {"mp42 with free at 28", trec, RAW_FILE_TYPE_TREC, RAW_FILE_TYPE_TREC, 0},
        {"QuickTime", qt, RAW_FILE_TYPE_MOV, 0, 0},
        {"M4A", m4a, RAW_FILE_TYPE_M4A, RAW_FILE_TYPE_M4A, 0},
        {"3gp4", g3, RAW_FILE_TYPE_3GP, 0, RAW_FILE_TYPE_3GP},
        {"3g2a", g2, RAW_FILE_TYPE_3GP, 0, RAW_FILE_TYPE_3GP},
    };
    BruteForce::MovAnalyzer mov;
    BruteForce::Mp4Analyzer mp4;
    BruteForce::C3GPAnalyser gp3;
    for (const Case& c : cases) {
        Bytes s = Sector(c.sector);
        IRawFileAnalyser* analysers[] = {&mov, &mp4, &gp3};
        const std::uint32_t want[] = {c.mov, c.mp4, c.gp3};
        for (int i = 0; i < 3; ++i) {
            CRawFileInfo r;
            const int hit = analysers[i]->AnalyseBuffer(s.data(), r);
            EXPECT_EQ(hit ? r.m_type : 0u, want[i]) << c.what << " analyser " << i;
        }
    }
}

// A film evicted from the open set by 32 newer streaming records, and one
// still open when the search ends, are sized exactly by the device walk.
TEST(RawVideo, EvictedAndUnfinishedFilmsAreSizedByTheDeviceWalk) {
    for (const char* major : {"qt  ", "isom", "3gp4"}) {
        const Bytes film = Film(major, 40 * 512);
        CSyntheticStorageDevice dev(512);
        dev.AddZeros(512);
        const std::int64_t first = 1;
        // The film's mdat holds, at sector starts, 33 film heads whose own
        // mdat waits far ahead: each opens a record and pushes out the oldest.
        Bytes laid = film;
        for (int k = 1; k <= 33; ++k) {
            Bytes head = Ftyp("isom");
            Bytes mdat(8, 0);
            byteorder::PutBE32(mdat.data(), 0x100000);
            std::memcpy(mdat.data() + 4, "mdat", 4);
            head.insert(head.end(), mdat.begin(), mdat.end());
            std::memcpy(laid.data() + 32 + 512 * k - (32 % 512), head.data(), head.size());
        }
        dev.AddBytes(laid);
        dev.AddZeros(512 * 3 + (512 - laid.size() % 512) % 512);
        // The same film again at the very end: still open when the search ends.
        const std::int64_t last = static_cast<std::int64_t>(dev.GetTotalSectors());
        dev.AddBytes(film);
        RawSearch raw(&dev, 16);
        raw.Run();
        const auto files = raw.Files();
        const Found* a = At(files, first);
        const Found* b = At(files, last);
        ASSERT_NE(a, nullptr) << major;
        ASSERT_NE(b, nullptr) << major;
        EXPECT_EQ(a->size, static_cast<std::int64_t>(film.size())) << major;
        EXPECT_EQ(b->size, static_cast<std::int64_t>(film.size())) << major;
        EXPECT_EQ(raw.Read(a->node), laid) << major;
    }
}

// A 3 GiB "mdat" with a 64-bit size: one step of the walk, exact size, on
// the device walk and through the whole search.
TEST(RawVideo, ThreeGibMdatWithLargeSize) {
    const std::uint64_t data = 3ull << 30;
    Bytes head = Ftyp("isom");
    Box(head, "moov", Bytes(100, 0x22));
    std::uint8_t large[16];
    byteorder::PutBE32(large, 1);
    std::memcpy(large + 4, "mdat", 4);
    byteorder::PutBE64(large + 8, data + 16);
    Append(head, large, 16);
    CSyntheticStorageDevice dev(4096);
    dev.AddBytes(head).AddZeros(data).AddZeros(4096 * 2);
    const std::int64_t want = static_cast<std::int64_t>(head.size() - 16 + data + 16);
    CRawFileInfo r;
    r.m_startSector = 0;
    FileMP4Analyser walk;
    ASSERT_EQ(walk.GetRawFileSize(r, &dev), 1);
    EXPECT_EQ(r.m_size, want);
    RawSearch raw(&dev);
    raw.Run();
    const auto files = raw.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].size, want);
}

TEST(RawVideo, FilmTaggedByIphoneTextAndHostileExifStaysInsideTheBuffer) {
    // "iPhone 12" in the last sector of a film whose track boxes hold "trex".
    Bytes moov(900, 0x10);
    std::memcpy(moov.data() + 100, "trex", 4);
    std::memcpy(moov.data() + 880, "iPhone 12\0", 10);
    Bytes phone = Film("qt  ", 3000, moov);
    // EXIF in "moov" whose IFD and text offsets point gigabytes away.
    Bytes exif = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 0xF0, 0xFF, 0xFF, 0x7F};
    Bytes hostile = exif;
    hostile.resize(200, 0x33);
    Bytes far = {'E', 'x', 'i',  'f',  0, 0, 'I', 'I', 42, 0, 8,    0,    0,    0,
                 1,   0,   0x0F, 0x01, 2, 0, 8,   0,   0,  0, 0xF0, 0xFF, 0xFF, 0x7F};
    far.resize(200, 0x33);
    CSyntheticStorageDevice dev(512);
    std::vector<std::pair<std::int64_t, Bytes>> laid;
    for (const Bytes& f : {phone, Film("qt  ", 1000, hostile), Film("qt  ", 1000, far)}) {
        laid.push_back({static_cast<std::int64_t>(dev.GetTotalSectors()), f});
        dev.AddBytes(f).AddZeros((512 - f.size() % 512) % 512 + 1024);
    }
    RawSearch raw(&dev);
    raw.Run();
    const auto files = raw.Files();
    for (const auto& [start, bytes] : laid) {
        const Found* f = At(files, start);
        ASSERT_NE(f, nullptr) << start;
        EXPECT_EQ(f->size, static_cast<std::int64_t>(bytes.size()));
    }
    EXPECT_EQ(raw.builder.PathBelow(At(files, laid[0].first)->node, 1000).rfind("MOV/IPHONE 12/", 0), 0u);
    EXPECT_EQ(At(files, laid[1].first)->folder, "mov");
    EXPECT_EQ(At(files, laid[2].first)->folder, "mov");
}

namespace {

Bytes TsPackets(int count, int packetSize) {
    Bytes out;
    for (int i = 0; i < count; ++i) {
        Bytes p(static_cast<std::size_t>(packetSize), static_cast<std::uint8_t>(i * 7 + 1));
        const int sync = packetSize == 192 ? 4 : 0;
        p[sync] = 0x47;
        p[sync + 1] = 0x40;
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

}  // namespace

TEST(RawVideo, TransportStreamAfterASetOneCallAndBelowTheMinimum) {
    // The FAT repair asks set 1 about a transport-stream sector first.
    auto& list = CRawFileAnalyserListSingle::CreateInstance()->GetAnalyserList(1);
    const Bytes ts = TsPackets(200, 188);
    Bytes first(ts.begin(), ts.begin() + 512 + 4096);
    int setOneHits = 0;
    for (IRawFileAnalyser* a : list) {
        CRawFileInfo r;
        if (dynamic_cast<BruteForce::CM2TSAnalyser*>(a) && a->AnalyseBuffer(first.data(), r)) ++setOneHits;
    }
    EXPECT_EQ(setOneHits, 1);
    for (std::uint32_t ss : {512u, 4096u}) {
        CSyntheticStorageDevice dev(ss);
        const Bytes small = TsPackets(100, 188);  // 18,800 bytes: too short
        const Bytes m2ts = TsPackets(150, 192);
        dev.AddBytes(ts).AddZeros(ss * 2 + (ss - ts.size() % ss) % ss);
        const std::int64_t s2 = static_cast<std::int64_t>(dev.GetTotalSectors());
        dev.AddBytes(small).AddZeros(ss * 2 + (ss - small.size() % ss) % ss);
        const std::int64_t s3 = static_cast<std::int64_t>(dev.GetTotalSectors());
        dev.AddBytes(m2ts).AddZeros(ss * 2);
        RawSearch raw(&dev);
        raw.Run();
        const auto files = raw.Files();
        ASSERT_NE(At(files, 0), nullptr) << ss;
        EXPECT_EQ(At(files, 0)->size, static_cast<std::int64_t>(ts.size()));
        EXPECT_EQ(At(files, s2), nullptr) << ss;
        ASSERT_NE(At(files, s3), nullptr) << ss;
        EXPECT_EQ(At(files, s3)->size, static_cast<std::int64_t>(m2ts.size()));
    }
}

namespace {

// An Ogg page of exactly `bytes` bytes (two lacing values).
Bytes OggPage(std::size_t bytes, std::uint8_t fill, std::uint32_t serial) {
    Bytes p(bytes, fill);
    std::memcpy(p.data(), "OggS", 4);
    p[4] = 0;
    p[5] = 0;
    byteorder::PutLE32(p.data() + 14, serial);
    p[26] = 2;
    const std::size_t data = bytes - 29;
    p[27] = 255;
    p[28] = static_cast<std::uint8_t>(data - 255);
    return p;
}

}  // namespace

// Pages of one sector each: every sector starts "OggS". The chained second
// stream that begins while the first streams belongs to the first file.
TEST(RawVideo, SecondOggWhileTheFirstStreamsIsPartOfIt) {
    Bytes ogg;
    for (int i = 0; i < 6; ++i) {
        const Bytes p = OggPage(512, static_cast<std::uint8_t>(0x40 + i), i < 3 ? 1 : 2);
        ogg.insert(ogg.end(), p.begin(), p.end());
    }
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(ogg).AddZeros(2048);
    const std::int64_t again = static_cast<std::int64_t>(dev.GetTotalSectors());
    dev.AddBytes(ogg).AddZeros(2048);
    RawSearch raw(&dev);
    raw.Run();
    const auto files = raw.Files();
    ASSERT_EQ(files.size(), 2u);
    ASSERT_NE(At(files, 0), nullptr);
    EXPECT_EQ(At(files, 0)->size, static_cast<std::int64_t>(ogg.size()));
    // The mark was given back: the next Ogg is found.
    ASSERT_NE(At(files, again), nullptr);
}

namespace {

Bytes Mkv(const Bytes& segmentSize, const Bytes& body) {
    Bytes out = {0x1A, 0x45, 0xDF, 0xA3, 0x84, 0x42, 0x86, 0x81, 0x01, 0x18, 0x53, 0x80, 0x67};
    out.insert(out.end(), segmentSize.begin(), segmentSize.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes Element(std::uint32_t id, int idBytes, std::size_t size) {
    Bytes out;
    for (int i = idBytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(id >> (8 * i)));
    out.push_back(0x01);  // an 8-byte size
    for (int i = 6; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    out.insert(out.end(), size, 0x5C);
    return out;
}

}  // namespace

TEST(RawVideo, MatroskaSegmentSizeInAllItsForms) {
    Bytes body = Element(0x1549A966, 4, 40);
    const Bytes tracks = Element(0x1654AE6B, 4, 60);
    const Bytes cluster = Element(0x1F43B675, 4, 3000);
    body.insert(body.end(), tracks.begin(), tracks.end());
    body.insert(body.end(), cluster.begin(), cluster.end());
    Bytes eight = {0x01, 0, 0, 0, 0, 0, 0, 0};
    byteorder::PutBE32(eight.data() + 4, static_cast<std::uint32_t>(body.size()));
    const Bytes sized = Mkv(eight, body);
    const Bytes live = Mkv({0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, body);
    // A size above 4 GiB keeps its high bits.
    const Bytes huge = Mkv({0x01, 0, 0, 0x01, 0, 0, 0, 0x10}, body);
    FileMKVAnalyser mkv;
    CRawFileInfo r;
    Bytes s = Sector(huge);
    ASSERT_EQ(mkv.AnalyseBuffer(s.data(), r), 1);
    EXPECT_EQ(r.m_size, 21 + 0x100000010ll);
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(sized).AddZeros(1024 + (512 - sized.size() % 512) % 512);
    const std::int64_t second = static_cast<std::int64_t>(dev.GetTotalSectors());
    dev.AddBytes(live).AddZeros(1024);
    RawSearch raw(&dev);
    raw.Run();
    const auto files = raw.Files();
    ASSERT_NE(At(files, 0), nullptr);
    ASSERT_NE(At(files, second), nullptr);
    EXPECT_EQ(At(files, 0)->size, static_cast<std::int64_t>(sized.size()));
    EXPECT_EQ(At(files, second)->size, static_cast<std::int64_t>(live.size()));
}

TEST(RawVideo, BerAndEbmlLengthForms) {
    struct Ber {
        Bytes in;
        int length;
        std::uint64_t value;
    };
    const Ber bers[] = {
        {{0x05}, 1, 5},
        {{0x81, 0xFF}, 2, 255},
        {{0x83, 0x01, 0x02, 0x03}, 4, 0x010203},
        {{0x84, 0x01, 0x02, 0x03, 0x04}, 5, 0x01020304},
        {{0x88, 0, 0, 0, 0x01, 0, 0, 0, 0x20}, 9, 0x100000020},
        {{0x80}, 0, 0},              // indefinite: not an MXF length
        {{0x84, 0x01, 0x02}, 0, 0},  // cut short
        {{0x89, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0, 0},
    };
    for (const Ber& b : bers) {
        std::uint64_t v = 0;
        const int n = DecodeBerLength(b.in.data(), b.in.size(), v);
        EXPECT_EQ(n, b.length) << int(b.in[0]);
        if (n) EXPECT_EQ(v, b.value);
    }
    struct Vint {
        Bytes in;
        int length;
        std::uint64_t value;
        bool unknown;
    };
    const Vint vints[] = {
        {{0x81}, 1, 1, false},
        {{0xFF}, 1, 127, true},
        {{0x40, 0x02}, 2, 2, false},
        {{0x01, 0, 0, 0x01, 0, 0, 0, 0x10}, 8, 0x100000010, false},
        {{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 8, 0xFFFFFFFFFFFFFF, true},
        {{0x00, 0x01}, 0, 0, false},
        {{0x02, 0x01}, 0, 0, false},  // 7 bytes promised, 2 held
    };
    for (const Vint& t : vints) {
        std::uint64_t v = 0;
        bool unknown = false;
        const int n = DecodeEbmlVint(t.in.data(), t.in.size(), v, unknown);
        EXPECT_EQ(n, t.length) << int(t.in[0]);
        if (n) {
            EXPECT_EQ(v, t.value);
            EXPECT_EQ(unknown, t.unknown);
        }
    }
}

TEST(RawVideo, HeaderChecksOfSwfAndRiffLengthInSixtyFourBits) {
    struct Swf {
        const char* sig;
        std::uint8_t version;
        bool taken;
        std::int64_t size;
    };
    const Swf swfs[] = {{"FWS", 10, true, 1000}, {"CWS", 6, true, 1008}, {"CWS", 5, false, 0},
                        {"FWS", 33, false, 0},   {"CWS", 33, false, 0},  {"FWS", 32, true, 1000}};
    FileSWFAnalyser swf;
    for (const Swf& t : swfs) {
        Bytes s(512, 0);
        std::memcpy(s.data(), t.sig, 3);
        s[3] = t.version;
        byteorder::PutLE32(s.data() + 4, 1000);
        CRawFileInfo r;
        EXPECT_EQ(swf.AnalyseBuffer(s.data(), r) == 1, t.taken) << t.sig << int(t.version);
        if (t.taken) EXPECT_EQ(r.m_size, t.size);
    }
    // FFFFFFF8 + 8 must not wrap to nothing.
    Bytes riff = {'R', 'I', 'F', 'F', 0xF8, 0xFF, 0xFF, 0xFF, 'W', 'A', 'V', 'E'};
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(riff).AddZeros(4096);
    CRawFileInfo r;
    FileRIFFAnalyser a;
    ASSERT_EQ(a.GetRawFileSize(r, &dev), 1);
    EXPECT_EQ(r.m_size, 0x100000000ll);
}

namespace {

Bytes Guid(const char* s) {
    // "75B22630-668E-11CF-A6D9-00AA0062CE6C" in its on-disk byte order.
    auto hex = [&](int i) {
        auto h = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
        return static_cast<std::uint8_t>(h(s[i]) << 4 | h(s[i + 1]));
    };
    const int order[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
    Bytes g;
    for (int i : order) g.push_back(hex(i));
    return g;
}

Bytes AsfObject(const Bytes& guid, std::uint64_t size, const Bytes& body) {
    Bytes o = guid;
    std::uint8_t s[8];
    byteorder::PutLE64(s, size);
    Append(o, s, 8);
    o.insert(o.end(), body.begin(), body.end());
    return o;
}

// A header object with these stream types, a data object, then `tail`.
Bytes Asf(const std::vector<const char*>& streams, const Bytes& tail) {
    Bytes subs;
    for (const char* type : streams) {
        Bytes body = Guid(type);
        body.resize(60, 0);
        const Bytes o = AsfObject(Guid("B7DC0791-A9B7-11CF-8EE6-00C00C205365"), 24 + body.size(), body);
        subs.insert(subs.end(), o.begin(), o.end());
    }
    Bytes hbody(6, 0);
    hbody.insert(hbody.end(), subs.begin(), subs.end());
    Bytes out = AsfObject(Guid("75B22630-668E-11CF-A6D9-00AA0062CE6C"), 24 + hbody.size(), hbody);
    const Bytes data = AsfObject(Guid("75B22636-668E-11CF-A6D9-00AA0062CE6C"), 24 + 1500, Bytes(1500, 0x61));
    out.insert(out.end(), data.begin(), data.end());
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

}  // namespace

TEST(RawVideo, AsfTypeByStreamsAndAZeroSizeObjectEndsTheFile) {
    const char* video = "BC19EFC0-5B4D-11CF-A8FD-00805F5C442B";
    const char* audio = "F8699E40-5B4D-11CF-A8FD-00805F5C442B";
    const char* other = "59DACFC0-59E6-11D0-A3AC-00A0C90348F6";
    const Bytes zeroObject = AsfObject(Guid("33000890-E5B1-11CF-89F4-00A0C90349CB"), 0, Bytes(600, 0x42));
    struct Case {
        std::vector<const char*> streams;
        Bytes tail;
        std::uint32_t type;
        std::int64_t cut;  // bytes of the tail that belong to the file
    };
    const Case cases[] = {
        {{video, audio}, {}, RAW_FILE_TYPE_WMV, 0},
        {{video, video}, {}, RAW_FILE_TYPE_WMA, 0},
        {{audio}, {}, RAW_FILE_TYPE_WMA, 0},
        {{audio, other}, {}, RAW_FILE_TYPE_ASF, 0},
        {{video, audio}, zeroObject, RAW_FILE_TYPE_WMV, 0},
    };
    CSyntheticStorageDevice dev(512);
    std::vector<std::pair<std::int64_t, Bytes>> laid;
    for (const Case& c : cases) {
        const Bytes f = Asf(c.streams, c.tail);
        laid.push_back({static_cast<std::int64_t>(dev.GetTotalSectors()), f});
        dev.AddBytes(f).AddZeros((512 - f.size() % 512) % 512 + 1024);
    }
    RawSearch raw(&dev);
    raw.Run();
    const auto files = raw.Files();
    const char* ext[] = {"", "", "", "", "", "", "ASF", "WMA", "WMV"};
    for (std::size_t i = 0; i < laid.size(); ++i) {
        const Found* f = At(files, laid[i].first);
        ASSERT_NE(f, nullptr) << i;
        EXPECT_EQ(f->size, static_cast<std::int64_t>(laid[i].second.size() - cases[i].tail.size())) << i;
        EXPECT_NE(f->name.find(ext[cases[i].type]), std::string::npos) << i << " " << f->name;
    }
}

TEST(RawVideo, FlvWithANonZeroFirstTagSizeAndMpegHitsTooClose) {
    Bytes flv = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 7};
    flv.resize(2000, 0x09);
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(flv).AddZeros(1024);
    RawSearch raw(&dev);
    raw.Run();
    EXPECT_TRUE(raw.Files().empty());
    // The streaming MPEG analyser takes a hit, refuses one 10 sectors on,
    // and takes one 21 sectors on.
    Tessel::MPGAnalyser mpg;
    Bytes s(512, 0);
    const std::uint8_t pack[8] = {0, 0, 1, 0xBA, 0x44, 0, 0x04, 0};
    std::memcpy(s.data(), pack, 8);
    CRawFileInfo r;
    const SectorView none;
    EXPECT_EQ(mpg.AnalyseBufferEx(s.data(), r, 512, 100, 0, 0, none), 1);
    EXPECT_EQ(mpg.AnalyseBufferEx(s.data(), r, 512, 110, 0, 0, none), 0);
    EXPECT_EQ(mpg.AnalyseBufferEx(s.data(), r, 512, 121, 0, 0, none), 1);
}

TEST(RawVideo, MpegStreamFollowedStraightByAnotherFileEndsWithItsLastPacket) {
    // As a file system lays files: the next file starts at the sector after
    // the stream's last byte, so the walk misses on that file's first bytes,
    // at a sector boundary. The stream ends with its last packet, whether it
    // fills its last sector (the samples) or leaves zero bytes before the
    // boundary (its last padding packet shortened by 50 bytes).
    const Bytes next = Film("isom", 3000);
    for (const char* name : {"clip.mpg", "program2.mpg"}) {
        const Bytes sample = rawtest::ReadSample("video", name);
        ASSERT_EQ(sample.size() % 512, 0u) << name;
        Bytes shortened = sample;
        std::size_t last = shortened.size() - 4;
        while (last > 0 && !(shortened[last] == 0 && shortened[last + 1] == 0 && shortened[last + 2] == 1 &&
                             shortened[last + 3] == 0xBE))
            --last;
        ASSERT_EQ(last + 6 + byteorder::BE16(shortened.data() + last + 4), shortened.size()) << name;
        byteorder::PutBE16(shortened.data() + last + 4,
                           static_cast<std::uint16_t>(byteorder::BE16(shortened.data() + last + 4) - 50));
        std::fill(shortened.end() - 50, shortened.end(), 0);
        for (const auto& [stream, size] : {std::pair{sample, sample.size()}, {shortened, sample.size() - 50}}) {
            SCOPED_TRACE(std::string(name) + " of " + std::to_string(size));
            CSyntheticStorageDevice dev(512);
            dev.AddZeros(2 * 512).AddBytes(stream).AddBytes(next).AddZeros(8 * 512);
            RawSearch raw(&dev);
            raw.Run();
            const std::vector<Found> files = raw.Files();
            const Found* f = At(files, 2);
            ASSERT_NE(f, nullptr);
            EXPECT_NE(f->name.find(".MPG"), std::string::npos) << f->name;
            EXPECT_EQ(f->size, static_cast<std::int64_t>(size));
            // The device sizer of a candidate the streaming did not finish.
            CRawFileInfo r;
            r.m_startSector = 2;
            FileMPGAnalyser twin;
            ASSERT_EQ(twin.GetRawFileSize(r, &dev), 1);
            EXPECT_EQ(r.m_size, static_cast<std::int64_t>(size));
        }
    }
}

TEST(RawVideo, NoPlaceholderIsLeftForFilmAndContainerKeys) {
    CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
    const std::vector<std::string> ours = {
        "BruteForce::MovAnalyzer", "BruteForce::Mp4Analyzer",  "BruteForce::C3GPAnalyser", "Tessel::RM_RMVBAnalyser",
        "Tessel::MPGAnalyser",     "BruteForce::CAsfAnalyser", "Tessel::FLVAnalyser",      "Tessel::OGGAnalyser",
        "FileRIFFAnalyser",        "FileMKVAnalyser",          "FileSWFAnalyser",          "RawSpeed::MLvAnalyser",
        "RawSpeed::MxfAnalyser",   "BruteForce::CM2TSAnalyser"};
    std::vector<IRawFileAnalyser*> all;
    for (auto& [k, a] : registry->GetAnalyserMap(1)) all.push_back(a);
    for (auto& [k, a] : registry->GetAnalyserMultimap(1)) all.push_back(a);
    for (IRawFileAnalyser* a : registry->GetAnalyserList(1)) all.push_back(a);
    int pending = 0;
    for (IRawFileAnalyser* a : all)
        if (auto* p = dynamic_cast<CPendingAnalyser*>(a))
            for (const std::string& name : ours) pending += name == p->ClassName();
    EXPECT_EQ(pending, 0);
    // Three QuickTime analysers on 00 00, in order, and one in the keyless list.
    const auto run = registry->GetAnalyserMultimap(1).equal_range(0);
    std::vector<IRawFileAnalyser*> films;
    for (auto it = run.first; it != run.second; ++it)
        if (dynamic_cast<BruteForce::MovAnalyzer*>(it->second)) films.push_back(it->second);
    ASSERT_EQ(films.size(), 3u);
    EXPECT_NE(dynamic_cast<BruteForce::Mp4Analyzer*>(films[1]), nullptr);
    EXPECT_NE(dynamic_cast<BruteForce::C3GPAnalyser*>(films[2]), nullptr);
}
