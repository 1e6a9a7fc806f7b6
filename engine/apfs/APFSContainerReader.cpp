#include "apfs/APFSContainerReader.h"

#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>

#include "apfs/APFSFormat.h"
#include "foundation/DataRun.h"
#include "foundation/Log.h"

namespace {
constexpr std::size_t kBufferSize = 128 * 1024;
constexpr int kMaxGenerations = 32;
constexpr std::uint64_t kNearLimit = 4096;
constexpr std::uint64_t kTimeLow = 500000000000000000ull;
constexpr std::uint64_t kTimeHigh = 1873497444986126336ull;
constexpr std::uint64_t kUnset = APFSFileNode::kNoParentKey;
// Object ids below this (the root folder 2, the private folder 3) name the
// same object in every generation, so a record with one is never a copy.
constexpr std::uint64_t kFirstOrdinaryId = 5;
// How far (in blocks) a record may lie from the node it joins, widened for a
// large file whose records spread further.
constexpr std::uint64_t kNearSlack = 256;
// A volume name is read up to its first zero, but never further than this;
// the container's shown name (volume name, "_", index) is cut to fit the
// tree's 4,095-byte names.
constexpr std::size_t kMaxVolumeNameScan = 4000;
constexpr std::size_t kMaxContainerName = 4095;

using byteorder::LE16;
using byteorder::LE32;
using byteorder::LE64;

std::uint64_t Distance(std::uint64_t a, std::uint64_t b) {
    const std::uint32_t x = static_cast<std::uint32_t>(a), y = static_cast<std::uint32_t>(b);
    return x > y ? x - y : y - x;
}

bool IsDSStore(const std::string& stored) {
    return stored.size() == 9 && strncasecmp(stored.c_str(), ".DS_Store", 9) == 0;
}

bool InWindow(std::uint64_t t) { return t >= kTimeLow && t <= kTimeHigh; }

bool IsReservedId(std::uint64_t key) { return (key & 0xFFFFFFFFull) < kFirstOrdinaryId; }
}  // namespace

APFSContainerReader::APFSContainerReader(APFSDelegate* delegate, std::uint32_t containerIndex,
                                         std::uint64_t startSector)
    : m_delegate(delegate),
      m_containerIndex(containerIndex),
      m_buffer(new (std::nothrow) std::uint8_t[kBufferSize]()),
      m_startSector(startSector) {}

APFSContainerReader::~APFSContainerReader() = default;

void APFSContainerReader::SetSectorSize(int sectorSize) {
    if (sectorSize >= 512) m_sectorSize = sectorSize;
}

bool APFSContainerReader::ReadBlock(std::uint64_t block, std::uint8_t* buf, int bytes) {
    if (!m_delegate || !buf) return false;
    return m_delegate->ReadBlocks(this, block, bytes, buf) != 0;
}

