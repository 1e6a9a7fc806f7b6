#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "foundation/HugePageBuffer.h"

TEST(HugePageBuffer, AlignedZeroedAndEmptyOnceMovedOrReset) {
    CHugePageBuffer buffer;
    EXPECT_TRUE(buffer.empty());
    buffer.Assign(0);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.data(), nullptr);

    constexpr std::size_t kBytes = (4u << 20) + 3;
    buffer.Assign(kBytes);
    ASSERT_FALSE(buffer.empty());
    EXPECT_EQ(buffer.size(), kBytes);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % (2u << 20), 0u);
    EXPECT_EQ(buffer.data()[0], 0);
    EXPECT_EQ(buffer.data()[kBytes - 1], 0);
    buffer.data()[kBytes - 1] = 7;

    CHugePageBuffer moved(std::move(buffer));
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_EQ(moved.size(), kBytes);
    EXPECT_EQ(moved.data()[kBytes - 1], 7);

    buffer = std::move(moved);
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(buffer.data()[kBytes - 1], 7);

    // A size that cannot be rounded up to whole huge pages: empty.
    buffer.Assign(SIZE_MAX - 1);
    EXPECT_TRUE(buffer.empty());
    buffer.Assign(1);
    buffer.Reset();
    EXPECT_TRUE(buffer.empty());
}
