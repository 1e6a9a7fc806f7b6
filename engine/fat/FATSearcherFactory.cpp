// The deep searcher of FAT16/FAT32. (The quick searcher and the volume
// recogniser are in FATQuickSearcher.cpp.)
#include "fat/FATDeepSearch.h"

ICompleteFileSystemSearchController* CreateFATSearcher() { return new CFATCompleteFSearcher(); }
