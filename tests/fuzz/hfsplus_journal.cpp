// libFuzzer target: the HFS+ journal walk. A small journaled volume (512-byte
// blocks, a catalog of one leaf) whose 64 KiB journal buffer comes from the
// input:
//   bytes 0-7   start and end offsets (little-endian u32 each)
//   bytes 8-11  block-list header size
//   byte 12     journal header size selector (512 << (b % 3))
//   rest        the journal buffer after its header
// The quick search walks the journal, keeps deleted records and lists nodes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzBuilder.h"
#include "FuzzDevice.h"
#include "foundation/DirectoryTree.h"
#include "foundation/ByteOrder.h"
#include "foundation/StorageDevice.h"
#include "hfsplus/HFSPlusQuickSearch.h"
#include "hfsplus/HFSPlusVolume.h"

namespace {
// A 512-byte node with records placed one after the other.
void Node(std::vector<std::uint8_t>& img, std::size_t at, std::int8_t kind, std::uint8_t height,
          const std::vector<std::vector<std::uint8_t>>& records) {
    img[at + 8] = static_cast<std::uint8_t>(kind);
    img[at + 9] = height;
    byteorder::PutBE16(img.data() + at + 10, static_cast<std::uint16_t>(records.size()));
    std::size_t off = 14;
    for (std::size_t i = 0; i < records.size(); ++i) {
        byteorder::PutBE16(img.data() + at + 512 - 2 * (i + 1), static_cast<std::uint16_t>(off));
        std::memcpy(img.data() + at + off, records[i].data(), records[i].size());
        off += records[i].size();
    }
    byteorder::PutBE16(img.data() + at + 512 - 2 * (records.size() + 1), static_cast<std::uint16_t>(off));
}

std::vector<std::uint8_t> HeaderRecord(std::uint16_t depth, std::uint32_t root, std::uint32_t total) {
    std::vector<std::uint8_t> r(106, 0);
    byteorder::PutBE16(r.data() + 0, depth);
    byteorder::PutBE32(r.data() + 2, root);
    byteorder::PutBE16(r.data() + 18, 512);
    byteorder::PutBE32(r.data() + 22, total);
    r[37] = 0xCF;
    return r;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 13) return 0;
    constexpr std::uint32_t kJournalSize = 65536;
    constexpr std::uint32_t kJournalBlock = 16;
    const std::uint32_t totalBlocks = kJournalBlock + kJournalSize / 512 + 4;
    std::vector<std::uint8_t> img(static_cast<std::size_t>(totalBlocks) * 512, 0);
    // Volume header.
    const std::size_t vh = 1024;
    byteorder::PutBE16(img.data() + vh, 0x482B);
    byteorder::PutBE16(img.data() + vh + 2, 4);
    byteorder::PutBE32(img.data() + vh + 4, 0x2000);  // journaled
    byteorder::PutBE32(img.data() + vh + 12, 8);      // journal info block
    byteorder::PutBE32(img.data() + vh + 40, 512);
    byteorder::PutBE32(img.data() + vh + 44, totalBlocks);
    byteorder::PutBE32(img.data() + vh + 192 + 12, 1);  // extents: block 3
    byteorder::PutBE32(img.data() + vh + 192 + 16, 3);
    byteorder::PutBE32(img.data() + vh + 192 + 20, 1);
    byteorder::PutBE32(img.data() + vh + 272 + 12, 2);  // catalog: blocks 4-5
    byteorder::PutBE32(img.data() + vh + 272 + 16, 4);
    byteorder::PutBE32(img.data() + vh + 272 + 20, 2);
    byteorder::PutBE32(img.data() + vh + 352 + 12, 1);  // attributes: block 6
    byteorder::PutBE32(img.data() + vh + 352 + 16, 6);
    byteorder::PutBE32(img.data() + vh + 352 + 20, 1);
    std::vector<std::uint8_t> empty128(128, 0), map(512 - 256, 0);
    Node(img, 3 * 512, 1, 0, {HeaderRecord(0, 0, 1), empty128, map});
    Node(img, 4 * 512, 1, 0, {HeaderRecord(1, 1, 2), empty128, map});
    Node(img, 6 * 512, 1, 0, {HeaderRecord(0, 0, 1), empty128, map});
    // One live file "a" (id 20) in the root folder.
    std::vector<std::uint8_t> key = {0, 8, 0, 0, 0, 2, 0, 1, 0, 'a'};
    std::vector<std::uint8_t> file(248, 0);
    byteorder::PutBE16(file.data() + 0, 2);
    byteorder::PutBE32(file.data() + 8, 20);
    key.insert(key.end(), file.begin(), file.end());
    Node(img, 5 * 512, -1, 1, {key});
    // Journal info block and journal header.
    const std::size_t jib = 8 * 512;
    byteorder::PutBE32(img.data() + jib, 1);
    byteorder::PutBE32(img.data() + jib + 36 + 4, kJournalBlock * 512);
    byteorder::PutBE32(img.data() + jib + 44 + 4, kJournalSize);
    const std::size_t jh = kJournalBlock * 512;
    byteorder::PutLE32(img.data() + jh, 0x4A4E4C78);
    byteorder::PutLE32(img.data() + jh + 4, 0x12345678);
    std::uint32_t start = byteorder::LE32(data);
    std::uint32_t end = byteorder::LE32(data + 4);
    std::uint32_t blhdr = byteorder::LE32(data + 8);
    std::uint32_t jhdr = 512u << (data[12] % 3);
    byteorder::PutLE32(img.data() + jh + 8, start % kJournalSize);
    byteorder::PutLE32(img.data() + jh + 16, end % kJournalSize);
    byteorder::PutLE32(img.data() + jh + 24, kJournalSize);
    byteorder::PutLE32(img.data() + jh + 32, blhdr);
    byteorder::PutLE32(img.data() + jh + 40, jhdr);
    std::size_t body = std::min<std::size_t>(size - 13, kJournalSize - 512);
    std::memcpy(img.data() + jh + 512, data + 13, body);

    FuzzDevice device(std::move(img));
    CHFSPlusVolume volume(&device, false);
    fuzzsupport::DroppingBuilder builder;
    CHFSPlusQuickFileSystemSearchProgress progress(nullptr, true);
    volume.QuickSearchFiles(&builder, &progress);
    std::uint8_t* attr = nullptr;
    volume.getAttribute(20, "com.apple.decmpfs", &attr);
    delete[] attr;
    return 0;
}
