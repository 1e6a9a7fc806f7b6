#include "model/QXUIScan.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <iterator>
#include <thread>

#include "foundation/Log.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "storage/DeviceData.h"

namespace {

bool Failed(EngineResult result) { return (result >> 56) != 0; }

constexpr std::uint32_t kFileSystemUnknown = 10;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool AsciiNameMatch(const char* key, IFileNode* node) {
    const char* name = node != nullptr ? node->GetFileName() : nullptr;
    if (name == nullptr) return false;
    std::string haystack(name), needle(key);
    for (char& c : haystack) c = Lower(c);
    for (char& c : needle) c = Lower(c);
    return haystack.find(needle) != std::string::npos;
}

}  // namespace

QXUIScan& QXUIScan::instance() {
    static QXUIScan* scan = new QXUIScan;
    return *scan;
}

QXUIScan::QXUIScan() = default;

QXUIScan::~QXUIScan() {
    ReleaseDataRecovery();
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (m_controller != nullptr) m_controller->Release();
    m_controller = nullptr;
}

void QXUIScan::SetNotifyHook(std::function<void(int)> hook) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_notify = std::move(hook);
}

void QXUIScan::SetRecoveryHooks(std::function<void()> release, std::function<void()> reset) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_releaseRecovery = std::move(release);
    m_resetRecovery = std::move(reset);
}

void QXUIScan::SetDeviceData(QXUIDeviceData* devices) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_devices = devices;
}

void QXUIScan::SetControllerFactory(std::function<IRecoveryController*(_RECOVERY_CONTROLLER_TYPE)> factory) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_factory = std::move(factory);
}

void QXUIScan::SetNameMatcher(std::function<bool(const char*, IFileNode*)> matcher) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_matcher = std::move(matcher);
}

QXUIDeviceData& QXUIScan::Devices() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_devices != nullptr ? *m_devices : QXUIDeviceData::instance();
}

// The hook may build the view trees, which take the tree lock and then the
// operation mutex: it must never run with the operation mutex held.
void QXUIScan::Notify(int final) {
    std::function<void(int)> hook;
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        hook = m_notify;
    }
    if (hook) hook(final);
}

// Every early return leaves the operation idle and posts the final update:
// the controller set the status to running before it started this thread,
// and a status left there would keep the windows "scanning" for ever.
EngineResult QXUIScan::DoScan(IStorageDevice* storage, IRestoreScanSink* sink) {
    CatchExeception::WriteLog("%s:%d started!\r", "DoScan", 43);
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        m_restoreSink = sink;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    std::lock_guard<std::mutex> scanning(m_scanLock);

    std::function<void()> release, reset;
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        release = m_releaseRecovery;
        reset = m_resetRecovery;
    }
    if (release) release();

    auto endIdle = [this] {
        SetStatus(QXOP_IDLE);
        SetNeedUIUpdate(1);
        Notify(1);
    };
    auto finish = [this, &reset](EngineResult result) {
        if (reset) reset();
        {
            std::lock_guard<std::recursive_mutex> hold(m_lock);
            // The controllers copy what they need of the sink during the
            // replay; the sink itself dies with the restore thread's frame.
            if (m_controller != nullptr) m_controller->m_pRestoreScanSink = nullptr;
            m_restoreSink = nullptr;
        }
        CatchExeception::WriteLog("%s:%d end!\r", "DoScan", 137);
        return result;
    };

    EngineResult result = kScanNothingRan;
    _RECOVERY_CONTROLLER_TYPE type = RECOVERY_CONTROLLER_NONE;
    if (storage != nullptr) {
        SaveScanSorage(storage);
        SetNeedUIUpdate(0);
        type = GetScanControllerType(storage);
    }
    if (storage == nullptr || type == RECOVERY_CONTROLLER_NONE) {
        SetDeepScan(0);
        endIdle();
        return finish(result);
    }

    const int deep = IsDeepScan();
    // The quick readers belong to the controller about to be released.
    ReleaseDataRecovery();
    ResetRecoveryController(type);
    ClearData();
    SetSearchKey("");
    IRecoveryFilter* filter = QXUIFilter::instance().GetFilter();
    if (filter == nullptr) {
        endIdle();
        return finish(result);
    }

    QXUIDeviceData& devices = Devices();
    if (deep == 0 && devices.IsDiskStorage(storage)) {
        std::list<IStorageDevice*> volumes;
        devices.GetDiskVolumeStorage(storage, volumes);
        m_volumesToGo = static_cast<int>(volumes.size());
        for (IStorageDevice* volume : volumes) {
            if (m_volumesToGo < 1) break;
            --m_volumesToGo;
            if (QXUIDeviceData::IsVolumeStorageSupported(volume)) {
                filter->SetScanType(SCAN_TYPE_QUICK);
                result = DoVolumeStorageScan(volume);
                if (Failed(result) && GetStatus() == QXOP_STOP_REQUESTED) {
                    endIdle();
                    break;
                }
            } else if (m_volumesToGo == 0) {
                endIdle();
            }
        }
        // No volume at all, or a last volume that failed before its
        // finishing report: nothing else would end the scan.
        if (volumes.empty() || GetStatus() != QXOP_IDLE) {
            m_volumesToGo = 0;
            endIdle();
        }
    } else {
        filter->SetScanType(deep != 0 ? SCAN_TYPE_DEEP : SCAN_TYPE_QUICK);
        result = DoVolumeStorageScan(storage);
        // A failure, or a run that ended without its finishing report.
        if (Failed(result) || GetStatus() != QXOP_IDLE) endIdle();
    }
    return finish(result);
}

