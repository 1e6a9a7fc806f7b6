// Byte-level HFS+ structures: case folding, key orders, node and header tests.
#include <gtest/gtest.h>

#include <string>

#include "HfsTestUtil.h"
#include "hfsplus/HFSPlusBTree.h"
#include "hfsplus/HFSPlusFormat.h"
#include "hfsplus/HFSPlusVolume.h"

using namespace hfstest;

namespace {
int Cmp(const std::u16string& a, const std::u16string& b) {
    return FastUnicodeCompare(reinterpret_cast<const std::uint16_t*>(a.data()), static_cast<std::uint16_t>(a.size()),
                              reinterpret_cast<const std::uint16_t*>(b.data()), static_cast<std::uint16_t>(b.size()));
}

HFSPlusCatalogKey Key(std::uint32_t parent, const std::u16string& name) {
    HFSPlusCatalogKey k;
    k.parentID = parent;
    k.nodeName.length = static_cast<std::uint16_t>(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) k.nodeName.unicode[i] = name[i];
    return k;
}
}  // namespace

TEST(HFSPlusCaseFolding, TableHasTheShapeOfTN1150) {
    ASSERT_EQ(gLowerCaseTableSize, 11u * 256u);
    // High-byte index: sub-tables for 0x00, 0x01, 0x03, 0x04, 0x05, 0x10,
    // 0x20, 0x21, 0xFE, 0xFF; nothing else folds.
    const std::pair<int, std::uint16_t> index[] = {{0x00, 0x0100}, {0x01, 0x0200}, {0x02, 0},      {0x03, 0x0300},
                                                   {0x04, 0x0400}, {0x05, 0x0500}, {0x10, 0x0600}, {0x20, 0x0700},
                                                   {0x21, 0x0800}, {0x30, 0},      {0xFE, 0x0900}, {0xFF, 0x0A00}};
    for (auto [hi, sub] : index) EXPECT_EQ(gLowerCaseTable[hi], sub) << std::hex << hi;
    auto fold = [](std::uint16_t c) {
        std::uint16_t sub = gLowerCaseTable[c >> 8];
        return sub ? gLowerCaseTable[sub + (c & 0xFF)] : c;
    };
    const std::pair<std::uint16_t, std::uint16_t>
        cases[] =
            {
                {0x0000, 0xFFFF},  // NUL sorts last
                {u'A', u'a'},     {u'Z', u'z'},     {u'a', u'a'},     {u'[', u'['},
                {0x00C6, 0x00E6},  // Æ -> æ, but accented letters stay (names are decomposed)
                {0x00C9, 0x00C9}, {0x00D0, 0x00F0}, {0x00DE, 0x00FE}, {0x0110, 0x0111},
                {0x0391, 0x03B1}, {0x03A3, 0x03C3}, {0x0410, 0x0430}, {0x0419, 0x0419},  // TN1150 leaves Й as it is
                {0x0531, 0x0561}, {0x10A0, 0x10D0}, {0x2160, 0x2170}, {0xFF21, 0xFF41},
                {0x200C, 0},      {0x200F, 0},      {0x202A, 0},      {0x206F, 0},
                {0xFEFF, 0},  // ignorable
            };
    for (auto [c, lower] : cases) EXPECT_EQ(fold(c), lower) << std::hex << c;
}

TEST(HFSPlusCaseFolding, FastUnicodeCompare) {
    struct Case {
        std::u16string a, b;
        int expected;
    } cases[] = {
        {u"a", u"A", 0},
        {u"Notes.TXT", u"notes.txt", 0},
        {u"abc", u"abd", -1},
        {u"abd", u"abc", 1},
        {u"ab", u"abc", -1},
        {u"", u"", 0},
        {u"a\u200Db", u"ab", 0},  // zero-width joiner is ignored
        {u"\u200C", u"", 0},
        {u"a:b", u"a/b", 0},                  // ':' reads as '/'
        {u"a:b", u"a0", -1},                  // ... and sorts as '/' (0x2F < '0')
        {std::u16string(1, u'\0'), u"z", 1},  // NUL folds to 0xFFFF
        {u"\u0391", u"\u03B1", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Cmp(c.a, c.b), c.expected);
        EXPECT_EQ(Cmp(c.b, c.a), -c.expected);
    }
}

