#include "ntfs/NTFSDirectoryTreeBuilder.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>

#include "foundation/DirectoryTree.h"
#include "foundation/StorageDevice.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSDeepSearchRecords.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSLogFileFinder.h"

namespace {

std::uint32_t SectorSizeOf(IStorageDevice* device) {
    const std::uint32_t s = device->GetSectorSize();
    return (s == 0 || s % 512 != 0) ? 512 : s;
}

// Bytes of one FILE record as the deep search takes them: 1,024, or a whole
// sector on devices whose sectors are larger.
int RecordBytesOf(std::uint32_t sectorSize) {
    return static_cast<int>(std::max<std::uint32_t>(CNTFSFileRecord::kRecordBytes, sectorSize));
}

std::int64_t CeilDiv(std::int64_t a, std::int64_t b) { return (a + b - 1) / b; }

}  // namespace

// ------------------------------------------------- CLessThanbyParentMFTNumber

bool CLessThanbyParentMFTNumber::operator()(const CCommonFileRecordInfo* a, const CCommonFileRecordInfo* b) const {
    return a->GetParentFileRecordNumber() < b->GetParentFileRecordNumber();
}
bool CLessThanbyParentMFTNumber::operator()(const CCommonFileRecordInfo* a, std::int64_t parent) const {
    return a->GetParentFileRecordNumber() < parent;
}
bool CLessThanbyParentMFTNumber::operator()(std::int64_t parent, const CCommonFileRecordInfo* b) const {
    return parent < b->GetParentFileRecordNumber();
}

// ------------------------------------------------ CMFTDirectoryTreeBuildInfo

CMFTDirectoryTreeBuildInfo::CMFTDirectoryTreeBuildInfo(CMFTInfo* mft) : m_mft(mft), m_emptyNode(CreateNTFSFileNode()) {}

CMFTDirectoryTreeBuildInfo::~CMFTDirectoryTreeBuildInfo() {
    DeleteFileRecords(m_records);
    if (m_emptyNode != nullptr) m_emptyNode->Release();
}

void CMFTDirectoryTreeBuildInfo::DeleteFileRecords(std::list<CCommonFileRecordInfo*>& records) {
    for (CCommonFileRecordInfo* r : records) {
        // Properties that never moved to a node are still the record's.
        delete r->GetFileProperties();
        delete r;
    }
    records.clear();
}

// -------------------------------------------------- CMFTDirectoryTreeBuilder

std::int64_t CMFTDirectoryTreeBuilder::GetMFTNumber(std::int64_t sector, const CMFTInfo* mft, std::int64_t start,
                                                    unsigned char spc) {
    if (mft == nullptr || spc == 0 || sector < start) return -1;
    const std::int64_t d = sector - start;
    const std::int64_t vcn = mft->GetDataRunList().GetVCN(d / spc);
    if (vcn < 0 || vcn > INT64_MAX / 256) return -1;
    const std::int64_t v = vcn * spc + d % spc;
    const std::int64_t spr = mft->GetSectorsPerFileRecord();
    if (spr == 0 || v % spr != 0) return -1;
    return v / spr;
}

std::int64_t CMFTDirectoryTreeBuilder::NumberOf(const CCommonFileRecordInfo* record) const {
    const std::int64_t own = record->GetMFTFileRecordNumber();
    if (own != -1) return own;
    return GetMFTNumber(record->GetSectorAddress(), m_mft, m_start, m_spc);
}

CNTFSFileNode* CMFTDirectoryTreeBuilder::MakeNode(CCommonFileRecordInfo* record) {
    IFileProperties* properties = record->GetFileProperties();
    if (properties == nullptr) return nullptr;
    CNTFSFileNode* node = CreateNTFSFileNode();
    if (node == nullptr) return nullptr;
    // The node owns the properties from here. It keeps no pointer to the
    // record: the records go when the candidate's trees are built, the
    // nodes stay with the tree builder.
    record->SetFileProperties(nullptr);
    node->SetFileProperties(properties);
    node->SetMetadataStartPosition(record->GetSectorAddress());
    return node;
}

