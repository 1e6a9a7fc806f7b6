// Recogniser of APFS containers: the container superblock at the start, and
// the first volume's name as the label.
#include <cstring>
#include <memory>
#include <new>
#include <set>

#include "apfs/APFSFormat.h"
#include "apfs/APFSVolumeAnalyze.h"
#include "foundation/StorageDevice.h"
#include "foundation/Types.h"
#include "foundation/VolumeAnalyze.h"

namespace {
constexpr std::size_t kWorkBufferSize = 32 * 1024;
// Eight sectors of a block must fit the work buffer, and a block must be a
// whole number of sectors.
constexpr std::uint32_t kMaxSectorSize = 4096;
constexpr int kMaxLabelSteps = 32;

bool UsableSectorSize(std::uint32_t sectorSize) {
    return sectorSize != 0 && sectorSize <= kMaxSectorSize && kAPFSBlockSize % sectorSize == 0;
}

class APFSRecognize : public IVolumeAnalyze {
public:
    APFSRecognize(IStorageDevice* device, std::uint64_t startSector) : m_device(device), m_startSector(startSector) {
        const std::int64_t total = device->GetTotalSectors();
        m_totalSectors = total > 0 && static_cast<std::uint64_t>(total) > startSector
                             ? static_cast<std::uint64_t>(total) - startSector
                             : 0;
    }

    std::uint32_t GetFileSystemType() override { return FILE_SYSTEM_APFS; }
    std::int64_t GetTotalSector() override { return static_cast<std::int64_t>(m_totalSectors); }

    void GetLabel(char* label, int size) override {
        if (!label || size < 1) return;
        std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[kWorkBufferSize]());
        if (!buf) return;
        if (!ReadBlock(0, buf.get())) return;
        if (!IsPlausibleObjectHeader(0, buf.get(), kAPFSBlockSize)) return;
        std::set<std::uint32_t> visited;
        for (int step = 0; step < kMaxLabelSteps; ++step) {
            if (label[0] != 0) return;
            const std::uint32_t next = byteorder::LE32(buf.get() + kNXWalkLinkOffset);
            const std::uint64_t objectMap = byteorder::LE64(buf.get() + kNXObjectMapOffset);
            ReadAPFSVolumeName(m_device, m_startSector, objectMap, label, size, buf.get());
            if (label[0] != 0) return;
            if (!visited.insert(next).second) return;
            ReadBlock(next, buf.get());
        }
    }

private:
    bool ReadBlock(std::uint64_t block, std::uint8_t* buf) {
        return ReadAPFSBlock(m_device, m_startSector, block, buf);
    }

    IStorageDevice* m_device;
    std::uint64_t m_startSector;
    std::uint64_t m_totalSectors = 0;
};
}  // namespace

bool ReadAPFSBlock(IStorageDevice* device, std::uint64_t startSector, std::uint64_t block, std::uint8_t* buf) {
    const std::uint32_t sectorSize = device->GetSectorSize();
    if (!UsableSectorSize(sectorSize)) return false;
    const std::uint64_t perBlock = kAPFSBlockSize / sectorSize;
    // Block numbers come from disk: refuse any whose sector would overflow.
    if (block > (static_cast<std::uint64_t>(INT64_MAX) - startSector) / perBlock) return false;
    const std::uint64_t first = startSector + perBlock * block;
    if (first > static_cast<std::uint64_t>(INT64_MAX) - 8) return false;
    return device->ReadSector(buf, static_cast<std::int64_t>(first), 8) != 0;
}

bool ReadAPFSVolumeName(IStorageDevice* device, std::uint64_t startSector, std::uint64_t objectMapBlock, char* label,
                        int size, std::uint8_t* buf) {
    if (!ReadAPFSBlock(device, startSector, objectMapBlock, buf)) return false;
    const std::uint64_t treeRoot = byteorder::LE64(buf + kOMTreeRootOffset);
    if (!ReadAPFSBlock(device, startSector, treeRoot, buf)) return false;
    if (byteorder::LE16(buf + 28) != kAPFSSubtypeObjectMap) return false;
    // The first entry's value stands before the root trailer; its physical
    // address is the value's last 8 bytes.
    const std::uint16_t valueOffset = byteorder::LE16(buf + kAPFSNodeTableStart + 2);
    if (valueOffset < 1 || valueOffset > kAPFSBlockSize - 32) return false;
    const std::uint64_t volume = byteorder::LE64(buf + (kAPFSBlockSize - 32 - valueOffset));
    if (!ReadAPFSBlock(device, startSector, volume, buf)) return false;
    if (byteorder::LE32(buf + 32) != kAPFSVolumeMagic) return false;
    const std::size_t room = static_cast<std::size_t>(size) < 32 ? static_cast<std::size_t>(size) : 32;
    std::size_t n = 0;
    for (; n < room && buf[kAPSBNameOffset + n] != 0; ++n) label[n] = static_cast<char>(buf[kAPSBNameOffset + n]);
    for (; n < room; ++n) label[n] = 0;
    return true;
}

IVolumeAnalyze* CreateAPFSVolumeAnalyze(IStorageDevice* device, std::uint64_t startSector) {
    if (!device) return nullptr;
    const std::uint32_t sectorSize = device->GetSectorSize();
    if (!UsableSectorSize(sectorSize)) return nullptr;
    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[kWorkBufferSize]());
    if (!buf) return nullptr;
    if (startSector > static_cast<std::uint64_t>(INT64_MAX)) return nullptr;
    if (!device->ReadSector(buf.get(), static_cast<std::int64_t>(startSector), 1)) return nullptr;
    const std::uint16_t type = byteorder::LE16(buf.get() + 24);
    const std::uint16_t subtype = byteorder::LE16(buf.get() + 28);
    if (type < 1 || type > 31 || subtype > 31) return nullptr;
    if (byteorder::LE32(buf.get() + 32) != kAPFSContainerMagic) return nullptr;
    if (byteorder::LE32(buf.get() + kNXBlockSizeOffset) != kAPFSBlockSize) return nullptr;
    return new (std::nothrow) APFSRecognize(device, startSector);
}
