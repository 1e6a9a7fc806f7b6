#pragma once
// Test helpers shared by every test folder: a temporary folder removed with
// everything in it when the test ends, and whole-file byte reads and writes.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

namespace quillory_test {

// mkdtemp under the first base folder that accepts it ("/tmp" unless given);
// Path() is empty when none did, so tests fail on their first file instead of
// writing somewhere unexpected.
class TempDir {
public:
    explicit TempDir(const std::string& prefix, std::initializer_list<std::string> bases = {"/tmp"}) {
        for (const std::string& base : bases) {
            std::string pattern = base + "/" + prefix + "-XXXXXX";
            if (const char* made = mkdtemp(pattern.data())) {
                m_path = made;
                break;
            }
        }
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// The whole file, or nothing when it cannot be opened.
inline std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<std::uint8_t> b(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
    return b;
}

inline void WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace quillory_test