_RECOVERY_CONTROLLER_TYPE QXUIScan::GetScanControllerType(IStorageDevice* storage) {
    if (storage == nullptr) return RECOVERY_CONTROLLER_NONE;
    if (IsDeepScan() != 0)
        return Devices().IsDiskStorage(storage) ? RECOVERY_CONTROLLER_DEEP_DISK : RECOVERY_CONTROLLER_DEEP_VOLUME;
    return RECOVERY_CONTROLLER_QUICK;
}

void QXUIScan::SetDeepScan(int deep) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_deepScan = static_cast<std::uint32_t>(deep);
}

// A volume whose file system is unknown is always scanned deep.
int QXUIScan::IsDeepScan() {
    IStorageDevice* saved = GetSavedStorage();
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (m_deepScan == 0 && !Devices().IsDiskStorage(saved)) {
        m_deepScan = IsStorageVolumeUnknow(saved) ? 1 : 0;
        return static_cast<int>(m_deepScan);
    }
    return static_cast<int>(m_deepScan);
}

void QXUIScan::ResetRecoveryController(_RECOVERY_CONTROLLER_TYPE type) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (m_controller != nullptr) m_controller->Release();
    m_controller = m_factory ? m_factory(type) : CreateRecoveryController(type);
    if (m_controller != nullptr && m_restoreSink != nullptr && type <= RECOVERY_CONTROLLER_DEEP_DISK)
        m_controller->m_pRestoreScanSink = m_restoreSink;
}

void QXUIScan::ClearData() {
    m_volumesToGo = 0;
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    SetStartTime(now);
    SetLatestTime(now);
    m_selectedSize = 0;
    m_selectedCount = 0;
    m_fileCount = 0;
    m_fileSize = 0;
    m_recoveries = 0;
    ReleaseDataRecovery();
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_roots.clear();
    m_allFolders.clear();
    m_shownFolders.clear();
    m_types.clear();
    m_newTypeFiles.clear();
    m_newPathNodes.clear();
    m_nodeViews.clear();
    m_createTimes.clear();
    m_modifyTimes.clear();
    m_accessTimes.clear();
    // Marks of the previous result's folders would answer for new nodes
    // made at the same addresses.
    m_searchMarks.clear();
    _PROGRESS_INFO zero{};
    SetProgressInfo(zero);
}

void QXUIScan::SetSearchKey(const char* key) {
    if (key == nullptr) return;
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_searchKey = key;
}

EngineResult QXUIScan::DoVolumeStorageScan(IStorageDevice* storage) {
    IRecoveryController* controller = GetRecoveryController();
    if (storage == nullptr || controller == nullptr || Continued() == 0) return kScanNotRunning;
    SetStatus(QXOP_RUNNING);
    controller->Initialize(QXUIFilter::instance().GetFilter());
    if (const CCollectedVolumeDeviceInfoStruct* info = QXUIDeviceData::GetVolumeInfo(storage)) {
        char name[sizeof info->volumeName + 1] = {};
        std::memcpy(name, info->volumeName, sizeof info->volumeName);
        CatchExeception::WriteLog("=======scan volumes(%d):(%s)======\n", m_volumesToGo.load(), name);
    }
    std::size_t rootsBefore = 0;
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        rootsBefore = m_roots.size();
    }
    const EngineResult result = controller->StartDataRecovery(storage, this, this);
    // A replayed quick scan gives its controller the stored partitions only
    // once the replay has ended, after the roots were shown: their readers
    // are taken again now, or they would read through no partition (or
    // through the previous volume's).
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (m_restoreSink != nullptr && controller->thisType() == RECOVERY_CONTROLLER_QUICK) {
        for (std::size_t i = rootsBefore; i < m_roots.size(); ++i) {
            IDataRecovery*& reader = m_readers[m_roots[i]];
            if (reader != nullptr) reader->Release();
            reader = controller->GetDataRecovery(
                static_cast<_tagSearcherType>(QXCPPPublic::GetNodeSearcheType(m_roots[i])));
        }
    }
    return result;
}

