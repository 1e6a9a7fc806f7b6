#include "fat/FATVolume.h"

#include <cstring>
#include <unordered_set>
#include <vector>

#include "fat/FATStructures.h"
#include "foundation/StorageDevice.h"

CFATVolume::CFATVolume(IStorageDevice* device)
    : m_device(device), m_sectorSize(device ? device->GetSectorSize() : 512) {
    if (m_sectorSize == 0) m_sectorSize = 512;
}

bool CFATVolume::GetPartitionLabel(std::int64_t start, const std::uint8_t* bootSector, char* label, std::size_t size) {
    if (label == nullptr || size == 0) return false;
    label[0] = '\0';
    if (bootSector == nullptr || m_device == nullptr) return false;
    CTempFATDBR dbr(bootSector, m_sectorSize);
    switch (dbr.GetFileSystemType()) {
    case 0:
    case 1:
        return GetFatLabel(start, dbr, label, size);
    case 2:
        return GetFat32Label(start, dbr, label, size);
    default:
        return false;
    }
}

std::int64_t CFATVolume::ConvertClusterToSector(std::int64_t start, const CTempFATDBR& dbr,
                                                std::uint64_t cluster) const {
    const std::uint32_t type = dbr.GetFileSystemType();
    if (type > FILE_SYSTEM_FAT32 || cluster < FAT_FIRST_DATA_CLUSTER) return -1;
    std::int64_t s =
        start + dbr.GetReservedSector() + static_cast<std::int64_t>(dbr.GetNumberOfFat()) * dbr.GetSectorsPerFat();
    if (type != FILE_SYSTEM_FAT32)
        s += static_cast<std::int64_t>(dbr.GetRootEntries() * FAT_DIR_ENTRY_SIZE / m_sectorSize);
    return s + static_cast<std::int64_t>(dbr.GetSectorsperCluster()) *
                   static_cast<std::int64_t>(cluster - FAT_FIRST_DATA_CLUSTER);
}

int CFATVolume::AnalyzeDirClusterToGetLabel(std::int64_t sector, std::uint32_t sectors, char* label, std::size_t size) {
    if (sectors == 0) return -1;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(sectors) * m_sectorSize);
    if (m_device->ReadSector(buf.data(), sector, sectors) != 1) return -1;
    for (std::size_t off = 0; off + FAT_DIR_ENTRY_SIZE <= buf.size(); off += FAT_DIR_ENTRY_SIZE) {
        CTempFATDirEntry e(buf.data() + off);
        if (!e.IsValidFATDirEntry(false)) return -1;
        if (e.IsLongFileNameEntry() || !e.IsVolumeLabel() || e.IsErased() || e.IsNeverUsed()) continue;
        const std::string name = e.GetShortName(true);
        const std::size_t n = name.size() < size ? name.size() : size - 1;
        std::memcpy(label, name.data(), n);
        label[n] = '\0';
        return 1;
    }
    return 0;
}

bool CFATVolume::GetFatLabel(std::int64_t start, const CTempFATDBR& dbr, char* label, std::size_t size) {
    const std::uint32_t spc = dbr.GetSectorsperCluster();
    const std::uint32_t rootSectors =
        static_cast<std::uint32_t>(dbr.GetRootEntries() * FAT_DIR_ENTRY_SIZE / m_sectorSize);
    if (spc == 0 || rootSectors == 0) return false;
    const std::int64_t rootStart =
        start + dbr.GetReservedSector() + static_cast<std::int64_t>(dbr.GetNumberOfFat()) * dbr.GetSectorsPerFat();
    for (std::uint32_t i = 0; i <= (rootSectors - 1) / spc; ++i) {
        const int r = AnalyzeDirClusterToGetLabel(rootStart + static_cast<std::int64_t>(i) * spc, spc, label, size);
        if (r == 1) return true;
        if (r < 0) return false;
    }
    return false;
}

bool CFATVolume::GetFat32Label(std::int64_t start, const CTempFATDBR& dbr, char* label, std::size_t size) {
    const std::uint32_t spc = dbr.GetSectorsperCluster();
    if (spc == 0) return false;
    const std::size_t clusterBytes = static_cast<std::size_t>(spc) * m_sectorSize;
    const std::uint32_t entriesPerPiece = static_cast<std::uint32_t>(clusterBytes / FAT32_ENTRY_BYTES);
    std::vector<std::uint8_t> piece(clusterBytes);
    std::int64_t loadedPiece = -1;
    // A damaged chain may loop: never analyse a cluster twice, and never walk
    // more clusters than the volume can hold.
    std::unordered_set<std::uint32_t> visited;
    const std::uint64_t maxClusters = dbr.GetTotalSectors() / spc + 2;
    std::uint32_t cluster = dbr.GetRootDirStartCluster();
    while (CFATTableAnalyser::IsUsedCluster(cluster) && visited.size() <= maxClusters) {
        if (!visited.insert(cluster).second) return false;
        const int r = AnalyzeDirClusterToGetLabel(ConvertClusterToSector(start, dbr, cluster), spc, label, size);
        if (r == 1) return true;
        if (r < 0) return false;
        const std::int64_t k = cluster / entriesPerPiece;
        if (k != loadedPiece) {
            if (m_device->ReadSector(piece.data(), start + dbr.GetReservedSector() + k * spc, spc) != 1) return false;
            loadedPiece = k;
        }
        cluster = byteorder::LE32(piece.data() + FAT32_ENTRY_BYTES * (cluster % entriesPerPiece));
    }
    return false;
}
