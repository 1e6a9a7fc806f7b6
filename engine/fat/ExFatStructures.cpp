#include "fat/ExFatStructures.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "fat/DosTime.h"
#include "foundation/DataRun.h"
#include "foundation/StorageDevice.h"
#include "foundation/Types.h"

using byteorder::LE16;
using byteorder::LE32;
using byteorder::LE64;

// ---- boot sector -------------------------------------------------------------

std::uint32_t CExFatDBR::GetFileSystemType() const { return FILE_SYSTEM_EXFAT; }

bool CExFatDBR::IsValid(std::uint32_t sectorSize) const {
    using B = ExFatBootLayout;
    if (m_p[B::kSignature] != 0x55 || m_p[B::kSignature + 1] != 0xAA) return false;
    if (std::memcmp(m_p + B::kName, "EXFAT   ", 8) != 0) return false;
    for (int i = B::kMustBeZero; i < B::kMustBeZeroEnd; ++i)
        if (m_p[i] != 0) return false;
    const unsigned bps = m_p[B::kBytesPerSectorShift], spc = m_p[B::kSectorsPerClusterShift];
    if (bps < 9 || bps > 12 || (1u << bps) != sectorSize) return false;
    if (bps + spc > 25) return false;
    const std::uint32_t fats = GetNumberOfFat();
    if (fats != 1 && fats != 2) return false;
    const std::uint64_t fatLength = GetSectorsPerFat(), heap = GetDataRegionStartSector(),
                        fatOffset = GetFatStartSector(), volume = GetTotalSectors(), count = GetTotalCluster();
    if (fatLength == 0 || heap == 0 || fatOffset == 0 || volume == 0 || count == 0) return false;
    if (GetRootDirStartCluster() < 2) return false;
    if (fatOffset > volume || heap > volume) return false;
    if (fatOffset + fatLength > heap) return false;
    // All operands are below 2^32 and the shift below 17: no overflow.
    if (heap + ((count - 1) << spc) > volume) return false;
    return true;
}

std::uint64_t CExFatDBR::GetClusterLimit() const {
    const std::uint64_t capacity = static_cast<std::uint64_t>(GetSectorsPerFat()) * GetBytePerSector() / 4;
    return std::max<std::uint64_t>(static_cast<std::uint64_t>(GetTotalCluster()) + 2, capacity);
}

// ---- FAT ---------------------------------------------------------------------

bool CFatTable::CreateFatTable(IStorageDevice* device, std::int64_t fatStart, std::uint32_t fatSectors,
                               std::uint32_t /*clusterCount*/) {
    m_blocks.clear();
    if (device == nullptr || fatSectors == 0 || fatStart < 0) return false;
    const std::int64_t total = device->GetTotalSectors();
    if (total < 0 || fatStart + static_cast<std::int64_t>(fatSectors) >= total) return false;
    const std::uint32_t ss = device->GetSectorSize();
    if (ss == 0 || ss > kBlockBytes) return false;
    m_fatDevice = device;
    m_fatStart = fatStart;
    m_fatSectors = fatSectors;
    m_fatSectorSize = ss;
    m_sectorsPerBlock = kBlockBytes / ss;
    std::vector<std::uint8_t> block;
    if (!ReadBlock(fatStart, block)) return false;
    m_blocks.emplace(fatStart, std::move(block));
    return true;
}

bool CFatTable::ReadBlock(std::int64_t key, std::vector<std::uint8_t>& buffer) {
    // Only the table's own sectors are read; the rest of the block stays zero
    // (a zero entry ends every chain).
    buffer.assign(kBlockBytes, 0);
    const std::int64_t inTable = static_cast<std::int64_t>(m_fatSectors) - (key - m_fatStart);
    if (inTable <= 0) return false;
    const std::int64_t count = inTable < m_sectorsPerBlock ? inTable : m_sectorsPerBlock;
    return m_fatDevice->ReadSector(buffer.data(), key, count) == 1;
}

