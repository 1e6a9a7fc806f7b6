// The audio analysers over crafted bytes and the committed music samples:
// MPEG frame headers and ID3 text, the streaming MP3 record's own state, the
// device-side MP3 sizer's routes, and the edge cases of ADTS, MIDI, AU and
// AIFF. Tests named "Crafted" build their bytes here (no free writer, or a
// layout no writer makes on purpose).
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "RawSearchSupport.h"
#include "foundation/ByteOrder.h"
#include "raw/analysers/Mp3Analyser.h"
#include "raw/analysers/Mp3Header.h"
#include "raw/analysers/SmallAudioAnalysers.h"
#include "storage/SyntheticDevice.h"

using rawtest::Found;
using rawtest::RawSearch;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Sample(const std::string& name) { return rawtest::ReadSample("music", name); }

void PadToSector(CSyntheticStorageDevice& dev, std::size_t length, std::uint32_t ss) {
    const std::uint64_t rest = (ss - length % ss) % ss;
    if (rest) dev.AddZeros(rest);
}

std::vector<Found> WithExt(const std::vector<Found>& files, const std::string& ext) {
    std::vector<Found> out;
    for (const Found& f : files)
        if (f.name.size() > ext.size() && f.name.compare(f.name.size() - ext.size(), ext.size(), ext) == 0)
            out.push_back(f);
    return out;
}

// An ID3v2.3 tag with the given frames (id, data with its encoding byte).
// `padding` zero bytes end the tag, as taggers leave room to grow.
Bytes Id3v23(const std::vector<std::pair<std::string, Bytes>>& frames, std::size_t padding = 0) {
    Bytes body;
    for (const auto& [id, data] : frames) {
        body.insert(body.end(), id.begin(), id.end());
        std::uint8_t size[4];
        byteorder::PutBE32(size, static_cast<std::uint32_t>(data.size()));
        body.insert(body.end(), size, size + 4);
        body.push_back(0);
        body.push_back(0);
        body.insert(body.end(), data.begin(), data.end());
    }
    body.insert(body.end(), padding, 0);
    const std::uint32_t n = static_cast<std::uint32_t>(body.size());
    Bytes out = {'I',
                 'D',
                 '3',
                 3,
                 0,
                 0,
                 static_cast<std::uint8_t>((n >> 21) & 0x7F),
                 static_cast<std::uint8_t>((n >> 14) & 0x7F),
                 static_cast<std::uint8_t>((n >> 7) & 0x7F),
                 static_cast<std::uint8_t>(n & 0x7F)};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// The audio frames of an MP3 sample: everything after its ID3v2 tag.
Bytes Frames(const Bytes& mp3) {
    std::uint32_t tag = 0;
    if (mp3.size() > 10 && std::memcmp(mp3.data(), "ID3", 3) == 0 &&
        classMp3Search::GetSynchsafeInteger(mp3.data() + 6, &tag))
        return Bytes(mp3.begin() + 10 + tag, mp3.end());
    return mp3;
}

// Sizes the file at sector `start` of `dev` with a fresh device-side sizer.
CRawFileInfo SizeOnDevice(FileMP3Analyser& sizer, IStorageDevice& dev, std::int64_t start = 0) {
    CRawFileInfo record;
    record.m_startSector = start;
    if (sizer.GetRawFileSize(record, &dev) == 0) record.m_size = 0;
    return record;
}

}  // namespace

TEST(RawMusic, FrameHeadersDecodeByTheStandardTables) {
    struct Case {
        std::uint8_t h[4];
        bool ok;
        std::uint32_t size;
        const char* what;
    } cases[] = {
        {{0xFF, 0xFB, 0x90, 0x64}, true, 417, "MPEG-1 Layer III 128 kbit/s 44.1 kHz"},
        {{0xFF, 0xFB, 0x92, 0x64}, true, 418, "the same, padded"},
        {{0xFF, 0xFB, 0xE0, 0x64}, true, 1044, "320 kbit/s"},
        {{0xFF, 0xF3, 0x14, 0xC4}, true, 24, "MPEG-2 Layer III 8 kbit/s 24 kHz"},
        {{0xFF, 0xE3, 0x18, 0xC4}, true, 72, "MPEG 2.5 8 kbit/s 8 kHz"},
        {{0xFF, 0xFF, 0x10, 0x00}, true, 32, "MPEG-1 Layer I 32 kbit/s: four-byte slots"},
        {{0xFF, 0xFD, 0x10, 0xC0}, true, 104, "Layer II 32 kbit/s single channel"},
        {{0xFF, 0xFD, 0x10, 0x00}, false, 0, "Layer II 32 kbit/s stereo is not allowed"},
        {{0xFF, 0xFD, 0xB0, 0xC0}, false, 0, "Layer II 224 kbit/s single channel is not allowed"},
        {{0xFF, 0xEB, 0x90, 0x64}, false, 0, "reserved version"},
        {{0xFF, 0xF9, 0x90, 0x64}, false, 0, "reserved layer"},
        {{0xFF, 0xFB, 0x00, 0x64}, false, 0, "free-format bit rate"},
        {{0xFF, 0xFB, 0x9C, 0x64}, false, 0, "reserved sampling rate"},
        {{0xFF, 0xFB, 0x90, 0x66}, false, 0, "emphasis 2"},
    };
    for (const Case& c : cases) {
        CMPAHeader h;
        EXPECT_EQ(h.Init(c.h), c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(h.CalcFrameSize(), c.size) << c.what;
        }
        EXPECT_EQ(Mp3FrameSize(c.h), c.size) << c.what;
    }
    // Bit-rate index 15 fails the sync test before any table is read.
    const std::uint8_t bad[4] = {0xFF, 0xFB, 0xF0, 0x64};
    EXPECT_FALSE(IsFrameSync(bad));
}

