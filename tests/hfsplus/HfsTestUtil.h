#pragma once
// Doubles and fixture helpers shared by the HFS+ tests.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <uninorm.h>

#include "foundation/DirectoryTree.h"
#include "foundation/Progress.h"
#include "foundation/ByteOrder.h"
#include "foundation/StorageDevice.h"
#include "hfsplus/HFSPlusFileNode.h"
#include "support/BuilderDouble.h"
#include "support/Fixture.h"
#include "support/TruthTable.h"

namespace hfstest {

// ---------------------------------------------------------------------------
// Big-endian writers for hand-built structures, over the byte-order header.
inline void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    byteorder::PutBE16(b.data() + at, v);
}
inline void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    byteorder::PutBE32(b.data() + at, v);
}
inline void put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
    byteorder::PutBE64(b.data() + at, v);
}
inline void app16(std::vector<std::uint8_t>& b, std::uint16_t v) {
    b.resize(b.size() + 2);
    byteorder::PutBE16(b.data() + b.size() - 2, v);
}
inline void app32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    b.resize(b.size() + 4);
    byteorder::PutBE32(b.data() + b.size() - 4, v);
}

// ---------------------------------------------------------------------------
// Devices

// A device over bytes in memory; logs every read as (first sector, count).
class MemoryDevice : public IStorageDevice {
public:
    MemoryDevice(std::vector<std::uint8_t> bytes, std::uint32_t sectorSize = 512)
        : m_bytes(std::move(bytes)), m_sectorSize(sectorSize) {}
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override {
        reads.emplace_back(first, count);
        std::uint64_t ss = m_sectorSize ? m_sectorSize : 512;
        if (first < 0 || count < 0) return 0;
        std::uint64_t at = static_cast<std::uint64_t>(first) * ss;
        std::uint64_t n = static_cast<std::uint64_t>(count) * ss;
        if (at > m_bytes.size() || n > m_bytes.size() - at) return 0;
        std::memcpy(buffer, m_bytes.data() + at, n);
        return 1;
    }
    std::uint32_t GetSectorSize() override { return m_sectorSize; }
    std::int64_t GetTotalSectors() override {
        return static_cast<std::int64_t>(m_bytes.size() / (m_sectorSize ? m_sectorSize : 512));
    }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData* data) override { delete data; }
    int GetType() override { return STORAGE_DEVICE_VOLUME; }
    EngineResult GetLastError() override { return 0; }

    std::vector<std::uint8_t>& Bytes() { return m_bytes; }
    std::vector<std::pair<std::int64_t, std::int64_t>> reads;

private:
    std::vector<std::uint8_t> m_bytes;
    std::uint32_t m_sectorSize;
};

// A read-only device over an image file.
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
        if (first < 0 || count < 0) return 0;
        std::uint64_t at = static_cast<std::uint64_t>(first) * m_sectorSize;
        std::uint64_t n = static_cast<std::uint64_t>(count) * m_sectorSize;
        if (at > m_size || n > m_size - at) return 0;
        auto* out = static_cast<char*>(buffer);
        while (n > 0) {
            ssize_t got = ::pread(m_fd, out, n, static_cast<off_t>(at));
            if (got <= 0) return 0;
            out += got;
            at += static_cast<std::uint64_t>(got);
            n -= static_cast<std::uint64_t>(got);
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

private:
    int m_fd = -1;
    std::uint64_t m_size = 0;
    std::uint32_t m_sectorSize;
};

// ---------------------------------------------------------------------------
// Builder and progress doubles

