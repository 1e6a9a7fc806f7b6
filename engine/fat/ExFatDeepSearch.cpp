#include "fat/ExFatDeepSearch.h"

#include <algorithm>
#include <cstring>

#include "fat/FATStructures.h"
#include "foundation/DirectoryTree.h"
#include "foundation/FileNode.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"

using byteorder::LE16;
using byteorder::LE32;
using byteorder::LE64;
using exfat::AllZero;
using exfat::CutUtf8;
using exfat::Log2;
using exfat::NameCharsAllowed;

namespace exfatdeep {

namespace {

constexpr std::size_t kMaxNameBytes = 259;
// Sectors ahead of the walk whose first bytes are asked for early: the walk
// mostly reads one cache line of each sector of a block in memory.
constexpr std::size_t kPrefetchSectors = 8;
constexpr std::size_t kCarry = 2;  // sectors of the previous block analysed with the next
// The most an entry set can span: a primary entry with 255 secondaries.
constexpr std::size_t kMaxSetBytes = 256 * EXFAT_ENTRY_SIZE;

// Volume GUID, TexFAT padding, access control table: primaries that may sit
// among a folder's entries and that the deep search passes over.
constexpr bool IsBenignPrimary(std::uint8_t type) { return (type & 0x7F) >= 0x20 && (type & 0x7F) <= 0x22; }
// Vendor extension and vendor allocation: secondaries of a file's set.
constexpr bool IsBenignSecondary(std::uint8_t type) { return (type & 0x7F) == 0x60 || (type & 0x7F) == 0x61; }

// Types a directory sector may begin with.
constexpr bool IsDirectoryEntryTypeCode(std::uint8_t type) {
    switch (type) {
    case EXFAT_ENTRY_LABEL:
    case EXFAT_ENTRY_LABEL_DELETED:
    case EXFAT_ENTRY_BITMAP:
    case EXFAT_ENTRY_UPCASE:
    case EXFAT_ENTRY_FILE:
    case EXFAT_ENTRY_FILE_DELETED:
    case EXFAT_ENTRY_STREAM:
    case EXFAT_ENTRY_STREAM_DELETED:
    case EXFAT_ENTRY_NAME:
    case EXFAT_ENTRY_NAME_DELETED:
        return true;
    default:
        return IsBenignPrimary(type) || IsBenignSecondary(type);
    }
}

// The same, looked up: the first byte of nearly every sector of a disk is
// tested, and a branch on each type would guess wrong on random bytes.
struct DirectoryEntryTypes {
    bool table[256] = {};
    constexpr DirectoryEntryTypes() {
        for (int t = 0; t < 256; ++t) table[t] = IsDirectoryEntryTypeCode(static_cast<std::uint8_t>(t));
    }
};
constexpr DirectoryEntryTypes kDirectoryEntryTypes;
bool IsDirectoryEntryType(std::uint8_t type) { return kDirectoryEntryTypes.table[type]; }

bool IsUpCaseStart(const std::uint8_t* p) {
    for (int i = 0; i < 8; ++i)
        if (LE16(p + 2 * i) != i) return false;
    return true;
}

}  // namespace

// ---- pre-analyser ---------------------------------------------------------------

void CFDTPreAnaylze::Prepare(std::uint32_t sectorShift, std::int64_t totalSectors) {
    Clear();
    m_sectorShift = sectorShift;
    m_entriesPerSector = (1u << sectorShift) / EXFAT_ENTRY_SIZE;
    m_totalSectors = totalSectors;
}

void CFDTPreAnaylze::Clear() {
    m_heads.clear();
    m_tails.clear();
    m_links.clear();
    m_set.reset();
    m_record.Reset();
}

CFileSet& CFDTPreAnaylze::Set() {
    if (!m_set) m_set = std::make_unique<CFileSet>();
    return *m_set;
}

std::unique_ptr<CFileSet> CFDTPreAnaylze::TakeSet() {
    std::unique_ptr<CFileSet> set = std::move(m_set);
    if (!set || set->firstSector < 0 || !(set->HasFile() || set->IsRoot())) return nullptr;
    if (set->flags & FILESET_NOT_END) {
        auto link = m_links.find(set->firstSector);
        if (link != m_links.end()) set->nextSector = link->second;
    }
    set->CalculateClusterSize(m_sectorShift);
    return set;
}

std::unique_ptr<CFileSet> CFDTPreAnaylze::FinishSet() {
    // Nothing gathered: the common case of a zero sector. The record needs
    // no clearing then, as every walk begins its own (and clearing it is a
    // few hundred bytes of stores per sector).
    if (!m_set) return nullptr;
    m_record.Reset();
    return TakeSet();
}

bool CFDTPreAnaylze::PassesOver(const std::uint8_t* p, std::size_t avail) const {
    return avail >= static_cast<std::size_t>(m_entriesPerSector) * EXFAT_ENTRY_SIZE &&
           (!m_set || m_set->firstSector < 0) && !IsDirectoryEntryType(p[0]);
}

bool CFDTPreAnaylze::FileEntryValid(const std::uint8_t* e) const {
    if ((e[ExFatEntryLayout::kType] & ExFatEntryLayout::kTypeCode) != (EXFAT_ENTRY_FILE & ExFatEntryLayout::kTypeCode))
        return false;
    if (e[ExFatFileLayout::kSecondaryCount] < ExFatFileLayout::kMinSecondaries ||
        e[ExFatFileLayout::kSecondaryCount] > ExFatFileLayout::kMaxSecondaries)
        return false;
    if (!IsValidExFatTimestamp(LE32(e + ExFatFileLayout::kCreate)) ||
        !IsValidExFatTimestamp(LE32(e + ExFatFileLayout::kModified)) ||
        !IsValidExFatTimestamp(LE32(e + ExFatFileLayout::kAccessed)))
        return false;
    if (e[ExFatFileLayout::kCreate10ms] > ExFatFileLayout::kMax10ms ||
        e[ExFatFileLayout::kModified10ms] > ExFatFileLayout::kMax10ms)
        return false;
    return LE16(e + ExFatFileLayout::kReserved1) == 0 &&
           AllZero(e + ExFatFileLayout::kReserved2, ExFatFileLayout::kReserved2Bytes);
}

bool CFDTPreAnaylze::StreamValid(const std::uint8_t* e) const {
    if ((e[ExFatEntryLayout::kType] & ExFatEntryLayout::kTypeCode) !=
        (EXFAT_ENTRY_STREAM & ExFatEntryLayout::kTypeCode))
        return false;
    if (e[ExFatStreamLayout::kReserved1] != 0 || LE16(e + ExFatStreamLayout::kReserved2) != 0 ||
        LE32(e + ExFatStreamLayout::kReserved3) != 0)
        return false;
    const std::uint32_t first = LE32(e + ExFatStreamLayout::kFirstCluster);
    if (first == 1 || first > 0xFFFFFFF6u) return false;
    const std::uint64_t valid = LE64(e + ExFatStreamLayout::kValidLength),
                        length = LE64(e + ExFatStreamLayout::kDataLength);
    const std::uint64_t total = m_totalSectors > 0 ? static_cast<std::uint64_t>(m_totalSectors) : 0;
    if ((length >> m_sectorShift) >= total || (valid >> m_sectorShift) >= total) return false;
    if (first != 0 && (e[ExFatStreamLayout::kFlags] & ExFatStreamLayout::kNoFatChain)) {
        if ((length >> kClusterShiftLimit) + first > EXFAT_LAST_CLUSTER) return false;
        if ((valid >> kClusterShiftLimit) + first >= 0xFFFFFFF6u) return false;
    }
    return true;
}

bool CFDTPreAnaylze::NameValid(const std::uint8_t* e) {
    if ((e[ExFatEntryLayout::kType] & ExFatEntryLayout::kTypeCode) != (EXFAT_ENTRY_NAME & ExFatEntryLayout::kTypeCode))
        return false;
    return e[ExFatNameLayout::kFlags] == 0 && LE16(e + ExFatNameLayout::kUnits) != 0 &&
           NameCharsAllowed(e + ExFatNameLayout::kUnits, ExFatNameLayout::kUnitCount);
}

bool CFDTPreAnaylze::LabelValid(const std::uint8_t* e) {
    const std::uint8_t n = e[ExFatLabelLayout::kCharCount];
    if (n > ExFatLabelLayout::kMaxUnits) return false;
    if (!NameCharsAllowed(e + ExFatLabelLayout::kUnits, n)) return false;
    for (int i = 0; i < n; ++i)
        if (LE16(e + ExFatLabelLayout::kUnits + 2 * i) == 0) return false;
    return AllZero(e + ExFatLabelLayout::kUnits + 2 * n,
                   ExFatLabelLayout::kReserved - ExFatLabelLayout::kUnits - 2 * static_cast<std::size_t>(n)) &&
           AllZero(e + ExFatLabelLayout::kReserved, ExFatLabelLayout::kReservedBytes);
}

bool CFDTPreAnaylze::AllocationEntryValid(const std::uint8_t* e) const {
    const std::uint32_t first = LE32(e + ExFatAllocationLayout::kFirstCluster);
    const std::uint64_t length = LE64(e + ExFatAllocationLayout::kDataLength);
    if (first < 2 || first > EXFAT_LAST_CLUSTER) return false;
    if ((length >> m_sectorShift) >= static_cast<std::uint64_t>(std::max<std::int64_t>(m_totalSectors, 0)))
        return false;
    if ((length >> kClusterShiftLimit) + first > EXFAT_LAST_CLUSTER) return false;
    if (e[0] == EXFAT_ENTRY_BITMAP) return AllZero(e + 2, 18);
    return AllZero(e + 1, 3) && AllZero(e + 8, 12);
}

void CFDTPreAnaylze::StartRecord(const std::uint8_t* e, std::int64_t sector) {
    m_record.Reset();
    m_record.stage = 1;
    m_record.index = 1;
    m_record.secondaries = e[ExFatFileLayout::kSecondaryCount];
    m_record.checksum = LE16(e + ExFatFileLayout::kSetChecksum);
    m_record.file.inUse = (e[ExFatEntryLayout::kType] & ExFatEntryLayout::kInUse) ? 1 : 0;
    m_record.file.attributes = LE16(e + ExFatFileLayout::kAttributes);
    m_record.file.create = LE32(e + ExFatFileLayout::kCreate);
    m_record.file.modified = LE32(e + ExFatFileLayout::kModified);
    m_record.file.accessed = LE32(e + ExFatFileLayout::kAccessed);
    m_record.file.entrySector = sector;
    m_record.bytes.assign(e, e + EXFAT_ENTRY_SIZE);
}

bool CFDTPreAnaylze::Feed(const std::uint8_t* e) {
    Record& r = m_record;
    const std::uint8_t inUse = (e[ExFatEntryLayout::kType] & ExFatEntryLayout::kInUse) ? 1 : 0;
    if (r.stage == 0 || inUse != r.file.inUse || r.secondaries <= 0) return false;
    const std::uint8_t type = e[ExFatEntryLayout::kType] & ExFatEntryLayout::kTypeCode;
    if (type == (EXFAT_ENTRY_STREAM & ExFatEntryLayout::kTypeCode)) {
        if (r.stage != 1 || r.index != 1) return false;
        r.stage = 2;
        r.file.size = static_cast<std::int64_t>(LE64(e + ExFatStreamLayout::kDataLength) & 0x7FFFFFFFFFFFFFFFull);
        r.file.firstCluster = LE32(e + ExFatStreamLayout::kFirstCluster);
        r.file.noFatChain = (e[ExFatStreamLayout::kFlags] & ExFatStreamLayout::kNoFatChain) ? 1 : 0;
        r.nameLength = e[ExFatStreamLayout::kNameLength];
    } else if (type == (EXFAT_ENTRY_NAME & ExFatEntryLayout::kTypeCode)) {
        if (r.stage < 2 || r.stage != r.index) return false;
        ++r.stage;
        r.nameUnits.insert(r.nameUnits.end(), e + ExFatNameLayout::kUnits, e + EXFAT_ENTRY_SIZE);
    } else if (IsBenignSecondary(e[0])) {
        if (r.stage < 3 || r.stage != r.index) return false;
        ++r.stage;
    } else {
        return false;
    }
    ++r.index;
    --r.secondaries;
    r.bytes.insert(r.bytes.end(), e, e + EXFAT_ENTRY_SIZE);
    if (r.secondaries == 0) CompleteRecord();
    return true;
}

bool CFDTPreAnaylze::CompleteRecord() {
    Record& r = m_record;
    bool ok = r.stage >= 3 && CheckDirEntry(r.bytes.data(), r.bytes.size(), r.checksum);
    if (ok) {
        std::size_t units = r.nameUnits.size() / 2;
        if (r.nameLength != 0 && r.nameLength < units) units = r.nameLength;
        std::string name = Utf16LeToUtf8(r.nameUnits.data(), units);
        const std::size_t zero = name.find('\0');
        if (zero != std::string::npos) name.resize(zero);
        CutUtf8(name, kMaxNameBytes);
        r.file.name = std::move(name);
        Set().AddFile(std::move(r.file));
    }
    r.Reset();
    return ok;
}

bool CFDTPreAnaylze::Joint(std::int64_t headSector, const std::vector<std::uint8_t>& head, const std::uint8_t* tail,
                           std::size_t tailBytes) {
    if (head.size() < EXFAT_ENTRY_SIZE || tail == nullptr) return false;
    const std::size_t n = static_cast<std::size_t>(head[ExFatFileLayout::kSecondaryCount]) + 1;
    if (n < 3) return false;
    // Only what the head's own sector held is the head's: bytes past it in
    // the buffer belonged to another sector.
    const std::size_t headEntries = head.size() / EXFAT_ENTRY_SIZE;
    const std::size_t tailEntries = tailBytes / EXFAT_ENTRY_SIZE;
    std::vector<std::uint8_t> joined(n * EXFAT_ENTRY_SIZE);
    const Record backup = m_record;
    for (std::size_t k = std::min(n - 1, headEntries); k >= 1; --k) {
        if (n - k > tailEntries) break;
        std::memcpy(joined.data(), head.data(), k * EXFAT_ENTRY_SIZE);
        std::memcpy(joined.data() + k * EXFAT_ENTRY_SIZE, tail, (n - k) * EXFAT_ENTRY_SIZE);
        if (!CheckDirEntry(joined.data(), joined.size(), LE16(joined.data() + ExFatFileLayout::kSetChecksum))) continue;
        if (!FileEntryValid(joined.data())) continue;
        bool valid = StreamValid(joined.data() + EXFAT_ENTRY_SIZE);
        for (std::size_t j = 2; j < n && valid; ++j) {
            const std::uint8_t* e = joined.data() + j * EXFAT_ENTRY_SIZE;
            valid = NameValid(e) || IsBenignSecondary(e[0]);
        }
        if (!valid) continue;
        StartRecord(joined.data(), headSector);
        bool fed = true;
        for (std::size_t j = 1; j < n && fed; ++j) fed = Feed(joined.data() + j * EXFAT_ENTRY_SIZE);
        // Feed completes (and checks) the record with its last entry.
        const bool added = fed && m_record.stage == 0;
        m_record = backup;
        if (added) return true;
    }
    m_record = backup;
    return false;
}

void CFDTPreAnaylze::OfferTail(const std::uint8_t* p, std::size_t avail) {
    const std::int64_t key = Set().firstSector;
    const std::size_t bytes = std::min(kTailBytes, avail);
    for (auto it = m_heads.begin(); it != m_heads.end(); ++it) {
        if (it->first == key) continue;
        if (Joint(it->first, it->second, p, bytes)) {
            m_links[it->first] = key;
            Set().lastSector = it->first;
            m_heads.erase(it);
            return;
        }
    }
    if (m_tails.size() >= kMaxOpen) m_tails.erase(m_tails.begin());
    std::vector<std::uint8_t> copy(kTailBytes, 0);
    std::memcpy(copy.data(), p, bytes);
    m_tails[key] = std::move(copy);
}

std::unique_ptr<CFileSet> CFDTPreAnaylze::AnalyzeSector(const std::uint8_t* p, std::size_t avail, std::int64_t s) {
    const std::size_t entries = m_entriesPerSector;
    const std::size_t sectorBytes = entries * EXFAT_ENTRY_SIZE;
    if (avail < sectorBytes) return FinishSet();
    const bool setWasEmpty = !m_set || m_set->firstSector < 0;
    if (setWasEmpty && !IsDirectoryEntryType(p[0])) {
        // Most sectors of a disk: nothing gathered and no directory entry.
        m_set.reset();
        return nullptr;
    }
    bool anyValid = false, stopped = false;
    bool labelSeen = false, bitmapSeen = false, upcaseSeen = false;
    m_record.Reset();
    std::size_t end = entries;
    for (std::size_t i = 0; i < end; ++i) {
        const std::uint8_t* e = p + i * EXFAT_ENTRY_SIZE;
        const std::uint8_t type = e[0];
        bool valid = true;
        switch (type) {
        case EXFAT_ENTRY_LABEL:
        case EXFAT_ENTRY_LABEL_DELETED:
            valid = LabelValid(e);
            if (valid && !labelSeen) {
                labelSeen = true;
                CFileSet& set = Set();
                set.flags |= FILESET_LABEL;
                set.label = Utf16LeToUtf8(e + ExFatLabelLayout::kUnits, e[ExFatLabelLayout::kCharCount]);
            }
            break;
        case EXFAT_ENTRY_BITMAP:
            valid = AllocationEntryValid(e);
            if (valid && !bitmapSeen) {
                bitmapSeen = true;
                CFileSet& set = Set();
                set.flags |= FILESET_BITMAP;
                set.totalClusters = LE64(e + ExFatAllocationLayout::kDataLength) * 8;
                set.lowestRootCluster =
                    std::max(set.lowestRootCluster, LE32(e + ExFatAllocationLayout::kFirstCluster) + 1);
            }
            break;
        case EXFAT_ENTRY_UPCASE:
            valid = AllocationEntryValid(e);
            if (valid && !upcaseSeen) {
                upcaseSeen = true;
                CFileSet& set = Set();
                set.flags |= FILESET_UPCASE;
                set.upcaseCluster = LE32(e + ExFatAllocationLayout::kFirstCluster);
                set.upcaseLength = LE64(e + ExFatAllocationLayout::kDataLength);
                set.lowestRootCluster =
                    std::max(set.lowestRootCluster, LE32(e + ExFatAllocationLayout::kFirstCluster) + 1);
            }
            break;
        case EXFAT_ENTRY_FILE:
        case EXFAT_ENTRY_FILE_DELETED: {
            valid = FileEntryValid(e);
            if (!valid) break;
            const std::size_t n = static_cast<std::size_t>(e[ExFatFileLayout::kSecondaryCount]) + 1;
            const std::int64_t entrySector = s + static_cast<std::int64_t>((i * EXFAT_ENTRY_SIZE) >> m_sectorShift);
            if (i + n <= entries || i >= entries) {
                StartRecord(e, entrySector);
                break;
            }
            CFileSet& set = Set();
            const std::uint64_t bytesWithThis = static_cast<std::uint64_t>(set.sectorCount + 1) << m_sectorShift;
            const bool full = bytesWithThis >= set.maxCluster;
            if (!full && i * EXFAT_ENTRY_SIZE + n * EXFAT_ENTRY_SIZE <= avail &&
                CheckDirEntry(e, n * EXFAT_ENTRY_SIZE, LE16(e + ExFatFileLayout::kSetChecksum))) {
                // The set runs on into the next sector as it lies: an
                // ordinary set, read on from the buffer.
                StartRecord(e, entrySector);
                end = i + n;
                break;
            }
            set.flags |= FILESET_NOT_END;
            const std::int64_t key = set.firstSector >= 0 ? set.firstSector : s;
            std::vector<std::uint8_t> head(e, p + sectorBytes);
            if (set.firstSector < 0) {
                set.firstSector = s;
                set.sectorCount = 1;
            }
            bool joined = false;
            for (auto it = m_tails.begin(); it != m_tails.end(); ++it) {
                if (it->first == key) continue;
                if (Joint(entrySector, head, it->second.data(), it->second.size())) {
                    m_links[key] = it->first;
                    set.nextSector = it->first;
                    m_tails.erase(it);
                    joined = true;
                    break;
                }
            }
            if (!joined) {
                if (m_heads.size() >= kMaxOpen) m_heads.erase(m_heads.begin());
                m_heads[key] = std::move(head);
            }
            anyValid = true;
            stopped = true;
            end = i;  // the walk ends here
            break;
        }
        case EXFAT_ENTRY_STREAM:
        case EXFAT_ENTRY_STREAM_DELETED:
        case EXFAT_ENTRY_NAME:
        case EXFAT_ENTRY_NAME_DELETED: {
            const bool stream = (type & 0x7F) == (EXFAT_ENTRY_STREAM & 0x7F);
            valid = stream ? StreamValid(e) : NameValid(e);
            if (!valid) break;
            if (!Feed(e)) {
                if (i == 0 && setWasEmpty && !Set().HasFile()) Set().flags |= FILESET_ABRIDGED;
                m_record.Reset();
            }
            break;
        }
        default:
            if (IsBenignPrimary(type)) {
                m_record.Reset();
            } else if (IsBenignSecondary(type)) {
                if (!Feed(e)) m_record.Reset();
            } else {
                valid = false;
            }
            break;
        }
        if (stopped) break;
        if (!valid) {
            stopped = i < entries;
            break;
        }
        anyValid = true;
    }
    m_record.Reset();

    // No entry held and no set begun: a fresh set would be dropped at once.
    if (!anyValid && !m_set) return nullptr;
    CFileSet& set = Set();
    if (anyValid) {
        if (set.firstSector < 0) {
            set.firstSector = s;
            set.sectorCount = 1;
        } else {
            set.sectorCount = s - set.firstSector + 1;
        }
        if (set.IsAbridged() && set.sectorCount == 1) OfferTail(p, avail);
    } else if (!set.HasFile() && !set.IsRoot()) {
        m_set.reset();
        return nullptr;
    }
    const bool full = (static_cast<std::uint64_t>(set.sectorCount) << m_sectorShift) >= set.maxCluster;
    if (stopped || full) return TakeSet();
    return nullptr;
}

// ---- deep searcher ---------------------------------------------------------------

CExFatCompleteSearch::~CExFatCompleteSearch() { FreePartitions(); }

void CExFatCompleteSearch::FreePartitions() {
    for (CExFatPartitionEx* p : m_partitions) delete p;
    m_partitions.clear();
}

void CExFatCompleteSearch::PreparetoSearch() {
    m_ready = false;
    m_pre.Clear();
    m_builder.Clear();
    FreePartitions();
    m_nextExpected = -1;
    m_analysedTo = 0;
}

bool CExFatCompleteSearch::SetUp() {
    m_sectorSize = m_device->GetSectorSize();
    if (m_sectorSize < 512 || (m_sectorSize & (m_sectorSize - 1)) != 0) return false;
    m_sectorShift = Log2(m_sectorSize);
    m_totalSectors = m_device->GetTotalSectors();
    m_pre.Prepare(m_sectorShift, m_totalSectors);
    m_builder.PrepareBuild(m_sectorSize, m_totalSectors);
    // A sector's examination reads at most its own bytes and one entry set
    // running on from its last entry.
    m_lookahead = 1 + (kMaxSetBytes + m_sectorSize - 1) / m_sectorSize;
    m_tail.assign(kCarry * m_sectorSize, 0);
    m_tailSectors = 0;
    m_stitch.assign((2 * kCarry + 2 * m_lookahead) * m_sectorSize, 0);
    m_nextExpected = -1;
    m_analysedTo = 0;
    m_ready = true;
    return true;
}

void CExFatCompleteSearch::HandOut(std::unique_ptr<CFileSet> set) {
    if (!set) return;
    const std::int64_t next = (set->flags & FILESET_NOT_END) ? set->nextSector : -1;
    const std::int64_t last = set->IsAbridged() ? set->lastSector : -1;
    m_builder.PushFileSet(std::move(set), last, next);
}

// Sectors [first, first + count) lie in the buffer from sector index
// `index`; the buffer's valid bytes end at sector index `validSectors`.
void CExFatCompleteSearch::AnalyzeSectors(std::int64_t first, const std::uint8_t* buffer, std::size_t index,
                                          std::int64_t count, std::size_t validSectors) {
    const std::size_t ss = m_sectorSize;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t s = first + i;
        const std::size_t at = index + static_cast<std::size_t>(i);
        const std::uint8_t* p = buffer + at * ss;
        const std::size_t avail = (validSectors - at) * ss;
        __builtin_prefetch(p + kPrefetchSectors * ss);
        // The tests read the sector's first cache line; the boot signature
        // at its end is looked at only behind the file system's name.
        if (p[0] == 0) {
            HandOut(m_pre.FinishSet());
            if (IsUpCaseStart(p)) m_builder.RecordUpCaseTable(s);
        } else if (std::memcmp(p + ExFatBootLayout::kName, "EXFAT   ", 8) == 0 &&
                   p[ExFatBootLayout::kSignature] == 0x55 && p[ExFatBootLayout::kSignature + 1] == 0xAA &&
                   CExFatDBR(p).IsValid(m_sectorSize)) {
            HandOut(m_pre.FinishSet());
            m_builder.Build(s, p);
        } else if (LE32(p) == 0xFFFFFFF8u && LE32(p + 4) == 0xFFFFFFFFu) {
            HandOut(m_pre.FinishSet());
            m_builder.RecordFAT(s);
        } else if (m_pre.PassesOver(p, avail)) {
            m_pre.DropSet();
        } else {
            HandOut(m_pre.AnalyzeSector(p, avail, s));
        }
        if (m_builder.HasWaitingSets()) m_builder.Build(s);
    }
    m_analysedTo = first + count;
}

