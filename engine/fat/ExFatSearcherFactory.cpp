// Deep searcher factory of exFAT. Not written yet: it answers null, which the
// scan controllers skip. (The quick searcher and the volume recogniser are in
// ExFatQuickSearch.cpp.)
#include "foundation/SearcherInterfaces.h"

ICompleteFileSystemSearchController* CreateEXFatSearcher() { return nullptr; }
