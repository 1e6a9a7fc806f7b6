// Searcher factories of APFS.
#include <new>

#include "apfs/APFSDeepScan.h"
#include "foundation/SearcherInterfaces.h"
#include "foundation/VolumeAnalyze.h"

ICompleteFileSystemSearchController* CreateAPFSDeepSearcher() { return new (std::nothrow) APFSDeepScan(); }

// There is no quick APFS search: an APFS volume always gets a deep scan.
IQuickFileSystemSearchController* CreateAPFSQuickSearcher() { return nullptr; }
