#include "ntfs/NTFSFileRecord.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSLayout.h"
#include "foundation/ByteOrder.h"

using namespace byteorder;
using namespace ntfslayout;

// ---------------------------------------------------------------- CNTFSDBR

CNTFSDBR::CNTFSDBR() { std::memset(m_sector, 0, sizeof(m_sector)); }

bool CNTFSDBR::InitFromBuffer(const std::uint8_t* sector) {
    if (sector == nullptr || !IsFullValidDBR(sector)) return false;
    std::memcpy(m_sector, sector, sizeof(m_sector));
    return true;
}

std::uint32_t CNTFSDBR::FileRecordSizeOf(const std::uint8_t* sector) {
    const std::int8_t c = static_cast<std::int8_t>(sector[kBootClustersPerRecord]);
    std::uint64_t size;
    if (c < 0) {
        // 2^-c; only exponents 10..16 give a usable record.
        const int shift = -static_cast<int>(c);
        if (shift < 10 || shift > 16) return 0;
        size = std::uint64_t{1} << shift;
    } else if (c == 0) {
        size = 1024;
    } else {
        size = static_cast<std::uint64_t>(c) * sector[kBootSectorsPerCluster] * LE16(sector + kBootBytesPerSector);
    }
    // The record is read into a 64 KiB area, sector count kept in a byte.
    if (size < 1024 || size > 65536 || (size & (size - 1)) != 0) return 0;
    return static_cast<std::uint32_t>(size);
}

bool CNTFSDBR::IsFullValidDBR(const std::uint8_t* sector) {
    if (sector == nullptr) return false;
    if (std::memcmp(sector + kBootOemId, "NTFS    ", 8) != 0) return false;
    const std::uint16_t bps = LE16(sector + kBootBytesPerSector);
    if (bps == 0 || bps % 512 != 0) return false;
    const std::uint8_t spc = sector[kBootSectorsPerCluster];
    if (spc == 0 || (spc & (spc - 1)) != 0) return false;  // 1, 2, 4 ... 128
    if (LE16(sector + kBootReservedSectors) != 0) return false;
    for (std::size_t i : kBootZeroBytes)
        if (sector[i] != 0) return false;
    if (sector[kBootSignature] != 0x55 || sector[kBootSignature + 1] != 0xAA) return false;
    return FileRecordSizeOf(sector) != 0;
}

std::int64_t CNTFSDBR::GetMFTStartCluster() const {
    return static_cast<std::int64_t>(LE64(m_sector + kBootMftCluster));
}
std::int64_t CNTFSDBR::GetMFTMirrorStartCluster() const {
    return static_cast<std::int64_t>(LE64(m_sector + kBootMftMirrorCluster));
}
std::int64_t CNTFSDBR::GetTotalSectors() const { return static_cast<std::int64_t>(LE64(m_sector + kBootTotalSectors)); }
std::uint64_t CNTFSDBR::GetSerialNumber() const { return LE64(m_sector + kBootSerialNumber); }
std::uint16_t CNTFSDBR::GetBytesPerSector() const { return LE16(m_sector + kBootBytesPerSector); }

// ---------------------------------------------------- CNTFSFileRecordHeader

namespace {
// Limits of a plausible header: records of up to 4 KiB (8 strides), the
// update sequence array inside the first 256 bytes.
constexpr std::uint16_t kMaxUsaCount = 16;
constexpr std::uint32_t kMaxAllocatedSize = 4096;
constexpr std::uint16_t kMaxUsaOffset = 256;
}  // namespace

bool CNTFSFileRecordHeader::IsValid(const std::uint8_t* buffer, int size) {
    assert(buffer != nullptr && "pSectorBuffer != NULL");
    assert(size % 512 == 0 && "iBufferSize % 512 == 0");
    if (buffer == nullptr || size < static_cast<int>(kRecordHeaderBytes)) return false;
    if (LE32(buffer + kRecordMagic) != kFileRecordMagic) return false;
    const std::uint16_t usaOffset = LE16(buffer + kRecordUsaOffset);
    const std::uint16_t usaCount = LE16(buffer + kRecordUsaCount);
    const std::uint32_t allocated = LE32(buffer + kRecordAllocatedSize);
    if (usaCount > kMaxUsaCount) return false;
    if (allocated > kMaxAllocatedSize || allocated % CNTFSFileRecord::kRecordBytes != 0) return false;
    if (usaCount == 0 || static_cast<std::uint32_t>(usaCount - 1) > allocated / kUsaStride) return false;
    if (usaOffset < kRecordOldHeaderBytes || usaOffset > kMaxUsaOffset) return false;
    return true;
}

