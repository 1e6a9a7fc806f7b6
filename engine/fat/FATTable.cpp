#include "fat/FATTable.h"

#include <cstring>

#include "fat/FATStructures.h"
#include "foundation/StorageDevice.h"
#include "foundation/Types.h"

using byteorder::LE16;
using byteorder::LE32;

namespace {

// Sector sizes below 512 or not multiples of it still scale the limits by at
// least 1, never by 0.
std::uint32_t Scale(std::uint32_t sectorSize) {
    const std::uint32_t f = sectorSize / 512;
    return f == 0 ? 1 : f;
}

bool AllBitsSet(std::uint32_t v, int lo, int hi) {
    const std::uint32_t mask = static_cast<std::uint32_t>(((1ull << (hi + 1)) - 1) & ~((1ull << lo) - 1));
    return (v & mask) == mask;
}

}  // namespace

IRealFATTable::IRealFATTable(IStorageDevice* device, std::int64_t firstSector, std::uint32_t sectorsPerFat,
                             std::uint32_t entryWidth)
    : m_device(device),
      m_firstSector(firstSector),
      m_sectorsPerFat(sectorsPerFat),
      m_entryWidth(entryWidth),
      m_sectorSize(device ? device->GetSectorSize() : 512) {
    if (m_sectorSize == 0) m_sectorSize = 512;
}

bool IRealFATTable::ReadSector(std::int64_t n) {
    if (m_buffer.empty() || m_device == nullptr) return false;
    if (m_device->ReadSector(m_buffer.data(), m_firstSector + n, m_sectorsPerFat) == 1) return true;
    // A table that could not be read fails its header test.
    std::memset(m_buffer.data(), 0, m_buffer.size());
    return false;
}

void IRealFATTable::Load(std::uint32_t lo, std::uint32_t hi) {
    if (m_sectorsPerFat < lo || m_sectorsPerFat > hi) return;
    m_buffer.assign(static_cast<std::size_t>(m_sectorsPerFat) * m_sectorSize, 0);
    m_entryCount = static_cast<std::uint32_t>(m_buffer.size() / m_entryWidth);
    ReadSector(0);
}

void IRealFATTable::LoadFromBytes(const std::uint8_t* bytes, std::size_t length) {
    m_buffer.assign(bytes, bytes + length);
    m_entryCount = static_cast<std::uint32_t>(m_buffer.size() / m_entryWidth);
}

std::uint32_t IRealFATTable::RawEntry(std::uint32_t i) const {
    const std::uint8_t* p = m_buffer.data() + static_cast<std::size_t>(i) * m_entryWidth;
    return m_entryWidth == FAT16_ENTRY_BYTES ? LE16(p) : LE32(p);
}

bool IRealFATTable::CheckFATBody(std::uint32_t endMark) const {
    const std::uint32_t n = m_entryCount;
    if (n < 3) return true;
    for (std::uint32_t i = 2; i < n; ++i) {
        const std::uint32_t v = RawEntry(i);
        if (v >= n && v < endMark) return false;
        if (v == 1 || v == i) return false;
    }
    return true;
}

// Every chain is walked once: a cluster stamped by this walk again is a
// loop; one stamped by an earlier walk is fine only when it started that walk
// and nobody has claimed it as a successor yet, else two chains join.
bool IRealFATTable::CheckFATIndex(std::uint32_t endMark) const {
    const std::uint32_t n = m_entryCount;
    if (n < 3) return true;
    const std::uint32_t lastValid = endMark - 1;
    std::vector<std::uint32_t> stamp(n, 0);
    std::vector<bool> unclaimedStart(n, false);
    std::uint32_t walk = 0;
    for (std::uint32_t i = 2; i < n; ++i) {
        if (stamp[i] != 0) continue;
        ++walk;
        stamp[i] = walk;
        unclaimedStart[i] = true;
        std::uint32_t cur = i;
        std::uint64_t steps = 0;
        while (steps < n) {
            const std::uint32_t next = RawEntry(cur);
            if (next < 2 || next > lastValid || next >= n) break;
            if (stamp[next] == walk) return false;
            if (stamp[next] != 0) {
                if (!unclaimedStart[next]) return false;
                unclaimedStart[next] = false;
                break;
            }
            stamp[next] = walk;
            cur = next;
            ++steps;
        }
        if (n > 2 && steps >= n - 2) return false;
    }
    return true;
}

// ---- FAT12 -----------------------------------------------------------------

CFAT12Table::CFAT12Table(IStorageDevice* device, std::int64_t firstSector, std::uint32_t sectorsPerFat,
                         const std::uint8_t* bytes, std::size_t length)
    : IRealFATTable(device, firstSector, sectorsPerFat, 4) {
    if (bytes)
        LoadFromBytes(bytes, length);
    else
        Load(1, 12);
}

bool CFAT12Table::CheckFATHeaderBytes(const std::uint8_t* p) { return AllBitsSet(LE32(p), 4, 23); }

bool CFAT12Table::IsValidFATTable() { return m_buffer.size() >= 8 && CheckFATHeaderBytes(m_buffer.data()); }

