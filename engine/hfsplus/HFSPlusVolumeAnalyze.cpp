// Recogniser of HFS+ and HFSX volumes.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/StorageDevice.h"
#include "foundation/VolumeAnalyze.h"
#include "hfsplus/HFSPlusFormat.h"
#include "hfsplus/HFSPlusVolume.h"

namespace {
constexpr std::uint32_t kMaxSectorSize = 8192;

class CHFSPlusVolumeAnalyze : public IVolumeAnalyze {
public:
    CHFSPlusVolumeAnalyze(IStorageDevice* device, std::uint64_t startSector) {
        if (!device) return;
        std::uint32_t sectorSize = device->GetSectorSize();
        if (sectorSize == 0) sectorSize = 512;
        if (sectorSize > kMaxSectorSize) return;
        std::unique_ptr<std::uint8_t[]> sector(new (std::nothrow) std::uint8_t[sectorSize]);
        if (!sector) return;
        std::uint64_t at = startSector + kVolumeHeaderOffset / sectorSize;
        if (!device->ReadSector(sector.get(), static_cast<std::int64_t>(at), 1)) return;
        std::uint32_t inSector = kVolumeHeaderOffset % sectorSize;
        if (inSector + kHFSPlusVolumeHeaderSize > sectorSize) {
            // Sectors smaller than the header: read what follows too.
            std::uint32_t count = (inSector + kHFSPlusVolumeHeaderSize + sectorSize - 1) / sectorSize;
            sector.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(count) * sectorSize]);
            if (!sector || !device->ReadSector(sector.get(), static_cast<std::int64_t>(at), count)) return;
        }
        const std::uint8_t* raw = sector.get() + inSector;
        if (!CHFSPlusVolume::IsValidVolumeHeader(raw, kHFSPlusVolumeHeaderSize)) return;
        HFSPlusVolumeHeader header;
        flipVolumeHeader(raw, &header);
        // A volume whose blocks have no usable size cannot be sized or read.
        if (!IsUsableBlockSize(header.blockSize)) return;
        m_type = FILE_SYSTEM_HFSPLUS;
        m_totalSectors =
            static_cast<std::int64_t>(static_cast<std::uint64_t>(header.totalBlocks) * header.blockSize / sectorSize);
    }

    std::uint32_t GetFileSystemType() override { return m_type; }
    std::int64_t GetTotalSector() override { return m_totalSectors; }
    void GetLabel(char* buffer, int size) override {
        if (!buffer || size < 1) return;
        std::memcpy(buffer, m_label, std::min<std::size_t>(static_cast<std::size_t>(size), sizeof m_label));
    }

private:
    std::uint32_t m_type = FILE_SYSTEM_UNKNOWN;
    std::int64_t m_totalSectors = 0;
    char m_label[100] = {};
};
}  // namespace

IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice* device, std::uint64_t startSector) {
    return new (std::nothrow) CHFSPlusVolumeAnalyze(device, startSector);
}
