#include <gtest/gtest.h>
TEST(NTFSPlaceholder, Builds) { SUCCEED(); }