// Keeps every node it is given and names it by path.
class RecordingBuilder : public quillory_test::BuilderDouble {
public:
    // Path of a node from the root folder (id 2) down, "" for the root.
    std::string PathOf(IFileNode* node) const {
        std::string path = node->GetFileName();
        std::int64_t parent = node->GetParentNodeID();
        for (int guard = 0; parent != 2 && guard < 64; ++guard) {
            IFileNode* p = FindById(parent);
            if (!p) return "?/" + path;
            path = std::string(p->GetFileName()) + "/" + path;
            parent = p->GetParentNodeID();
        }
        return path;
    }
    IFileNode* FindById(std::int64_t id) const {
        for (auto* n : nodes)
            if (n->GetCurrentNodeID() == id) return n;
        return nullptr;
    }
    IFileNode* FindByPath(const std::string& path) const {
        for (auto* n : nodes)
            if (n->GetParentNodeID() != 1 && PathOf(n) == path) return n;
        return nullptr;
    }
};

class TestProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override {
        ++updates;
        last = *info;
    }
    int Continued() override {
        ++asked;
        return stopAfter < 0 || asked <= stopAfter;
    }
    int shouldBuild() override { return 1; }
    int updates = 0;
    int asked = 0;
    int stopAfter = -1;
    _PROGRESS_INFO last{};
};

// ---------------------------------------------------------------------------
// Fixture files

// `utf8` in the form `form` (UNINORM_NFC: as nodes name files; UNINORM_NFD:
// as HFS+ and The Sleuth Kit spell them).
inline std::string Normalized(const std::string& utf8, uninorm_t form) {
    std::size_t length = 0;
    std::uint8_t* out =
        u8_normalize(form, reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size(), nullptr, &length);
    if (!out) return utf8;
    std::string result(reinterpret_cast<const char*>(out), length);
    std::free(out);
    return result;
}

inline std::string RunCommand(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = ::pclose(p);
    if (status) *status = rc;
    return out;
}

