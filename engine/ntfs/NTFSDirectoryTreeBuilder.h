#pragma once
// Folder trees of the NTFS partitions that the deep search rebuilt. After the
// walk over the whole device, the deep searcher (NTFSSearchController.cpp)
// scores its candidates, drops the weak ones and, for each survivor in set
// order, calls CNTFSDirectoryTreeBuilder::BuildDirectoryTree once. The FILE
// records of that partition are read again from the device and handed to the
// tree builder under searcher type 35 (SEARCHER_NTFS), MFT numbers as ids.
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

class CNTFSIntelligentSearchInfo;
class CSearchedPartitionInfo;
class IStorageDevice;
class IProgress;
class IDirecotryTreeBuilder;
class CFileNode;

class CNTFSDirectoryTreeBuilder {
public:
    CNTFSDirectoryTreeBuilder() = default;
    ~CNTFSDirectoryTreeBuilder();
    CNTFSDirectoryTreeBuilder(const CNTFSDirectoryTreeBuilder&) = delete;
    CNTFSDirectoryTreeBuilder& operator=(const CNTFSDirectoryTreeBuilder&) = delete;

    // Builds the tree of one candidate; answers the root node, which is
    // always null (the tree builder makes the root).
    CFileNode* BuildDirectoryTree(CNTFSIntelligentSearchInfo* info, CSearchedPartitionInfo* candidate,
                                  IStorageDevice* device, int place, IProgress* progress,
                                  IDirecotryTreeBuilder* builder);
};
