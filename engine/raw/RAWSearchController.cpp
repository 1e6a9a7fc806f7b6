#include "raw/RAWSearchController.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "foundation/Bitmap.h"
#include "foundation/ByteOrder.h"
#include "foundation/Log.h"
#include "foundation/SalvageRead.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"
#include "raw/RAWFileManager.h"
#include "foundation/DirectoryTree.h"

namespace {

constexpr auto kRawTree = static_cast<_tagSearcherType>(34);
constexpr auto kLabelTree = static_cast<_tagSearcherType>(36);
// The stop and pause check takes the front end's lock: ask it once per this
// many sectors, not for every one.
constexpr std::uint32_t kCheckEvery = 256;
// Candidates a sector can have: one map key, a multimap run and the list.
constexpr int kMaxCandidates = 64;
// How far ahead of the searched sector its successors are fetched.
constexpr std::size_t kPrefetchSectors = 8;

// Most sectors that are not zero show it in their first bytes: stop at the
// first 64-byte piece that is not.
bool AllZero(const std::uint8_t* p, std::uint32_t bytes) {
    std::uint32_t i = 0;
    for (; i + 64 <= bytes; i += 64) {
        std::uint64_t w[8];
        std::memcpy(w, p + i, 64);
        if ((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) != 0) return false;
    }
    std::uint64_t acc = 0;
    for (; i + 8 <= bytes; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc |= w;
    }
    return acc == 0;
}

// TBitmap::GetBit, inline: it is asked for every sector of a deep scan.
inline bool BitSet(const TBitmap& bitmap, std::int64_t index) {
    const std::uint8_t* data = bitmap.GetBitmapData();
    if (data == nullptr || index < 0 || index > bitmap.GetMaxBitIndex()) return false;
    return (data[index >> 3] >> (index & 7)) & 1;
}

// The first sector at or after `s` and before `end` whose bit is clear, or
// `end`. Bits past the map's end count as clear. Whole 64-bit words of set
// bits are passed at once; the sectors reached are those the one-sector and
// one-cluster steps would reach, since a set bit covers its whole cluster.
std::int64_t NextUnmarkedSector(const TBitmap& bitmap, std::int64_t s, std::int64_t end) {
    const std::int64_t unit = std::max<std::uint32_t>(bitmap.GetUnit(), 1);
    std::int64_t bit = s / unit;
    if (!bitmap.GetBit(bit)) return s;
    const std::int64_t maxBit = bitmap.GetMaxBitIndex();
    const std::int64_t lastBit = (end - 1) / unit;
    const std::uint8_t* data = bitmap.GetBitmapData();
    ++bit;
    while (bit <= maxBit && bit <= lastBit) {
        if ((bit & 63) == 0 && bit + 63 <= maxBit) {
            const std::uint64_t w = byteorder::LE64(data + bit / 8);
            if (w == ~std::uint64_t{0}) {
                bit += 64;
                continue;
            }
            bit += std::countr_one(w);
            break;
        }
        if (!bitmap.GetBit(bit)) break;
        ++bit;
    }
    return bit > lastBit ? end : std::min(end, bit * unit);
}

void ResetTemp(CRawFileInfo& t) {
    t.m_startSector = 0;
    t.m_size = 0;
    t.m_type = 0;
    t.m_analyserType = 0xFFFF;
    t.m_rawFileName.clear();
    t.m_rawFileTime.clear();
    t.m_tag = RAW_FILE_TAG_NONE;
    t.m_tagValue.clear();
    t.m_analyser = nullptr;
}

}  // namespace

ICompleteFileSystemSearchController* CreateRAWSearcher() { return new CRAWSearchController(); }

CRAWSearchController::CRAWSearchController() { m_open.reserve(kOpenSet); }

CRAWSearchController::~CRAWSearchController() {
    DeleteAll();
    m_buffered.Close();
}

void CRAWSearchController::DeleteAll() {
    // Open records are in the streaming list too.
    m_open.clear();
    for (Streaming& s : m_streaming) delete s.record;
    m_streaming.clear();
    for (auto& [start, entry] : m_pending) delete entry.record;
    m_pending.clear();
    m_due.clear();
}

int CRAWSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** out, int n) {
    if (out == nullptr || n < 1) return 1;
    const std::uint32_t ss = m_device && m_device->GetSectorSize() ? m_device->GetSectorSize() : 512;
    auto* info = new CSearchedPartitionInfo(ss);
    info->SetScore(1.0);
    info->SetStartSector(0);
    info->SetTotalSectors(0);
    info->SetCount(1);
    // Runs of raw-found files count in device sectors.
    info->SetSectorsPerCluster(1);
    out[0] = info;
    return 1;
}