void QXUIScan::UpdateProgress(_PROGRESS_INFO* info) {
    if (info == nullptr) return;
    SetProgressInfo(*info);
    if (info->state == PROGRESS_STATE_FINISHED) {
        {
            std::lock_guard<std::recursive_mutex> hold(m_lock);
            if (m_volumesToGo <= 0 || m_status == QXOP_STOP_REQUESTED) {
                m_volumesToGo = 0;
                m_status = QXOP_IDLE;
            }
        }
        Notify(1);
        CatchExeception::WriteLog("=====Scan Progress finished!=====\n");
    }
    SetLatestTime(static_cast<std::int64_t>(std::time(nullptr)));
    SetNeedUIUpdate(1);
}

void QXUIScan::ShowNodes(IFileNode** nodes, unsigned count, int) { ShowNodesResult(nodes, count); }

int QXUIScan::ShowNodesResult(IFileNode** nodes, unsigned count) {
    if (count == 0 || nodes == nullptr) return 0;
    IRecoveryFilter* filter = QXUIFilter::instance().GetFilter();
    std::uint64_t files = 0;
    for (unsigned i = 0; i < count; ++i) {
        IFileNode* node = nodes[i];
        if (node == nullptr) continue;
        // Per node, so that the windows' reads get in between.
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        if (node->IsDirectory()) {
            m_shownFolders.push_back(node);
            m_allFolders.push_back(node);
            m_newPathNodes.push_back(node);
            m_searchMarks[node] = 0;
            continue;
        }
        ++files;
        int year = 0, month = 0;
        if (const std::int64_t created = node->GetCreationTime(); created != 0) {
            QXCPPPublic::GetYearMonthByFileTime(&year, &month, created);
            m_createTimes[year][month].push_back(node);
        }
        if (const std::int64_t modified = node->GetModificationTime(); modified != 0) {
            QXCPPPublic::GetYearMonthByFileTime(&year, &month, modified);
            m_modifyTimes[year][month].push_back(node);
        }
        if (filter != nullptr) {
            m_types[filter->GetNodeFileType(node)].push_back(node);
            m_newTypeFiles.push_back(node);
        }
        m_fileSize += static_cast<std::uint64_t>(node->GetFileSize());
    }
    m_fileCount += files;
    SetNeedUIUpdate(1);
    Notify(0);
    return 1;
}

void QXUIScan::ShowFilesystemNode(IFilesystemNode* root) { ShowFilesystemNodeResult(root); }

int QXUIScan::ShowFilesystemNodeResult(IFilesystemNode* root) {
    if (root == nullptr) return 0;
    const char* name = root->GetFileName();
    CatchExeception::WriteLog("=====ShowFileSystemNodes:%s\n", name != nullptr ? name : "");
    if (!root->IsDirectory()) return 0;
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        const int searcher = QXCPPPublic::GetNodeSearcheType(root);
        // A whole-disk quick scan runs one quick search per volume; each
        // volume keeps its own reader.
        if (m_controller != nullptr && m_controller->thisType() == RECOVERY_CONTROLLER_QUICK) {
            IDataRecovery*& reader = m_readers[root];
            if (reader != nullptr) reader->Release();
            reader = m_controller->GetDataRecovery(static_cast<_tagSearcherType>(searcher));
            // Previews get a writer of their own, never the recovery's.
            m_thumbnailWriters.AdoptVolumeWriter(
                root, m_controller->GetDataRecovery(static_cast<_tagSearcherType>(searcher)));
        }
        m_roots.push_back(root);
        m_newPathNodes.push_back(root);
    }
    SetNeedUIUpdate(1);
    return 1;
}

int QXUIScan::IsOpTreeFinished() { return m_treeFinished.load(); }

void QXUIScan::SetOpTreeFinished(int finished) { m_treeFinished = finished; }

bool QXUIScan::IsStorageVolumeUnknow(IStorageDevice* storage) {
    if (storage == nullptr || Devices().IsDiskStorage(storage)) return false;
    const CCollectedVolumeDeviceInfoStruct* info = GetStorageVolumeInfo(storage);
    return info != nullptr && info->fileSystemType == kFileSystemUnknown;
}

