#pragma once
// Scan-result files: a finished scan written into the record container and
// read back later against the same source. The header, then three frames:
// the controller (which kind of scan), the device (how to find it again) and
// the nodes (each volume root with its partitions and its tree, breadth
// first). Every field is written and read one by one, little-endian, so the
// same result gives the same bytes on any build.
//
// A file is untrusted input: every count and length is checked against the
// bytes its frame still holds and against the format's limits before
// anything is allocated, and a damaged node frame ends the replay of that
// frame with what was replayed so far.
//
// Plain C++ over the engine: used by the front end's model and by the
// command-line driver.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/DataRun.h"
#include "foundation/DirectoryTree.h"
#include "foundation/FileNode.h"
#include "foundation/RecordContainer.h"
#include "recovery/RecoveryController.h"

class CSearchedPartitionInfo;
class IStorageDevice;
class CHFSPlusVolume;

namespace scanresult {

inline constexpr tagGUIDSIGN kControllerFrameId = {
    {0x94, 0x63, 0x9b, 0x40, 0x81, 0xf6, 0x88, 0x4e, 0xa2, 0x0f, 0x5d, 0x63, 0x57, 0x82, 0xed, 0x75}};
inline constexpr tagGUIDSIGN kDeviceFrameId = {
    {0x76, 0xa6, 0x72, 0xb0, 0x48, 0x05, 0x8b, 0x46, 0xba, 0x9e, 0x91, 0x09, 0x3a, 0x63, 0xb5, 0x17}};
inline constexpr tagGUIDSIGN kNodeFrameId = {
    {0x6c, 0xf2, 0x08, 0xd2, 0x8c, 0x07, 0x34, 0x4e, 0x9d, 0x71, 0xd9, 0x1f, 0x53, 0x5f, 0x7b, 0x57}};

constexpr std::uint32_t kFileStatus = 1;
constexpr std::uint32_t kControllerLength = 8;
constexpr std::uint32_t kNone = 0xFFFFFFFFu;  // "no record" length and the end mark
constexpr std::uint32_t kEntryMark = 1;
constexpr std::uint32_t kNodeMark = 0;
constexpr std::uint32_t kMaxDeviceName = 4095;
constexpr std::uint32_t kMaxPartitions = 512;
constexpr std::uint32_t kMaxRuns = 65535;
constexpr std::uint32_t kMaxNameLength = 65535;
constexpr std::uint32_t kMaxVolumeName = 511;
constexpr std::uint32_t kDmgRecordSize = 2088;
constexpr std::uint32_t kQvxRecordSize = 1192;
constexpr std::uint32_t kMaxPartitionKind = 4;
constexpr std::uint32_t kPartitionEntrySize = 4 + 104;
// Node record without its runs and name: ids, size, attribute, times, flags,
// run count and resident flag; then name length; then the tail.
constexpr std::uint32_t kNodeHeadSize = 8 + 8 + 8 + 2 + 8 + 8 + 8 + 4 + 4 + 4 + 4;
constexpr std::uint32_t kNodeTailSize = 4 + 2 + 8 + 4;
constexpr const char* kExtension = "Quillory";

// End results of a save or a restore, carried in the error field of the
// last progress record. No failure is ever 0.
enum ResultCode : int {
    kResultOk = 0,
    kResultNoContainer = 1,
    kResultNotOpened = 2,  // not opened, or (saving) not wholly written
    kResultBadHeader = 3,
    kResultNoControllerFrame = 4,
    kResultBadDeviceFrame = 5,
    kResultQvxNotFound = 6,
    kResultDeviceNotFound = 7,
    kResultNodesDamaged = 8,
};
// A sentence for messages ("the stored nodes are damaged").
const char* DescribeResult(int code, bool saving);

// The device record of the device frame.
struct StoredDevice {
    std::uint64_t size = 0;
    std::int32_t diskIndex = -1;
    std::int32_t volumeIndex = -1;
    std::int32_t fileSystem = -1;
    std::string name;
    bool dmg = false;
    std::vector<std::uint8_t> dmgRecord;  // kDmgRecordSize bytes when dmg
    bool qvx = false;
    std::vector<std::uint8_t> qvxRecord;  // kQvxRecordSize bytes when qvx

