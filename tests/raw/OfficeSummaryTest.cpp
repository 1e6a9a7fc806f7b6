// The OLE summary-property reader and the UTF-8 helpers, over summary streams
// crafted here byte by byte (the layout is small and fixed, and the cases
// below are ones no writer produces on purpose).
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "raw/FileProperty.h"
#include "raw/RAWFileNode.h"
#include "raw/SummaryInFormation.h"
#include "raw/qxutf8.h"
#include "OleTestSupport.h"

using oletest::Prop;
using oletest::Str16;
using oletest::Str8;
using oletest::SummaryStream;
using oletest::Time64;

namespace {

// FILETIME of a UTC calendar time.
std::uint64_t FileTimeOf(int y, int mo, int d, int h, int mi, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return static_cast<std::uint64_t>(timegm(&tm) + 11644473600LL) * 10000000ULL;
}

class OfficeSummary : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        std::setlocale(LC_ALL, "C.UTF-8");
    }
    int Read(const std::vector<std::uint8_t>& s, FileProperty& p, int length = -1) {
        CSummaryInFormation reader;
        return reader.GetFileInformation(s.data(), p, length < 0 ? static_cast<int>(s.size()) : length);
    }
};

}  // namespace

TEST_F(OfficeSummary, CraftedStreamsFillTheFiveFields) {
    const std::string gbk = "\xD6\xD0\xCE\xC4\xB1\xEA\xCC\xE2";  // "中文标题" in GBK
    auto s = SummaryStream({
        {1, CSummaryInFormation::VT_I2, {0xE9, 0xFD, 0, 0}},
        {2, CSummaryInFormation::VT_LPSTR, Str8("   Quarterly figures for the board meeting")},
        {3, CSummaryInFormation::VT_LPSTR, Str8("subject is not read")},
        {4, CSummaryInFormation::VT_LPSTR, Str8(gbk)},
        {8, CSummaryInFormation::VT_LPWSTR, Str16(u"Zo\u00EB \U0001F600")},
        {12, CSummaryInFormation::VT_FILETIME, Time64(FileTimeOf(2010, 1, 15, 8, 30, 5))},
        {13, CSummaryInFormation::VT_FILETIME, Time64(0)},
    });
    FileProperty p;
    ASSERT_EQ(Read(s, p), 1);
    EXPECT_EQ(p.m_title, "Quarterly figures for th");  // blanks gone, cut to 24 bytes
    EXPECT_EQ(p.m_author, "\xE4\xB8\xAD\xE6\x96\x87\xE6\xA0\x87\xE9\xA2\x98");
    EXPECT_EQ(p.m_lastAuthor, "Zo\xC3\xAB \xF0\x9F\x98\x80");
    EXPECT_EQ(p.m_createTime, "2010-01-15-08-30-05");
    EXPECT_EQ(p.m_lastSaveTime, "");  // a time of 0 is no time
    EXPECT_TRUE(p.m_producer.empty());
    EXPECT_TRUE(p.m_subject.empty());
}

TEST_F(OfficeSummary, RefusedStreams) {
    std::vector<Prop> thirtyOne(31, Prop{2, CSummaryInFormation::VT_LPSTR, Str8("T")});
    std::vector<Prop> thirtyTwo(32, Prop{2, CSummaryInFormation::VT_LPSTR, Str8("T")});
    auto good = SummaryStream({{2, CSummaryInFormation::VT_LPSTR, Str8("Title")}});
    auto version2 = good;
    version2[2] = 2;
    auto threeSets = good;
    threeSets[24] = 3;
    auto farSection = good;
    byteorder::PutLE32(farSection.data() + 44, 0xFFFFFFF0u);
    auto noProps = SummaryStream({});
    auto hugeString = SummaryStream({{2, CSummaryInFormation::VT_LPSTR, {0xFF, 0xFF, 0xFF, 0x7F, 'A', 0}}});
    auto farValue = good;
    byteorder::PutLE32(farValue.data() + 48 + 12, 0x7FFFFFF0u);

    struct Case {
        const char* what;
        std::vector<std::uint8_t> stream;
        int length;
        int expected;
    };
    const Case cases[] = {
        {"good", good, -1, 1},
        {"31 properties", SummaryStream(thirtyOne), -1, 1},
        {"a 32nd property", SummaryStream(thirtyTwo), -1, 0},
        {"byte order FE FF", SummaryStream({{2, CSummaryInFormation::VT_LPSTR, Str8("Title")}}, 0xFEFF), -1, 0},
        {"version 2", version2, -1, 0},
        {"three sets", threeSets, -1, 0},
        {"section past the end", farSection, -1, 0},
        {"no properties", noProps, -1, 0},
        {"pair past the length", good, 60, 0},
        {"header only", good, 47, 0},
        {"string longer than the data", hugeString, -1, 0},
        {"value offset past the data", farValue, -1, 0},
    };
    for (const Case& c : cases) {
        FileProperty p;
        EXPECT_EQ(Read(c.stream, p, c.length), c.expected) << c.what;
    }
}

