// The FAT deep search over a sparse disk: the input places 512-byte sectors
// (boot sectors, FAT starts, folder sectors, anything) at chosen sector
// numbers of an otherwise zero disk; the searcher is fed the blocks that hold
// them, then rebuilds and builds what it kept. Traps when anything reads past
// the disk's end or a run list reaches past it.
//
// Input: byte 0 picks the disk size; then records of a 4-byte little-endian
// sector number (taken modulo the disk size) and 512 bytes of sector.
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "FuzzBuilder.h"
#include "fat/FATDeepSearch.h"
#include "fat/FATFileNode.h"
#include "foundation/DataRun.h"
#include "foundation/DirectoryTree.h"
#include "foundation/StorageDevice.h"

namespace {

class SparseDisk : public IStorageDevice {
public:
    explicit SparseDisk(std::int64_t total) : m_total(total) {}
    std::map<std::int64_t, std::array<std::uint8_t, 512>> sectors;
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override {
        if (buffer == nullptr || first < 0 || count < 1) return 0;
        if (first + count > m_total) __builtin_trap();
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::memset(out, 0, static_cast<std::size_t>(count) * 512);
        for (auto it = sectors.lower_bound(first); it != sectors.end() && it->first < first + count; ++it)
            std::memcpy(out + (it->first - first) * 512, it->second.data(), 512);
        return 1;
    }
    std::uint32_t GetSectorSize() override { return 512; }
    std::int64_t GetTotalSectors() override { return m_total; }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData* d) override { delete d; }
    int GetType() override { return STORAGE_DEVICE_DISK; }
    EngineResult GetLastError() override { return 0; }

private:
    std::int64_t m_total;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const std::int64_t kTotals[] = {81920, 40960, 200000, 4096};
    const std::int64_t total = kTotals[data[0] % 4];
    SparseDisk disk(total);
    std::set<std::int64_t> blocks;
    constexpr int kBlock = 64;
    for (std::size_t at = 1; at + 516 <= size && disk.sectors.size() < 64; at += 516) {
        std::uint32_t n = 0;
        std::memcpy(&n, data + at, 4);
        const std::int64_t s = static_cast<std::int64_t>(n % static_cast<std::uint64_t>(total));
        std::memcpy(disk.sectors[s].data(), data + at + 4, 512);
        blocks.insert(s / kBlock);
    }
    fuzzsupport::KeepingBuilder builder(20000);
    {
        CFATCompleteFSearcher searcher;
        searcher.SetDirecotryTreeBuilder(&builder);
        searcher.SetDevice(&disk);
        searcher.SetBlockSize(kBlock);
        searcher.PreparetoSearch();
        for (std::int64_t b : blocks) {
            const std::int64_t first = b * kBlock;
            searcher.AnalyzeBlock(first, first + kBlock <= total ? kBlock : total - first);
        }
        searcher.EndSearch(1);
        const auto& kept = searcher.Kept();
        for (const CFATSearchedPartitionInfo* p : kept)
            if (p->GetStartSector() < 0 ||
                p->GetStartSector() + static_cast<std::int64_t>(p->GetTotalSectors()) > total)
                __builtin_trap();
        for (IFileNode* node : builder.nodes) {
            auto* f = dynamic_cast<CFileNode*>(node);
            IDataRunList* runs = f ? f->GetDataRunList() : nullptr;
            const std::uint16_t index = f ? f->GetBelongedPartition() : 0xFFFF;
            if (runs == nullptr || index >= kept.size()) continue;
            const CFATSearchedPartitionInfo* p = kept[index];
            const std::int64_t spc = p->GetSectorsPerCluster();
            for (DataRun* r = runs->GetFirst(); r; r = runs->GetNext())
                if (r->start < 0 || r->length < 1 || p->GetDataStartSector() + (r->start + r->length) * spc > total)
                    __builtin_trap();
        }
        std::vector<CSearchedPartitionInfo*> out(kept.size() + 1, nullptr);
        const int n = searcher.GetSearchedPartitionInfo(out.data(), static_cast<int>(out.size()));
        if (n != static_cast<int>(kept.size())) __builtin_trap();
        for (auto* p : out) delete p;
    }
    return 0;
}