TEST(RawMusic, SynchsafeIntegersAndFrameSizesFollowTheTagVersion) {
    const std::uint8_t sizes[4] = {0x00, 0x00, 0x02, 0x01};
    std::uint32_t v = 0;
    ASSERT_TRUE(classMp3Search::GetSynchsafeInteger(sizes, &v));
    EXPECT_EQ(v, 257u);
    const std::uint8_t top[4] = {0x00, 0x80, 0x00, 0x00};
    EXPECT_FALSE(classMp3Search::GetSynchsafeInteger(top, &v));
    // A 128-byte frame (a small cover picture): 00 00 01 00 in v2.4 and
    // 00 00 00 80 in v2.3. Read plainly, the v2.4 size would be 256.
    const std::uint8_t v24[4] = {0x00, 0x00, 0x01, 0x00};
    const std::uint8_t v23[4] = {0x00, 0x00, 0x00, 0x80};
    EXPECT_EQ(Id3FrameSize(v24, 4), 128u);
    EXPECT_EQ(Id3FrameSize(v23, 3), 128u);
    EXPECT_EQ(Id3FrameSize(top, 4), 0u);
}

TEST(RawMusic, TagTextByEncoding) {
    std::setlocale(LC_ALL, "C.UTF-8");
    struct Case {
        Bytes data;
        bool title;
        std::string want;
        const char* what;
    } cases[] = {
        {{1, 0xFF, 0xFE, 'A', 0, 'b', 0, 0, 0}, false, "Ab", "UTF-16LE with its mark"},
        {{1, 0xFE, 0xFF, 0, 'A', 0, 'b'}, false, "", "UTF-16BE mark: no text"},
        {{3, 'C', 0xC3, 0xA9, 0}, false, "C\xC3\xA9", "UTF-8"},
        {{3, 'C', 0xFF, 0}, false, "C_", "invalid UTF-8 is masked"},
        {{2, 0, 'A', 0, 'b'}, false, "", "UTF-16BE without mark: no text"},
        {{0, 'P', 'l', 'a', 'i', 'n', 0}, true, "Plain", "ASCII in a Latin-1 frame"},
        // GBK bytes in a frame that claims Latin-1: the guessed set wins.
        {{0,    0xD6, 0xD0, 0xCE, 0xC4, 0xB8, 0xE8, 0xC7, 0xFA, 0xB5, 0xC4,
          0xC3, 0xFB, 0xD7, 0xD6, 0xBA, 0xCD, 0xB8, 0xE8, 0xB4, 0xCA},
         true,
         "\xE4\xB8\xAD\xE6\x96\x87\xE6\xAD\x8C\xE6\x9B\xB2\xE7\x9A\x84\xE5\x90\x8D\xE5\xAD\x97\xE5\x92\x8C\xE6\xAD"
         "\x8C\xE8\xAF\x8D",
         "GBK title"},
    };
    for (const Case& c : cases) {
        std::string charset;
        EXPECT_EQ(mp3text::GetTagValue(c.data.data(), c.data.size(), 256, c.title, charset), c.want) << c.what;
    }
}

TEST(RawMusic, ReplaceCharKeepsValidUtf8AndMasksTheRest) {
    struct Case {
        std::string in;
        std::string want;
    } cases[] = {
        {"plain", "plain"}, {"caf\xC3\xA9", "caf\xC3\xA9"}, {std::string("ab\0cd", 5), "ab"}, {"a\xF0z", "a_z"},
        {"\x80\x81", ""},   {"ok\xE4\xB8", "ok\xE4\xB8"},  // cut off by the end: still valid
    };
    for (const Case& c : cases)
        EXPECT_EQ(mp3text::replaceChar(reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size()), c.want)
            << c.in;
}

TEST(RawMusic, EndTagSearchLeavesTheDriverBufferAlone) {
    BruteForce::MP3Analyzer analyser;
    BruteForce::MP3RawFileInfo record(&analyser);
    record.m_startSector = 7;
    Bytes sector(512, 0x11);
    const char tag[] = "TAGSine Wave    \0\0\0\0\0Quillory  Band";
    std::memcpy(sector.data() + 100, tag, sizeof tag - 1);
    std::fill(sector.end() - 32, sector.end(), 0);
    const Bytes before = sector;
    EXPECT_EQ(record.FindTagInEndSector(sector.data(), 9, 512, 32), 103);
    EXPECT_EQ(sector, before);
    // Double spaces end a field; the artist is the text after the title's.
    EXPECT_EQ(record.m_rawFileName, "Quillory_Sine Wave 7-9_");
}