// A folder of this test process's own under the build tree, removed at exit.
inline const std::string& ScratchDir() {
    static std::string dir = [] {
        std::string base = std::string(QUILLORY_BINARY_DIR) + "/tests/hfsplus/scratch";
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

// Unpacks tests/data/NAME.img.tar.xz once per process; returns the image path.
inline std::string PrebuiltImage(const std::string& name) {
    static std::map<std::string, std::string> done;
    auto it = done.find(name);
    if (it != done.end()) return it->second;
    std::string archive = std::string(QUILLORY_SOURCE_DIR) + "/tests/data/" + name + ".img.tar.xz";
    std::string cmd = "tar -xJf '" + archive + "' -C '" + ScratchDir() + "' 2>&1";
    RunCommand(cmd);
    std::string path = ScratchDir() + "/" + name + ".img";
    done[name] = path;
    return path;
}

// Makes the xorriso volume once per process; returns its folder (with src/
// and xorriso.hfs).
inline std::string XorrisoVolumeDir() {
    static std::string dir = [] {
        return quillory_test::MakeFixtures("make_hfsplus_xorriso.sh", ScratchDir() + "/xorriso");
    }();
    return dir;
}

using quillory_test::ReadTruth;
using quillory_test::TruthRow;

inline std::string Sha256Of(const std::vector<std::uint8_t>& data) {
    std::string tmp = ScratchDir() + "/sha-input";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return "";
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    std::string out = RunCommand("sha256sum '" + tmp + "'");
    return out.substr(0, 64);
}

// ---------------------------------------------------------------------------
// Hand-built B-tree nodes and volumes

// A node of `size` bytes with the given records (each key + data, on-disk
// order) and a correct offset table.
inline std::vector<std::uint8_t> MakeNode(std::int8_t kind, std::uint8_t height,
                                          const std::vector<std::vector<std::uint8_t>>& records,
                                          std::uint16_t size = 4096, std::uint32_t fLink = 0) {
    std::vector<std::uint8_t> node(size, 0);
    put32(node, 0, fLink);
    node[8] = static_cast<std::uint8_t>(kind);
    node[9] = height;
    put16(node, 10, static_cast<std::uint16_t>(records.size()));
    std::size_t at = 14;
    for (std::size_t i = 0; i < records.size(); ++i) {
        put16(node, size - 2 * (i + 1), static_cast<std::uint16_t>(at));
        std::memcpy(node.data() + at, records[i].data(), records[i].size());
        at += records[i].size();
    }
    put16(node, size - 2 * (records.size() + 1), static_cast<std::uint16_t>(at));
    return node;
}

// The header node (node 0) of a tree.
inline std::vector<std::uint8_t> MakeHeaderNode(std::uint16_t depth, std::uint32_t root, std::uint32_t totalNodes,
                                                std::uint8_t keyCompareType, std::uint16_t size = 4096) {
    std::vector<std::uint8_t> rec(106, 0);
    put16(rec, 0, depth);
    put32(rec, 2, root);
    put16(rec, 18, size);
    put16(rec, 20, 516);
    put32(rec, 22, totalNodes);
    rec[37] = keyCompareType;
    put32(rec, 38, 0x6);
    std::vector<std::uint8_t> userData(128, 0), map(size - 14 - 106 - 128 - 8, 0);
    return MakeNode(1, 0, {rec, userData, map}, size);
}

inline std::vector<std::uint8_t> CatalogKey(std::uint32_t parent, const std::u16string& name) {
    std::vector<std::uint8_t> k;
    app16(k, static_cast<std::uint16_t>(6 + 2 * name.size()));
    app32(k, parent);
    app16(k, static_cast<std::uint16_t>(name.size()));
    for (char16_t c : name) app16(k, static_cast<std::uint16_t>(c));
    return k;
}

// A file record (248 bytes) with a data fork.
inline std::vector<std::uint8_t> FileRecord(std::uint32_t fileID, std::uint64_t logicalSize, std::uint32_t totalBlocks,
                                            const std::vector<std::pair<std::uint32_t, std::uint32_t>>& extents) {
    std::vector<std::uint8_t> r(248, 0);
    put16(r, 0, 2);
    put32(r, 8, fileID);
    put32(r, 12, 1);  // createDate
    put64(r, 88, logicalSize);
    put32(r, 88 + 12, totalBlocks);
    for (std::size_t i = 0; i < extents.size() && i < 8; ++i) {
        put32(r, 88 + 16 + 8 * i, extents[i].first);
        put32(r, 88 + 20 + 8 * i, extents[i].second);
    }
    return r;
}

inline std::vector<std::uint8_t> FolderRecord(std::uint32_t folderID) {
    std::vector<std::uint8_t> r(88, 0);
    put16(r, 0, 1);
    put32(r, 8, folderID);
    return r;
}

inline std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A small HFS+ volume in memory, 4 KiB blocks: block 0 holds the volume
// header; trees and file data are placed in blocks by the test.
struct SyntheticVolume {
    static constexpr std::uint32_t kBlock = 4096;
    std::vector<std::uint8_t> bytes;

    explicit SyntheticVolume(std::uint32_t totalBlocks = 256)
        : bytes(static_cast<std::size_t>(totalBlocks) * kBlock, 0) {
        put16(bytes, 1024, 0x482B);
        put16(bytes, 1026, 4);
        put32(bytes, 1024 + 40, kBlock);
        put32(bytes, 1024 + 44, totalBlocks);
    }
    // Fork data at `forkOffset` of the volume header (192 extents, 272
    // catalog, 352 attributes).
    void SetFork(std::size_t forkOffset, std::uint32_t totalBlocks,
                 const std::vector<std::pair<std::uint32_t, std::uint32_t>>& extents) {
        std::size_t at = 1024 + forkOffset;
        put64(bytes, at, static_cast<std::uint64_t>(totalBlocks) * kBlock);
        put32(bytes, at + 12, totalBlocks);
        for (std::size_t i = 0; i < extents.size() && i < 8; ++i) {
            put32(bytes, at + 16 + 8 * i, extents[i].first);
            put32(bytes, at + 20 + 8 * i, extents[i].second);
        }
    }
    void PutBlock(std::uint32_t block, const std::vector<std::uint8_t>& data) {
        std::memcpy(bytes.data() + static_cast<std::size_t>(block) * kBlock, data.data(),
                    std::min<std::size_t>(data.size(), bytes.size() - static_cast<std::size_t>(block) * kBlock));
    }
};

}  // namespace hfstest
