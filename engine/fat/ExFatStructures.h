#pragma once
// exFAT on-disk structures: the boot sector view, the FAT reader with its
// block cache, the partition geometry that turns entry sets into nodes, the
// node class, the DOS-time conversion and the entry-set checksum.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fat/ExFatLayout.h"
#include "foundation/ByteOrder.h"
#include "foundation/FileNode.h"

class IStorageDevice;
class IDataRunList;

constexpr std::uint32_t EXFAT_NODE_FAT_INVALID = 0x40000000;  // clusters follow one another
constexpr std::uint32_t EXFAT_NODE_DELETED = 0x80000000;

namespace exfat {
bool AllZero(const std::uint8_t* p, std::size_t n);
// Name units up to the first 0 that are below 256 must be characters allowed in names.
bool NameCharsAllowed(const std::uint8_t* units, int count);
// Cuts a UTF-8 text to at most `max` bytes without splitting a character.
void CutUtf8(std::string& s, std::size_t max);
// Floor of the base-2 logarithm; 0 for 0 and 1.
std::uint32_t Log2(std::uint64_t v);
}  // namespace exfat

// A view over a caller's boot sector (at least 512 bytes).
class CExFatDBR {
public:
    explicit CExFatDBR(const std::uint8_t* sector) : m_p(sector) {}
    // The published validity rules, with the device's sector size.
    bool IsValid(std::uint32_t sectorSize) const;

    std::uint32_t GetFileSystemType() const;  // always exFAT
    std::uint64_t GetTotalSectors() const { return byteorder::LE64(m_p + ExFatBootLayout::kTotalSectors); }
    std::uint32_t GetFatStartSector() const { return byteorder::LE32(m_p + ExFatBootLayout::kFatOffset); }
    std::uint32_t GetSectorsPerFat() const { return byteorder::LE32(m_p + ExFatBootLayout::kFatLength); }
    std::uint32_t GetDataRegionStartSector() const { return byteorder::LE32(m_p + ExFatBootLayout::kHeapOffset); }
    std::uint32_t GetTotalCluster() const { return byteorder::LE32(m_p + ExFatBootLayout::kClusterCount); }
    std::uint32_t GetRootDirStartCluster() const { return byteorder::LE32(m_p + ExFatBootLayout::kRootCluster); }
    std::uint32_t GetActiveFatNumber() const { return byteorder::LE16(m_p + ExFatBootLayout::kVolumeFlags) & 1u; }
    std::uint8_t GetBytesPerSectorShift() const { return m_p[ExFatBootLayout::kBytesPerSectorShift]; }
    std::uint8_t GetSectorsPerClusterShift() const { return m_p[ExFatBootLayout::kSectorsPerClusterShift]; }
    // Meaningful only for a sector that passed IsValid (shifts are bounded).
    std::uint32_t GetBytePerSector() const { return 1u << (m_p[ExFatBootLayout::kBytesPerSectorShift] & 31); }
    std::uint32_t GetSectorsperCluster() const { return 1u << (m_p[ExFatBootLayout::kSectorsPerClusterShift] & 31); }
    std::uint32_t GetNumberOfFat() const { return m_p[ExFatBootLayout::kNumberOfFats]; }
    // One past the highest cluster number the volume may use: clusters are
    // numbered from 2, so at least count + 2, raised to what the FAT can
    // describe when its length says more.
    std::uint64_t GetClusterLimit() const;

private:
    const std::uint8_t* m_p;
};

// The exFAT file allocation table, read in 1 MiB blocks on demand; at most
// nine blocks stay cached and the one with the lowest key makes room.
class CFatTable {
public:
    static constexpr std::uint32_t kBlockBytes = 1u << 20;
    static constexpr std::size_t kMaxBlocks = 9;

    CFatTable() = default;
    virtual ~CFatTable() = default;
    CFatTable(const CFatTable&) = delete;
    CFatTable& operator=(const CFatTable&) = delete;

    // Reads the first block. False (nothing cached) when the device, the
    // table's place or the read is wrong.
    bool CreateFatTable(IStorageDevice* device, std::int64_t fatStart, std::uint32_t fatSectors,
                        std::uint32_t clusterCount);
    bool IsValid() const { return !m_blocks.empty(); }
    // The FAT entry of the cluster; 0xFFFFFFFF when it cannot be read or lies
    // beyond the table.
    std::uint32_t GetNextCluster(std::uint32_t cluster);
    void ClearFatData() { m_blocks.clear(); }
    std::size_t GetCachedBlockCount() const { return m_blocks.size(); }
    bool IsBlockCached(std::int64_t key) const { return m_blocks.count(key) != 0; }
    std::uint32_t GetSectorsPerBlock() const { return m_sectorsPerBlock; }

private:
    // Reads the block that starts at sector `key` into `buffer` (1 MiB,
    // zero-filled beyond what the table holds).
    bool ReadBlock(std::int64_t key, std::vector<std::uint8_t>& buffer);

    IStorageDevice* m_fatDevice = nullptr;
    std::int64_t m_fatStart = 0;
    std::uint32_t m_fatSectors = 0;
    std::uint32_t m_fatSectorSize = 0;
    std::uint32_t m_sectorsPerBlock = 0;
    std::map<std::int64_t, std::vector<std::uint8_t>> m_blocks;
};

