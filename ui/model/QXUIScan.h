#pragma once
// The scan as the front end sees it: the operation the engine reports to and
// asks whether to go on, the sink of the engine's tree builder, and the store
// of what the scan found, filed by path, by file type and by year and month.
// The views read the store through the queries below; the recovery takes the
// scan's controller and readers from it.
//
// Plain C++: the update posts and the recovery bridge reach it as hooks, so
// that this library stays free of Qt.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/DirectoryTree.h"
#include "model/QXUIOperation.h"
#include "model/ThumbnailWriters.h"
#include "recovery/RecoveryController.h"

class IStorageDevice;
class QXUIDeviceData;
struct CCollectedVolumeDeviceInfoStruct;

using QXTimeMap = std::map<int, std::map<int, std::list<IFileNode*>>>;
using QXTypeMap = std::map<unsigned, std::list<IFileNode*>>;

// Returned when nothing ran: no device, controller type 3 or no filter.
constexpr EngineResult kScanNothingRan = 0x0104003300000001ULL;
// Returned by a volume scan without device or controller, or when stopped.
constexpr EngineResult kScanNotRunning = 0x0104014F00000001ULL;

class QXUIScan : public QXUIOperation, public IDrirectoryTree {
public:
    // Never destroyed: a scan thread may still report while the process ends.
    static QXUIScan& instance();

    QXUIScan();
    ~QXUIScan() override;

    // The final-or-throttled update post (the controller's
    // QXNotifyUIUpdateData); called without the operation mutex held.
    void SetNotifyHook(std::function<void(int final)> hook);
    // The recovery bridge's reader release (before a scan) and reset (after).
    void SetRecoveryHooks(std::function<void()> release, std::function<void()> reset);
    // The device list the whole-disk test consults; the process-wide one
    // unless a test names another (not owned).
    void SetDeviceData(QXUIDeviceData* devices);
    // The name match of searches (the front end's, which folds case the
    // user's way); without one, ASCII letters are compared without case.
    void SetNameMatcher(std::function<bool(const char* key, IFileNode* node)> matcher);
    // Makes the scan's controllers; the engine's CreateRecoveryController
    // unless a test scripts one. An empty function restores the engine's.
    void SetControllerFactory(std::function<IRecoveryController*(_RECOVERY_CONTROLLER_TYPE)> factory);

    // Runs one scan on the calling thread; the result of the last controller
    // run, or kScanNothingRan.
    EngineResult DoScan(IStorageDevice* storage, IRestoreScanSink* sink);
    _RECOVERY_CONTROLLER_TYPE GetScanControllerType(IStorageDevice* storage);
    void SetDeepScan(int deep);
    int IsDeepScan();
    void ResetRecoveryController(_RECOVERY_CONTROLLER_TYPE type);
    void ClearData();
    void SetSearchKey(const char* key);
    EngineResult DoVolumeStorageScan(IStorageDevice* storage);

    // Engine side.
    void UpdateProgress(_PROGRESS_INFO* info) override;
    void ShowNodes(IFileNode** nodes, unsigned count, int flag) override;
    void ShowFilesystemNode(IFilesystemNode* root) override;
    // The answers of the two sinks above (the engine's interface has none).
    int ShowNodesResult(IFileNode** nodes, unsigned count);
    int ShowFilesystemNodeResult(IFilesystemNode* root);

    int IsOpTreeFinished() override;
    void SetOpTreeFinished(int finished) override;

    bool IsStorageVolumeUnknow(IStorageDevice* storage);
    static CCollectedVolumeDeviceInfoStruct* GetStorageVolumeInfo(IStorageDevice* storage);
    int IsStorageMounted(IStorageDevice* storage);
    IRecoveryController* GetRecoveryController();
    IStorageDevice* GetSavedStorage();
    void SaveScanSorage(IStorageDevice* storage);
    int IsQvxRsf() const { return m_qvxRsf.load(); }
    void SetQvxRsf(int flag) { m_qvxRsf = flag; }
    int IsDmgRsf() const { return m_dmgRsf.load(); }
    void SetDmgRsf(int flag) { m_dmgRsf = flag; }
    static std::string GetNodeExt(IFileNode* node);

