// exFAT deep search over arbitrary disk bytes: every sector classified, sets
// joined, partitions inferred and their trees built. The first input byte
// picks a small block size so sets and carried sectors straddle blocks.
#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzBuilder.h"
#include "FuzzDevice.h"
#include "fat/ExFatDeepSearch.h"
#include "foundation/DirectoryTree.h"
#include "foundation/FileNode.h"
#include "foundation/SearchedPartitionInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int block = 3 + data[0] % 64;
    std::vector<std::uint8_t> bytes(data + 1, data + size);
    bytes.resize((bytes.size() + 511) / 512 * 512 + 512 * 4);
    FuzzDevice dev(std::move(bytes));
    fuzzsupport::DroppingBuilder builder;
    std::unique_ptr<ICompleteFileSystemSearchController> s(CreateEXFatSearcher());
    s->SetDevice(&dev);
    s->SetBlockSize(block);
    s->SetDirecotryTreeBuilder(&builder);
    s->PreparetoSearch();
    const std::int64_t total = dev.GetTotalSectors();
    for (std::int64_t at = 0; at < total; at += block) s->AnalyzeBlock(at, std::min<std::int64_t>(block, total - at));
    s->EndSearch(1);
    const int n = s->GetSearchedPartitionInfo(nullptr, 0);
    std::vector<CSearchedPartitionInfo*> records(static_cast<std::size_t>(n));
    if (n > 0 && s->GetSearchedPartitionInfo(records.data(), n) == n)
        for (auto* r : records) delete r;
    return 0;
}
