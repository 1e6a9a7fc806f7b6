#include "hfsplus/HFSPlusDeepSearch.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>

#include "foundation/Bitmap.h"
#include "foundation/Log.h"
#include "foundation/DirectoryTree.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"
#include "hfsplus/HFSPlusDirectoryTreeBuilder.h"
#include "hfsplus/HFSPlusFileNode.h"
#include "hfsplus/HFSPlusQuickSearch.h"
#include "hfsplus/HFSPlusVolume.h"
#include "storage/DeviceWithCache.h"
#include "storage/DiskDevice.h"
#include "storage/PartitionDevice.h"

namespace {
// Largest B-tree node HFS+ allows.
constexpr std::uint32_t kMaxNodeSize = 32768;
// Bytes of the device one step of the walk reads at once.
constexpr std::size_t kWalkChunkBytes = 4u << 20;
// Byte offset of the primary volume header inside its volume.
constexpr std::int64_t kHeaderOffset = kVolumeHeaderOffset;
// Both catalog attribute bits that let any catalog ID through.
constexpr std::uint32_t kIdCheckOffMask = 0x0C;
constexpr std::uint8_t kJournalFiller = 0xDB;
// Header copies kept per candidate: a journal holds a few, a hostile disk
// could hold thousands.
constexpr std::size_t kMaxHeaderCopies = 16;
// Journal catalog records held back per candidate (a journal of 512 MiB
// could hold millions).
constexpr std::size_t kMaxJournalRecords = 65536;
// A B-tree header node: descriptor, then the header record, whose node size
// and node count sit at bytes 18 and 22.
constexpr std::size_t kTreeHeadBytes = kBTNodeDescriptorSize + 26;

bool AllZero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

bool AllByte(const std::uint8_t* p, std::size_t n, std::uint8_t v) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != v) return false;
    return true;
}

std::uint64_t VolumeIdOf(const HFSPlusVolumeHeader& h) {
    return (static_cast<std::uint64_t>(h.finderInfo[6]) << 32) | h.finderInfo[7];
}

bool HasSignature(const std::uint8_t* p) { return (p[0] == 'H' && (p[1] == '+' || p[1] == 'X')) && p[2] == 0; }

// Sectors ahead of the walk whose first bytes are asked for early: the block
// comes from memory the read-ahead thread filled, and the walk looks at
// little more than one cache line of each sector.
constexpr std::int64_t kPrefetchSectors = 32;

// False when none of the four tests of the walk could take this sector of at
// least 512 bytes: a header signature in no 512-byte slice, neither journal
// magic, no leaf or header node descriptor, and no journal info block (its
// reserved words from byte 52 on are zero). Almost every sector of a disk
// fails all of them on its first cache line.
bool MayHoldStructure(const std::uint8_t* data, std::size_t sectorSize, std::size_t available) {
    for (std::size_t k = 0; k < sectorSize; k += 512)
        if (HasSignature(data + k)) return true;
    if (byteorder::LE32(data + kJHMagicOffset) == kJournalMagic || byteorder::BE32(data + kJHMagicOffset) == kJournalMagic)
        return true;
    if (available >= kBTNodeDescriptorSize) {
        const std::uint8_t kind = data[kBTNodeKindOffset], height = data[kBTNodeHeightOffset];
        if (((kind == 0xFF && height == 1) || (kind == kBTHeaderNode && height == 0)) &&
            byteorder::BE16(data + kBTNodeReservedOffset) == 0)
            return true;
    }
    return byteorder::LE32(data + 52) == 0 && byteorder::LE64(data + 56) == 0 &&
           data[kJournalInfoBlockSize] == kJournalFiller && data[511] == kJournalFiller;
}
}  // namespace

CompleteSearchPatition::~CompleteSearchPatition() {
    // The volume reads through the device: it goes first.
    volume.reset();
    device.reset();
}

CHFSPlusCompleteFileSystemSearchController::CHFSPlusCompleteFileSystemSearchController()
    : m_parser(new (std::nothrow) CHFSPlusCatalog(nullptr, nullptr)) {}

CHFSPlusCompleteFileSystemSearchController::~CHFSPlusCompleteFileSystemSearchController() {
    InitCompleteSearchPartitinAndJournalList();
}

void CHFSPlusCompleteFileSystemSearchController::InitCompleteSearchPartitinAndJournalList() { m_candidates.clear(); }

void CHFSPlusCompleteFileSystemSearchController::SetDevice(IStorageDevice* device) {
    m_device = device;
    if (!device) return;
    m_sectorSize = device->GetSectorSize();
    if (m_sectorSize == 0) m_sectorSize = 512;
    m_totalSectors = std::max<std::int64_t>(device->GetTotalSectors(), 0);
    m_sector.assign(m_sectorSize, 0);
}

const std::uint8_t* CHFSPlusCompleteFileSystemSearchController::ReadOne(std::int64_t sector) {
    if (!m_device || sector < 0 || sector >= m_totalSectors || m_sector.size() < m_sectorSize) return nullptr;
    if (!m_device->ReadSector(m_sector.data(), sector, 1)) return nullptr;
    return m_sector.data();
}

std::uint32_t CHFSPlusCompleteFileSystemSearchController::BitmapUnit() const {
    // A unit of 0 would divide by zero in the walk.
    const std::uint32_t unit = m_bitmap ? m_bitmap->GetUnit() : 1;
    return unit ? unit : 1;
}

bool CHFSPlusCompleteFileSystemSearchController::IsKnownVolumeStart(std::int64_t start) const {
    for (const auto& v : m_knownVolumes)
        if (v.startSector == start) return true;
    return false;
}