// --------------------------------------------------------- CNTFSFileRecord

namespace {

// Calls fn(offset, type) for every attribute before the end marker within
// the walk limit; fn returns false to stop. Reads only 8 bytes at offsets
// below 1,016.
template <typename Fn>
void WalkAttributes(const std::uint8_t* buffer, Fn fn) {
    std::uint64_t offset = CNTFSFileRecord::GetFirstAttibuteOffset(buffer);
    while (offset < CNTFSFileRecord::kWalkLimit) {
        const std::uint8_t* attr = buffer + offset;
        const std::uint32_t type = LE32(attr + kAttrType);
        if (type == kAttrEnd) return;
        if (!fn(static_cast<std::uint32_t>(offset), type)) return;
        const std::uint32_t length = LE32(attr + kAttrLength);
        if (length == 0) return;
        offset += length;
    }
}

// Strides protected by the update sequence: USA count - 1, at least the two
// of a 1,024-byte record, and as many more as the caller's size holds. A
// 4,096-byte record (4 KiB sectors) keeps 8 strides; undoing only two of them
// would leave the sector ends of its resident data wrong.
int UsaStrides(const std::uint8_t* buffer, int size) {
    const int count = LE16(buffer + kRecordUsaCount);
    int strides = count - 1;
    const int inSize = size / static_cast<int>(kUsaStride);
    if (strides > inSize) strides = inSize;
    return strides < 0 ? 0 : strides;
}

}  // namespace

CNTFSFileRecord::CNTFSFileRecord(std::uint8_t* buffer, int size, int copy) {
    if (buffer == nullptr || !IsValid(buffer, size)) return;
    if (copy) {
        m_buffer = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(size)));
        if (m_buffer == nullptr) return;
        std::memcpy(m_buffer, buffer, static_cast<std::size_t>(size));
        m_ownsCopy = true;
    } else {
        m_buffer = buffer;
    }
    m_size = size;
    if (IsValidUpdateSequence(m_buffer, size)) {
        UnfixupFileRecord(m_buffer, size);
        m_unfixedByMe = true;
    }
}

CNTFSFileRecord::~CNTFSFileRecord() {
    if (m_buffer == nullptr) return;
    if (m_unfixedByMe) FixupFileRecord(m_buffer, m_size);
    if (m_ownsCopy) std::free(m_buffer);
}

bool CNTFSFileRecord::IsValid(std::uint8_t* buffer, int size) {
    if (buffer == nullptr || size < kRecordBytes) return false;
    if (!CNTFSFileRecordHeader::IsValid(buffer, size - size % static_cast<int>(kUsaStride))) return false;
    const bool unfixed = UnfixupFileRecord(buffer, size) == 1 && LE16(buffer + kRecordUsaCount) >= 2;
    const bool ok = CheckAttibutes(buffer, size);
    if (unfixed) FixupFileRecord(buffer, size);
    return ok;
}

bool CNTFSFileRecord::IsValidUpdateSequence(const std::uint8_t* buffer, int size) {
    if (buffer == nullptr || size < kRecordBytes) return false;
    const std::uint16_t usaOffset = LE16(buffer + kRecordUsaOffset);
    if (usaOffset > kMaxUsaOffset) return false;  // the header test bounds it; stay safe alone
    const std::uint16_t usn = LE16(buffer + usaOffset);
    const int strides = UsaStrides(buffer, size);
    for (int i = 0; i < strides; ++i)
        if (LE16(buffer + kUsaStrideTail + kUsaStride * i) != usn) return false;
    return true;
}

int CNTFSFileRecord::UnfixupFileRecord(std::uint8_t* buffer, int size) {
    if (buffer == nullptr || size < kRecordBytes) return 0;
    if (!IsValidUpdateSequence(buffer, size)) return 0;
    const std::uint16_t usaOffset = LE16(buffer + kRecordUsaOffset);
    const int strides = UsaStrides(buffer, size);
    for (int i = 0; i < strides; ++i)
        std::memcpy(buffer + kUsaStrideTail + kUsaStride * i, buffer + usaOffset + 2 * (i + 1), 2);
    return 1;
}

int CNTFSFileRecord::FixupFileRecord(std::uint8_t* buffer, int size) {
    if (buffer == nullptr || size < kRecordBytes) return 0;
    const std::uint16_t usaOffset = LE16(buffer + kRecordUsaOffset);
    if (usaOffset > kMaxUsaOffset) return 0;
    const int strides = UsaStrides(buffer, size);
    for (int i = 0; i < strides; ++i) {
        std::memcpy(buffer + usaOffset + 2 * (i + 1), buffer + kUsaStrideTail + kUsaStride * i, 2);
        std::memcpy(buffer + kUsaStrideTail + kUsaStride * i, buffer + usaOffset, 2);
    }
    return 1;
}

