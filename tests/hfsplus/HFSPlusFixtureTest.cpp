// Real HFS+ volumes: the prebuilt images in tests/data and a volume made by
// xorriso, checked against The Sleuth Kit (fls, istat, icat).
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "HfsTestUtil.h"
#include "foundation/DataRun.h"
#include "foundation/VolumeAnalyze.h"
#include "hfsplus/HFSPlusFileNode.h"
#include "hfsplus/HFSPlusJournal.h"
#include "hfsplus/HFSPlusQuickSearch.h"
#include "hfsplus/HFSPlusVolume.h"

using namespace hfstest;

namespace {

struct FlsEntry {
    bool directory = false;
    std::int64_t id = 0;
    std::string path;
};

// Every entry of the live tree below the special files (ids from 16 on).
std::vector<FlsEntry> ListWithFls(const std::string& image) {
    std::vector<FlsEntry> entries;
    std::istringstream in(RunCommand("fls -r -p '" + image + "'"));
    std::string line;
    while (std::getline(in, line)) {
        // "r/r 34:\tkeep/frag-kept.bin"
        std::size_t colon = line.find(":\t");
        if (line.size() < 5 || colon == std::string::npos) continue;
        FlsEntry e;
        e.directory = line[0] == 'd';
        e.id = std::stoll(line.substr(4, colon - 4));
        e.path = line.substr(colon + 2);
        // fls shows control characters (the private folder's leading NULs) as '^'.
        while (!e.path.empty() && e.path[0] == '^') e.path.erase(0, 1);
        if (e.id >= 16) entries.push_back(e);
    }
    return entries;
}

struct IstatInfo {
    std::uint64_t size = 0;
    std::vector<std::uint64_t> blocks;  // data fork, block by block
};

IstatInfo Istat(const std::string& image, std::int64_t id) {
    IstatInfo info;
    std::istringstream in(RunCommand("istat '" + image + "' " + std::to_string(id)));
    std::string line;
    bool inBlocks = false;
    while (std::getline(in, line)) {
        if (line.rfind("Size:", 0) == 0) info.size = std::stoull(line.substr(5));
        if (line.rfind("Data Fork Blocks:", 0) == 0) {
            inBlocks = true;
            continue;
        }
        if (inBlocks) {
            // Blocks and ranges: "421  423" or "62-80".
            std::istringstream words(line);
            std::string word;
            bool any = false;
            while (words >> word) {
                if (word.empty() || !std::isdigit(static_cast<unsigned char>(word[0]))) break;
                std::size_t dash = word.find('-');
                std::uint64_t first = std::stoull(word.substr(0, dash));
                std::uint64_t last = dash == std::string::npos ? first : std::stoull(word.substr(dash + 1));
                for (std::uint64_t b = first; b <= last; ++b) info.blocks.push_back(b);
                any = true;
            }
            if (!any) inBlocks = false;
        }
    }
    return info;
}

std::vector<std::uint8_t> Icat(const std::string& image, std::int64_t id) {
    std::string out = RunCommand("icat '" + image + "' " + std::to_string(id));
    return std::vector<std::uint8_t>(out.begin(), out.end());
}

// The file's bytes read through the node's runs.
std::vector<std::uint8_t> ReadThroughRuns(CHFSPlusVolume& volume, IFileNode* node) {
    std::vector<std::uint8_t> data;
    auto* runs = static_cast<CDataRunList*>(static_cast<CHFSPlusFileNode*>(node)->GetDataRunList());
    if (!runs) return data;
    const std::uint64_t blockSize = volume.GetBlockSize();
    std::uint64_t left = static_cast<std::uint64_t>(node->GetFileSize());
    for (std::size_t i = 0; i < runs->GetCount() && left > 0; ++i) {
        const DataRun* run = runs->GetRun(i);
        std::uint64_t bytes = std::min<std::uint64_t>(static_cast<std::uint64_t>(run->length) * blockSize, left);
        std::size_t at = data.size();
        data.resize(at + bytes);
        EXPECT_EQ(volume.Read(static_cast<std::uint64_t>(run->start) * blockSize, data.data() + at, bytes), bytes);
        left -= bytes;
    }
    return data;
}

std::vector<std::uint64_t> RunBlocks(IFileNode* node) {
    std::vector<std::uint64_t> blocks;
    auto* runs = static_cast<CDataRunList*>(static_cast<CHFSPlusFileNode*>(node)->GetDataRunList());
    if (!runs) return blocks;
    for (std::size_t i = 0; i < runs->GetCount(); ++i) {
        for (std::int64_t b = 0; b < runs->GetRun(i)->length; ++b) {
            blocks.push_back(static_cast<std::uint64_t>(runs->GetRun(i)->start + b));
        }
    }
    return blocks;
}

std::u16string Utf16(const std::string& utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp;
        int n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if (c < 0xE0) {
            cp = c & 0x1F;
            n = 2;
        } else if (c < 0xF0) {
            cp = c & 0x0F;
            n = 3;
        } else {
            cp = c & 0x07;
            n = 4;
        }
        for (int k = 1; k < n && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

// Looks a name up in the live catalog; the catalog id found, or 0.
std::uint32_t LookUp(CHFSPlusVolume& volume, std::uint32_t parent, const std::u16string& name) {
    HFSPlusCatalogKey key;
    key.parentID = parent;
    key.nodeName.length = static_cast<std::uint16_t>(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) key.nodeName.unicode[i] = name[i];
    HFSPlusSearchResult result;
    BTRecord* record = nullptr;
    volume.Search(kHFSCatalogFileID, &key, result, &record);
    std::unique_ptr<BTRecord> owner(record);
    return result.found && record ? static_cast<HFSPlusCatalogRecord*>(record)->CatalogID() : 0;
}

// Traverses the catalog of `image` and checks every live entry against The
// Sleuth Kit: same id, path, kind and size, same blocks, same bytes.
void CheckLiveTree(const std::string& image, RecordingBuilder& builder, bool compareContent = true) {
    FileDevice device(image);
    ASSERT_TRUE(device.ok()) << image;
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);
    TestProgress sink;
    {
        CHFSPlusQuickFileSystemSearchProgress progress(&sink, false);
        ASSERT_EQ(volume.Traverse(kHFSCatalogFileID, &builder, &progress), 0u);
    }
    auto entries = ListWithFls(image);
    ASSERT_FALSE(entries.empty());
    // Every entry below the root, plus the root folder itself.
    EXPECT_EQ(builder.nodes.size(), entries.size() + 1);
    IFileNode* root = builder.FindById(2);
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->IsDirectory());
    EXPECT_EQ(root->GetParentNodeID(), 1);

    for (const auto& e : entries) {
        SCOPED_TRACE(e.path);
        IFileNode* node = builder.FindById(e.id);
        ASSERT_NE(node, nullptr);
        // fls spells names as stored, decomposed; nodes compose them.
        EXPECT_EQ(builder.PathOf(node), Normalized(e.path, UNINORM_NFC));
        EXPECT_EQ(node->IsDirectory() != 0, e.directory);
        EXPECT_FALSE(node->IsDeleted());
        EXPECT_GT(node->GetCreationTime(), 0);

        // Case-insensitive look-ups of the catalog find the same entry.
        std::u16string name = Utf16(Normalized(node->GetFileName(), UNINORM_NFD));
        for (auto& c : name) {
            if (c == u':') c = u'/';  // back to the on-disk spelling
        }
        std::u16string upper = name, lower = name;
        for (auto& c : upper)
            if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        for (auto& c : lower)
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        std::uint32_t parent = static_cast<std::uint32_t>(node->GetParentNodeID());
        if (std::string(node->GetFileName()).rfind("HFS+ Private Data", 0) != 0) {
            EXPECT_EQ(LookUp(volume, parent, name), static_cast<std::uint32_t>(e.id));
            EXPECT_EQ(LookUp(volume, parent, upper), static_cast<std::uint32_t>(e.id));
            EXPECT_EQ(LookUp(volume, parent, lower), static_cast<std::uint32_t>(e.id));
        }
        if (e.directory || node->IsCompressed()) continue;

        IstatInfo info = Istat(image, e.id);
        EXPECT_EQ(static_cast<std::uint64_t>(node->GetFileSize()), info.size);
        EXPECT_EQ(RunBlocks(node), info.blocks);
        if (compareContent) {
            EXPECT_EQ(ReadThroughRuns(volume, node), Icat(image, e.id));
        }
    }
}
}  // namespace

