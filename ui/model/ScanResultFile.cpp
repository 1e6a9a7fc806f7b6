#include "model/ScanResultFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <new>

#include "foundation/ByteOrder.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"
#include "hfsplus/HFSPlusCompressFileReader.h"
#include "hfsplus/HFSPlusVolume.h"
#include "recovery/CompressFileReader.h"
#include "recovery/DeletedRecoveryController.h"
#include "storage/PartitionDevice.h"

namespace scanresult {

namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    const std::size_t at = out.size();
    out.resize(at + 2);
    byteorder::PutLE16(out.data() + at, v);
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const std::size_t at = out.size();
    out.resize(at + 4);
    byteorder::PutLE32(out.data() + at, v);
}

void Put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    const std::size_t at = out.size();
    out.resize(at + 8);
    byteorder::PutLE64(out.data() + at, v);
}

void PutBytes(std::vector<std::uint8_t>& out, const void* data, std::size_t length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), p, p + length);
}

// A name longer than the format allows is cut at the limit rather than
// written as a record no reader accepts.
void PutText(std::vector<std::uint8_t>& out, const char* text, std::uint32_t limit) {
    const std::size_t length = text != nullptr ? std::strlen(text) : 0;
    const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(length, limit));
    Put32(out, n);
    if (n != 0) PutBytes(out, text, n);
}

struct WriteFailed {};

// The container's writes report failure by result or by exception; either
// ends the save.
void Write(IRSData& rs, const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty()) return;
    if (!rs.WriteCurFrame(bytes.data(), static_cast<unsigned>(bytes.size()))) throw WriteFailed{};
}

// Reading: every count is checked against what the open frame still holds.
bool Need(IRSData& rs, std::uint64_t bytes) { return rs.GetFrameRemaining() >= bytes; }

bool ReadExact(IRSData& rs, void* out, std::uint32_t length) {
    if (!Need(rs, length)) return false;
    return rs.ReadCurFrame(out, length);
}

bool Read32(IRSData& rs, std::uint32_t& v) {
    std::uint8_t raw[4];
    if (!ReadExact(rs, raw, 4)) return false;
    v = byteorder::LE32(raw);
    return true;
}

bool Read64(IRSData& rs, std::uint64_t& v) {
    std::uint8_t raw[8];
    if (!ReadExact(rs, raw, 8)) return false;
    v = byteorder::LE64(raw);
    return true;
}

bool ReadText(IRSData& rs, std::uint32_t limit, std::string& out) {
    std::uint32_t length = 0;
    if (!Read32(rs, length) || length > limit || !Need(rs, length)) return false;
    out.assign(length, '\0');
    return length == 0 || rs.ReadCurFrame(out.data(), length);
}

bool KnownSearcher(std::uint32_t type) { return type >= SEARCHER_HFSPLUS && type <= SEARCHER_APFS; }

}  // namespace

const char* DescribeResult(int code, bool saving) {
    switch (code) {
    case kResultOk:
        return saving ? "saved" : "restored";
    case kResultNoContainer:
        return "the scan-result container could not be created";
    case kResultNotOpened:
        return saving ? "the file could not be written" : "the file could not be opened";
    case kResultBadHeader:
        return "not a scan-result file, or its header is damaged";
    case kResultNoControllerFrame:
        return "the scan-result file has no valid scan record";
    case kResultBadDeviceFrame:
        return "the scan-result file has no valid device record";
    case kResultQvxNotFound:
        return "the QVX image the result was saved from was not found";
    case kResultDeviceNotFound:
        return "the device the result was saved from was not found";
    case kResultNodesDamaged:
        return "the stored nodes are damaged";
    default:
        return "unknown error";
    }
}

