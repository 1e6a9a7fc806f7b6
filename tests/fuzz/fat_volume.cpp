// A small made-up volume from the input: the recogniser (boot sector and
// label walk) and the whole quick search of FAT16 and FAT32. Run with
// -close_fd_mask=1: every node prints a line.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzBuilder.h"
#include "fat/FATQuickSearcher.h"
#include "foundation/DirectoryTree.h"
#include "foundation/SearchedPartitionInfo.h"
#include "storage/MemoryDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::int64_t sectors = static_cast<std::int64_t>((size - 1) / 512) + 8;
    CMemoryStorageDevice dev(512, sectors, STORAGE_DEVICE_VOLUME);
    dev.Write(0, data + 1, size - 1);
    std::unique_ptr<IVolumeAnalyze> a(CreateFatVolumeAnalyze(&dev, 0));
    char label[100];
    a->GetLabel(label, sizeof label);
    (void)a->GetTotalSector();
    const std::uint32_t type = (data[0] & 1) ? 2 : 1;
    fuzzsupport::KeepingBuilder builder;
    CFATQuickSearcher searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    (void)searcher.FatQuickSearchFiles(&dev, type, nullptr);
    CSearchedPartitionInfo* out[1] = {nullptr};
    if (searcher.GetSearchedPartitionInfo(out, 1) == 1) delete out[0];
    return 0;
}