void CRAWSearchController::SetDevice(IStorageDevice* device) {
    if (device == nullptr) {
        CatchExeception::WriteLog("%s\n", "NULL != pDevice");
        return;
    }
    m_device = device;
}

void CRAWSearchController::SetBlockSize(int sectorsPerBlock) {
    if (sectorsPerBlock <= 0) {
        CatchExeception::WriteLog("%s\n", "0 < iSectorsperBlock");
        return;
    }
    m_sectorsPerBlock = sectorsPerBlock;
}

void CRAWSearchController::PreparetoSearch() {
    DeleteAll();
    m_evictionLosses.clear();
    m_stopped = false;
    m_sinceCheck = 0;
    m_state.PreparetoSearch();
    CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
    if (m_builder) registry->ReinitAnalyzeList(nullptr, &m_state);
    if (m_device == nullptr || m_sectorsPerBlock <= 0) return;
    m_sectorSize = m_device->GetSectorSize() ? m_device->GetSectorSize() : 512;
    m_totalSectors = m_device->GetTotalSectors();
    m_state.SetDeviceSectorSize(m_sectorSize);
    m_halfBytes = static_cast<std::uint32_t>(m_sectorsPerBlock) * m_sectorSize;
    m_spareBytes = std::max(kSpare, m_sectorSize);
    // Blocks are read straight into the ring and searched there, so that
    // no block is copied twice more (into the lower half and the ring).
    m_inRing = m_buffered.InitBufferDevice(m_device, 0, m_sectorSize, static_cast<std::uint32_t>(m_sectorsPerBlock),
                                           kRingBlocks, kRingSpareSlots, m_spareBytes) == 1;
    if (m_inRing) {
        m_blockBuffer.Reset();
    } else {
        m_buffered.InitBufferDevice(m_device, 0, m_sectorSize, static_cast<std::uint32_t>(m_sectorsPerBlock),
                                    kRingBlocks);
        m_blockBuffer.Assign(2 * static_cast<std::size_t>(m_halfBytes) + m_spareBytes);
    }
    m_ready = m_inRing || !m_blockBuffer.empty();
    m_nextBlock = 0;
    m_managers.reset();
    if (m_builder) {
        m_managers = std::make_unique<CRAWFileManagerSet>(m_builder, &m_state, 1);
        m_builder->AddSearcherInfo(kRawTree, 1);
        m_builder->AddSearcherInfo(kLabelTree, 1000);
    }
    m_lowerHalfEnd = -1;
    m_spareHeld = 0;
}

bool CRAWSearchController::Continue() {
    if (m_stopped) return false;
    m_stopped = m_state.NotifyCenter().isContinue() == 0;
    return !m_stopped;
}

std::int64_t CRAWSearchController::ReadBlock(std::int64_t first, std::int64_t count) {
    std::uint8_t* upper = m_upper;
    std::int64_t held = std::min<std::int64_t>(count, m_sectorsPerBlock);
    if (m_totalSectors > 0) held = std::min<std::int64_t>(held, std::max<std::int64_t>(m_totalSectors - first, 0));
    // Unreadable sectors read as zeros and cost only themselves; the block
    // is always searched and added to the ring, so the ring stays in step
    // with the sectors it claims.
    ReadSectorsSalvaging(m_device, upper, first, held, m_sectorSize);
    const std::size_t used = static_cast<std::size_t>(held) * m_sectorSize;
    // A short last block: nothing stale may follow its real sectors.
    std::memset(upper + used, 0, m_halfBytes + m_spareBytes - used);
    // The spare bytes: the first bytes of the next block, so a header that
    // straddles the block end is seen whole. Bytes that cannot be read are
    // left out of the view, never offered as zeros.
    m_spareHeld = 0;
    const std::int64_t next = first + held;
    if (held == count && (m_totalSectors <= 0 || next < m_totalSectors)) {
        const std::int64_t sectors = (kSpare + m_sectorSize - 1) / m_sectorSize;
        const std::int64_t n = m_totalSectors > 0 ? std::min(sectors, m_totalSectors - next) : sectors;
        if (n > 0 && m_device->ReadSector(upper + used, next, n) == 1)
            m_spareHeld = static_cast<std::uint32_t>(std::min<std::int64_t>(kSpare, n * m_sectorSize));
        else
            std::memset(upper + used, 0, m_halfBytes + m_spareBytes - used);
    }
    return held;
}

