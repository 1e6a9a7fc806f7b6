#include "hfsplus/HFSPlusJournal.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "foundation/Log.h"
#include "hfsplus/HFSPlusQuickSearch.h"
#include "hfsplus/HFSPlusVolume.h"

CHFSPlusJournal::CHFSPlusJournal(CHFSPlusVolume* volume) : m_volume(volume) {
    if (!volume) {
        m_status = HFS_FAIL(HFS_ERR_NULL_ARG);
        return;
    }
    const HFSPlusVolumeHeader* vh = volume->GetVolumeHeader();
    if (!vh) {
        m_status = HFS_PASS(volume->GetLastError());
        return;
    }
    if (!(vh->attributes & kHFSVolumeJournaledMask)) {
        m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
        return;
    }
    const std::uint32_t sectorSize = volume->GetSectorSize();
    std::unique_ptr<std::uint8_t[]> sector(new (std::nothrow) std::uint8_t[std::max<std::uint32_t>(sectorSize, 512)]);
    if (!sector) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return;
    }
    std::uint64_t at = static_cast<std::uint64_t>(vh->journalInfoBlock) * vh->blockSize;
    if (volume->Read(at, sector.get(), sectorSize) != sectorSize) {
        m_status = HFS_FAIL(HFS_ERR_SHORT_READ);
        return;
    }
    flipJournalInfoBlock(sector.get(), &m_info);
    m_hasInfo = true;
    if (!(m_info.flags & kJournalInFS)) {
        m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
        return;
    }
    if (volume->Read(m_info.offset, sector.get(), sectorSize) != sectorSize) {
        m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
        return;
    }
    const std::uint8_t* raw = sector.get();
    JournalHeader h;
    h.magic = byteorder::LE32(raw + kJHMagicOffset);
    h.endian = byteorder::LE32(raw + kJHEndianOffset);
    h.start = byteorder::LE64(raw + kJHStartOffset);
    h.end = byteorder::LE64(raw + kJHEndOffset);
    h.size = byteorder::LE64(raw + kJHSizeOffset);
    h.blhdr_size = byteorder::LE32(raw + kJHBlockListSizeOffset);
    h.checksum = byteorder::LE32(raw + kJHChecksumOffset);
    h.jhdr_size = byteorder::LE32(raw + kJHHeaderSizeOffset);
    if (h.magic != kJournalMagic || h.endian != kJournalEndian || h.size != m_info.size) {
        m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
        return;
    }
    // Sizes that would make the walk stall or read past its buffers.
    if (h.jhdr_size < 512 || (h.jhdr_size & (h.jhdr_size - 1)) != 0 || h.jhdr_size >= h.size || h.blhdr_size < 16 ||
        h.blhdr_size % 16 != 0 || h.blhdr_size > h.size || h.start >= h.size || h.end >= h.size) {
        m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
        return;
    }
    m_header = h;
    m_hasHeader = true;
    m_status = 0;
}

std::uint64_t CHFSPlusJournal::Read(std::uint64_t offset, void* buffer, std::uint64_t length) {
    if (!m_hasInfo || !m_hasHeader || !m_volume || !buffer) {
        m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
        return 0;
    }
    const std::uint64_t size = m_header.size;
    const std::uint64_t first = m_header.jhdr_size;
    const std::uint64_t area = size - first;
    if (offset >= size) offset = first + (offset - size) % area;
    if (offset < first) offset = first;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint64_t done = 0;
    while (done < length) {
        std::uint64_t piece = std::min(length - done, size - offset);
        std::uint64_t got = m_volume->Read(m_info.offset + offset, out + done, piece);
        done += got;
        if (got != piece) {
            m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
            return done;
        }
        offset += piece;
        if (offset >= size) offset = first;
    }
    return done;
}

namespace {
// Keeps the leaf records of one node copy that the live tree of `fileID` no
// longer holds. A later copy of a record replaces the one kept before.
void KeepDeletedRecords(CHFSPlusVolume* volume, int fileID, CHFSPlusBTNode* node, CHFSPlusRecordCollection& collection,
                        CHFSPlusQuickFileSystemSearchProgress* progress) {
    CHFSPlusBTreeOptionBase* tree = nullptr;
    switch (fileID) {
    case kHFSCatalogFileID:
        tree = volume->GetCatalogTree();
        break;
    case kHFSExtentsFileID:
        tree = volume->GetExtentsTree();
        break;
    case kHFSAttributesFileID:
        tree = volume->GetAttributesTree();
        break;
    default:
        return;
    }
    if (!tree) return;
    const bool catalog = fileID == static_cast<int>(kHFSCatalogFileID);
    const std::uint16_t count = node->GetRecordCount();
    for (std::uint16_t i = 0; i < count; ++i) {
        EngineResult saved = volume->GetLastError();
        std::unique_ptr<BTKey> key(tree->KeyRead(node, i));
        std::unique_ptr<BTRecord> record(key ? tree->DataRead(node, i) : nullptr);
        if (!key || !record) {
            volume->SetLastError(saved);  // a bad record is skipped
            continue;
        }
        std::uint32_t id = 0;
        if (catalog) {
            auto* r = static_cast<HFSPlusCatalogRecord*>(record.get());
            if (r->recordType != kHFSPlusFolderRecord && r->recordType != kHFSPlusFileRecord) continue;
            id = r->CatalogID();
        }
        // Still in the live tree (for the catalog: under the same id)?
        HFSPlusSearchResult result;
        BTRecord* live = nullptr;
        if (tree->GetHeaderRec()) volume->Search(fileID, key.get(), result, catalog ? &live : nullptr);
        std::unique_ptr<BTRecord> liveOwner(live);
        volume->SetLastError(saved);
        if (result.found && (!catalog || (live && static_cast<HFSPlusCatalogRecord*>(live)->CatalogID() == id))) {
            continue;
        }
        CHFSPlusRecordCollection::Entry* known = collection.Find(
            key.get(), catalog ? std::function<bool(const CHFSPlusRecordCollection::Entry&)>(
                                     [id](const CHFSPlusRecordCollection::Entry& e) {
                                         return static_cast<HFSPlusCatalogRecord*>(e.record.get())->CatalogID() == id;
                                     })
                               : nullptr);
        if (known) {
            known->record = std::move(record);
            continue;
        }
        collection.AddFront(key.release(), record.release());
        if (catalog && progress) progress->UpdateProgress();
    }
}
}  // namespace

