#include <gtest/gtest.h>

#include "foundation/SearcherInterfaces.h"

// There is no quick APFS search: the factory answers null, and the quick
// controller skips the volume.
TEST(SearcherFactories, ApfsHasNoQuickSearcher) { EXPECT_EQ(CreateAPFSQuickSearcher(), nullptr); }
