// Every committed sample of the raw-search groups, laid at sector boundaries
// between zero and seeded random gaps, is found with its type, name and size,
// and its bytes read back through the recovery writer equal the sample.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "RawSearchSupport.h"
#include "storage/SyntheticDevice.h"

using rawtest::Found;
using rawtest::RawSearch;

namespace {

struct Row {
    std::string file;
    std::uint32_t type = 0;
    std::int64_t size = 0;
    std::string name;
    bool rounds = false;
    int tag = -1;
    std::string value;
    std::vector<std::uint8_t> bytes;
};

std::vector<Row> Manifest(const std::string& group) {
    const std::string dir = std::string(QUILLORY_SOURCE_DIR) + "/tests/data/raw/" + group + "/";
    std::ifstream in(dir + "manifest.tsv");
    std::vector<Row> rows;
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string cell; std::getline(ss, cell, '\t');) f.push_back(cell);
        f.resize(7);
        Row r;
        r.file = f[0];
        r.type = static_cast<std::uint32_t>(std::stoul(f[1]));
        r.size = std::stoll(f[2]);
        r.name = f[3];
        r.rounds = f[6] == "1";
        r.tag = f[4].empty() ? -1 : std::stoi(f[4]);
        r.value = f[5];
        std::ifstream b(dir + r.file, std::ios::binary);
        r.bytes.assign(std::istreambuf_iterator<char>(b), std::istreambuf_iterator<char>());
        rows.push_back(std::move(r));
    }
    return rows;
}

// The name pattern with the start sector filled in, as a regular expression.
std::regex NamePattern(std::string pattern, std::int64_t start) {
    std::string out;
    for (std::size_t i = 0; i < pattern.size();) {
        if (pattern.compare(i, 7, "{start}") == 0) {
            out += std::to_string(start);
            i += 7;
        } else if (pattern.compare(i, 5, "{end}") == 0) {
            out += "[0-9]+";
            i += 5;
        } else if (pattern.compare(i, 6, "{date}") == 0) {
            out += "[0-9]{4}(-[0-9]{2}){5}";
            i += 6;
        } else if (pattern.compare(i, 3, "{n}") == 0) {
            out += "[0-9]{3}";
            i += 3;
        } else {
            if (std::string(".[]()*+?^$\\|").find(pattern[i]) != std::string::npos) out += '\\';
            out += pattern[i++];
        }
    }
    return std::regex(out);
}

class RawManifest : public ::testing::TestWithParam<std::uint32_t> {};

}  // namespace

TEST_P(RawManifest, ImagesGroupIsFoundWholeAndByteExact) {
    const std::uint32_t ss = GetParam();
    const std::vector<Row> rows = Manifest("images");
    ASSERT_GE(rows.size(), 10u);
    CSyntheticStorageDevice dev(ss);
    std::vector<std::int64_t> starts;
    dev.AddZeros(ss * 3);
    std::uint64_t seed = 11;
    for (const Row& r : rows) {
        starts.push_back(static_cast<std::int64_t>(dev.GetTotalSectors()));
        dev.AddBytes(r.bytes);
        // Pad to the sector end, then a gap: zeros, or random bytes behind a
        // zero sector (random bytes straight after a file would be part of
        // its last rounded sector).
        const std::uint64_t rest = (ss - r.bytes.size() % ss) % ss;
        if (rest) dev.AddZeros(rest);
        dev.AddZeros(ss);
        if (seed % 2) dev.AddRandom(ss * 5, seed);
        dev.AddZeros(ss);
        ++seed;
    }
    RawSearch raw(&dev);
    raw.Run();
    const std::vector<Found> files = raw.Files();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        const Found* hit = nullptr;
        for (const Found& f : files)
            if (f.start == starts[i]) hit = &f;
        if (r.type == 0) {
            EXPECT_EQ(hit, nullptr) << r.file;
            continue;
        }
        ASSERT_NE(hit, nullptr) << r.file << " at " << starts[i];
        EXPECT_TRUE(std::regex_match(hit->name, NamePattern(r.name, starts[i]))) << r.file << ": " << hit->name;
        std::int64_t want = r.size;
        if (r.rounds) want = (want + ss - 1) / ss * ss;
        EXPECT_EQ(hit->size, want) << r.file;
        std::vector<std::uint8_t> expected = r.bytes;
        expected.resize(static_cast<std::size_t>(want), 0);
        EXPECT_EQ(raw.Read(hit->node), expected) << r.file;
    }
}

