// Nodes, names, folders, ids and times of raw-found files, and the tag trees.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "foundation/DataRun.h"
#include "raw/LabelRawTreeBuilder.h"
#include "raw/RAWFileManager.h"
#include "raw/RAWFileNode.h"
#include "raw/RawFileAnalyser.h"
#include "raw/RawSearchState.h"
#include "recovery/RecoveryFilter.h"
#include "support/BuilderDouble.h"

using quillory_test::BuilderDouble;

namespace {

class RawNodes : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        std::map<int, std::string> lists = {{1, "doc;docx;pdf"}, {2, "jpg;png;nef"}, {4, "mov;mp4"},
                                            {8, "mp3;m4a"},      {16, "zip"},        {32, "mbox"}};
        CFileTypeManager::Initialze(lists);
        state.ResetForTest();
    }
    CRawFileInfo* Record(std::uint32_t type, std::int64_t size, const std::string& name = "") {
        records.emplace_back(new CRawFileInfo());
        CRawFileInfo* r = records.back().get();
        r->m_type = type;
        r->m_size = size;
        r->m_startSector = 100;
        if (!name.empty()) r->SetRawFileName(name);
        return r;
    }
    CRawFileInfo* Tagged(std::uint32_t type, RAW_FILE_TAG tag, std::string value) {
        CRawFileInfo* r = Record(type, 1000);
        r->SetRawFileTagAndValue(tag, value);
        return r;
    }
    // (name, id, parent id) of every node the builder took, in order.
    std::vector<std::string> Taken() const {
        std::vector<std::string> out;
        for (auto* n : builder.nodes)
            out.push_back(std::string(n->GetFileName()) + " " + std::to_string(n->GetCurrentNodeID()) + "<" +
                          std::to_string(n->GetParentNodeID()));
        return out;
    }

    CRawSearchState state;
    BuilderDouble builder;
    std::vector<std::unique_ptr<CRawFileInfo>> records;
};

}  // namespace

TEST_F(RawNodes, UnnamedFilesCountPerTypeInOneExtensionFolder) {
    CRAWFileManagerSet set(&builder, &state);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(set.AddRawFileInfo(Record(RAW_FILE_TYPE_JPG, 5000)), 1);
    EXPECT_EQ(Taken(), (std::vector<std::string>{"FILE000.JPG 10000<10", "jpg 10<1", "FILE001.JPG 10001<10",
                                                 "FILE002.JPG 10002<10"}));
    ASSERT_EQ(set.AddRawFileInfo(Record(RAW_FILE_TYPE_MP3, 10, "word")), 1);
    ASSERT_EQ(set.AddRawFileInfo(Record(RAW_FILE_TYPE_MP3, 10)), 1);
    // Ids repeat between categories (each counts from 10,000); folders do not.
    const auto t = Taken();
    EXPECT_EQ(t[4], "word000.MP3 10000<11");
    EXPECT_EQ(t[5], "mp3 11<1");
    EXPECT_EQ(t[6], "FILE001.MP3 10001<11");
    for (auto* n : builder.nodes) EXPECT_EQ(builder.PathBelow(n, 1).find('?'), std::string::npos);
    EXPECT_EQ(set.CategoryOf(RAW_FILE_TYPE_JPG), FILE_TYPE_PICTURES);
    EXPECT_EQ(set.CategoryOf(RAW_FILE_TYPE_MP3), FILE_TYPE_MUSIC);
    EXPECT_EQ(set.CategoryOf(RAW_FILE_TYPE_DXF), FILE_TYPE_UNKNOWN);
    // A new search starts the counters again.
    state.PreparetoSearch();
    EXPECT_EQ(state.g_nID(), 10);
    EXPECT_EQ(state.NextNameNumber(RAW_FILE_TYPE_JPG), 0u);
}

TEST_F(RawNodes, RunsCountDeviceSectors) {
    for (std::uint32_t ss : {512u, 4096u}) {
        state.SetDeviceSectorSize(ss);
        CRAWFileNode node(&state);
        CRawFileInfo* r = Record(RAW_FILE_TYPE_PNG, 4097);
        ASSERT_EQ(node.Initilaize(r, CRAWFileNode::kFile, 1, 2), 1);
        const DataRun* run = CDataRunWalker(node.GetProperties()->GetDataRunList()).First();
        ASSERT_NE(run, nullptr);
        EXPECT_EQ(run->start, 100);
        EXPECT_EQ(run->length, ss == 512 ? 9 : 2);
        EXPECT_EQ(node.GetFileSize(), 4097);
        EXPECT_EQ(node.IsDirectory(), 0);
        EXPECT_EQ(node.GetProperties()->GetMaskFlag(), 463);
        // One list, the node's, whichever side is asked.
        EXPECT_EQ(node.GetDataRunList(), node.GetProperties()->GetDataRunList());
    }
    // Empty files and folders have a list without runs.
    CRAWFileNode empty(&state);
    ASSERT_EQ(empty.Initilaize(Record(RAW_FILE_TYPE_PNG, 0), CRAWFileNode::kFile, 1, 2), 1);
    ASSERT_NE(empty.GetDataRunList(), nullptr);
    EXPECT_EQ(CDataRunWalker(empty.GetDataRunList()).First(), nullptr);
    CRAWFileNode unmade(&state);
    EXPECT_EQ(unmade.GetDataRunList(), nullptr);
    EXPECT_EQ(unmade.GetProperties(), nullptr);
}

