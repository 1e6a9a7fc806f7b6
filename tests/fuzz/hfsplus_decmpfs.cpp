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
#include "foundation/ByteOrder.h"
#include "foundation/StorageDevice.h"
#include "hfsplus/HFSPlusCompressFileReader.h"
#include "hfsplus/HFSPlusFileNode.h"
#include "hfsplus/HFSPlusVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7) return 0;
    static const std::uint32_t kTypes[] = {3, 4, 7, 8};
    const std::uint32_t type = kTypes[data[0] % 4];
    const std::uint32_t uncompressed = byteorder::LE32(data + 1) % (4u << 20);
    std::size_t inlineLength = std::min<std::size_t>(byteorder::LE16(data + 5), size - 7);
    const std::uint8_t* payload = data + 7;
    const std::uint8_t* fork = payload + inlineLength;
    const std::size_t forkLength = size - 7 - inlineLength;

    // 512-byte blocks: the volume header in block 2, the fork from block 8.
    const std::uint32_t forkBlocks = static_cast<std::uint32_t>((forkLength + 511) / 512);
    std::vector<std::uint8_t> image(512 * (8 + forkBlocks + 1), 0);
    byteorder::PutBE16(image.data() + 1024, 0x482B);
    byteorder::PutBE16(image.data() + 1026, 4);
    byteorder::PutBE32(image.data() + 1024 + 40, 512);  // block size
    byteorder::PutBE32(image.data() + 1024 + 44, static_cast<std::uint32_t>(image.size() / 512));
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
    attr->attrData = {'f', 'p', 'm', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    byteorder::PutLE32(attr->attrData.data() + 4, type);
    byteorder::PutLE64(attr->attrData.data() + 8, uncompressed);
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
