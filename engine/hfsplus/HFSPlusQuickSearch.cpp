#include "hfsplus/HFSPlusQuickSearch.h"

#include <memory>
#include <new>

#include "foundation/DirectoryTree.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"
#include "hfsplus/HFSPlusVolume.h"

CHFSPlusQuickFileSystemSearchProgress::CHFSPlusQuickFileSystemSearchProgress(IProgress* progress, bool quiet)
    : m_progress(progress), m_info(new (std::nothrow) _PROGRESS_INFO), m_quiet(quiet) {
    if (m_info) MakeProgressInfo(m_info.get(), PROGRESS_STATE_RUNNING, 0, 0);
}

CHFSPlusQuickFileSystemSearchProgress::~CHFSPlusQuickFileSystemSearchProgress() {
    if (!m_quiet && m_info && m_progress) {
        m_info->state = PROGRESS_STATE_FINISHED;
        m_progress->UpdateProgress(m_info.get());
    }
}

void CHFSPlusQuickFileSystemSearchProgress::UpdateProgress() {
    if (m_quiet || !m_info || !m_progress) return;
    m_info->current += 1;
    m_progress->UpdateProgress(m_info.get());
}

bool CHFSPlusQuickFileSystemSearchProgress::Continued() { return m_progress ? m_progress->Continued() != 0 : true; }

void CHFSPlusQuickFileSystemSearchProgress::SetTotal(std::int64_t total) {
    if (m_info) m_info->total = total;
}

CHFSPlusPrivateData::~CHFSPlusPrivateData() { Release(); }

void CHFSPlusPrivateData::Release() {
    delete m_volume;
    m_volume = nullptr;
}

CHFSPlusQuickFileSystemSearchController::~CHFSPlusQuickFileSystemSearchController() { delete m_privateData; }

EngineResult CHFSPlusQuickFileSystemSearchController::QuickSearchFiles(IStorageDevice* device, IProgress* progress) {
    m_device = device;
    m_progress = progress;
    CHFSPlusQuickFileSystemSearchProgress adapter(progress, false);
    if (!device) return HFS_FAIL(HFS_ERR_NULL_ARG);
    if (!m_builder) return HFS_FAIL(HFS_ERR_MISSING);
    std::unique_ptr<CHFSPlusVolume> volume(new (std::nothrow) CHFSPlusVolume(device, false));
    if (!volume) return HFS_FAIL(HFS_ERR_ALLOC);
    EngineResult status = volume->GetLastError();
    if (HFSFailed(status)) return HFS_PASS(status);
    auto* holder = new (std::nothrow) CHFSPlusPrivateData(volume.get());
    if (!holder) return HFS_FAIL(HFS_ERR_ALLOC);
    volume.release();
    delete m_privateData;  // a second search replaces the first volume
    m_privateData = holder;
    m_blockSize = holder->GetVolume()->GetBlockSize();

    m_builder->AddSearcherInfo(SEARCHER_HFSPLUS, kHFSRootFolderID);
    holder->GetVolume()->QuickSearchFiles(m_builder, &adapter);
    m_builder->FlashBuild(SEARCHER_HFSPLUS);
    return status;
}

int CHFSPlusQuickFileSystemSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** out, int max) {
    if (max < 1 || !out) return 1;
    std::uint32_t sectorSize = m_device ? m_device->GetSectorSize() : 512;
    if (sectorSize == 0) sectorSize = 512;
    auto* info = new (std::nothrow) CSearchedPartitionInfo(sectorSize);
    if (!info) return 0;
    info->SetStartSector(0);
    info->SetCluster0Sector(0);
    info->SetTotalSectors(m_device ? static_cast<std::uint64_t>(m_device->GetTotalSectors()) : 0);
    info->SetFileSystemType(FILE_SYSTEM_HFSPLUS);
    info->SetSectorsPerCluster(m_blockSize / info->GetSectorSize());
    info->SetReservedWord(reinterpret_cast<std::uintptr_t>(m_privateData));
    info->SetPartitionIndex(0);
    out[0] = info;
    return 1;
}

IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher() {
    return new (std::nothrow) CHFSPlusQuickFileSystemSearchController;
}