EngineResult CHFSPlusJournal::GetDeleteRecord(CHFSPlusQuickFileSystemSearchProgress* progress,
                                              CHFSPlusRecordCollection& catalog, CHFSPlusRecordCollection& extents,
                                              CHFSPlusRecordCollection& attributes) {
    if (!m_hasHeader || !m_volume) return 0;
    const JournalHeader& h = m_header;
    const std::uint64_t size = h.size;
    const std::uint64_t first = h.jhdr_size;
    const std::uint64_t area = size - first;
    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(std::max<std::uint32_t>(h.jhdr_size, h.blhdr_size));
    } catch (const std::bad_alloc&) {
        return m_status = HFS_FAIL(HFS_ERR_ALLOC);
    }
    const std::uint16_t maxBlocks = static_cast<std::uint16_t>(std::min<std::uint32_t>(h.blhdr_size / 16 - 1, 0xFFFF));

    // Oldest data first: start just after the newest transaction, so stale
    // transactions come before live ones and later copies replace earlier.
    std::uint64_t offset = h.end < first ? first : h.end;
    LogDiagnostic("Journal Start Offset:0x%llx\n", static_cast<unsigned long long>(offset));
    // One lap at most, whatever the headers say.
    std::uint64_t advanced = 0;
    auto advance = [&](std::uint64_t by) {
        advanced += by;
        offset += by;
        if (offset >= size) offset = first + (offset - size) % area;
    };
    m_status = 0;
    for (;;) {
        const bool goOn = progress ? progress->Continued() : true;
        if (Read(offset, buffer.data(), h.jhdr_size) != h.jhdr_size) {
            return m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
        }
        if (byteorder::LE16(buffer.data() + kBLMaxBlocksOffset) == maxBlocks) {
            if (Read(offset, buffer.data(), h.blhdr_size) != h.blhdr_size) {
                return m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
            }
            advance(h.blhdr_size);
            // Entries beyond the header's own room are garbage.
            std::uint16_t numBlocks =
                std::min<std::uint16_t>(byteorder::LE16(buffer.data() + kBLNumBlocksOffset), maxBlocks);
            for (std::uint16_t i = 1; i < numBlocks && advanced < area; ++i) {
                if (progress && !progress->Continued()) return m_status;
                const std::uint8_t* entry =
                    buffer.data() + kBLEntriesOffset + kBLEntrySize * static_cast<std::size_t>(i);
                std::uint64_t bnum = byteorder::LE64(entry + kBLEntryBlockOffset);
                std::uint32_t bsize = byteorder::LE32(entry + kBLEntrySizeOffset);
                if (bsize == 0 || bsize > area) break;  // nothing sane follows
                std::unique_ptr<std::uint8_t[]> copy(new (std::nothrow) std::uint8_t[bsize]);
                if (!copy) return m_status = HFS_FAIL(HFS_ERR_ALLOC);
                if (Read(offset, copy.get(), bsize) != bsize) return m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
                advance(bsize);
                if (bsize > 0xFFFF || !CHFSPlusBTNode::IsValidNode(copy.get(), static_cast<std::uint16_t>(bsize))) {
                    continue;  // bitmap blocks, the volume header, ...
                }
                CHFSPlusBTNode node(copy.get(), static_cast<std::uint16_t>(bsize), 0);
                if (node.GetKind() != kBTLeafNode) continue;
                if (bnum > UINT64_MAX / first) continue;
                int owner = m_volume->GetNodeBelongToFile(bnum * first);
                switch (owner) {
                case kHFSCatalogFileID:
                    KeepDeletedRecords(m_volume, owner, &node, catalog, progress);
                    break;
                case kHFSExtentsFileID:
                    KeepDeletedRecords(m_volume, owner, &node, extents, nullptr);
                    break;
                case kHFSAttributesFileID:
                    KeepDeletedRecords(m_volume, owner, &node, attributes, nullptr);
                    break;
                default:
                    break;
                }
            }
        } else {
            advance(h.jhdr_size);
        }
        if (offset == h.end || !goOn || advanced >= area) break;
    }
    return m_status;
}
