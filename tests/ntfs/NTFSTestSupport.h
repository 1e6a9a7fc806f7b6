#pragma once
// Helpers shared by the NTFS tests: the fixture images, sector sources over an
// image file or a byte vector, hand-built FILE records and tool output.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/StorageDevice.h"
#include "ntfs/NTFSFileRecord.h"
#include "support/Fixture.h"
#include "support/LittleEndian.h"

namespace ntfstest {

// Folder of the NTFS fixture images, made by tests/fixtures/make_ntfs_images.sh
// once per build folder (the script locks and stamps its output).
inline const std::string& FixtureDir() {
    static const std::string dir = [] {
        return quillory_test::MakeFixtures("make_ntfs_images.sh", std::string(QUILLORY_BINARY_DIR) + "/fixtures/ntfs");
    }();
    return dir;
}
inline std::string Fixture(const char* name) { return FixtureDir() + "/" + name; }

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::vector<std::uint8_t> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    if (size > 0) {
        out.resize(static_cast<std::size_t>(size));
        if (std::fread(out.data(), 1, out.size(), f) != out.size()) out.clear();
    }
    std::fclose(f);
    return out;
}

inline std::string RunCommand(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// A read-only sector source over bytes in memory. Counts reads.
class MemoryDevice : public IStorageDevice {
public:
    MemoryDevice(std::vector<std::uint8_t> bytes, std::uint32_t sectorSize = 512)
        : m_bytes(std::move(bytes)), m_sectorSize(sectorSize) {}
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override {
        ++reads;
        if (first < 0 || count < 0 || first + count > GetTotalSectors()) return 0;
        std::memcpy(buffer, m_bytes.data() + first * m_sectorSize, static_cast<std::size_t>(count) * m_sectorSize);
        return 1;
    }
    std::uint32_t GetSectorSize() override { return m_sectorSize; }
    std::int64_t GetTotalSectors() override { return static_cast<std::int64_t>(m_bytes.size() / m_sectorSize); }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_data.get(); }
    void SetPrivateData(IStorageDeviceData* d) override { m_data.reset(d); }
    int GetType() override { return STORAGE_DEVICE_VOLUME; }
    EngineResult GetLastError() override { return 0; }
    std::vector<std::uint8_t>& Bytes() { return m_bytes; }
    int reads = 0;

private:
    std::vector<std::uint8_t> m_bytes;
    std::uint32_t m_sectorSize;
    std::unique_ptr<IStorageDeviceData> m_data;
};

using byteorder::LE16;
using byteorder::LE32;
using byteorder::LE64;
using quillory_test::Put16;
using quillory_test::Put32;
using quillory_test::Put64;

// A record of a deleted file emptied as NTFS does: its non-resident $DATA
// left without runs, sizes 0 there and in each $FILE_NAME. False when the
// record has no non-resident $DATA.
inline bool EmptyLikeNtfs(std::vector<std::uint8_t>& record) {
    if (record.size() < 1024) return false;
    CNTFSFileRecord::UnfixupFileRecord(record.data(), 1024);
    const std::uint32_t data = CNTFSFileRecord::GetAttributeOffset(record.data(), 0x80, 0);
    if (data == CNTFSFileRecord::kNotFound || record[data + 8] != 1) return false;
    std::uint8_t* a = record.data() + data;
    Put64(a + 24, static_cast<std::uint64_t>(-1));
    for (int f = 40; f < 64; f += 8) Put64(a + f, 0);
    std::memset(a + LE16(a + 32), 0, LE32(a + 4) - LE16(a + 32));
    for (int k = 0; k < 3; ++k) {
        const std::uint32_t fn = CNTFSFileRecord::GetAttributeOffset(record.data(), 0x30, k);
        if (fn == CNTFSFileRecord::kNotFound) break;
        const std::uint32_t content = fn + LE16(record.data() + fn + 20);
        Put64(record.data() + content + 40, 0);
        Put64(record.data() + content + 48, 0);
    }
    CNTFSFileRecord::FixupFileRecord(record.data(), 1024);
    return true;
}

// Attribute images for hand-built FILE records.
inline std::vector<std::uint8_t> ResidentAttr(std::uint32_t type, const std::vector<std::uint8_t>& content,
                                              std::uint16_t flags = 0) {
    std::vector<std::uint8_t> a(24 + ((content.size() + 7) & ~std::size_t{7}), 0);
    Put32(a.data(), type);
    Put32(a.data() + 4, static_cast<std::uint32_t>(a.size()));
    a[8] = 0;
    Put16(a.data() + 12, flags);
    Put32(a.data() + 16, static_cast<std::uint32_t>(content.size()));
    Put16(a.data() + 20, 24);
    std::copy(content.begin(), content.end(), a.begin() + 24);
    return a;
}

