// Deep searcher factory of this file system. Not written yet: it answers
// null, which the scan controllers skip. (The quick searcher and the volume
// recogniser are in FATQuickSearcher.cpp.)
#include "foundation/SearcherInterfaces.h"

ICompleteFileSystemSearchController* CreateFATSearcher() { return nullptr; }
