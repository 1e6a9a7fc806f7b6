// Helpers of the file reader and file writer tests: run lists, a resident
// list, partition records, and quick-scanned FAT fixture images.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../fat/FatTestSupport.h"
#include "FakeNode.h"
#include "fat/FATFileNode.h"
#include "fat/FATQuickSearcher.h"
#include "foundation/DataRun.h"
#include "foundation/SearchedPartitionInfo.h"
#include "storage/DeviceData.h"

namespace writertest {

inline CDataRunList* Runs(std::initializer_list<DataRun> runs) {
    auto* list = new CDataRunList;
    for (const DataRun& r : runs) list->AddDataRun(&r);
    return list;
}

// A resident stream: the FILE record at `sector`, the content `offset` bytes in.
class ResidentList : public CDataRunList {
public:
    ResidentList(std::int64_t sector, std::int64_t offset) : m_offset(offset) {
        DataRun r{sector, 1};
        AddDataRun(&r);
    }
    int IsResident() override { return 1; }
    std::int64_t GetOffset() override { return m_offset; }
    IDataRunList* Clone() override { return new ResidentList(*this); }

private:
    std::int64_t m_offset;
};

inline std::unique_ptr<CSearchedPartitionInfo> Partition(std::int64_t cluster0, std::uint32_t spc,
                                                         std::uint32_t sectorSize = 512, std::int64_t start = 0,
                                                         std::uint64_t total = 1 << 20) {
    auto p = std::make_unique<CSearchedPartitionInfo>(sectorSize);
    p->SetCluster0Sector(cluster0);
    p->SetSectorsPerCluster(spc);
    p->SetStartSector(start);
    p->SetTotalSectors(total);
    return p;
}

// A FAT fixture image quick-scanned as a volume: its nodes and its record.
struct FatScan {
    explicit FatScan(const std::string& image, std::uint32_t type) : name(image) {
        dev = std::make_unique<fattest::ImageDevice>(fattest::Fixture(image + ".img"));
        auto* rec = new CCollectedVolumeDeviceInfoStruct{};
        rec->fileSystemType = type;
        rec->sectorSize = 512;
        rec->totalSectors = dev->GetTotalSectors();
        dev->SetPrivateData(CreateVolumeDeviceData(rec));
        searcher.reset(static_cast<CFATQuickSearcher*>(CreateFATQuickSearcher()));
        searcher->SetDirecotryTreeBuilder(&builder);
        result = searcher->QuickSearchFiles(dev.get(), &progress);
        CSearchedPartitionInfo* out[1] = {nullptr};
        if (searcher->GetSearchedPartitionInfo(out, 1) == 1) record.reset(out[0]);
    }
    // Deleted files (not folders) with a kept original, by path.
    std::vector<std::pair<IFileNode*, std::vector<std::uint8_t>>> DeletedWithOriginals() {
        std::vector<std::pair<IFileNode*, std::vector<std::uint8_t>>> out;
        for (IFileNode* n : builder.nodes) {
            if (n->IsDirectory() || !n->IsDeleted() || n->GetFileSize() <= 0) continue;
            auto orig = fattest::Original(name, builder.PathOf(n));
            if (!orig.empty()) out.emplace_back(n, std::move(orig));
        }
        return out;
    }

    std::string name;
    std::unique_ptr<fattest::ImageDevice> dev;
    fattest::RecordingBuilder builder;
    fattest::RecordingProgress progress;
    std::unique_ptr<CFATQuickSearcher> searcher;
    std::unique_ptr<CSearchedPartitionInfo> record;
    EngineResult result = 1;
};

}  // namespace writertest