TEST_F(RawNodes, TypesOfOneExtensionShareItsFolder) {
    // "Raw" (type 0, also taken for unknown types) and "RAW" make one "raw" folder.
    CRAWFileManager manager(1, FILE_TYPE_PICTURES, &builder, &state, nullptr);
    ASSERT_EQ(manager.AddRawFileInfo(Record(RAW_FILE_TYPE_RAW, 10)), 1);
    ASSERT_EQ(manager.AddRawFileInfo(Record(0, 10)), 1);
    ASSERT_EQ(manager.AddRawFileInfo(Record(9999, 10)), 1);
    ASSERT_EQ(manager.AddRawFileInfo(Record(RAW_FILE_TYPE_RAW, 10)), 1);
    EXPECT_EQ(Taken(), (std::vector<std::string>{"FILE000.RAW 10000<10", "raw 10<1", "FILE000.Raw 10001<10",
                                                 "FILE000.Raw 10002<10", "FILE001.RAW 10003<10"}));
}

TEST_F(RawNodes, NamesAreSafeUtf8OfAtMost254Bytes) {
    struct Case {
        std::string prefix;
        std::uint32_t counter;
        unsigned type;
        std::string want;
    } cases[] = {
        {"word", 0, RAW_FILE_TYPE_MP3, "word000.MP3"},
        {"", 7, RAW_FILE_TYPE_PKG, "FILE007.pkg"},
        {"\xC3\x28oops", 1, RAW_FILE_TYPE_JPG, "FILE001.JPG"},          // invalid UTF-8
        {"\xED\xA0\x80", 2, RAW_FILE_TYPE_JPG, "FILE002.JPG"},          // a surrogate
        {"\xC0\xAF", 3, RAW_FILE_TYPE_JPG, "FILE003.JPG"},              // overlong
        {std::string("a\0b", 3), 4, RAW_FILE_TYPE_JPG, "FILE004.JPG"},  // NUL inside
        {"x", 12345, 9999, "x12345.Raw"},                               // type out of range
    };
    for (const auto& c : cases) EXPECT_EQ(CRAWFileNode::MakeFileName(c.counter, c.type, c.prefix), c.want);
    // Long names keep counter and extension and cut at a character boundary.
    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "\xE2\x82\xAC";  // 600 bytes of euro signs
    const std::string cut = CRAWFileNode::MakeFileName(5, RAW_FILE_TYPE_DOCX, longName);
    EXPECT_LE(cut.size(), 254u);
    EXPECT_EQ(cut.substr(cut.size() - 8), "005.DOCX");
    EXPECT_TRUE(IsValidUtf8Name(cut));
    EXPECT_GT(cut.size(), 245u);
    // Through a record: the filter and the node's stored length.
    CRAWFileNode node(&state);
    ASSERT_EQ(node.Initilaize(Record(RAW_FILE_TYPE_DOCX, 10, longName + "  "), CRAWFileNode::kFile, 1, 2), 1);
    EXPECT_EQ(std::string(node.GetFileName()), cut.substr(0, cut.size() - 8) + "000.DOCX");
    EXPECT_EQ(node.GetProperties()->GetFileNameLength(), static_cast<int>(std::string(node.GetFileName()).size() + 1));
    EXPECT_EQ(CRAWFileNode::MakeFolderName("ab\xFF"
                                           "c  "),
              "ab_c");
    EXPECT_EQ(CRAWFileNode::MakeFolderName(std::string(3, '\0')), "");
}

