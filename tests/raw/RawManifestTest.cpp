// Every committed sample of the raw-search groups, laid at sector boundaries
// between zero and seeded random gaps, is found with its type, name and size,
// and its bytes read back through the recovery writer equal the sample.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
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

// Lays every sample at a sector boundary: the sample, zeros to the sector
// end, `zeroGap` zero sectors, then (for odd seeds, counting from
// `firstSeed`) random bytes behind one more zero sector. Random bytes straight
// after a file would be part of its last rounded sector, hence the zeros.
// Returns each sample's start sector.
std::vector<std::int64_t> LayOut(const std::vector<Row>& rows, std::uint32_t ss, CSyntheticStorageDevice& dev,
                                 std::uint32_t zeroGap, std::uint64_t firstSeed) {
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
    return starts;
}

// True when the found name matches the pattern, or one of its " || "
// alternatives (a name some tags may or may not give).
bool NameMatches(const std::string& name, const std::string& patterns, std::int64_t start) {
    for (std::size_t from = 0; from != std::string::npos;) {
        const std::size_t bar = patterns.find(" || ", from);
        const std::string one = patterns.substr(from, bar == std::string::npos ? bar : bar - from);
        if (std::regex_match(name, NamePattern(one, start))) return true;
        from = bar == std::string::npos ? bar : bar + 4;
    }
    return false;
}

// A group's own check of one found sample: its row, the hit checked for
// name, size and bytes, every file found at the same start (a tagged file
// is handed over once more for the tag tree), and the search.
using ExtraCheck =
    std::function<void(const Row& r, const Found& hit, const std::vector<const Found*>& hits, RawSearch& raw)>;

struct GroupCheck {
    std::size_t minRows = 10;
    std::uint32_t zeroGap = 1;  // enough zero sectors for a page walk to see its run of empty pages
    std::uint64_t firstSeed = 31;
    bool firstHit = false;         // check the first file found at the start, not the last
    bool checksExtension = false;  // the name ends with the type's extension
    int blockSectors = 0;          // the search's block; 0 = 4 MiB
    ExtraCheck extra;
};

// Lays every sample of a group out, searches, and checks each: a row of
// type 0 is not found; any other is found at its start with its name
// pattern, its size (rounded up to the sector when the row says so), and its
// bytes read back (zeros past the data up to that size); then the group's
// own check.
void CheckGroup(const std::string& group, std::uint32_t ss, const GroupCheck& check) {
    const std::vector<Row> rows = Manifest(group);
    ASSERT_GE(rows.size(), check.minRows);
    CSyntheticStorageDevice dev(ss);
    const std::vector<std::int64_t> starts = LayOut(rows, ss, dev, check.zeroGap, check.firstSeed);
    RawSearch raw(&dev, check.blockSectors);
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
        const Found* hit = check.firstHit ? hits.front() : hits.back();
        EXPECT_TRUE(NameMatches(hit->name, r.name, starts[i])) << r.file << ": " << hit->name;
        if (check.checksExtension) {
            EXPECT_EQ(hit->name.substr(hit->name.rfind('.') + 1), g_s_strFileExtName[r.type]) << r.file;
        }
        std::int64_t want = r.size;
        if (r.rounds) want = (want + ss - 1) / ss * ss;
        EXPECT_EQ(hit->size, want) << r.file;
        std::vector<std::uint8_t> expected = r.bytes;
        expected.resize(static_cast<std::size_t>(want), 0);
        EXPECT_EQ(raw.Read(hit->node), expected) << r.file;
        if (check.extra) check.extra(r, *hit, hits, raw);
    }
}

// A tagged row sits in the tag tree in the "MOV/<value>" folder.
void InMovFolder(const Row& r, const Found& hit, const std::vector<const Found*>&, RawSearch& raw) {
    if (r.tag < 0) return;
    const std::string path = raw.builder.PathBelow(hit.node, 1000);
    EXPECT_EQ(path.substr(0, path.rfind('/')), "MOV/" + r.value) << r.file;
}

class RawManifest : public ::testing::TestWithParam<std::uint32_t> {};

}  // namespace

TEST_P(RawManifest, ImagesGroupIsFoundWholeAndByteExact) {
    GroupCheck check;
    check.firstSeed = 11;
    CheckGroup("images", GetParam(), check);
}

