#pragma once
// The recovery as the front end runs it: copies the files the user checked
// to the chosen folder through the scan's file writers, one numbered folder
// per file system of origin, and is the progress sink those writers report
// to. It keeps its own writers, one per searcher type, taken from the scan's
// controller; previews take writers of their own, so that a preview can never
// change which file a recovery is writing.
//
// Plain C++: the controller drives it from a worker thread and polls it from
// the main thread.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/EngineResult.h"
#include "model/QXUIOperation.h"
#include "model/RecoveryPaths.h"
#include "recovery/RecoveryController.h"

class QXUIScan;
class QXUIDeviceData;

// A checked file for which no destination path could be made.
constexpr EngineResult kRecoveryNoDestination = 0x0102061000000005ULL;
// A checked file of a searcher type (or volume) that has no writer.
constexpr EngineResult kRecoveryNoWriter = 0x0102061100000005ULL;

class QXUIRecovery : public QXUIOperation {
public:
    // Never destroyed: a recovery thread may still report while the process
    // ends. Works with the process-wide scan bridge.
    static QXUIRecovery& instance();

    // A recovery over `scan`'s results; it takes the scan's release and reset
    // hooks, so that its writers follow the scan's controller.
    explicit QXUIRecovery(QXUIScan& scan);
    ~QXUIRecovery() override;

    // Copies every checked, shown file of the scan's type map, in type
    // order; the result of the last write (0 when none was made). The folder
    // names of raw (by extension) and raw (by tag) files go to the two lists,
    // each once and followed by ","; flags[0..2] are set (never cleared) when
    // a destination holds "/Application", "/System" or "/Library".
    EngineResult DoRecovery(std::string& tagFolders, std::string& rawFolders, int flags[3]);

    // Forgets the controller and takes the writers again.
    void ResetParam();
    // Takes the scan's controller when none is held, then fresh writers from
    // it; the writers they replace are released.
    void InitDataRecoveryController();
    // Releases every writer and forgets the controller.
    void ReleaseDataRecovery();
    // The writer of a searcher type, or null. It stays valid until the
    // writers are released or taken again.
    IDataRecovery* GetDataRecoveryByType(int searcherType);
    // True when no writer is held.
    bool CheckWhetherNeedReset();

    // The writer's report for the file being written.
    void UpdateProgress(_PROGRESS_INFO* info) override;

    // 1 when writing under `path` may write onto the scanned device: the
    // path's st_dev is a volume of it, or the path's mount lies on the same
    // physical storage. 0 for null, for a path that does not exist and for
    // an image (writing beside an image never changes its bytes).
    int RecoveryPathIsSameDevice(const char* path);

    void SetRecoveryPath(const char* path);
    std::string GetRecoveryPath();
    void SetRecoveryTotalSize(std::uint64_t size);
    std::uint64_t GetRecoveryTotalSize();
    void SetRecoveryTotalFilesCnt(std::uint64_t count);
    std::uint64_t GetRecoveryTotalFilesCnt();
    std::uint64_t GetRecoveriedFileSize();
    std::uint64_t GetRecoveriedFilesCnt();
    IFileNode* GetCurrentRecoveryNode();
    // Files of the last recovery that were not written whole (no writer, no
    // destination, a failed copy), and the last of those failures.
    std::uint64_t GetRecoveryFailedFilesCnt();
    EngineResult GetLastRecoveryFailure(std::string* fileName = nullptr);

    // The numbered destination folders of this recovery (0: none yet).
    int GetCreateDirIndex(int searcherType) { return m_folders.GetCreateDirIndex(searcherType); }
    void SetCreateDirIndex(int searcherType, int number, const std::string& label) {
        m_folders.SetCreateDirIndex(searcherType, number, label);
    }
    void ClearCreateDirIndex() { m_folders.ClearCreateDirIndex(); }
    RecoveryFolderIndex& FolderIndex() { return m_folders; }
    // The destination path of one node under this recovery's folders.
    char* CreateRecoveryFilePathByNode(IFileNode* node, const char* destination);

    // Seams: the device list the same-device test consults (not owned; null
    // for the process-wide one), and the system files it reads.
    void SetDeviceData(QXUIDeviceData* devices);
    void SetSameDeviceSources(std::string mountinfo, std::string sysfsRoot);

private:
    using Writer = std::shared_ptr<IDataRecovery>;
    Writer WriterFor(int searcherType);
    IRecoveryController* HeldController();
    std::uint32_t DeepFlag();
    void CountFailure(IFileNode* node, EngineResult why);
    QXUIDeviceData& Devices();

    QXUIScan& m_scan;
    RecoveryFolderIndex m_folders;

    // The writer map and the controller they came from: the recovery thread,
    // the scan thread (release and reset) and preview code meet here.
    std::mutex m_writersLock;
    IRecoveryController* m_controller = nullptr;
    std::map<int, Writer> m_writers;
    std::uint32_t m_deep = 0;

    // Under the operation's mutex.
    std::string m_path;
    std::uint64_t m_totalSize = 0;
    std::uint64_t m_totalFiles = 0;
    std::uint64_t m_recoveredBytes = 0;
    std::uint64_t m_lastCurrent = 0;
    std::uint64_t m_recoveredFiles = 0;
    std::uint64_t m_failedFiles = 0;
    EngineResult m_lastFailure = ENGINE_OK;
    std::string m_lastFailedName;
    IFileNode* m_currentNode = nullptr;
    QXUIDeviceData* m_devices = nullptr;
    std::string m_mountinfo = "/proc/self/mountinfo";
    std::string m_sysfs = "/sys";
};