CCollectedVolumeDeviceInfoStruct* QXUIScan::GetStorageVolumeInfo(IStorageDevice* storage) {
    return QXUIDeviceData::GetVolumeInfo(storage);
}

int QXUIScan::IsStorageMounted(IStorageDevice* storage) {
    if (storage == nullptr) return 0;
    if (Devices().IsDiskStorage(storage)) return 1;
    const CCollectedVolumeDeviceInfoStruct* info = GetStorageVolumeInfo(storage);
    return info != nullptr ? static_cast<int>(info->mounted) : 0;
}

IRecoveryController* QXUIScan::GetRecoveryController() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_controller;
}

IStorageDevice* QXUIScan::GetSavedStorage() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_savedStorage;
}

void QXUIScan::SaveScanSorage(IStorageDevice* storage) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_savedStorage = storage;
}

std::string QXUIScan::GetNodeExt(IFileNode* node) {
    const char* name = node != nullptr ? node->GetFileName() : nullptr;
    if (name == nullptr) return {};
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr) return {};
    std::string ext(dot + 1);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

std::vector<IFilesystemNode*> QXUIScan::GetFileSystemNode() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_roots;
}

std::vector<IFileNode*> QXUIScan::QXGetAllPathNode() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    std::vector<IFileNode*> all(m_roots.begin(), m_roots.end());
    all.insert(all.end(), m_allFolders.begin(), m_allFolders.end());
    return all;
}

std::vector<IFileNode*> QXUIScan::QXGetNewPathNode() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    std::vector<IFileNode*> taken;
    taken.swap(m_newPathNodes);
    return taken;
}

std::vector<IFileNode*> QXUIScan::GetTypeNode() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    std::vector<IFileNode*> taken;
    taken.swap(m_newTypeFiles);
    return taken;
}

namespace {

std::list<IFileNode*> AsList(const std::vector<IFileNode*>& nodes, std::size_t start = 0) {
    if (start >= nodes.size()) return {};
    return std::list<IFileNode*>(nodes.begin() + static_cast<std::ptrdiff_t>(start), nodes.end());
}

template <class Arrays>
QXTimeMap AsTimeMap(const Arrays& arrays) {
    QXTimeMap map;
    for (const auto& [year, months] : arrays)
        for (const auto& [month, nodes] : months) map[year].emplace(month, AsList(nodes));
    return map;
}

}  // namespace

QXTypeMap QXUIScan::GetTypeMap() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    QXTypeMap map;
    for (const auto& [type, nodes] : m_types) map.emplace(type, AsList(nodes));
    return map;
}

QXTimeMap QXUIScan::GetCreateTimeMap() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return AsTimeMap(m_createTimes);
}

QXTimeMap QXUIScan::GetModifyTimeMap() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return AsTimeMap(m_modifyTimes);
}

QXTimeMap QXUIScan::GetAccessTimeMap() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return AsTimeMap(m_accessTimes);
}

const QXUIScan::TimeArrays* QXUIScan::TimesOf(int which) const {
    switch (which) {
    case 2: return &m_createTimes;
    case 3: return &m_modifyTimes;
    case 4: return &m_accessTimes;
    default: return nullptr;
    }
}

QXTypeMap QXUIScan::GetTypeMapFrom(const std::map<unsigned, std::size_t>& from) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    QXTypeMap tails;
    for (const auto& [type, nodes] : m_types) {
        auto it = from.find(type);
        std::list<IFileNode*> tail = AsList(nodes, it == from.end() ? 0 : it->second);
        if (!tail.empty()) tails.emplace(type, std::move(tail));
    }
    return tails;
}

QXTimeMap QXUIScan::GetTimeMapFrom(int which, const std::map<int, std::size_t>& from) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    QXTimeMap tails;
    const TimeArrays* map = TimesOf(which);
    if (map == nullptr) return tails;
    for (const auto& [year, months] : *map)
        for (const auto& [month, nodes] : months) {
            auto it = from.find(year * 100 + month);
            std::list<IFileNode*> tail = AsList(nodes, it == from.end() ? 0 : it->second);
            if (!tail.empty()) tails[year].emplace(month, std::move(tail));
        }
    return tails;
}

std::vector<QXUIScan::ListTail> QXUIScan::GetTypeTailsFrom(const std::map<unsigned, std::size_t>& from) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    std::vector<ListTail> tails;
    for (const auto& [type, nodes] : m_types) {
        auto it = from.find(type);
        const std::size_t start = it == from.end() ? 0 : it->second;
        if (start >= nodes.size()) continue;
        tails.push_back(ListTail{static_cast<int>(type), 0,
                                 NodeArray(nodes.begin() + static_cast<std::ptrdiff_t>(start), nodes.end())});
    }
    return tails;
}

