// Deep searcher factory of exFAT. (The quick searcher and the volume
// recogniser are in ExFatQuickSearch.cpp.)
#include "fat/ExFatDeepSearch.h"
#include "foundation/SearcherInterfaces.h"

ICompleteFileSystemSearchController* CreateEXFatSearcher() { return new exfatdeep::CExFatCompleteSearch(); }
