// Searcher factories of this file system. Not written yet: they answer null,
// which the scan controllers skip.
#include "foundation/SearcherInterfaces.h"
#include "recovery/VolumeAnalyze.h"

IQuickFileSystemSearchController* CreateEXFatQuickSearcher() { return nullptr; }
ICompleteFileSystemSearchController* CreateEXFatSearcher() { return nullptr; }

// Volume recogniser of this file system. Not written yet: null means "not
// this file system", so recognition goes on to the next one.
IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice*, std::uint64_t) { return nullptr; }