    bool operator==(const StoredDevice&) const = default;
};

// What the controller and device frames say.
struct StoredHead {
    std::uint32_t controllerType = RECOVERY_CONTROLLER_NONE;
    std::uint32_t deep = 0;
    StoredDevice device;
};

// One volume root to save. Without partitions the volume is saved with no
// nodes (nothing could be recovered from them).
struct VolumeToSave {
    IFileNode* root = nullptr;
    std::uint32_t searcherType = SEARCHER_DEFAULT;
    std::string volumeName;
    std::vector<const CSearchedPartitionInfo*> partitions;
    // The partition kind to store for each partition; the record's own
    // class answers for those beyond this list.
    std::vector<std::uint32_t> kinds;
};

// Restored partitions are rebuilt as base records, and the controllers copy
// them as such: what kind each was stored as is kept by its searcher type and
// fields, so that a restored result saves to the same records.
using PartitionKinds = std::map<std::string, std::uint32_t>;
std::string PartitionKey(std::uint32_t searcherType, const CSearchedPartitionInfo& partition);

// Little-endian appenders; each record goes into one buffer and reaches the
// container in one call.
void AppendNodeRecord(std::vector<std::uint8_t>& out, IFileNode* node);
void AppendVolumeRecord(std::vector<std::uint8_t>& out, IFileNode* root, std::uint32_t searcherType,
                        const std::string& volumeName);
void AppendPartitionEntry(std::vector<std::uint8_t>& out, const CSearchedPartitionInfo& partition, std::uint32_t kind);

// Writes the whole file. `step` (may be empty) is called after each frame and
// record. 0 saved; kResultNotOpened when the file could not be created or any
// write failed, and then no partial file is left behind.
int WriteScanResult(const char* path, const StoredHead& head, const std::vector<VolumeToSave>& volumes,
                    const std::function<void()>& step);

// Opens a scan-result file for reading (a regular file only) and reads its
// head; the container stays open for the replay. 0, or kResultNotOpened and
// the codes of ReadScanResultHead.
int OpenScanResult(const char* path, CRSData& rs, StoredHead& head);

// Reads and checks the file header and the controller and device frames of
// an opened container. 0, or kResultBadHeader, kResultNoControllerFrame,
// kResultBadDeviceFrame. Never throws.
int ReadScanResultHead(IRSData& rs, StoredHead& out);

// The HFS+ volume objects of one restored volume: compressed files are
// decoded through the volume they lie on. A quick result has one volume
// object over the volume's device; a deep result of a disk has one per
// stored HFS+ partition, over a window of the disk at the partition's start,
// picked by the node's partition index.
class RestoredHfsVolumes {
public:
    RestoredHfsVolumes();
    ~RestoredHfsVolumes();
    RestoredHfsVolumes(const RestoredHfsVolumes&) = delete;
    RestoredHfsVolumes& operator=(const RestoredHfsVolumes&) = delete;

    void SetWhole(IStorageDevice* device);
    void AddPartition(IStorageDevice* disk, const CSearchedPartitionInfo& partition);
    // Null when none serves that partition index.
    CHFSPlusVolume* Find(std::uint16_t partitionIndex) const;
    std::size_t Count() const;

private:
    struct Entry;
    std::vector<std::unique_ptr<Entry>> m_entries;
    std::unique_ptr<Entry> m_whole;
};

// A run list as stored: the runs as they were written (not merged again, so
// a restored result saves to the same records) and the stored resident flag.
class RestoredRunList : public CDataRunList {
public:
    explicit RestoredRunList(int resident) : m_storedResident(resident) {}
    int IsResident() override { return m_storedResident; }
    IDataRunList* Clone() override;
    void Append(const DataRun& run) { AppendDataRunUnmerged(run); }

private:
    int m_storedResident;
};

// A found file or folder rebuilt from a node record. A replay makes a million
// of them: each is one block, the node with its runs and name behind it, and
// the runs become a run list only when someone asks for them (most restored
// files are listed and never read).
class RestoreFileNode : public CFileNode {
public:
    RestoreFileNode() = default;
    ~RestoreFileNode() override = default;
    RestoreFileNode(const RestoreFileNode&) = delete;
    RestoreFileNode& operator=(const RestoreFileNode&) = delete;

    // Reads the record at the read position of the open frame into a new
    // node. Null (the frame damaged) when a length is out of range or the
    // frame ends inside the record.
    static RestoreFileNode* ReadNew(IRSData& rs, std::vector<std::uint8_t>& scratch);

    const char* GetFileName() override { return m_name; }
    std::int64_t GetFileSize() override { return static_cast<std::int64_t>(m_size); }
    std::uint32_t GetAttribute() override { return m_attribute; }
    std::int64_t GetCreationTime() override { return static_cast<std::int64_t>(m_created); }
    std::int64_t GetModificationTime() override { return static_cast<std::int64_t>(m_modified); }
    std::int64_t GetLastAccessTime() override { return static_cast<std::int64_t>(m_accessed); }
    int IsDirectory() override { return m_directory ? 1 : 0; }
    int IsDeleted() override { return m_deleted ? 1 : 0; }
    IFileNode* Clone() override;
    void MarkDeleted() override { m_deleted = true; }
    // NTFS: the engine's compressed-file reader; HFS+: the reader over the
    // node's volume object; else null.
    IFileReader* CreateCompressFileReader(void* device) override;
    void FilterFileNameByDot() override {}

