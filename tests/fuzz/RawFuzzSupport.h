#pragma once
// What the raw-search fuzz targets share: the file-type lists set once per
// process, and the whole search run block by block over a fuzzed device with
// its nodes read and dropped.

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>

#include "FuzzBuilder.h"
#include "foundation/StorageDevice.h"
#include "raw/RAWSearchController.h"
#include "recovery/RecoveryFilter.h"

namespace fuzzsupport {

// The manager keeps its lists for the process; setting them on every input
// would only cost time, so the first input's call sets them.
inline void InitTypeListsOnce(std::map<int, std::string> lists) {
    static const bool once = [&lists] {
        CFileTypeManager::Initialze(lists);
        return true;
    }();
    (void)once;
}

// PreparetoSearch, every block of `block` sectors, EndSearch(build). Small
// blocks make the ring fill, so candidates are evicted and sized through
// their twins. `sectorMap` also hands the search a file-sector map to fill.
inline void RunRawSearch(IStorageDevice& dev, int block, bool sectorMap) {
    DroppingBuilder builder;
    std::map<std::int64_t, std::uint32_t> sectors;
    CRAWSearchController search;
    search.SetDevice(&dev);
    search.SetBlockSize(block);
    search.SetDirecotryTreeBuilder(&builder);
    if (sectorMap) search.SetFileSectorMap(&sectors);
    search.PreparetoSearch();
    const std::int64_t total = dev.GetTotalSectors();
    for (std::int64_t first = 0; first < total; first += block)
        search.AnalyzeBlock(first, std::min<std::int64_t>(block, total - first));
    search.EndSearch(1);
}

}  // namespace fuzzsupport