const std::uint8_t* CNTFSFileRecord::FindAttibute(const std::uint8_t* buffer, std::uint32_t type, int index) {
    const std::uint32_t offset = GetAttributeOffset(buffer, type, index);
    return offset == kNotFound ? nullptr : buffer + offset;
}

const std::uint8_t* CNTFSFileRecord::FindAttibute(std::uint32_t type, int index) const {
    return m_buffer == nullptr ? nullptr : FindAttibute(m_buffer, type, index);
}

bool CNTFSFileRecord::HasAttributeList(const std::uint8_t* buffer) {
    return GetAttributeOffset(buffer, kAttrAttributeList, 0) != kNotFound;
}

std::uint32_t CNTFSFileRecord::GetAttributeOffset(const std::uint8_t* buffer, std::uint32_t type, int index) {
    if (buffer == nullptr || index < 0) return kNotFound;
    std::uint32_t found = kNotFound;
    int seen = 0;
    WalkAttributes(buffer, [&](std::uint32_t offset, std::uint32_t t) {
        if (t != type) return true;
        if (seen++ == index) {
            found = offset;
            return false;
        }
        return true;
    });
    return found;
}

int CNTFSFileRecord::GetAttibuteCountofSpecifiedType(const std::uint8_t* buffer, std::uint32_t type) {
    if (buffer == nullptr) return 0;
    int count = 0;
    WalkAttributes(buffer, [&](std::uint32_t, std::uint32_t t) {
        if (t == type) ++count;
        return true;
    });
    return count;
}

bool CNTFSFileRecord::CheckAttibutes(const std::uint8_t* buffer, int size) {
    if (buffer == nullptr || size < kRecordBytes) return false;
    bool ok = true;
    WalkAttributes(buffer, [&](std::uint32_t offset, std::uint32_t type) {
        const int available = size - static_cast<int>(offset);
        const std::uint8_t* attr = buffer + offset;
        if (!CNTFSFileRecordAttribute::IsValid(attr, available) ||
            (type == kAttrFileName && !CNTFSFileRecordFileNameAttribute::IsValid(attr, available))) {
            ok = false;
            return false;
        }
        return true;
    });
    return ok;
}

std::uint64_t CNTFSFileRecord::GetBaseFileRecordNumber(const std::uint8_t* buffer) {
    return LE64(buffer + kRecordBaseRecord) & kMftReferenceMask;
}
bool CNTFSFileRecord::IsExtendFileRecord(const std::uint8_t* buffer) {
    return buffer != nullptr && GetBaseFileRecordNumber(buffer) != 0;
}
bool CNTFSFileRecord::IsFolder(const std::uint8_t* buffer) {
    return buffer != nullptr && (LE16(buffer + kRecordFlags) & kRecordFlagDirectory) != 0;
}
bool CNTFSFileRecord::IsinUse(const std::uint8_t* buffer) {
    return buffer != nullptr && (LE16(buffer + kRecordFlags) & kRecordFlagInUse) != 0;
}
std::uint16_t CNTFSFileRecord::GetFirstAttibuteOffset(const std::uint8_t* buffer) {
    return LE16(buffer + kRecordFirstAttribute);
}
std::uint32_t CNTFSFileRecord::GetLength(const std::uint8_t* buffer) { return LE32(buffer + kRecordUsedSize); }
std::uint32_t CNTFSFileRecord::GetAllocatedSize(const std::uint8_t* buffer) {
    return LE32(buffer + kRecordAllocatedSize);
}
std::int64_t CNTFSFileRecord::GetLogFileSequenceNumber(const std::uint8_t* buffer) {
    return buffer == nullptr ? 0 : static_cast<std::int64_t>(LE64(buffer + kRecordLsn));
}
bool CNTFSFileRecord::HasXPNumberOfthisMFTRecord(const std::uint8_t* buffer) {
    return buffer != nullptr && LE16(buffer + kRecordUsaOffset) >= kRecordXPHeaderBytes &&
           LE16(buffer + kRecordXPPadding) == 0;
}
std::uint32_t CNTFSFileRecord::GetXPNumberOfthisMFTRecord(const std::uint8_t* buffer) {
    return buffer == nullptr ? 0 : LE32(buffer + kRecordXPNumber);
}
