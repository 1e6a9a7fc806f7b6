#pragma once
// The truth tables beside the prebuilt images (tests/data/NAME.img.truth.tsv):
// one row per file written to the image, deleted or not, with its size and
// SHA-256.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace quillory_test {

struct TruthRow {
    std::string path;
    bool deleted = false;
    std::uint64_t size = 0;
    std::string sha256;
};

inline std::vector<TruthRow> ReadTruth(const std::string& name) {
    std::vector<TruthRow> rows;
    const std::string file = std::string(QUILLORY_SOURCE_DIR) + "/tests/data/" + name + ".img.truth.tsv";
    FILE* f = std::fopen(file.c_str(), "r");
    if (!f) return rows;
    char line[4096];
    bool header = true;
    while (std::fgets(line, sizeof line, f)) {
        if (header) {
            header = false;
            continue;
        }
        std::vector<std::string> cols(1);
        for (char* p = line; *p && *p != '\n'; ++p) {
            if (*p == '\t')
                cols.emplace_back();
            else
                cols.back().push_back(*p);
        }
        if (cols.size() < 8) continue;
        rows.push_back({cols[4], cols[5] == "1", std::strtoull(cols[6].c_str(), nullptr, 10), cols[7]});
    }
    std::fclose(f);
    return rows;
}

}  // namespace quillory_test