void CMFTDirectoryTreeBuilder::BuildDirectoryTree(CCommonFileRecordInfoSet& records, CMFTDirectoryTreeBuildInfo* info,
                                                  CSearchedPartitionInfo* candidate, IDirecotryTreeBuilder* builder,
                                                  int place, IProgress* /*progress*/) {
    m_builder = builder;
    m_place = place;
    m_mft = info != nullptr ? info->GetMFTInfo() : nullptr;
    m_start = candidate != nullptr ? candidate->GetStartSector() : 0;
    m_spc = candidate != nullptr ? static_cast<unsigned char>(candidate->GetSectorsPerCluster()) : 0;
    if (info != nullptr) {
        for (CCommonFileRecordInfo* r : info->GetFileRecords()) records.insert(r);
        BuildNormalFiles(records);
    }
    BuildLostFiles(records);
    records.clear();
}

void CMFTDirectoryTreeBuilder::BuildChildren(CCommonFileRecordInfoSet& records, std::int64_t parent,
                                             std::vector<CCommonFileRecordInfo*>* folders) {
    auto range = records.equal_range(parent);
    for (auto it = range.first; it != range.second; ++it) {
        CCommonFileRecordInfo* record = *it;
        CNTFSFileNode* node = MakeNode(record);
        if (node == nullptr) continue;
        Identify(node, parent, record->GetMFTFileRecordNumber());
        const bool folder = node->IsDirectory() != 0;
        if (m_builder == nullptr || m_builder->AddNode(node, SEARCHER_NTFS) == 0) {
            node->Release();
            continue;
        }
        if (folder && folders != nullptr) folders->push_back(record);
    }
    records.erase(range.first, range.second);
}

void CMFTDirectoryTreeBuilder::BuildNormalFiles(CCommonFileRecordInfoSet& records) {
    std::deque<CCommonFileRecordInfo*> queue;
    std::vector<CCommonFileRecordInfo*> accepted;
    BuildChildren(records, kRootFolderNumber, &accepted);
    queue.insert(queue.end(), accepted.begin(), accepted.end());
    while (!queue.empty() && !records.empty()) {
        CCommonFileRecordInfo* folder = queue.front();
        queue.pop_front();
        const std::int64_t number = NumberOf(folder);
        // A folder whose number is unknown has no children: records without a
        // parent reference would otherwise all land in it.
        if (number < 0) continue;
        accepted.clear();
        BuildChildren(records, number, &accepted);
        queue.insert(queue.end(), accepted.begin(), accepted.end());
    }
}

void CMFTDirectoryTreeBuilder::BuildLostFiles(CCommonFileRecordInfoSet& records) {
    struct Entry {
        CCommonFileRecordInfo* record;
        CNTFSFileNode* node;
        bool handedOver;
    };
    std::multimap<std::int64_t, Entry> lost;
    for (CCommonFileRecordInfo* r : records) {
        CNTFSFileNode* node = MakeNode(r);
        if (node != nullptr) lost.emplace(r->GetParentFileRecordNumber(), Entry{r, node, false});
    }
    records.clear();

    for (auto it = lost.lower_bound(kFirstUserRecordNumber); it != lost.end(); ++it) {
        Entry& folder = it->second;
        // A node goes to the builder once: a folder already placed under an
        // earlier lost folder is not added again.
        if (folder.handedOver || (folder.node->GetAttribute() & NTFS_ATTR_DIRECTORY) == 0) continue;
        const std::int64_t number = folder.record->GetMFTFileRecordNumber();
        Identify(folder.node, it->first, number);
        folder.handedOver = true;
        if (m_builder == nullptr || m_builder->AddNode(folder.node, SEARCHER_NTFS) == 0) {
            folder.node->Release();
            folder.node = nullptr;
            continue;
        }
        if (number < 0) continue;
        auto children = lost.equal_range(number);
        for (auto c = children.first; c != children.second; ++c) {
            Entry& child = c->second;
            if (&child == &folder || child.handedOver || child.node->GetParent() != nullptr) continue;
            if (CFileNode::IsLoopedToSelf(folder.node, child.node)) continue;
            Identify(child.node, number, child.record->GetMFTFileRecordNumber());
            child.handedOver = true;
            if (m_builder->AddNode(child.node, SEARCHER_NTFS) == 0) {
                child.node->Release();
                child.node = nullptr;
            }
        }
    }
    // Records of a located $MFT are this volume's own files: one whose
    // folder record is gone still goes to the tree builder with its parent's
    // number, and ends among the lost files as the quick scan shows it.
    // Records read outside every $MFT may be anyone's stale copies: what
    // found no place among them is not shown.
    for (auto& [parent, entry] : lost) {
        if (entry.handedOver || entry.node == nullptr) continue;
        entry.handedOver = true;
        if (m_mft != nullptr && m_builder != nullptr) {
            Identify(entry.node, parent, entry.record->GetMFTFileRecordNumber());
            if (m_builder->AddNode(entry.node, SEARCHER_NTFS) != 0) continue;
        }
        entry.node->Release();
    }
}

