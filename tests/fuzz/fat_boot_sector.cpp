// FAT16/FAT32 boot-sector check and geometry of arbitrary sectors.
#include <cstdint>
#include <cstring>

#include "fat/FATStructures.h"
#include "fat/FATTable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t sector[512] = {};
    std::memcpy(sector, data, size < 512 ? size : 512);
    const std::uint32_t sizes[] = {512, 4096, 0};
    volatile std::uint64_t sink = 0;
    for (std::uint32_t ss : sizes) {
        CFATDBR dbr(sector, ss);
        sink = sink + dbr.GetFileSystemType() + dbr.GetSectorsperCluster() + dbr.GetReservedSector() +
               dbr.GetNumberOfFat() + dbr.GetRootEntries() + dbr.GetSectorsPerFat() + dbr.GetTotalSectors() +
               dbr.GetRootDirStartCluster() + dbr.GetFatTableStartSector();
    }
    std::uint32_t type = 0;
    sink = sink + CTempFATDBR::SimpleCheck(sector) + CFATTableAnalyser::IsValidFATTableFirstSector(sector, 512, &type);
    (void)sink;
    return 0;
}