TEST_F(RawNodes, RawTimesAreExactLocalTimes) {
    const std::int64_t k1970 = 116444736000000000LL;
    auto expect = [&](int y, int mo, int d, int h, int mi, int s) {
        std::tm tm{};
        tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
        return static_cast<std::int64_t>(timegm(&tm)) * 10000000LL + k1970;
    };
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2010:05:06 12:34:56"), expect(2010, 5, 6, 12, 34, 56));
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("  2010-05-06 12-34-56 "), expect(2010, 5, 6, 12, 34, 56));
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2010:05:06"), 0);
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2000:02:29 00:00:00"), expect(2000, 2, 29, 0, 0, 0));
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2010:01:15 12:00:00"), expect(2010, 1, 15, 12, 0, 0));
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("x"), 0);
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2010:13:06 12:34:56"), 0);
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2010:05:06 12:34:5x"), 0);
    // Fields of up to 9 digits; what follows the sixth is not read.
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("000002010:05::06 12:34:56 x:y"), expect(2010, 5, 6, 12, 34, 56));
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("0000002010:05:06 12:34:56"), 0);
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2010:05:06 12:34:9999999999"), 0);
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2010:05:06 12:34:"), 0);
    // Every mid-month date 1990-2030 and every 29 February in it.
    for (int y = 1990; y <= 2030; ++y) {
        for (int m = 1; m <= 12; ++m) {
            char text[32];
            std::snprintf(text, sizeof text, "%04d:%02d:15 12:00:00", y, m);
            ASSERT_EQ(CRAWFileNode::RawTimeToFileTime(text), expect(y, m, 15, 12, 0, 0)) << text;
        }
        if (y % 4 == 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%04d:02:29 23:59:59", y);
            ASSERT_EQ(CRAWFileNode::RawTimeToFileTime(text), expect(y, 2, 29, 23, 59, 59)) << text;
        }
    }
    // Local time with daylight saving: a summer date in central Europe is
    // UTC+2. The same text read before and after the zone changes.
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2010:07:01 12:00:00"), expect(2010, 7, 1, 12, 0, 0));
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2010:07:01 12:00:00"), expect(2010, 7, 1, 10, 0, 0));
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2010:01:01 12:00:00"), expect(2010, 1, 1, 11, 0, 0));
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(CRAWFileNode::RawTimeToFileTime("2010:07:01 12:00:00"), expect(2010, 7, 1, 12, 0, 0));
    // Through a node: all three times.
    CRAWFileNode node(&state);
    CRawFileInfo* r = Record(RAW_FILE_TYPE_JPG, 10);
    r->m_rawFileTime = "2010:05:06 12:34:56";
    ASSERT_EQ(node.Initilaize(r, CRAWFileNode::kFile, 1, 2), 1);
    EXPECT_EQ(node.GetCreationTime(), expect(2010, 5, 6, 12, 34, 56));
    EXPECT_EQ(node.GetModificationTime(), node.GetCreationTime());
    EXPECT_EQ(node.GetLastAccessTime(), node.GetCreationTime());
    EXPECT_EQ(node.GetProperties()->GetRawFileTime(), "2010:05:06 12:34:56");
}

TEST_F(RawNodes, FilterAndRecordBasics) {
    struct Case {
        std::string in, out;
    } cases[] = {{"a\x01"
                  "b",
                  "a_b"},
                 {"a\\b", "a_b"},
                 {"a/b", "a_b"},
                 {"a:b", "a_b"},
                 {"a?b", "a_b"},
                 {"a\"b", "a_b"},
                 {"a<b", "a_b"},
                 {"a>b", "a_b"},
                 {"a|b", "a_b"},
                 {"a*b", "a_b"},
                 {"a\rb", "a_b"},
                 {"a\nb", "a_b"},
                 {"name   ", "name"},
                 {"", ""},
                 {"x: y?  ", "x_ y_"}};
    for (const auto& c : cases) {
        EXPECT_EQ(ApiStrFilterBadFileName(c.in), c.out) << c.in;
        CRawFileInfo r;
        r.m_rawFileName = c.in;
        EXPECT_EQ(r.GetRawFileName(), c.out);
        EXPECT_EQ(r.m_rawFileName, c.out);
    }
    CRawFileInfo base;
    CRawFileInfo::SearchContext ctx;
    EXPECT_FALSE(base.WhetherImplementGuess());
    EXPECT_EQ(base.CalcRawSize(nullptr, 512, 0, ctx), 2);
    IRawFileAnalyser plain;
    EXPECT_EQ(plain.GetRawFileSize(base, nullptr), 1);
    EXPECT_EQ(base.m_size, 0);
    std::string value = "Canon:EOS ";
    base.SetRawFileTagAndValue(RAW_FILE_TAG_CAMERA, value);
    EXPECT_EQ(value, "Canon_EOS");
}