TEST(HFSPlusFixtures, JournaledVolumeLiveTree) {
    std::string image = PrebuiltImage("hfsplus_journal");
    RecordingBuilder builder;
    CheckLiveTree(image, builder);

    // The truth table's live files: sizes and content hashes.
    FileDevice device(image);
    CHFSPlusVolume volume(&device, false);
    int live = 0;
    for (const auto& row : ReadTruth("hfsplus_journal")) {
        if (row.deleted) continue;
        ++live;
        IFileNode* node = builder.FindByPath(row.path);
        ASSERT_NE(node, nullptr) << row.path;
        EXPECT_EQ(static_cast<std::uint64_t>(node->GetFileSize()), row.size) << row.path;
        EXPECT_EQ(Sha256Of(ReadThroughRuns(volume, node)), row.sha256) << row.path;
    }
    EXPECT_EQ(live, 5);

    // keep/frag-kept.bin: 12 extents, four of them in the overflow file.
    IFileNode* frag = builder.FindByPath("keep/frag-kept.bin");
    ASSERT_NE(frag, nullptr);
    auto* runs = static_cast<CDataRunList*>(static_cast<CHFSPlusFileNode*>(frag)->GetDataRunList());
    ASSERT_NE(runs, nullptr);
    EXPECT_EQ(runs->GetCount(), 12u);
    // The name stored decomposed comes out composed, as Linux spells it.
    EXPECT_NE(builder.FindByPath("keep/R\xC3\xA9sum\xC3\xA9 \xE2\x80\x93 long name \xC3\xBCn\xC3\xAF"
                                 "code.txt"),
              nullptr);

    // The journal is found and its header read.
    ASSERT_NE(volume.GetJournal(), nullptr);
    EXPECT_EQ(volume.GetJournal()->GetLastError(), 0u);
    EXPECT_EQ(volume.GetJournal()->GetHeader().jhdr_size, 512u);
    EXPECT_EQ(volume.GetJournal()->GetHeader().blhdr_size, 16384u);
    EXPECT_EQ(volume.GetJournal()->GetInfoBlock().offset, 3u * 4096u);
    EXPECT_EQ(volume.GetJournal()->GetHeader().size, 1u << 20);
}