int APFSContainerReader::AnalyzeFromContainerSuperblock(std::uint64_t superblock) {
    std::uint8_t* buf = m_buffer.get();
    if (!buf || !ReadBlock(superblock, buf, kAPFSBlockSize)) return -1;
    if (!IsPlausibleObjectHeader(superblock, buf, kAPFSBlockSize)) return -2;
    const std::uint32_t blockSize = LE32(buf + kNXBlockSizeOffset);
    // Every read of one block goes into the work buffer, whose layout
    // (offsets from the block end) assumes 4096-byte blocks.
    if (blockSize != kAPFSBlockSize) return -2;
    m_blockSize = blockSize;
    m_blockCount = LE64(buf + kNXBlockCountOffset);
    std::memcpy(m_uuid, buf + kNXUuidOffset, sizeof m_uuid);
    m_startBlock = m_startSector * static_cast<std::uint64_t>(m_sectorSize) / m_blockSize;
    m_sizeInSectors = m_blockCount * (m_blockSize / static_cast<std::uint64_t>(m_sectorSize));

    std::vector<std::uint64_t> generations;
    std::set<std::uint64_t> walked{0, superblock};
    for (int i = 0; i < kMaxGenerations; ++i) {
        generations.push_back(LE64(buf + kNXObjectMapOffset));
        const std::uint32_t next = LE32(buf + kNXWalkLinkOffset);
        if (!walked.insert(next).second) break;
        ReadBlock(next, buf, kAPFSBlockSize);
    }

    std::vector<std::uint8_t> root(kAPFSBlockSize), volume(kAPFSBlockSize);
    for (std::uint64_t objectMap : generations) {
        if (!ReadBlock(objectMap, root.data(), kAPFSBlockSize)) continue;
        if (!ReadBlock(LE64(root.data() + kOMTreeRootOffset), root.data(), kAPFSBlockSize)) continue;
        if (LE16(root.data() + kObjSubtypeOffset) != kAPFSSubtypeObjectMap) continue;
        APFSNodeHeader node;
        ReadAPFSNodeHeader(root.data(), kAPFSBlockSize, node);
        const std::uint32_t entries = node.keyCount < kAPFSMaxNodeEntries ? node.keyCount : kAPFSMaxNodeEntries;
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::size_t entry = kAPFSNodeTableStart + static_cast<std::size_t>(i) * kFixedEntrySize;
            // A root's values count back from the B-tree info at its end.
            const std::uint64_t v = LE16(root.data() + entry + 2);
            if (v >= kAPFSBlockSize - kAPFSRootTrailer) break;
            const std::uint64_t address =
                LE64(root.data() + kAPFSBlockSize - kAPFSRootTrailer - v + kOMapValueAddressOffset);
            if (address == 0 || address >= m_blockCount) continue;
            if (!ReadBlock(address, volume.data(), kAPFSBlockSize)) continue;
            if (!IsPlausibleObjectHeader(address, volume.data(), kAPFSBlockSize)) continue;
            TakeVolume(volume.data());
        }
        m_laterGeneration = true;
    }
    return 0;
}

int APFSContainerReader::AnalyzeFromVolumeSuperblock(std::uint64_t block) {
    std::vector<std::uint8_t> volume(kAPFSBlockSize);
    if (!ReadBlock(block, volume.data(), kAPFSBlockSize)) return -1;
    if (!IsPlausibleObjectHeader(block, volume.data(), kAPFSBlockSize)) return -2;
    TakeVolume(volume.data());
    m_laterGeneration = true;
    return 0;
}

void APFSContainerReader::TakeVolume(const std::uint8_t* volume) {
    if (m_containerName.empty()) {
        std::size_t n = 0;
        while (kAPSBNameOffset + n < kAPFSBlockSize && volume[kAPSBNameOffset + n] != 0 && n < kMaxVolumeNameScan) ++n;
        m_containerName.assign(reinterpret_cast<const char*>(volume + kAPSBNameOffset), n);
        m_containerName += "_" + std::to_string(m_containerIndex);
        if (m_containerName.size() > kMaxContainerName) m_containerName.resize(kMaxContainerName);
    }
    std::vector<std::uint8_t> objectMap(kAPFSBlockSize);
    if (!ReadBlock(LE64(volume + kAPSBObjectMapOffset), objectMap.data(), kAPFSBlockSize)) return;
    QueueWalk({LE64(objectMap.data() + kOMTreeRootOffset)});
}

