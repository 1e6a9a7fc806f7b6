#pragma once
// Fixtures of the storage tests: pattern image files in a temporary folder
// and loop devices made from them (root only), always removed again.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace storage_test {

// Every little-endian u64 of 512-byte unit j of a pattern image holds j, so a
// sector of any size is recognisable from its first word.
inline std::uint64_t PatternWord(const void* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline bool UnitsHoldPattern(const std::uint8_t* p, std::uint64_t firstUnit, std::size_t units) {
    for (std::size_t u = 0; u < units; ++u)
        for (std::size_t w = 0; w < 512; w += 8)
            if (PatternWord(p + u * 512 + w) != firstUnit + u) return false;
    return true;
}

inline bool AllZero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

inline bool AllByte(const std::uint8_t* p, std::size_t n, std::uint8_t b) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != b) return false;
    return true;
}

class TempDir : public quillory_test::TempDir {
public:
    TempDir() : quillory_test::TempDir("quillory-storage") {
        if (!Path().empty()) chmod(Path().c_str(), 0755);
    }
};

// Writes `bytes` bytes of the pattern (cut to `bytes`, so a partial last unit
// is possible). Returns false on failure.
inline bool WritePatternFile(const std::string& path, std::uint64_t bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::vector<std::uint8_t> chunk(1 << 20);
    bool ok = true;
    for (std::uint64_t off = 0; off < bytes && ok; off += chunk.size()) {
        for (std::size_t w = 0; w < chunk.size(); w += 8) {
            const std::uint64_t v = (off + w) / 512;
            std::memcpy(chunk.data() + w, &v, 8);
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), bytes - off));
        ok = ::pwrite(fd, chunk.data(), n, static_cast<off_t>(off)) == static_cast<ssize_t>(n);
    }
    ::close(fd);
    return ok;
}

inline std::string RunCommand(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// A loop device on an image file, detached when it goes out of scope.
class LoopDevice {
public:
    LoopDevice(const std::string& image, unsigned sectorSize, bool partitions) {
        std::string cmd = "losetup -f --show";
        if (sectorSize != 512) cmd += " --sector-size " + std::to_string(sectorSize);
        if (partitions) cmd += " -P";
        m_path = RunCommand(cmd + " '" + image + "' 2>/dev/null");
        if (m_path.rfind("/dev/loop", 0) != 0) {
            m_path.clear();
            return;
        }
        // No udev runs here: have the kernel list the partitions; devtmpfs
        // then makes the nodes.
        if (partitions) RunCommand("partx -a " + m_path + " 2>/dev/null");
    }
    ~LoopDevice() {
        if (!m_path.empty()) RunCommand("losetup -d " + m_path + " 2>/dev/null");
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    bool Ok() const { return !m_path.empty(); }
    // Has the kernel list partitions written after the attach.
    void Rescan() const {
        if (!m_path.empty()) RunCommand("partx -a " + m_path + " 2>/dev/null");
    }
    const std::string& Path() const { return m_path; }
    // "/dev/loopNpK", waiting briefly for the node to appear.
    std::string Partition(int k) const {
        const std::string p = m_path + "p" + std::to_string(k);
        for (int i = 0; i < 50; ++i) {
            struct stat st;
            if (::stat(p.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return p;
            ::usleep(20000);
        }
        return std::string();
    }

private:
    std::string m_path;
};

inline bool IsRoot() { return ::geteuid() == 0; }

}  // namespace storage_test
