// libFuzzer target: HFS+ B-tree nodes.
//
// Input byte 0 picks the mode:
//   even: the rest is one node (size rounded down to a multiple of 512, at
//         most 4096): node test, record access, owner guess, key and record
//         reads of the three tree kinds, child pointers and key comparisons.
//   odd:  the rest is up to six 512-byte catalog nodes (1..6) of a small
//         volume whose header node names root node 1 and a depth taken from
//         byte 1: the volume is opened, traversed and searched.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzBuilder.h"
#include "FuzzDevice.h"
#include "foundation/DirectoryTree.h"
#include "foundation/ByteOrder.h"
#include "foundation/StorageDevice.h"
#include "hfsplus/HFSPlusBTree.h"
#include "hfsplus/HFSPlusQuickSearch.h"
#include "hfsplus/HFSPlusVolume.h"

namespace {

void FuzzOneNode(const std::uint8_t* data, std::size_t size) {
    std::size_t nodeSize = std::min<std::size_t>(size / 512 * 512, 4096);
    if (nodeSize == 0) return;
    // The node's own copy, so reads past it are caught.
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[nodeSize]);
    std::memcpy(buffer.get(), data, nodeSize);
    CHFSPlusBTNode node(buffer.get(), static_cast<std::uint16_t>(nodeSize), 0);
    node.TestNodeBelongToFile();
    std::uint16_t count = node.GetRecordCount();
    CHFSPlusCatalog catalog(nullptr, nullptr);
    CHFSPlusExtents extents(nullptr, nullptr);
    CHFSPlusAttribute attributes(nullptr, nullptr);
    std::unique_ptr<BTKey> previous;
    for (std::uint16_t i = 0; i < count; ++i) {
        std::uint16_t length = 0;
        node.GetRecord(i, &length);
        std::unique_ptr<BTKey> key(catalog.ReadKey(&node, i));
        std::unique_ptr<BTRecord> record(catalog.ReadData(&node, i));
        if (key && previous) {
            auto* a = static_cast<HFSPlusCatalogKey*>(key.get());
            auto* b = static_cast<HFSPlusCatalogKey*>(previous.get());
            CatalogCompare(a, b);
            CatalogCompareCS(a, b);
        }
        catalog.GetChild(&node, i);
        std::unique_ptr<BTKey> ek(extents.ReadKey(&node, i));
        std::unique_ptr<BTRecord> er(extents.ReadData(&node, i));
        std::unique_ptr<BTKey> ak(attributes.ReadKey(&node, i));
        std::unique_ptr<BTRecord> ar(attributes.ReadData(&node, i));
        if (ak && ar)
            CHFSPlusAttribute::CompareKey(static_cast<HFSPlusAttrKey*>(ak.get()),
                                          static_cast<HFSPlusAttrKey*>(ak.get()));
        if (key) previous = std::move(key);
    }
}

std::vector<std::uint8_t> HeaderNode(std::uint16_t depth, std::uint32_t root, std::uint32_t total) {
    std::vector<std::uint8_t> n(512, 0);
    n[8] = 1;  // header node
    byteorder::PutBE16(n.data() + 10, 3);
    byteorder::PutBE16(n.data() + 14 + 0, depth);
    byteorder::PutBE32(n.data() + 14 + 2, root);
    byteorder::PutBE16(n.data() + 14 + 18, 512);
    byteorder::PutBE32(n.data() + 14 + 22, total);
    n[14 + 37] = 0xCF;
    byteorder::PutBE16(n.data() + 510, 14);
    byteorder::PutBE16(n.data() + 508, 120);
    byteorder::PutBE16(n.data() + 506, 248);
    byteorder::PutBE16(n.data() + 504, 504);
    return n;
}

void FuzzVolume(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return;
    const std::uint16_t depth = data[0] % 20;
    ++data;
    --size;
    const std::size_t nodes = std::min<std::size_t>(size / 512, 6);
    // 512-byte blocks: 0-1 boot, 2 volume header, 3 extents header node,
    // catalog from 4 (header node, then the fuzzed nodes).
    const std::uint32_t catalogBlocks = static_cast<std::uint32_t>(nodes + 1);
    std::vector<std::uint8_t> image(512 * (4 + catalogBlocks + 4), 0);
    byteorder::PutBE16(image.data() + 1024, 0x482B);
    byteorder::PutBE16(image.data() + 1026, 4);
    byteorder::PutBE32(image.data() + 1024 + 40, 512);
    byteorder::PutBE32(image.data() + 1024 + 44, static_cast<std::uint32_t>(image.size() / 512));
    // extents fork: block 3, one node
    byteorder::PutBE32(image.data() + 1024 + 192 + 12, 1);
    byteorder::PutBE32(image.data() + 1024 + 192 + 16, 3);
    byteorder::PutBE32(image.data() + 1024 + 192 + 20, 1);
    // catalog fork: blocks 4..
    byteorder::PutBE32(image.data() + 1024 + 272 + 4, 0);
    byteorder::PutBE32(image.data() + 1024 + 272 + 12, catalogBlocks);
    byteorder::PutBE32(image.data() + 1024 + 272 + 16, 4);
    byteorder::PutBE32(image.data() + 1024 + 272 + 20, catalogBlocks);
    auto ext = HeaderNode(0, 0, 1);
    std::memcpy(image.data() + 3 * 512, ext.data(), 512);
    auto cat = HeaderNode(depth, 1, catalogBlocks);
    std::memcpy(image.data() + 4 * 512, cat.data(), 512);
    std::memcpy(image.data() + 5 * 512, data, nodes * 512);

    FuzzDevice device(std::move(image));
    CHFSPlusVolume volume(&device, false);
    fuzzsupport::DroppingBuilder builder;
    CHFSPlusQuickFileSystemSearchProgress progress(nullptr, true);
    volume.Traverse(kHFSCatalogFileID, &builder, &progress);
    const char16_t* names[] = {u"a", u"Z", u"", u"file:name"};
    for (std::uint32_t parent : {1u, 2u, 16u, 0xFFFFFFFFu}) {
        for (const char16_t* name : names) {
            HFSPlusCatalogKey key;
            key.parentID = parent;
            std::size_t n = std::char_traits<char16_t>::length(name);
            key.nodeName.length = static_cast<std::uint16_t>(n);
            for (std::size_t i = 0; i < n; ++i) key.nodeName.unicode[i] = name[i];
            HFSPlusSearchResult result;
            BTRecord* record = nullptr;
            volume.Search(kHFSCatalogFileID, &key, result, &record);
            delete record;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    if (data[0] % 2 == 0) {
        FuzzOneNode(data + 1, size - 1);
    } else {
        FuzzVolume(data + 1, size - 1);
    }
    return 0;
}