void APFSContainerReader::QueueWalk(std::vector<std::uint64_t> start) {
    std::deque<std::uint64_t> queue(start.begin(), start.end());
    std::vector<std::uint8_t> block(kAPFSBlockSize);
    while (!queue.empty()) {
        if (m_delegate && !m_delegate->ShouldContinue()) return;
        const std::uint64_t b = queue.front();
        queue.pop_front();
        if (!m_visited.insert(b).second) continue;
        if (!ReadBlock(b, block.data(), kAPFSBlockSize)) continue;
        if (!IsPlausibleObjectHeader(b, block.data(), kAPFSBlockSize)) continue;
        const std::uint16_t subtype = LE16(block.data() + kObjSubtypeOffset);
        if (subtype == kAPFSSubtypeFsTree) {
            HandleRecords(block.data(), b);
        } else if (subtype == kAPFSSubtypeObjectMap) {
            const std::uint16_t flags = LE16(block.data() + kNodeFlagsOffset);
            if (flags & kNodeFixed && flags <= (kNodeFixed | kNodeLeaf | kNodeRoot)) {
                std::vector<std::uint64_t> children;
                CollectObjectMapChildren(block.data(), kAPFSBlockSize, children);
                queue.insert(queue.end(), children.begin(), children.end());
            } else {
                LogDiagnostic("!!!!Please notify to Watch this%d.!!!!\n", 225);
            }
        }
    }
}

void APFSContainerReader::ScanBlock(std::uint64_t sector, std::uint64_t block, const std::uint8_t* data) {
    if (!data) return;
    APFSObjectHeader h;
    ReadAPFSObjectHeader(data, kAPFSBlockSize, h);
    if (m_containerIndex != 0 &&
        (sector < m_startSector || sector - m_startSector > m_sizeInSectors || h.oid > m_blockCount))
        return;
    if (block < m_startBlock) return;
    const std::uint64_t relative = block - m_startBlock;
    if (h.typeFlags == kAPFSTypeFlagPhysical && h.oid != relative) return;
    if (h.oid == 0 || h.oid >= m_blockCount || h.type != kAPFSTypeBTreeNode || h.subtype != kAPFSSubtypeFsTree) return;
    if (m_visited.count(relative)) return;
    APFSNodeHeader node;
    if (!ReadAPFSNodeHeader(data, kAPFSBlockSize, node) || node.keyCount >= kAPFSMaxNodeEntries) return;
    HandleRecords(data, block);
}

void APFSContainerReader::HandleRecords(const std::uint8_t* node, std::uint64_t block) {
    ReadFsTreeRecords(node, kAPFSBlockSize, [&](const APFSRecord& r) {
        HandleRecord(r, block);
        return true;
    });
}

void APFSContainerReader::HandleRecord(const APFSRecord& r, std::uint64_t block) {
    if (r.kind == kAPFSKindExtent)
        HandleExtent(r, block);
    else
        HandleNamed(r, block);
}

void APFSContainerReader::HandleExtent(const APFSRecord& r, std::uint64_t block) {
    const std::uint64_t key = Key(r.oid);
    bool matched = false;
    APFSFileNode* taken = Nearest(m_files, key, block, true, matched, [](APFSFileNode* n) {
        return n->ParentKey() == kUnset && IsReservedId(n->OwnKey()) ? Pick::Take : Pick::Measure;
    });
    if (!taken) taken = NewNode(m_files, key, kUnset, -1, std::string(), nullptr, block);
    if (!taken) return;
    taken->SetBlock(block);
    const std::uint64_t ss = static_cast<std::uint64_t>(m_sectorSize);
    // Block numbers and lengths come from disk: keep the sector arithmetic in range.
    if (r.physicalBlock < (1ull << 48) && r.length < (1ull << 48))
        taken->AddExtent(r.physicalBlock * m_blockSize / ss, (r.length + ss - 1) / ss, m_sectorSize, r.logicalOffset);
    AfterRecord(taken);
}

