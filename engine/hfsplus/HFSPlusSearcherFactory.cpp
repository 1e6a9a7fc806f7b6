// Deep searcher factory of HFS+.
#include <new>

#include "hfsplus/HFSPlusDeepSearch.h"

ICompleteFileSystemSearchController* CreateHFSPlusSearcher() {
    return new (std::nothrow) CHFSPlusCompleteFileSystemSearchController;
}
