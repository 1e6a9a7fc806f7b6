#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Utf8Converter.h"

namespace {

// Converts `bytes` with `converter`; what converted before an error is kept.
std::string ConvertWith(CUtf8Converter& converter, const std::string& bytes) {
    std::string in = bytes;
    std::string out(4 * bytes.size() + 4, '\0');
    char* src = in.data();
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    converter.Convert(&src, &srcLeft, &dst, &dstLeft);
    out.resize(out.size() - dstLeft);
    return out;
}

std::string Convert(const char* charset, const std::string& bytes) {
    CUtf8Converter converter(charset);
    EXPECT_TRUE(converter.IsOpen()) << charset;
    return ConvertWith(converter, bytes);
}

}  // namespace

TEST(Utf8Converter, EachStringConvertsAsWithAFreshConverter) {
    struct Case {
        const char* charset;
        std::string first;   // leaves the converter in some state
        std::string second;  // must not see it
        std::string expected;
    };
    const std::vector<Case> cases = {
        // Shifted into JIS X 0208 and cut off before shifting back: "0!" is
        // two ASCII characters again in the next string.
        {"ISO-2022-JP", std::string("\x1b$B\x30\x21", 5), "0!", "0!"},
        // Each string's own byte-order mark counts, not the one before.
        {"UTF-16", std::string("\xff\xfe" "A\0", 4), std::string("\xfe\xff\0B", 4), "B"},
        {"UTF-16", std::string("\xfe\xff\0A", 4), std::string("\xff\xfe" "C\0", 4), "C"},
        // Cut in the middle of a character.
        {"UTF-16LE", std::string("A\0\x3d", 3), std::string("B\0", 2), "B"},
        {"GBK", std::string("\xc4", 1), "\xc4\xe3", "\xe4\xbd\xa0"},
        {"WINDOWS-1252", "\x81\xe9", "\xe9t\xe9", "\xc3\xa9t\xc3\xa9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.charset);
        Convert(c.charset, c.first);
        EXPECT_EQ(Convert(c.charset, c.second), c.expected);
        EXPECT_EQ(Convert(c.charset, c.second), c.expected);
    }
}

TEST(Utf8Converter, UnknownSetFailsEveryTime) {
    for (int i = 0; i < 2; ++i) {
        CUtf8Converter converter("NO-SUCH-CHARSET");
        EXPECT_FALSE(converter.IsOpen());
        char in[] = "x";
        char out[8];
        char* src = in;
        char* dst = out;
        std::size_t srcLeft = 1, dstLeft = sizeof out;
        errno = 0;
        EXPECT_EQ(converter.Convert(&src, &srcLeft, &dst, &dstLeft), static_cast<std::size_t>(-1));
        EXPECT_EQ(errno, EBADF);
    }
    CUtf8Converter none(nullptr);
    EXPECT_FALSE(none.IsOpen());
}

TEST(Utf8Converter, ConvertersInUseAtOnceAndOnSeveralThreads) {
    // The same set twice at once: the second is a converter of its own, and
    // neither disturbs the other's shift state.
    CUtf8Converter outer("ISO-2022-JP");
    EXPECT_EQ(ConvertWith(outer, std::string("\x1b$B\x30\x21", 5)), "\xe4\xba\x9c");
    {
        CUtf8Converter inner("ISO-2022-JP");
        EXPECT_EQ(ConvertWith(inner, "0!"), "0!");
    }
    EXPECT_EQ(ConvertWith(outer, "\x30\x21"), "\xe4\xba\x9c");

    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 200; ++i) {
                CUtf8Converter converter(t % 2 ? "UTF-16BE" : "WINDOWS-1252");
                const std::string got = t % 2 ? ConvertWith(converter, std::string("\0h\0i", 4)) : ConvertWith(converter, "h\xe9");
                if (got != (t % 2 ? "hi" : "h\xc3\xa9")) ++wrong[t];
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}