    // Result queries: copies, and takes (a copy, then emptied).
    std::vector<IFilesystemNode*> GetFileSystemNode();
    std::vector<IFileNode*> QXGetAllPathNode();
    std::vector<IFileNode*> QXGetNewPathNode();
    std::vector<IFileNode*> GetTypeNode();
    QXTypeMap GetTypeMap();
    QXTimeMap GetCreateTimeMap();
    QXTimeMap GetModifyTimeMap();
    QXTimeMap GetAccessTimeMap();
    // The view trees' incremental copies: only what lies beyond what the
    // caller has already looked at, so that a refresh costs the new nodes,
    // not the whole store. Per category, the nodes from index from[category]
    // on (0 when absent); per year and month (key year * 100 + month), the
    // nodes from index from[key] on. Lists with nothing new are left out.
    // `which` is 2 creation, 3 modification, 4 last access; any other: empty.
    QXTypeMap GetTypeMapFrom(const std::map<unsigned, std::size_t>& from);
    QXTimeMap GetTimeMapFrom(int which, const std::map<int, std::size_t>& from);
    // The same tails as flat arrays, in the same order (categories
    // ascending; years, then months ascending), keyed by the category bit
    // (month 0) or by year and month: one block per list instead of one
    // allocation per node, which is what a refresh from the start (a search)
    // pays for.
    struct ListTail {
        int key = 0;
        int month = 0;
        std::vector<IFileNode*> nodes;
    };
    std::vector<ListTail> GetTypeTailsFrom(const std::map<unsigned, std::size_t>& from);
    std::vector<ListTail> GetTimeTailsFrom(int which, const std::map<int, std::size_t>& from);
    // Every node filed by type, category after category, in one array.
    std::vector<IFileNode*> GetAllTypeNodes();

    // The reader of the node's volume root (quick scans only), or null.
    IDataRecovery* GetFileNodeDataRecover(IFileNode* node);
    void ReleaseDataRecovery();
    // The previews' own writers, released with the readers above.
    ThumbnailWriters& GetThumbnailWriters() { return m_thumbnailWriters; }
    void UnselectAllNodes();

    void* QXGetFileNode(IFileNode* node);
    void QXSetFileNode(IFileNode* node, void* view);
    void QXResetFileNode();

    std::uint64_t GetScanFileCnt() const { return m_fileCount.load(); }
    std::uint64_t GetScanFileSize() const { return m_fileSize.load(); }
    std::uint64_t GetSelectedFileCnt() const { return m_selectedCount.load(); }
    void SetSelectedFileCnt(std::uint64_t n) { m_selectedCount = n; }
    std::uint64_t GetSelectedFileSize() const { return m_selectedSize.load(); }
    void SetSelectedFileSize(std::uint64_t n) { m_selectedSize = n; }
    int GetCurrentScanRecoveryCnt() const { return m_recoveries.load(); }
    void SetCurrentScanRecoveryCnt(int n) { m_recoveries = n; }
    int GetScanType() const { return m_viewType.load(); }
    void SetScanType(int type) { m_viewType = type; }

    void SetSearching(int flag);
    int IsSearching();
    // A copy of the key; empty when none.
    std::string GetSearchKey();
    static void CreateTimeMapByFileNode(QXTimeMap& map, IFileNode* node, std::int64_t unused);

    void DoSearch(std::vector<IFileNode*>& found);
    void RefreshAllData();
    int FindRemoveData(IFileNode* node);
    void ReCalTotalSize();

private:
    void Notify(int final);
    QXUIDeviceData& Devices();

    std::mutex m_scanLock;
    std::function<void(int)> m_notify;
    std::function<void()> m_releaseRecovery, m_resetRecovery;
    QXUIDeviceData* m_devices = nullptr;
    std::function<IRecoveryController*(_RECOVERY_CONTROLLER_TYPE)> m_factory;
    std::function<bool(const char*, IFileNode*)> m_matcher;

    IRestoreScanSink* m_restoreSink = nullptr;
    IStorageDevice* m_savedStorage = nullptr;
    IRecoveryController* m_controller = nullptr;
    std::uint32_t m_deepScan = 0;
    std::atomic<int> m_treeFinished{1};
    std::atomic<int> m_qvxRsf{0}, m_dmgRsf{0};
    std::vector<IFilesystemNode*> m_roots;
    // Kept as arrays: a scan appends a million nodes to them, and the
    // outlines and the search walk them again and again; the lists the
    // queries answer are made from them on demand.
    using NodeArray = std::vector<IFileNode*>;
    using TimeArrays = std::map<int, std::map<int, NodeArray>>;
    TimeArrays m_createTimes, m_modifyTimes, m_accessTimes;
    std::map<unsigned, NodeArray> m_types;
    const TimeArrays* TimesOf(int which) const;
    std::vector<IFileNode*> m_newTypeFiles;
    std::map<IFileNode*, void*> m_nodeViews;
    std::vector<IFileNode*> m_newPathNodes;
    std::vector<IFileNode*> m_allFolders;
    std::vector<IFileNode*> m_shownFolders;
    std::map<IFileNode*, int> m_searchMarks;
    std::string m_searchKey;
    std::uint32_t m_searching = 0;
    std::atomic<int> m_viewType{0};
    std::atomic<std::uint64_t> m_selectedSize{0}, m_selectedCount{0};
    std::atomic<int> m_volumesToGo{0};
    std::atomic<std::uint64_t> m_fileCount{0}, m_fileSize{0};
    std::atomic<int> m_recoveries{0};
    std::map<IFileNode*, IDataRecovery*> m_readers;
    ThumbnailWriters m_thumbnailWriters;

};
