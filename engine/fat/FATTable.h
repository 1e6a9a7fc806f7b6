#pragma once
// File allocation tables of FAT12, FAT16 and FAT32: each copy is read whole
// into memory when it is made and answers every lookup from there.

#include <cstdint>
#include <vector>

class IStorageDevice;

// Lookup of the next cluster of a chain.
class IFATTable {
public:
    virtual ~IFATTable() = default;
    // The next cluster after `cluster`; 0 outside the table.
    virtual std::uint32_t GetNextCluster(std::uint32_t cluster) = 0;
};

class IRealFATTable : public IFATTable {
public:
    IRealFATTable(IStorageDevice* device, std::int64_t firstSector, std::uint32_t sectorsPerFat,
                  std::uint32_t entryWidth);
    virtual bool IsValidFATTable() = 0;
    // Reads sectors-per-FAT sectors from first sector + n into the buffer.
    bool ReadSector(std::int64_t n);
    std::uint32_t GetEntryCount() const { return m_entryCount; }
    bool HasBuffer() const { return !m_buffer.empty(); }
    // Loads the table from the device (or from `bytes` for tests and fuzzing
    // when there is no device) when sectors per FAT is within [lo, hi].
    void Load(std::uint32_t lo, std::uint32_t hi);
    void LoadFromBytes(const std::uint8_t* bytes, std::size_t length);

protected:
    std::uint32_t RawEntry(std::uint32_t i) const;  // FAT16/FAT32 by width
    // Body and chain tests over the loaded entries; `endMark` is 0xFFF7 or
    // 0x0FFFFFF7.
    bool CheckFATBody(std::uint32_t endMark) const;
    bool CheckFATIndex(std::uint32_t endMark) const;

    IStorageDevice* m_device;
    std::int64_t m_firstSector;
    std::uint32_t m_sectorsPerFat;
    std::uint32_t m_entryCount = 0;
    std::uint32_t m_entryWidth;
    std::vector<std::uint8_t> m_buffer;
    std::uint32_t m_sectorSize;
};

class CFAT12Table : public IRealFATTable {
public:
    CFAT12Table(IStorageDevice* device, std::int64_t firstSector, std::uint32_t sectorsPerFat,
                const std::uint8_t* bytes = nullptr, std::size_t length = 0);
    std::uint32_t GetNextCluster(std::uint32_t cluster) override;
    bool IsValidFATTable() override;
    static bool CheckFATHeaderBytes(const std::uint8_t* p);
};

class CFAT16Table : public IRealFATTable {
public:
    CFAT16Table(IStorageDevice* device, std::int64_t firstSector, std::uint32_t sectorsPerFat,
                const std::uint8_t* bytes = nullptr, std::size_t length = 0);
    std::uint32_t GetNextCluster(std::uint32_t cluster) override;
    bool IsValidFATTable() override;
    static bool CheckFATHeaderBytes(const std::uint8_t* p);
};

class CFAT32Table : public IRealFATTable {
public:
    CFAT32Table(IStorageDevice* device, std::int64_t firstSector, std::uint32_t sectorsPerFat,
                const std::uint8_t* bytes = nullptr, std::size_t length = 0);
    std::uint32_t GetNextCluster(std::uint32_t cluster) override;
    bool IsValidFATTable() override;
    static bool CheckFATHeaderBytes(const std::uint8_t* p);
};

// Up to two copies; lookups go to the first copy present.
class CDoubleFATTable : public IFATTable {
public:
    CDoubleFATTable(IRealFATTable* first, IRealFATTable* second) : m_first(first), m_second(second) {}
    ~CDoubleFATTable() override;
    std::uint32_t GetNextCluster(std::uint32_t cluster) override;
    IRealFATTable* GetFirst() const { return m_first; }
    IRealFATTable* GetSecond() const { return m_second; }

private:
    IRealFATTable* m_first;
    IRealFATTable* m_second;
};

class IFATTableFactory {
public:
    // A loaded table of the type (0 FAT12, 1 FAT16, 2 FAT32) when it is valid;
    // null otherwise.
    static IRealFATTable* CreateRealFATTable(IStorageDevice* device, std::uint32_t type, std::int64_t firstSector,
                                             std::uint32_t sectorsPerFat);
    // Always an object (possibly with neither copy).
    static IFATTable* CreateFATTable(IStorageDevice* device, std::int64_t fatStart, std::uint32_t type,
                                     std::uint32_t sectorsPerFat, bool firstWanted, bool secondWanted);
    static void DestroyFATTable(IFATTable* table) { delete table; }
};