void CRAWSearchController::InitBlockContext(std::int64_t first, std::int64_t count) {
    CRawFileInfo::SearchContext& ctx = m_blockCtx;
    const bool lowerValid = first > 0 && m_lowerHalfEnd == first;
    ctx.bufferStartSector = lowerValid ? first - m_sectorsPerBlock : first;
    ctx.blockEndSector = first + count;
    ctx.leadingZero = 0;
    ctx.trailingZeroBytes = 0;
    ctx.newFile = nullptr;
    const std::uint8_t* base = lowerValid ? m_upper - m_halfBytes : m_upper;
    ctx.view = SectorView(base, m_sectorSize, ctx.bufferStartSector, ctx.blockEndSector, m_spareHeld);
}

void CRAWSearchController::InitContext(const std::uint8_t* p, CRawFileInfo::SearchContext& ctx) const {
    // A sizer may change what it is given; every sector starts from the block's.
    ctx = m_blockCtx;
    ctx.leadingZero = byteorder::LE32(p) == 0 ? 4 : 0;
    std::uint32_t trailing = 0;
    for (int k = 1; k <= 8; ++k) {
        if (byteorder::LE32(p + m_sectorSize - 4 * k) != 0) break;
        trailing += 4;
    }
    ctx.trailingZeroBytes = trailing;
}

IRawFileAnalyser* CRAWSearchController::FindAnalyser(std::uint8_t* p, CRawFileInfo& temp, std::int64_t sector) {
    const CRawFileAnalyserListSingle::Dispatch& d = *m_dispatch;
    IRawFileAnalyser* keyed[kMaxCandidates];
    const int n = CRawFileAnalyserListSingle::KeyedCandidates(d, p, keyed, kMaxCandidates);
    for (int i = 0; i < n; ++i) {
        IRawFileAnalyser* a = keyed[i];
        ResetTemp(temp);
        bool hit;
        if (ISpecialRawFileAnalyser* special = a->GetSpecialRawFile()) {
            hit = special->AnalyseBufferEx(p, temp, m_sectorSize, sector, m_blockCtx.bufferStartSector,
                                           m_blockCtx.blockEndSector, m_blockCtx.view) != 0;
        } else {
            hit = a->AnalyseBuffer(p, temp) == 1;
        }
        if (hit) return a;
    }
    for (IRawFileAnalyser* a : d.list) {
        ResetTemp(temp);
        if (a->AnalyseBuffer(p, temp) != 0) return a;
    }
    return nullptr;
}

CRawFileInfo* CRAWSearchController::CreateRawFileInfo(CRawFileInfo& temp, std::int64_t sector,
                                                      IRawFileAnalyser* analyser) {
    CRawFileInfo* record = analyser->CreateRawFileInfo();
    if (record == nullptr) return nullptr;
    record->m_type = temp.m_type;
    record->m_size = temp.m_size;
    record->m_startSector = sector;
    record->m_analyser = analyser;
    record->m_analyserType = analyser->GetAnalyserType();
    if (m_fileSectorMap) m_fileSectorMap->emplace(sector, temp.m_type);
    return record;
}

CRAWFileManagerSet* CRAWSearchController::GetFileManager(std::uint32_t type) {
    if (type > kMaxType) return nullptr;
    return m_managers.get();
}

bool CRAWSearchController::SizeGate(CRawFileInfo* record) {
    if (record->m_size <= 0) {
        record->m_size = 0;
        return false;
    }
    if (m_totalSectors > 0 && record->m_startSector >= 0) {
        const std::int64_t left = m_totalSectors - record->m_startSector;
        if (left <= 0) {
            record->m_size = 0;
            return false;
        }
        const std::int64_t cap = left > INT64_MAX / m_sectorSize ? INT64_MAX : left * m_sectorSize;
        record->m_size = std::min(record->m_size, cap);
    }
    return true;
}

bool CRAWSearchController::File(CRawFileInfo* record) {
    if (!SizeGate(record)) return false;
    CRAWFileManagerSet* managers = GetFileManager(record->m_type);
    if (managers == nullptr) return false;
    managers->AddRawFileInfo(record);
    return true;
}

void CRAWSearchController::AddRawFileInfoToList(CRawFileInfo* record, std::uint8_t* p, std::int64_t sector) {
    const bool guess = record->WhetherImplementGuess();
    if (!guess) {
        // Sized from the ring while its first block is still held.
        AddPending(record);
        return;
    }
    if (static_cast<int>(m_open.size()) == kOpenSet) {
        Open oldest = m_open.front();
        oldest.record->WillBeRemove(p, sector);
        oldest.at->evicted = true;
        m_open.erase(m_open.begin());
    }
    m_streaming.push_back({record, false});
    m_open.push_back({record, std::prev(m_streaming.end())});
}

