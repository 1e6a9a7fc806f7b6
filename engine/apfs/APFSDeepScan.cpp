#include "apfs/APFSDeepScan.h"

#include <cstring>
#include <new>

#include "apfs/APFSFormat.h"
#include "foundation/DirectoryTree.h"
#include "foundation/Progress.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"
#include "storage/DeviceWithCache.h"

namespace {
constexpr std::int64_t kRootFolderId = 2;
// Block numbers handed to ReadBlocks come from disk; beyond this the sector
// arithmetic could overflow, and no device is that large.
constexpr std::uint64_t kMaxBlock = 1ull << 50;
constexpr std::uint64_t kAllBlocks = ~0ull;
// Descriptor areas are a few dozen blocks; a larger one is read no further
// than this when looking for a lost block 0's newest copy.
constexpr std::uint32_t kMaxDescriptorBlocks = 1024;

// The plausible-object test done in place: the type and subtype words first
// (they fail on almost every block of file data), then the object id.
inline bool PlausibleInPlace(const std::uint8_t* p) {
    if (p[25] != 0 || p[24] > 31 || p[29] != 0 || p[28] > 31) return false;
    for (int i = 8; i < 16; ++i)
        if (p[i] != 0) return true;
    return false;
}

// A container superblock: object id 1, the container type and its magic.
bool IsContainerSuperblock(const std::uint8_t* p) {
    return byteorder::LE64(p + kObjOidOffset) == 1 && byteorder::LE16(p + kObjTypeOffset) == kAPFSTypeContainer &&
           byteorder::LE32(p + kSuperblockMagicOffset) == kAPFSContainerMagic;
}
}  // namespace

APFSDeepScan::APFSDeepScan() : m_buffer(new (std::nothrow) std::uint8_t[kBufferSize]()) {}

APFSDeepScan::~APFSDeepScan() = default;

void APFSDeepScan::SetDevice(IStorageDevice* device) {
    m_device = device;
    if (!device) return;
    const std::uint32_t size = device->GetSectorSize();
    m_sectorSize = size >= 1 && size <= (1u << 20) ? static_cast<int>(size) : 512;
}

bool APFSDeepScan::ShouldContinue() {
    if (!m_progress) return true;
    if (m_progress->Continued() != 0) return true;
    m_stopped = true;
    return false;
}

void APFSDeepScan::AddFileNode(APFSFileNode* node) {
    if (node && m_builder) m_builder->AddNode(node, SEARCHER_APFS);
}

int APFSDeepScan::ReadBlocks(APFSContainerReader* reader, std::uint64_t block, int bytes, std::uint8_t* buffer) {
    if (!m_device || !buffer || bytes <= 0 || !BlocksFitSectors()) return 0;
    const std::uint64_t ss = static_cast<std::uint64_t>(m_sectorSize);
    if (static_cast<std::uint64_t>(bytes) % ss != 0 || block >= kMaxBlock) return 0;
    const std::uint64_t start = reader ? reader->GetStartSector() : 0;
    const std::uint64_t sector = start + block * kAPFSBlockSize / ss;
    if (start >= kMaxBlock * 8 || sector >= (1ull << 62)) return 0;
    return m_device->ReadSector(buffer, static_cast<std::int64_t>(sector),
                                static_cast<std::int64_t>(static_cast<std::uint64_t>(bytes) / ss));
}

APFSContainerReader* APFSDeepScan::AddReader(std::uint64_t key, std::uint32_t index, std::uint64_t startSector) {
    std::unique_ptr<APFSContainerReader> reader(new (std::nothrow) APFSContainerReader(this, index, startSector));
    if (!reader) return nullptr;
    reader->SetSectorSize(m_sectorSize);
    if (m_readers.empty() && m_builder) m_builder->AddSearcherInfo(SEARCHER_APFS, kRootFolderId);
    APFSContainerReader* raw = reader.get();
    m_readers.emplace(key, std::move(reader));
    return raw;
}

bool APFSDeepScan::TryContainerSuperblock(std::uint64_t sector, const std::uint8_t* data) {
    if (!data) return false;
    if (!IsContainerSuperblock(data) || byteorder::LE32(data + kNXBlockSizeOffset) != kAPFSBlockSize) return false;
    for (const auto& [key, reader] : m_readers) {
        if (sector - reader->GetStartSector() < reader->GetSizeInSectors() &&
            std::memcmp(reader->GetUuid(), data + kNXUuidOffset, 16) == 0)
            return true;  // a checkpoint copy of a container already known
    }
    // Met again (a block tested at the end of one range and again at the
    // start of the next) by a reader that could not read it: one is enough.
    if (m_readers.count(sector) || m_readers.size() >= kMaxContainers) return true;
    std::uint64_t start = sector, superblock = 0;
    FindContainerStart(sector, data, start, superblock);
    APFSContainerReader* reader = AddReader(sector, static_cast<std::uint32_t>(m_readers.size()), start);
    if (reader) reader->AnalyzeFromContainerSuperblock(superblock);
    return true;
}

