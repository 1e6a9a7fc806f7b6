#pragma once
// Folder trees of the NTFS partitions that the deep search rebuilt. After the
// walk over the whole device, the deep searcher (NTFSSearchController.cpp)
// scores its candidates, drops the weak ones and, for each survivor in set
// order, calls CNTFSDirectoryTreeBuilder::BuildDirectoryTree once. The FILE
// records of that partition are read again from the device, matched to the
// $MFTs that lie inside the candidate and handed to the tree builder under
// searcher type 35 (SEARCHER_NTFS), MFT numbers as ids: breadth-first from
// the root folder (MFT number 5), then the folders whose parent record was
// not found (parent number 25 or above) with their direct children.
//
// What the deep searcher hands over (all of it owned by the searcher, alive
// until the searcher is destroyed; the builder deletes none of it):
//   info       the search findings (NTFSDeepSearchRecords.h):
//              - GetMFTInfoContainer(): every $MFT located (CMFTInfo*): the
//                sector of its record 0, its run list, sectors per cluster
//                and sectors per FILE record (2 for 1,024-byte records on
//                512-byte sectors);
//              - GetCommonFileRecordPositionInfoList(): runs of consecutive
//                ordinary FILE records, in ascending sector order as found;
//                each record takes 2 sectors;
//              - GetFindFileContainer(): one FindFileMFTAndLogx per $MFT
//                record seen {mft, finder}. The finder may be null (no
//                $LogFile finder available); when set it is not initialised:
//                Init + Analyzer it when its $MFT lies inside the candidate,
//                and Reset it when the candidate is done.
//   candidate  a CSearchedNTFSPartitionInfo (anything else: build nothing):
//              start sector, sectors per cluster, total sectors, MFT-located
//              flag and $MFT sector (-1 when unknown); its partition index is
//              already `place` and its cluster-0 sector is the start sector.
//   device     the scanned device (the read-ahead cache; its producer has
//              stopped, so reads go straight to the device).
//   place      0, 1, ... the survivor's place; every node made for this
//              candidate carries it as its partition index, so the file
//              writer picks this candidate's geometry.
//   progress   null from the deep search.
//   builder    the scan's tree builder; null means nothing to hand nodes to.
// The searcher calls SetPartitonDevice(nullptr, device) and FlashBuild(35)
// itself after the last candidate.

#include <cstdint>
#include <list>
#include <set>
#include <vector>

#include "ntfs/NTFSMultiFileRecord.h"

class CCommonFileRecordInfo;
class CFileNode;
class CMFTInfo;
class CNTFSFileNode;
class CNTFSFileProperties;
class CNTFSIntelligentSearchInfo;
class CSearchedNTFSPartitionInfo;
class CSearchedPartitionInfo;
struct FindFileMFTAndLogx;
class IDirecotryTreeBuilder;
class IProgress;
class IStorageDevice;

// Orders records by their parent folder's MFT number; also compares a record
// with a bare parent number, so groups are found with equal_range(number).
struct CLessThanbyParentMFTNumber {
    using is_transparent = void;
    bool operator()(const CCommonFileRecordInfo* a, const CCommonFileRecordInfo* b) const;
    bool operator()(const CCommonFileRecordInfo* a, std::int64_t parent) const;
    bool operator()(std::int64_t parent, const CCommonFileRecordInfo* b) const;
};
using CCommonFileRecordInfoSet = std::multiset<CCommonFileRecordInfo*, CLessThanbyParentMFTNumber>;

// One $MFT of the current candidate and the records read inside it.
class CMFTDirectoryTreeBuildInfo {
public:
    explicit CMFTDirectoryTreeBuildInfo(CMFTInfo* mft);  // the $MFT stays the search's
    // Deletes the records, with any properties no node took over.
    ~CMFTDirectoryTreeBuildInfo();
    CMFTDirectoryTreeBuildInfo(const CMFTDirectoryTreeBuildInfo&) = delete;
    CMFTDirectoryTreeBuildInfo& operator=(const CMFTDirectoryTreeBuildInfo&) = delete;

    CMFTInfo* GetMFTInfo() const { return m_mft; }
    std::list<CCommonFileRecordInfo*>& GetFileRecords() { return m_records; }
    void AddFileRecord(CCommonFileRecordInfo* record) { m_records.push_back(record); }
    CNTFSFileNode* GetEmptyNode() const { return m_emptyNode; }

    // Deletes a list of records and the properties they still hold.
    static void DeleteFileRecords(std::list<CCommonFileRecordInfo*>& records);

private:
    CMFTInfo* m_mft;
    std::list<CCommonFileRecordInfo*> m_records;  // owned
    CNTFSFileNode* m_emptyNode;                   // owned
};

// Places the records of one $MFT (or the records read outside every $MFT)
// under the tree builder.
class CMFTDirectoryTreeBuilder {
public:
    static constexpr std::int64_t kRootFolderNumber = 5;
    // Records below this number are the volume's own files.
    static constexpr std::int64_t kFirstUserRecordNumber = 25;

    // Puts the build info's records into `records`, places the normal files
    // and then the lost folders, and empties `records`. A null build info
    // places whatever `records` already holds through the lost-folder step
    // only (records read outside every known $MFT).
    void BuildDirectoryTree(CCommonFileRecordInfoSet& records, CMFTDirectoryTreeBuildInfo* info,
                            CSearchedPartitionInfo* candidate, IDirecotryTreeBuilder* builder, int place,
                            IProgress* progress);
    // Breadth-first from the root folder.
    void BuildNormalFiles(CCommonFileRecordInfoSet& records);
    // Makes and adds the nodes of every record whose parent is `parent`;
    // accepted folders are appended to `folders`. The group leaves `records`.
    void BuildChildren(CCommonFileRecordInfoSet& records, std::int64_t parent,
                       std::vector<CCommonFileRecordInfo*>* folders);
    // Folders whose parent record is missing (parent number 25 or above),
    // with their direct children; then, for the records of a $MFT, every
    // other record left, under its parent's number (the tree builder puts
    // what has no parent among the lost files). What is left of records read
    // outside every $MFT is dropped.
    void BuildLostFiles(CCommonFileRecordInfoSet& records);