TEST(RawMusic, FrameStartBlockBelongsToTheAnalyserAndClearsOnEviction) {
    const Bytes frames = Frames(Sample("cbr128.mp3"));
    Bytes block(frames.begin(), frames.begin() + 4096);
    const SectorView view(block.data(), 512, 0, 8, 0);
    BruteForce::MP3Analyzer a, other;
    CRawFileInfo temp;
    ASSERT_EQ(a.AnalyseBufferEx(block.data(), temp, 512, 0, 0, 8, view), 1);
    EXPECT_EQ(a.m_lastStartSector, 0);  // sector 0 cannot be told from "none"
    const SectorView later(block.data(), 512, 5, 13, 0);
    ASSERT_EQ(a.AnalyseBufferEx(block.data(), temp, 512, 5, 5, 13, later), 1);
    EXPECT_EQ(a.m_lastStartSector, 5);
    EXPECT_EQ(a.AnalyseBufferEx(block.data(), temp, 512, 5, 5, 13, later), 0) << "blocked while a song streams";
    EXPECT_EQ(other.AnalyseBufferEx(block.data(), temp, 512, 5, 5, 13, later), 1) << "another key is not blocked";
    // An evicted record hands over to the device and lifts the block.
    auto* record = static_cast<BruteForce::MP3RawFileInfo*>(a.CreateRawFileInfo());
    record->m_analyser = &a;
    record->WillBeRemove(nullptr, -1);
    EXPECT_EQ(a.m_lastStartSector, 0);
    EXPECT_EQ(record->m_analyser, a.Twin());
    delete record;
    // ID3 starts are never blocked.
    const Bytes id3 = Sample("v23.mp3");
    a.m_lastStartSector = 3;
    EXPECT_EQ(a.AnalyseBufferEx(const_cast<std::uint8_t*>(id3.data()), temp, 512, 9, 9, 17, later), 1);
}

TEST(RawMusic, DeviceSizerRoutes) {
    const Bytes cbr320 = Sample("cbr320.mp3");
    const Bytes cbr128 = Sample("cbr128.mp3");
    const Bytes v23 = Sample("v23.mp3");
    const Bytes v24 = Sample("v24apic.mp3");
    Bytes tagged320 = cbr320;
    Bytes v1(128, 0);
    std::memcpy(v1.data(), "TAGXing Title", 13);
    std::memcpy(v1.data() + 33, "Xing Artist", 11);
    tagged320.insert(tagged320.end(), v1.begin(), v1.end());
    // 100 random bytes between two frames of a tagged song.
    Bytes junk = v23;
    {
        std::uint32_t tag = 0;
        classMp3Search::GetSynchsafeInteger(v23.data() + 6, &tag);
        std::size_t at = 10 + tag;
        for (int i = 0; i < 10; ++i) at += Mp3FrameSize(v23.data() + at);
        std::mt19937 rng(5);
        Bytes noise(100);
        for (auto& b : noise) b = static_cast<std::uint8_t>(rng() & 0x7F);
        junk.insert(junk.begin() + static_cast<std::ptrdiff_t>(at), noise.begin(), noise.end());
    }
    const Bytes frames128 = Frames(cbr128);
    const Bytes shortChain(frames128.begin(), frames128.begin() + 9000);
    // A tag and one lone frame in other bytes: no chain, no song.
    Bytes lone = Id3v23({{"TIT2", {0, 'L', 'o', 'n', 'e', 0}}});
    lone.insert(lone.end(), frames128.begin(), frames128.begin() + Mp3FrameSize(frames128.data()));
    for (std::uint32_t i = 0; i < 12000; ++i) lone.push_back(static_cast<std::uint8_t>((i * 37) & 0x7F));
    struct Case {
        const Bytes* bytes;
        std::int64_t size;
        std::string name;
        const char* what;
    } cases[] = {
        {&lone, 0, "", "a tag and a lone frame"},
        {&cbr320, static_cast<std::int64_t>(cbr320.size()), "", "Xing byte count (FF FB E0)"},
        {&tagged320, static_cast<std::int64_t>(tagged320.size()), "Xing Artist_Xing Title", "byte count, then TAG"},
        {&cbr128, static_cast<std::int64_t>(cbr128.size()), "", "FF FB 90 with Info at 36: the frame chain"},
        {&v23, static_cast<std::int64_t>(v23.size()), "Quillory Band_Sine Three", "ID3v2.3 and frames"},
        {&v24, static_cast<std::int64_t>(v24.size()), "Vier Band_Cover", "ID3v2.4 with a cover picture"},
        {&junk, static_cast<std::int64_t>(junk.size()), "Quillory Band_Sine Three", "junk between frames"},
        {&shortChain, 0, "", "a chain shorter than 10,240 bytes"},
    };
    for (const Case& c : cases) {
        for (std::uint32_t ss : {512u, 4096u}) {
            CSyntheticStorageDevice dev(ss);
            dev.AddBytes(*c.bytes);
            PadToSector(dev, c.bytes->size(), ss);
            dev.AddZeros(ss * 4);
            FileMP3Analyser sizer;
            const CRawFileInfo r = SizeOnDevice(sizer, dev);
            EXPECT_EQ(r.m_size, c.size) << c.what << " at " << ss;
            if (!c.name.empty()) {
                EXPECT_EQ(r.m_rawFileName, c.name) << c.what;
            }
            if (c.size) {
                EXPECT_EQ(r.m_type, RAW_FILE_TYPE_MP3) << c.what;
            }
        }
    }
}

