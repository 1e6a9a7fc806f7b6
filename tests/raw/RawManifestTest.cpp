// Every committed sample of the raw-search groups, laid at sector boundaries
// between zero and seeded random gaps, is found with its type, name and size,
// and its bytes read back through the recovery writer equal the sample.
#include <gtest/gtest.h>

#include <fstream>
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