const std::uint8_t* CExFatCompleteSearch::Stitch(std::size_t from, std::size_t to, std::size_t pending,
                                                 const std::uint8_t* block, std::size_t count) {
    const std::size_t ss = m_sectorSize;
    for (std::size_t v = from; v < to; ++v) {
        std::uint8_t* out = m_stitch.data() + (v - from) * ss;
        if (v < pending)
            std::memcpy(out, m_tail.data() + (m_tailSectors - pending + v) * ss, ss);
        else if (v < pending + count)
            std::memcpy(out, block + (v - pending) * ss, ss);
        else
            std::memset(out, 0, ss);
    }
    return m_stitch.data();
}

void CExFatCompleteSearch::AnalyzePendingAlone() {
    const std::size_t pending = static_cast<std::size_t>(m_nextExpected - m_analysedTo);
    const std::uint8_t* run = Stitch(0, pending + kCarry, pending, nullptr, 0);
    AnalyzeSectors(m_analysedTo, run, 0, static_cast<std::int64_t>(pending), pending + kCarry);
}

void CExFatCompleteSearch::AnalyzeBlock(std::int64_t firstSector, std::int64_t sectorCount) {
    if (m_device == nullptr || m_treeBuilder == nullptr || m_blockSize <= 0) return;
    if (!m_ready && !SetUp()) return;
    if (firstSector < 0 || sectorCount <= 0) return;
    const std::size_t ss = m_sectorSize;
    const std::size_t count = static_cast<std::size_t>(std::min<std::int64_t>(sectorCount, m_blockSize));

    // What the previous block left unanalysed is examined with this block
    // when this block follows it; otherwise it is finished now with nothing
    // after it.
    std::size_t pending = 0;
    if (m_nextExpected >= 0 && m_analysedTo < m_nextExpected &&
        static_cast<std::size_t>(m_nextExpected - m_analysedTo) <= m_tailSectors) {
        pending = static_cast<std::size_t>(m_nextExpected - m_analysedTo);
        if (firstSector != m_nextExpected) {
            AnalyzePendingAlone();
            HandOut(m_pre.FinishSet());
            pending = 0;
        }
    } else if (m_nextExpected != firstSector) {
        HandOut(m_pre.FinishSet());
    }

    const std::uint8_t* block = m_blockReader.Read(m_device, firstSector, static_cast<std::int64_t>(count));
    if (block == nullptr) {
        // An unreadable block breaks every run of directory sectors.
        HandOut(m_pre.FinishSet());
        m_nextExpected = -1;
        m_analysedTo = firstSector + static_cast<std::int64_t>(count);
        return;
    }
    m_nextExpected = firstSector + static_cast<std::int64_t>(count);
    const bool last = m_nextExpected >= m_totalSectors;
    const std::size_t analyse = last ? count : (count > kCarry ? count - kCarry : 0);
    const std::int64_t from = firstSector - static_cast<std::int64_t>(pending);
    m_analysedTo = from;

    // The sectors examined form the run "pending sectors, this block, kCarry
    // zero sectors"; each is examined with what follows it in the run. Where
    // that reaches past either end of the block, the sectors are copied
    // together; all others are examined in the block itself.
    const std::size_t runEnd = pending + count + kCarry;
    const std::size_t n = pending + analyse;
    if (count <= 2 * m_lookahead) {
        AnalyzeSectors(from, Stitch(0, runEnd, pending, block, count), 0, static_cast<std::int64_t>(n), runEnd);
    } else {
        const std::size_t head = std::min(pending, n);
        if (head > 0)
            AnalyzeSectors(from, Stitch(0, pending + m_lookahead, pending, block, count), 0,
                           static_cast<std::int64_t>(head), pending + m_lookahead);
        const std::size_t tail = pending + count - m_lookahead + 1;
        const std::size_t direct = std::min(n, tail);
        if (direct > pending) AnalyzeSectors(firstSector, block, 0, static_cast<std::int64_t>(direct - pending), count);
        if (n > tail)
            AnalyzeSectors(from + static_cast<std::int64_t>(tail), Stitch(tail, runEnd, pending, block, count), 0,
                           static_cast<std::int64_t>(n - tail), runEnd - tail);
    }
    // The sectors the next block may carry on with outlive this block's bytes.
    m_tailSectors = std::min(kCarry, count);
    std::memcpy(m_tail.data(), block + (count - m_tailSectors) * ss, m_tailSectors * ss);
}