TEST(RawMusic, CraftedFortyFiveSongsOpenAtOnceAreAllSizedOnTheDevice) {
    // Songs back to back, each a whole number of 4,096-byte sectors long: no
    // song ends in a zero tail, so none is ended while streaming, more than
    // the open set holds are open at once, and all are sized on the device.
    const Bytes frames = Frames(Sample("cbr128.mp3"));
    const Bytes title = {0, 'S', 'o', 'n', 'g', 0};
    const Bytes artist = {0, 'B', 'a', 'c', 'k', ' ', 'T', 'o', ' ', 'B', 'a', 'c', 'k', 0};
    const std::size_t bare = Id3v23({{"TIT2", title}, {"TPE1", artist}}).size() + frames.size();
    Bytes song = Id3v23({{"TIT2", title}, {"TPE1", artist}}, (4096 - bare % 4096) % 4096);
    song.insert(song.end(), frames.begin(), frames.end());
    ASSERT_EQ(song.size() % 4096, 0u);
    for (std::uint32_t ss : {512u, 4096u}) {
        CSyntheticStorageDevice dev(ss);
        std::vector<std::int64_t> starts;
        for (int i = 0; i < 45; ++i) {
            starts.push_back(static_cast<std::int64_t>(dev.GetTotalSectors()));
            dev.AddBytes(song);
        }
        dev.AddZeros(ss * 8);
        RawSearch raw(&dev);
        raw.Run();
        const std::vector<Found> songs = WithExt(raw.Files(), ".MP3");
        for (std::int64_t start : starts) {
            const Found* hit = nullptr;
            for (const Found& f : songs)
                if (f.start == start) hit = &f;
            ASSERT_NE(hit, nullptr) << start << " at " << ss;
            EXPECT_EQ(hit->size, static_cast<std::int64_t>(song.size())) << start << " at " << ss;
            EXPECT_EQ(hit->name.rfind("Back To Back_Song", 0), 0u) << hit->name;
        }
    }
}

TEST(RawMusic, CraftedMidSongFrameHitGivesOneFile) {
    // MPEG 2.5 frames (which the streaming check hands to the device) of 72
    // and 73 bytes, padded so that frame 113 begins at byte 8,192: a second
    // hit on a sector boundary inside the song.
    Bytes song;
    for (int i = 0; i < 400; ++i) {
        const bool padded = i < 112 && i % 2 == 0;
        const std::uint8_t h[4] = {0xFF, 0xE3, static_cast<std::uint8_t>(padded ? 0x1A : 0x18), 0xC4};
        song.insert(song.end(), h, h + 4);
        song.insert(song.end(), padded ? 69 : 68, 0x55);
    }
    ASSERT_EQ(Mp3FrameSize(song.data() + 8192), 72u);
    for (std::uint32_t ss : {512u, 4096u}) {
        CSyntheticStorageDevice dev(ss);
        dev.AddZeros(ss * 2);
        dev.AddBytes(song);
        PadToSector(dev, song.size(), ss);
        dev.AddZeros(ss * 2);
        RawSearch raw(&dev);
        raw.Run();
        const std::vector<Found> songs = WithExt(raw.Files(), ".MP3");
        ASSERT_EQ(songs.size(), 1u) << ss;
        EXPECT_EQ(songs[0].start, 2);
        EXPECT_EQ(songs[0].size, static_cast<std::int64_t>(song.size()));
    }
}

