#pragma once
// Small helpers for the platform tests: a scratch folder removed at the end,
// files written in one call, shell commands whose failure fails the test.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace platform_test {

class ScratchDir {
public:
    ScratchDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quillory-platform-XXXXXX").string();
        char* p = mkdtemp(tmpl.data());
        if (p)
            m_path = p;
    }
    ~ScratchDir()
    {
        std::error_code ec;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& rel) const { return m_path + "/" + rel; }

private:
    std::string m_path;
};

inline void WriteFile(const std::string& path, const std::string& content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Runs a shell command quietly; true when it exits with 0.
inline bool Shell(const std::string& cmd)
{
    std::string full = "{ " + cmd + " ; } >/dev/null 2>&1";
    return std::system(full.c_str()) == 0;
}

} // namespace platform_test