void CHFSPlusCompleteFileSystemSearchController::PreparetoSearch() {
    InitCompleteSearchPartitinAndJournalList();
    m_knownVolumes.clear();
    m_underType = 0;
    m_status = 0;
    if (m_builder) m_builder->AddSearcherInfo(SEARCHER_HFSPLUS, kHFSRootFolderID);
    if (!m_device) return;
    const std::uint8_t* zero = ReadOne(0);
    if (!zero) return;

    // Behind a protective MBR the first usable place for a volume is the
    // first 4 KiB boundary after the GPT's 16 KiB of entries.
    std::int64_t first = 0;
    if (m_sectorSize >= 512 && zero[450] == 0xEE && zero[510] == 0x55 && zero[511] == 0xAA) {
        first = ((2 * static_cast<std::int64_t>(m_sectorSize) + 20479) / 4096 * 4096) / m_sectorSize;
    }
    UpDataPartitionInfo(first, m_totalSectors);

    IStorageDevice* under = nullptr;
    if (auto* cache = dynamic_cast<CStorageDeviceWithCache*>(m_device)) under = cache->GetInnerDevice();
    if (under) {
        const int type = under->GetType();
        if (type == STORAGE_DEVICE_PARTITION || type == STORAGE_DEVICE_VOLUME) m_underType = type;
    }
    if (auto* disk = dynamic_cast<CDiskDevice*>(under)) {
        disk->GetVolumes(m_knownVolumes);
        bool any = false;
        for (const auto& v : m_knownVolumes) {
            if (v.fileSystemType != FILE_SYSTEM_HFSPLUS) continue;
            if (UpDataPartitionInfo(v.startSector, v.totalSectors)) {
                any = true;
                m_skip = true;
            }
        }
        if (any && m_bitmap) m_bitmap->CreateBitmap((m_totalSectors + 8) / 8, 8);
    }
}

CompleteSearchPatition* CHFSPlusCompleteFileSystemSearchController::UpDataPartitionInfo(std::int64_t start,
                                                                                        std::int64_t count) {
    if (start < 0 || (m_totalSectors > 0 && start >= m_totalSectors)) return nullptr;
    count = std::clamp<std::int64_t>(count, 0, m_totalSectors - start);
    auto candidate = std::unique_ptr<CompleteSearchPatition>(
        new (std::nothrow) CompleteSearchPatition(start, count, static_cast<std::uint32_t>(m_candidates.size())));
    if (!candidate) return nullptr;
    m_candidates.push_back(std::move(candidate));
    return m_candidates.back().get();
}

void CHFSPlusCompleteFileSystemSearchController::AnalyzeBlock(std::int64_t firstSector, std::int64_t count) {
    if (!m_device) {
        m_status = HFS_FAIL(HFS_ERR_MISSING);
        return;
    }
    const std::int64_t ss = m_sectorSize;
    const std::int64_t end = std::min<std::int64_t>(firstSector + std::max<std::int64_t>(count, 0), m_totalSectors);
    const std::int64_t chunkSectors = std::max<std::int64_t>(1, static_cast<std::int64_t>(kWalkChunkBytes) / ss);
    std::int64_t chunkStart = -1, chunkCount = 0;
    const std::uint8_t* chunk = nullptr;
    std::int64_t s = std::max<std::int64_t>(firstSector, 0);
    while (s < end) {
        if (s < chunkStart || s >= chunkStart + chunkCount) {
            chunkStart = s;
            chunkCount = std::min(chunkSectors, end - s);
            chunk = m_blockReader.Read(m_device, chunkStart, chunkCount);
        }
        const bool chunkRead = chunk != nullptr;
        // Sector by sector where the block could not be read whole: only
        // the bad ones are lost.
        const std::uint8_t* data = chunkRead ? chunk + (s - chunkStart) * ss : ReadOne(s);
        const std::size_t available =
            chunkRead ? static_cast<std::size_t>((chunkStart + chunkCount - s) * ss) : static_cast<std::size_t>(ss);
        if (!data) {
            ++s;
            continue;
        }
        if (m_skip && m_bitmap && m_bitmap->GetBitmapData()) {
            const std::uint32_t unit = BitmapUnit();
            if (m_bitmap->GetBit(s / unit)) {
                s += (s % unit == 0) ? unit : 1;
                continue;
            }
        }
        if (chunkRead) __builtin_prefetch(data + kPrefetchSectors * ss);
        if (ss >= 512 && !MayHoldStructure(data, static_cast<std::size_t>(ss), available)) {
            ++s;
            continue;
        }
        if (CheckVolumeHeader(s, data)) {
            ++s;
            continue;
        }
        if (CheckJournalInfoBlock(s, data)) {
            LogDiagnostic("Find JournalInfoBlock:0x%" PRIx64 "\n", static_cast<std::uint64_t>(s));
            ++s;
            continue;
        }
        if (CheckJournalHeader(s, data)) {
            LogDiagnostic("Find JournalHeader:0x%" PRIx64 "\n", static_cast<std::uint64_t>(s));
            ++s;
            continue;
        }
        const std::int64_t n = CheckBTNodeDescriptor(s, end - s, data, available);
        s += n > 0 ? n : 1;
    }
}

