#include "fat/ExFatPartitionBuilder.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>

namespace exfatdeep {

namespace {

// Damaged disks can link sets into long or looping chains.
constexpr int kMaxChain = 4096;
constexpr std::size_t kSpillAt = 1025;
constexpr std::size_t kSpillTo = 512;
constexpr std::size_t kInferWhenWaiting = 2176;
constexpr std::int64_t kInferDistance = 0x2000000;
// Root clusters tried from a root set whose files give no upper bound.
constexpr std::uint32_t kMaxRootTries = 256;
constexpr std::int64_t kMaxOwnedFolderBytes = 0x10000000;

std::uint64_t RoundUpPow2(std::uint64_t v) {
    std::uint64_t p = 1;
    while (p < v && p < (1ull << 40)) p <<= 1;
    return p;
}

std::uint64_t LowestSetBit(std::uint64_t v) { return v & (~v + 1); }

}  // namespace

// ---- cluster intervals -------------------------------------------------------

bool ClusterIntervals::Insert(std::uint64_t first, std::uint64_t last) {
    if (last < first) return false;
    auto it = m_ranges.upper_bound(first);
    if (it != m_ranges.end() && it->first <= last) return false;
    if (it != m_ranges.begin()) {
        auto prev = std::prev(it);
        if (prev->second >= first) return false;
    }
    m_ranges.emplace(first, last);
    return true;
}

// ---- files and sets ------------------------------------------------------------

void ExFatFoundFile::ToBaseInfo(_tagFileBaseInfo& out) const {
    out = _tagFileBaseInfo{};
    static_cast<ExFatSetFields&>(out) = *this;
    const std::size_t n = std::min(name.size(), sizeof out.name - 1);
    std::memcpy(out.name, name.data(), n);
    out.name[n] = 0;
}

void CFileSet::AddFile(ExFatFoundFile&& file) {
    if (!file.inUse) {
        deleted.push_back(std::move(file));
        return;
    }
    if (file.firstCluster >= 2 && file.firstCluster <= EXFAT_LAST_CLUSTER) {
        lowCluster = std::min(lowCluster, file.firstCluster);
        highCluster = std::max(highCluster, file.firstCluster);
    }
    if (file.attributes & EXFAT_ATTR_DIRECTORY) {
        folders.push_back(file.firstCluster);
        const std::uint32_t low = static_cast<std::uint32_t>(file.size);
        if (low != 0) maxCluster = std::min<std::uint64_t>(maxCluster, LowestSetBit(low));
    }
    auto at = std::upper_bound(live.begin(), live.end(), file.firstCluster,
                               [](std::uint32_t c, const ExFatFoundFile& f) { return c < f.firstCluster; });
    live.insert(at, std::move(file));
}

void CFileSet::CalculateClusterSize(std::uint32_t sectorShift) {
    std::uint64_t smallest = minCluster;
    for (std::size_t i = 1; i < live.size(); ++i) {
        const ExFatFoundFile& prev = live[i - 1];
        const ExFatFoundFile& cur = live[i];
        if (!prev.noFatChain || prev.firstCluster < 2 || cur.firstCluster <= prev.firstCluster || prev.size <= 0)
            continue;
        const std::uint64_t d = cur.firstCluster - prev.firstCluster;
        const std::uint64_t need = (static_cast<std::uint64_t>(prev.size) + d - 1) / d;
        smallest = std::max(smallest, RoundUpPow2(need));
    }
    minCluster = std::max<std::uint64_t>(1, smallest >> sectorShift);
    maxCluster = std::max<std::uint64_t>(1, maxCluster >> sectorShift);
}

bool CFileSet::IsClusterSizeConflict(std::uint64_t sectorsPerCluster) const {
    // A folder stored contiguously spans clusters, so a set longer than one
    // cluster says nothing against the cluster size.
    return sectorsPerCluster > maxCluster || sectorsPerCluster < minCluster;
}

bool CFileSet::GetAndCheckClusterSet(ClusterIntervals& clusters, std::uint64_t clusterBytes) const {
    if (clusterBytes == 0) return false;
    const CFileSet* s = this;
    for (int step = 0; s != nullptr && step < kMaxChain; ++step, s = s->next) {
        for (const ExFatFoundFile& f : s->live) {
            if (f.firstCluster == 0) continue;  // an empty file owns no cluster
            if (f.firstCluster < 2 || f.firstCluster > EXFAT_LAST_CLUSTER) return false;
            std::uint64_t last = f.firstCluster;
            if (f.noFatChain && f.size > 0)
                last = f.firstCluster + (static_cast<std::uint64_t>(f.size) + clusterBytes - 1) / clusterBytes - 1;
            if (last > EXFAT_LAST_CLUSTER) return false;
            if (!clusters.Insert(f.firstCluster, last)) return false;
        }
        if (s->next == this) break;
    }
    return true;
}

std::vector<std::uint32_t> CFileSet::GetFolder() const {
    std::vector<std::uint32_t> out;
    const CFileSet* s = this;
    for (int step = 0; s != nullptr && step < kMaxChain; ++step, s = s->next) {
        out.insert(out.end(), s->folders.begin(), s->folders.end());
        if (s->next == this) break;
    }
    return out;
}

// ---- candidates ------------------------------------------------------------------

bool CExFatPartitionEx::Holds(const CFileSet& set) const {
    if (m_sectorsPerCluster == 0) return false;
    const std::int64_t low = m_dataRegionStart + 2 * static_cast<std::int64_t>(m_sectorsPerCluster);
    return set.firstSector >= low && set.EndSector() <= EndOfPartition();
}

bool CExFatPartitionGreater::operator()(const CExFatPartitionEx* a, const CExFatPartitionEx* b) const {
    if (a->m_flags != b->m_flags) return a->m_flags > b->m_flags;
    if (a->m_matched.size() != b->m_matched.size()) return a->m_matched.size() > b->m_matched.size();
    CExFatPartitionLess less;
    return less(a, b);
}

bool CExFatPartitionLess::operator()(const CExFatPartitionEx* a, const CExFatPartitionEx* b) const {
    if (a->m_dataRegionStart != b->m_dataRegionStart) return a->m_dataRegionStart < b->m_dataRegionStart;
    return a->m_sectorsPerCluster < b->m_sectorsPerCluster;
}

// ---- builder: bookkeeping ---------------------------------------------------------

void CPartitionBuilder::PrepareBuild(std::uint32_t sectorSize, std::int64_t totalSectors) {
    Clear();
    m_sectorSize = sectorSize != 0 ? sectorSize : 512;
    m_totalSectors = totalSectors;
}

void CPartitionBuilder::Clear() {
    m_sets.clear();
    m_arrival.clear();
    m_nextToInfer = 0;
    m_awaitedBound = 0;
    m_candidates.clear();
    m_list.clear();
    m_removed.clear();
    m_upcaseStarts.clear();
}

CExFatPartitionEx* CPartitionBuilder::FindPartition(std::int64_t start, std::uint32_t spc) const {
    auto it = m_candidates.find(Key{start, spc});
    return it == m_candidates.end() ? nullptr : it->second.get();
}

void CPartitionBuilder::Detach(CExFatPartitionEx* candidate) {
    m_list.erase(std::remove(m_list.begin(), m_list.end(), candidate), m_list.end());
    auto it = m_candidates.find(Key{candidate->m_dataRegionStart, candidate->m_sectorsPerCluster});
    if (it != m_candidates.end() && it->second.get() == candidate) it->second.release();
    if (it != m_candidates.end()) m_candidates.erase(it);
}

void CPartitionBuilder::RemovePartion(std::int64_t start, std::uint32_t spc) {
    m_removed.insert(Key{start, spc});
    auto it = m_candidates.find(Key{start, spc});
    if (it == m_candidates.end()) return;
    CExFatPartitionEx* p = it->second.get();
    m_list.erase(std::remove(m_list.begin(), m_list.end(), p), m_list.end());
    m_candidates.erase(it);
}

bool CPartitionBuilder::IsPartitionRemoved(std::int64_t start, std::uint32_t spc) const {
    return m_removed.count(Key{start, spc}) != 0;
}

CFileSet* CPartitionBuilder::FindFileSet(std::int64_t sector) const {
    auto it = m_sets.find(sector);
    return it == m_sets.end() ? nullptr : it->second.get();
}

void CPartitionBuilder::SortList() { std::stable_sort(m_list.begin(), m_list.end(), CExFatPartitionGreater()); }

void CPartitionBuilder::SpillPartition() {
    if (m_list.size() < kSpillAt) return;
    SortList();
    while (m_list.size() > kSpillTo) {
        CExFatPartitionEx* weakest = m_list.back();
        RemovePartion(weakest->m_dataRegionStart, weakest->m_sectorsPerCluster);
    }
}

CExFatPartitionEx* CPartitionBuilder::Enter(std::unique_ptr<CExFatPartitionEx> candidate) {
    const Key key{candidate->m_dataRegionStart, candidate->m_sectorsPerCluster};
    if (m_removed.count(key)) return nullptr;
    auto it = m_candidates.find(key);
    if (it != m_candidates.end()) return it->second.get();
    SpillPartition();
    candidate->m_sectorSize = m_sectorSize;
    candidate->m_clusterBytes = static_cast<std::uint64_t>(candidate->m_sectorsPerCluster) * m_sectorSize;
    CExFatPartitionEx* p = candidate.get();
    m_candidates.emplace(key, std::move(candidate));
    m_list.push_back(p);
    return p;
}

CExFatPartitionEx* CPartitionBuilder::AddCandidate(std::int64_t start, std::uint32_t spc, std::uint32_t flags) {
    auto p = std::make_unique<CExFatPartitionEx>();
    p->m_dataRegionStart = start;
    p->m_partitionStart = start;
    p->m_sectorsPerCluster = spc;
    p->m_totalSectors = m_totalSectors - start;
    p->m_flags = flags;
    return Enter(std::move(p));
}

// ---- builder: landmarks --------------------------------------------------------------

void CPartitionBuilder::Build(std::int64_t s, const std::uint8_t* boot) {
    CExFatDBR dbr(boot);
    const std::int64_t heap = dbr.GetDataRegionStartSector();
    const std::uint32_t spc = dbr.GetSectorsperCluster();
    // This sector may be the backup of a main boot sector 12 sectors before.
    if (CExFatPartitionEx* main = FindPartition(s - 12 + heap, spc)) {
        if ((main->m_flags & EXFAT_EVIDENCE_MAIN_BOOT) && main->m_partitionStart == s - 12) {
            main->m_flags |= EXFAT_EVIDENCE_BACKUP_BOOT;
            // The guess that the main sector was itself a backup is wrong.
            CExFatPartitionEx* guess = FindPartition(s - 24 + heap, spc);
            if (guess != nullptr && guess != main && !(guess->m_flags & EXFAT_EVIDENCE_MAIN_BOOT))
                RemovePartion(guess->m_dataRegionStart, guess->m_sectorsPerCluster);
            return;
        }
    }
    auto fill = [&](std::int64_t start, std::uint32_t flag) {
        auto p = std::make_unique<CExFatPartitionEx>();
        p->m_partitionStart = start;
        p->m_dataRegionStart = start + heap;
        p->m_sectorsPerCluster = spc;
        p->m_totalSectors = static_cast<std::int64_t>(std::min<std::uint64_t>(dbr.GetTotalSectors(), INT64_MAX / 2));
        p->m_fatLength = dbr.GetSectorsPerFat();
        p->m_totalClusters = dbr.GetClusterLimit();
        p->m_fatOffset = dbr.GetFatStartSector();
        p->m_numberOfFats = dbr.GetNumberOfFat();
        p->m_rootCluster = dbr.GetRootDirStartCluster();
        p->m_flags = flag;
        if (CExFatPartitionEx* existing = Enter(std::move(p))) existing->m_flags |= flag;
    };
    fill(s, EXFAT_EVIDENCE_MAIN_BOOT);
    if (s >= 12) fill(s - 12, EXFAT_EVIDENCE_BACKUP_BOOT);
}

void CPartitionBuilder::RecordFAT(std::int64_t s) {
    for (CExFatPartitionEx* p : m_list) {
        if (!p->HasBootSector()) continue;
        const std::int64_t fat1 = p->m_partitionStart + p->m_fatOffset;
        if (s == fat1) {
            p->m_flags |= EXFAT_EVIDENCE_FAT1;
            return;
        }
        if (p->m_numberOfFats == 2 && s == fat1 + p->m_fatLength) {
            p->m_flags |= EXFAT_EVIDENCE_FAT2;
            return;
        }
    }
}

void CPartitionBuilder::RecordUpCaseTable(std::int64_t s) {
    // Every table has many identity runs; keep a generous but bounded list.
    if (m_upcaseStarts.size() < (1u << 20)) m_upcaseStarts.push_back(s);
}

void CPartitionBuilder::PushFileSet(std::unique_ptr<CFileSet> set, std::int64_t lastSector, std::int64_t nextSector) {
    if (!set || set->firstSector < 0) return;
    CFileSet* s = set.get();
    auto [it, inserted] = m_sets.emplace(s->firstSector, std::move(set));
    if (!inserted) return;  // a sector is handed out once
    m_arrival.push_back(s);
    m_awaitedBound = s->firstSector + s->highCluster;
    auto link = [](CFileSet* head, CFileSet* tail) {
        if (head == nullptr || tail == nullptr || head == tail) return;
        head->next = tail;
        tail->last = head;
        head->nextSector = tail->firstSector;
        tail->lastSector = head->firstSector;
        const std::uint64_t lo = std::max(head->minCluster, tail->minCluster);
        const std::uint64_t hi = std::min(head->maxCluster, tail->maxCluster);
        head->minCluster = tail->minCluster = lo;
        head->maxCluster = tail->maxCluster = hi;
    };
    if (lastSector >= 0) link(FindFileSet(lastSector), s);
    if (nextSector >= 0) link(s, FindFileSet(nextSector));
    // A head handed out before its tail was found learns of it here.
    if (s->IsAbridged() && s->lastSector >= 0) link(FindFileSet(s->lastSector), s);
}

void CPartitionBuilder::Build(std::int64_t s) {
    if (m_nextToInfer >= m_arrival.size()) return;
    const std::size_t waiting = m_arrival.size() - m_nextToInfer;
    if (waiting > kInferWhenWaiting || s > m_awaitedBound + kInferDistance) InferNext();
}

void CPartitionBuilder::InferNext() {
    if (m_nextToInfer >= m_arrival.size()) return;
    const std::size_t index = m_nextToInfer++;
    InferFrom(m_arrival[index], index);
}

// ---- builder: inference ----------------------------------------------------------------

void CPartitionBuilder::InferFrom(CFileSet* set, std::size_t index) {
    if (set->IsRoot()) {
        BuildFromUpCase(set);
        BuildFromRoot(set);
        return;
    }
    if (!set->HasFolder() || set->IsAbridged() || BelongsToCandidate(set)) return;
    const std::size_t from = index >= 31 ? index - 31 : 0;
    const std::size_t to = std::min(m_arrival.size(), index + 129);
    for (std::size_t j = from; j < to; ++j) {
        CFileSet* child = m_arrival[j];
        if (j == index || child->IsRoot() || child->IsAbridged() || !child->HasFile()) continue;
        BuildFromTree(set, child, 7);
    }
}

bool CPartitionBuilder::BelongsToCandidate(CFileSet* set) {
    for (CExFatPartitionEx* p : m_list) {
        const std::uint64_t c = p->m_sectorsPerCluster;
        if (!p->Holds(*set) || set->IsClusterSizeConflict(c)) continue;
        const std::int64_t offset = set->firstSector - p->m_dataRegionStart;
        if (offset <= 0 || offset % static_cast<std::int64_t>(c) != 0) continue;
        if (p->m_matched.count(set->firstSector)) return true;
        const int minScore = (p->m_flags & 0xFFFF0000u) <= EXFAT_EVIDENCE_TREE ? 7 : 1;
        std::vector<CFileSet*> found;
        if (CheckTree(set, p->m_dataRegionStart, c, found, minScore) > 0) return true;
    }
    return false;
}

bool CPartitionBuilder::ProposeRoot(CFileSet* root, std::int64_t start, std::uint64_t c, std::uint32_t rootCluster,
                                    std::vector<CExFatPartitionEx*>& proposals) {
    if (c == 0 || c > 0xFFFFFFFFu) return false;
    const std::uint32_t spc = static_cast<std::uint32_t>(c);
    if (CExFatPartitionEx* existing = FindPartition(start, spc)) {
        if (existing->m_rootCluster != rootCluster) return false;
        existing->m_flags |= EXFAT_EVIDENCE_ROOT;
        proposals.push_back(existing);
        return true;
    }
    if (IsPartitionRemoved(start, spc)) return false;
    auto p = std::make_unique<CExFatPartitionEx>();
    p->m_dataRegionStart = start;
    p->m_partitionStart = start;  // unknown without a boot sector
    p->m_sectorsPerCluster = spc;
    const std::int64_t room = m_totalSectors - start;
    std::uint64_t clusters = root->totalClusters;
    if (clusters == 0) clusters = room > 0 ? static_cast<std::uint64_t>(room) / c : 0;
    p->m_totalClusters = clusters + 2;  // cluster numbers start at 2
    const std::uint64_t want = c * clusters;
    p->m_totalSectors = static_cast<std::int64_t>(std::min<std::uint64_t>(want, room > 0 ? room : 0));
    p->m_rootCluster = rootCluster;
    p->m_flags = EXFAT_EVIDENCE_ROOT;
    if (CExFatPartitionEx* entered = Enter(std::move(p))) proposals.push_back(entered);
    return false;
}

void CPartitionBuilder::MatchSets(CExFatPartitionEx* candidate, const std::vector<CFileSet*>& sets) {
    for (CFileSet* s : sets) {
        s->flags |= FILESET_MATCHED;
        candidate->m_matched.insert(s->firstSector);
    }
}

namespace {
// The tree checks of all proposals run before any set is marked matched, so
// each proposal is judged on the same sets.
void MatchProposals(CPartitionBuilder& b, CFileSet* root, std::vector<CExFatPartitionEx*>& proposals,
                    const std::function<void(CExFatPartitionEx*, const std::vector<CFileSet*>&)>& match) {
    std::vector<std::vector<CFileSet*>> found(proposals.size());
    for (std::size_t i = 0; i < proposals.size(); ++i) {
        CExFatPartitionEx* p = proposals[i];
        if (b.CheckTree(root, p->m_dataRegionStart, p->m_sectorsPerCluster, found[i], 1) <= 0) found[i] = {root};
    }
    for (std::size_t i = 0; i < proposals.size(); ++i) match(proposals[i], found[i]);
}
}  // namespace

void CPartitionBuilder::BuildFromRoot(CFileSet* root) {
    std::vector<CExFatPartitionEx*> proposals;
    std::uint32_t lastRoot =
        root->lowCluster == EXFAT_LAST_CLUSTER ? root->lowestRootCluster + kMaxRootTries : root->lowCluster;
    lastRoot = std::min(lastRoot, root->lowestRootCluster + kMaxRootTries);
    bool done = false;
    for (std::uint32_t r = root->lowestRootCluster; r < lastRoot && !done; ++r) {
        for (std::uint64_t c = root->minCluster; c <= root->maxCluster && !done; c <<= 1) {
            const std::int64_t start = root->firstSector - static_cast<std::int64_t>(c) * (r - 2);
            if (start < 0) break;
            done = ProposeRoot(root, start, c, r, proposals);
        }
    }
    MatchProposals(*this, root, proposals,
                   [this](CExFatPartitionEx* p, const std::vector<CFileSet*>& sets) { MatchSets(p, sets); });
}

void CPartitionBuilder::BuildFromUpCase(CFileSet* root) {
    if (root->upcaseCluster < 2 || root->upcaseLength == 0) return;
    const std::int64_t n = static_cast<std::int64_t>((root->upcaseLength + m_sectorSize - 1) / m_sectorSize);
    std::vector<CExFatPartitionEx*> proposals;
    bool done = false;
    for (std::int64_t p : m_upcaseStarts) {
        const std::int64_t d = root->firstSector - p;
        if (d < n || d <= 0) continue;
        const std::uint64_t limit =
            std::min<std::uint64_t>(LowestSetBit(static_cast<std::uint64_t>(d)), root->maxCluster);
        for (std::uint64_t c = root->minCluster; c <= limit && !done; c <<= 1) {
            if (d % static_cast<std::int64_t>(c) != 0) break;
            const std::int64_t start = p - static_cast<std::int64_t>(c) * (root->upcaseCluster - 2);
            if (start < 0) break;
            if (root->firstSector < start) continue;
            const std::uint64_t rc = static_cast<std::uint64_t>(root->firstSector - start) / c + 2;
            if (rc >= root->lowCluster || rc > EXFAT_LAST_CLUSTER) continue;
            done = ProposeRoot(root, start, c, static_cast<std::uint32_t>(rc), proposals);
        }
        if (done) break;
    }
    MatchProposals(*this, root, proposals,
                   [this](CExFatPartitionEx* p, const std::vector<CFileSet*>& sets) { MatchSets(p, sets); });
}

void CPartitionBuilder::BuildFromTree(CFileSet* parent, CFileSet* child, int minScore) {
    struct Winner {
        std::int64_t start;
        std::uint64_t c;
        std::vector<CFileSet*> found;
    };
    std::vector<Winner> winners;
    int best = 0;
    const std::int64_t distance = child->firstSector - parent->firstSector;
    if (distance == 0) return;
    const std::uint64_t absDistance = static_cast<std::uint64_t>(distance < 0 ? -distance : distance);
    for (std::uint32_t f : parent->GetFolder()) {
        if (f < 2 || f > EXFAT_LAST_CLUSTER) continue;
        for (std::uint64_t c = parent->minCluster; c <= parent->maxCluster; c <<= 1) {
            if (absDistance % c != 0) break;  // larger powers of two do not divide it either
            if (child->IsClusterSizeConflict(c)) continue;
            const std::int64_t start = child->firstSector - static_cast<std::int64_t>(c) * (f - 2);
            if (start < 0) break;
            if (c > 0xFFFFFFFFu || IsPartitionRemoved(start, static_cast<std::uint32_t>(c))) continue;
            if (parent->firstSector < start) continue;
            const std::uint64_t own = static_cast<std::uint64_t>(parent->firstSector - start) / c + 2;
            if (own > parent->highCluster) continue;
            std::vector<CFileSet*> found;
            const int score = CheckTree(parent, start, c, found, minScore);
            if (score <= 0 || score < best) continue;
            if (score > best) winners.clear();
            best = score;
            winners.push_back(Winner{start, c, std::move(found)});
        }
    }
    for (Winner& w : winners) {
        CExFatPartitionEx* p = FindPartition(w.start, static_cast<std::uint32_t>(w.c));
        if (p == nullptr) {
            auto fresh = std::make_unique<CExFatPartitionEx>();
            fresh->m_dataRegionStart = w.start;
            fresh->m_partitionStart = w.start;  // unknown without a boot sector
            fresh->m_sectorsPerCluster = static_cast<std::uint32_t>(w.c);
            fresh->m_totalSectors = m_totalSectors - w.start;
            fresh->m_totalClusters = static_cast<std::uint64_t>(fresh->m_totalSectors) / w.c + 2;
            p = Enter(std::move(fresh));
            if (p == nullptr) continue;
        }
        p->m_flags |= EXFAT_EVIDENCE_TREE;
        MatchSets(p, w.found);
    }
}

int CPartitionBuilder::CheckTree(CFileSet* start, std::int64_t dataStart, std::uint64_t c,
                                 std::vector<CFileSet*>& found, int minScore) const {
    found.clear();
    if (start == nullptr || c == 0 || start->firstSector < dataStart) return 0;
    const std::int64_t cs = static_cast<std::int64_t>(c);
    if ((start->firstSector - dataStart) % cs != 0) return 0;
    found.push_back(start);
    std::set<std::uint64_t> visited;
    visited.insert(static_cast<std::uint64_t>(start->firstSector - dataStart) / c + 2);
    std::deque<std::pair<CFileSet*, int>> queue;
    queue.emplace_back(start, 1);
    long long score = 0;
    while (!queue.empty()) {
        auto [x, weight] = queue.front();
        queue.pop_front();
        long long count = 0;
        for (std::uint32_t f : x->GetFolder()) {
            if (f < 2 || f > EXFAT_LAST_CLUSTER) continue;
            if (!visited.insert(f).second) return 0;
            const std::int64_t sector = dataStart + static_cast<std::int64_t>(f - 2) * cs;
            if (sector >= m_totalSectors || sector < 0) return 0;
            CFileSet* y = FindFileSet(sector);
            if (y == nullptr) continue;
            if (y->IsMatched() || y->IsAbridged() || y->IsClusterSizeConflict(c)) return 0;
            if (y->highCluster >= 2 && dataStart + static_cast<std::int64_t>(y->highCluster - 2) * cs >= m_totalSectors)
                return 0;
            found.push_back(y);
            ++count;
            if (y->HasFolder()) queue.emplace_back(y, weight + 1);
        }
        score += count * weight;
    }
    if (score < minScore) return 0;
    ClusterIntervals clusters;
    const std::uint64_t clusterBytes = c * m_sectorSize;
    for (CFileSet* s : found)
        if (!s->GetAndCheckClusterSet(clusters, clusterBytes)) return 0;
    return static_cast<int>(std::min<long long>(score, 1 << 30));
}

// ---- builder: winnowing and hand-over ----------------------------------------------------

bool CPartitionBuilder::IsOverlaped(const CExFatPartitionEx* p, const std::set<std::int64_t>& taken) const {
    for (std::int64_t s : p->m_matched)
        if (taken.count(s)) return true;
    return false;
}

void CPartitionBuilder::AddDataSector(CExFatPartitionEx* p, CFileSet* set) {
    if (p->OnClusterStart(set->firstSector))
        p->m_dataSectors.push_back(set->firstSector);
    else
        p->m_offClusterSectors.push_back(set->firstSector);
}

bool CPartitionBuilder::SimpleCheck(const CExFatPartitionEx* p, const CFileSet* set) const {
    ClusterIntervals clusters;
    if (!set->GetAndCheckClusterSet(clusters, p->m_clusterBytes)) return false;
    if (set->lowCluster == EXFAT_LAST_CLUSTER) return false;
    const std::uint64_t own =
        static_cast<std::uint64_t>(set->firstSector - p->m_dataRegionStart) / p->m_sectorsPerCluster + 2;
    return own + 1 == set->lowCluster;
}

void CPartitionBuilder::UpdatePartitionMatched(CExFatPartitionEx* p, CFileSet* set) {
    if (!p->OnClusterStart(set->firstSector) || set->IsAbridged() || set->IsMatched()) return;
    std::vector<CFileSet*> found;
    if (CheckTree(set, p->m_dataRegionStart, p->m_sectorsPerCluster, found, 1) > 0) {
        MatchSets(p, found);
    } else if (SimpleCheck(p, set)) {
        MatchSets(p, {set});
    }
}

void CPartitionBuilder::WinnowPartition(std::vector<CExFatPartitionEx*>& kept) {
    for (auto& [sector, set] : m_sets) set->flags &= ~FILESET_MATCHED;
    SortList();
    std::map<std::int64_t, CFileSet*> pool;
    for (auto& [sector, set] : m_sets) pool.emplace(sector, set.get());
    std::set<std::int64_t> taken;
    const std::vector<CExFatPartitionEx*> order = m_list;
    for (CExFatPartitionEx* p : order) {
        if (p->m_matched.size() > m_sets.size() || IsOverlaped(p, taken)) {
            RemovePartion(p->m_dataRegionStart, p->m_sectorsPerCluster);
            continue;
        }
        p->m_matched.clear();
        p->m_dataSectors.clear();
        p->m_offClusterSectors.clear();
        p->m_rootSet = nullptr;
        const std::int64_t low = p->m_dataRegionStart + 2 * static_cast<std::int64_t>(p->m_sectorsPerCluster);
        for (auto it = pool.lower_bound(low); it != pool.end(); ++it) {
            CFileSet* set = it->second;
            if (set->firstSector >= p->EndOfPartition()) break;
            if (set->IsClusterSizeConflict(p->m_sectorsPerCluster) || !p->Holds(*set)) continue;
            AddDataSector(p, set);
            UpdatePartitionMatched(p, set);
            if (set->IsRoot() && p->m_rootSet == nullptr) p->m_rootSet = set;
        }
        if (p->m_dataSectors.empty() || p->m_matched.empty()) {
            RemovePartion(p->m_dataRegionStart, p->m_sectorsPerCluster);
            continue;
        }
        const std::int64_t first = p->m_dataSectors.front(), last = p->m_dataSectors.back();
        for (std::int64_t s : p->m_matched) {
            if (s < first || s > last) continue;
            pool.erase(s);
            taken.insert(s);
        }
        kept.push_back(p);
    }
}

bool CPartitionBuilder::IsCover(const CExFatPartitionEx* strong, const CExFatPartitionEx* weak) {
    if (weak->m_matched.size() > strong->m_matched.size()) return false;
    for (std::int64_t s : weak->m_matched)
        if (!strong->m_matched.count(s)) return false;
    return true;
}

void CPartitionBuilder::CalcPartitionParam(CExFatPartitionEx* p) const {
    p->m_sectorSize = m_sectorSize;
    p->m_clusterBytes = static_cast<std::uint64_t>(p->m_sectorsPerCluster) * m_sectorSize;
    const std::int64_t end =
        p->HasBootSector() ? p->EndOfPartition() : (p->m_dataSectors.empty() ? 0 : p->m_dataSectors.back());
    for (std::int64_t s : p->m_offClusterSectors)
        if (s < end) p->m_dataSectors.push_back(s);
    p->m_offClusterSectors.clear();
    std::sort(p->m_dataSectors.begin(), p->m_dataSectors.end());
}

void CPartitionBuilder::RemovePartionBeCoveredByOther(std::vector<CExFatPartitionEx*>& kept,
                                                      std::vector<CExFatPartitionEx*>& out) {
    std::stable_sort(kept.begin(), kept.end(), CExFatPartitionGreater());
    while (!kept.empty()) {
        CExFatPartitionEx* top = kept.front();
        kept.erase(kept.begin());
        for (auto it = kept.begin(); it != kept.end();) {
            if (IsCover(top, *it)) {
                RemovePartion((*it)->m_dataRegionStart, (*it)->m_sectorsPerCluster);
                it = kept.erase(it);
            } else {
                ++it;
            }
        }
        CalcPartitionParam(top);
        Detach(top);
        out.push_back(top);
    }
}

void CPartitionBuilder::FinishBuid(std::vector<CExFatPartitionEx*>& out) {
    while (m_nextToInfer < m_arrival.size()) InferNext();
    std::vector<CExFatPartitionEx*> kept;
    WinnowPartition(kept);
    // Guesses from allocation order alone are not made: they never outweigh
    // the evidence above and would only add false partitions.
    RemovePartionBeCoveredByOther(kept, out);
}

// ---- file trees ---------------------------------------------------------------------------

void CPartitionBuilder::BuildFileTree(CExFatPartitionEx& p, std::vector<CExFatFileNode*>& nodes) {
    const std::int64_t spc = p.m_sectorsPerCluster;
    if (spc <= 0) return;
    const std::int64_t rootSector = p.m_rootCluster >= 2 && p.m_rootCluster <= EXFAT_LAST_CLUSTER
                                        ? p.ConvertClusterNumToSector(p.m_rootCluster)
                                        : -1;

    // Chains of sets: each head with the sets joined after it. A set that
    // continues another is built through its head when the head is here.
    std::vector<CFileSet*> sets;
    for (std::int64_t s : p.m_dataSectors)
        if (CFileSet* set = FindFileSet(s)) sets.push_back(set);
    std::set<CFileSet*> inPartition(sets.begin(), sets.end());
    std::set<CFileSet*> built;
    struct Chain {
        std::int64_t anchor;
        bool root;
        std::vector<CExFatFileNode*> nodes;
    };
    std::vector<Chain> chains;
    // Clusters owned by folders: cluster start sector -> folder id (-1 for
    // the root folder).
    std::map<std::int64_t, std::int64_t> owned;
    const std::uint64_t maxSteps = std::min<std::uint64_t>(p.m_totalClusters + 1, 1u << 22);
    auto own = [&](std::uint32_t first, std::int64_t bytes, bool noFatChain, std::int64_t id) {
        std::uint32_t c = first;
        std::int64_t left = bytes;
        for (std::uint64_t steps = 0; c >= 2 && c <= EXFAT_LAST_CLUSTER && left > 0 && steps < maxSteps; ++steps) {
            owned.emplace(p.ConvertClusterNumToSector(c), id);
            left -= static_cast<std::int64_t>(p.m_clusterBytes);
            c = p.GetNextCluster(c, noFatChain);
        }
    };
    if (rootSector >= 0) own(p.m_rootCluster, INT64_MAX, false, -1);

    std::vector<std::pair<CExFatFileNode*, const ExFatFoundFile*>> deletedFolders;
    auto buildChain = [&](CFileSet* head) {
        Chain chain{head->firstSector, head->IsRoot(), {}};
        CFileSet* s = head;
        for (int step = 0; s != nullptr && step < kMaxChain && built.insert(s).second; ++step, s = s->next) {
            for (int pass = 0; pass < 2; ++pass) {
                for (const ExFatFoundFile& f : pass == 0 ? s->live : s->deleted) {
                    _tagFileBaseInfo info;
                    f.ToBaseInfo(info);
                    CExFatFileNode* node = p.BuildFile(info);
                    node->SetID(p.ConvertClusterNumToSector(f.firstCluster));
                    chain.nodes.push_back(node);
                    if (!(f.attributes & EXFAT_ATTR_DIRECTORY) || f.size >= kMaxOwnedFolderBytes) continue;
                    if (pass == 0)
                        own(f.firstCluster, f.size, f.noFatChain != 0, node->GetCurrentNodeID());
                    else
                        deletedFolders.emplace_back(node, &f);
                }
            }
            if (s->next != nullptr && !inPartition.count(s->next)) break;
        }
        chains.push_back(std::move(chain));
    };
    for (CFileSet* set : sets)
        if (set->last == nullptr || !inPartition.count(set->last)) buildChain(set);
    for (CFileSet* set : sets)
        if (!built.count(set)) buildChain(set);
    // A deleted folder's clusters may since belong to a live one: live first.
    for (auto& [node, f] : deletedFolders) own(f->firstCluster, f->size, f->noFatChain != 0, node->GetCurrentNodeID());

    // Parents once every folder is known.
    for (Chain& chain : chains) {
        std::int64_t parent = chain.anchor;
        auto it = owned.upper_bound(chain.anchor);
        if (it != owned.begin()) {
            --it;
            if (chain.anchor - it->first < spc) parent = it->second;
        }
        if (chain.root || parent == rootSector) parent = -1;
        for (CExFatFileNode* node : chain.nodes) {
            node->SetParentID(parent);
            nodes.push_back(node);
        }
    }
}

}  // namespace exfatdeep