std::vector<QXUIScan::ListTail> QXUIScan::GetTimeTailsFrom(int which, const std::map<int, std::size_t>& from) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    std::vector<ListTail> tails;
    const TimeArrays* map = TimesOf(which);
    if (map == nullptr) return tails;
    for (const auto& [year, months] : *map)
        for (const auto& [month, nodes] : months) {
            auto it = from.find(year * 100 + month);
            const std::size_t start = it == from.end() ? 0 : it->second;
            if (start >= nodes.size()) continue;
            tails.push_back(
                ListTail{year, month, NodeArray(nodes.begin() + static_cast<std::ptrdiff_t>(start), nodes.end())});
        }
    return tails;
}

std::vector<IFileNode*> QXUIScan::GetAllTypeNodes() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    std::size_t count = 0;
    for (const auto& [type, nodes] : m_types) count += nodes.size();
    std::vector<IFileNode*> all;
    all.reserve(count);
    for (const auto& [type, nodes] : m_types) all.insert(all.end(), nodes.begin(), nodes.end());
    return all;
}

IDataRecovery* QXUIScan::GetFileNodeDataRecover(IFileNode* node) {
    IFilesystemNode* root = QXCPPPublic::GetFileSystemNode(node);
    if (root == nullptr) return nullptr;
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    auto it = m_readers.find(root);
    return it == m_readers.end() ? nullptr : it->second;
}

// The scan thread appends to the map and the roots: copy them under the
// operation mutex, then act outside it.
void QXUIScan::ReleaseDataRecovery() {
    std::map<IFileNode*, IDataRecovery*> readers;
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        readers.swap(m_readers);
    }
    for (auto& [root, reader] : readers)
        if (reader != nullptr) reader->Release();
    m_thumbnailWriters.Release();
}

void QXUIScan::UnselectAllNodes() {
    for (IFilesystemNode* root : GetFileSystemNode())
        if (root != nullptr) root->SetCheck(CHECKED_NONE);
}

void* QXUIScan::QXGetFileNode(IFileNode* node) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    auto it = m_nodeViews.find(node);
    return it == m_nodeViews.end() ? nullptr : it->second;
}

void QXUIScan::QXSetFileNode(IFileNode* node, void* view) {
    if (node == nullptr || view == nullptr) return;
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_nodeViews[node] = view;
}

void QXUIScan::QXResetFileNode() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_nodeViews.clear();
}

void QXUIScan::SetSearching(int flag) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_searching = static_cast<std::uint32_t>(flag);
}

int QXUIScan::IsSearching() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return static_cast<int>(m_searching);
}

std::string QXUIScan::GetSearchKey() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_searchKey;
}

void QXUIScan::CreateTimeMapByFileNode(QXTimeMap& map, IFileNode* node, std::int64_t) {
    if (node == nullptr) return;
    int year = 0, month = 0;
    QXCPPPublic::GetYearMonthByFileTime(&year, &month, node->GetCreationTime());
    map[year][month].push_back(node);
}

void QXUIScan::DoSearch(std::vector<IFileNode*>& found) {
    RefreshAllData();
    found.clear();
    const std::vector<IFileNode*> all = GetAllTypeNodes();
    const std::string key = GetSearchKey();
    std::function<bool(const char*, IFileNode*)> matches;
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        matches = m_matcher;
    }
    if (!matches) matches = AsciiNameMatch;
    for (IFileNode* node : all) {
        if (node == nullptr) continue;
        const bool match = key.empty() || matches(key.c_str(), node);
        node->ShowNode(match ? 1 : 0);
        if (match && !node->IsDirectory()) found.push_back(node);
    }
}

void QXUIScan::RefreshAllData() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_shownFolders = m_allFolders;
    for (IFileNode* folder : m_shownFolders) m_searchMarks[folder] = 0;
}

// Answers 1 for every folder, and the path view asks only for folders, so
// the search marks are never consulted; kept as the views expect it.
int QXUIScan::FindRemoveData(IFileNode* node) {
    if (node == nullptr) return 0;
    if (node->IsDirectory()) return 1;
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    auto it = m_searchMarks.find(node);
    if (it == m_searchMarks.end()) return 0;
    m_searchMarks.erase(it);
    return 1;
}

void QXUIScan::ReCalTotalSize() {
    std::uint64_t total = 0;
    for (IFileNode* node : GetAllTypeNodes())
        if (node != nullptr && node->IsNodeShow()) total += static_cast<std::uint64_t>(node->GetFileSize());
    m_fileSize = total;
}