std::uint32_t CFAT12Table::GetNextCluster(std::uint32_t n) {
    const std::uint64_t at = static_cast<std::uint64_t>(n) * 3 / 2;
    if (at + 1 >= m_buffer.size()) return 0;
    std::uint32_t v = LE16(m_buffer.data() + at);
    v = (n & 1) ? (v >> 4) : (v & FAT12_ENTRY_MASK);
    if (v == FAT12_END_OF_CHAIN_MAX) return FAT_CLUSTER_NONE;
    if (v < FAT12_END_OF_CHAIN) return v;
    return FAT32_END_OF_CHAIN;
}

// ---- FAT16 -----------------------------------------------------------------

CFAT16Table::CFAT16Table(IStorageDevice* device, std::int64_t firstSector, std::uint32_t sectorsPerFat,
                         const std::uint8_t* bytes, std::size_t length)
    : IRealFATTable(device, firstSector, sectorsPerFat, FAT16_ENTRY_BYTES) {
    if (bytes)
        LoadFromBytes(bytes, length);
    else
        Load(12 / Scale(m_sectorSize), 256 / Scale(m_sectorSize));
}

bool CFAT16Table::CheckFATHeaderBytes(const std::uint8_t* p) { return AllBitsSet(LE32(p), 3, 30); }

bool CFAT16Table::IsValidFATTable() {
    return m_buffer.size() >= 8 && CheckFATHeaderBytes(m_buffer.data()) && CheckFATBody(FAT16_BAD_CLUSTER) &&
           CheckFATIndex(FAT16_BAD_CLUSTER);
}

std::uint32_t CFAT16Table::GetNextCluster(std::uint32_t n) {
    if (n >= m_entryCount) return 0;
    const std::uint32_t v = RawEntry(n);
    if (v == FAT16_BAD_CLUSTER) return FAT32_BAD_CLUSTER;
    if (v > FAT16_BAD_CLUSTER) return FAT32_END_OF_CHAIN;
    return v;
}

// ---- FAT32 -----------------------------------------------------------------

CFAT32Table::CFAT32Table(IStorageDevice* device, std::int64_t firstSector, std::uint32_t sectorsPerFat,
                         const std::uint8_t* bytes, std::size_t length)
    : IRealFATTable(device, firstSector, sectorsPerFat, FAT32_ENTRY_BYTES) {
    // The upper limit bounds the memory of one copy (62.5 MiB); larger FATs
    // stay unloaded and chains then end after their first cluster.
    if (bytes)
        LoadFromBytes(bytes, length);
    else
        Load(256 / Scale(m_sectorSize), 128000 / Scale(m_sectorSize));
}

bool CFAT32Table::CheckFATHeaderBytes(const std::uint8_t* p) {
    return AllBitsSet(LE32(p), 4, 27) && AllBitsSet(LE32(p + 4), 3, 26);
}

bool CFAT32Table::IsValidFATTable() {
    return m_buffer.size() >= 8 && CheckFATHeaderBytes(m_buffer.data()) && CheckFATBody(FAT32_BAD_CLUSTER) &&
           CheckFATIndex(FAT32_BAD_CLUSTER);
}

std::uint32_t CFAT32Table::GetNextCluster(std::uint32_t n) {
    if (n >= m_entryCount) return 0;
    return RawEntry(n);
}

// ---- both copies -----------------------------------------------------------

CDoubleFATTable::~CDoubleFATTable() {
    delete m_first;
    delete m_second;
}

std::uint32_t CDoubleFATTable::GetNextCluster(std::uint32_t cluster) {
    if (m_first) return m_first->GetNextCluster(cluster);
    if (m_second) return m_second->GetNextCluster(cluster);
    return 0;
}

IRealFATTable* IFATTableFactory::CreateRealFATTable(IStorageDevice* device, std::uint32_t type,
                                                    std::int64_t firstSector, std::uint32_t sectorsPerFat) {
    IRealFATTable* table = nullptr;
    switch (type) {
    case FILE_SYSTEM_FAT12:
        table = new CFAT12Table(device, firstSector, sectorsPerFat);
        break;
    case FILE_SYSTEM_FAT16:
        table = new CFAT16Table(device, firstSector, sectorsPerFat);
        break;
    case FILE_SYSTEM_FAT32:
        table = new CFAT32Table(device, firstSector, sectorsPerFat);
        break;
    default:
        return nullptr;
    }
    if (table->IsValidFATTable()) return table;
    delete table;
    return nullptr;
}

IFATTable* IFATTableFactory::CreateFATTable(IStorageDevice* device, std::int64_t fatStart, std::uint32_t type,
                                            std::uint32_t sectorsPerFat, bool firstWanted, bool secondWanted) {
    IRealFATTable* first = nullptr;
    IRealFATTable* second = nullptr;
    if (firstWanted || !secondWanted) first = CreateRealFATTable(device, type, fatStart, sectorsPerFat);
    if (secondWanted && first == nullptr)
        second = CreateRealFATTable(device, type, fatStart + sectorsPerFat, sectorsPerFat);
    return new CDoubleFATTable(first, second);
}