// Documents: the text formats end by their zero-tail rules (the manifest
// holds the size those give), and a PDF with an Info dictionary is filed in
// the tag tree under its value.
TEST_P(RawManifest, DocumentsGroupIsFoundWithTypeNameTagAndSize) {
    const std::uint32_t ss = GetParam();
    const std::vector<Row> rows = Manifest("documents");
    ASSERT_GE(rows.size(), 10u);
    CSyntheticStorageDevice dev(ss);
    std::vector<std::int64_t> starts;
    dev.AddZeros(ss * 3);
    std::uint64_t seed = 21;
    for (const Row& r : rows) {
        starts.push_back(static_cast<std::int64_t>(dev.GetTotalSectors()));
        dev.AddBytes(r.bytes);
        const std::uint64_t rest = (ss - r.bytes.size() % ss) % ss;
        if (rest) dev.AddZeros(rest);
        dev.AddZeros(ss);
        if (seed % 2) dev.AddRandom(ss * 5, seed);
        dev.AddZeros(ss);
        ++seed;
    }
    RawSearch raw(&dev);
    raw.Run();
    const std::vector<Found> files = raw.Files();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        const Found* hit = nullptr;
        for (const Found& f : files)
            if (f.start == starts[i]) hit = &f;
        ASSERT_NE(hit, nullptr) << r.file << " at " << starts[i];
        EXPECT_TRUE(std::regex_match(hit->name, NamePattern(r.name, starts[i]))) << r.file << ": " << hit->name;
        std::int64_t want = r.size;
        if (r.rounds) want = (want + ss - 1) / ss * ss;
        EXPECT_EQ(hit->size, want) << r.file;
        std::vector<std::uint8_t> expected = r.bytes;
        expected.resize(static_cast<std::size_t>(want), 0);
        EXPECT_EQ(raw.Read(hit->node), expected) << r.file;
        if (r.tag == 4) {
            const std::string path = raw.builder.PathBelow(hit->node, 1000);
            EXPECT_EQ(path, "PDF/" + r.value + "/" + hit->name) << r.file;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, RawManifest, ::testing::Values(512u, 4096u));

namespace {

// The tag column (-1 = none) and its value, by file name.
std::map<std::string, std::pair<int, std::string>> ManifestTags(const std::string& group) {
    std::ifstream in(std::string(QUILLORY_SOURCE_DIR) + "/tests/data/raw/" + group + "/manifest.tsv");
    std::map<std::string, std::pair<int, std::string>> tags;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string cell; std::getline(ss, cell, '\t');) f.push_back(cell);
        f.resize(7);
        tags[f[0]] = {f[4].empty() ? -1 : std::stoi(f[4]), f[5]};
    }
    return tags;
}

