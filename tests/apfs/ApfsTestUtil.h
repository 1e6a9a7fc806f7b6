#pragma once
// Helpers shared by the APFS tests: little-endian writers, hand-built nodes,
// devices over bytes and image files, and the fixture images.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/StorageDevice.h"
#include "support/Fixture.h"
#include "support/TruthTable.h"

namespace apfstest {

inline void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    put16(b, at, static_cast<std::uint16_t>(v));
    put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
    put32(b, at, static_cast<std::uint32_t>(v));
    put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}

// A device over bytes in memory, read-only.
class MemoryDevice : public IStorageDevice {
public:
    MemoryDevice(std::vector<std::uint8_t> bytes, std::uint32_t sectorSize = 512)
        : m_bytes(std::move(bytes)), m_sectorSize(sectorSize) {}
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override {
        {
            // The read-ahead cache's producer thread reads too.
            std::lock_guard<std::mutex> guard(readsLock);
            reads.emplace_back(first, count);
        }
        if (first < 0 || count < 0 || m_sectorSize == 0) return 0;
        std::uint64_t at = static_cast<std::uint64_t>(first) * m_sectorSize;
        std::uint64_t n = static_cast<std::uint64_t>(count) * m_sectorSize;
        if (at >= m_bytes.size()) return 0;
        std::uint64_t have = std::min<std::uint64_t>(n, m_bytes.size() - at);
        std::memcpy(buffer, m_bytes.data() + at, have);
        std::memset(static_cast<char*>(buffer) + have, 0, n - have);
        return 1;
    }
    std::uint32_t GetSectorSize() override { return m_sectorSize; }
    std::int64_t GetTotalSectors() override {
        return m_sectorSize ? static_cast<std::int64_t>(m_bytes.size() / m_sectorSize) : 0;
    }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData* data) override { delete data; }
    int GetType() override { return STORAGE_DEVICE_VOLUME; }
    EngineResult GetLastError() override { return 0; }

    std::vector<std::uint8_t>& Bytes() { return m_bytes; }
    std::vector<std::pair<std::int64_t, std::int64_t>> reads;
    std::mutex readsLock;

private:
    std::vector<std::uint8_t> m_bytes;
    std::uint32_t m_sectorSize;
};

// A read-only device over an image file; reads past the end are zeros.
class FileDevice : public IStorageDevice {
public:
    explicit FileDevice(const std::string& path, std::uint32_t sectorSize = 512) : m_sectorSize(sectorSize) {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (m_fd >= 0 && ::fstat(m_fd, &st) == 0) m_size = static_cast<std::uint64_t>(st.st_size);
    }
    ~FileDevice() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    int Open(char*) override { return m_fd >= 0; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override {
        {
            // The read-ahead cache's producer thread reads too.
            std::lock_guard<std::mutex> guard(readsLock);
            reads.emplace_back(first, count);
        }
        if (first < 0 || count < 0) return 0;
        std::uint64_t at = static_cast<std::uint64_t>(first) * m_sectorSize;
        std::uint64_t n = static_cast<std::uint64_t>(count) * m_sectorSize;
        if (at >= m_size) return 0;
        std::memset(buffer, 0, n);
        std::uint64_t have = std::min<std::uint64_t>(n, m_size - at);
        auto* out = static_cast<char*>(buffer);
        while (have > 0) {
            ssize_t got = ::pread(m_fd, out, have, static_cast<off_t>(at));
            if (got <= 0) return 0;
            out += got;
            at += static_cast<std::uint64_t>(got);
            have -= static_cast<std::uint64_t>(got);
        }
        return 1;
    }
    std::uint32_t GetSectorSize() override { return m_sectorSize; }
    std::int64_t GetTotalSectors() override { return static_cast<std::int64_t>(m_size / m_sectorSize); }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData* data) override { delete data; }
    int GetType() override { return STORAGE_DEVICE_VOLUME; }
    EngineResult GetLastError() override { return 0; }
    std::vector<std::pair<std::int64_t, std::int64_t>> reads;
    std::mutex readsLock;

private:
    int m_fd = -1;
    std::uint64_t m_size = 0;
    std::uint32_t m_sectorSize;
};