std::int64_t CMFTDirectoryTreeBuilder::TreeId(std::int64_t number) const {
    // MFT numbers repeat from volume to volume, and every volume's tree hangs
    // under the one root of the deep scan: a folder of the second volume
    // would be taken as a copy of the first volume's folder of the same
    // number and name, and its files lost. The numbers of the volume at
    // place p > 0 carry p above the 48 bits an NTFS file reference gives a
    // record number; the root folder stays the shared root.
    if (number < 0 || number == kRootFolderNumber || m_place <= 0 || m_place >= kMaxPlaces) return number;
    return number | (static_cast<std::int64_t>(m_place) << kRecordNumberBits);
}

void CMFTDirectoryTreeBuilder::Identify(CNTFSFileNode* node, std::int64_t parent, std::int64_t number) const {
    node->SetParentNodeID(TreeId(parent));
    node->SetCurrentNodeID(TreeId(number));
    node->SetBelongedPartition(static_cast<std::uint16_t>(m_place));
}

// ------------------------------------------------- CNTFSDirectoryTreeBuilder

CNTFSDirectoryTreeBuilder::~CNTFSDirectoryTreeBuilder() { EndCandidate(); }

bool CNTFSDirectoryTreeBuilder::IsMFTInsidePartition(const CMFTInfo& mft, std::int64_t start, std::uint32_t spc,
                                                     std::uint64_t totalSectors) {
    if (spc == 0) return false;
    if (!NTFSPublicFunction::IsClusterNOMatch(mft.GetSectorAddress(), mft.GetFirstClusterNO(), start, spc))
        return false;
    std::int64_t highest = -1;
    for (const CDataRun& r : mft.GetDataRunList().Runs()) {
        if (r.LCN < 0 || r.length <= 0) continue;
        if (r.LCN > INT64_MAX - r.length) return false;
        highest = std::max(highest, r.LCN + r.length - 1);
    }
    if (highest < 0) return false;
    const unsigned __int128 end = static_cast<unsigned __int128>(highest) * spc;
    return end < totalSectors;
}

CMFTDirectoryTreeBuildInfo* CNTFSDirectoryTreeBuilder::FindMatchedMFT(std::int64_t cluster) const {
    for (CMFTDirectoryTreeBuildInfo* info : m_buildInfos)
        if (info->GetMFTInfo() != nullptr && info->GetMFTInfo()->GetDataRunList().IsLCNContained(cluster)) return info;
    return nullptr;
}

CFileNode* CNTFSDirectoryTreeBuilder::BuildDirectoryTree(CNTFSIntelligentSearchInfo* search,
                                                         CSearchedPartitionInfo* candidate, IStorageDevice* device,
                                                         int place, IProgress* progress,
                                                         IDirecotryTreeBuilder* builder) {
    assert(device != nullptr && "m_pDevice != NULL");
    m_finished = false;
    m_result = nullptr;
    auto* ntfs = dynamic_cast<CSearchedNTFSPartitionInfo*>(candidate);
    if (device == nullptr || ntfs == nullptr || search == nullptr) {
        m_finished = true;
        return m_result;
    }
    if (BeginCandidate(search, ntfs, device, place, progress, builder)) {
        ReadFileRecords();
        BuildTrees();
    }
    EndCandidate();
    m_finished = true;
    return m_result;
}