TEST(HFSPlusKeyOrder, CatalogBinaryAndCaseFolding) {
    auto a = Key(2, u"a"), A = Key(2, u"A");
    EXPECT_NE(CHFSPlusCatalog::CompareKey(&a, &A, kHFSBinaryCompare), 0);
    EXPECT_EQ(CHFSPlusCatalog::CompareKey(&a, &A, kHFSCaseFolding), 0);
    // Parent first, unsigned.
    auto big = Key(0x80000000u, u"a"), small = Key(3, u"z");
    EXPECT_GT(CHFSPlusCatalog::CompareKey(&big, &small, kHFSBinaryCompare), 0);
    EXPECT_GT(CHFSPlusCatalog::CompareKey(&big, &small, kHFSCaseFolding), 0);
    // ':' sorts exactly as '/' in both orders.
    auto colon = Key(2, u"x:y"), slash = Key(2, u"x/y"), zero = Key(2, u"x0");
    for (std::uint8_t type : {kHFSBinaryCompare, kHFSCaseFolding}) {
        EXPECT_EQ(CHFSPlusCatalog::CompareKey(&colon, &slash, type), 0);
        EXPECT_LT(CHFSPlusCatalog::CompareKey(&colon, &zero, type), 0);
    }
    // Prefix first; two empty names are equal.
    auto e1 = Key(2, u""), e2 = Key(2, u""), ab = Key(2, u"ab"), abc = Key(2, u"abc");
    EXPECT_EQ(CatalogCompare(&e1, &e2), 0);
    EXPECT_LT(CatalogCompare(&ab, &abc), 0);
}

TEST(HFSPlusKeyOrder, ExtentsAndAttributes) {
    HFSPlusExtentKey x, y;
    x.fileID = 5;
    x.forkType = 0;
    x.startBlock = 9;
    y.fileID = 5;
    y.forkType = 0xFF;
    y.startBlock = 0;
    EXPECT_LT(CHFSPlusExtents::CompareKey(&x, &y), 0);  // fork type before start block
    y.forkType = 0;
    EXPECT_GT(CHFSPlusExtents::CompareKey(&x, &y), 0);
    y.startBlock = 9;
    EXPECT_EQ(CHFSPlusExtents::CompareKey(&x, &y), 0);

    HFSPlusAttrKey p, q;
    p.fileID = q.fileID = 20;
    p.nameLength = 2;
    p.name[0] = 'a';
    p.name[1] = 'b';
    q.nameLength = 3;
    q.name[0] = 'a';
    q.name[1] = 'b';
    q.name[2] = 'c';
    q.startBlock = 7;  // takes no part
    EXPECT_LT(CHFSPlusAttribute::CompareKey(&p, &q), 0);
    q.nameLength = 2;
    EXPECT_EQ(CHFSPlusAttribute::CompareKey(&p, &q), 0);
}