bool CHFSPlusCompleteFileSystemSearchController::CheckVolumeHeader(std::int64_t sector, const std::uint8_t* data) {
    if (m_sectorSize < 512) return false;
    const std::uint32_t slices = m_sectorSize / 512;
    if (data) {
        // The signature bytes first: most sectors have none in any slice.
        bool any = false;
        for (std::uint32_t k = 0; k < slices && !any; ++k) any = HasSignature(data + 512 * k);
        if (!any) return false;
    } else {
        data = ReadOne(sector);
        if (!data) return false;
    }
    int found = 0;
    bool lookedAtAll = true;
    HFSPlusVolumeHeader header;
    std::uint32_t slice = 0;
    for (std::uint32_t k = 0; k < slices; ++k) {
        const std::uint8_t* p = data + 512 * k;
        if (AllZero(p, 512)) continue;
        if (!CHFSPlusVolume::IsValidVolumeHeader(p, 512)) {
            lookedAtAll = false;
            break;
        }
        HFSPlusVolumeHeader h;
        flipVolumeHeader(p, &h);
        // The header test lets a block size of 0 through: nothing could be
        // sized or read with it, nor with one that is not a power of two.
        if (!IsUsableBlockSize(h.blockSize)) {
            lookedAtAll = false;
            break;
        }
        ++found;
        header = h;
        slice = 512 * k;
        LogDiagnostic("Find VolumeHeader SectorNumber[%llx],VolumeID[%llx]\n", static_cast<unsigned long long>(sector),
                      static_cast<unsigned long long>(VolumeIdOf(h)));
    }
    if (lookedAtAll && found == 1) UpDataPartitionInfo(sector, header, slice);
    return found > 0;
}

void CHFSPlusCompleteFileSystemSearchController::UpDataPartitionInfo(std::int64_t sector,
                                                                     const HFSPlusVolumeHeader& header,
                                                                     std::uint32_t slice) {
    if (m_candidates.empty()) {
        LogDiagnostic("Error:%d\n", 462);
        return;
    }
    const std::int64_t ss = m_sectorSize;
    // The volume start this header names when it is the primary one: 1,024
    // bytes before it, on a sector boundary (two sectors back only for
    // 512-byte sectors; the same sector for 4 KiB ones).
    std::int64_t start = -1;
    const std::int64_t byte = sector * ss + slice - kHeaderOffset;
    if (byte >= 0 && byte % ss == 0) start = byte / ss;

    CompleteSearchPatition* chosen = nullptr;
    if (m_underType == STORAGE_DEVICE_DISK || m_underType == STORAGE_DEVICE_VOLUME) {
        for (auto& c : m_candidates) {
            if (start >= 0 && c->startSector == start) {
                chosen = c.get();
                break;
            }
        }
    }
    if (!chosen) chosen = m_candidates.back().get();
    auto keepCopy = [&](CompleteSearchPatition* c) {
        if (c->headerCopies.size() < kMaxHeaderCopies) c->headerCopies.push_back({sector, slice, header});
    };
    auto take = [&](CompleteSearchPatition* c) {
        c->header.reset(new (std::nothrow) HFSPlusVolumeHeader(header));
        if (!c->header) return;
        c->headerSector = sector;
        c->headerSlice = slice;
        keepCopy(c);
    };
    if (!chosen->header) {
        take(chosen);
        return;
    }
    // A header of a volume already known (its alternate, or a copy in the
    // journal) makes no new candidate. A volume identifier of 0 names none;
    // two others that differ name two volumes, whatever their creation dates
    // (volumes made from one template share them). A header outside a volume
    // already placed is another volume's (a copy of it made with dd, or one
    // of the same date).
    const std::uint64_t id = VolumeIdOf(header);
    CompleteSearchPatition* match = nullptr;
    for (auto& c : m_candidates) {
        if (!c->header || IsOutsideResolvedVolume(*c, sector)) continue;
        const std::uint64_t known = VolumeIdOf(*c->header);
        if (id != 0 && known != 0 && known != id) continue;
        if ((id != 0 && known == id) || c->header->createDate == header.createDate) {
            match = c.get();
            break;
        }
    }
    const std::uint64_t size = static_cast<std::uint64_t>(header.totalBlocks) * header.blockSize / m_sectorSize;
    if (!match && size < static_cast<std::uint64_t>(m_totalSectors)) {
        std::int64_t newStart = start >= 0 ? start : std::max<std::int64_t>(0, sector - kHeaderOffset / ss);
        if (CompleteSearchPatition* c = UpDataPartitionInfo(newStart, static_cast<std::int64_t>(size))) take(c);
        return;
    }
    CompleteSearchPatition* target = match ? match : chosen;
    keepCopy(target);
    if (header.totalBlocks > target->header->totalBlocks) target->header->totalBlocks = header.totalBlocks;
}

bool CHFSPlusCompleteFileSystemSearchController::CheckJournalInfoBlock(std::int64_t sector, const std::uint8_t* data) {
    if (m_sectorSize < 512) return false;
    if (data) {
        if (data[kJournalInfoBlockSize] != kJournalFiller || data[511] != kJournalFiller) return false;
    } else {
        data = ReadOne(sector);
        if (!data) return false;
    }
    JournalInfoBlock block;
    flipJournalInfoBlock(data, &block);
    if (block.offset % 512 != 0 || block.size % 512 != 0) return false;
    // The 32 reserved words.
    if (!AllZero(data + 52, kJournalInfoBlockSize - 52)) return false;
    // 0xDB fills the rest of the first 512 bytes. A volume made for 512-byte
    // sectors and read through larger ones has the rest of its block after
    // that (zeros); one made for the larger sectors fills them all.
    if (!AllByte(data + kJournalInfoBlockSize, 512 - kJournalInfoBlockSize, kJournalFiller)) return false;
    if (m_sectorSize > 512) {
        const std::uint8_t* rest = data + 512;
        const std::size_t n = m_sectorSize - 512;
        if (!AllByte(rest, n, kJournalFiller) && !AllZero(rest, n)) return false;
    }
    UpDataPartitionInfo(sector, block);
    return true;
}

