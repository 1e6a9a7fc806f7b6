// libFuzzer target: compressed HFS+ files. The input is a decmpfs attribute
// and a resource fork:
//   byte 0      compression type selector (3, 4, 7 or 8)
//   bytes 1-4   uncompressed size (little-endian, kept below 4 MiB)
//   bytes 5-6   length of the inline payload that follows
//   ...         inline payload, then the resource fork bytes
// The file is read whole in uneven pieces through its file reader.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzDevice.h"
#include "foundation/StorageDevice.h"
#include "hfsplus/HFSPlusCompressFileReader.h"
#include "hfsplus/HFSPlusFileNode.h"
#include "hfsplus/HFSPlusVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7) return 0;
    static const std::uint32_t kTypes[] = {3, 4, 7, 8};
    const std::uint32_t type = kTypes[data[0] % 4];
    const std::uint32_t uncompressed = (data[1] | (data[2] << 8) | (data[3] << 16) | (data[4] << 24)) % (4u << 20);
    std::size_t inlineLength = std::min<std::size_t>(data[5] | (data[6] << 8), size - 7);
    const std::uint8_t* payload = data + 7;
    const std::uint8_t* fork = payload + inlineLength;
    const std::size_t forkLength = size - 7 - inlineLength;

    // 512-byte blocks: the volume header in block 2, the fork from block 8.
    const std::uint32_t forkBlocks = static_cast<std::uint32_t>((forkLength + 511) / 512);
    std::vector<std::uint8_t> image(512 * (8 + forkBlocks + 1), 0);
    image[1024] = 0x48;
    image[1025] = 0x2B;
    image[1027] = 4;
    image[1024 + 42] = 0x02;  // block size 512
    const std::uint32_t total = static_cast<std::uint32_t>(image.size() / 512);
    image[1024 + 46] = static_cast<std::uint8_t>(total >> 8);
    image[1024 + 47] = static_cast<std::uint8_t>(total);
    if (forkLength) std::memcpy(image.data() + 8 * 512, fork, forkLength);
    FuzzDevice device(std::move(image));
    CHFSPlusVolume volume(&device, false);  // no catalog: still reads

    auto* key = new HFSPlusAttrKey;
    HFSUniStr255 wide;
    ASCIIToUnicode("com.apple.decmpfs", &wide);
    key->fileID = 30;
    key->nameLength = wide.length;
    std::copy(wide.unicode, wide.unicode + wide.length, key->name);
    auto* attr = new HFSPlusAttrRecord;
    attr->recordType = kHFSPlusAttrInlineData;
    attr->attrData = {'f', 'p', 'm', 'c', static_cast<std::uint8_t>(type), 0, 0, 0,
                      static_cast<std::uint8_t>(uncompressed), static_cast<std::uint8_t>(uncompressed >> 8),
                      static_cast<std::uint8_t>(uncompressed >> 16), static_cast<std::uint8_t>(uncompressed >> 24),
                      0, 0, 0, 0};
    attr->attrData.insert(attr->attrData.end(), payload, payload + inlineLength);
    attr->attrSize = static_cast<std::uint32_t>(attr->attrData.size());
    volume.DeletedAttributes().AddFront(key, attr);

    HFSPlusCatalogKey catalogKey;
    catalogKey.parentID = 2;
    HFSPlusCatalogRecord record;
    record.recordType = kHFSPlusFileRecord;
    record.file.fileID = 30;
    record.file.permissions.ownerFlags = 0x20;
    record.file.resourceFork.logicalSize = forkLength;
    record.file.resourceFork.totalBlocks = forkBlocks;
    record.file.resourceFork.extents[0] = {8, forkBlocks};
    CHFSPlusFileNode node(&volume, &catalogKey, &record, 1);
    IFileReader* reader = node.CreateCompressFileReader(nullptr);
    if (!reader) return 0;
    std::vector<char> buffer(70001);
    long long offset = 0;
    for (int rounds = 0; rounds < 200; ++rounds) {
        int n = reader->ReadData(offset, buffer.data(), static_cast<unsigned>(buffer.size()), nullptr);
        if (n <= 0) break;
        if (n > static_cast<int>(buffer.size())) __builtin_trap();
        offset += n;
    }
    reader->Release();
    return 0;
}