struct _tagDOSTime {
    std::uint16_t time = 0;  // low 16 bits of a stored timestamp
    std::uint16_t date = 0;  // high 16 bits
};
// 100 ns units since 1601-01-01 of a local DOS date and time; 0 when the
// date cannot be converted.
std::int64_t DosTime2FileTime(_tagDOSTime t);
inline std::int64_t DosTime2FileTime(std::uint32_t stamp) {
    return DosTime2FileTime(_tagDOSTime{static_cast<std::uint16_t>(stamp), static_cast<std::uint16_t>(stamp >> 16)});
}
// A stored timestamp that names a real date and time.
bool IsValidExFatTimestamp(std::uint32_t stamp);

// The set checksum over `length` bytes (bytes 2 and 3 skipped). A deleted
// set also passes with the checksum of its in-use type codes.
bool CheckDirEntry(const std::uint8_t* set, std::size_t length, std::uint16_t checksum);
std::uint16_t ExFatSetChecksum(const std::uint8_t* set, std::size_t length);

// 1 for a name character below 256 that a file name may hold.
extern const std::uint8_t g_u8FileNameCheckTable[256];

// What an entry set tells of a file, its name aside.
struct ExFatSetFields {
    std::int64_t size = 0;
    std::uint32_t firstCluster = 0;
    std::uint8_t noFatChain = 0;
    std::uint8_t inUse = 0;
    std::uint16_t attributes = 0;
    std::uint32_t create = 0, modified = 0, accessed = 0;
    std::int64_t entrySector = 0;
};

// One file as gathered from an entry set.
struct _tagFileBaseInfo : ExFatSetFields {
    static constexpr std::size_t kNameBytes = 512;
    char name[kNameBytes] = {};
};

class CExFatFileNode : public CFileNode {
public:
    CExFatFileNode() = default;
    CExFatFileNode(const CExFatFileNode&) = delete;
    CExFatFileNode& operator=(const CExFatFileNode&) = delete;

    const char* GetFileName() override { return m_name.c_str(); }
    std::int64_t GetFileSize() override { return m_size; }
    std::uint32_t GetAttribute() override { return m_attributes & 0xFFFF; }
    std::int64_t GetCreationTime() override { return m_creation; }
    std::int64_t GetModificationTime() override { return m_modification; }
    std::int64_t GetLastAccessTime() override { return m_access; }
    int IsDirectory() override { return (m_attributes & EXFAT_ATTR_DIRECTORY) ? 1 : 0; }
    int IsDeleted() override { return (m_attributes & EXFAT_NODE_DELETED) ? 1 : 0; }
    IFileNode* Clone() override;
    void MarkDeleted() override { SetFileDeleted(); }
    void FilterFileNameByDot() override;
    void SetFileName(const char* name) override {
        if (name != nullptr) m_name = name;
    }

    bool IsFatInvalid() const { return (m_attributes & EXFAT_NODE_FAT_INVALID) != 0; }
    std::uint32_t GetAttributeWord() const { return m_attributes; }
    void SetFileAttributes(std::uint32_t a) { m_attributes |= a; }
    void SetFileDeleted() { m_attributes |= EXFAT_NODE_DELETED; }
    void SetFileFatInvalid() { m_attributes |= EXFAT_NODE_FAT_INVALID; }
    void SetID(std::int64_t id) { m_nodeId = id; }
    void SetParentID(std::int64_t id) { m_parentNodeId = id; }
    // Takes ownership; the list held before is released.
    void SetDataRunList(IDataRunList* runs);
    void SetFileSize(std::int64_t size) { m_size = size; }
    void SetTimes(std::int64_t creation, std::int64_t modification, std::int64_t access) {
        m_creation = creation;
        m_modification = modification;
        m_access = access;
    }
    std::uint32_t GetFirstCluster() const { return m_firstCluster; }
    void SetFirstCluster(std::uint32_t c) { m_firstCluster = c; }

private:
    std::string m_name;
    std::int64_t m_size = 0;
    std::uint32_t m_attributes = 0;
    std::int64_t m_creation = 0, m_modification = 0, m_access = 0;
    std::uint32_t m_firstCluster = EXFAT_NO_CLUSTER;
};

// The geometry of one exFAT volume, its FAT, and nodes built from entry sets.
class CExFatPartition : public CFatTable {
public:
    std::int64_t ConvertClusterNumToSector(std::uint32_t cluster) const;
    std::uint32_t ConvertSectorToClusterNum(std::int64_t sector) const;
    // The cluster after `cluster`: the following one for a file or folder
    // stored without a FAT chain, else the FAT entry; 0xFFFFFFFF past the
    // last cluster.
    std::uint32_t GetNextCluster(std::uint32_t cluster, bool fatInvalid);
    CExFatFileNode* BuildFile(const _tagFileBaseInfo& info);
    IDataRunList* BuildFileDataRun(const _tagFileBaseInfo& info);

    std::uint32_t m_sectorSize = 512;
    std::uint32_t m_sectorsPerCluster = 1;
    std::uint64_t m_totalClusters = 0;
    std::uint32_t m_rootCluster = EXFAT_NO_CLUSTER;
    std::uint64_t m_clusterBytes = 512;
    std::int64_t m_dataRegionStart = 0;
    std::int64_t m_partitionStart = 0;
    std::int64_t m_totalSectors = 0;
};