void CHFSPlusCompleteFileSystemSearchController::UpDataPartitionInfo(std::int64_t sector,
                                                                     const JournalInfoBlock& block) {
    if (m_candidates.empty()) {
        LogDiagnostic("Error:%d\n", 546);
        return;
    }
    CompleteSearchPatition& last = *m_candidates.back();
    if (last.journalInfoBlock) return;
    last.journalInfoBlock.reset(new (std::nothrow) JournalInfoBlock(block));
    if (last.journalInfoBlock) last.journalInfoBlockSector = sector;
}

bool CHFSPlusCompleteFileSystemSearchController::CheckJournalHeader(std::int64_t sector, const std::uint8_t* data) {
    if (!data) {
        data = ReadOne(sector);
        if (!data) return false;
    }
    if (m_sectorSize < kJournalHeaderSize) return false;
    // Intel Macs write the header little-endian, PowerPC ones big-endian;
    // the endian word tells which.
    auto isHeader = [&](auto load) {
        return load(data + kJHMagicOffset) == kJournalMagic && load(data + kJHEndianOffset) == kJournalEndian;
    };
    const bool little = isHeader(byteorder::LE32);
    if (!little && !isHeader(byteorder::BE32)) return false;
    auto u32 = [&](std::size_t at) { return little ? byteorder::LE32(data + at) : byteorder::BE32(data + at); };
    auto u64 = [&](std::size_t at) { return little ? byteorder::LE64(data + at) : byteorder::BE64(data + at); };
    JournalHeader h;
    h.magic = u32(kJHMagicOffset);
    h.endian = u32(kJHEndianOffset);
    h.start = u64(kJHStartOffset);
    h.end = u64(kJHEndOffset);
    h.size = u64(kJHSizeOffset);
    h.blhdr_size = u32(kJHBlockListSizeOffset);
    h.checksum = u32(kJHChecksumOffset);
    h.jhdr_size = u32(kJHHeaderSizeOffset);
    UpDataPartitionInfo(sector, h);
    return true;
}

void CHFSPlusCompleteFileSystemSearchController::UpDataPartitionInfo(std::int64_t sector, const JournalHeader& header) {
    if (m_candidates.empty()) {
        LogDiagnostic("Error:%d\n", 582);
        return;
    }
    CompleteSearchPatition& last = *m_candidates.back();
    if (last.journalHeader) return;
    last.journalHeader.reset(new (std::nothrow) JournalHeader(header));
    if (last.journalHeader) last.journalHeaderSector = sector;
}

std::int64_t CHFSPlusCompleteFileSystemSearchController::CheckBTNodeDescriptor(std::int64_t sector,
                                                                               std::int64_t remaining,
                                                                               const std::uint8_t* data,
                                                                               std::size_t available) {
    if (!data) {
        data = ReadOne(sector);
        if (!data) return 0;
        available = m_sectorSize;
    }
    if (available < kBTNodeDescriptorSize) return 0;
    const std::uint8_t kind = data[kBTNodeKindOffset], height = data[kBTNodeHeightOffset];
    const bool leaf = kind == 0xFF && height == 1;
    const bool headerNode = kind == kBTHeaderNode && height == 0;
    if ((!leaf && !headerNode) || byteorder::BE16(data + kBTNodeReservedOffset) != 0) return 0;

    const std::size_t want = std::max<std::size_t>(kMaxNodeSize, m_sectorSize);
    const std::uint8_t* buffer = data;
    std::size_t have = available;
    if (have < want) {
        // The node may run past what the walk holds: read it whole.
        const std::int64_t sectors =
            std::min<std::int64_t>(static_cast<std::int64_t>(want / m_sectorSize), m_totalSectors - sector);
        if (sectors > 0) {
            m_node.resize(want);
            if (m_device && m_device->ReadSector(m_node.data(), sector, sectors) == 1) {
                buffer = m_node.data();
                have = static_cast<std::size_t>(sectors) * m_sectorSize;
            }
        }
    }
    for (std::size_t size = m_sectorSize; size <= kMaxNodeSize && size <= have; size *= 2) {
        if (!CHFSPlusBTNode::IsValidNode(buffer, static_cast<std::uint16_t>(size))) continue;
        AnalyzeNode(sector, buffer, static_cast<std::uint32_t>(size));
        return std::min<std::int64_t>(static_cast<std::int64_t>(size / m_sectorSize), remaining);
    }
    return 0;
}

void CHFSPlusCompleteFileSystemSearchController::AnalyzeNode(std::int64_t sector, const std::uint8_t* buffer,
                                                             std::uint32_t size) {
    if (!m_parser) return;
    CHFSPlusBTNode node(buffer, static_cast<std::uint16_t>(size), 0);
    if (HFSFailed(node.GetLastError())) {
        m_status = node.GetLastError();
        return;
    }
    if (node.GetKind() != kBTLeafNode) return;
    if (node.TestNodeBelongToFile() != static_cast<int>(kHFSCatalogFileID)) return;
    const std::uint16_t count = node.GetRecordCount();
    for (std::uint16_t i = 0; i < count; ++i) {
        std::unique_ptr<HFSPlusCatalogKey> key(m_parser->ReadKey(&node, i));
        std::unique_ptr<HFSPlusCatalogRecord> record(m_parser->ReadData(&node, i));
        if (!key || !record) continue;
        if (record->recordType != kHFSPlusFileRecord && record->recordType != kHFSPlusFolderRecord) continue;
        CompleteSearchPatition* candidate = AdjustNodeBelongsPartitionIndex(*record, sector);
        if (!candidate) continue;
        // Its volume's quick search listed this node already, from the live
        // tree or as the newest journal copy; an older copy left in the
        // journal would hand the tree builder a stale size and stale runs.
        if (candidate->IsListedSector(sector)) continue;
        const std::uint32_t catalogId = record->CatalogID();
        if (candidate->listedRanges.empty() && JournalPosition(*candidate, sector) >= 0) {
            if (candidate->journalRecords.size() < kMaxJournalRecords)
                candidate->journalRecords.push_back({sector, std::move(key), std::move(record)});
            continue;
        }
        candidate->liveIds.insert(catalogId);
        auto* file = new (std::nothrow) CHFSPlusFileNode(
            candidate->volume.get(), sector, static_cast<std::uint16_t>(candidate->index), key.get(), record.get());
        if (!file) continue;
        const std::int64_t id = file->GetCurrentNodeID();
        if (id == -1 || id == -2 || file->GetCreateDate() == 0 || !m_builder) {
            file->Release();
            continue;
        }
        const bool directory = file->IsDirectory() != 0;
        if (m_builder->AddNode(file, SEARCHER_HFSPLUS)) {
            if (directory)
                ++candidate->folderCount;
            else
                ++candidate->fileCount;
        } else {
            file->Release();
        }
    }
}

