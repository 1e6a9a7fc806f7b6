// The deep NTFS searcher; the quick searcher and the recogniser live in
// NTFSQuickSearch.cpp and NTFSVolumeAnalyzer.cpp.
#include "foundation/SearcherInterfaces.h"
#include "ntfs/NTFSSearchController.h"

ICompleteFileSystemSearchController* CreateNTFSSearcher() { return new CNTFSSearchController(); }
