// The NTFS deep search's per-block analysis over arbitrary bytes: the input
// is a small device read in blocks of 16 sectors (so that records and log
// pages are cut by block ends), then scored and rebuilt without a tree
// builder. The first byte picks a block size of 16 or 64 sectors.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzDevice.h"
#include "ntfs/NTFSSearchController.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 + 512 || size > (1u << 20)) return 0;
    const int block = (data[0] & 1) != 0 ? 64 : 16;
    std::vector<std::uint8_t> bytes(data + 1, data + size);
    bytes.resize(bytes.size() / 512 * 512);
    FuzzDevice device(std::move(bytes));
    CNTFSSearchController searcher;
    searcher.SetDevice(&device);
    searcher.SetBlockSize(block);
    searcher.PreparetoSearch();
    const std::int64_t total = device.GetTotalSectors();
    for (std::int64_t s = 0; s < total; s += block) searcher.AnalyzeBlock(s, total - s < block ? total - s : block);
    searcher.EndSearch(1);
    std::vector<CSearchedPartitionInfo*> out(static_cast<std::size_t>(searcher.GetSearchedPartitionInfo(nullptr, 0)));
    searcher.GetSearchedPartitionInfo(out.data(), static_cast<int>(out.size()));
    for (CSearchedPartitionInfo* p : out) delete p;
    return 0;
}
