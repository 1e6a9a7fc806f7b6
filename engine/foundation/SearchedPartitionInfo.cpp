#include "foundation/SearchedPartitionInfo.h"

#include <cstring>

namespace {

bool IsValidSectorSize(std::uint32_t size) { return size != 0 && size % 512 == 0; }

template <typename T>
void PutLE(std::uint8_t* out, T value) {
    std::uint64_t v;
    if constexpr (sizeof(T) == 8) {
        std::memcpy(&v, &value, 8);
    } else {
        v = static_cast<std::uint64_t>(value);
    }
    for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

template <typename T>
T GetLE(const std::uint8_t* in) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::uint64_t>(in[i]) << (8 * i);
    T value;
    if constexpr (sizeof(T) == 8) {
        std::memcpy(&value, &v, 8);
    } else {
        value = static_cast<T>(v);
    }
    return value;
}

// Image offsets of the fields (the image starts with 8 bytes where the
// object's type pointer once lay).
constexpr std::size_t kOffReserved = 8;
constexpr std::size_t kOffIndex = 16;
constexpr std::size_t kOffType = 20;
constexpr std::size_t kOffSpc = 24;
constexpr std::size_t kOffStart = 32;
constexpr std::size_t kOffCluster0 = 40;
constexpr std::size_t kOffSecond = 48;
constexpr std::size_t kOffThird = 56;
constexpr std::size_t kOffSectorSize = 64;
constexpr std::size_t kOffReserved2 = 68;
constexpr std::size_t kOffTotal = 72;
constexpr std::size_t kOffCount = 80;
constexpr std::size_t kOffScore = 88;
constexpr std::size_t kOffLast = 96;
constexpr std::size_t kOffLast2 = 100;

}  // namespace

CSearchedPartitionInfo::CSearchedPartitionInfo(std::uint32_t sectorSize) {
    m_info.sectorSize = IsValidSectorSize(sectorSize) ? sectorSize : 512;
}

CSearchedPartitionInfo& CSearchedPartitionInfo::operator=(const CSearchedPartitionInfo& other) {
    m_info = other.m_info;
    return *this;
}

bool CSearchedPartitionInfo::SetSectorSize(std::uint32_t size) {
    if (!IsValidSectorSize(size)) return false;
    m_info.sectorSize = size;
    return true;
}

bool CSearchedPartitionInfo::GetRunDeviceSector(std::int64_t runStart, std::int64_t* sector) const {
    if (!sector || runStart < 0) return false;
    const std::int64_t perCluster = m_info.sectorsPerCluster ? m_info.sectorsPerCluster : 1;
    std::int64_t offset = 0, result = 0;
    if (__builtin_mul_overflow(runStart, perCluster, &offset) ||
        __builtin_add_overflow(m_info.cluster0Sector, offset, &result) || result < 0)
        return false;
    *sector = result;
    return true;
}

void CSearchedPartitionInfo::WriteImage(std::uint8_t out[kImageSize]) const {
    std::memset(out, 0, kImageSize);
    PutLE(out + kOffReserved, m_info.reservedWord);
    PutLE(out + kOffIndex, m_info.partitionIndex);
    PutLE(out + kOffType, m_info.fileSystemType);
    PutLE(out + kOffSpc, m_info.sectorsPerCluster);
    PutLE(out + kOffStart, m_info.startSector);
    PutLE(out + kOffCluster0, m_info.cluster0Sector);
    PutLE(out + kOffSecond, m_info.secondPosition);
    PutLE(out + kOffThird, m_info.thirdPosition);
    PutLE(out + kOffSectorSize, m_info.sectorSize);
    PutLE(out + kOffReserved2, m_info.reservedWord2);
    PutLE(out + kOffTotal, m_info.totalSectors);
    PutLE(out + kOffCount, m_info.count);
    PutLE(out + kOffScore, m_info.score);
    PutLE(out + kOffLast, m_info.lastWord);
    PutLE(out + kOffLast2, m_info.lastWord2);
}

void CSearchedPartitionInfo::ReadImage(const std::uint8_t in[kImageSize]) {
    // Bytes 8-15 held a pointer in the writer's memory: meaningless here.
    m_info.reservedWord = 0;
    m_info.partitionIndex = GetLE<std::uint16_t>(in + kOffIndex);
    m_info.fileSystemType = GetLE<std::uint32_t>(in + kOffType);
    m_info.sectorsPerCluster = GetLE<std::uint32_t>(in + kOffSpc);
    m_info.startSector = GetLE<std::int64_t>(in + kOffStart);
    m_info.cluster0Sector = GetLE<std::int64_t>(in + kOffCluster0);
    m_info.secondPosition = GetLE<std::int64_t>(in + kOffSecond);
    m_info.thirdPosition = GetLE<std::int64_t>(in + kOffThird);
    const std::uint32_t sectorSize = GetLE<std::uint32_t>(in + kOffSectorSize);
    m_info.sectorSize = IsValidSectorSize(sectorSize) ? sectorSize : 512;
    m_info.reservedWord2 = GetLE<std::uint32_t>(in + kOffReserved2);
    m_info.totalSectors = GetLE<std::uint64_t>(in + kOffTotal);
    m_info.count = GetLE<std::uint64_t>(in + kOffCount);
    m_info.score = GetLE<double>(in + kOffScore);
    m_info.lastWord = GetLE<std::uint32_t>(in + kOffLast);
    m_info.lastWord2 = GetLE<std::uint32_t>(in + kOffLast2);
}
