#pragma once
// The record of a partition that a searcher found or was given: its place on
// the device and its geometry. Each file system derives its own record.

#include <cstddef>
#include <cstdint>

#include "foundation/Types.h"

// The fields as a scan-result file keeps them (the 104-byte image is 8 zero
// bytes followed by these 96 bytes, little-endian; see WriteImage).
struct SearchedPartitionFields {
    std::uint64_t reservedWord = 0;         // file-system specific
    std::uint16_t partitionIndex = 0xFFFF;  // nodes carry it in their status word
    std::uint16_t padding1 = 0;
    std::uint32_t fileSystemType = FILE_SYSTEM_UNKNOWN;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t padding2 = 0;
    std::int64_t startSector = 0;     // first sector of the partition on the device
    std::int64_t cluster0Sector = 0;  // device sector where run start 0 lies
    std::int64_t secondPosition = 0;  // file-system specific
    std::int64_t thirdPosition = 0;   // file-system specific
    std::uint32_t sectorSize = 512;
    std::uint32_t reservedWord2 = 0;  // file-system specific
    std::uint64_t totalSectors = 0;
    std::uint64_t count = 1;      // file-system specific (NTFS: reliability)
    double score = 0.0;           // the file writer prefers higher scores
    std::uint32_t lastWord = 0;   // file-system specific
    std::uint32_t lastWord2 = 0;  // file-system specific
};
static_assert(sizeof(SearchedPartitionFields) == 96);
// Offsets in the 104-byte image are these plus 8.
static_assert(offsetof(SearchedPartitionFields, partitionIndex) + 8 == 16);
static_assert(offsetof(SearchedPartitionFields, fileSystemType) + 8 == 20);
static_assert(offsetof(SearchedPartitionFields, sectorsPerCluster) + 8 == 24);
static_assert(offsetof(SearchedPartitionFields, startSector) + 8 == 32);
static_assert(offsetof(SearchedPartitionFields, cluster0Sector) + 8 == 40);
static_assert(offsetof(SearchedPartitionFields, secondPosition) + 8 == 48);
static_assert(offsetof(SearchedPartitionFields, thirdPosition) + 8 == 56);
static_assert(offsetof(SearchedPartitionFields, sectorSize) + 8 == 64);
static_assert(offsetof(SearchedPartitionFields, reservedWord2) + 8 == 68);
static_assert(offsetof(SearchedPartitionFields, totalSectors) + 8 == 72);
static_assert(offsetof(SearchedPartitionFields, count) + 8 == 80);
static_assert(offsetof(SearchedPartitionFields, score) + 8 == 88);
static_assert(offsetof(SearchedPartitionFields, lastWord) + 8 == 96);

class CFileNode;

class CSearchedPartitionInfo {
public:
    static constexpr std::size_t kImageSize = 104;
    static constexpr int kBaseType = 4;

    // The sector size is kept when it is a non-zero multiple of 512, else 512.
    explicit CSearchedPartitionInfo(std::uint32_t sectorSize = 512);
    virtual ~CSearchedPartitionInfo() = default;
    // 0 NTFS, 1 FAT, 4 this base record; derived records answer their own.
    virtual int GetType() const { return kBaseType; }

    // Copies every field, not the class.
    CSearchedPartitionInfo& operator=(const CSearchedPartitionInfo& other);
    CSearchedPartitionInfo(const CSearchedPartitionInfo& other) = default;

    // Where a file's data lies: the device sector at which run start 0 lies,
    // so run start s begins at GetCluster0Sector() + s x sectors per cluster.
    // FAT and exFAT runs count from cluster 2, so for them it is the data
    // region start (the sector of cluster 2); NTFS, HFS+, APFS and the raw
    // search count from the partition start, so for them it is the
    // partition's start sector. Every searcher sets it when it makes a record
    // and every file reader uses only this accessor; it is part of the saved
    // image, so a restored record answers the same.
    std::int64_t GetCluster0Sector() const { return m_info.cluster0Sector; }
    void SetCluster0Sector(std::int64_t sector) { m_info.cluster0Sector = sector; }
    // Device sector where the run starting at `runStart` (in clusters; a
    // record with 0 sectors per cluster counts in sectors) begins. False for
    // a sparse (negative) start and when the sector does not fit in 63 bits:
    // run starts come from disk.
    bool GetRunDeviceSector(std::int64_t runStart, std::int64_t* sector) const;

    std::uint16_t GetPartitionIndex() const { return m_info.partitionIndex; }
    void SetPartitionIndex(std::uint16_t index) { m_info.partitionIndex = index; }
    std::uint32_t GetFileSystemType() const { return m_info.fileSystemType; }
    void SetFileSystemType(std::uint32_t type) { m_info.fileSystemType = type; }
    std::uint32_t GetSectorsPerCluster() const { return m_info.sectorsPerCluster; }
    void SetSectorsPerCluster(std::uint32_t n) { m_info.sectorsPerCluster = n; }
    std::int64_t GetStartSector() const { return m_info.startSector; }
    void SetStartSector(std::int64_t sector) { m_info.startSector = sector; }
    std::int64_t GetSecondPosition() const { return m_info.secondPosition; }
    void SetSecondPosition(std::int64_t v) { m_info.secondPosition = v; }
    std::int64_t GetThirdPosition() const { return m_info.thirdPosition; }
    void SetThirdPosition(std::int64_t v) { m_info.thirdPosition = v; }
    std::uint32_t GetSectorSize() const { return m_info.sectorSize; }
    // Refuses (keeps the old size, returns false) what is not a non-zero
    // multiple of 512.
    bool SetSectorSize(std::uint32_t size);
    std::uint64_t GetTotalSectors() const { return m_info.totalSectors; }
    void SetTotalSectors(std::uint64_t n) { m_info.totalSectors = n; }
    std::uint64_t GetCount() const { return m_info.count; }
    void SetCount(std::uint64_t n) { m_info.count = n; }
    double GetScore() const { return m_info.score; }
    void SetScore(double s) { m_info.score = s; }
    std::uint64_t GetReservedWord() const { return m_info.reservedWord; }
    void SetReservedWord(std::uint64_t v) { m_info.reservedWord = v; }
    std::uint32_t GetReservedWord2() const { return m_info.reservedWord2; }
    void SetReservedWord2(std::uint32_t v) { m_info.reservedWord2 = v; }
    std::uint32_t GetLastWord() const { return m_info.lastWord; }
    void SetLastWord(std::uint32_t v) { m_info.lastWord = v; }
    std::uint32_t GetLastWord2() const { return m_info.lastWord2; }
    void SetLastWord2(std::uint32_t v) { m_info.lastWord2 = v; }

    const SearchedPartitionFields& Fields() const { return m_info; }

    // The 104-byte image of a scan-result file: 8 zero bytes, then every
    // field little-endian at its offset, padding zero.
    void WriteImage(std::uint8_t out[kImageSize]) const;
    // Reads an image written by WriteImage (bytes 0-15 are ignored and the
    // reserved word comes back 0). A sector size that is not a non-zero
    // multiple of 512 is read as 512.
    void ReadImage(const std::uint8_t in[kImageSize]);

protected:
    SearchedPartitionFields m_info;
};
