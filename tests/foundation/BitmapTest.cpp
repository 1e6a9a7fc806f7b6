#include <gtest/gtest.h>

#include "foundation/Bitmap.h"

TEST(Bitmap, EdgesOfCreateSetGetAndFill) {
    TBitmap map;
    EXPECT_EQ(map.GetBitmapData(), nullptr);
    EXPECT_EQ(map.GetUnit(), 1u);
    EXPECT_EQ(map.FillBitmap(0), 0);
    EXPECT_EQ(map.SetBit(0, 1, 1), 0);
    EXPECT_EQ(map.GetBit(0), 0);

    ASSERT_EQ(map.CreateBitmap(9, 8), 1);
    EXPECT_EQ(map.GetBitmapSize(), 2u);
    EXPECT_EQ(map.GetMaxBitIndex(), 8);
    EXPECT_EQ(map.GetUnit(), 8u);
    std::uint8_t* data = map.GetBitmapData();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(data[1], 0);

    // A count below 1 changes nothing and keeps the array.
    EXPECT_EQ(map.CreateBitmap(0, 1), 0);
    EXPECT_EQ(map.CreateBitmap(-5, 1), 0);
    EXPECT_EQ(map.GetBitmapData(), data);
    EXPECT_EQ(map.GetMaxBitIndex(), 8);

    // Runs stop at the highest index.
    EXPECT_EQ(map.SetBit(6, 1, 5), 1);
    for (int i = 0; i <= 8; ++i) EXPECT_EQ(map.GetBit(i) != 0, i >= 6) << i;
    EXPECT_EQ(data[0], 0xC0);
    EXPECT_EQ(data[1], 0x01);
    EXPECT_EQ(map.SetBit(9, 1, 1), 0);
    EXPECT_EQ(map.SetBit(-1, 1, 1), 0);
    EXPECT_EQ(map.SetBit(0, 1, 0), 1);  // count 0: nothing
    EXPECT_EQ(map.GetBit(0), 0);
    EXPECT_EQ(map.SetBit(7, 0, 0xFFFFFFFFu), 1);
    EXPECT_EQ(map.GetBit(6), 1);
    EXPECT_EQ(map.GetBit(7), 0);
    EXPECT_EQ(map.GetBit(8), 0);
    EXPECT_EQ(map.GetBit(-1), 0);
    EXPECT_EQ(map.GetBit(9), 0);

    EXPECT_EQ(map.FillBitmap(0), 1);
    EXPECT_EQ(data[0], 0xFF);
    EXPECT_EQ(data[1], 0xFF);
    EXPECT_EQ(map.GetBit(9), 0);
    EXPECT_EQ(map.FillBitmap(1), 1);
    EXPECT_EQ(data[1], 0);

    EXPECT_EQ(map.CreateBitmap(64, 1), 1);  // replaces the earlier map
    EXPECT_EQ(map.GetBitmapSize(), 8u);
    EXPECT_EQ(map.GetMaxBitIndex(), 63);
    EXPECT_EQ(map.GetBit(6), 0);

    EXPECT_EQ(map.DestroyBitmap(), 1);
    EXPECT_EQ(map.GetBitmapData(), nullptr);
    EXPECT_EQ(map.GetBitmapSize(), 0u);
    EXPECT_EQ(map.GetMaxBitIndex(), 0);
    EXPECT_EQ(map.GetBit(0), 0);
}