    // The id in the deep scan's tree of MFT number `number` of the volume
    // at this place: the number itself at place 0 and for the root folder,
    // else the number with the place above its 48 bits.
    std::int64_t TreeId(std::int64_t number) const;
    static constexpr int kRecordNumberBits = 48;
    static constexpr int kMaxPlaces = 1 << 14;

    // The MFT number of the record at `sector` from its place inside the
    // $MFT's runs; -1 when the sector is outside them or not at a record
    // boundary.
    static std::int64_t GetMFTNumber(std::int64_t sector, const CMFTInfo* mft, std::int64_t start,
                                     unsigned char sectorsPerCluster);

private:
    // A node for the record (taking its properties), or null without any.
    CNTFSFileNode* MakeNode(CCommonFileRecordInfo* record);
    // Parent id, node id (tree ids of the two numbers) and partition index.
    void Identify(CNTFSFileNode* node, std::int64_t parent, std::int64_t number) const;
    std::int64_t NumberOf(const CCommonFileRecordInfo* record) const;

    CMFTInfo* m_mft = nullptr;
    IDirecotryTreeBuilder* m_builder = nullptr;
    std::int64_t m_start = 0;
    unsigned char m_spc = 0;
    int m_place = -1;
};

class CNTFSDirectoryTreeBuilder {
public:
    // Sectors read and analysed at once.
    static constexpr std::uint32_t BLOCK_MAX_TOTAL_SECTORS = 128;

    CNTFSDirectoryTreeBuilder() = default;
    ~CNTFSDirectoryTreeBuilder();
    CNTFSDirectoryTreeBuilder(const CNTFSDirectoryTreeBuilder&) = delete;
    CNTFSDirectoryTreeBuilder& operator=(const CNTFSDirectoryTreeBuilder&) = delete;

    // Builds the tree of one candidate; answers the root node, which is
    // always null (the tree builder makes the root). A record that is not an
    // NTFS candidate is only marked finished.
    CFileNode* BuildDirectoryTree(CNTFSIntelligentSearchInfo* search, CSearchedPartitionInfo* candidate,
                                  IStorageDevice* device, int place, IProgress* progress,
                                  IDirecotryTreeBuilder* builder);
    bool IsFinished() const { return m_finished; }

    // The steps of BuildDirectoryTree, open for tests. They work on the
    // state BuildDirectoryTree sets up (device, start, cluster size,
    // candidate, $MFT list).

    // Tests every sector of `count` sectors at `first` for a base FILE record
    // and files what it builds under its $MFT or among the unplaced records.
    void ReadFilePropertiesfromBlock(IStorageDevice* device, std::int64_t first, std::uint32_t count);
    // A record with its properties, or null (unparsable, a system record, no
    // properties). `build` names the record's $MFT, or is null.
    CCommonFileRecordInfo* BuildCommonFileRecordInfoandFileProperties(std::uint8_t* record, int size,
                                                                      std::int64_t sector,
                                                                      CMFTDirectoryTreeBuildInfo* build);
    // The $MFT of the current candidate whose runs hold `cluster`, or null.
    CMFTDirectoryTreeBuildInfo* FindMatchedMFT(std::int64_t cluster) const;

    // Sets up the state of one candidate and lists the $MFTs inside it.
    bool BeginCandidate(CNTFSIntelligentSearchInfo* search, CSearchedNTFSPartitionInfo* candidate,
                        IStorageDevice* device, int place, IProgress* progress, IDirecotryTreeBuilder* builder);
    // Walks the position runs inside the candidate and reads their blocks.
    void ReadFileRecords();
    // Builds every $MFT's tree, and the unplaced records' at place 0.
    void BuildTrees();
    // Frees what the candidate used.
    void EndCandidate();

    const std::list<CMFTDirectoryTreeBuildInfo*>& GetBuildInfos() const { return m_buildInfos; }
    const std::list<CCommonFileRecordInfo*>& GetUnplacedRecords() const { return m_unplaced; }

    // Whether a $MFT lies inside a candidate of this start, cluster size and
    // length.
    static bool IsMFTInsidePartition(const CMFTInfo& mft, std::int64_t start, std::uint32_t spc,
                                     std::uint64_t totalSectors);

private:
    // The $LogFile finders of the $MFTs: set up for this candidate, asked to
    // repair an empty file, and reset after the candidate.
    void PrepareLogFileFinder(FindFileMFTAndLogx* entry);
    void RepairFromLogFile(std::uint8_t* record, CNTFSFileProperties* properties, ExtendFileRecordInfoList* extensions);
    void ResetLogFileFinders();

    std::list<CMFTDirectoryTreeBuildInfo*> m_buildInfos;  // owned
    std::list<CCommonFileRecordInfo*> m_unplaced;         // owned
    IStorageDevice* m_device = nullptr;
    std::int64_t m_start = -1;
    std::uint32_t m_spc = 0;
    CNTFSIntelligentSearchInfo* m_search = nullptr;
    CSearchedNTFSPartitionInfo* m_candidate = nullptr;
    int m_place = -1;
    IProgress* m_progress = nullptr;
    CFileNode* m_result = nullptr;
    bool m_finished = false;
    IDirecotryTreeBuilder* m_builder = nullptr;
    std::vector<std::uint8_t> m_block;
};