TEST(RawMusic, CraftedGbkTitleIsNamedInUtf8) {
    std::setlocale(LC_ALL, "C.UTF-8");
    const Bytes gbkTitle = {0, 0xD6, 0xD0, 0xCE, 0xC4, 0xB8, 0xE8, 0xC7, 0xFA, 0xB5, 0xC4, 0xC3, 0xFB, 0xD7, 0xD6, 0};
    const Bytes artist = {0, 'Z', 'h', 'o', 'n', 'g', 0};
    Bytes song = Id3v23({{"TIT2", gbkTitle}, {"TPE1", artist}});
    const Bytes frames = Frames(Sample("v23.mp3"));
    song.insert(song.end(), frames.begin(), frames.end());
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(song);
    PadToSector(dev, song.size(), 512);
    dev.AddZeros(512 * 4);
    RawSearch raw(&dev);
    raw.Run();
    const std::vector<Found> songs = WithExt(raw.Files(), ".MP3");
    ASSERT_EQ(songs.size(), 1u);
    EXPECT_EQ(songs[0].name.rfind(
                  "Zhong_\xE4\xB8\xAD\xE6\x96\x87\xE6\xAD\x8C\xE6\x9B\xB2\xE7\x9A\x84\xE5\x90\x8D\xE5\xAD\x97", 0),
              0u)
        << songs[0].name;
    EXPECT_EQ(songs[0].size, static_cast<std::int64_t>(song.size()));
    EXPECT_NE(raw.builder.PathBelow(songs[0].node, -1).find("Artists/Zhong/"), std::string::npos);
}

namespace {

// A crafted ADTS frame (AAC LC, 44.1 kHz, stereo) of `length` bytes.
Bytes AdtsFrame(std::uint32_t length) {
    Bytes f(length, 0x11);
    f[0] = 0xFF;
    f[1] = 0xF1;
    f[2] = 0x50;
    f[3] = static_cast<std::uint8_t>(0x80 | ((length >> 11) & 3));
    f[4] = static_cast<std::uint8_t>((length >> 3) & 0xFF);
    f[5] = static_cast<std::uint8_t>(((length & 7) << 5) | 0x1F);
    f[6] = 0xFC;
    return f;
}

// Feeds the sectors of `image` from `start` on to a streaming record, the
// whole image being one block; the record's answer (1 finished) and where.
int Feed(CRawFileInfo& record, const Bytes& image, std::uint32_t ss, std::int64_t start, std::int64_t& at) {
    const std::int64_t total = static_cast<std::int64_t>(image.size() / ss);
    record.m_startSector = start;
    for (at = start; at < total; ++at) {
        CRawFileInfo::SearchContext ctx;
        ctx.bufferStartSector = 0;
        ctx.blockEndSector = total;
        const std::uint8_t* p = image.data() + at * ss;
        ctx.leadingZero = byteorder::LE32(p) == 0 ? 4 : 0;
        for (int k = 1; k <= 8 && byteorder::LE32(p + ss - 4 * k) == 0; ++k) ctx.trailingZeroBytes += 4;
        ctx.view = SectorView(image.data(), ss, 0, total, 0);
        if (record.CalcRawSize(const_cast<std::uint8_t*>(p), static_cast<int>(ss), at, ctx) == 1) return 1;
    }
    return 2;
}

}  // namespace

TEST(RawMusic, CraftedAdtsChainsAtTheBlockEndAndTheRecordsOverflowFlag) {
    struct Case {
        int frames;
        std::uint32_t length;
        std::uint8_t after;  // the byte that follows the frames
        int match;
        bool overflow;
        std::int64_t size;
        const char* what;
    } cases[] = {
        {3, 170, 0, 1, true, 0, "three frames to the block end: a match, and no file"},
        {8, 170, 0, 1, true, 8 * 170, "a longer stream past the block end keeps its size"},
        {6, 80, 0, 1, false, 6 * 80, "five frames inside the block"},
        {6, 80, 0x33, 1, false, 0, "a chain that breaks where the sector has no zero tail"},
        {1, 0, 0, 0, false, 0, "a zero frame length"},
    };
    const std::uint32_t ss = 512;
    for (const Case& c : cases) {
        Bytes image;
        for (int i = 0; i < c.frames; ++i) {
            const Bytes f = AdtsFrame(c.length ? c.length : 7);
            image.insert(image.end(), f.begin(), f.end());
            if (c.length == 0) image[4] = image[5] = image[3] = 0;
        }
        image.resize(((image.size() + ss - 1) / ss + 1) * ss, c.after);
        if (c.after) std::fill(image.end() - ss, image.end(), 0);
        // The start test sees one sector as its block.
        BruteForce::CADTSAnalyser a;
        CRawFileInfo temp;
        const SectorView view(image.data(), ss, 0, 1, 0);
        ASSERT_EQ(a.AnalyseBufferEx(image.data(), temp, ss, 0, 0, 1, view), c.match) << c.what;
        if (!c.match) continue;
        EXPECT_EQ(temp.m_type, RAW_FILE_TYPE_M4A) << c.what;
        // The flag goes to the record made for this hit, and to no other.
        std::unique_ptr<CRawFileInfo> record(a.CreateRawFileInfo());
        auto* adts = static_cast<BruteForce::CADTSRawFileInfo*>(record.get());
        std::int64_t end = 0;
        EXPECT_EQ(Feed(*record, image, ss, 0, end), 1) << c.what;
        EXPECT_EQ(record->m_size, c.size) << c.what;
        // Cleared where it voided the size; kept (and harmless) otherwise.
        EXPECT_EQ(adts->m_overflow, c.overflow && c.size > 0) << c.what;
        std::unique_ptr<CRawFileInfo> other(a.CreateRawFileInfo());
        EXPECT_EQ(Feed(*other, image, ss, 0, end), 1);
        EXPECT_FALSE(static_cast<BruteForce::CADTSRawFileInfo*>(other.get())->m_overflow) << c.what;
    }
}

