// The deep NTFS searcher; the quick searcher and the recogniser live in
// NTFSQuickSearch.cpp and NTFSVolumeAnalyzer.cpp.
#include "foundation/SearcherInterfaces.h"
#include "ntfs/NTFSFileReaderEx.h"
#include "ntfs/NTFSSearchController.h"

ICompleteFileSystemSearchController* CreateNTFSSearcher() {
    // A deep scan finds recycle-bin index files as the quick scan does, and
    // they are as often resident: the tree builder must read them through
    // the NTFS reader to give their entries back their names.
    InstallNTFSIndexFileReader();
    return new CNTFSSearchController();
}
