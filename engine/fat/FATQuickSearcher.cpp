#include "fat/FATQuickSearcher.h"

#include <cstring>
#include <new>
#include <vector>

#include "fat/FATBuildWorker.h"
#include "fat/FATFileNode.h"
#include "fat/FATStructures.h"
#include "fat/FATTable.h"
#include "fat/FATVolume.h"
#include "foundation/DirectoryTree.h"
#include "foundation/Progress.h"
#include "foundation/StorageDevice.h"
#include "storage/DeviceData.h"

// ---- recogniser -------------------------------------------------------------

void CFatVolumeAnalyze::init(IStorageDevice* device, std::uint64_t startSector) {
    m_type = FILE_SYSTEM_UNKNOWN;
    if (device == nullptr) return;
    std::uint32_t ss = device->GetSectorSize();
    if (ss < 512) ss = 512;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(ss) * 4, 0);
    if (device->ReadSector(buf.data(), static_cast<std::int64_t>(startSector), 4) != 1) return;
    CTempFATDBR dbr(buf.data(), device->GetSectorSize());
    if (!dbr.IsValidDBR()) return;
    m_type = dbr.GetFileSystemType();
    m_totalSectors = static_cast<std::int64_t>(dbr.GetTotalSectors());
    CFATVolume(device).GetPartitionLabel(static_cast<std::int64_t>(startSector), buf.data(), m_label, sizeof m_label);
}

void CFatVolumeAnalyze::GetLabel(char* buffer, int size) {
    if (buffer == nullptr || size < 1) return;
    std::memcpy(buffer, m_label, size < 100 ? static_cast<std::size_t>(size) : sizeof m_label);
}

IVolumeAnalyze* CreateFatVolumeAnalyze(IStorageDevice* device, std::uint64_t startSector) {
    auto* a = new CFatVolumeAnalyze();
    a->init(device, startSector);
    return a;
}

// ---- quick searcher ---------------------------------------------------------

IQuickFileSystemSearchController* CreateFATQuickSearcher() { return new CFATQuickSearcher(); }

CFATQuickSearcher::~CFATQuickSearcher() {
    for (auto* p : m_partitions) DestroyFATSearchedPartitionInfo(p);
}

int CFATQuickSearcher::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
    if (m_partitions.empty()) return 0;
    if (array == nullptr || capacity < 1) return 1;
    array[0] = m_partitions.front()->Clone();
    return 1;
}

EngineResult CFATQuickSearcher::QuickSearchFiles(IStorageDevice* device, IProgress* progress) {
    EngineResult result = ENGINE_OK;
    if (device == nullptr || progress == nullptr) {
        result = FAT_ERR_NO_DEVICE_OR_PROGRESS;
    } else if (m_builder == nullptr) {
        result = FAT_ERR_NO_TREE_BUILDER;
    } else if (device->GetType() != STORAGE_DEVICE_VOLUME) {
        result = FAT_ERR_NOT_A_VOLUME;
    } else {
        auto* data = dynamic_cast<IVolumeDeviceData*>(device->GetPrivateData());
        CCollectedVolumeDeviceInfoStruct* record = data ? data->GetVolumeInfo() : nullptr;
        if (data == nullptr) {
            result = FAT_ERR_NO_VOLUME_DATA;
        } else if (record == nullptr) {
            result = FAT_ERR_NO_VOLUME_RECORD;
        } else if (record->fileSystemType != FILE_SYSTEM_FAT16 && record->fileSystemType != FILE_SYSTEM_FAT32) {
            result = FAT_ERR_NOT_FAT16_OR_FAT32;
        } else {
            result = FatQuickSearchFiles(device, record->fileSystemType, progress);
        }
    }
    if (progress) {
        _PROGRESS_INFO info;
        MakeProgressInfo(&info, PROGRESS_STATE_FINISHED, 100, 100);
        progress->UpdateProgress(&info);
    }
    return result;
}