TEST(HFSPlusFixtures, CompressedVolumeLiveTree) {
    std::string image = PrebuiltImage("hfsplus_compressed");
    RecordingBuilder builder;
    CheckLiveTree(image, builder);
    int compressed = 0;
    for (const auto& row : ReadTruth("hfsplus_compressed")) {
        IFileNode* node = builder.FindByPath(row.path);
        ASSERT_NE(node, nullptr) << row.path;
        bool isCompressed = row.path != "cmp/plain.txt";
        EXPECT_EQ(node->IsCompressed() != 0, isCompressed) << row.path;
        compressed += isCompressed;
    }
    EXPECT_EQ(compressed, 11);
    // A volume with an attributes file answers attribute look-ups.
    FileDevice device(image);
    CHFSPlusVolume volume(&device, false);
    IFileNode* node = builder.FindByPath("cmp/zlib-inline.txt");
    ASSERT_NE(node, nullptr);
    std::uint8_t* data = nullptr;
    std::uint32_t size =
        volume.getAttribute(static_cast<std::uint32_t>(node->GetCurrentNodeID()), "com.apple.decmpfs", &data);
    std::unique_ptr<std::uint8_t[]> owner(data);
    ASSERT_GE(size, 16u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 4), "fpmc");
    EXPECT_EQ(data[4], 3);  // type 3: zlib, inline
}