TEST_F(RawNodes, TagTreesGroupByTagAndValueChildrenFirst) {
    CRAWFileManagerSet set(&builder, &state);
    ASSERT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_MP3, RAW_FILE_TAG_ARTIST, "X")), 1);
    EXPECT_EQ(Taken(), (std::vector<std::string>{"FILE000.MP3 2002<2001", "X 2001<-14", "Artists -14<1000"}));
    ASSERT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_MP3, RAW_FILE_TAG_ARTIST, "X")), 1);
    ASSERT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_JPG, RAW_FILE_TAG_CAMERA, "X")), 1);
    auto t = Taken();
    ASSERT_EQ(t.size(), 7u);
    EXPECT_EQ(t[3], "FILE001.MP3 2003<2001");
    EXPECT_EQ(t[4], "FILE000.JPG 2005<2004");
    EXPECT_EQ(t[5], "X 2004<-15");
    EXPECT_EQ(t[6], "Camera -15<1000");
    // The same camera from another category shares the key and value folders.
    ASSERT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_NEF, RAW_FILE_TAG_CAMERA, "X")), 1);
    ASSERT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_DXF, RAW_FILE_TAG_CAMERA, "X")), 1);
    EXPECT_EQ(builder.nodes.size(), 9u);
    for (auto* n : builder.nodes) EXPECT_EQ(builder.PathBelow(n, 1000).find('?'), std::string::npos);
    for (int type : builder.types) EXPECT_EQ(type, 36);
}

TEST_F(RawNodes, OfficeDocumentsGetTheirGroup) {
    CRAWFileManagerSet set(&builder, &state);
    ASSERT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_DOCX, RAW_FILE_TAG_OFFICE, "Ann")), 1);
    EXPECT_EQ(Taken(),
              (std::vector<std::string>{"FILE000.DOCX 2002<2001", "Ann 2001<-12", "Word -12<-13", "Office -13<1000"}));
    ASSERT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_XLS, RAW_FILE_TAG_OFFICE, "Ann")), 1);
    auto t = Taken();
    EXPECT_EQ(t[4], "FILE000.XLS 2004<2003");
    EXPECT_EQ(t[5], "Ann 2003<-11");
    EXPECT_EQ(t[6], "Excel -11<-13");
    // An illustration whose value reads "Word" gets a value folder, not the group.
    ASSERT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_AI, RAW_FILE_TAG_ILLUSTRATION, "Word")), 1);
    EXPECT_EQ(Taken()[8], "Word 2005<-6");
}

TEST_F(RawNodes, UntaggedOrUnfoldableRecordsFallBackToTheExtensionTree) {
    CRAWFileManagerSet set(&builder, &state);
    // Tag -1 with a value (a streaming ZIP's first member name): extension tree.
    ASSERT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_ZIP, RAW_FILE_TAG_NONE, "a.txt")), 1);
    // A tag whose value leaves no folder name, and a tag above 5.
    ASSERT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_JPG, RAW_FILE_TAG_CAMERA, "   ")), 1);
    CRawFileInfo* odd = Record(RAW_FILE_TYPE_JPG, 10);
    odd->m_tag = 9;
    odd->m_tagValue = "v";
    ASSERT_EQ(set.AddRawFileInfo(odd), 1);
    EXPECT_EQ(Taken(), (std::vector<std::string>{"FILE000.ZIP 10000<10", "zip 10<1", "FILE000.JPG 10000<11", "jpg 11<1",
                                                 "FILE001.JPG 10001<11"}));
    for (int type : builder.types) EXPECT_EQ(type, 34);
    // The tag tree refuses them itself.
    CLABELRAWTreeBuilder labels(&state);
    EXPECT_EQ(labels.InsertNodeToTree(Tagged(RAW_FILE_TYPE_ZIP, RAW_FILE_TAG_NONE, "a"), &builder), 0);
}

TEST_F(RawNodes, RefusedNodesAreFreedAndNotCounted) {
    CRAWFileManagerSet set(&builder, &state);
    builder.refuseAll = true;
    EXPECT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_MP3, RAW_FILE_TAG_ARTIST, "X")), 0);
    EXPECT_EQ(set.AddRawFileInfo(Record(RAW_FILE_TYPE_JPG, 10)), 0);
    builder.refuseAll = false;
    // The folders are made anew for the next file (ASan checks nothing leaked).
    ASSERT_EQ(set.AddRawFileInfo(Tagged(RAW_FILE_TYPE_MP3, RAW_FILE_TAG_ARTIST, "X")), 1);
    for (auto* n : builder.nodes)
        EXPECT_EQ(builder.PathBelow(n, 1000).find('?'), std::string::npos) << n->GetFileName();
    EXPECT_EQ(set.AddRawFileInfo(nullptr), 0);
}
