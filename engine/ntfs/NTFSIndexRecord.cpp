#include "ntfs/NTFSIndexRecord.h"

#include <cassert>
#include <cstring>

#include "ntfs/NTFSAttributes.h"
#include "foundation/ByteOrder.h"
#include "ntfs/NTFSFileRecord.h"

using namespace byteorder;

// ---------------------------------------------------- CStandardIndexHeader

bool CStandardIndexHeader::IsValidMagicNumber(const std::uint8_t* buffer, int size) {
    assert(buffer != nullptr && "pBuffer != NULL");
    return buffer != nullptr && size >= 4 && LE32(buffer) == kMagic;
}

bool CStandardIndexHeader::IsValid(const std::uint8_t* buffer, int size) {
    if (buffer == nullptr || size < 512 || !IsValidMagicNumber(buffer, size)) return false;
    const std::uint16_t usaOffset = LE16(buffer + 4);
    const std::uint16_t usaCount = LE16(buffer + 6);
    const std::uint32_t firstEntry = LE32(buffer + 24);
    const std::uint32_t inUse = LE32(buffer + 28);
    const std::uint32_t allocated = LE32(buffer + 32);
    if (allocated > static_cast<std::uint32_t>(size)) return false;
    if (inUse > allocated) return false;
    if (usaCount > 16 || usaCount == 0) return false;
    if (static_cast<int>(usaCount - 1) > size / 512) return false;
    const std::uint64_t sectors = (static_cast<std::uint64_t>(allocated) + firstEntry) / 512;
    if (static_cast<std::uint16_t>(usaCount - 1) != static_cast<std::uint16_t>(sectors & 0xFFFF)) return false;
    return usaOffset >= 40 && usaOffset <= 256;
}

std::uint32_t CStandardIndexHeader::GetOffsetofIndexEntries(const std::uint8_t* buffer) {
    return LE32(buffer + 24) + 24;
}
std::uint32_t CStandardIndexHeader::GetSizeofIndexEntries(const std::uint8_t* buffer) { return LE32(buffer + 28); }
std::int64_t CStandardIndexHeader::GetVCN(const std::uint8_t* buffer) {
    return static_cast<std::int64_t>(LE64(buffer + 16));
}
std::int64_t CStandardIndexHeader::GetLogFileSequenceNumber(const std::uint8_t* buffer) {
    return static_cast<std::int64_t>(LE64(buffer + 8));
}

// ------------------------------------------------------------ CIndexRecord

bool CIndexRecord::IsValidUpdateSequence(const std::uint8_t* buffer, int size) {
    if (buffer == nullptr || size < 512) return false;
    const std::uint16_t usaOffset = LE16(buffer + 4);
    const int count = LE16(buffer + 6);
    if (count < 1 || usaOffset > 256) return false;
    if (512 * (count - 1) > size) return false;
    const std::uint16_t usn = LE16(buffer + usaOffset);
    for (int i = 0; i < count - 1; ++i)
        if (LE16(buffer + 510 + 512 * i) != usn) return false;
    return true;
}

int CIndexRecord::UnfixupIndexRecord(std::uint8_t* buffer, int size) {
    if (!IsValidUpdateSequence(buffer, size)) return 0;
    const std::uint16_t usaOffset = LE16(buffer + 4);
    const int count = LE16(buffer + 6);
    for (int i = 0; i < count - 1; ++i) std::memcpy(buffer + 510 + 512 * i, buffer + usaOffset + 2 * (i + 1), 2);
    return 1;
}

int CIndexRecord::FixupIndexRecord(std::uint8_t* buffer, int size) {
    if (buffer == nullptr || size < 512) return 0;
    const std::uint16_t usaOffset = LE16(buffer + 4);
    const int count = LE16(buffer + 6);
    if (count < 1 || usaOffset > 256 || 512 * (count - 1) > size) return 0;
    for (int i = 0; i < count - 1; ++i) {
        std::memcpy(buffer + usaOffset + 2 * (i + 1), buffer + 510 + 512 * i, 2);
        std::memcpy(buffer + 510 + 512 * i, buffer + usaOffset, 2);
    }
    return 1;
}

bool CIndexRecord::IsValid(const CIndexRecordStruct* entry) {
    assert(entry != nullptr && "pIndexRecordStruct != NULL");
    if (entry == nullptr) return false;
    const std::uint8_t* e = entry->bytes;
    return static_cast<std::int64_t>(LE64(e + 64)) <= static_cast<std::int64_t>(LE64(e + 56));
}

bool CIndexRecord::CheckIndexEntries(const std::uint8_t* buffer, int size) {
    if (buffer == nullptr || size < 64) return false;
    const std::uint64_t first = CStandardIndexHeader::GetOffsetofIndexEntries(buffer);
    std::uint64_t end = static_cast<std::uint64_t>(CStandardIndexHeader::GetSizeofIndexEntries(buffer)) + 24;
    if (end > static_cast<std::uint64_t>(size)) end = static_cast<std::uint64_t>(size);
    bool haveParent = false;
    std::uint64_t parent = 0;
    for (std::uint64_t off = first; off < end;) {
        // An entry's fields up to the key's sizes must lie inside the buffer.
        if (off + 16 > static_cast<std::uint64_t>(size)) return false;
        const std::uint8_t* e = buffer + off;
        const std::uint16_t length = LE16(e + 8);
        const std::uint16_t flags = LE16(e + 12);
        if ((flags & 0x02) != 0 || length == 0) return true;
        if (off + length > static_cast<std::uint64_t>(size)) return false;
        if (flags != 0x01) {
            if (off + 82 > static_cast<std::uint64_t>(size)) return false;
            if (!IsValid(reinterpret_cast<const CIndexRecordStruct*>(e))) return false;
            const std::uint64_t p = LE64(e + 16);
            if (!haveParent) {
                parent = p;
                haveParent = true;
            } else if (p != parent) {
                return false;
            }
        }
        off += length;
    }
    return true;
}

