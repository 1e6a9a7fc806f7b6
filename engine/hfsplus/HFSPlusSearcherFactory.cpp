// Searcher factories of this file system. Not written yet: they answer null,
// which the scan controllers skip.
#include "foundation/SearcherInterfaces.h"
#include "recovery/VolumeAnalyze.h"

IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher() { return nullptr; }
ICompleteFileSystemSearchController* CreateHFSPlusSearcher() { return nullptr; }

// Volume recogniser of this file system. Not written yet: null means "not
// this file system", so recognition goes on to the next one.
IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice*, std::uint64_t) { return nullptr; }
