#pragma once
// What the NTFS deep search keeps while it reads a disk sector by sector:
// located system files, folders with an index allocation, ordinary FILE
// records, runs of consecutive FILE records, and the partition candidate.

#include <cstdint>
#include <list>
#include <vector>

#include "foundation/SearchedPartitionInfo.h"
#include "ntfs/NTFSAttributes.h"

class CNTFSFileRecord;
class IFileProperties;
class IRSData;
class CFindFileFromLogFile;

// Base of the system-file infos.
class CMetaFileInfo {
public:
    virtual ~CMetaFileInfo() = default;
    // Valid record with unnamed $DATA runs (gathered without the total check).
    bool InitFromBuffer(const CNTFSFileRecord& record, std::int64_t sector);
    bool InitFromBuffer(std::uint8_t* record, int size, std::int64_t sector);
    std::int64_t GetSectorAddress() const { return m_sector; }
    std::int64_t GetFirstClusterNO() const { return m_runs.GetLCN(0); }
    const CNTFSDataRunList& GetDataRunList() const { return m_runs; }
    void GetDataRunList(CNTFSDataRunList& out) const;
    std::int64_t GetLogFileSequenceNumber() const { return m_lsn; }
    bool Equals(const CMetaFileInfo& other) const;

protected:
    std::int64_t m_sector = -1;
    CNTFSDataRunList m_runs;
    std::int64_t m_lsn = 0;
};

// $MFTMirr and $LogFile: the cluster size guessed from their $DATA.
class CMetaFileInfoWithClusterSize : public CMetaFileInfo {
public:
    bool InitFromBuffer(std::uint8_t* record, int size, std::int64_t sector);
    bool InitFromBuffer(const CNTFSFileRecord& record, std::int64_t sector);
    std::uint8_t GetSectorsPerCluster() const { return m_spc; }

protected:
    std::uint8_t m_spc = 0;
};

class CMFTMirrInfo : public CMetaFileInfoWithClusterSize {
public:
    static CMFTMirrInfo* Build(const CNTFSFileRecord& record, std::int64_t sector);
};
class CLogFileInfo : public CMetaFileInfoWithClusterSize {};

class CAttrDefFileInfo : public CMetaFileInfo {
public:
    const CNTFSDataRunList& GetNTFSDataRunList() const { return m_runs; }
};
class CUpCaseFileInfo : public CMetaFileInfo {
public:
    const CNTFSDataRunList& GetNTFSDataRunList() const { return m_runs; }
};

class CMFTInfo {
public:
    // New info when the record initialises and VCN 0 maps to a cluster.
    static CMFTInfo* Build(const CNTFSFileRecord& record, std::int64_t sector);
    bool InitFromBuffer(const CNTFSFileRecord& record, std::int64_t sector);
    bool InitFromBuffer(std::uint8_t* record, int size, std::int64_t sector);
    std::uint8_t GetSectorsPerFileRecord() const { return m_spr; }
    void SetSectorsPerFileRecord(std::uint8_t spr) { m_spr = spr; }
    std::uint8_t GetSectorsPerCluster() const { return m_spc; }
    void SetSectorsPerCluster(std::uint8_t spc) { m_spc = spc; }
    std::int64_t GetSectorAddress() const { return m_sector; }
    void SetSectorAddress(std::int64_t sector) { m_sector = sector; }
    std::int64_t GetFirstClusterNO() const { return m_runs.GetLCN(0); }
    CNTFSDataRunList& GetDataRunList() { return m_runs; }
    const CNTFSDataRunList& GetDataRunList() const { return m_runs; }

    // Frame layout: sector (i64), sectors per record (u8), sectors per
    // cluster (u8), then the run list.
    bool Save(IRSData& rs) const;
    bool Restore(IRSData& rs);

private:
    std::int64_t m_sector = -1;
    CNTFSDataRunList m_runs;
    std::uint8_t m_spr = 2;
    std::uint8_t m_spc = 0;
};

class CBitmapFileInfo {
public:
    bool InitFromBuffer(const CNTFSFileRecord& record, std::int64_t sector);
    std::int64_t GetFileSize() const { return m_size; }
    std::int64_t GetSectorAddress() const { return m_sector; }

private:
    std::int64_t m_sector = -1;
    std::int64_t m_size = -1;
};

