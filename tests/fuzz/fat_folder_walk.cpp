// The quick folder walk over a made-up volume: a FAT and data clusters from
// the input, walked from the root with long names, run lists and (FAT32) the
// first-cluster repair. Run with -close_fd_mask=1: every node prints a line.
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzBuilder.h"
#include "fat/FATBuildWorker.h"
#include "fat/FATFileNode.h"
#include "fat/FATTable.h"
#include "foundation/DataRun.h"
#include "foundation/DirectoryTree.h"
#include "storage/MemoryDevice.h"

namespace {

class Builder : public fuzzsupport::KeepingBuilder {
public:
    int AddNode(IFileNode* node, _tagSearcherType) override {
        // Every run must lie inside the volume the reader was given.
        if (auto* f = dynamic_cast<CFileNode*>(node); f && f->GetDataRunList()) {
            IDataRunList* runs = f->GetDataRunList();
            for (DataRun* r = runs->GetFirst(); r; r = runs->GetNext())
                if (r->start < 0 || r->length < 1) __builtin_trap();
        }
        nodes.push_back(node);
        return nodes.size() < 5000;  // refusals are part of the contract too
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kFatBytes = 1024;  // 256 FAT32 entries / 512 FAT16 entries
    if (size < 1 + kFatBytes) return 0;
    const bool fat32 = data[0] & 1;
    const std::uint32_t spc = 1u << ((data[0] >> 1) & 1);
    const std::uint8_t* fatBytes = data + 1;
    const std::uint8_t* rest = data + 1 + kFatBytes;
    const std::size_t restSize = size - 1 - kFatBytes;
    const std::int64_t sectors = static_cast<std::int64_t>(restSize / 512) + 16;
    CMemoryStorageDevice dev(512, sectors, STORAGE_DEVICE_VOLUME);
    dev.Write(0, rest, restSize);
    IRealFATTable* fat = fat32 ? static_cast<IRealFATTable*>(new CFAT32Table(nullptr, 0, 1, fatBytes, kFatBytes))
                               : static_cast<IRealFATTable*>(new CFAT16Table(nullptr, 0, 1, fatBytes, kFatBytes));
    CFATSearchedPartitionInfo* record = CreateFATSearchedPartitionInfo(512);
    Builder builder;
    // FAT16: a 2-sector fixed root at sector 0, data behind it. FAT32: data
    // from sector 0, root at cluster 2.
    const std::int64_t dataStart = fat32 ? 0 : 2;
    CFATBuildWorker worker(&builder, nullptr, record, &dev, fat32 ? 2 : 1, 0, spc, 0, fat32 ? 0 : 2, 2, true, dataStart,
                           static_cast<std::uint64_t>(sectors), fat);
    (void)worker.QuickBuildDirectoryTree(data[0] & 4);
    FolderSectorSet lost;
    for (std::int64_t s = 0; s < sectors && s < 64; s += 3)
        lost.insert(FIRSTFOLDERSECTOR{s, (data[0] & 8) ? static_cast<std::uint32_t>(s + 2) : 0xFFFFFFFFu, 2});
    CFATBuildWorker deep(&builder, nullptr, record, &dev, fat32 ? 2 : 1, 0, spc, 0, fat32 ? 0 : 2, 2, false, dataStart,
                         static_cast<std::uint64_t>(sectors), fat);
    (void)deep.CompleteBuildDirectoryTree(lost);
    DestroyFATSearchedPartitionInfo(record);
    delete fat;
    return 0;
}