bool APFSDeepScan::ReadDeviceBlock(std::uint64_t sector, std::vector<std::uint8_t>& block) {
    const std::int64_t total = m_device->GetTotalSectors();
    const std::uint64_t count = kAPFSBlockSize / static_cast<std::uint64_t>(m_sectorSize);
    block.assign(kAPFSBlockSize, 0);
    if (total <= 0 || sector >= static_cast<std::uint64_t>(total) || count > static_cast<std::uint64_t>(total) - sector)
        return false;
    return m_device->ReadSector(block.data(), static_cast<std::int64_t>(sector), static_cast<std::int64_t>(count)) != 0;
}

bool APFSDeepScan::IsCheckpointObject(std::uint64_t sector, std::uint16_t type, std::uint64_t xid, std::uint64_t oid,
                                      std::vector<std::uint8_t>& block) {
    if (!ReadDeviceBlock(sector, block)) return false;
    const std::uint8_t* p = block.data();
    return byteorder::LE64(p + kObjOidOffset) == oid && byteorder::LE64(p + kObjXidOffset) == xid &&
           byteorder::LE16(p + kObjTypeOffset) == type;
}

void APFSDeepScan::FindContainerStart(std::uint64_t sector, const std::uint8_t* data, std::uint64_t& start,
                                      std::uint64_t& superblock) {
    // A superblock met in the scan is block 0 of its container or one of the
    // checkpoint copies in the container's descriptor area. On a lost
    // partition block 0 is often overwritten; the first superblock met is then
    // a copy, and the container starts as many blocks before it as the copy's
    // own checkpoint fields place it. Block 0 is itself a copy of the newest
    // checkpoint's superblock, which the area still holds: that tells them
    // apart. Anything that does not fit keeps the superblock as block 0.
    const std::uint64_t blockCount = byteorder::LE64(data + kNXBlockCountOffset);
    const std::uint32_t descBlocks = byteorder::LE32(data + kNXDescBlocksOffset);
    const std::uint64_t descBase = byteorder::LE64(data + kNXDescBaseOffset);
    const std::uint32_t descIndex = byteorder::LE32(data + kNXDescIndexOffset);
    const std::uint32_t descLength = byteorder::LE32(data + kNXDescLengthOffset);
    const std::uint64_t xid = byteorder::LE64(data + kObjXidOffset);
    // A descriptor area kept in a B-tree (top bit) is not addressed this way.
    if (descBlocks == 0 || descBlocks > kMaxDescriptorBlocks || descLength < 2 || descLength > descBlocks ||
        descIndex >= descBlocks || descBase == 0 || blockCount > kMaxBlock || descBase >= blockCount ||
        blockCount - descBase < descBlocks)
        return;
    const std::uint64_t perBlock = kAPFSBlockSize / static_cast<std::uint64_t>(m_sectorSize);
    const std::uint64_t own = descBase + (static_cast<std::uint64_t>(descIndex) + descLength - 1) % descBlocks;
    const std::uint64_t map = descBase + (static_cast<std::uint64_t>(descIndex) + descLength - 2) % descBlocks;
    std::vector<std::uint8_t> block;
    const auto sameContainer = [&] { return std::memcmp(block.data() + kNXUuidOffset, data + kNXUuidOffset, 16) == 0; };
    if (IsCheckpointObject(sector + own * perBlock, kAPFSTypeContainer, xid, 1, block) && sameContainer())
        return;  // met at block 0
    if (sector < own * perBlock) return;
    const std::uint64_t candidate = sector - own * perBlock;
    // The checkpoint's map lies just before its superblock, with the same
    // transaction: a lone block that looks like a copy is not enough.
    if (!IsCheckpointObject(candidate + map * perBlock, kAPFSTypeCheckpointMap, xid, map, block)) return;
    start = candidate;
    superblock = own;
    // Read the container from the newest superblock in the area, as block 0
    // would have given it.
    std::uint64_t newest = xid;
    for (std::uint64_t b = descBase; b < descBase + descBlocks && ShouldContinue(); ++b) {
        if (b == own || !ReadDeviceBlock(candidate + b * perBlock, block)) continue;
        const std::uint64_t x = byteorder::LE64(block.data() + kObjXidOffset);
        if (IsContainerSuperblock(block.data()) && sameContainer() && x > newest) {
            newest = x;
            superblock = b;
        }
    }
}

bool APFSDeepScan::TryVolumeSuperblock(std::uint64_t sector, const std::uint8_t* data) {
    if (!data || !m_readers.empty() || byteorder::LE32(data + kSuperblockMagicOffset) != kAPFSVolumeMagic) return false;
    APFSContainerReader* reader = AddReader(sector, 0, 0);
    if (!reader) return true;
    const std::int64_t total = m_device ? m_device->GetTotalSectors() : 0;
    reader->SetSizeInSectors(total > 0 ? static_cast<std::uint64_t>(total) : 0);
    reader->AnalyzeFromVolumeSuperblock(sector * static_cast<std::uint64_t>(m_sectorSize) / kAPFSBlockSize);
    return true;
}