class CFolderIndexAllocationInfo {
public:
    // Kept only when the folder's number is known and is not the root's (5).
    bool InitFromBuffer(std::uint8_t* record, int size, std::int64_t sector);
    std::uint32_t GetSectorsPerCluster() const { return m_spc; }
    std::int64_t GetSectorAddress() const { return m_sector; }
    std::int64_t GetFirstClusterNO() const;
    std::int64_t GetLCN(std::int64_t vcn) const;
    bool HasXPNumberOfthisMFTRecord() const { return m_hasOwnNumber != 0; }
    std::uint32_t GetXPNumberOfthisMFTRecord() const { return m_ownNumber; }
    std::int64_t GetLogFileSequenceNumber() const { return m_lsn; }
    std::int64_t GetMFTFileRecordNumber() const { return m_folderNumber; }
    void SetMFTFileRecordNumber(std::int64_t n) { m_folderNumber = n; }
    const std::vector<CDataRun>& GetRuns() const { return m_runs; }

private:
    std::int64_t m_sector = -1;
    std::vector<CDataRun> m_runs;
    std::int64_t m_lsn = 0;
    std::int64_t m_folderNumber = -1;
    std::uint32_t m_ownNumber = 0;
    std::uint32_t m_hasOwnNumber = 0;
    std::uint32_t m_spc = 0;
};

class CCommonFileRecordInfo {
public:
    bool InitFromBuffer(const CNTFSFileRecord& record, std::int64_t sector);
    bool InitFromBuffer(std::uint8_t* record, int size, std::int64_t sector);
    std::int64_t GetParentFileRecordNumber() const { return m_parent; }
    void SetParentFileRecordNumber(std::int64_t parent) { m_parent = parent; }
    IFileProperties* GetFileProperties() const { return m_properties; }
    void SetFileProperties(IFileProperties* p) { m_properties = p; }
    std::int64_t GetMFTFileRecordNumber() const { return m_mft; }
    void SetMFTFileRecordNumber(std::int64_t mft) { m_mft = mft; }
    std::int64_t GetSectorAddress() const { return m_sector; }
    bool IsDirectory() const { return m_isDirectory != 0; }

private:
    std::uint32_t m_isDirectory = 0;
    std::int64_t m_sector = 0;
    std::int64_t m_parent = -1;
    IFileProperties* m_properties = nullptr;  // not owned
    std::int64_t m_mft = -1;
};

// A run of consecutive FILE records, 2 sectors each.
class CCommonFileRecordPositionInfo {
public:
    CCommonFileRecordPositionInfo() = default;
    explicit CCommonFileRecordPositionInfo(std::int64_t sector) : m_first(sector), m_count(1) {}
    bool Merge(std::int64_t sector);
    std::int64_t GetFileRecordStartSector() const { return m_first; }
    void SetFileRecordStartSector(std::int64_t sector) { m_first = sector; }
    std::int64_t GetFileRecordCount() const { return m_count; }

private:
    std::int64_t m_first = -1;
    std::int64_t m_count = 0;
};

// One $MFT record seen by the deep search, with the $LogFile record finder
// that repairs zero-length files of its partition. Both are owned by the deep
// searcher (the MFT list owns `mft`); `finder` is null when no finder could
// be made, and is initialised per candidate by the tree builder.
struct FindFileMFTAndLogx {
    CMFTInfo* mft = nullptr;
    CFindFileFromLogFile* finder = nullptr;
};

class CNTFSIntelligentSearchInfo {
public:
    void Init(std::list<CMFTInfo*>* mfts, std::list<CCommonFileRecordPositionInfo*>* positions,
              std::list<FindFileMFTAndLogx*>* finders) {
        m_mfts = mfts;
        m_positions = positions;
        m_finders = finders;
    }
    std::list<CMFTInfo*>* GetMFTInfoContainer() const { return m_mfts; }
    std::list<CCommonFileRecordPositionInfo*>* GetCommonFileRecordPositionInfoList() const { return m_positions; }
    std::list<FindFileMFTAndLogx*>* GetFindFileContainer() const { return m_finders; }

private:
    std::list<CMFTInfo*>* m_mfts = nullptr;
    std::list<CCommonFileRecordPositionInfo*>* m_positions = nullptr;
    std::list<FindFileMFTAndLogx*>* m_finders = nullptr;
};

