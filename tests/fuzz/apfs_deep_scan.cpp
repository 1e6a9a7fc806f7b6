// The APFS deep scan over a sparse 2 GiB device built from the input:
//   u8 n, n x u32 block numbers (little-endian, taken modulo the device's
//   blocks), then n blocks of 4096 bytes (short input reads as zeros).
// Every other block of the device is zeros. The scan is fed the 64 KiB
// groups that hold the given blocks, in ascending order, as a deep scan
// would (groups of zeros give it nothing), then ends and hands out its
// partition records.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "foundation/ByteOrder.h"
#include "FuzzBuilder.h"
#include "apfs/APFSDeepScan.h"
#include "foundation/DirectoryTree.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"

namespace {
constexpr std::uint64_t kBlocks = 1ull << 19;

class SparseDevice : public IStorageDevice {
public:
    std::map<std::uint64_t, std::vector<std::uint8_t>> blocks;
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override {
        if (first < 0 || count < 0 || static_cast<std::uint64_t>(first + count) > kBlocks * 8) return 0;
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::memset(out, 0, static_cast<std::size_t>(count) * 512);
        for (std::int64_t s = first; s < first + count; ++s) {
            auto it = blocks.find(static_cast<std::uint64_t>(s) / 8);
            if (it != blocks.end()) std::memcpy(out + (s - first) * 512, it->second.data() + (s % 8) * 512, 512);
        }
        return 1;
    }
    std::uint32_t GetSectorSize() override { return 512; }
    std::int64_t GetTotalSectors() override { return static_cast<std::int64_t>(kBlocks * 8); }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData* d) override { delete d; }
    int GetType() override { return 2; }
    EngineResult GetLastError() override { return 0; }
};

class CountingBuilder : public fuzzsupport::BuilderBase {
public:
    int AddNode(IFileNode* node, _tagSearcherType) override {
        if (!handed.insert(node).second) __builtin_trap();  // a node handed over twice
        // Touch what a tree builder reads.
        sum += static_cast<std::uint64_t>(node->GetFileSize()) + std::strlen(node->GetFileName());
        return 1;
    }
    std::set<IFileNode*> handed;
    std::uint64_t sum = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t n = data[0];
    std::size_t at = 1;
    std::vector<std::uint64_t> where;
    for (std::size_t i = 0; i < n && at + 4 <= size; ++i, at += 4)
        where.push_back(byteorder::LE32(data + at) % kBlocks);
    SparseDevice device;
    for (std::uint64_t b : where) {
        std::vector<std::uint8_t> block(4096, 0);
        if (at < size) std::memcpy(block.data(), data + at, std::min<std::size_t>(4096, size - at));
        at += 4096;
        device.blocks[b] = std::move(block);
    }
    std::set<std::uint64_t> groups;
    for (const auto& [b, bytes] : device.blocks) groups.insert(b / 16 * 16);

    CountingBuilder builder;
    {
        APFSDeepScan scan;
        scan.SetDirecotryTreeBuilder(&builder);
        scan.SetDevice(&device);
        for (std::uint64_t g : groups) scan.AnalyzeBlock(static_cast<std::int64_t>(g * 8), 128);
        scan.EndSearch(1);
        CSearchedPartitionInfo* records[8] = {};
        const int count = scan.GetSearchedPartitionInfo(records, 8);
        for (int i = 0; i < count; ++i) delete records[i];
        for (IFileNode* node : builder.handed) builder.sum += static_cast<std::uint64_t>(node->GetFileSize());
    }
    return builder.sum == 1 ? 1 : 0;
}