// Lays every sample of a group out between zero and random gaps, searches,
// and checks type (by name), size, bytes and, for tagged rows, the folder of
// the label tree.
// zeroGap: zero sectors after each sample, enough for a page walk to see its
// run of empty pages.
void CheckGroupFoundWholeAndByteExact(const std::string& group, std::uint32_t ss, std::uint32_t zeroGap = 1,
                                      std::uint64_t firstSeed = 31) {
    const std::vector<Row> rows = Manifest(group);
    const auto tags = ManifestTags(group);
    ASSERT_GE(rows.size(), 10u);
    CSyntheticStorageDevice dev(ss);
    std::vector<std::int64_t> starts;
    dev.AddZeros(ss * 3);
    std::uint64_t seed = firstSeed;
    for (const Row& r : rows) {
        starts.push_back(static_cast<std::int64_t>(dev.GetTotalSectors()));
        dev.AddBytes(r.bytes);
        const std::uint64_t rest = (ss - r.bytes.size() % ss) % ss;
        if (rest) dev.AddZeros(rest);
        dev.AddZeros(static_cast<std::uint64_t>(ss) * zeroGap);
        if (seed % 2) dev.AddRandom(ss * 5, seed);
        dev.AddZeros(ss);
        ++seed;
    }
    RawSearch raw(&dev);
    raw.Run();
    const std::vector<Found> files = raw.Files();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        const Found* hit = nullptr;
        for (const Found& f : files)
            if (f.start == starts[i]) hit = &f;
        if (r.type == 0) {
            EXPECT_EQ(hit, nullptr) << r.file;
            continue;
        }
        ASSERT_NE(hit, nullptr) << r.file << " at " << starts[i];
        EXPECT_TRUE(std::regex_match(hit->name, NamePattern(r.name, starts[i]))) << r.file << ": " << hit->name;
        std::int64_t want = r.size;
        if (r.rounds) want = (want + ss - 1) / ss * ss;
        EXPECT_EQ(hit->size, want) << r.file;
        std::vector<std::uint8_t> expected = r.bytes;
        expected.resize(static_cast<std::size_t>(want), 0);
        EXPECT_EQ(raw.Read(hit->node), expected) << r.file;
        const auto tag = tags.find(r.file);
        if (tag != tags.end() && tag->second.first >= 0) {
            const std::string path = raw.builder.PathBelow(hit->node, 1000);
            EXPECT_EQ(path.substr(0, path.rfind('/')), "MOV/" + tag->second.second) << r.file;
        }
    }
}

}  // namespace

TEST_P(RawManifest, VideoGroupIsFoundWholeAndByteExact) { CheckGroupFoundWholeAndByteExact("video", GetParam()); }

// The office group: compound files and the ZIP family. Besides name, size
// and bytes, a tagged document sits in the tag tree under its value folder
// and its Office group ("Office/Word/<value>/<file>").
TEST_P(RawManifest, OfficeGroupIsFoundWholeAndByteExact) {
    setenv("TZ", "UTC", 1);
    tzset();
    std::setlocale(LC_ALL, "C.UTF-8");
    const std::uint32_t ss = GetParam();
    const std::vector<Row> rows = Manifest("office");
    ASSERT_GE(rows.size(), 20u);
    CSyntheticStorageDevice dev(ss);
    std::vector<std::int64_t> starts;
    dev.AddZeros(ss * 3);
    std::uint64_t seed = 31;
    for (const Row& r : rows) {
        starts.push_back(static_cast<std::int64_t>(dev.GetTotalSectors()));
        dev.AddBytes(r.bytes);
        const std::uint64_t rest = (ss - r.bytes.size() % ss) % ss;
        if (rest) dev.AddZeros(rest);
        dev.AddZeros(ss);
        if (seed % 2) dev.AddRandom(ss * 5, seed);
        dev.AddZeros(ss);
        ++seed;
    }
    RawSearch raw(&dev);
    raw.Run();
    const std::vector<Found> files = raw.Files();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        std::vector<const Found*> hits;
        for (const Found& f : files)
            if (f.start == starts[i]) hits.push_back(&f);
        if (r.type == 0) {
            EXPECT_TRUE(hits.empty()) << r.file;
            continue;
        }
        ASSERT_FALSE(hits.empty()) << r.file << " at " << starts[i];
        const Found* hit = hits.front();
        EXPECT_TRUE(std::regex_match(hit->name, NamePattern(r.name, starts[i]))) << r.file << ": " << hit->name;
        std::int64_t want = r.size;
        if (r.rounds) want = (want + ss - 1) / ss * ss;
        EXPECT_EQ(hit->size, want) << r.file;
        std::vector<std::uint8_t> expected = r.bytes;
        expected.resize(static_cast<std::size_t>(want), 0);
        EXPECT_EQ(raw.Read(hit->node), expected) << r.file;
        // The tag tree: the same file under "Office/<group>/<value>".
        bool tagged = false;
        for (const Found* h : hits) {
            const std::string path = raw.builder.PathBelow(h->node, 1);
            if (path.find("Office/") == std::string::npos) continue;
            tagged = true;
            const std::string group = r.type == RAW_FILE_TYPE_DOC || r.type == RAW_FILE_TYPE_DOCX   ? "Word"
                                      : r.type == RAW_FILE_TYPE_XLS || r.type == RAW_FILE_TYPE_XLSX ? "Excel"
                                                                                                    : "PowerPoint";
            EXPECT_NE(path.find("Office/" + group + "/" + r.value + "/" + h->name), std::string::npos)
                << r.file << ": " << path;
        }
        EXPECT_EQ(tagged, r.tag == RAW_FILE_TAG_OFFICE) << r.file;
    }
}