// Blocks of 16 sectors: the search's ring of recent blocks wraps every few
// dozen sectors, so headers, ends and the block before the current one are
// met at every place of the ring, the wrap included.
TEST_P(RawManifest, SmallBlocksThatWrapTheRingFindTheSameFiles) {
    for (const char* group : {"images", "documents"}) {
        SCOPED_TRACE(group);
        GroupCheck check;
        check.firstSeed = std::string(group) == "images" ? 11 : 21;
        check.blockSectors = 16;
        CheckGroup(group, GetParam(), check);
    }
}

// Documents: every end rule stops at the sample's last byte (the zero
// padding after a text, or after a PDF's last "%%EOF" line, is no part of
// it), and a PDF with an Info dictionary is filed in the tag tree under its
// value.
TEST_P(RawManifest, DocumentsGroupIsFoundWithTypeNameTagAndSize) {
    GroupCheck check;
    check.firstSeed = 21;
    check.extra = [](const Row& r, const Found& hit, const std::vector<const Found*>&, RawSearch& raw) {
        if (r.tag != 4) return;
        EXPECT_EQ(raw.builder.PathBelow(hit.node, 1000), "PDF/" + r.value + "/" + hit.name) << r.file;
    };
    CheckGroup("documents", GetParam(), check);
}

TEST_P(RawManifest, VideoGroupIsFoundWholeAndByteExact) {
    GroupCheck check;
    check.extra = InMovFolder;
    CheckGroup("video", GetParam(), check);
}

// The office group: compound files and the ZIP family. Besides name, size
// and bytes, a tagged document sits in the tag tree under its value folder
// and its Office group ("Office/Word/<value>/<file>").
TEST_P(RawManifest, OfficeGroupIsFoundWholeAndByteExact) {
    setenv("TZ", "UTC", 1);
    tzset();
    std::setlocale(LC_ALL, "C.UTF-8");
    GroupCheck check;
    check.minRows = 20;
    check.firstHit = true;
    check.extra = [](const Row& r, const Found&, const std::vector<const Found*>& hits, RawSearch& raw) {
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
    };
    CheckGroup("office", GetParam(), check);
}

TEST_P(RawManifest, DatabasesGroupIsFoundWholeAndByteExact) {
    GroupCheck check;
    check.zeroGap = 8;
    check.firstSeed = 11;
    check.extra = InMovFolder;
    CheckGroup("databases", GetParam(), check);
}

// Camera photos sit in the tag tree under "Camera" (-15), in their camera's
// folder.
TEST_P(RawManifest, PhotosGroupIsFoundWholeByteExactAndFiledByCamera) {
    GroupCheck check;
    check.minRows = 12;
    check.firstSeed = 29;
    check.checksExtension = true;
    check.extra = [](const Row& r, const Found& hit, const std::vector<const Found*>&, RawSearch& raw) {
        if (r.tag == 1) {
            EXPECT_EQ(raw.builder.PathBelow(hit.node, -15), r.value + "/" + hit.name) << r.file;
        }
    };
    CheckGroup("photos", GetParam(), check);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, RawManifest, ::testing::Values(512u, 4096u));

// The audio group: the same layout, and songs with an artist sit under
// "Artists/<artist>" in the tag tree.
namespace {
class RawMusicManifest : public ::testing::TestWithParam<std::uint32_t> {};
}  // namespace

TEST_P(RawMusicManifest, MusicGroupIsFoundWholeAndByteExactWithArtistFolders) {
    GroupCheck check;
    check.minRows = 12;
    check.checksExtension = true;
    check.extra = [](const Row& r, const Found& hit, const std::vector<const Found*>&, RawSearch& raw) {
        const std::string path = raw.builder.PathBelow(hit.node, -1);
        if (r.tag == 0) {
            EXPECT_NE(path.find("Artists/" + r.value + "/"), std::string::npos) << r.file << ": " << path;
        } else {
            EXPECT_EQ(path.find("Artists/"), std::string::npos) << r.file << ": " << path;
        }
    };
    CheckGroup("music", GetParam(), check);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, RawMusicManifest, ::testing::Values(512u, 4096u));