bool CNTFSDirectoryTreeBuilder::BeginCandidate(CNTFSIntelligentSearchInfo* search,
                                               CSearchedNTFSPartitionInfo* candidate, IStorageDevice* device, int place,
                                               IProgress* progress, IDirecotryTreeBuilder* builder) {
    EndCandidate();
    m_search = search;
    m_candidate = candidate;
    m_device = device;
    m_place = place;
    m_progress = progress;
    m_builder = builder;
    m_start = candidate->GetStartSector();
    m_spc = candidate->GetSectorsPerCluster();
    if (m_start < 0 || m_spc == 0 || m_spc > 255) return false;

    // Every $MFT that the search located inside this candidate, each with
    // the $LogFile finder beside it in the find list.
    std::vector<CMFTInfo*> taken;
    auto take = [&](CMFTInfo* mft) {
        if (mft == nullptr || std::find(taken.begin(), taken.end(), mft) != taken.end()) return false;
        if (!IsMFTInsidePartition(*mft, m_start, m_spc, candidate->GetTotalSectors())) return false;
        taken.push_back(mft);
        m_buildInfos.push_back(new CMFTDirectoryTreeBuildInfo(mft));
        return true;
    };
    if (std::list<FindFileMFTAndLogx*>* finders = search->GetFindFileContainer()) {
        for (FindFileMFTAndLogx* entry : *finders)
            if (entry != nullptr && take(entry->mft)) PrepareLogFileFinder(entry);
    } else if (std::list<CMFTInfo*>* mfts = search->GetMFTInfoContainer()) {
        for (CMFTInfo* mft : *mfts) take(mft);
    }
    return true;
}

void CNTFSDirectoryTreeBuilder::ReadFileRecords() {
    std::list<CCommonFileRecordPositionInfo*>* positions =
        m_search != nullptr ? m_search->GetCommonFileRecordPositionInfoList() : nullptr;
    if (positions == nullptr || m_device == nullptr) return;
    const std::int64_t S = m_start;
    const std::uint64_t total = m_candidate->GetTotalSectors();
    const std::int64_t E =
        total > static_cast<std::uint64_t>(INT64_MAX - S) ? INT64_MAX : S + static_cast<std::int64_t>(total);
    const std::int64_t deviceTotal = m_device->GetTotalSectors();
    // FILE records are taken as 2 sectors apart, as the search recorded them.
    constexpr std::int64_t kStep = 2;

    auto usable = [](const CCommonFileRecordPositionInfo* p) {
        return p != nullptr && p->GetFileRecordStartSector() >= 0 && p->GetFileRecordCount() > 0 &&
               p->GetFileRecordCount() < INT64_MAX / (2 * kStep);
    };
    auto sectorOf = [](const CCommonFileRecordPositionInfo* p, std::int64_t k) {
        const std::int64_t f = p->GetFileRecordStartSector();
        return f > INT64_MAX - kStep * k ? INT64_MAX : f + kStep * k;
    };

    // The first run with a record inside the candidate.
    auto it = positions->begin();
    std::int64_t k = 0;
    for (; it != positions->end(); ++it) {
        if (!usable(*it)) continue;
        const std::int64_t f = (*it)->GetFileRecordStartSector();
        const std::int64_t last = sectorOf(*it, (*it)->GetFileRecordCount() - 1);
        if (last < S || f > E) continue;
        k = f >= S ? 0 : CeilDiv(S - f, kStep);
        break;
    }
    while (it != positions->end()) {
        const std::int64_t b = sectorOf(*it, k);
        if (b >= E) break;
        const std::int64_t limit = std::min(b > INT64_MAX - 128 ? INT64_MAX : b + 128, E);
        // Step over the records this block covers, into the following runs.
        while (it != positions->end()) {
            if (usable(*it)) {
                const std::int64_t f = (*it)->GetFileRecordStartSector();
                const std::int64_t next = f >= limit ? 0 : CeilDiv(limit - f, kStep);
                if (std::max(k, next) < (*it)->GetFileRecordCount()) {
                    k = std::max(k, next);
                    break;
                }
            }
            ++it;
            k = 0;
        }
        std::int64_t length = std::min<std::int64_t>(BLOCK_MAX_TOTAL_SECTORS, E - b);
        if (b < deviceTotal) length = std::min(length, deviceTotal - b);
        if (length >= 1 && length <= BLOCK_MAX_TOTAL_SECTORS && b < E && b < deviceTotal)
            ReadFilePropertiesfromBlock(m_device, b, static_cast<std::uint32_t>(length));
    }
}

