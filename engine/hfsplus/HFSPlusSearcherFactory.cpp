// Searcher factories of this file system. Not written yet: they answer null,
// which the scan controllers skip.
#include "foundation/SearcherInterfaces.h"

IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher() { return nullptr; }
ICompleteFileSystemSearchController* CreateHFSPlusSearcher() { return nullptr; }