void APFSContainerReader::HandleNamed(const APFSRecord& r, std::uint64_t block) {
    if (!r.hasName && r.kind == kAPFSKindDirRecord) return;
    if (IsDSStore(r.name)) return;
    const bool inode = r.kind == kAPFSKindInode;
    const bool folder = r.IsFolder();
    const std::uint64_t ownKey = Key(inode ? r.dataStreamId : r.childId);
    const std::uint64_t parentKey = Key(inode ? r.parentId : (r.parentId & 0xFFFFFFFFull));
    const std::uint64_t created = inode ? r.createTime : r.dateAdded;
    // The name as it will be shown, through the node's name rule.
    APFSFileNode shown;
    std::string stored = r.name;
    stored.push_back('\0');
    shown.SetName(stored.data(), stored.size());
    const std::string name = shown.Name();
    NodeMap& map = folder ? m_folders : m_files;

    bool matched = false;
    APFSFileNode* nearest = Nearest(map, ownKey, block, true, matched, [&](APFSFileNode* n) {
        if (n->ParentKey() == parentKey && (IsReservedId(n->OwnKey()) || name.find(n->Name()) != std::string::npos))
            return Pick::Take;
        return created != 0 && n->CreateTimeNs() == created ? Pick::Prefer : Pick::Measure;
    });
    APFSFileNode* node = matched ? nearest : nullptr;
    if (matched) nearest = nullptr;
    if (!node && !folder && nearest && nearest->ParentKey() == kUnset) {
        node = nearest;
        node->SetParentKey(parentKey);
        node->SetParentNodeID(static_cast<std::int64_t>(parentKey));
    }
    if (!node) node = NewNode(map, ownKey, parentKey, folder ? 1 : 0, name, nearest, block);
    if (!node) return;
    node->SetBlock(block);
    if (!(node->Flags() & APFSFileNode::kFlagHandedOver) && !node->ParentFolder() && node->ParentKey() != kUnset &&
        (folder || (inode && !m_laterGeneration)))
        LinkToParent(node, block);

    if (inode) {
        if (r.hasSize && r.size != 0 &&
            (node->GetFileSize() == 0 || (node->Name() == name && node->CreateTimeNs() == created &&
                                          static_cast<std::uint64_t>(node->GetFileSize()) < r.size)))
            node->SetSize(r.size);
        if (node->Name().empty()) node->SetName(stored.data(), stored.size());
        if (node->CreateTimeNs() == 0) {
            std::uint64_t c = 0;
            for (std::uint64_t t : {r.createTime, r.modifyTime, r.changeTime})
                if (InWindow(t)) {
                    c = t;
                    break;
                }
            node->SetTimes(c, r.changeTime, r.accessTime);
        }
        node->SetFolder(folder);
    } else if (m_containerIndex == 0 || r.childId != 2) {
        if (node->Name().empty()) {
            node->SetFolder(folder);
            node->SetName(stored.data(), stored.size());
            node->SetTimes(r.dateAdded, r.dateAdded, 0);
        }
    } else {
        node->SetParentNodeID(2);
        if (!m_containerName.empty()) node->SetName(m_containerName.data(), m_containerName.size());
    }
    AfterRecord(node);
}

APFSFileNode* APFSContainerReader::NewNode(NodeMap& map, std::uint64_t key, std::uint64_t parentKey, int folder,
                                           const std::string& name, APFSFileNode* nearest, std::uint64_t block) {
    std::unique_ptr<APFSFileNode> node(new (std::nothrow) APFSFileNode());
    if (!node) return nullptr;
    std::string shownName = name;
    long long dead = 0;
    if (nearest && std::sscanf(name.c_str(), "0x%lld", &dead) == 1)
        shownName = nearest->Name() + "-" + std::to_string(dead);
    if (folder >= 0) node->SetFolder(folder != 0);
    const bool taken = map.count(key) != 0;
    node->SetNodeId(static_cast<std::int64_t>(taken ? m_nextUniqueId++ : key));
    node->SetBelongedPartition(static_cast<std::uint16_t>(m_containerIndex));
    node->SetKeys(key, parentKey);
    node->SetParentNodeID(static_cast<std::int64_t>(parentKey));
    node->SetBlock(block);
    // The name is already through the name rule: store it as it stands.
    if (!shownName.empty()) {
        std::string withZero = shownName;
        withZero.push_back('\0');
        node->SetName(withZero.data(), withZero.size());
    }
    if (m_containerIndex != 0 || m_laterGeneration) node->MarkDeleted();
    if (taken) {
        auto last = std::prev(map.upper_bound(key));
        node->CopyExtentsFrom(*last->second);
    }
    APFSFileNode* raw = node.get();
    m_nodes.push_back(std::move(node));
    map.emplace(key, raw);
    return raw;
}

