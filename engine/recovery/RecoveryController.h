// Scan controllers, the file-writer interface they hand out, and the hook
// through which a restored scan result replays its nodes.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/DirectoryTree.h"
#include "foundation/EngineResult.h"
#include "foundation/FileNode.h"
#include "foundation/Progress.h"
#include "recovery/RecoveryFilter.h"

class IStorageDevice;
class CSearchedPartitionInfo;
class IFileSystemSearchController;
class IFileReader;

enum _RECOVERY_CONTROLLER_TYPE : uint32_t {
    RECOVERY_CONTROLLER_QUICK = 0,  // quick scan of one volume
    RECOVERY_CONTROLLER_DEEP_VOLUME = 1,
    RECOVERY_CONTROLLER_DEEP_DISK = 2,
    RECOVERY_CONTROLLER_NONE = 3,
};

// What one copy of a found file came to, beside its result code.
struct RecoveryOutcome {
    std::int64_t size = 0;       // bytes the copy should have had
    std::int64_t bytesRead = 0;  // bytes of it read (and decoded) from the source
    int readError = 0;           // FileReadError of the first lost part, 0 when none
    int writeErrno = 0;          // errno of a failed write to the destination, 0 when none
};

// The writer of one found file.
class IDataRecovery {
public:
    virtual ~IDataRecovery() = default;
    virtual EngineResult Initialize(IFileSystemSearchController* searcher, IStorageDevice* device) = 0;
    // A reader of the node's data (the caller releases it), or null.
    virtual IFileReader* SetRecoverNode(IFileNode* node) = 0;
    virtual EngineResult RecoverTo(const char* path, IProgress* progress, int limit) = 0;
    virtual unsigned ReadSmallJPG(char* out, unsigned capacity) = 0;
    virtual void Release() = 0;
    // Copying form used for restored scans: the writer copies each record.
    virtual EngineResult Initialize(std::vector<CSearchedPartitionInfo*>& partitions, IStorageDevice* device) = 0;
    // The node of the last SetRecoverNode into the open destination `fd`
    // (the caller made it safely and closes it; `name` is for times and log
    // lines and may be null). Data that could not be read is a hole and the
    // result says so; `outcome` (may be null) tells what was lost and why.
    // Writers that cannot write to a descriptor refuse.
    virtual EngineResult RecoverToDescriptor(int fd, const char* name, IProgress* progress, int limit,
                                             RecoveryOutcome* outcome) {
        (void)fd, (void)name, (void)progress, (void)limit, (void)outcome;
        return MakeEngineResult(0x0D, 0, 0x0D05);
    }
};

// A new file writer, or null. Provided by the file writer.
IDataRecovery* CreateDataRecoveryObj();

// The replay hook: a restored scan result feeding its stored nodes to a
// controller's tree builder instead of a device read. Implemented by the front
// end's model; the engine only calls it.
class IRestoreScanSink {
public:
    virtual ~IRestoreScanSink() = default;
    // Feeds the stored nodes to the builder (AddSearcherInfo, AddNode, FlashBuild).
    virtual int SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* progress,
                                        IStorageDevice* device) = 0;
    // The stored partition records of a searcher type; they stay the hook's.
    virtual std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int searcherType) = 0;
};

class IRecoveryController {
public:
    virtual ~IRecoveryController() = default;
    virtual _RECOVERY_CONTROLLER_TYPE thisType() = 0;
    // Stores the filter; 0 for null (nothing stored), else 1.
    virtual int Initialize(IRecoveryFilter* filter) = 0;
    // Runs the whole scan on the calling thread.
    virtual EngineResult StartDataRecovery(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) = 0;
    // A new file writer for the partitions of that searcher, or null; the caller releases it.
    virtual IDataRecovery* GetDataRecovery(_tagSearcherType type) const = 0;
    virtual void Release() = 0;

    // Set by the creator right after creation when a scan result is restored;
    // null for a live scan. Not owned.
    IRestoreScanSink* m_pRestoreScanSink = nullptr;
};

// A new controller of type 0, 1 or 2; null for any other value.
IRecoveryController* CreateRecoveryController(_RECOVERY_CONTROLLER_TYPE type);
