#pragma once
// Gives deleted NTFS files whose FILE record now says "empty" their size and
// runs back from what the volume's $LogFile still holds: complete FILE
// records written as redo data, and the old mapping pairs kept as undo data.
//
//   CFindFileFromLogFile finder;
//   if (finder.Init(device, &mftRuns, spc, partitionStart)) finder.Analyzer();
//   ... for each deleted file of size 0:
//   finder.ReplaceFileRecordInfo(recordBytes, properties, mftNumber, extensions);
//
// Every position is a sector of `device`: the partition start given to Init
// is added to every cluster, so the finder works on a whole-disk device as on
// a volume. The log is read once, into at most kMaxLogBytes of memory, which
// is freed when Analyzer returns; only the log records a repair can use stay.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/DataRun.h"
#include "ntfs/NTFSMultiFileRecord.h"

class CNTFSDataRunList;
class CNTFSFileProperties;
class IStorageDevice;

// One kept log record: its first 88 bytes (the log record header, then the
// NTFS operation header) and where its whole copy lies in the record store.
struct RecordSegInfo {
    std::uint8_t header[88];
    std::uint32_t storeOffset = 0;
    std::uint32_t length = 0;
};

class CFindFileFromLogFile {
public:
    static constexpr int kPageBytes = 4096;
    // Pages 0-3 hold the restart areas and their tail copies.
    static constexpr int kFirstLogPage = 4;
    static constexpr int kMinPages = 5;
    static constexpr int kPageHeaderBytes = 64;
    static constexpr int kRecordHeaderBytes = 48;
    static constexpr int kSegHeaderBytes = 88;
    // Records this long or longer are never kept.
    static constexpr std::uint32_t kRecordStoreLimit = 4032;
    static constexpr std::int64_t kMaxLogBytes = std::int64_t{256} * 1024 * 1024;
    static constexpr int kFileRecordBytes = 1024;
    static constexpr int kRebuildBufferBytes = 8192;
    static constexpr int kMaxExtensionRecords = 7;
    static constexpr std::uint16_t kMinUndoLength = 10;
    static constexpr std::uint16_t kMinUndoLengthCompressed = 24;

    CFindFileFromLogFile();
    ~CFindFileFromLogFile();
    CFindFileFromLogFile(const CFindFileFromLogFile&) = delete;
    CFindFileFromLogFile& operator=(const CFindFileFromLogFile&) = delete;

    // Finds the $LogFile record (MFT record 2) through the $MFT's runs.
    // `partitionStart` is the device sector of the volume's cluster 0. True
    // when the record was read; the finder is valid only when that record is
    // the $LogFile's (IsValid).
    bool Init(IStorageDevice* device, const CNTFSDataRunList* mftRuns, std::uint8_t sectorsPerCluster,
              std::int64_t partitionStart);
    // Reads and walks the whole log once; true. Does nothing unless valid
    // and not yet analysed.
    bool Analyzer();
    // Repairs a file whose record says size 0 from the log. `record` is its
    // 1,024-byte FILE record as read from disk (left unchanged);
    // `mftNumber` is its MFT number, or -1 when unknown. True when the
    // properties were given a size and runs.
    bool ReplaceFileRecordInfo(const std::uint8_t* record, CNTFSFileProperties& properties, std::int64_t mftNumber,
                               const ExtendFileRecordInfoList* extensions);
    // Back to the empty state, ready for another Init.
    void Reset();

    bool IsValid() const { return m_valid; }
    bool IsAnalysed() const { return m_analysed; }
    // Whole pages of the log that are read (at most kMaxLogBytes worth).
    std::int64_t GetLogPageCount() const;
    std::size_t GetCollectedFileCount() const { return m_files.size(); }
    std::size_t GetLogRecordCount() const { return m_records.size(); }
    // MFT number named by a log record's target VCN and cluster block offset
    // (512-byte blocks inside the cluster); -1 when they name no record start.
    std::int64_t GetFileRecordIndex(std::int64_t vcn, std::uint16_t clusterBlockOffset) const;

private:
    struct CollectedFile {
        std::unique_ptr<CNTFSFileProperties> properties;
        std::int64_t mftNumber = -1;
    };

    std::uint8_t* GetLogPageBuffer(std::int64_t page);
    bool ReadLogPages();
    void FindLastPageCrossedPageRecord(std::vector<std::uint8_t>& carry, std::uint64_t& carryTotal,
                                       std::uint64_t& bytesOnPage);
    void WalkLogRecords();
    void AnalyzeLogRecord(const std::uint8_t* bytes, std::uint32_t available, std::uint64_t total);
    void AnalyzerFileRecord(const std::uint8_t* bytes, std::uint32_t available);
    void AnalyzerAllLogRecord(const std::uint8_t* bytes, std::uint32_t available, std::uint64_t total);
    void RebuildFileRecord(std::uint8_t* record, std::int64_t mftNumber);
    void BuildFileDataAttributeBuffer(std::int64_t mftNumber, std::uint32_t attributeOffset, std::uint8_t* record,
                                      std::uint32_t* lastEnd);
    bool BuildDataRunList(const std::vector<const std::uint8_t*>& attributes, const std::vector<int>& available,
                          std::vector<DataRun>& out) const;
    bool RunsInsideDevice(const std::vector<DataRun>& runs) const;
    const CollectedFile* FindCollectedFile(const std::string& name, std::int64_t mftNumber,
                                           std::int64_t ownNumber) const;

    bool m_valid = false;
    bool m_analysed = false;
    bool m_compressed = false;
    IStorageDevice* m_device = nullptr;
    std::uint8_t m_spc = 8;
    std::uint32_t m_sectorSize = 512;
    std::uint32_t m_recordBytes = kFileRecordBytes;  // FILE record size on this device
    std::int64_t m_partitionStart = 0;
    std::vector<DataRun> m_logRuns;     // {LCN, clusters}, inside the device
    std::int64_t m_logBytes = 0;        // bytes the runs hold
    bool m_logCut = false;              // ends before its last page
    std::vector<std::uint8_t> m_pages;  // the whole log; freed after Analyzer
    std::vector<std::uint8_t> m_store;  // copies of the kept log records
    std::vector<CollectedFile> m_files;
    std::multimap<std::string, std::size_t> m_filesByName;  // in collection order
    std::vector<RecordSegInfo> m_records;
    std::multimap<std::int64_t, std::size_t> m_recordsByMft;
};
