#include <gtest/gtest.h>

#include <vector>

#include "StorageTestUtil.h"
#include "storage/MemoryDevice.h"

using namespace storage_test;

TEST(MemoryDevice, ReadsLikeADiskWithInjectedFailures) {
    for (std::uint32_t size : {512u, 4096u}) {
        SCOPED_TRACE(size);
        CMemoryStorageDevice d(size, 100);
        d.FillPattern();
        EXPECT_EQ(d.GetSectorSize(), size);
        std::vector<std::uint8_t> buf(4 * size, 0xAA);
        ASSERT_EQ(d.ReadSector(buf.data(), 10, 4), 1);
        EXPECT_EQ(PatternWord(buf.data()), 10u);
        EXPECT_EQ(PatternWord(buf.data() + 3 * size + size - 8), 13u);

        EXPECT_EQ(d.ReadSector(buf.data(), 10, 0), 0);
        EXPECT_TRUE(IsStorageError(d.GetLastError(), STORAGE_ERROR_BAD_ARGUMENT));

        ASSERT_EQ(d.ReadSector(buf.data(), 98, 4), 1);  // straddles the end
        EXPECT_EQ(PatternWord(buf.data() + size), 99u);
        EXPECT_TRUE(AllZero(buf.data() + 2 * size, 2 * size));
        EXPECT_EQ(d.ReadSector(buf.data(), 100, 1), 0);  // wholly past it

        d.FailSector(12);
        std::fill(buf.begin(), buf.end(), 0xAA);
        EXPECT_EQ(d.ReadSector(buf.data(), 10, 4), 0);
        EXPECT_TRUE(IsStorageError(d.GetLastError(), STORAGE_ERROR_IO));
        EXPECT_EQ(PatternWord(buf.data() + size), 11u);
        EXPECT_TRUE(AllZero(buf.data() + 2 * size, size));
        EXPECT_EQ(PatternWord(buf.data() + 3 * size), 13u);
    }
}
