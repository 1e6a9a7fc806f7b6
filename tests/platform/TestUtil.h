#pragma once
// Small helpers for the platform tests: a scratch folder removed at the end,
// files written in one call, shell commands whose failure fails the test.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/TempDir.h"

namespace platform_test {

// Under $TMPDIR (or /tmp), with the path()/operator/ spelling these tests use.
class ScratchDir : public quillory_test::TempDir {
public:
    ScratchDir() : TempDir("quillory-platform", {std::filesystem::temp_directory_path().string()}) {}
    const std::string& path() const { return Path(); }
    std::string operator/(const std::string& rel) const { return File(rel); }
};

inline void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Runs a shell command quietly; true when it exits with 0.
inline bool Shell(const std::string& cmd) {
    std::string full = "{ " + cmd + " ; } >/dev/null 2>&1";
    return std::system(full.c_str()) == 0;
}

}  // namespace platform_test