CompleteSearchPatition* CHFSPlusCompleteFileSystemSearchController::AdjustNodeBelongsPartitionIndex(
    const HFSPlusCatalogRecord& record, std::int64_t sector) {
    std::uint32_t catalogId = 0, createDate = 0;
    if (record.recordType == kHFSPlusFolderRecord) {
        catalogId = record.folder.folderID;
        createDate = record.folder.createDate;
    } else if (record.recordType == kHFSPlusFileRecord) {
        catalogId = record.file.fileID;
        createDate = record.file.createDate;
    }
    if (catalogId == 0 && createDate == 0) return nullptr;
    for (auto& owned : m_candidates) {
        CompleteSearchPatition& c = *owned;
        if (!c.header) continue;
        const HFSPlusVolumeHeader& h = *c.header;
        if ((h.attributes & kIdCheckOffMask) != kIdCheckOffMask && catalogId > h.nextCatalogID) continue;
        if (createDate > h.modifyDate && c.index != 0) continue;
        if (sector > c.startSector + c.sectorCount) continue;
        if (IsOutsideResolvedVolume(c, sector)) continue;
        // Opening may place the volume: a node outside it belongs to another.
        if (OpenCandidateVolume(c) && !IsOutsideResolvedVolume(c, sector)) return &c;
    }
    return nullptr;
}

bool CHFSPlusCompleteFileSystemSearchController::IsOutsideResolvedVolume(const CompleteSearchPatition& c,
                                                                         std::int64_t sector) const {
    if (c.resolvedStart < 0 || !c.header) return false;
    const std::uint64_t size = static_cast<std::uint64_t>(c.header->totalBlocks) * c.header->blockSize / m_sectorSize;
    return sector < c.resolvedStart || static_cast<std::uint64_t>(sector - c.resolvedStart) >= size;
}

std::int64_t CHFSPlusCompleteFileSystemSearchController::JournalPosition(const CompleteSearchPatition& c,
                                                                         std::int64_t sector) const {
    if (!c.journalInfoBlock) return -1;
    const std::int64_t start = KnownStart(c);
    if (start < 0) return -1;
    const std::uint64_t ss = m_sectorSize;
    const std::uint64_t first = static_cast<std::uint64_t>(start) * ss + c.journalInfoBlock->offset;
    const std::uint64_t byte = static_cast<std::uint64_t>(sector) * ss;
    if (byte < first || byte - first >= c.journalInfoBlock->size) return -1;
    return static_cast<std::int64_t>(byte - first);
}

void CHFSPlusCompleteFileSystemSearchController::AddJournalLeftovers(CompleteSearchPatition& c) {
    if (c.journalRecords.empty() || !m_builder) return;
    auto add = [&](std::int64_t sector, HFSPlusCatalogKey* key, HFSPlusCatalogRecord* record) {
        auto* file = new (std::nothrow)
            CHFSPlusFileNode(c.volume.get(), sector, static_cast<std::uint16_t>(c.index), key, record);
        if (!file) return;
        const std::int64_t nodeId = file->GetCurrentNodeID();
        if (nodeId == -1 || nodeId == -2 || file->GetCreateDate() == 0) {
            file->Release();
            return;
        }
        if (nodeId != kHFSRootFolderID) file->MarkDeleted();  // the root is never deleted
        const bool directory = file->IsDirectory() != 0;
        if (m_builder->AddNode(file, SEARCHER_HFSPLUS)) {
            ++(directory ? c.folderCount : c.fileCount);
        } else {
            file->Release();
        }
    };
    std::unordered_set<std::uint32_t> done = c.liveIds;

    // Replayed, the journal gives each record's newest copy, a block that
    // wraps round the buffer's end included, and keeps the extents and
    // attributes records of deleted files (overflow extents, compression
    // attributes) that the volume's trees no longer hold.
    CHFSPlusVolume* volume = c.volume.get();
    if (volume && volume->GetJournal() && volume->GetJournal()->HasHeader()) {
        CHFSPlusRecordCollection catalog;
        catalog.SetOrder([volume](const BTKey* a, const BTKey* b) {
            return volume->CompareCatalogKeys(static_cast<const HFSPlusCatalogKey*>(a),
                                              static_cast<const HFSPlusCatalogKey*>(b));
        });
        volume->DeletedExtents().Clear();
        volume->DeletedAttributes().Clear();
        if (!HFSFailed(volume->GetJournal()->GetDeleteRecord(nullptr, catalog, volume->DeletedExtents(),
                                                             volume->DeletedAttributes()))) {
            const std::int64_t sector = c.journalHeaderSector >= 0 ? c.journalHeaderSector : c.journalInfoBlockSector;
            for (std::size_t i = 0; i < catalog.Size(); ++i) {
                auto& entry = catalog.At(i);
                auto* record = static_cast<HFSPlusCatalogRecord*>(entry.record.get());
                if (!done.insert(record->CatalogID()).second) continue;
                add(sector, static_cast<HFSPlusCatalogKey*>(entry.key.get()), record);
            }
            c.journalRecords.clear();
            return;
        }
    }
    // Without a replay, the walk's own copies: journal order runs from just
    // after the newest transaction (the header's end) round to it, so the
    // copy furthest along is the newest.
    std::uint64_t end = 0, size = 0;
    if (c.journalHeader && c.journalInfoBlock) {
        end = c.journalHeader->end;
        size = c.journalInfoBlock->size;
    }
    auto age = [&](std::int64_t sector) -> std::uint64_t {
        const std::uint64_t pos = static_cast<std::uint64_t>(std::max<std::int64_t>(JournalPosition(c, sector), 0));
        return size && end < size ? (pos + size - end) % size : pos;
    };
    std::map<std::uint32_t, CompleteSearchPatition::JournalRecord*> newest;
    for (auto& r : c.journalRecords) {
        const std::uint32_t id = r.record->CatalogID();
        if (done.count(id)) continue;
        auto it = newest.find(id);
        if (it == newest.end() || age(r.sector) >= age(it->second->sector)) newest[id] = &r;
    }
    for (auto& [id, r] : newest) add(r->sector, r->key.get(), r->record.get());
    c.journalRecords.clear();
}

