// Searcher factories of this file system. Not written yet: they answer null,
// which the scan controllers skip.
#include "foundation/SearcherInterfaces.h"
#include "recovery/VolumeAnalyze.h"

ICompleteFileSystemSearchController* CreateAPFSDeepSearcher() { return nullptr; }

// There is no quick APFS search: an APFS volume always gets a deep scan.
IQuickFileSystemSearchController* CreateAPFSQuickSearcher() { return nullptr; }