void CExFatCompleteSearch::EndSearch(int build) {
    if (!build || !m_ready) return;
    if (m_nextExpected >= 0 && m_analysedTo < m_nextExpected &&
        static_cast<std::size_t>(m_nextExpected - m_analysedTo) <= m_tailSectors)
        AnalyzePendingAlone();
    HandOut(m_pre.FinishSet());
    m_pre.Clear();
    FreePartitions();
    m_builder.FinishBuid(m_partitions);
    if (!m_partitions.empty()) m_treeBuilder->AddSearcherInfo(SEARCHER_EXFAT, -1);
    for (std::size_t k = 0; k < m_partitions.size(); ++k) {
        CExFatPartitionEx* p = m_partitions[k];
        if (p->m_flags & EXFAT_EVIDENCE_FAT1)
            p->CreateFatTable(m_device, p->m_partitionStart + p->m_fatOffset, p->m_fatLength,
                              static_cast<std::uint32_t>(std::min<std::uint64_t>(p->m_totalClusters, 0xFFFFFFFFu)));
        std::vector<CExFatFileNode*> nodes;
        m_builder.BuildFileTree(*p, nodes);
        for (CExFatFileNode* node : nodes) {
            node->SetBelongedPartition(static_cast<std::uint16_t>(k));
            if (!m_treeBuilder->AddNode(node, SEARCHER_EXFAT)) node->Release();
        }
        p->ClearFatData();
    }
    m_treeBuilder->SetPartitonDevice(nullptr, m_device);
    m_treeBuilder->FlashBuild(SEARCHER_EXFAT);
    m_builder.Clear();
    m_nextExpected = -1;
}

int CExFatCompleteSearch::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
    const int count = static_cast<int>(m_partitions.size());
    if (array == nullptr || capacity < count) return count;
    for (int k = 0; k < count; ++k) {
        const CExFatPartitionEx* p = m_partitions[static_cast<std::size_t>(k)];
        auto* info = new CSearchedPartitionInfo(m_sectorSize);
        info->SetCluster0Sector(p->m_dataRegionStart);
        info->SetStartSector(p->m_partitionStart);
        info->SetTotalSectors(static_cast<std::uint64_t>(std::max<std::int64_t>(p->m_totalSectors, 0)));
        info->SetFileSystemType(FILE_SYSTEM_EXFAT);
        info->SetSectorsPerCluster(p->m_sectorsPerCluster);
        info->SetPartitionIndex(static_cast<std::uint16_t>(k));
        array[k] = info;
    }
    return count;
}

}  // namespace exfatdeep