std::int64_t CHFSPlusCompleteFileSystemSearchController::KnownStart(const CompleteSearchPatition& c) const {
    if (!c.header) return -1;
    const std::int64_t ss = m_sectorSize;
    if (c.journalInfoBlockSector >= 0 && c.journalInfoBlock) {
        const std::uint64_t before = static_cast<std::uint64_t>(c.header->journalInfoBlock) * c.header->blockSize;
        if (before % ss == 0 && static_cast<std::uint64_t>(c.journalInfoBlockSector) >= before / ss)
            return c.journalInfoBlockSector - static_cast<std::int64_t>(before / ss);
    }
    const std::int64_t byte = c.headerSector * ss + c.headerSlice - kHeaderOffset;
    if (c.headerSector >= 0 && byte >= 0 && byte % ss == 0) return byte / ss;
    return -1;
}

bool CHFSPlusCompleteFileSystemSearchController::TreesStartAt(std::int64_t start, const HFSPlusVolumeHeader& h) {
    if (start < 0 || !m_device || !IsUsableBlockSize(h.blockSize)) return false;
    const std::uint64_t ss = m_sectorSize;
    std::vector<std::uint8_t> buffer(2 * ss);
    // The catalog must be there; extents and attributes files when the
    // header names one.
    const HFSPlusForkData* forks[] = {&h.catalogFile, &h.extentsFile, &h.attributesFile};
    for (const HFSPlusForkData* fork : forks) {
        if (fork->logicalSize == 0 && fork != &h.catalogFile) continue;
        const std::uint64_t byte = static_cast<std::uint64_t>(start) * ss +
                                   static_cast<std::uint64_t>(fork->extents[0].startBlock) * h.blockSize;
        const std::uint64_t sector = byte / ss;
        if (fork->logicalSize == 0 || sector >= static_cast<std::uint64_t>(m_totalSectors)) return false;
        const std::int64_t count = std::min<std::int64_t>(2, m_totalSectors - static_cast<std::int64_t>(sector));
        if (m_device->ReadSector(buffer.data(), static_cast<std::int64_t>(sector), count) != 1) return false;
        if (static_cast<std::uint64_t>(count) * ss - byte % ss < kTreeHeadBytes) return false;
        const std::uint8_t* node = buffer.data() + byte % ss;
        if (static_cast<std::int8_t>(node[kBTNodeKindOffset]) != kBTHeaderNode || node[kBTNodeHeightOffset] != 0)
            return false;
        const std::uint8_t* header = node + kBTNodeDescriptorSize;
        const std::uint32_t nodeSize = byteorder::BE16(header + kBTHeaderNodeSizeOffset);
        const std::uint32_t totalNodes = byteorder::BE32(header + kBTHeaderTotalNodesOffset);
        if (nodeSize < 512 || nodeSize > kMaxNodeSize || (nodeSize & (nodeSize - 1)) != 0) return false;
        // A header copy older than the tree's last growth names a shorter
        // file than the tree's own header node counts.
        if (static_cast<std::uint64_t>(nodeSize) * totalNodes != fork->logicalSize) return false;
    }
    return true;
}