// The text goes back through the raw-node time parser to the same second,
// in a zone with daylight saving, for dates across four centuries (the old
// 66-year shift was a day out for about half of them).
TEST_F(OfficeSummary, FileTimeTextRoundTripsThroughTheNodeTimeParser) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    EXPECT_EQ(CSummaryInFormation::FileTimeToText(FileTimeOf(2010, 1, 15, 12, 0, 0)), "2010-01-15-13-00-00");
    EXPECT_EQ(CSummaryInFormation::FileTimeToText(FileTimeOf(2024, 7, 1, 22, 30, 0)), "2024-07-02-00-30-00");
    EXPECT_EQ(CSummaryInFormation::FileTimeToText(0), "");
    int checked = 0;
    for (int year = 1700; year <= 2400; year += 7) {
        for (int month = 1; month <= 12; month += 5) {
            const std::uint64_t ft = FileTimeOf(year, month, 1 + (year + month) % 28, (year * 3) % 24, 17, 42);
            const std::string text = CSummaryInFormation::FileTimeToText(ft);
            ASSERT_FALSE(text.empty()) << year;
            EXPECT_EQ(static_cast<std::uint64_t>(CRAWFileNode::RawTimeToFileTime(text)), ft) << text;
            ++checked;
        }
    }
    EXPECT_GT(checked, 200);
}

TEST_F(OfficeSummary, OperateStringCutsAtACharacterBoundary) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"  short", "short"},
        {"exactly twenty-four byte", "exactly twenty-four byte"},  // 24: kept
        {"twenty-five bytes, cut it", "twenty-five bytes, cut i"},
        // 23 ASCII bytes then a 2-byte letter: byte 24 would split it.
        {"abcdefghijklmnopqrstuvw\xC3\xA9xyz", "abcdefghijklmnopqrstuvw"},
        // Eight 3-byte characters fill 24 bytes exactly; the ninth goes.
        {"\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD",
         "\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD"},
        {"   ", ""},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        CSummaryInFormation::OperateString(s);
        EXPECT_EQ(s, c.out) << c.in;
    }
}

TEST_F(OfficeSummary, Utf8ToLocaleText) {
    const struct {
        std::string in;
        std::string out;  // "" = failure
    } cases[] = {
        {"plain", "plain"},
        {"Emoji \xF0\x9F\x98\x80 above the BMP", "Emoji \xF0\x9F\x98\x80 above the BMP"},
        {"\xE4\xB8\xAD\xE6\x96\x87\xE6\xA0\x87\xE9\xA2\x98", "\xE4\xB8\xAD\xE6\x96\x87\xE6\xA0\x87\xE9\xA2\x98"},
        {"cut at the end \xE4\xB8", "cut at the end "},
        {"bad \x80 continuation", ""},
        {"bad lead \xFF", ""},
        {"\xED\xA0\x80 encoded surrogate", ""},
    };
    for (const auto& c : cases) {
        char out[1024];
        const unsigned long n =
            UTF8ToANSI(reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size(), out, sizeof out);
        EXPECT_EQ(std::string(out, n), c.out) << c.in;
    }
    // The output buffer bounds the copy.
    char small[8];
    const std::string longText = "a long title that does not fit";
    const unsigned long n =
        UTF8ToANSI(reinterpret_cast<const std::uint8_t*>(longText.data()), longText.size(), small, sizeof small);
    EXPECT_EQ(std::string(small, n), "a long ");
}