inline std::string RunCommand(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

// A scratch folder in the build dir, removed when the test binary ends.
inline const std::string& ScratchDir() {
    static std::string dir = [] {
        std::string base = std::string(QUILLORY_BINARY_DIR) + "/apfs-scratch";
        std::filesystem::create_directories(base);
        std::string tmpl = base + "/run-XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        const char* made = ::mkdtemp(name.data());
        std::string path = made ? made : base;
        static struct Cleaner {
            std::string p;
            ~Cleaner() {
                std::error_code ec;
                std::filesystem::remove_all(p, ec);
            }
        } cleaner{path};
        return path;
    }();
    return dir;
}

// The prebuilt container, unpacked once per process.
inline std::string PrebuiltImage() {
    static std::string path = [] {
        std::string archive = std::string(QUILLORY_SOURCE_DIR) + "/tests/data/apfs.img.tar.xz";
        RunCommand("tar -xJf '" + archive + "' -C '" + ScratchDir() + "' 2>&1");
        return ScratchDir() + "/apfs.img";
    }();
    return path;
}

// An empty mkapfs container labelled "MyVol", made once per process.
inline std::string MkapfsImage() {
    static std::string path = [] {
        return quillory_test::MakeFixtures("make_apfs_image.sh", ScratchDir() + "/mkapfs.img", {"MyVol"});
    }();
    return path;
}

inline std::vector<std::uint8_t> ReadFileBytes(const std::string& path, std::uint64_t offset, std::size_t n) {
    std::vector<std::uint8_t> out(n, 0);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    std::fseek(f, static_cast<long>(offset), SEEK_SET);
    std::size_t got = std::fread(out.data(), 1, n, f);
    out.resize(got);
    std::fclose(f);
    return out;
}

// --- hand-built nodes ------------------------------------------------------

inline std::vector<std::uint8_t> ObjectHeader(std::uint64_t oid, std::uint16_t type, std::uint16_t subtype,
                                              std::uint16_t typeFlags = 0) {
    std::vector<std::uint8_t> b(4096, 0);
    put64(b, 8, oid);
    put64(b, 16, 1);
    put16(b, 24, type);
    put16(b, 26, typeFlags);
    put16(b, 28, subtype);
    return b;
}

struct Entry {
    std::vector<std::uint8_t> key;
    std::vector<std::uint8_t> value;
};

// A file-system tree node with variable-size entries laid out as APFS does:
// keys from the start of the key area, values from the end of the value area.
inline std::vector<std::uint8_t> FsTreeNode(std::uint16_t flags, const std::vector<Entry>& entries,
                                            std::uint16_t tableLength = 0x100) {
    std::vector<std::uint8_t> b = ObjectHeader(1000, 3, 14);
    put16(b, 32, flags);
    put32(b, 36, static_cast<std::uint32_t>(entries.size()));
    put16(b, 40, 0);
    put16(b, 42, tableLength);
    const std::size_t trailer = (flags == 1 || flags == 3) ? 40 : 0;
    const std::size_t keyArea = 56 + tableLength;
    std::size_t keyOff = 0, valOff = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        valOff += e.value.size();
        put16(b, 56 + i * 8, static_cast<std::uint16_t>(keyOff));
        put16(b, 56 + i * 8 + 2, static_cast<std::uint16_t>(e.key.size()));
        put16(b, 56 + i * 8 + 4, static_cast<std::uint16_t>(valOff));
        put16(b, 56 + i * 8 + 6, static_cast<std::uint16_t>(e.value.size()));
        std::memcpy(b.data() + keyArea + keyOff, e.key.data(), e.key.size());
        std::memcpy(b.data() + 4096 - trailer - valOff, e.value.data(), e.value.size());
        keyOff += (e.key.size() + 7) & ~std::size_t(7);
    }
    return b;
}

inline std::vector<std::uint8_t> KeyHead(std::uint8_t kind, std::uint64_t oid, std::size_t size = 8) {
    std::vector<std::uint8_t> k(size, 0);
    put64(k, 0, (static_cast<std::uint64_t>(kind) << 56) | oid);
    return k;
}

inline Entry InodeEntry(std::uint64_t oid, std::uint64_t parent, std::uint16_t mode, const std::string& name,
                        std::uint64_t size, std::size_t forcedLength = 0) {
    Entry e;
    e.key = KeyHead(0x30, oid);
    std::vector<std::uint8_t> v(92, 0);
    put64(v, 0, parent);
    put64(v, 8, oid);
    put64(v, 16, 1000000000ull);
    put64(v, 24, 2000000000ull);
    put16(v, 80, mode);
    v.resize(96 + 8, 0);
    put16(v, 92, 2);
    const std::uint16_t nameSize = static_cast<std::uint16_t>(name.size() + 1);
    v[96] = 4;
    v[97] = 2;
    put16(v, 98, nameSize);
    v[100] = 8;
    v[101] = 0x20;
    put16(v, 102, 40);
    std::vector<std::uint8_t> nameData(name.begin(), name.end());
    nameData.resize((nameSize + 7) & ~7u, 0);
    v.insert(v.end(), nameData.begin(), nameData.end());
    std::vector<std::uint8_t> stream(40, 0);
    put64(stream, 0, size);
    v.insert(v.end(), stream.begin(), stream.end());
    if (forcedLength) v.resize(forcedLength, 0);
    e.value = v;
    return e;
}

inline Entry DirEntry(std::uint64_t parent, const std::string& name, std::uint64_t child, std::uint16_t type,
                      std::uint32_t lengthField = 0, std::size_t valueLength = 18) {
    Entry e;
    e.key = KeyHead(0x90, parent, 12);
    put32(e.key, 8, lengthField ? lengthField : static_cast<std::uint32_t>(name.size() + 1));
    e.key.insert(e.key.end(), name.begin(), name.end());
    e.key.push_back(0);
    e.value.assign(valueLength, 0);
    put64(e.value, 0, child);
    put64(e.value, 8, 5);
    if (valueLength >= 18) put16(e.value, 16, type);
    return e;
}

inline Entry ExtentEntry(std::uint64_t oid, std::uint64_t logical, std::uint64_t length, std::uint64_t block,
                         std::size_t valueLength = 16) {
    Entry e;
    e.key = KeyHead(0x80, oid, 16);
    put64(e.key, 8, logical);
    e.value.assign(valueLength, 0);
    if (valueLength >= 8) put64(e.value, 0, length);
    if (valueLength >= 16) put64(e.value, 8, block);
    return e;
}

using quillory_test::ReadTruth;
using quillory_test::TruthRow;

}  // namespace apfstest
