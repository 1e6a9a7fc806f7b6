#pragma once
// Reads a FAT volume's label: from the fixed root folder (FAT12/16) or from
// the root folder's cluster chain (FAT32).

#include <cstddef>
#include <cstdint>

class IStorageDevice;
class CTempFATDBR;

class CFATVolume {
public:
    explicit CFATVolume(IStorageDevice* device);

    // Fills `label` (zero-terminated, at most `size` bytes) from the volume
    // at `partitionStart`; false (label empty) when none is found.
    bool GetPartitionLabel(std::int64_t partitionStart, const std::uint8_t* bootSector, char* label,
                           std::size_t size = 100);
    std::int64_t ConvertClusterToSector(std::int64_t partitionStart, const CTempFATDBR& dbr,
                                        std::uint64_t cluster) const;

private:
    bool GetFatLabel(std::int64_t start, const CTempFATDBR& dbr, char* label, std::size_t size);
    bool GetFat32Label(std::int64_t start, const CTempFATDBR& dbr, char* label, std::size_t size);
    // 1 label found, 0 go on, -1 stop without a label.
    int AnalyzeDirClusterToGetLabel(std::int64_t sector, std::uint32_t sectors, char* label, std::size_t size);

    IStorageDevice* m_device;
    std::uint32_t m_sectorSize;
};
