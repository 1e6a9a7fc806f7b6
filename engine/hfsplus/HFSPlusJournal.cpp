#include "hfsplus/HFSPlusJournal.h"

#include <algorithm>
#include <memory>
#include <new>

#include "hfsplus/HFSPlusVolume.h"

using namespace hfsplus_detail;

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
    h.magic = le32(raw);
    h.endian = le32(raw + 4);
    h.start = le64(raw + 8);
    h.end = le64(raw + 16);
    h.size = le64(raw + 24);
    h.blhdr_size = le32(raw + 32);
    h.checksum = le32(raw + 36);
    h.jhdr_size = le32(raw + 40);
    if (h.magic != kJournalMagic || h.endian != kJournalEndian || h.size != m_info.size) {
        m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
        return;
    }
    // Sizes that would make the walk stall or read past its buffers.
    if (h.jhdr_size < 512 || (h.jhdr_size & (h.jhdr_size - 1)) != 0 || h.jhdr_size >= h.size ||
        h.blhdr_size < 16 || h.blhdr_size % 16 != 0 || h.blhdr_size > h.size ||
        h.start >= h.size || h.end >= h.size) {
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

EngineResult CHFSPlusJournal::GetDeleteRecord(CHFSPlusQuickFileSystemSearchProgress*, CHFSPlusRecordCollection&,
                                              CHFSPlusRecordCollection&, CHFSPlusRecordCollection&) {
    return 0;
}