TEST(HFSPlusNode, ValidityTable) {
    auto leaf =
        MakeNode(-1, 1, {Concat(CatalogKey(2, u"a"), FolderRecord(20)), Concat(CatalogKey(2, u"b"), FolderRecord(21))});
    EXPECT_TRUE(CHFSPlusBTNode::IsValidNode(leaf.data(), 4096));

    struct Case {
        const char* what;
        std::vector<std::uint8_t> node;
        std::uint16_t size;
    };
    std::vector<Case> refused;
    auto l2 = leaf;
    l2[9] = 2;
    refused.push_back({"leaf of height 2", l2, 4096});
    auto header = MakeHeaderNode(1, 1, 2, kHFSCaseFolding);
    EXPECT_TRUE(CHFSPlusBTNode::IsValidNode(header.data(), 4096));
    auto h1 = header;
    h1[9] = 1;
    refused.push_back({"header of height 1", h1, 4096});
    auto eq = leaf;
    put16(eq, 4096 - 4, 14);  // record 1 at 14, as record 0
    refused.push_back({"equal offsets", eq, 4096});
    auto kind5 = leaf;
    kind5[8] = 5;
    refused.push_back({"unknown kind", kind5, 4096});
    auto first = leaf;
    put16(first, 4094, 16);
    refused.push_back({"record 0 not at 14", first, 4096});
    auto past = leaf;
    put16(past, 4096 - 6, 4095);
    refused.push_back({"free space past the table", past, 4096});
    auto many = leaf;
    put16(many, 10, 3000);
    refused.push_back({"more records than the table can hold", many, 4096});
    refused.push_back({"size not a multiple of 512", leaf, 1000});
    refused.push_back({"size below 512", leaf, 256});
    for (const auto& c : refused) EXPECT_FALSE(CHFSPlusBTNode::IsValidNode(c.node.data(), c.size)) << c.what;
    EXPECT_FALSE(CHFSPlusBTNode::IsValidNode(nullptr, 4096));

    // An empty leaf passes after the record-0 check.
    auto empty = MakeNode(-1, 1, {});
    EXPECT_TRUE(CHFSPlusBTNode::IsValidNode(empty.data(), 4096));
    // Index nodes and map nodes take any height.
    auto index = MakeNode(0, 7, {});
    EXPECT_TRUE(CHFSPlusBTNode::IsValidNode(index.data(), 4096));
}

TEST(HFSPlusNode, RecordsAndOwnerGuess) {
    auto rec0 = Concat(CatalogKey(2, u"a"), FolderRecord(20));
    auto leaf = MakeNode(-1, 1, {rec0, Concat(CatalogKey(2, u"b"), FileRecord(21, 5, 1, {{9, 1}}))});
    CHFSPlusBTNode node(leaf.data(), 4096, 0);
    EXPECT_EQ(node.GetLastError(), 0u);
    EXPECT_EQ(node.GetRecordCount(), 2);
    std::uint16_t len = 0;
    ASSERT_NE(node.GetRecord(0, &len), nullptr);
    EXPECT_EQ(len, rec0.size());
    EXPECT_EQ(node.GetRecord(2, &len), nullptr);
    EXPECT_EQ(HFSErrorNumber(node.GetLastError()), HFS_ERR_NULL_ARG);
    EXPECT_EQ(node.TestNodeBelongToFile(), 4);

    // Extents leaf: 12-byte keys and 64-byte records.
    std::vector<std::uint8_t> ek(12, 0);
    put16(ek, 0, 10);
    auto extLeaf = MakeNode(-1, 1, {Concat(ek, std::vector<std::uint8_t>(64, 0))});
    CHFSPlusBTNode ext(extLeaf.data(), 4096, 0);
    EXPECT_EQ(ext.TestNodeBelongToFile(), 3);

    // Attribute fork-data record (type 0x20, 88 bytes).
    std::vector<std::uint8_t> ak(14, 0);
    put16(ak, 0, 12);
    std::vector<std::uint8_t> fork(88, 0);
    put32(fork, 0, 0x20);
    auto attrLeaf = MakeNode(-1, 1, {Concat(ak, fork)});
    CHFSPlusBTNode attr(attrLeaf.data(), 4096, 0);
    EXPECT_EQ(attr.TestNodeBelongToFile(), 8);

    // A node that fails the test is never interpreted.
    auto bad = leaf;
    bad[9] = 3;
    CHFSPlusBTNode broken(bad.data(), 4096, 0);
    EXPECT_EQ(HFSErrorNumber(broken.GetLastError()), HFS_ERR_BAD_DATA);
    EXPECT_EQ(broken.GetRecordCount(), 0);
    EXPECT_EQ(broken.TestNodeBelongToFile(), 0);
}