    void SetHfsVolumes(std::shared_ptr<const RestoredHfsVolumes> volumes) { m_hfs = std::move(volumes); }
    std::uint32_t StoredShown() const { return m_storedShown; }

    // A node with `extra` bytes behind it, cut from a shared block (see
    // ScanResultFile.cpp).
    struct Extra {
        std::size_t bytes;
    };
    static void* operator new(std::size_t size, Extra extra);
    static void operator delete(void* p, Extra);
    static void operator delete(void* p);

protected:
    IDataRunList* LoadDataRunList() const override;

private:
    // A node of `runs` runs and a name of `nameLength` bytes, name empty.
    static RestoreFileNode* Make(std::uint32_t runs, std::uint32_t nameLength);
    DataRun* Runs() const { return reinterpret_cast<DataRun*>(const_cast<RestoreFileNode*>(this) + 1); }

    const char* m_name = "";
    std::uint64_t m_size = 0;
    std::uint64_t m_created = 0, m_modified = 0, m_accessed = 0;
    std::uint32_t m_storedShown = 0;
    std::uint32_t m_runCount = 0;
    std::uint32_t m_nameLength = 0;
    std::uint16_t m_attribute = 0;
    bool m_directory = false;
    bool m_deleted = false;
    bool m_resident = false;
    mutable bool m_runsLoaded = false;
    std::shared_ptr<const RestoredHfsVolumes> m_hfs;
};

// A stored volume root as the replay reads it.
struct StoredVolume {
    std::uint64_t index = 0;  // of the volume entry in the node frame
    std::int64_t rootId = 0;
    std::uint32_t searcherType = SEARCHER_DEFAULT;
    std::string volumeName;
};

// Which stored volumes the device a controller hands to the replay takes. A
// whole disk (a deep scan of it) or a DMG image takes every one; any other
// device those stored under its caption (the name its trees were built
// with), at most one per searcher type per replay and each stored volume
// once, so that two volumes of one name on a disk get one each.
class CaptionMatcher {
public:
    explicit CaptionMatcher(bool dmg) : m_dmg(dmg) {}
    bool operator()(const StoredVolume& volume, IStorageDevice* device);

private:
    bool m_dmg;
    std::set<std::uint64_t> m_taken;
    std::set<std::uint32_t> m_typesThisReplay;
};

// The replay hook: feeds the stored volumes and nodes of an open container
// to the tree builder of the controller that runs the "scan". Which stored
// volumes belong to the device the controller hands over is the matcher's
// decision. Never lets an exception into the engine.
class ScanResultReplay : public IRestoreScanSink {
public:
    using Matcher = std::function<bool(const StoredVolume& volume, IStorageDevice* device)>;

    // `rs` is not owned and stays open during the replay; `step` (may be
    // empty) is called after each volume and node.
    ScanResultReplay(IRSData* rs, Matcher matcher, std::function<void()> step = {});
    ~ScanResultReplay() override;
    ScanResultReplay(const ScanResultReplay&) = delete;
    ScanResultReplay& operator=(const ScanResultReplay&) = delete;

    // 0 when the node frame was replayed (wholly or up to damage), 1 when it
    // could not be read at all.
    int SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* progress, IStorageDevice* device) override;
    std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int searcherType) override;
    // Deletes every stored partition record and empties the map.
    int ClearMapCell();

    // Whether a replay met a damaged node frame (or could not open it).
    bool Damaged() const { return m_damaged; }
    // Stored volumes handed to a builder, over all replays.
    int MatchedVolumes() const { return m_matched; }
    // The HFS+ volume objects made for the replayed volumes; whoever keeps
    // the result keeps these (the nodes share them).
    std::vector<std::shared_ptr<const RestoredHfsVolumes>> TakeHfsVolumes();
    // The stored kinds of the partitions handed over.
    const PartitionKinds& Kinds() const { return m_kinds; }

private:
    // Throws CRSException; false on damage.
    bool Replay(IDirecotryTreeBuilder* builder, IProgress* progress, IStorageDevice* device);

    IRSData* m_rs;
    Matcher m_matcher;
    std::function<void()> m_step;
    std::map<int, std::vector<CSearchedPartitionInfo*>> m_partitions;
    std::vector<std::shared_ptr<const RestoredHfsVolumes>> m_hfs;
    PartitionKinds m_kinds;
    std::vector<std::uint8_t> m_scratch;
    bool m_damaged = false;
    int m_matched = 0;
};

}  // namespace scanresult