inline std::vector<std::uint8_t> NonResidentAttr(std::uint32_t type, const std::vector<std::uint8_t>& runs,
                                                 std::int64_t realSize, std::int64_t firstVcn = 0,
                                                 std::int64_t lastVcn = -1, std::uint16_t flags = 0,
                                                 std::int64_t allocated = -1) {
    std::vector<std::uint8_t> a(64 + ((runs.size() + 7) & ~std::size_t{7}), 0);
    Put32(a.data(), type);
    Put32(a.data() + 4, static_cast<std::uint32_t>(a.size()));
    a[8] = 1;
    Put16(a.data() + 12, flags);
    Put64(a.data() + 16, static_cast<std::uint64_t>(firstVcn));
    Put64(a.data() + 24, static_cast<std::uint64_t>(lastVcn));
    Put16(a.data() + 32, 64);
    Put64(a.data() + 40, static_cast<std::uint64_t>(allocated < 0 ? realSize : allocated));
    Put64(a.data() + 48, static_cast<std::uint64_t>(realSize));
    Put64(a.data() + 56, static_cast<std::uint64_t>(realSize));
    std::copy(runs.begin(), runs.end(), a.begin() + 64);
    return a;
}

inline std::vector<std::uint8_t> FileNameContent(const std::u16string& name, std::uint64_t parent,
                                                 std::uint8_t nameSpace = 1, std::int64_t size = 0,
                                                 std::uint32_t flags = 0) {
    std::vector<std::uint8_t> c(66 + 2 * name.size(), 0);
    Put64(c.data(), parent | (std::uint64_t{1} << 48));
    Put64(c.data() + 8, 1000);   // creation
    Put64(c.data() + 16, 2000);  // modification
    Put64(c.data() + 32, 3000);  // last access
    Put64(c.data() + 40, static_cast<std::uint64_t>(size));
    Put64(c.data() + 48, static_cast<std::uint64_t>(size));
    Put32(c.data() + 56, flags);
    c[64] = static_cast<std::uint8_t>(name.size());
    c[65] = nameSpace;
    for (std::size_t i = 0; i < name.size(); ++i) Put16(c.data() + 66 + 2 * i, name[i]);
    return c;
}

inline std::vector<std::uint8_t> StdInfoContent(std::uint32_t dosBits, std::int64_t t = 5000) {
    std::vector<std::uint8_t> c(72, 0);
    Put64(c.data(), static_cast<std::uint64_t>(t));
    Put64(c.data() + 8, static_cast<std::uint64_t>(t + 1));
    Put64(c.data() + 16, static_cast<std::uint64_t>(t + 2));
    Put64(c.data() + 24, static_cast<std::uint64_t>(t + 3));
    Put32(c.data() + 32, dosBits);
    return c;
}

// A FILE record in its on-disk form (update sequence applied), 1,024 bytes.
inline std::vector<std::uint8_t> MakeRecord(const std::vector<std::vector<std::uint8_t>>& attrs,
                                            std::uint16_t flags = 1, std::uint32_t mft = 70, std::uint64_t baseRef = 0,
                                            std::uint16_t usn = 0x0007) {
    std::vector<std::uint8_t> r(1024, 0);
    std::memcpy(r.data(), "FILE", 4);
    Put16(r.data() + 4, 48);      // USA offset
    Put16(r.data() + 6, 3);       // USA count
    Put64(r.data() + 8, 0x1234);  // LSN
    Put16(r.data() + 16, 1);
    Put16(r.data() + 18, 1);
    Put16(r.data() + 20, 56);  // first attribute
    Put16(r.data() + 22, flags);
    Put32(r.data() + 28, 1024);
    Put64(r.data() + 32, baseRef);
    Put32(r.data() + 44, mft);
    std::size_t off = 56;
    for (const auto& a : attrs) {
        std::copy(a.begin(), a.end(), r.begin() + off);
        off += a.size();
    }
    Put32(r.data() + off, 0xFFFFFFFF);
    Put32(r.data() + 24, static_cast<std::uint32_t>(off + 8));
    // Apply the update sequence: save the sector ends, write the number.
    Put16(r.data() + 48, usn);
    for (int i = 0; i < 2; ++i) {
        r[50 + 2 * i] = r[510 + 512 * i];
        r[51 + 2 * i] = r[511 + 512 * i];
        Put16(r.data() + 510 + 512 * i, usn);
    }
    return r;
}

}  // namespace ntfstest