void CRAWSearchController::CalcRawFileSize(std::uint8_t* p, CRawFileInfo* newRecord, std::int64_t sector,
                                           CRawFileInfo::SearchContext& ctx) {
    for (std::size_t i = 0; i < m_open.size();) {
        Open o = m_open[i];
        ctx.newFile = o.record == newRecord ? nullptr : newRecord;
        if (o.record->CalcRawSize(p, static_cast<int>(m_sectorSize), sector, ctx) != 1) {
            ++i;
            continue;
        }
        if (SizeGate(o.record)) {
            if (File(o.record)) {
                m_streaming.erase(o.at);
                delete o.record;
            }
            // Without a manager it stays in the streaming list until the end.
        } else if (o.record->m_analyser) {
            // Finished without a size: its device sizer takes over.
            o.record->WillBeRemove(p, sector);
            m_streaming.erase(o.at);
            AddPending(o.record);
        }
        m_open.erase(m_open.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void CRAWSearchController::AddPending(CRawFileInfo* record) {
    m_pending.emplace(record->m_startSector, PendingEntry{m_pendingOrder++, record});
}

template <typename It>
void CRAWSearchController::CollectPending(It begin, It end) {
    m_due.clear();
    for (It it = begin; it != end; ++it) m_due.push_back(it);
    std::sort(m_due.begin(), m_due.end(),
              [](const PendingMap::iterator& a, const PendingMap::iterator& b) { return a->second.order < b->second.order; });
}

void CRAWSearchController::SizePendingFromRing() {
    // Records that start in the oldest block, which the next block pushes
    // out of the ring, are sized now, while their first bytes are in memory;
    // so are records parked late whose start lies further back, and those
    // with no start on the device.
    const std::uint64_t oldestEnd = m_buffered.GetDeviceStartSector() + static_cast<std::uint64_t>(m_sectorsPerBlock);
    const auto end = oldestEnd > static_cast<std::uint64_t>(INT64_MAX)
                         ? m_pending.end()
                         : m_pending.lower_bound(static_cast<std::int64_t>(oldestEnd));
    if (end == m_pending.begin()) return;
    CollectPending(m_pending.begin(), end);
    for (const PendingMap::iterator& it : m_due) {
        if (!Continue()) break;
        CRawFileInfo* r = it->second.record;
        if (r->m_analyser) r->m_analyser->GetRawFileSize(*r, &m_buffered);
        File(r);
        delete r;
        m_pending.erase(it);
    }
    m_due.clear();
}

void CRAWSearchController::AnalyzeBlock(std::int64_t first, std::int64_t count) {
    CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
    const auto& d = registry->GetDispatch(0);
    if (d.table.empty() && d.list.empty()) return;
    m_dispatch = &d;
    if (m_device == nullptr || !m_ready || first < 0 || count <= 0 || m_stopped) return;
    count = std::min<std::int64_t>(count, m_sectorsPerBlock);
    // The ring and the lower half assume contiguous blocks; a jump starts both afresh.
    if (first != m_nextBlock) {
        if (m_inRing)
            m_buffered.InitBufferDevice(m_device, static_cast<std::uint64_t>(first), m_sectorSize,
                                        static_cast<std::uint32_t>(m_sectorsPerBlock), kRingBlocks, kRingSpareSlots,
                                        m_spareBytes);
        else
            m_buffered.InitBufferDevice(m_device, static_cast<std::uint64_t>(first), m_sectorSize,
                                        static_cast<std::uint32_t>(m_sectorsPerBlock), kRingBlocks);
        m_lowerHalfEnd = -1;
    }
    if (m_inRing) {
        m_upper = m_buffered.NextSlot();
        // The previous block must lie in front of this one; only at the
        // ring's wrap is it somewhere else.
        if (first > 0 && m_lowerHalfEnd == first && m_buffered.NextSlotIsFirst())
            m_buffered.CopyNewestBeforeFirstSlot();
    } else {
        m_upper = m_blockBuffer.data() + m_halfBytes;
    }
    const std::int64_t held = ReadBlock(first, count);
    InitBlockContext(first, held);
    const TBitmap* bitmap = m_bitmap && m_bitmap->GetBitmapData() ? m_bitmap : nullptr;
    const std::int64_t perBit = bitmap ? std::max<std::uint32_t>(bitmap->GetUnit(), 1) : 1;
    // A division per sector costs more than the rest of a skipped sector.
    const auto unit = static_cast<std::uint64_t>(perBit);
    const int perBitShift = std::has_single_bit(unit) ? std::countr_zero(unit) : -1;
    std::uint8_t* upper = m_upper;
    CRawFileInfo::SearchContext ctx;
    for (std::int64_t i = 0; i < held;) {
        const std::int64_t s = first + i;
        if (bitmap && BitSet(*bitmap, perBitShift >= 0 ? s >> perBitShift : s / perBit)) {
            // The sector belongs to a file a file system found.
            i = NextUnmarkedSector(*bitmap, s, first + held) - first;
            continue;
        }
        if (++m_sinceCheck >= kCheckEvery || i == 0) {
            m_sinceCheck = 0;
            if (!Continue()) break;
        }
        std::uint8_t* p = upper + static_cast<std::size_t>(i) * m_sectorSize;
        // The block was copied in well before it is searched, so its bytes
        // come from memory, and the analysers' reads spread over the sector
        // are too scattered for the hardware to fetch ahead: ask early.
        if (i + static_cast<std::int64_t>(kPrefetchSectors) < held) {
            const std::uint8_t* ahead = p + kPrefetchSectors * static_cast<std::size_t>(m_sectorSize);
            for (std::uint32_t line = 0; line < std::min<std::uint32_t>(m_sectorSize, 512); line += 64)
                __builtin_prefetch(ahead + line);
        }
        CRawFileInfo* created = nullptr;
        // No format starts with a zero sector; the open records still see it,
        // since that is where most ends are found.
        if (!AllZero(p, m_sectorSize)) {
            if (IRawFileAnalyser* a = FindAnalyser(p, m_temp, s)) {
                CRawFileInfo* record = CreateRawFileInfo(m_temp, s, a);
                if (record != nullptr) {
                    if (SizeGate(record) && GetFileManager(record->m_type) != nullptr) {
                        File(record);
                        delete record;
                    } else if (record->m_size > 0 || record->m_type > kMaxType) {
                        delete record;  // sized, but no tree takes it
                    } else {
                        AddRawFileInfoToList(record, p, s);
                        created = record;
                    }
                }
            }
        }
        // Every sector feeds the open records, also right after a hit.
        if (!m_open.empty()) {
            InitContext(p, ctx);
            CalcRawFileSize(p, created, s, ctx);
        }
        ++i;
    }
    // The current block becomes the previous one (in the ring it already
    // lies in front of the next slot).
    if (!m_inRing) std::memcpy(m_blockBuffer.data(), upper, m_halfBytes);
    m_lowerHalfEnd = first + count;
    if (m_buffered.IsFullBuffer()) SizePendingFromRing();
    m_buffered.AddBlockToBuffer(reinterpret_cast<const char*>(upper));
    m_nextBlock = first + count;
}

void CRAWSearchController::EndSearch(int build) {
    if (build == 0) return;
    for (Open& o : m_open) {
        o.record->WillBeRemove(nullptr, -1);
        o.at->evicted = false;  // still open at the end: not lost to eviction
    }
    m_open.clear();
    CollectPending(m_pending.begin(), m_pending.end());
    for (const PendingMap::iterator& it : m_due) m_streaming.push_back({it->second.record, false});
    m_due.clear();
    m_pending.clear();
    LogDiagnostic("--------------%s:%d:list size = %d--------\n", "EndSearch", __LINE__,
                  static_cast<int>(m_streaming.size()));
    while (!m_streaming.empty()) {
        if (!Continue()) break;
        Streaming s = m_streaming.front();
        m_streaming.pop_front();
        CRawFileInfo* r = s.record;
        // A size its own WillBeRemove settled counts as well as the device's.
        if (r->m_size <= 0 && r->m_analyser && m_device) {
            if (r->m_analyser->GetRawFileSize(*r, m_device) == 0) r->m_size = 0;
        }
        if (!File(r) && s.evicted) ++m_evictionLosses[r->m_type];
        delete r;
    }
    // Records a stop left unsized are deleted, not leaked.
    DeleteAll();
    LogDiagnostic("--------------%s:%d:--------\n", "EndSearch", __LINE__);
    for (const auto& [type, n] : m_evictionLosses)
        CatchExeception::WriteLog("raw search: %llu evicted %s candidates could not be sized\n",
                                  static_cast<unsigned long long>(n), g_s_strFileExtName[type <= kMaxType ? type : 0]);
    m_state.NotifyCenter().Reset();
    m_blockBuffer.Reset();
    m_ready = false;
    m_upper = nullptr;
    if (m_builder) {
        m_builder->FlashBuild(kRawTree);
        m_builder->FlashBuild(kLabelTree);
    }
    m_bitmap = nullptr;
}