std::uint32_t CFatTable::GetNextCluster(std::uint32_t cluster) {
    if (m_blocks.empty() || m_fatSectorSize == 0) return EXFAT_NO_CLUSTER;
    // 64-bit offsets: cluster numbers reach 2^32.
    const std::uint64_t byteOffset = static_cast<std::uint64_t>(cluster) * 4;
    const std::uint64_t sector = byteOffset / m_fatSectorSize;
    if (sector >= m_fatSectors) return EXFAT_NO_CLUSTER;
    const std::uint64_t blockSector = sector - sector % m_sectorsPerBlock;
    const std::int64_t key = m_fatStart + static_cast<std::int64_t>(blockSector);
    const std::size_t at = static_cast<std::size_t>(byteOffset - blockSector * m_fatSectorSize);
    auto it = m_blocks.find(key);
    if (it == m_blocks.end()) {
        std::vector<std::uint8_t> buffer;
        if (m_blocks.size() >= kMaxBlocks) {
            auto lowest = m_blocks.begin();
            buffer = std::move(lowest->second);
            m_blocks.erase(lowest);
        }
        if (!ReadBlock(key, buffer)) return EXFAT_NO_CLUSTER;
        it = m_blocks.emplace(key, std::move(buffer)).first;
    }
    if (at + 4 > it->second.size()) return EXFAT_NO_CLUSTER;
    return LE32(it->second.data() + at);
}

// ---- times, checksum, names ----------------------------------------------------

std::int64_t DosTime2FileTime(_tagDOSTime t) {
    std::int64_t s = 0;
    if (!LocalDosTimeToUnixSeconds(t.date, t.time, &s)) return 0;
    return s * 10000000LL + 116444736000000000LL;
}

bool IsValidExFatTimestamp(std::uint32_t stamp) {
    const std::uint32_t day = (stamp >> 16) & 31, month = (stamp >> 21) & 15;
    if (day == 0 || month < 1 || month > 12) return false;
    if (((stamp >> 14) & 3) == 3) return false;   // hour 24 and above
    if (((stamp >> 7) & 15) == 15) return false;  // minute 60 and above
    if (((stamp >> 1) & 15) == 15) return false;  // two-second count 30 and above
    return true;
}

std::uint16_t ExFatSetChecksum(const std::uint8_t* set, std::size_t length) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (i == 2 || i == 3) continue;
        sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
    }
    return sum;
}

bool CheckDirEntry(const std::uint8_t* set, std::size_t length, std::uint16_t checksum) {
    if (length == 0 || set == nullptr) return checksum == 0;
    if (ExFatSetChecksum(set, length) == checksum) return true;
    if (set[0] != EXFAT_ENTRY_FILE_DELETED) return false;
    std::vector<std::uint8_t> live(set, set + length);
    for (std::size_t i = 0; i < length; i += EXFAT_ENTRY_SIZE)
        live[i] = i == 0 ? EXFAT_ENTRY_FILE : i == EXFAT_ENTRY_SIZE ? EXFAT_ENTRY_STREAM : EXFAT_ENTRY_NAME;
    return ExFatSetChecksum(live.data(), length) == checksum;
}

// 0x00-0x19, '"', '*', '/', ':', '<', '>', '?', '\\', '|' and 0xFF are refused.
const std::uint8_t g_u8FileNameCheckTable[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x00
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1,  // 0x10
    1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 0,  // 0x20
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0, 1, 0, 0,  // 0x30
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x40
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1,  // 0x50
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x60
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1,  // 0x70
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x80
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0x90
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xA0
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xB0
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xC0
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xD0
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xE0
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0,  // 0xF0
};

// ---- node ----------------------------------------------------------------------

void CExFatFileNode::SetDataRunList(IDataRunList* runs) {
    if (m_dataRunList && m_dataRunList != runs) m_dataRunList->Release();
    m_dataRunList = runs;
}

void CExFatFileNode::FilterFileNameByDot() { m_name = CFileNode::FilterFileNameByDot(m_name); }

IFileNode* CExFatFileNode::Clone() {
    auto* node = new CExFatFileNode();
    node->m_name = m_name;
    node->m_size = m_size;
    node->m_attributes = m_attributes;
    node->m_creation = m_creation;
    node->m_modification = m_modification;
    node->m_access = m_access;
    node->m_firstCluster = m_firstCluster;
    if (IsDeleted()) node->SetFileDeleted();
    // Identity and the status word (metadata sector, partition index) go
    // with the copy so it is placed where the original was.
    node->m_nodeId = m_nodeId;
    node->m_parentNodeId = m_parentNodeId;
    node->m_status = m_status;
    node->m_compressed = m_compressed;
    if (m_dataRunList) node->m_dataRunList = m_dataRunList->Clone();
    return node;
}

// ---- partition -------------------------------------------------------------------

std::int64_t CExFatPartition::ConvertClusterNumToSector(std::uint32_t cluster) const {
    if (cluster < 2) return 0;
    return m_dataRegionStart + static_cast<std::int64_t>(cluster - 2) * m_sectorsPerCluster;
}