namespace {

// A Standard MIDI file (format 1) whose track chunks have these lengths;
// a negative length is written as it is.
Bytes Midi(const std::vector<std::int64_t>& tracks) {
    Bytes out = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, static_cast<std::uint8_t>(tracks.size()), 0, 96};
    for (std::int64_t length : tracks) {
        const std::uint8_t head[8] = {'M',
                                      'T',
                                      'r',
                                      'k',
                                      static_cast<std::uint8_t>(length >> 24),
                                      static_cast<std::uint8_t>(length >> 16),
                                      static_cast<std::uint8_t>(length >> 8),
                                      static_cast<std::uint8_t>(length)};
        out.insert(out.end(), head, head + 8);
        if (length > 0) out.insert(out.end(), static_cast<std::size_t>(std::min<std::int64_t>(length, 6000)), 0x40);
    }
    return out;
}

}  // namespace

TEST(RawMusic, CraftedMidiChunkHeadersAcrossSectorsAndBlocksAndBadLengths) {
    // With 512-byte sectors and 4-sector blocks, a header at 2,044 straddles
    // the block end and one at 2,560 begins a sector (the first of a block
    // at 4,096 as well).
    struct Case {
        std::vector<std::int64_t> tracks;
        std::int64_t end;  // where the chain stops
        const char* what;
    } cases[] = {
        {{2044 - 22, 1000}, 2044 + 1008, "header across a block end"},
        {{2560 - 22, 1000}, 2560 + 1008, "header at a sector's first byte"},
        {{4096 - 22, 700}, 4096 + 708, "header at a block's first byte"},
        {{100, -5, 100}, 14 + 108, "negative length ends the chain"},
        {{100, 0x7FFFFFF0}, 14 + 108, "oversize length ends the chain"},
    };
    for (const Case& c : cases) {
        const Bytes mid = Midi(c.tracks);
        const std::int64_t want = (c.end + 511) / 512 * 512;
        CSyntheticStorageDevice dev(512);
        dev.AddBytes(mid);
        PadToSector(dev, mid.size(), 512);
        dev.AddZeros(512 * 3);
        RawSearch raw(&dev, 4);
        raw.Run();
        const std::vector<Found> files = WithExt(raw.Files(), ".MID");
        ASSERT_EQ(files.size(), 1u) << c.what;
        EXPECT_EQ(files[0].size, want) << c.what;
        // The device-side twin walks the same chain.
        FileMIDAnalyser twin;
        CRawFileInfo record;
        ASSERT_EQ(twin.GetRawFileSize(record, &dev), 1) << c.what;
        EXPECT_EQ(record.m_size, want) << c.what;
    }
}

TEST(RawMusic, CraftedAuAndAiffSizesDoNotWrapIn32Bits) {
    Bytes au(512, 0);
    std::memcpy(au.data(), ".snd", 4);
    byteorder::PutBE32(au.data() + 4, 0xFFFFFF00u);
    byteorder::PutBE32(au.data() + 8, 0xFFFFFF00u);
    FileAUAnalyser auAnalyser;
    CRawFileInfo record;
    ASSERT_EQ(auAnalyser.AnalyseBuffer(au.data(), record), 1);
    EXPECT_EQ(record.m_size, 0x1FFFFFE00LL);
    byteorder::PutBE32(au.data() + 4, 23);
    EXPECT_EQ(auAnalyser.AnalyseBuffer(au.data(), record), 0) << "a data offset inside the header";

    Bytes aiff(512, 0);
    std::memcpy(aiff.data(),
                "FORM\xFF\xFF\xFF\xFF"
                "AIFC",
                12);
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(aiff);
    CFileAIFAnalyzer aif;
    CRawFileInfo r2;
    ASSERT_EQ(aif.AnalyseBuffer(aiff.data(), r2), 1);
    ASSERT_EQ(aif.GetRawFileSize(r2, &dev), 1);
    EXPECT_EQ(r2.m_size, 0x100000007LL);
}

