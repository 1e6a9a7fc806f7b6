// A compressed HFS+ file whose data does not decode must be reported as a
// failed read, never served as if whole: recovery counts such a file failed
// instead of writing wrong bytes under its name.
#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <string>
#include <vector>

#include "hfsplus/HFSPlusCompressFileReader.h"
#include "hfsplus/HFSPlusFileNode.h"
#include "hfsplus/HFSPlusVolume.h"
#include "recovery/FileReader.h"
#include "storage/MemoryDevice.h"

namespace {

constexpr std::uint32_t kFileId = 30;

// A volume of 512-byte blocks with only its header: enough for a
// compressed file whose data lies inline in its decmpfs attribute.
struct InlineCompressedFile {
    CMemoryStorageDevice device{512, 16};
    std::unique_ptr<CHFSPlusVolume> volume;  // made once the header is written

    explicit InlineCompressedFile(const std::vector<std::uint8_t>& zlibData, std::uint32_t size) {
        std::uint8_t* h = device.Sector(2);
        h[0] = 'H';
        h[1] = '+';
        h[3] = 4;      // version
        h[42] = 0x02;  // block size 512, big-endian at 40
        h[47] = 16;    // total blocks, big-endian at 44
        volume = std::make_unique<CHFSPlusVolume>(&device, false);

        auto* key = new HFSPlusAttrKey;
        HFSUniStr255 wide;
        ASCIIToUnicode("com.apple.decmpfs", &wide);
        key->fileID = kFileId;
        key->nameLength = wide.length;
        std::copy(wide.unicode, wide.unicode + wide.length, key->name);
        auto* attr = new HFSPlusAttrRecord;
        attr->recordType = kHFSPlusAttrInlineData;
        // "fpmc", type 3 (zlib, inline), the uncompressed size.
        attr->attrData = {'f',
                          'p',
                          'm',
                          'c',
                          3,
                          0,
                          0,
                          0,
                          static_cast<std::uint8_t>(size),
                          static_cast<std::uint8_t>(size >> 8),
                          static_cast<std::uint8_t>(size >> 16),
                          static_cast<std::uint8_t>(size >> 24),
                          0,
                          0,
                          0,
                          0};
        attr->attrData.insert(attr->attrData.end(), zlibData.begin(), zlibData.end());
        attr->attrSize = static_cast<std::uint32_t>(attr->attrData.size());
        volume->DeletedAttributes().AddFront(key, attr);
    }

    // Reads the whole file: the bytes, and the error of the read that ended.
    std::string ReadAll(int& error) {
        HFSPlusCatalogKey catalogKey;
        catalogKey.parentID = 2;
        HFSPlusCatalogRecord record;
        record.recordType = kHFSPlusFileRecord;
        record.file.fileID = kFileId;
        record.file.permissions.ownerFlags = 0x20;  // compressed
        CHFSPlusFileNode node(volume.get(), &catalogKey, &record, 1);
        IFileReader* reader = node.CreateCompressFileReader(nullptr);
        if (reader == nullptr) return "no reader";
        std::string out;
        std::vector<char> buffer(4096);
        error = 0;
        for (;;) {
            const int n = reader->ReadData(static_cast<long long>(out.size()), buffer.data(),
                                           static_cast<unsigned>(buffer.size()), &error);
            if (n <= 0) break;
            out.append(buffer.data(), static_cast<std::size_t>(n));
        }
        reader->Release();
        return out;
    }
};

std::vector<std::uint8_t> Deflate(const std::string& text) {
    uLongf length = compressBound(text.size());
    std::vector<std::uint8_t> out(length);
    EXPECT_EQ(compress(out.data(), &length, reinterpret_cast<const Bytef*>(text.data()), text.size()), Z_OK);
    out.resize(length);
    return out;
}

std::string Text() {
    std::string t;
    for (int i = 0; i < 200; ++i) t += "line " + std::to_string(i) + " of a compressed note\n";
    return t;
}

}  // namespace

TEST(HFSPlusDecmpfs, IntactInlineDataReadsWhole) {
    const std::string text = Text();
    InlineCompressedFile file(Deflate(text), static_cast<std::uint32_t>(text.size()));
    int error = -1;
    EXPECT_EQ(file.ReadAll(error), text);
    EXPECT_EQ(error, 0);
}

TEST(HFSPlusDecmpfs, DataThatDoesNotDecodeFailsTheRead) {
    const std::string text = Text();
    const std::vector<std::uint8_t> good = Deflate(text);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> data;
    };
    std::vector<std::uint8_t> flipped = good;
    for (std::size_t i = 8; i < flipped.size() - 8; i += 5) flipped[i] ^= 0x5A;
    std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
    std::vector<std::uint8_t> badHeader = good;
    badHeader[0] = 0x7F;  // not a zlib header, nor the 0xFF of stored data
    const Case cases[] = {{"bytes flipped", flipped}, {"stream cut in half", cut}, {"bad header", badHeader}};
    for (const Case& c : cases) {
        InlineCompressedFile file(c.data, static_cast<std::uint32_t>(text.size()));
        int error = 0;
        const std::string got = file.ReadAll(error);
        EXPECT_NE(got, text) << c.what;
        EXPECT_LT(got.size(), text.size()) << c.what << ": a short or broken stream served as whole";
        EXPECT_EQ(error, FILE_READ_DECODE) << c.what;
    }
}