std::uint32_t CExFatPartition::ConvertSectorToClusterNum(std::int64_t sector) const {
    if (m_sectorsPerCluster == 0) return 0;
    const std::int64_t n = (sector - m_dataRegionStart + m_sectorsPerCluster - 1) / m_sectorsPerCluster + 2;
    return static_cast<std::uint32_t>(n);
}

std::uint32_t CExFatPartition::GetNextCluster(std::uint32_t cluster, bool fatInvalid) {
    // Without a FAT chain the clusters simply follow one another; the FAT
    // entries of such a file or folder mean nothing (often 0).
    const std::uint64_t next =
        fatInvalid ? static_cast<std::uint64_t>(cluster) + 1 : CFatTable::GetNextCluster(cluster);
    return next >= m_totalClusters ? EXFAT_NO_CLUSTER : static_cast<std::uint32_t>(next);
}

IDataRunList* CExFatPartition::BuildFileDataRun(const _tagFileBaseInfo& info) {
    IDataRunList* runs = CreateDataRunList();
    if ((info.attributes & EXFAT_ATTR_DIRECTORY) || info.size <= 0) return runs;
    if (info.firstCluster < 2 || info.firstCluster > EXFAT_LAST_CLUSTER || m_clusterBytes == 0) return runs;
    // The size comes from the entry and may be anything: a file ends at the
    // partition's last cluster however large it says it is.
    const bool bounded = m_totalClusters > 0;
    if (bounded && info.firstCluster >= m_totalClusters) return runs;
    const std::uint64_t size = static_cast<std::uint64_t>(info.size);
    if (info.noFatChain) {
        std::uint64_t clusters = (size + m_clusterBytes - 1) / m_clusterBytes;
        if (bounded) clusters = std::min<std::uint64_t>(clusters, m_totalClusters - info.firstCluster);
        DataRun r;
        r.start = static_cast<std::int64_t>(info.firstCluster) - 2;
        r.length = static_cast<std::int64_t>(clusters);
        runs->AddDataRun(&r);
        return runs;
    }
    std::uint32_t cluster = info.firstCluster;
    std::uint64_t left = size;
    // Every cycle in a chain jumps back somewhere: a jump to a cluster a
    // jump (or the start) already reached ends the chain, before a looping
    // FAT and a huge size fill memory with runs.
    std::unordered_set<std::uint32_t> jumpedTo{cluster};
    while (true) {
        DataRun r;
        r.start = static_cast<std::int64_t>(cluster) - 2;
        r.length = 1;
        runs->AddDataRun(&r);
        if (left <= m_clusterBytes) break;
        left -= m_clusterBytes;
        const std::uint32_t next = GetNextCluster(cluster, false);
        if (next < 2 || next > EXFAT_LAST_CLUSTER) break;
        if (next != cluster + 1 && !jumpedTo.insert(next).second) break;
        cluster = next;
    }
    return runs;
}

CExFatFileNode* CExFatPartition::BuildFile(const _tagFileBaseInfo& info) {
    auto* node = new CExFatFileNode();
    node->SetFirstCluster(info.firstCluster);
    node->SetFileAttributes(info.attributes);
    if (info.noFatChain) node->SetFileFatInvalid();
    node->SetTimes(DosTime2FileTime(info.create), DosTime2FileTime(info.modified), DosTime2FileTime(info.accessed));
    char name[_tagFileBaseInfo::kNameBytes];
    std::memcpy(name, info.name, sizeof name);
    name[sizeof name - 1] = 0;
    node->SetFileName(name);
    node->SetFileSize(info.size);
    node->SetMetaDataSector(info.entrySector);
    if (!info.inUse) node->SetFileDeleted();
    node->SetDataRunList(BuildFileDataRun(info));
    return node;
}

// ---- shared helpers ----------------------------------------------------------

namespace exfat {

bool AllZero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

bool NameCharsAllowed(const std::uint8_t* units, int count) {
    for (int i = 0; i < count; ++i) {
        const std::uint16_t u = LE16(units + 2 * i);
        if (u == 0) break;
        if (u < 256 && !g_u8FileNameCheckTable[u]) return false;
    }
    return true;
}

void CutUtf8(std::string& s, std::size_t max) {
    if (s.size() <= max) return;
    std::size_t n = max;
    while (n > 0 && (static_cast<std::uint8_t>(s[n]) & 0xC0) == 0x80) --n;
    s.resize(n);
}

std::uint32_t Log2(std::uint64_t v) {
    std::uint32_t n = 0;
    while (v > 1) {
        v >>= 1;
        ++n;
    }
    return n;
}

}  // namespace exfat