TEST(RawMusic, CraftedApeHeadersThatCannotBeSizedGiveNoFile) {
    const Bytes good = Sample("desc3990.ape");
    struct Case {
        std::size_t at;
        std::vector<std::uint8_t> bytes;
        const char* what;
    } cases[] = {
        {4, {0xE7, 0x03}, "version 999"},
        {4, {0x10, 0x27}, "version 10000"},
        {8, {0xFF, 0xFF, 0xFF, 0xFF}, "negative descriptor length"},
        {52 + 18, {3, 0}, "three channels"},
        {52 + 16, {0, 0}, "zero bits per sample"},
    };
    for (const Case& c : cases) {
        Bytes ape = good;
        std::copy(c.bytes.begin(), c.bytes.end(), ape.begin() + static_cast<std::ptrdiff_t>(c.at));
        ape.resize((ape.size() + 511) / 512 * 512 + 512, 0);
        BruteForce::CAPEAnalyser a;
        std::unique_ptr<CRawFileInfo> record(a.CreateRawFileInfo());
        std::int64_t end = 0;
        EXPECT_EQ(Feed(*record, ape, 512, 0, end), 1) << c.what;
        EXPECT_EQ(record->m_size, 0) << c.what;
        EXPECT_EQ(end, 0) << c.what << ": decided at the first sector";
    }
    // The 3,950 layout streams through its seek table to its APE tag.
    const Bytes old = Sample("seek3950.ape");
    Bytes image = old;
    image.resize((image.size() + 511) / 512 * 512 + 512, 0);
    BruteForce::CAPEAnalyser a;
    std::unique_ptr<CRawFileInfo> record(a.CreateRawFileInfo());
    std::int64_t end = 0;
    EXPECT_EQ(Feed(*record, image, 512, 0, end), 1);
    EXPECT_EQ(record->m_size, static_cast<std::int64_t>(old.size()));
    EXPECT_EQ(end, static_cast<std::int64_t>(old.size() / 512));
}

TEST(RawMusic, CraftedId3v2TagsNameTheSongWithinTheBytesHeld) {
    auto text = [](const std::string& s) {
        Bytes b = {0};
        b.insert(b.end(), s.begin(), s.end());
        return b;
    };
    Bytes lyrics = {0, 'e', 'n', 'g', 0};
    const std::string lrc = "xx[ti:Song]\n[ar:Lyric Artist]\n[00:01.00]la";
    lyrics.insert(lyrics.end(), lrc.begin(), lrc.end());
    // v2.4: a 200-byte picture frame whose size is synchsafe (00 00 01 48).
    Bytes v24 = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
    {
        Bytes apic = {'A', 'P', 'I', 'C', 0, 0, 0x01, 0x48, 0, 0};
        apic.resize(apic.size() + 200, 0x22);
        apic[10 + 20] = 0xFF, apic[10 + 21] = 0xD8, apic[10 + 22] = 0xFF;
        const Bytes artist = {'T', 'P', 'E', '1', 0, 0, 0, 6, 0, 0, 3, 'F', 'o', 'u', 'r', 0};
        v24.insert(v24.end(), apic.begin(), apic.end());
        v24.insert(v24.end(), artist.begin(), artist.end());
        v24[9] = static_cast<std::uint8_t>(v24.size() - 10);
        v24[8] = static_cast<std::uint8_t>((v24.size() - 10) >> 7);
        v24[9] &= 0x7F;
    }
    // A lyrics frame that claims far more than the block holds, its "[ar:"
    // unclosed: nothing past the bytes held is read.
    Bytes cut = Id3v23({{"TIT2", text("Cut")}});
    {
        const std::string open = "USLT\x3F\xFF\xFF\xFF\0\0\0eng\0zz[ar:Nobody";
        cut.insert(cut.end(), open.begin(), open.end());
        cut[9] = 0x7F, cut[8] = 0x7F, cut[7] = 0x7F, cut[6] = 0x01;
    }
    Bytes big = Id3v23({{"TIT2", text("Big")}});
    big[6] = 0x00, big[7] = 0x3D, big[8] = 0x04, big[9] = 0x40;  // 1,000,000
    struct Case {
        Bytes tag;
        std::string name;
        std::string artist;
        std::int64_t minLength;
        const char* what;
    } cases[] = {
        {Id3v23({{"TPE1", text("Artist")}, {"TIT2", text("Title")}}), "Artist_Title 5_", "Artist", -1, "v2.3"},
        {Id3v23({{"TIT2", text("Sung")}, {"USLT", lyrics}}), "Lyric Artist_Sung 5_", "Lyric Artist", -1, "lyrics"},
        // The tag (226 bytes) and the picture (its JPEG at 40, 200 bytes) raise
        // the minimum length; the walk reaches the artist after the picture.
        {v24, "Four_ 5_", "Four", 20480 + 226 + 40 + 200, "v2.4 picture"},
        {cut, "_Cut 5_", "Cut", -1, "unclosed lyrics"},
        {big, "_Big 5_", "Big", 20480 + 1000000, "a 1,000,000-byte tag"},
    };
    for (const Case& c : cases) {
        BruteForce::MP3Analyzer a;
        BruteForce::MP3RawFileInfo record(&a);
        record.m_startSector = 5;
        // Exactly the tag's bytes are held: ASan catches any read beyond.
        auto held = std::make_unique<std::uint8_t[]>(c.tag.size());
        std::memcpy(held.get(), c.tag.data(), c.tag.size());
        record.GatherTagInfo(held.get(), static_cast<std::int64_t>(c.tag.size()));
        EXPECT_EQ(record.m_rawFileName, c.name) << c.what;
        EXPECT_EQ(record.m_tag, RAW_FILE_TAG_ARTIST) << c.what;
        EXPECT_EQ(record.m_tagValue, c.artist) << c.what;
        if (c.minLength >= 0) {
            EXPECT_EQ(record.m_minLength, c.minLength) << c.what;
        }
    }
    // "ID3" with a version this reader does not know is no tag start, and
    // its bytes are no frame either.
    BruteForce::MP3Analyzer a;
    for (std::uint8_t version : {2, 5}) {
        Bytes s = Sample("v23.mp3");
        s[3] = version;
        s.resize(4096);
        CRawFileInfo temp;
        const SectorView view(s.data(), 512, 0, 8, 0);
        EXPECT_EQ(a.AnalyseBufferEx(s.data(), temp, 512, 1, 0, 8, view), 0) << int(version);
    }
}