TEST(HFSPlusFixtures, XorrisoVolumeWithoutAttributesFile) {
    std::string dir = XorrisoVolumeDir();
    std::string image = dir + "/xorriso.hfs";
    RecordingBuilder builder;
    CheckLiveTree(image, builder);
    // Every file put on the volume is found with its bytes.
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir + "/src")) {
        std::string rel = std::filesystem::relative(entry.path(), dir + "/src").string();
        IFileNode* node = builder.FindByPath(rel);
        ASSERT_NE(node, nullptr) << rel;
        EXPECT_EQ(node->IsDirectory() != 0, entry.is_directory()) << rel;
        if (entry.is_directory()) continue;
        ++files;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<std::uint8_t> want((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(static_cast<std::uint64_t>(node->GetFileSize()), want.size()) << rel;
        FileDevice device(image);
        CHFSPlusVolume volume(&device, false);
        EXPECT_EQ(ReadThroughRuns(volume, node), want) << rel;
    }
    EXPECT_EQ(files, 9);
    // xorriso stores the POSIX ':' as '/', which reads back as ':'.
    EXPECT_NE(builder.FindByPath("docs/a:b.txt"), nullptr);

    FileDevice device(image);
    CHFSPlusVolume volume(&device, false);
    EXPECT_EQ(volume.GetLastError(), 0u);
    EXPECT_EQ(volume.GetVolumeHeader()->attributesFile.totalBlocks, 0u);
    EXPECT_TRUE(HFSFailed(volume.GetJournal()->GetLastError()));  // not journaled
    std::uint8_t* data = nullptr;
    EXPECT_EQ(volume.getAttribute(20, "com.apple.decmpfs", &data), 0u);
}

TEST(HFSPlusFixtures, RecogniserOnRealVolumes) {
    struct Case {
        std::string image;
        std::int64_t sectors;
    } cases[] = {
        {PrebuiltImage("hfsplus_journal"), 4096 * 4096 / 512},
        {PrebuiltImage("hfsplus_compressed"), 2048 * 4096 / 512},
    };
    for (const auto& c : cases) {
        FileDevice device(c.image);
        std::unique_ptr<IVolumeAnalyze> a(CreateHFSPlusVolumeAnalyze(&device, 0));
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->GetFileSystemType(), 8u) << c.image;
        EXPECT_EQ(a->GetTotalSector(), c.sectors) << c.image;
    }
    std::string xo = XorrisoVolumeDir() + "/xorriso.hfs";
    FileDevice device(xo);
    std::unique_ptr<IVolumeAnalyze> a(CreateHFSPlusVolumeAnalyze(&device, 0));
    EXPECT_EQ(a->GetFileSystemType(), 8u);
    FileDevice whole(PrebuiltImage("hfsplus_journal"), 4096);
    std::unique_ptr<IVolumeAnalyze> b(CreateHFSPlusVolumeAnalyze(&whole, 0));
    EXPECT_EQ(b->GetTotalSector(), 4096);
}

TEST(HFSPlusFixtures, DamagedCatalogNeverCrashesOrHangs) {
    std::string image = PrebuiltImage("hfsplus_journal");
    // The metadata lies in the first 2 MiB; the file data is not needed.
    std::vector<std::uint8_t> pristine(2u << 20);
    {
        FILE* f = std::fopen(image.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fread(pristine.data(), 1, pristine.size(), f), pristine.size());
        std::fclose(f);
    }
    const std::size_t catalog = 263 * 4096;  // catalog fork: blocks 263.. (node size 4096)
    const std::size_t root = catalog + 3 * 4096;

    // The root index node's first child points back at the root.
    {
        auto bytes = pristine;
        std::uint16_t off = byteorder::BE16(&bytes[root + 4094]);
        std::uint16_t keyLen = byteorder::BE16(&bytes[root + off]);
        put32(bytes, root + off + keyLen + 2, 3);
        MemoryDevice device(std::move(bytes));
        CHFSPlusVolume volume(&device, false);
        ASSERT_EQ(volume.GetLastError(), 0u);
        RecordingBuilder builder;
        TestProgress sink;
        CHFSPlusQuickFileSystemSearchProgress progress(&sink, true);
        EXPECT_EQ(HFSErrorNumber(volume.Traverse(kHFSCatalogFileID, &builder, &progress)), HFS_ERR_BAD_STRUCT);
        EXPECT_EQ(LookUp(volume, 2, u"keep"), 0u);
        EXPECT_EQ(HFSErrorNumber(volume.GetLastError()), HFS_ERR_BAD_STRUCT);
    }
    // Bytes overwritten all over the catalog's nodes: every walk ends.
    std::uint32_t seed = 12345;
    for (int round = 0; round < 60; ++round) {
        auto bytes = pristine;
        for (int k = 0; k < 8; ++k) {
            seed = seed * 1103515245u + 12345u;
            std::size_t node = (seed >> 8) % 8;
            seed = seed * 1103515245u + 12345u;
            std::size_t at = catalog + node * 4096 + (seed >> 4) % 4096;
            seed = seed * 1103515245u + 12345u;
            bytes[at] = static_cast<std::uint8_t>(seed >> 16);
        }
        MemoryDevice device(std::move(bytes));
        CHFSPlusVolume volume(&device, false);
        RecordingBuilder builder;
        TestProgress sink;
        CHFSPlusQuickFileSystemSearchProgress progress(&sink, true);
        volume.Traverse(kHFSCatalogFileID, &builder, &progress);
        LookUp(volume, 2, u"keep");
        EXPECT_LE(builder.nodes.size(), 64u);
    }
}
