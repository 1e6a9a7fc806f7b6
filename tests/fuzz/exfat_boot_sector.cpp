// exFAT boot-sector check and recogniser on arbitrary sectors; when the
// sector passes, the quick search runs over the input as a small volume.
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzBuilder.h"
#include "fat/ExFatQuickSearch.h"
#include "fat/ExFatStructures.h"
#include "foundation/DirectoryTree.h"
#include "foundation/Progress.h"
#include "storage/MemoryDevice.h"

namespace {

class Progress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t sector[4096] = {};
    std::memcpy(sector, data, size < sizeof sector ? size : sizeof sector);
    volatile std::uint64_t sink = 0;
    bool valid = false;
    for (std::uint32_t ss : {512u, 4096u, 0u}) {
        CExFatDBR dbr(sector);
        const bool ok = dbr.IsValid(ss);
        valid = valid || (ok && ss == 512);
        sink = sink + ok + dbr.GetTotalSectors() + dbr.GetSectorsPerFat() + dbr.GetTotalCluster();
    }
    if (!valid || size > (1u << 20)) return 0;
    // The input is the volume (at least 64 sectors; the rest reads as zeros).
    const std::int64_t sectors = static_cast<std::int64_t>((size + 511) / 512) < 64 ? 64 : (size + 511) / 512;
    CMemoryStorageDevice dev(512, sectors, STORAGE_DEVICE_VOLUME);
    dev.Write(0, data, size);
    if (IVolumeAnalyze* a = CreateExfatVolumeAnalyze(&dev, 0)) {
        char label[32];
        a->GetLabel(label, sizeof label);
        delete a;
    }
    fuzzsupport::DroppingBuilder builder;
    Progress progress;
    IQuickFileSystemSearchController* search = CreateEXFatQuickSearcher();
    search->SetDirecotryTreeBuilder(&builder);
    search->QuickSearchFiles(&dev, &progress);
    delete search;
    (void)sink;
    return 0;
}