template <typename Judge>
APFSFileNode* APFSContainerReader::Nearest(NodeMap& map, std::uint64_t key, std::uint64_t block, bool bounded,
                                           bool& matched, Judge judge) {
    matched = false;
    APFSFileNode* nearest = nullptr;
    std::uint64_t limit = bounded ? kNearLimit : ~0ull, best = ~0ull;
    auto range = map.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
        APFSFileNode* n = it->second;
        const Pick pick = judge(n);
        if (pick == Pick::Take) {
            matched = true;
            return n;
        }
        if (pick == Pick::Prefer) {
            nearest = n;
            best = 0;
            continue;
        }
        if (bounded) {
            const std::uint64_t units = static_cast<std::uint64_t>(n->GetFileSize()) / kAPFSBlockSize;
            if (limit > kNearSlack && units > limit - kNearSlack) limit = units + kNearSlack;
        }
        const std::uint64_t d = Distance(block, n->Block());
        if (d < limit && d < best) {
            best = d;
            nearest = n;
        }
    }
    return nearest;
}

APFSFileNode* APFSContainerReader::NearestFolder(std::uint64_t key, std::uint64_t block) {
    bool matched = false;
    return Nearest(m_folders, key, block, false, matched, [](APFSFileNode*) { return Pick::Measure; });
}

void APFSContainerReader::LinkToParent(APFSFileNode* node, std::uint64_t block) {
    APFSFileNode* folder = NearestFolder(node->ParentKey(), block);
    // A folder is never linked under itself or under one of its own children.
    for (APFSFileNode* up = folder; up; up = up->ParentFolder())
        if (up == node) {
            folder = nullptr;
            break;
        }
    if (folder)
        APFSFileNode::LinkUnderFolder(folder, node);
    else
        node->SetParentNodeID(static_cast<std::int64_t>(node->ParentKey()));
}

void APFSContainerReader::AfterRecord(APFSFileNode* node) {
    if (node->Flags() & APFSFileNode::kFlagHandedOver) return;
    if (node->ReadyToHandOver(false))
        HandOver(node);
    else
        m_pending.insert(node);
}

void APFSContainerReader::HandOver(APFSFileNode* node) {
    node->SetFlags(APFSFileNode::kFlagHandedOver);
    m_pending.erase(node);
    if (m_delegate) m_delegate->AddFileNode(node);
}

void APFSContainerReader::FlushNodes(std::uint64_t upToBlock) {
    const bool final = upToBlock == ~0ull;
    std::vector<APFSFileNode*> pending(m_pending.begin(), m_pending.end());
    for (APFSFileNode* node : pending) {
        if (node->Flags() & APFSFileNode::kFlagHandedOver) {
            m_pending.erase(node);
            continue;
        }
        if (!node->ParentFolder() && node->GetParentNodeID() != -1) {
            node->SetParentKey(static_cast<std::uint64_t>(node->GetParentNodeID()));
            LinkToParent(node, upToBlock);
        }
        if (!node->ReadyToHandOver(final)) continue;
        if (!(node->Flags() & APFSFileNode::kFlagFolder) && !node->GetDataRunList()) {
            auto range = m_files.equal_range(node->OwnKey());
            for (auto it = range.first; it != range.second; ++it)
                if (it->second != node && it->second->GetDataRunList() &&
                    it->second->CreateTimeNs() == node->CreateTimeNs()) {
                    node->CopyExtentsFrom(*it->second);
                    break;
                }
        }
        HandOver(node);
    }
}