void APFSDeepScan::TestBlock(std::uint64_t block, const std::uint8_t* data) {
    const std::uint64_t sector = block * kAPFSBlockSize / static_cast<std::uint64_t>(m_sectorSize);
    if (TryContainerSuperblock(sector, data) || TryVolumeSuperblock(sector, data)) return;
    for (const auto& [key, reader] : m_readers) {
        if (!ShouldContinue()) return;
        // A block beyond a container's span is not its own, even when the
        // reader's own test (which spares the first container) would take it:
        // a later container's nodes would otherwise be read against this
        // container's start.
        if (sector - reader->GetStartSector() >= reader->GetSizeInSectors()) continue;
        reader->ScanBlock(sector, block, data);
    }
}

void APFSDeepScan::AnalyzeBlock(std::int64_t firstSector, std::int64_t sectorCount) {
    if (!m_device || !m_buffer || firstSector < 0 || sectorCount <= 0 || !BlocksFitSectors()) return;
    const std::uint64_t ss = static_cast<std::uint64_t>(m_sectorSize);
    const std::uint64_t first = static_cast<std::uint64_t>(firstSector);
    const std::uint64_t count = static_cast<std::uint64_t>(sectorCount);
    if (first >= kMaxBlock || count >= kMaxBlock) return;
    const std::uint64_t firstBlock = first * ss / kAPFSBlockSize;
    const std::uint64_t endBlock = (first + count) * ss / kAPFSBlockSize;
    const std::uint64_t sectorsPerBlock = kAPFSBlockSize / ss;
    const std::int64_t total = m_device->GetTotalSectors();
    const std::uint64_t deviceSectors = total > 0 ? static_cast<std::uint64_t>(total) : 0;
    constexpr std::size_t kGroupBytes = static_cast<std::size_t>(kGroupBlocks) * kAPFSBlockSize;

    m_stopped = false;
    if (!ShouldContinue()) return;
    for (std::uint64_t b = firstBlock; b < endBlock && !m_stopped; b += kGroupBlocks) {
        // The group may run past the end of the device (the last range is
        // rarely a multiple of 64 KiB): read what the device holds and test
        // the rest as zeros, so that the blocks of the tail are still seen.
        const std::uint64_t sector = b * sectorsPerBlock;
        if (sector >= deviceSectors) break;
        const std::uint64_t want = kGroupBytes / ss;
        const std::uint64_t have = deviceSectors - sector < want ? deviceSectors - sector : want;
        // A whole group inside the cache's current block is tested where it lies.
        const std::uint8_t* group = have == want ? ViewOfCachedSectors(m_device, static_cast<std::int64_t>(sector),
                                                                       static_cast<std::int64_t>(have))
                                                 : nullptr;
        if (group == nullptr) {
            if (have < want) std::memset(m_buffer.get() + have * ss, 0, kGroupBytes - have * ss);
            if (!m_device->ReadSector(m_buffer.get(), static_cast<std::int64_t>(sector),
                                      static_cast<std::int64_t>(have)))
                continue;
            group = m_buffer.get();
        }
        if (!ShouldContinue()) break;
        for (int j = 0; j < kGroupBlocks && !m_stopped; ++j) {
            const std::uint8_t* data = group + static_cast<std::size_t>(j) * kAPFSBlockSize;
            if (PlausibleInPlace(data)) TestBlock(b + static_cast<std::uint64_t>(j), data);
        }
    }
    for (const auto& [key, reader] : m_readers) {
        if (m_stopped || !ShouldContinue()) break;
        reader->FlushNodes(endBlock);
    }
}

void APFSDeepScan::EndSearch(int build) {
    if (build == 0 || m_readers.empty()) return;
    for (const auto& [key, reader] : m_readers) reader->FlushNodes(kAllBlocks);
    if (!m_builder) return;
    m_builder->SetPartitonDevice(nullptr, m_device);
    m_builder->FlashBuild(SEARCHER_APFS);
}

int APFSDeepScan::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
    if (!array || capacity < 1 || m_readers.empty()) return 0;
    int count = 0;
    for (const auto& [key, reader] : m_readers) {
        if (count >= capacity) break;
        auto* info = new (std::nothrow) CSearchedPartitionInfo(static_cast<std::uint32_t>(m_sectorSize));
        if (!info) break;
        const std::int64_t start = static_cast<std::int64_t>(reader->GetStartSector());
        // The nodes carry their container's index and the writer finds their
        // record by it; blocks come in ascending order, so it is also the
        // record's position.
        info->SetPartitionIndex(static_cast<std::uint16_t>(reader->GetContainerIndex()));
        info->SetFileSystemType(FILE_SYSTEM_APFS);
        info->SetSectorsPerCluster(1);
        info->SetStartSector(start);
        // Extents count in sectors from the container's first sector.
        info->SetCluster0Sector(start);
        info->SetTotalSectors(reader->GetSizeInSectors());
        array[count++] = info;
    }
    return count;
}

const APFSContainerReader* APFSDeepScan::ReaderAt(std::size_t position) const {
    for (const auto& [key, reader] : m_readers)
        if (position-- == 0) return reader.get();
    return nullptr;
}