void AppendNodeRecord(std::vector<std::uint8_t>& out, IFileNode* node) {
    auto* base = dynamic_cast<CFileNode*>(node);
    Put64(out, static_cast<std::uint64_t>(node->GetCurrentNodeID()));
    Put64(out, static_cast<std::uint64_t>(node->GetParentNodeID()));
    Put64(out, static_cast<std::uint64_t>(node->GetFileSize()));
    Put16(out, static_cast<std::uint16_t>(node->GetAttribute()));
    Put64(out, static_cast<std::uint64_t>(node->GetCreationTime()));
    Put64(out, static_cast<std::uint64_t>(node->GetModificationTime()));
    Put64(out, static_cast<std::uint64_t>(node->GetLastAccessTime()));
    Put32(out, node->IsDirectory() ? 1 : 0);
    Put32(out, node->IsDeleted() ? 1 : 0);
    IDataRunList* runs = base != nullptr ? base->GetDataRunList() : nullptr;
    const std::size_t countAt = out.size();
    Put32(out, 0);
    Put32(out, runs != nullptr && runs->IsResident() ? 1 : 0);
    std::uint32_t count = 0;
    if (runs != nullptr) {
        CDataRunWalker walk(runs);
        for (const DataRun* run = walk.First(); run != nullptr && count < kMaxRuns; run = walk.Next(), ++count) {
            Put64(out, static_cast<std::uint64_t>(run->start));
            Put64(out, static_cast<std::uint64_t>(run->length));
        }
    }
    byteorder::PutLE32(out.data() + countAt, count);
    PutText(out, node->GetFileName(), kMaxNameLength);
    Put32(out, node->IsNodeShow() ? 1 : 0);
    Put16(out, base != nullptr ? base->GetBelongedPartition() : CFileNode::kNoPartition);
    Put64(out, base != nullptr ? static_cast<std::uint64_t>(base->GetMetadataStartPosition()) : ~0ull);
    Put32(out, node->IsCompressed() ? 1 : 0);
}

void AppendVolumeRecord(std::vector<std::uint8_t>& out, IFileNode* root, std::uint32_t searcherType,
                        const std::string& volumeName) {
    AppendNodeRecord(out, root);
    Put32(out, searcherType);
    PutText(out, volumeName.c_str(), kMaxVolumeName);
}

std::string PartitionKey(std::uint32_t searcherType, const CSearchedPartitionInfo& partition) {
    std::uint8_t image[CSearchedPartitionInfo::kImageSize];
    partition.WriteImage(image);
    std::string key(4, '\0');
    byteorder::PutLE32(key.data(), searcherType);
    key.append(reinterpret_cast<const char*>(image) + 16, sizeof image - 16);
    return key;
}

void AppendPartitionEntry(std::vector<std::uint8_t>& out, const CSearchedPartitionInfo& partition, std::uint32_t kind) {
    Put32(out, kind);
    std::uint8_t image[CSearchedPartitionInfo::kImageSize];
    partition.WriteImage(image);
    // Bytes 8-15 hold a word some searchers fill with a pointer: meaningless
    // in a file, and it would make every save differ.
    std::memset(image, 0, 16);
    PutBytes(out, image, sizeof image);
}

