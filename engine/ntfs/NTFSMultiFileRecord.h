#pragma once
// A base FILE record together with the extension records its
// $ATTRIBUTE_LIST names. Extension records are read through the device on
// first use; every sector read is checked against the device's size.

#include <cstdint>
#include <memory>
#include <vector>

class IStorageDevice;
class CNTFSDataRunList;

// One extension record named by an attribute list.
struct CAttributeListExtendFileRecordInfo {
    std::int64_t startSector = -1;  // -1 until located
    std::int64_t mftNumber = 0;
    bool operator==(const CAttributeListExtendFileRecordInfo&) const = default;
};
using ExtendFileRecordInfoList = std::vector<CAttributeListExtendFileRecordInfo>;

class CAttributeListExtendFileRecordBufferInfo {
public:
    CAttributeListExtendFileRecordBufferInfo(IStorageDevice* device, std::int64_t startSector, std::int64_t mftNumber)
        : m_device(device), m_startSector(startSector), m_mftNumber(mftNumber) {}
    // The record's bytes (read on first use, protection removed when it is a
    // valid FILE record); null when it cannot be read. At least 1,024 bytes.
    std::uint8_t* GetExtendFileRecordBuffer();
    int GetBufferSize() const { return static_cast<int>(m_buffer.size()); }
    std::int64_t GetFileRecordStartSector() const { return m_startSector; }
    std::int64_t GetMFTNumber() const { return m_mftNumber; }

private:
    IStorageDevice* m_device;
    std::int64_t m_startSector;
    std::int64_t m_mftNumber;
    std::vector<std::uint8_t> m_buffer;
    bool m_read = false;
};

class CNTFSMultiFileRecord {
public:
    // The largest $ATTRIBUTE_LIST read from disk; real lists are a few KiB.
    static constexpr std::int64_t kMaxAttributeListBytes = 256 * 1024;

    CNTFSMultiFileRecord(const std::uint8_t* record, std::uint32_t size, std::int64_t startSector,
                         IStorageDevice* device, const ExtendFileRecordInfoList* extensions);

    bool IsValid() const { return !m_record.empty(); }
    bool IsinUse() const;
    std::uint32_t GetMainFileRecordIndex() const;
    std::int64_t GetStartSector() const { return m_startSector; }
    const std::uint8_t* GetBaseRecord() const { return m_record.empty() ? nullptr : m_record.data(); }
    int GetBaseRecordSize() const { return static_cast<int>(m_record.size()); }

    // The index-th attribute of the type across base and extension records;
    // offset and sector name the record that holds it. `available` (may be
    // null) receives the bytes from the attribute to its record's end.
    const std::uint8_t* FindAttibute(std::uint32_t type, int index, std::uint32_t* offset, std::int64_t* sector,
                                     int* available = nullptr);

    static ExtendFileRecordInfoList* InitExtendFileRecord(const std::uint8_t* record, int size, std::int64_t mainSector,
                                                          std::uint8_t sectorsPerCluster, std::int64_t partitionStart,
                                                          IStorageDevice& device, const CNTFSDataRunList* mftRuns,
                                                          std::uint8_t sectorsPerRecord);
    static ExtendFileRecordInfoList* GetExtendFileRecordInfoList(const std::uint8_t* record, int size,
                                                                 std::int64_t partitionStart,
                                                                 std::uint8_t sectorsPerCluster,
                                                                 IStorageDevice& device);
    static void CalcFileRecordStartSectorinExtendFileRecordInfoList(ExtendFileRecordInfoList& list, std::int64_t unused,
                                                                    std::uint8_t sectorsPerCluster,
                                                                    std::int64_t partitionStart,
                                                                    const CNTFSDataRunList* mftRuns,
                                                                    std::uint8_t sectorsPerRecord);
    static std::int64_t GetFileRecordStartSectorfromMFTNumber(std::int64_t mft, std::uint8_t sectorsPerCluster,
                                                              std::int64_t partitionStart,
                                                              const CNTFSDataRunList* mftRuns,
                                                              std::uint8_t sectorsPerRecord);
    static std::int64_t GetClusterStartSector(std::int64_t cluster, std::int64_t partitionStart,
                                              std::uint8_t sectorsPerCluster) {
        return cluster * sectorsPerCluster + partitionStart;
    }
    static void RemoveMainFileRecordInfofromFileRecordInfoList(ExtendFileRecordInfoList& list, std::int64_t mainSector);
    static bool HasSameExtendFileRecordInfoList(const ExtendFileRecordInfoList& list, std::int64_t mft);

    // Reads `count` sectors at `sector` when they lie inside the device;
    // false (and the buffer untouched) otherwise.
    static bool ReadSectorsChecked(IStorageDevice& device, void* buffer, std::int64_t sector, std::int64_t count);

private:
    std::vector<std::uint8_t> m_record;  // readable form
    std::int64_t m_startSector = 0;
    IStorageDevice* m_device = nullptr;
    std::vector<std::unique_ptr<CAttributeListExtendFileRecordBufferInfo>> m_extensions;
};
