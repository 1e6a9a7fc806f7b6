// The deep NTFS searcher is not written yet: it answers null, which the deep
// scan controllers skip. The quick searcher and the recogniser live in
// NTFSQuickSearch.cpp and NTFSVolumeAnalyzer.cpp.
#include "foundation/SearcherInterfaces.h"

ICompleteFileSystemSearchController* CreateNTFSSearcher() { return nullptr; }