TEST(RawMusic, CraftedTagWithoutAudioEndsTheRecordEarlyAndGivesNoFile) {
    // "ID3" with a tag but no frame within 4,095 bytes after it: a false
    // start in other data must not stay open for hundreds of megabytes.
    Bytes fake = Id3v23({{"TIT2", {0, 'N', 'o', 'n', 'e', 0}}});
    std::mt19937 rng(9);
    while (fake.size() < 64 * 512) fake.push_back(static_cast<std::uint8_t>(rng() & 0x7F));
    BruteForce::MP3Analyzer a;
    std::unique_ptr<CRawFileInfo> record(a.CreateRawFileInfo());
    std::int64_t end = 0;
    EXPECT_EQ(Feed(*record, fake, 512, 0, end), 1);
    EXPECT_EQ(record->m_size, 0);
    EXPECT_LE(end, static_cast<std::int64_t>((fake.size() - 64 * 512 + 4200) / 512 + 9));
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(fake).AddZeros(512 * 4);
    RawSearch raw(&dev);
    raw.Run();
    EXPECT_TRUE(WithExt(raw.Files(), ".MP3").empty());
}

TEST(RawMusic, ZeroTailEndIsRefinedOnTheDeviceAndStandsWhereTheWalkFindsNothing) {
    // v23.mp3 ends in a sector of fill bytes and zeros: the end tests give
    // 47 sectors and 480 bytes (the last 32 are zero) ...
    const Bytes song = Sample("v23.mp3");
    Bytes image = song;
    image.resize((image.size() + 511) / 512 * 512 + 1024, 0);
    BruteForce::MP3Analyzer a;
    std::unique_ptr<CRawFileInfo> record(a.CreateRawFileInfo());
    record->m_analyser = &a;
    std::int64_t end = 0;
    ASSERT_EQ(Feed(*record, image, 512, 0, end), 1);
    auto* mp3 = static_cast<BruteForce::MP3RawFileInfo*>(record.get());
    EXPECT_EQ(end, 47);
    EXPECT_EQ(mp3->m_streamSize, 47 * 512 + 512 - 32);
    EXPECT_EQ(record->m_size, 0) << "left to the device";
    // ... the device walk the last frame's end ...
    record->WillBeRemove(nullptr, -1);
    ASSERT_EQ(record->m_analyser, a.Twin());
    CSyntheticStorageDevice dev(512);
    dev.AddBytes(image);
    ASSERT_EQ(a.Twin()->GetRawFileSize(*record, &dev), 1);
    EXPECT_EQ(record->m_size, static_cast<std::int64_t>(song.size()));
    // ... and where the device holds no song, the end tests' size stands.
    CSyntheticStorageDevice junk(512);
    junk.AddZeros(image.size());
    record->m_size = 0;
    ASSERT_EQ(a.Twin()->GetRawFileSize(*record, &junk), 1);
    EXPECT_EQ(record->m_size, 47 * 512 + 512 - 32);
}

TEST(RawMusic, EveryAudioKeyHoldsAWrittenAnalyser) {
    CRawFileAnalyserListSingle& r = *CRawFileAnalyserListSingle::CreateInstance();
    r.ReinitAnalyzeList(nullptr);
    const std::string mine[] = {"BruteForce::MP3Analyzer", "BruteForce::CAPEAnalyser", "BruteForce::CADTSAnalyser",
                                "RawSpeed::MIDAnalyser",   "CFileAIFAnalyzer",         "FileAUAnalyser"};
    int mp3Keys = 0;
    auto check = [&](IRawFileAnalyser* a) {
        if (dynamic_cast<BruteForce::MP3Analyzer*>(a)) ++mp3Keys;
        if (auto* p = dynamic_cast<CPendingAnalyser*>(a)) {
            for (const std::string& name : mine) {
                EXPECT_NE(p->ClassName(), name);
            }
        }
    };
    for (int set : {0, 1}) {
        for (auto& [key, a] : r.GetAnalyserMap(set)) check(a);
        for (auto& [key, a] : r.GetAnalyserMultimap(set)) check(a);
    }
    EXPECT_EQ(mp3Keys, 2 * 19);
}