void CNTFSDirectoryTreeBuilder::ReadFilePropertiesfromBlock(IStorageDevice* device, std::int64_t first,
                                                            std::uint32_t count) {
    assert(device != nullptr && "pDevice != NULL");
    assert(count <= BLOCK_MAX_TOTAL_SECTORS && "u32BlockTotalSectors <= BLOCK_MAX_TOTAL_SECTORS");
    if (device == nullptr || count == 0 || count > BLOCK_MAX_TOTAL_SECTORS || m_candidate == nullptr) return;
    const std::uint32_t ss = SectorSizeOf(device);
    const std::size_t bytes = static_cast<std::size_t>(BLOCK_MAX_TOTAL_SECTORS) * ss;
    m_block.assign(bytes, 0);
    // A failed read must not leave half a block of whatever came in.
    if (device->ReadSector(m_block.data(), first, count) == 0) std::fill(m_block.begin(), m_block.end(), 0);

    const int recordBytes = RecordBytesOf(ss);
    const bool located = m_candidate->GetMFTLocated() != 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t avail = static_cast<std::size_t>(std::min<std::uint32_t>(16, count - i)) * ss;
        if (avail < static_cast<std::size_t>(recordBytes)) continue;
        std::uint8_t* p = m_block.data() + static_cast<std::size_t>(i) * ss;
        if (std::memcmp(p, "FILE", 4) != 0) continue;
        if (!CNTFSFileRecord::IsValid(p, recordBytes) || CNTFSFileRecord::IsExtendFileRecord(p)) continue;
        const std::int64_t s = first + i;
        if (s < m_start) continue;
        CMFTDirectoryTreeBuildInfo* build =
            located ? FindMatchedMFT((s - m_start) / static_cast<std::int64_t>(m_spc)) : nullptr;
        CCommonFileRecordInfo* record = BuildCommonFileRecordInfoandFileProperties(p, recordBytes, s, build);
        if (record == nullptr) continue;
        if (build != nullptr)
            build->AddFileRecord(record);
        else
            m_unplaced.push_back(record);
    }
}

CCommonFileRecordInfo* CNTFSDirectoryTreeBuilder::BuildCommonFileRecordInfoandFileProperties(
    std::uint8_t* record, int size, std::int64_t sector, CMFTDirectoryTreeBuildInfo* build) {
    if (record == nullptr || m_device == nullptr) return nullptr;
    std::unique_ptr<CCommonFileRecordInfo> info(new (std::nothrow) CCommonFileRecordInfo);
    if (info == nullptr || !info->InitFromBuffer(record, size, sector)) return nullptr;
    CMFTInfo* mft = build != nullptr ? build->GetMFTInfo() : nullptr;
    const unsigned char spc = static_cast<unsigned char>(m_spc);
    const std::int64_t computed =
        mft != nullptr ? CMFTDirectoryTreeBuilder::GetMFTNumber(sector, mft, m_start, spc) : -1;
    const std::int64_t own = info->GetMFTFileRecordNumber();
    const std::int64_t number = own != -1 ? own : computed;
    // The volume's own files are not shown.
    if ((number >= 0 && CIsMetaFileRecord::IsMetaFileRecord(number)) ||
        CIsMetaFileRecord::IsMetaFileRecord(record, size))
        return nullptr;
    if (own == -1) info->SetMFTFileRecordNumber(computed);

    const std::uint32_t ss = SectorSizeOf(m_device);
    const std::uint8_t spr = mft != nullptr && mft->GetSectorsPerFileRecord() != 0 ? mft->GetSectorsPerFileRecord() : 2;
    ExtendFileRecordInfoList* extensions = nullptr;
    if (mft != nullptr)
        extensions = CNTFSMultiFileRecord::InitExtendFileRecord(record, size, sector, spc, m_start, *m_device,
                                                                &mft->GetDataRunList(), spr);
    std::unique_ptr<ExtendFileRecordInfoList> owned(extensions);
    CNTFSMultiFileRecord multi(record, static_cast<std::uint32_t>(size), sector, m_device, extensions);
    std::int64_t parent = -1;
    CNTFSFileProperties* properties =
        CNTFSFilePropertiesBuilder::BuildFileProperties(sector, multi, static_cast<std::int64_t>(ss) * spc, &parent);
    if (properties == nullptr) return nullptr;
    CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(properties, spc);
    if ((properties->GetAttribute() & NTFS_ATTR_DIRECTORY) == 0 && properties->GetFileSize() == 0)
        RepairFromLogFile(record, properties, extensions);
    properties->SetExtendFileRecordInfoList(owned.release());
    info->SetFileProperties(properties);
    return info.release();
}

