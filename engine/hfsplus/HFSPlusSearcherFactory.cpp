// Deep searcher factory of this file system. Not written yet: it answers
// null, which the deep scan controllers skip.
#include "foundation/SearcherInterfaces.h"

ICompleteFileSystemSearchController* CreateHFSPlusSearcher() { return nullptr; }