EngineResult CFATQuickSearcher::FatQuickSearchFiles(IStorageDevice* device, std::uint32_t type, IProgress* progress) {
    const std::uint32_t flags = type == FILE_SYSTEM_FAT32 ? FAT_FLAGS_QUICK_FAT32 : FAT_FLAGS_QUICK_FAT16;
    std::uint32_t ss = device->GetSectorSize();
    if (ss == 0) ss = 512;
    EngineResult result = ENGINE_OK;
    IFATTable* fat = nullptr;
    CFATSearchedPartitionInfo* record = nullptr;
    // A sector buffer of at least 512 bytes: the boot-sector views read 512.
    std::vector<std::uint8_t> sector;
    try {
        sector.assign(ss < FAT_DBR_SIZE ? FAT_DBR_SIZE : ss, 0);
    } catch (const std::bad_alloc&) {
        result = FAT_ERR_NO_MEMORY;
    }
    bool valid = false;
    if (result == ENGINE_OK && (flags & 0x7)) {
        valid =
            device->ReadSector(sector.data(), 0, 1) == 1 && CFATBuildWorker::IsFullValidDBR(sector.data(), 0, device);
        if (!valid && (flags & FAT_FLAG_FAT32_BACKUP_DBR))
            valid = device->ReadSector(sector.data(), 6, 1) == 1 &&
                    CFATBuildWorker::IsFullValidDBR(sector.data(), 0, device);
        if (!valid) result = FAT_ERR_NO_VALID_DBR;
    }
    if (result == ENGINE_OK) {
        CTempFATDBR dbr(sector.data(), device->GetSectorSize());
        const std::uint32_t spc = dbr.GetSectorsperCluster();
        const std::uint32_t reserved = dbr.GetReservedSector();
        const std::uint32_t spf = dbr.GetSectorsPerFat();
        const std::uint32_t fats = dbr.GetNumberOfFat();
        fat = IFATTableFactory::CreateFATTable(device, reserved, type, spf, (flags & FAT_FLAG_FAT1_USABLE) != 0,
                                               (flags & FAT_FLAG_FAT2_USABLE) != 0);
        if (fat == nullptr) result = FAT_ERR_NO_FAT_OBJECT;
        std::int64_t rootStart = 0, dataStart = 0;
        std::uint32_t rootSectors = 0, rootCluster = 0, rootInfo = 0;
        if (type == FILE_SYSTEM_FAT32) {
            dataStart = reserved + static_cast<std::int64_t>(fats) * spf;
            rootCluster = dbr.GetRootDirStartCluster();
            rootStart = dataStart + (static_cast<std::int64_t>(rootCluster) - 2) * spc;
            rootInfo = rootCluster;
        } else {
            rootStart = reserved + static_cast<std::int64_t>(fats) * spf;
            rootSectors = static_cast<std::uint32_t>(dbr.GetRootEntries() * FAT_DIR_ENTRY_SIZE / ss);
            dataStart = rootStart + rootSectors;
            rootInfo = rootSectors;
        }
        const std::uint64_t bootTotal = dbr.GetTotalSectors();
        std::uint64_t total = bootTotal;
        if (device->GetTotalSectors() >= 0 && total > static_cast<std::uint64_t>(device->GetTotalSectors()))
            total = static_cast<std::uint64_t>(device->GetTotalSectors());
        // A damaged boot sector may claim fewer sectors than its own data start.
        const std::uint64_t totalClusters =
            (spc != 0 && total > static_cast<std::uint64_t>(dataStart)) ? (total - dataStart) / spc : 0;
        if (result == ENGINE_OK) {
            record = CreateFATSearchedPartitionInfo(device->GetSectorSize());
            if (record == nullptr) result = FAT_ERR_NO_PARTITION_RECORD;
        }
        if (result == ENGINE_OK) {
            record->SetPartitionIndex(0);
            record->SetDataStartSector(dataStart);
            record->SetSectorsPerCluster(spc);
            record->SetFileSystemType(type);
            record->SetTotalSectors(total);
            record->SetSectorPerFAT(spf);
            record->SetTotalCluster(
                static_cast<std::uint32_t>(totalClusters > 0xFFFFFFFFull ? 0xFFFFFFFFull : totalClusters));
            record->SetStartSector(0);
            record->SetReservedSector(static_cast<std::uint16_t>(reserved));
            record->SetRootInfo(rootInfo);
            record->MergeFlag(flags);
            m_partitions.push_back(record);
            if (m_builder) m_builder->AddSearcherInfo(SEARCHER_FAT, 0);
            CFATBuildWorker worker(m_builder, progress, record, device, type, 0, spc, rootStart, rootSectors,
                                   rootCluster, true, dataStart, bootTotal, fat);
            result = worker.QuickBuildDirectoryTree(true);
        }
    }
    if (m_builder) {
        m_builder->SetPartitonDevice(record, device);
        m_builder->FlashBuild(SEARCHER_FAT);
    }
    IFATTableFactory::DestroyFATTable(fat);
    return result;
}