TEST_P(RawManifest, DatabasesGroupIsFoundWholeAndByteExact) {
    CheckGroupFoundWholeAndByteExact("databases", GetParam(), 8, 11);
}

namespace {

// The photos group laid out as the images group is: each sample at a sector
// boundary, then a zero sector, then (every other sample) random bytes.
std::vector<std::int64_t> LayOut(const std::vector<Row>& rows, std::uint32_t ss, CSyntheticStorageDevice& dev) {
    std::vector<std::int64_t> starts;
    dev.AddZeros(ss * 3);
    std::uint64_t seed = 29;
    for (const Row& r : rows) {
        starts.push_back(static_cast<std::int64_t>(dev.GetTotalSectors()));
        dev.AddBytes(r.bytes);
        const std::uint64_t rest = (ss - r.bytes.size() % ss) % ss;
        if (rest) dev.AddZeros(rest);
        dev.AddZeros(ss);
        if (seed % 2) dev.AddRandom(ss * 5, seed);
        dev.AddZeros(ss);
        ++seed;
    }
    return starts;
}

}  // namespace

TEST_P(RawManifest, PhotosGroupIsFoundWholeByteExactAndFiledByCamera) {
    const std::uint32_t ss = GetParam();
    const std::vector<Row> rows = Manifest("photos");
    ASSERT_GE(rows.size(), 12u);
    CSyntheticStorageDevice dev(ss);
    const std::vector<std::int64_t> starts = LayOut(rows, ss, dev);
    RawSearch raw(&dev);
    raw.Run();
    const std::vector<Found> files = raw.Files();
    // The tag column of the manifest: 1 = filed under "Camera".
    std::ifstream manifest(std::string(QUILLORY_SOURCE_DIR) + "/tests/data/raw/photos/manifest.tsv");
    std::string line;
    std::getline(manifest, line);
    for (std::size_t i = 0; i < rows.size() && std::getline(manifest, line); ++i) {
        const Row& r = rows[i];
        const Found* hit = nullptr;
        for (const Found& f : files)
            if (f.start == starts[i]) hit = &f;
        if (r.type == 0) {
            EXPECT_EQ(hit, nullptr) << r.file;
            continue;
        }
        ASSERT_NE(hit, nullptr) << r.file << " at " << starts[i];
        EXPECT_TRUE(std::regex_match(hit->name, NamePattern(r.name, starts[i]))) << r.file << ": " << hit->name;
        EXPECT_EQ(hit->name.substr(hit->name.rfind('.') + 1), g_s_strFileExtName[r.type]) << r.file;
        std::vector<std::string> cells;
        std::stringstream ss2(line);
        for (std::string cell; std::getline(ss2, cell, '\t');) cells.push_back(cell);
        cells.resize(7);
        // Camera photos sit in the tag tree under "Camera" (-15), in their
        // camera's folder.
        if (cells[4] == "1") EXPECT_EQ(raw.builder.PathBelow(hit->node, -15), cells[5] + "/" + hit->name) << r.file;
        std::int64_t want = r.size;
        if (r.rounds) want = (want + ss - 1) / ss * ss;
        EXPECT_EQ(hit->size, want) << r.file;
        std::vector<std::uint8_t> expected = r.bytes;
        expected.resize(static_cast<std::size_t>(want), 0);
        EXPECT_EQ(raw.Read(hit->node), expected) << r.file;
    }
}