void CNTFSDirectoryTreeBuilder::BuildTrees() {
    CCommonFileRecordInfoSet records;
    for (CMFTDirectoryTreeBuildInfo* info : m_buildInfos) {
        CMFTDirectoryTreeBuilder mftBuilder;
        mftBuilder.BuildDirectoryTree(records, info, m_candidate, m_builder, m_place, m_progress);
    }
    // Records read outside every known $MFT belong to no one candidate in
    // particular: they are offered once, with the first.
    if (m_place == 0 && !m_unplaced.empty()) {
        for (CCommonFileRecordInfo* r : m_unplaced) records.insert(r);
        CMFTDirectoryTreeBuilder lostBuilder;
        lostBuilder.BuildDirectoryTree(records, nullptr, m_candidate, m_builder, m_place, m_progress);
    }
}

void CNTFSDirectoryTreeBuilder::EndCandidate() {
    for (CMFTDirectoryTreeBuildInfo* info : m_buildInfos) delete info;
    m_buildInfos.clear();
    CMFTDirectoryTreeBuildInfo::DeleteFileRecords(m_unplaced);
    // Each candidate sets the finders up for its own geometry.
    ResetLogFileFinders();
    m_search = nullptr;
    m_candidate = nullptr;
    m_block.clear();
    m_block.shrink_to_fit();
}

void CNTFSDirectoryTreeBuilder::PrepareLogFileFinder(FindFileMFTAndLogx* entry) {
    CFindFileFromLogFile* finder = entry->finder;
    if (finder == nullptr || entry->mft == nullptr || m_device == nullptr) return;
    if (!finder->IsValid()) {
        // The $MFT's and the log's runs count clusters of this candidate: the
        // finder reads them from the candidate's start, in its cluster size,
        // on the whole scanned device.
        if (!finder->Init(m_device, &entry->mft->GetDataRunList(), static_cast<std::uint8_t>(m_spc), m_start)) return;
    }
    if (finder->IsValid() && !finder->IsAnalysed()) finder->Analyzer();
}

void CNTFSDirectoryTreeBuilder::RepairFromLogFile(std::uint8_t* record, CNTFSFileProperties* properties,
                                                  ExtendFileRecordInfoList* extensions) {
    std::list<FindFileMFTAndLogx*>* finders = m_search != nullptr ? m_search->GetFindFileContainer() : nullptr;
    if (finders == nullptr || record == nullptr || properties == nullptr) return;
    for (FindFileMFTAndLogx* entry : *finders) {
        CFindFileFromLogFile* finder = entry != nullptr ? entry->finder : nullptr;
        if (finder == nullptr || !finder->IsValid() || !finder->IsAnalysed()) continue;
        if (finder->ReplaceFileRecordInfo(record, *properties, -1, extensions)) return;
    }
}

void CNTFSDirectoryTreeBuilder::ResetLogFileFinders() {
    std::list<FindFileMFTAndLogx*>* finders = m_search != nullptr ? m_search->GetFindFileContainer() : nullptr;
    if (finders == nullptr) return;
    for (FindFileMFTAndLogx* entry : *finders)
        if (entry != nullptr && entry->finder != nullptr) entry->finder->Reset();
}