bool CIndexRecord::IsValid(std::uint8_t* buffer, int size) {
    if (!CStandardIndexHeader::IsValid(buffer, size)) return false;
    if (!IsValidUpdateSequence(buffer, size)) return false;
    UnfixupIndexRecord(buffer, size);
    const bool ok = CheckIndexEntries(buffer, size);
    FixupIndexRecord(buffer, size);
    return ok;
}

std::int64_t CIndexRecord::GetParentFileReference(std::uint8_t* buffer, int size) {
    if (!IsValid(buffer, size)) return -1;
    const std::uint64_t first = CStandardIndexHeader::GetOffsetofIndexEntries(buffer);
    if (first + 24 > static_cast<std::uint64_t>(size)) return -1;
    return static_cast<std::int64_t>(LE32(buffer + first + 16));
}

bool CFolderFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(const CNTFSFileRecord& record) {
    if (!record.IsValid() || !record.IsFolder()) return false;
    const std::uint8_t* a = record.FindAttibute(ntfslayout::kAttrIndexAllocation, 0);
    return a != nullptr && !CNTFSFileRecordAttribute::IsResident(a);
}

// ---------------------------------------------------------- RSTR and RCRD

bool CLogFileAnalyzer::IsValidRestartRecordHeader(const std::uint8_t* buffer, int size) {
    assert(buffer != nullptr && "pBuffer != NULL");
    if (buffer == nullptr || size < 152) return false;
    return LE32(buffer) == kRstrMagic && LE64(buffer + 144) == kNtfsClientName;
}

bool CLogFileAnalyzer::IsValidRSTRRecord(const std::uint8_t* buffer, int size) {
    if (buffer == nullptr || size < kPageBytes) return false;
    if (!IsValidRestartRecordHeader(buffer, size)) return false;
    return CheckFixup(buffer, 8, GetFixup(buffer));
}

std::uint16_t CLogFileAnalyzer::GetFixup(const std::uint8_t* buffer) { return LE16(buffer + 30); }

bool CLogFileAnalyzer::CheckFixup(const std::uint8_t* buffer, int sectors, std::uint16_t value) {
    assert(sectors > 0 && "iSectors >0");
    if (buffer == nullptr || sectors <= 0) return false;
    for (int i = 0; i < sectors; ++i)
        if (LE16(buffer + 510 + 512 * i) != value) return false;
    return true;
}

bool CRCRDRecord::IsValidMagicNumber(const std::uint8_t* buffer) { return buffer != nullptr && LE32(buffer) == kMagic; }

bool CRCRDRecord::IsValidRCRDRecordFirstSector(const std::uint8_t* buffer, int size) {
    assert(size >= 512 && "iBufferSize >= 512");
    return size >= 512 && IsValidMagicNumber(buffer);
}

bool CRCRDRecord::IsValidUpdateSequence(const std::uint8_t* buffer, int size) {
    assert(size >= 512 * 8 && "iBufferSize >= 512 * 8");
    if (buffer == nullptr || size < 4096) return false;
    if (LE16(buffer + 4) != 40 || LE16(buffer + 6) != 9) return false;
    const std::uint16_t usn = LE16(buffer + 40);
    for (int i = 0; i < 8; ++i)
        if (LE16(buffer + 510 + 512 * i) != usn) return false;
    return true;
}

bool CRCRDRecord::IsValid(const std::uint8_t* buffer, int size) {
    assert(size >= 8 * 512 && "iBufferSize >= 8 * 512");
    return size >= 4096 && IsValidMagicNumber(buffer) && IsValidUpdateSequence(buffer, size);
}

int CRCRDRecord::Unfixup(std::uint8_t* buffer, int size) {
    if (!IsValid(buffer, size)) return 0;
    for (int i = 0; i < 8; ++i) std::memcpy(buffer + 510 + 512 * i, buffer + 42 + 2 * i, 2);
    return 1;
}

bool CRCRDRecord::GetRecordHead(std::uint8_t* buffer, int size, CRecordPageHeader** out) {
    if (out == nullptr || buffer == nullptr || size < static_cast<int>(sizeof(CRecordPageHeader)) ||
        !IsValidMagicNumber(buffer))
        return false;
    *out = reinterpret_cast<CRecordPageHeader*>(buffer);
    return true;
}

bool CRCRDRecord::GetOperationRecordHeader(std::uint8_t* buffer, int size, CLogRecordHeader** out) {
    if (out == nullptr || buffer == nullptr || size < 48) return false;
    *out = reinterpret_cast<CLogRecordHeader*>(buffer);
    return true;
}