// The audio group: the same layout, and songs with an artist sit under
// "Artists/<artist>" in the tag tree.
namespace {
class RawMusicManifest : public ::testing::TestWithParam<std::uint32_t> {};
}  // namespace

TEST_P(RawMusicManifest, MusicGroupIsFoundWholeAndByteExactWithArtistFolders) {
    const std::uint32_t ss = GetParam();
    const std::string dir = std::string(QUILLORY_SOURCE_DIR) + "/tests/data/raw/music/";
    const std::vector<Row> rows = Manifest("music");
    ASSERT_GE(rows.size(), 12u);
    std::vector<std::pair<int, std::string>> tags;  // by row: tag, value
    {
        std::ifstream in(dir + "manifest.tsv");
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::vector<std::string> f;
            std::stringstream cells(line);
            for (std::string cell; std::getline(cells, cell, '\t');) f.push_back(cell);
            f.resize(7);
            tags.emplace_back(std::stoi(f[4]), f[5]);
        }
    }
    CSyntheticStorageDevice dev(ss);
    std::vector<std::int64_t> starts;
    dev.AddZeros(ss * 3);
    std::uint64_t seed = 31;
    for (const Row& r : rows) {
        starts.push_back(static_cast<std::int64_t>(dev.GetTotalSectors()));
        dev.AddBytes(r.bytes);
        const std::uint64_t rest = (ss - r.bytes.size() % ss) % ss;
        if (rest) dev.AddZeros(rest);
        dev.AddZeros(ss);
        if (seed % 2) dev.AddRandom(ss * 5, seed);
        dev.AddZeros(ss);
        ++seed;
    }
    RawSearch raw(&dev);
    raw.Run();
    const std::vector<Found> files = raw.Files();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        const Found* hit = nullptr;
        for (const Found& f : files)
            if (f.start == starts[i]) hit = &f;
        if (r.type == 0) {
            EXPECT_EQ(hit, nullptr) << r.file;
            continue;
        }
        ASSERT_NE(hit, nullptr) << r.file << " at " << starts[i];
        bool named = false;
        for (std::size_t from = 0; from != std::string::npos;) {
            const std::size_t bar = r.name.find(" || ", from);
            const std::string one = r.name.substr(from, bar == std::string::npos ? bar : bar - from);
            named = named || std::regex_match(hit->name, NamePattern(one, starts[i]));
            from = bar == std::string::npos ? bar : bar + 4;
        }
        EXPECT_TRUE(named) << r.file << ": " << hit->name;
        EXPECT_EQ(hit->name.substr(hit->name.rfind('.') + 1), g_s_strFileExtName[r.type]) << r.file;
        std::int64_t want = r.size;
        if (r.rounds) want = (want + ss - 1) / ss * ss;
        EXPECT_EQ(hit->size, want) << r.file;
        std::vector<std::uint8_t> expected = r.bytes;
        expected.resize(static_cast<std::size_t>(want), 0);
        EXPECT_EQ(raw.Read(hit->node), expected) << r.file;
        const std::string path = raw.builder.PathBelow(hit->node, -1);
        if (tags[i].first == 0) {
            EXPECT_NE(path.find("Artists/" + tags[i].second + "/"), std::string::npos) << r.file << ": " << path;
        } else {
            EXPECT_EQ(path.find("Artists/"), std::string::npos) << r.file << ": " << path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, RawMusicManifest, ::testing::Values(512u, 4096u));
