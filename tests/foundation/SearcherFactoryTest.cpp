#include <gtest/gtest.h>

#include "foundation/SearcherInterfaces.h"

// There is no quick APFS search; linking this also shows that a test program
// reaches every engine library through quillory_engine.
TEST(SearcherFactories, ApfsHasNoQuickSearcher) { EXPECT_EQ(CreateAPFSQuickSearcher(), nullptr); }
