#pragma once
// Where the clusters of one FAT volume lie: cluster 2 starts the data area
// and each cluster spans sectorsPerCluster sectors; the volume ends
// totalSectors after its start. One value for every class that turns
// cluster numbers into sectors, so the formula lives here alone.

#include <cstdint>

#include "fat/FATLayout.h"

struct FATGeometry {
    std::int64_t partitionStart = 0;
    std::uint32_t sectorsPerCluster = 1;
    std::int64_t dataStart = 0;  // sector of cluster 2
    std::uint64_t totalSectors = 0;

    // The first sector of the cluster; 0 for clusters 0 and 1, which name
    // no data.
    std::int64_t ClusterToSector(std::uint64_t cluster) const {
        if (cluster < FAT_FIRST_DATA_CLUSTER) return 0;
        return static_cast<std::int64_t>(cluster - FAT_FIRST_DATA_CLUSTER) * sectorsPerCluster + dataStart;
    }
    // The cluster that holds the sector; 0 without a cluster size.
    std::uint32_t SectorToCluster(std::int64_t sector) const {
        if (sectorsPerCluster == 0) return 0;
        return static_cast<std::uint32_t>((sector - dataStart) / sectorsPerCluster + FAT_FIRST_DATA_CLUSTER);
    }
    bool IsClusterStart(std::int64_t sector) const {
        return sectorsPerCluster != 0 && (sector - dataStart) % sectorsPerCluster == 0;
    }
    // One past the volume's last sector.
    std::int64_t PartitionEnd() const { return partitionStart + static_cast<std::int64_t>(totalSectors); }
    // Sectors from the data start a run may reach: up to the volume's last
    // sector, in whole clusters, and no further.
    std::uint64_t DataAreaLimit() const {
        const std::int64_t room = PartitionEnd() - dataStart;
        if (room <= 0 || sectorsPerCluster == 0) return 0;
        const std::uint64_t spc = sectorsPerCluster;
        return static_cast<std::uint64_t>(room) / spc * spc;
    }
};