// Evidence bits of an NTFS partition candidate.
enum : std::uint32_t {
    NTFS_BUILD_FROM_BOOT = 1,
    NTFS_BUILD_FROM_BACKUP_BOOT = 2,
    NTFS_BUILD_FROM_MFT_PAIR = 4,
    NTFS_BUILD_FROM_MFT = 8,
    NTFS_BUILD_FROM_MFTMIRR = 16,
    NTFS_BUILD_FROM_INDX = 32,
    NTFS_BUILD_FROM_RSTR1 = 64,
    NTFS_BUILD_FROM_RSTR2 = 128,
};

class CSearchedNTFSPartitionInfo : public CSearchedPartitionInfo {
public:
    static constexpr int kNTFSType = 0;
    static constexpr unsigned kSaveBytes = 96;

    explicit CSearchedNTFSPartitionInfo(std::uint32_t sectorSize = 512);
    int GetType() const override { return kNTFSType; }
    virtual bool Save(IRSData& rs);
    virtual bool Restore(IRSData& rs);
    virtual bool IsFileNodeBelongSelf(CFileNode*) { return false; }
    virtual int UpdateFileNodeProperty(CFileNode*) { return 0; }

    void AddPartitionBuildFromFlag(std::uint32_t flags) { m_buildFrom |= flags; }
    void SetPartitionBuildFromFlag(std::uint32_t flags) { m_buildFrom = flags; }
    std::uint32_t GetPartitionBuildFromFlags() const { return m_buildFrom; }
    std::int64_t GetSerialNumber() const { return m_serial; }
    void SetSerialNumber(std::int64_t serial) { m_serial = serial; }
    std::uint32_t GetSectorsperFileRecord() const { return m_spr; }
    void SetSectorsperFileRecord(std::uint32_t spr) { m_spr = spr; }
    std::uint32_t GetMFTLocated() const { return m_mftLocated; }
    void SetMFTLocated(std::uint32_t v) { m_mftLocated = v; }
    std::int64_t GetTotalClusters() const { return m_totalClusters; }
    void SetTotalClusters(std::int64_t v) { m_totalClusters = v; }
    std::int64_t GetLogFileMatchCount() const { return m_logFileMatch; }
    void SetLogFileMatchCount(std::int64_t v) { m_logFileMatch = v; }
    std::int64_t GetAttrDefMatchCount() const { return m_attrDefMatch; }
    void SetAttrDefMatchCount(std::int64_t v) { m_attrDefMatch = v; }
    std::int64_t GetUpCaseMatchCount() const { return m_upCaseMatch; }
    void SetUpCaseMatchCount(std::int64_t v) { m_upCaseMatch = v; }
    std::int64_t GetMFTSector() const { return m_mftSector; }
    void SetMFTSector(std::int64_t v) { m_mftSector = v; }
    std::int64_t GetLogFileRecordSector() const { return m_logFileRecordSector; }
    void SetLogFileRecordSector(std::int64_t v) { m_logFileRecordSector = v; }
    std::int64_t GetAttrDefRecordSector() const { return m_attrDefRecordSector; }
    void SetAttrDefRecordSector(std::int64_t v) { m_attrDefRecordSector = v; }
    std::int64_t GetUpCaseRecordSector() const { return m_upCaseRecordSector; }
    void SetUpCaseRecordSector(std::int64_t v) { m_upCaseRecordSector = v; }
    std::int64_t GetBitmapSectors() const { return m_bitmapSectors; }
    void SetBitmapSectors(std::int64_t v) { m_bitmapSectors = v; }

private:
    std::int64_t m_serial = 0;
    std::uint32_t m_spr = 2;
    std::uint32_t m_buildFrom = 0;
    std::uint32_t m_mftLocated = 0;
    std::uint32_t m_reserved = 0;
    std::int64_t m_totalClusters = -1;
    std::int64_t m_logFileMatch = -1;
    std::int64_t m_attrDefMatch = -1;
    std::int64_t m_upCaseMatch = -1;
    std::int64_t m_mftSector = -1;
    std::int64_t m_logFileRecordSector = -1;
    std::int64_t m_attrDefRecordSector = -1;
    std::int64_t m_upCaseRecordSector = -1;
    std::int64_t m_bitmapSectors = -1;
};