int WriteScanResult(const char* path, const StoredHead& head, const std::vector<VolumeToSave>& volumes,
                    const std::function<void()>& step) {
    if (path == nullptr || *path == '\0') return kResultNotOpened;
    auto tick = [&step] {
        if (step) step();
    };
    CRSData rs(RSMODE_WRITE);
    if (!rs.StartRS(path, 1)) return kResultNotOpened;
    bool ok = true;
    try {
        tick();
        FILEHEADER header;
        header.status = kFileStatus;
        if (!rs.WriteFileHeader(header)) throw WriteFailed{};
        tick();

        std::vector<std::uint8_t> buffer;
        rs.OpenFrame(kControllerFrameId);
        Put32(buffer, kControllerLength);
        Put32(buffer, head.controllerType);
        Put32(buffer, head.deep);
        Write(rs, buffer);
        rs.CloseFrame();
        tick();

        const StoredDevice& d = head.device;
        buffer.clear();
        rs.OpenFrame(kDeviceFrameId);
        Put64(buffer, d.size);
        Put32(buffer, static_cast<std::uint32_t>(d.diskIndex));
        Put32(buffer, static_cast<std::uint32_t>(d.volumeIndex));
        Put32(buffer, static_cast<std::uint32_t>(d.fileSystem));
        PutText(buffer, d.name.c_str(), kMaxDeviceName);
        const bool dmg = d.dmg && d.dmgRecord.size() == kDmgRecordSize;
        Put32(buffer, dmg ? 1 : 0);
        Put32(buffer, dmg ? kDmgRecordSize : kNone);
        if (dmg) PutBytes(buffer, d.dmgRecord.data(), kDmgRecordSize);
        const bool qvx = d.qvx && d.qvxRecord.size() == kQvxRecordSize;
        Put32(buffer, qvx ? 1 : 0);
        Put32(buffer, qvx ? kQvxRecordSize : kNone);
        if (qvx) PutBytes(buffer, d.qvxRecord.data(), kQvxRecordSize);
        Write(rs, buffer);
        rs.CloseFrame();
        tick();

        rs.OpenFrame(kNodeFrameId);
        buffer.clear();
        Put64(buffer, volumes.size());
        Write(rs, buffer);
        std::deque<IFileNode*> queue;
        for (const VolumeToSave& volume : volumes) {
            buffer.clear();
            Put32(buffer, kEntryMark);
            AppendVolumeRecord(buffer, volume.root, volume.searcherType, volume.volumeName);
            const std::size_t partitions = std::min<std::size_t>(volume.partitions.size(), kMaxPartitions);
            Put32(buffer, static_cast<std::uint32_t>(partitions));
            for (std::size_t i = 0; i < partitions; ++i) {
                const CSearchedPartitionInfo& p = *volume.partitions[i];
                AppendPartitionEntry(
                    buffer, p, i < volume.kinds.size() ? volume.kinds[i] : static_cast<std::uint32_t>(p.GetType()));
            }
            Write(rs, buffer);
            tick();
            if (partitions != 0) {
                // Breadth first: a parent's record always comes before its
                // children's.
                queue.clear();
                queue.push_back(volume.root);
                while (!queue.empty()) {
                    IFileNode* folder = queue.front();
                    queue.pop_front();
                    for (IFileNode* child = folder->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
                        if (child->IsDirectory()) queue.push_back(child);
                        buffer.clear();
                        Put32(buffer, kNodeMark);
                        AppendNodeRecord(buffer, child);
                        Write(rs, buffer);
                        tick();
                    }
                }
            }
            buffer.clear();
            Put32(buffer, kNone);
            Write(rs, buffer);
            tick();
        }
        rs.CloseFrame();
    } catch (const CRSException&) {
        ok = false;
    } catch (const WriteFailed&) {
        ok = false;
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    ok = rs.EndRS() && ok;
    if (!ok) {
        // A file cut short would restore as a smaller result than was saved.
        ::unlink(path);
        return kResultNotOpened;
    }
    return kResultOk;
}

int OpenScanResult(const char* path, CRSData& rs, StoredHead& head) {
    head = StoredHead{};
    struct stat st {};
    // A folder or a device node opens, but is no scan result.
    if (path == nullptr || ::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return kResultNotOpened;
    if (!rs.StartRS(path, 0)) return kResultNotOpened;
    return ReadScanResultHead(rs, head);
}

int ReadScanResultHead(IRSData& rs, StoredHead& out) {
    out = StoredHead{};
    try {
        FILEHEADER header;
        if (!rs.ReadFileHeader(header)) return kResultBadHeader;
        const FileStatus status = rs.GetStatus();
        if (status < kFileStatusMin || status > kFileStatusMax) return kResultBadHeader;
    } catch (const CRSException&) {
        return kResultBadHeader;
    }

    try {
        if (!rs.TryOpenFrame(kControllerFrameId)) return kResultNoControllerFrame;
        std::uint32_t length = 0;
        if (!Read32(rs, length) || length != kControllerLength) return kResultNoControllerFrame;
        if (!Read32(rs, out.controllerType) || !Read32(rs, out.deep)) return kResultNoControllerFrame;
        rs.CloseFrame();
    } catch (const CRSException&) {
        return kResultNoControllerFrame;
    }

    try {
        if (!rs.TryOpenFrame(kDeviceFrameId)) return kResultBadDeviceFrame;
        StoredDevice& d = out.device;
        std::uint32_t v = 0;
        if (!Read64(rs, d.size)) return kResultBadDeviceFrame;
        if (!Read32(rs, v)) return kResultBadDeviceFrame;
        d.diskIndex = static_cast<std::int32_t>(v);
        if (!Read32(rs, v)) return kResultBadDeviceFrame;
        d.volumeIndex = static_cast<std::int32_t>(v);
        if (!Read32(rs, v)) return kResultBadDeviceFrame;
        d.fileSystem = static_cast<std::int32_t>(v);
        if (!ReadText(rs, kMaxDeviceName, d.name)) return kResultBadDeviceFrame;
        auto readRecord = [&rs](std::uint32_t size, bool& flag, std::vector<std::uint8_t>& record) {
            std::uint32_t stored = 0, length = 0;
            if (!Read32(rs, stored) || !Read32(rs, length)) return false;
            flag = false;
            record.clear();
            if (length == kNone) return true;
            // Exactly the record's size: anything else is not such a record,
            // and a shorter one would be read past its end.
            if (length != size || !Need(rs, size)) return false;
            record.resize(size);
            if (!rs.ReadCurFrame(record.data(), size)) return false;
            flag = stored != 0;
            if (!flag) record.clear();
            return true;
        };
        if (!readRecord(kDmgRecordSize, d.dmg, d.dmgRecord)) return kResultBadDeviceFrame;
        if (!readRecord(kQvxRecordSize, d.qvx, d.qvxRecord)) return kResultBadDeviceFrame;
        rs.CloseFrame();
    } catch (const CRSException&) {
        return kResultBadDeviceFrame;
    } catch (const std::bad_alloc&) {
        return kResultBadDeviceFrame;
    }
    return kResultOk;
}

// ---- HFS+ volume objects ----

struct RestoredHfsVolumes::Entry {
    std::uint16_t partitionIndex = CFileNode::kNoPartition;
    std::unique_ptr<CPartitionVirtualVolumeDevice> window;
    std::unique_ptr<CHFSPlusVolume> volume;
};

RestoredHfsVolumes::RestoredHfsVolumes() = default;
RestoredHfsVolumes::~RestoredHfsVolumes() = default;

void RestoredHfsVolumes::SetWhole(IStorageDevice* device) {
    if (device == nullptr) return;
    m_whole = std::make_unique<Entry>();
    m_whole->volume = std::make_unique<CHFSPlusVolume>(device, true);
    // Deleted compressed files may keep their decmpfs record in the journal only.
    m_whole->volume->LoadJournalDeletedRecords();
}

void RestoredHfsVolumes::AddPartition(IStorageDevice* disk, const CSearchedPartitionInfo& partition) {
    if (disk == nullptr || partition.GetStartSector() < 0) return;
    for (const auto& e : m_entries)
        if (e->partitionIndex == partition.GetPartitionIndex()) return;
    auto entry = std::make_unique<Entry>();
    entry->partitionIndex = partition.GetPartitionIndex();
    // The HFS+ deep search reads its candidates through the same window.
    const std::int64_t total = partition.GetTotalSectors() > 0 ? static_cast<std::int64_t>(partition.GetTotalSectors())
                                                               : disk->GetTotalSectors() - partition.GetStartSector();
    entry->window = std::make_unique<CPartitionVirtualVolumeDevice>(disk, partition.GetStartSector(), total);
    entry->volume = std::make_unique<CHFSPlusVolume>(entry->window.get(), true);
    entry->volume->LoadJournalDeletedRecords();
    m_entries.push_back(std::move(entry));
}

CHFSPlusVolume* RestoredHfsVolumes::Find(std::uint16_t partitionIndex) const {
    if (m_whole) return m_whole->volume.get();
    for (const auto& e : m_entries)
        if (e->partitionIndex == partitionIndex) return e->volume.get();
    return nullptr;
}

std::size_t RestoredHfsVolumes::Count() const { return m_entries.size() + (m_whole ? 1 : 0); }

// ---- restored nodes ----

IDataRunList* RestoredRunList::Clone() {
    auto* copy = new RestoredRunList(m_storedResident);
    for (std::size_t i = 0; i < GetCount(); ++i) copy->Append(*GetRun(i));
    return copy;
}

IFileReader* RestoreFileNode::CreateCompressFileReader(void*) {
    IFileNode* top = this;
    while (top->GetParent() != nullptr) top = top->GetParent();
    if (top == this) return nullptr;
    switch (top->GetSearcheType()) {
    case SEARCHER_NTFS:
        return new (std::nothrow) CCompressFileReader();
    case SEARCHER_HFSPLUS: {
        CHFSPlusVolume* volume = m_hfs ? m_hfs->Find(GetBelongedPartition()) : nullptr;
        return volume != nullptr ? new (std::nothrow) CHFSPlusCompressFileReader(volume, this) : nullptr;
    }
    default:
        return nullptr;
    }
}

namespace {

// Restored nodes come by the million and go together, with the result. The
// heap's bookkeeping over a million odd-sized pieces (each node holds its
// name and runs) was most of a replay's time, so they are cut from shared
// blocks instead: each piece starts with its block's address, and a block
// counts its pieces and is freed with the last one. A thread keeps one
// block to cut from (and a reference to it) until the block is full.
struct NodeBlock {
    std::atomic<std::size_t> refs;
    std::size_t used;
    std::size_t capacity;
};

constexpr std::size_t kPieceAlign = 16;
constexpr std::size_t kPieceHead = 16;  // the block's address, padded to the alignment
constexpr std::size_t kBlockHead = (sizeof(NodeBlock) + kPieceAlign - 1) & ~(kPieceAlign - 1);
#if defined(__SANITIZE_ADDRESS__)
#define QUILLORY_NODE_BLOCK_EACH 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLORY_NODE_BLOCK_EACH 1
#endif
#endif
#if defined(QUILLORY_NODE_BLOCK_EACH)
// Every node in a block of its own: the sanitizer then sees each release.
constexpr std::size_t kBlockBytes = 0;
#else
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
#endif

void Unref(NodeBlock* block) {
    if (block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block->~NodeBlock();
        ::operator delete(block);
    }
}

NodeBlock* NewBlock(std::size_t capacity, std::size_t refs) {
    auto* block = new (::operator new(kBlockHead + capacity)) NodeBlock{};
    block->refs.store(refs, std::memory_order_relaxed);
    block->used = 0;
    block->capacity = capacity;
    return block;
}

void* Cut(NodeBlock* block, std::size_t need) {
    char* piece = reinterpret_cast<char*>(block) + kBlockHead + block->used;
    block->used += need;
    *reinterpret_cast<NodeBlock**>(piece) = block;
    return piece + kPieceHead;
}

struct CurrentBlock {
    NodeBlock* block = nullptr;
    ~CurrentBlock() {
        if (block != nullptr) Unref(block);
    }
};
thread_local CurrentBlock t_nodeBlock;

void* AllocateNode(std::size_t bytes) {
    const std::size_t need = kPieceHead + ((bytes + kPieceAlign - 1) & ~(kPieceAlign - 1));
    // Large nodes (long names, many runs) get a block of their own.
    if (need > kBlockBytes / 16) return Cut(NewBlock(need, 1), need);
    NodeBlock*& current = t_nodeBlock.block;
    if (current == nullptr || current->capacity - current->used < need) {
        if (current != nullptr) Unref(current);
        current = nullptr;  // should the next allocation fail
        current = NewBlock(kBlockBytes, 1);  // the thread's own reference
    }
    current->refs.fetch_add(1, std::memory_order_relaxed);
    return Cut(current, need);
}

void FreeNode(void* p) {
    if (p == nullptr) return;
    Unref(*reinterpret_cast<NodeBlock**>(static_cast<char*>(p) - kPieceHead));
}

}  // namespace

void* RestoreFileNode::operator new(std::size_t size, Extra extra) { return AllocateNode(size + extra.bytes); }
void RestoreFileNode::operator delete(void* p, Extra) { FreeNode(p); }
void RestoreFileNode::operator delete(void* p) { FreeNode(p); }

RestoreFileNode* RestoreFileNode::Make(std::uint32_t runs, std::uint32_t nameLength) {
    const std::size_t extra = std::size_t{runs} * sizeof(DataRun) + nameLength + 1;
    auto* node = new (Extra{extra}) RestoreFileNode();
    node->m_runCount = runs;
    node->m_nameLength = nameLength;
    char* name = reinterpret_cast<char*>(node->Runs() + runs);
    name[nameLength] = '\0';
    node->m_name = name;
    return node;
}

IFileNode* RestoreFileNode::Clone() {
    RestoreFileNode* copy = Make(m_runCount, m_nameLength);
    // The base copies the links, ids, status and a clone of the decoded runs.
    static_cast<CFileNode&>(*copy) = *this;
    std::memcpy(copy->Runs(), Runs(), std::size_t{m_runCount} * sizeof(DataRun) + m_nameLength);
    copy->m_size = m_size;
    copy->m_created = m_created;
    copy->m_modified = m_modified;
    copy->m_accessed = m_accessed;
    copy->m_storedShown = m_storedShown;
    copy->m_attribute = m_attribute;
    copy->m_directory = m_directory;
    copy->m_deleted = m_deleted;
    copy->m_resident = m_resident;
    copy->m_runsLoaded = true;
    copy->m_hfs = m_hfs;
    return copy;
}

IDataRunList* RestoreFileNode::LoadDataRunList() const {
    if (m_runsLoaded) return m_dataRunList;
    m_runsLoaded = true;
    if (m_runCount == 0) return nullptr;
    auto* runs = new RestoredRunList(m_resident ? 1 : 0);
    const DataRun* stored = Runs();
    for (std::uint32_t i = 0; i < m_runCount; ++i) runs->Append(stored[i]);
    // Only the decoded form is filled in; the node itself is not const.
    const_cast<RestoreFileNode*>(this)->m_dataRunList = runs;
    return runs;
}

RestoreFileNode* RestoreFileNode::ReadNew(IRSData& rs, std::vector<std::uint8_t>& scratch) {
    // Three reads: the fixed head, the runs with the name length, the name
    // with the fixed tail. Each is checked against the frame first.
    std::uint8_t head[kNodeHeadSize];
    if (!ReadExact(rs, head, sizeof head)) return nullptr;
    const std::uint8_t* p = head;
    const std::uint32_t runCount = byteorder::LE32(p + 58);
    if (runCount > kMaxRuns) return nullptr;
    const std::size_t runBytes = std::size_t{runCount} * 16;
    if (!Need(rs, runBytes + 4)) return nullptr;
    scratch.resize(runBytes + 4);
    if (!rs.ReadCurFrame(scratch.data(), static_cast<unsigned>(scratch.size()))) return nullptr;
    const std::uint32_t nameLength = byteorder::LE32(scratch.data() + runBytes);
    if (nameLength > kMaxNameLength || !Need(rs, std::uint64_t{nameLength} + kNodeTailSize)) return nullptr;
    scratch.resize(runBytes + 4 + nameLength + kNodeTailSize);
    if (!rs.ReadCurFrame(scratch.data() + runBytes + 4, nameLength + kNodeTailSize)) return nullptr;

    RestoreFileNode* node = Make(runCount, nameLength);
    node->m_nodeId = static_cast<std::int64_t>(byteorder::LE64(p));
    node->m_parentNodeId = static_cast<std::int64_t>(byteorder::LE64(p + 8));
    node->m_size = byteorder::LE64(p + 16);
    node->m_attribute = byteorder::LE16(p + 24);
    node->m_created = byteorder::LE64(p + 26);
    node->m_modified = byteorder::LE64(p + 34);
    node->m_accessed = byteorder::LE64(p + 42);
    node->m_directory = byteorder::LE32(p + 50) != 0;
    node->m_deleted = byteorder::LE32(p + 54) != 0;
    node->m_resident = byteorder::LE32(p + 62) != 0;
    DataRun* runs = node->Runs();
    for (std::uint32_t i = 0; i < runCount; ++i) {
        runs[i].start = static_cast<std::int64_t>(byteorder::LE64(scratch.data() + 16 * i));
        runs[i].length = static_cast<std::int64_t>(byteorder::LE64(scratch.data() + 16 * i + 8));
    }
    const std::uint8_t* rest = scratch.data() + runBytes + 4;
    if (nameLength != 0) std::memcpy(const_cast<char*>(node->m_name), rest, nameLength);
    const std::uint8_t* tail = rest + nameLength;
    node->m_storedShown = byteorder::LE32(tail);
    node->SetBelongedPartition(byteorder::LE16(tail + 4));
    node->SetMetaDataSector(static_cast<std::int64_t>(byteorder::LE64(tail + 6)));
    node->m_compressed = byteorder::LE32(tail + 14) != 0 ? 1 : 0;
    // Every restored node is shown, whatever it was at save time.
    node->ShowNode(1);
    return node;
}

// ---- the replay ----

bool CaptionMatcher::operator()(const StoredVolume& volume, IStorageDevice* device) {
    if (volume.index == 0) m_typesThisReplay.clear();
    if (device == nullptr) return false;
    const int kind = device->GetType();
    if (kind == STORAGE_DEVICE_DISK || m_dmg) return true;
    // The tree builder names the trees of a device without a caption "Disk".
    std::string caption = GetDeviceDescription(device);
    if (caption.empty()) caption = "Disk";
    if (caption != volume.volumeName) return false;
    if (kind != STORAGE_DEVICE_VOLUME) return true;
    if (m_taken.count(volume.index) != 0 || m_typesThisReplay.count(volume.searcherType) != 0) return false;
    m_taken.insert(volume.index);
    m_typesThisReplay.insert(volume.searcherType);
    return true;
}

ScanResultReplay::ScanResultReplay(IRSData* rs, Matcher matcher, std::function<void()> step)
    : m_rs(rs), m_matcher(std::move(matcher)), m_step(std::move(step)) {}

ScanResultReplay::~ScanResultReplay() { ClearMapCell(); }

int ScanResultReplay::ClearMapCell() {
    for (auto& [type, records] : m_partitions)
        for (CSearchedPartitionInfo* record : records) delete record;
    m_partitions.clear();
    return 0;
}

std::vector<CSearchedPartitionInfo*>& ScanResultReplay::GetSearchedPartition(int searcherType) {
    return m_partitions[searcherType];
}

std::vector<std::shared_ptr<const RestoredHfsVolumes>> ScanResultReplay::TakeHfsVolumes() {
    std::vector<std::shared_ptr<const RestoredHfsVolumes>> taken;
    taken.swap(m_hfs);
    return taken;
}

int ScanResultReplay::SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* progress,
                                              IStorageDevice* device) {
    if (m_rs == nullptr || builder == nullptr) {
        m_damaged = true;
        return 1;
    }
    // This runs inside the controller's scan: nothing may unwind through it.
    try {
        if (!m_rs->TryOpenFrame(kNodeFrameId)) {
            m_damaged = true;
            return 1;
        }
    } catch (const CRSException&) {
        m_damaged = true;
        return 1;
    }
    try {
        if (!Replay(builder, progress, device)) m_damaged = true;
    } catch (const CRSException&) {
        m_damaged = true;
    } catch (const std::bad_alloc&) {
        m_damaged = true;
    }
    try {
        m_rs->CloseFrame();
    } catch (const CRSException&) {
    }
    return 0;
}

bool ScanResultReplay::Replay(IDirecotryTreeBuilder* builder, IProgress* progress, IStorageDevice* device) {
    IRSData& rs = *m_rs;
    ClearMapCell();
    auto step = [this] {
        if (m_step) m_step();
    };
    auto goOn = [progress] { return progress == nullptr || progress->Continued() != 0; };
    std::uint64_t volumes = 0;
    if (!Read64(rs, volumes)) return false;
    step();
    for (std::uint64_t v = 0; v < volumes; ++v) {
        if (!goOn()) return true;
        std::uint32_t mark = 0;
        if (!Read32(rs, mark) || mark != kEntryMark) return false;

        RestoreFileNode* rootRecord = RestoreFileNode::ReadNew(rs, m_scratch);
        if (rootRecord == nullptr) return false;
        StoredVolume stored;
        stored.index = v;
        stored.rootId = rootRecord->GetCurrentNodeID();
        rootRecord->Release();
        if (!Read32(rs, stored.searcherType) || !KnownSearcher(stored.searcherType)) return false;
        if (!ReadText(rs, kMaxVolumeName, stored.volumeName)) return false;
        const auto type = static_cast<_tagSearcherType>(stored.searcherType);
        const bool matches = m_matcher ? m_matcher(stored, device) : true;

        std::uint32_t partitionCount = 0;
        if (!Read32(rs, partitionCount) || partitionCount > kMaxPartitions ||
            !Need(rs, std::uint64_t{partitionCount} * kPartitionEntrySize))
            return false;
        std::vector<CSearchedPartitionInfo*>& kept = m_partitions[stored.searcherType];
        const std::size_t firstKept = kept.size();
        for (std::uint32_t i = 0; i < partitionCount; ++i) {
            std::uint8_t entry[kPartitionEntrySize];
            if (!ReadExact(rs, entry, sizeof entry)) return false;
            const std::uint32_t kind = byteorder::LE32(entry);
            if (kind > kMaxPartitionKind) return false;
            if (!matches) continue;
            auto record = std::make_unique<CSearchedPartitionInfo>();
            record->ReadImage(entry + 4);
            m_kinds[PartitionKey(stored.searcherType, *record)] = kind;
            kept.push_back(record.release());
        }

        std::shared_ptr<RestoredHfsVolumes> hfs;
        if (matches) {
            ++m_matched;
            builder->AddSearcherInfo(type, stored.rootId);
            if (type == SEARCHER_HFSPLUS && device != nullptr) {
                hfs = std::make_shared<RestoredHfsVolumes>();
                if (device->GetType() == STORAGE_DEVICE_VOLUME) {
                    hfs->SetWhole(device);
                } else {
                    for (std::size_t i = firstKept; i < kept.size(); ++i)
                        if (kept[i]->GetFileSystemType() == FILE_SYSTEM_HFSPLUS) hfs->AddPartition(device, *kept[i]);
                }
                m_hfs.push_back(hfs);
            }
            step();
        }

        bool ended = false;
        bool damaged = false;
        while (goOn()) {
            if (!Read32(rs, mark)) {
                damaged = true;  // the frame ends before the volume's end mark
                break;
            }
            if (mark == kNone) {
                ended = true;
                break;
            }
            if (mark != kNodeMark) {
                damaged = true;
                break;
            }
            RestoreFileNode* node = RestoreFileNode::ReadNew(rs, m_scratch);
            if (node == nullptr) {
                damaged = true;
                break;
            }
            if (!matches) {
                node->Release();
                continue;
            }
            if (hfs) node->SetHfsVolumes(hfs);
            if (builder->AddNode(node, type) == 0) node->Release();
            step();
        }
        // What was handed over stays: the volume's tree is built with it.
        if (matches) builder->FlashBuild(type);
        if (damaged) return false;
        if (!ended) return true;  // stopped
    }
    return true;
}

}  // namespace scanresult
