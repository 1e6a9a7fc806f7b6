// Runs the partition-table reader over a disk whose first sectors are the
// fuzzer's bytes. The first two bytes pick the sector size and the disk size,
// so tables whose entries point past the end, into the data or at themselves
// are all reached.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <vector>

#include "storage/DeviceData.h"
#include "storage/PartitionTable.h"

namespace {

class FuzzDisk : public IStorageDevice {
public:
    FuzzDisk(const uint8_t* data, size_t size, uint32_t sectorSize, int64_t total)
        : m_data(data, data + size), m_sectorSize(sectorSize), m_total(total) {
        auto* rec = new CCollectDiskDeviceInfoStruct{};
        rec->sectorSize = sectorSize;
        rec->totalSectors = total;
        m_holder.reset(CreateDiskDeviceData(rec));
    }
    int Open(char*) override { return 1; }
    int Close() override { return 0; }
    int ReadSector(void* buffer, int64_t first, int64_t count) override {
        // The reader must never ask for absurd amounts or negative sectors.
        if (!buffer || first < 0 || count <= 0 || count > 64) __builtin_trap();
        const uint64_t len = static_cast<uint64_t>(count) * m_sectorSize;
        std::memset(buffer, 0, len);
        const uint64_t off = static_cast<uint64_t>(first) * m_sectorSize;
        if (off / m_sectorSize != static_cast<uint64_t>(first)) return 0;
        if (off < m_data.size()) {
            const uint64_t n = std::min<uint64_t>(len, m_data.size() - off);
            std::memcpy(buffer, m_data.data() + off, n);
        }
        return 1;
    }
    uint32_t GetSectorSize() override { return m_sectorSize; }
    int64_t GetTotalSectors() override { return m_total; }
    int IOCtl(uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_holder.get(); }
    void SetPrivateData(IStorageDeviceData* data) override { m_holder.reset(data); }
    int GetType() override { return STORAGE_DEVICE_DISK; }
    EngineResult GetLastError() override { return MakeEngineResult(ENGINE_MODULE_STORAGE, 1, 1); }

private:
    std::vector<uint8_t> m_data;
    uint32_t m_sectorSize;
    int64_t m_total;
    std::unique_ptr<IStorageDeviceData> m_holder;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static const uint32_t kSectorSizes[4] = {512, 1024, 2048, 4096};
    const uint32_t sectorSize = kSectorSizes[data[0] & 3];
    // Disk sizes from a handful of sectors up to terabytes.
    const int64_t total = (data[0] & 0x80) ? (int64_t{1} << (data[1] & 0x3F)) : int64_t{data[1]} * 97 + 1;
    FuzzDisk disk(data + 2, size - 2, sectorSize, total);
    std::list<PartitionEntry> entries;
    std::unique_ptr<IPartitionTableAnalyze> reader(CreatePartitionTableAnalyze());
    reader->AnalyzePartitionTable(&disk, entries);
    for (const auto& e : entries) {
        if (e.startSector < 0 || e.sectorCount <= 0 || e.startSector + e.sectorCount > total) __builtin_trap();
    }
    return 0;
}
