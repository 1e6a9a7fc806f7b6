#include "foundation/ByteOrder.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>

using namespace byteorder;

TEST(ByteOrder, LoadsReadBothOrdersAtAnyAlignment) {
    const std::array<std::uint8_t, 9> b = {0xEE, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    const std::uint8_t* p = b.data() + 1;  // odd address on purpose
    EXPECT_EQ(LE16(p), 0x0201u);
    EXPECT_EQ(BE16(p), 0x0102u);
    EXPECT_EQ(LE24(p), 0x030201u);
    EXPECT_EQ(BE24(p), 0x010203u);
    EXPECT_EQ(LE32(p), 0x04030201u);
    EXPECT_EQ(BE32(p), 0x01020304u);
    EXPECT_EQ(LE64(p), 0x0807060504030201ull);
    EXPECT_EQ(BE64(p), 0x0102030405060708ull);
}

TEST(ByteOrder, StoresRoundTripThroughLoads) {
    std::array<std::uint8_t, 8> b{};
    PutLE16(b.data(), 0xBEEF);
    EXPECT_EQ(b[0], 0xEF);
    EXPECT_EQ(LE16(b.data()), 0xBEEF);
    PutBE32(b.data(), 0xCAFEBABE);
    EXPECT_EQ(b[0], 0xCA);
    EXPECT_EQ(BE32(b.data()), 0xCAFEBABEu);
    PutLE64(b.data(), 0x1122334455667788ull);
    EXPECT_EQ(LE64(b.data()), 0x1122334455667788ull);
    PutBE64(b.data(), 0x1122334455667788ull);
    EXPECT_EQ(b[0], 0x11);
    EXPECT_EQ(BE64(b.data()), 0x1122334455667788ull);
}

TEST(ByteOrderSpan, ChecksEveryAccessAgainstItsEnd) {
    const std::array<std::uint8_t, 6> b = {1, 2, 3, 4, 5, 6};
    const Span s(b.data(), b.size());
    std::uint32_t v32 = 7;
    EXPECT_TRUE(s.LE32(2, v32));
    EXPECT_EQ(v32, 0x06050403u);
    EXPECT_FALSE(s.LE32(3, v32));  // one byte past the end
    EXPECT_EQ(v32, 0x06050403u);   // left alone
    std::uint64_t v64 = 0;
    EXPECT_FALSE(s.LE64(0, v64));
    EXPECT_EQ(s.LE32Or0(3), 0u);
    EXPECT_EQ(s.BE16Or0(4), 0x0506u);

    // Offsets and lengths near the top of size_t must not wrap into range.
    const std::size_t huge = std::numeric_limits<std::size_t>::max();
    EXPECT_EQ(s.At(huge, 2), nullptr);
    EXPECT_EQ(s.At(2, huge), nullptr);
    EXPECT_TRUE(s.Sub(huge - 1, 4).empty());
    EXPECT_NE(s.At(6, 0), nullptr);  // an empty range at the end is in range
    EXPECT_TRUE(s.From(7).empty());

    const Span sub = s.Sub(1, 3);
    EXPECT_EQ(sub.size(), 3u);
    EXPECT_EQ(sub.BE16Or0(1), 0x0304u);
    EXPECT_EQ(sub.LE16Or0(2), 0u);  // the parent's bytes past the sub-view stay out of reach
    const std::uint8_t sig[] = {3, 4};
    EXPECT_TRUE(s.Matches(2, sig, 2));
    EXPECT_FALSE(s.Matches(5, sig, 2));
}