std::pair<std::int64_t, const CompleteSearchPatition::HeaderCopy*>
CHFSPlusCompleteFileSystemSearchController::ResolveStart(const CompleteSearchPatition& c) {
    const std::int64_t ss = m_sectorSize;
    std::vector<std::int64_t> starts;
    auto addByte = [&](std::int64_t byte) {
        if (byte < 0 || byte % ss != 0) return;
        if (std::find(starts.begin(), starts.end(), byte / ss) == starts.end()) starts.push_back(byte / ss);
    };
    // The journal info block lies journalInfoBlock blocks into the volume.
    if (c.journalInfoBlock && c.journalInfoBlockSector >= 0) {
        for (const auto& copy : c.headerCopies) {
            addByte(c.journalInfoBlockSector * ss -
                    static_cast<std::int64_t>(copy.header.journalInfoBlock) * copy.header.blockSize);
        }
    }
    // A copy read as the primary header: 1,024 bytes into the volume.
    for (const auto& copy : c.headerCopies) addByte(copy.sector * ss + copy.slice - kHeaderOffset);
    // A copy read as the alternate: 1,024 bytes before the volume's end,
    // which may lie up to one block past the last whole allocation block.
    for (const auto& copy : c.headerCopies) {
        const std::int64_t end = copy.sector * ss + copy.slice + kHeaderOffset;
        const std::int64_t blocks = static_cast<std::int64_t>(copy.header.totalBlocks) * copy.header.blockSize;
        for (std::int64_t slack = 0; slack < std::max<std::int64_t>(copy.header.blockSize, 512); slack += 512)
            addByte(end - blocks - slack);
    }
    if (c.index != 0) addByte(c.startSector * ss);

    for (std::int64_t start : starts) {
        // The copy at the primary place first, then the alternate, then the
        // journal's copies in the order met.
        std::vector<const CompleteSearchPatition::HeaderCopy*> order;
        const std::int64_t primary = start * ss + kHeaderOffset;
        for (const auto& copy : c.headerCopies)
            if (copy.sector * ss + copy.slice == primary) order.push_back(&copy);
        for (const auto& copy : c.headerCopies) {
            const std::int64_t at = copy.sector * ss + copy.slice;
            const std::int64_t blocksEnd =
                primary - kHeaderOffset + static_cast<std::int64_t>(copy.header.totalBlocks) * copy.header.blockSize;
            if (at != primary && at + kHeaderOffset >= blocksEnd &&
                at + kHeaderOffset < blocksEnd + copy.header.blockSize)
                order.push_back(&copy);
        }
        for (const auto& copy : c.headerCopies)
            if (std::find(order.begin(), order.end(), &copy) == order.end()) order.push_back(&copy);
        for (const auto* copy : order)
            if (TreesStartAt(start, copy->header)) return {start, copy};
    }
    return {-1, nullptr};
}

bool CHFSPlusCompleteFileSystemSearchController::OpenAndList(CompleteSearchPatition& c, std::int64_t start,
                                                             const CompleteSearchPatition::HeaderCopy& copy) {
    const HFSPlusVolumeHeader& h = copy.header;
    const std::uint64_t size = static_cast<std::uint64_t>(h.totalBlocks) * h.blockSize / m_sectorSize;
    const std::int64_t count = std::min<std::int64_t>(static_cast<std::int64_t>(size), m_totalSectors - start);
    IStorageDevice* device = m_device;
    if (start > 0 || count < m_totalSectors) {
        if (count <= 1) return false;
        c.device.reset(new (std::nothrow) CPartitionVirtualVolumeDevice(m_device, start, count));
        if (!c.device) return false;
        device = c.device.get();
    }
    c.volume.reset(new (std::nothrow) CHFSPlusVolume(device, false, kCandidateCatalogCache, &h));
    if (!c.volume || HFSFailed(c.volume->GetLastError())) {
        c.volume.reset();
        c.device.reset();
        return false;
    }
    // The volume's own header when it has one, else the copy it opened with.
    const std::uint32_t totalBlocks = std::max(c.header->totalBlocks, c.volume->GetVolumeHeader()->totalBlocks);
    *c.header = *c.volume->GetVolumeHeader();
    c.header->totalBlocks = totalBlocks;
    c.resolvedStart = start;
    if (start == 0 && (m_underType == STORAGE_DEVICE_PARTITION || m_underType == STORAGE_DEVICE_VOLUME) && m_bitmap) {
        m_bitmap->CreateBitmap(h.totalBlocks, std::max<std::uint32_t>(1, h.blockSize / m_sectorSize));
    }
    QuickSearchCandidate(c, start);
    return true;
}

bool CHFSPlusCompleteFileSystemSearchController::OpenCandidateVolume(CompleteSearchPatition& c) {
    if (c.volume) return true;
    if (c.headerCopies.size() > c.copiesTried && !c.device) {
        c.copiesTried = c.headerCopies.size();
        // Where the trees confirm a start, the volume is opened there and
        // listed whole, its journal's deleted records included: the walk's
        // own finds (stale journal copies among them) would otherwise stand
        // for the live state.
        const auto [start, copy] = ResolveStart(c);
        if (copy && OpenAndList(c, start, *copy)) {
            c.openTried = true;
            return true;
        }
    }
    const std::int64_t ss = m_sectorSize;
    const HFSPlusVolumeHeader& h = *c.header;
    auto open = [&](IStorageDevice* device) {
        c.volume.reset(new (std::nothrow) CHFSPlusVolume(device, false, kCandidateCatalogCache));
        return c.volume && !HFSFailed(c.volume->GetLastError());
    };
    auto headerAt = [&](std::int64_t start) {
        return c.headerSector * ss + c.headerSlice == start * ss + kHeaderOffset;
    };
    auto window = [&](std::int64_t start, std::int64_t count) -> bool {
        if (start <= 0 || count <= 1) return false;
        c.device.reset(new (std::nothrow) CPartitionVirtualVolumeDevice(m_device, start, count));
        return c.device != nullptr;
    };

    if (c.index != 0) {
        if (c.device) return false;  // opened once and failed
        if (!window(c.startSector, c.sectorCount)) return false;
        if (!open(c.device.get())) {
            c.volume.reset();
            return false;
        }
        if (headerAt(c.startSector) && m_underType == STORAGE_DEVICE_DISK && IsKnownVolumeStart(c.startSector))
            QuickSearchCandidate(c, c.startSector);
        return true;
    }

    if (c.openTried) return c.volume != nullptr;
    c.openTried = true;
    const std::int64_t known = KnownStart(c);
    if (known > 0 && headerAt(known)) {
        // The first candidate only guessed its start (sector 0, or the first
        // place a GPT leaves free); its volume is read where its own header
        // and journal put it, never through the whole disk, or overflow
        // extents, attributes and the journal would be read from the wrong
        // sectors. Its catalog and journal list it as a quick scan would.
        const std::uint64_t size = static_cast<std::uint64_t>(h.totalBlocks) * h.blockSize / m_sectorSize;
        const std::int64_t count = std::min<std::int64_t>(static_cast<std::int64_t>(size), m_totalSectors - known);
        if (window(known, count) && open(c.device.get())) {
            QuickSearchCandidate(c, known);
            return true;
        }
        // The volume kept (even when its open failed) still names files.
        return c.volume != nullptr;
    }
    const bool opened = open(m_device);
    if (opened && headerAt(0)) {
        if ((m_underType == STORAGE_DEVICE_PARTITION || m_underType == STORAGE_DEVICE_VOLUME) && m_bitmap) {
            m_bitmap->CreateBitmap(h.totalBlocks, std::max<std::uint32_t>(1, h.blockSize / m_sectorSize));
        }
        QuickSearchCandidate(c, 0);
    }
    return c.volume != nullptr;
}