TEST(HFSPlusNode, CatalogThreadTest) {
    std::vector<std::uint8_t> t(10 + 2 * 3, 0);
    put16(t, 0, 3);
    put32(t, 4, 2);
    put16(t, 8, 3);
    EXPECT_TRUE(IsValidCatalogThread(t.data(), static_cast<std::int16_t>(t.size())));
    EXPECT_FALSE(IsValidCatalogThread(t.data(), static_cast<std::int16_t>(t.size() + 2)));
    put16(t, 0, 2);
    EXPECT_FALSE(IsValidCatalogThread(t.data(), static_cast<std::int16_t>(t.size())));
    EXPECT_FALSE(IsValidCatalogThread(t.data(), 8));
    EXPECT_FALSE(IsValidAttrData(t.data(), 16));
}

TEST(HFSPlusVolumeHeader, Plausibility) {
    std::vector<std::uint8_t> h(512, 0);
    put16(h, 0, 0x482B);
    put16(h, 2, 4);
    // Signature, version 4, block size 0, zero counts, empty catalog fork.
    EXPECT_TRUE(CHFSPlusVolume::IsValidVolumeHeader(h.data(), 512));
    EXPECT_FALSE(CHFSPlusVolume::IsValidVolumeHeader(h.data(), 511));
    EXPECT_FALSE(CHFSPlusVolume::IsValidVolumeHeader(nullptr, 512));

    struct Case {
        const char* what;
        std::size_t at;
        std::uint32_t value;
        int width;
        bool valid;
    } cases[] = {
        {"HFSX signature", 0, 0x4858, 16, true},
        {"HFS signature", 0, 0x4244, 16, false},
        {"version 16", 2, 16, 16, true},
        {"version 17", 2, 17, 16, false},
        {"block size 4096", 40, 4096, 32, true},
        {"block size 1000", 40, 1000, 32, false},
        {"free blocks above total", 48, 1, 32, false},
        {"journal info block past the end", 12, 1, 32, false},
        {"catalog blocks without size", 272 + 12, 1, 32, true},  // block size 0 x 1 == 0
    };
    for (const auto& c : cases) {
        auto v = h;
        if (c.width == 16)
            put16(v, c.at, static_cast<std::uint16_t>(c.value));
        else
            put32(v, c.at, c.value);
        EXPECT_EQ(CHFSPlusVolume::IsValidVolumeHeader(v.data(), 512), c.valid) << c.what;
    }
    // The catalog's logical size must match its blocks.
    auto v = h;
    put32(v, 40, 4096);
    put32(v, 44, 100);
    put32(v, 272 + 12, 2);
    put64(v, 272, 8192);
    EXPECT_TRUE(CHFSPlusVolume::IsValidVolumeHeader(v.data(), 512));
    put64(v, 272, 8000);
    EXPECT_FALSE(CHFSPlusVolume::IsValidVolumeHeader(v.data(), 512));
}

TEST(HFSPlusFormat, ErrorLineAndConverters) {
    testing::internal::CaptureStdout();
    EngineResult r = FormatError(0x105000100000006ULL, "/a/b\\c/HFSPlusVolume.cpp", 42, "Open");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 0x105000100000006ULL);
    EXPECT_EQ(out, "Return Error:0x105000100000006\tFile:HFSPlusVolume.cpp\tLine:42\tFuction:Open\n");

    std::uint8_t bytes[] = {1, 2, 3, 4};
    flipEndian(bytes, 4);
    EXPECT_EQ(bytes[0], 4);
    EXPECT_EQ(bytes[3], 1);

    HFSUniStr255 u;
    ASCIIToUnicode("ab\xC3", &u);
    EXPECT_EQ(u.length, 3);
    EXPECT_EQ(u.unicode[0], 'a');
    EXPECT_EQ(u.unicode[2], 0xFFC3);  // sign-extended

    // A key whose name length claims more than the key holds is clamped.
    auto raw = CatalogKey(2, u"abc");
    put16(raw, 6, 200);
    HFSPlusCatalogKey key;
    filpCatalogKey(raw.data(), raw.size(), &key);
    EXPECT_EQ(key.parentID, 2u);
    EXPECT_EQ(key.nodeName.length, 3);
}