void CHFSPlusCompleteFileSystemSearchController::QuickSearchCandidate(CompleteSearchPatition& c,
                                                                      std::int64_t partitionStart) {
    if (!c.volume || !c.header || !m_builder) return;
    CHFSPlusDirectoryTreeBuilder wrapper(m_builder, c.header->blockSize / m_sectorSize, c.index,
                                         static_cast<std::uint64_t>(partitionStart));
    wrapper.SetBitmap(m_bitmap);
    CHFSPlusQuickFileSystemSearchProgress adapter(m_progress, true);
    c.volume->QuickSearchFiles(&wrapper, &adapter);
    c.fileCount += c.header->fileCount;
    c.folderCount += c.header->folderCount;

    const std::uint64_t blockSize = c.header->blockSize;
    const std::uint64_t ss = m_sectorSize;
    auto addRange = [&](std::uint64_t byte, std::uint64_t length) {
        if (length == 0) return;
        const std::uint64_t first = static_cast<std::uint64_t>(partitionStart) + byte / ss;
        const std::uint64_t end = static_cast<std::uint64_t>(partitionStart) + (byte + length + ss - 1) / ss;
        if (first > static_cast<std::uint64_t>(INT64_MAX) || end > static_cast<std::uint64_t>(INT64_MAX)) return;
        c.listedRanges.emplace_back(static_cast<std::int64_t>(first), static_cast<std::int64_t>(end));
    };
    if (CHFSPlusCatalog* catalog = c.volume->GetCatalogTree()) {
        if (CHFSPlusRawfile* file = catalog->GetFile()) {
            for (const auto& e : file->GetExtents()) addRange(e.startBlock * blockSize, e.blockCount * blockSize);
        }
    }
    if (CHFSPlusJournal* journal = c.volume->GetJournal()) {
        if (journal->HasInfoBlock()) addRange(journal->GetInfoBlock().offset, journal->GetInfoBlock().size);
    }
}

void CHFSPlusCompleteFileSystemSearchController::EndSearch(int build) {
    if (!build) return;
    // A volume whose primary header is lost shows its alternate only at its
    // end, after every node of it: it is opened and listed now.
    for (auto& owned : m_candidates) {
        CompleteSearchPatition& c = *owned;
        if (c.header && !c.volume && !c.device && c.headerCopies.size() > c.copiesTried) OpenCandidateVolume(c);
        AddJournalLeftovers(c);
    }
    if (m_builder) m_builder->FlashBuild(SEARCHER_HFSPLUS);
    for (auto& owned : m_candidates) {
        CompleteSearchPatition& c = *owned;
        if (c.fileCount == 0) continue;
        if (c.header) {
            c.sectorCount = static_cast<std::int64_t>(static_cast<std::uint64_t>(c.header->totalBlocks) *
                                                      c.header->blockSize / m_sectorSize);
            c.blockSize = c.header->blockSize;
            // The journal info block says where the volume starts; without
            // one, the primary header does (1,024 bytes in).
            const std::int64_t known = c.resolvedStart >= 0 ? c.resolvedStart : KnownStart(c);
            if (!c.journalInfoBlock || c.journalInfoBlockSector < 0)
                LogDiagnostic("ErrorLine:%d Can't Find Volume Start Sector!\n", 317);
            if (known >= 0) c.startSector = known;
        } else {
            LogDiagnostic("ErrorLine:%d Can't Find Volume Head!\n", 322);
        }
        c.sectorCount =
            std::clamp<std::int64_t>(c.sectorCount, 0, std::max<std::int64_t>(m_totalSectors - c.startSector, 0));
    }
    m_bitmap = nullptr;
}

int CHFSPlusCompleteFileSystemSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** out, int max) {
    const int n = static_cast<int>(m_candidates.size());
    if (max < n || !out) return n;
    int filled = 0;
    for (const auto& owned : m_candidates) {
        const CompleteSearchPatition& c = *owned;
        auto* info = new (std::nothrow) CSearchedPartitionInfo(m_sectorSize);
        if (!info) break;
        info->SetPartitionIndex(static_cast<std::uint16_t>(c.index));
        info->SetStartSector(c.startSector);
        info->SetCluster0Sector(c.startSector);
        info->SetTotalSectors(static_cast<std::uint64_t>(std::max<std::int64_t>(c.sectorCount, 0)));
        info->SetFileSystemType(FILE_SYSTEM_HFSPLUS);
        std::uint32_t perCluster = c.blockSize / info->GetSectorSize();
        if (perCluster == 0) {
            LogDiagnostic("Warn:SectorsperCluster calc Error!\n");
            perCluster = std::max<std::uint32_t>(1, 4096 / info->GetSectorSize());
        }
        info->SetSectorsPerCluster(perCluster);
        out[filled++] = info;
    }
    return filled;
}
