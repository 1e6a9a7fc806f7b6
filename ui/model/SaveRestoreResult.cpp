#include "model/SaveRestoreResult.h"

#include <cstdio>
#include <list>
#include <mutex>
#include <vector>

#include "foundation/Log.h"
#include "foundation/SearchedPartitionInfo.h"
#include "recovery/DataRecovery.h"
#include "recovery/DeletedRecoveryController.h"
#include "foundation/StorageDevice.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/WorkerThread.h"
#include "storage/DmgDevice.h"
#include "storage/QvxDevice.h"

using namespace scanresult;

QXSaveAndRestoreNodeOperate& QXSaveAndRestoreNodeOperate::instance() {
    static QXSaveAndRestoreNodeOperate operation;
    return operation;
}

void QXSaveAndRestoreNodeOperate::UpdateProgress(_PROGRESS_INFO* info) {
    if (info != nullptr) {
        SetProgressInfo(*info);
        if (info->state == PROGRESS_STATE_FINISHED) {
            SetStatus(QXOP_IDLE);
            std::printf("=====Scan Progress finished!=====\n");
            std::fflush(stdout);
        }
    }
    SetNeedUIUpdate(1);
}

namespace SaveRestoreResult {

std::atomic<int> iErrorCode{0};

namespace {

using Clock = std::chrono::steady_clock;

// Save and restore never run at once (the entry points refuse a second):
// the progress record and its step time belong to the one running.
std::mutex g_progressLock;
_PROGRESS_INFO g_progress{};
bool g_stepTaken = false;
Clock::time_point g_lastStep{};
std::function<Clock::time_point()> g_clock;

// The stored kinds of the last restored result's partitions.
std::mutex g_kindsLock;
PartitionKinds g_restoredKinds;

std::mutex g_threadLock;
std::shared_ptr<WorkerThread> g_thread;

Clock::time_point Now() {
    std::lock_guard lock(g_progressLock);
    return g_clock ? g_clock() : Clock::now();
}

int Send(IProgress* sink, _PROGRESS_INFO record) {
    if (sink == nullptr) return 0;
    sink->UpdateProgress(&record);
    return 0;
}

void Log(const char* function, int line) { CatchExeception::WriteLog("%s %d\r\n", function, line); }

int Start(const char* name, OperationPara* para, void (*body)(OperationPara*)) {
    std::lock_guard lock(g_threadLock);
    if (g_thread && g_thread->IsRunning()) {
        delete para;
        return -3;
    }
    auto thread = WorkerThread::Start(name, [para, body] { body(para); });
    if (!thread) {
        delete para;
        return -2;
    }
    g_thread = std::move(thread);
    return 0;
}

StoredDevice DeviceRecord(IStorageDevice* storage, QXUIDeviceData& devices) {
    StoredDevice stored;
    if (storage == nullptr) return stored;
    _DiskVolumeData record;
    const int filled = devices.IsDiskStorage(storage) ? devices.GetDiskDataByStorage(storage, record)
                                                      : devices.GetVolumeDataByStorage(storage, record);
    if (filled == 0) {
        stored.size = static_cast<std::uint64_t>(storage->GetTotalSectors()) *
                      (storage->GetSectorSize() != 0 ? storage->GetSectorSize() : 512);
        return stored;
    }
    stored.size = static_cast<std::uint64_t>(record.capacity);
    stored.diskIndex = record.diskIndex;
    stored.volumeIndex = record.volumeIndex;
    stored.fileSystem = record.fileSystem;
    stored.name = record.name;
    if (record.isAppleDmg != 0 && record.dmgInfo != nullptr) {
        std::uint8_t raw[kDmgInfoSize];
        SerialiseDmgInfo(*record.dmgInfo, raw);
        stored.dmg = true;
        stored.dmgRecord.assign(raw, raw + sizeof raw);
    }
    if (record.isQvx != 0 && record.qvxInfo != nullptr) {
        std::uint8_t raw[kQvxInfoSize];
        SerialiseQvxInfo(*record.qvxInfo, raw);
        stored.qvx = true;
        stored.qvxRecord.assign(raw, raw + sizeof raw);
    }
    return stored;
}

bool FillLive(QXUIDeviceData& devices, IStorageDevice* device, _DiskVolumeData& record) {
    return (devices.IsDiskStorage(device) ? devices.GetDiskDataByStorage(device, record)
                                          : devices.GetVolumeDataByStorage(device, record)) != 0;
}

}  // namespace

void SetStepClock(std::function<Clock::time_point()> clock) {
    std::lock_guard lock(g_progressLock);
    g_clock = std::move(clock);
}

int IncProgress(IProgress* sink, bool bEnd, bool bBegin) {
    _PROGRESS_INFO record;
    if (bBegin) {
        iErrorCode = 0;
        MakeProgressInfo(&record, PROGRESS_STATE_RUNNING, 100, 5);
        {
            std::lock_guard lock(g_progressLock);
            g_progress = record;
            g_stepTaken = false;
        }
        return Send(sink, record);
    }
    if (bEnd) {
        std::lock_guard lock(g_progressLock);
        g_progress.state = PROGRESS_STATE_FINISHED;
        g_progress.total = 100;
        g_progress.current = g_progress.total;
        g_progress.error = iErrorCode.load();
        record = g_progress;
    } else {
        const Clock::time_point now = Now();
        std::lock_guard lock(g_progressLock);
        // A monotonic difference: no wrap ever freezes the steps.
        if (g_stepTaken && now - g_lastStep < std::chrono::milliseconds(100)) return 0;
        g_stepTaken = true;
        g_lastStep = now;
        if (g_progress.current + 2 < g_progress.total) ++g_progress.current;
        record = g_progress;
    }
    return Send(sink, record);
}

void TipError(IProgress* sink, int code) {
    _PROGRESS_INFO record;
    MakeProgressInfo(&record, PROGRESS_STATE_FINISHED, 100, 100, code);
    iErrorCode = code;
    {
        std::lock_guard lock(g_progressLock);
        g_progress = record;
    }
    Send(sink, record);
}

void Static_SaveScanResult(OperationPara* para) {
    std::unique_ptr<OperationPara> owned(para);
    IProgress* sink = para->progress;
    IncProgress(sink, false, true);
    Log("Static_SaveScanResult", __LINE__);
    QXUIScan& scan = QXUIScan::instance();
    QXUIDeviceData& devices = QXUIDeviceData::instance();
    DevicePin pin(devices);

    IStorageDevice* storage = scan.GetSavedStorage();
    StoredHead head;
    head.controllerType = scan.GetScanControllerType(storage);
    head.deep = scan.IsDeepScan() != 0 ? 1 : 0;
    head.device = DeviceRecord(storage, devices);

    // A deep result's partitions come from writers of the scan's controller,
    // taken for the save and released after it; a quick result's from the
    // readers the bridge keeps per volume root.
    std::vector<VolumeToSave> volumes;
    std::vector<IDataRecovery*> taken;
    IRecoveryController* controller = scan.GetRecoveryController();
    for (IFilesystemNode* root : scan.GetFileSystemNode()) {
        if (root == nullptr) continue;
        VolumeToSave volume;
        volume.root = root;
        volume.searcherType = static_cast<std::uint32_t>(QXCPPPublic::GetNodeSearcheType(root));
        const char* name = root->GetVolumeName();
        volume.volumeName = name != nullptr ? name : "";
        IDataRecovery* recovery = nullptr;
        if (head.controllerType == RECOVERY_CONTROLLER_QUICK) {
            recovery = scan.GetFileNodeDataRecover(root);
        } else if (controller != nullptr) {
            // The tag tree's files are read by the raw search's writer.
            const std::uint32_t type = volume.searcherType == SEARCHER_RAW_TAG
                                           ? static_cast<std::uint32_t>(SEARCHER_RAW)
                                           : volume.searcherType;
            recovery = controller->GetDataRecovery(static_cast<_tagSearcherType>(type));
            if (recovery != nullptr) taken.push_back(recovery);
        }
        if (auto* writer = dynamic_cast<CDataRecovery*>(recovery)) {
            for (CSearchedPartitionInfo* p : writer->GetSearchedPartition()) {
                if (p == nullptr) continue;
                volume.partitions.push_back(p);
                std::uint32_t kind = static_cast<std::uint32_t>(p->GetType());
                if (kind == CSearchedPartitionInfo::kBaseType) {
                    std::lock_guard lock(g_kindsLock);
                    auto it = g_restoredKinds.find(PartitionKey(volume.searcherType, *p));
                    if (it != g_restoredKinds.end()) kind = it->second;
                }
                volume.kinds.push_back(kind);
                CatchExeception::WriteLog("%s:%d partition index:%d fileSystemType%d start:%lld end:%lld\n",
                                          "Static_SaveScanResult", __LINE__, p->GetPartitionIndex(),
                                          p->GetFileSystemType(), static_cast<long long>(p->GetStartSector()),
                                          static_cast<long long>(p->GetTotalSectors()));
            }
        }
        volumes.push_back(std::move(volume));
    }

    const int code = WriteScanResult(para->path.c_str(), head, volumes, [sink] { IncProgress(sink, false, false); });
    for (IDataRecovery* writer : taken) writer->Release();
    if (code != kResultOk) {
        Log("Static_SaveScanResult", __LINE__);
        TipError(sink, code);
    }
    Log("Static_SaveScanResult", __LINE__);
    IncProgress(sink, true, false);
}

IStorageDevice* GetFromDiskVolumeData(const StoredDevice& stored, const char* qvxPath, const char* rsfPath,
                                      QXUIDeviceData& devices) {
    if (stored.qvx)
        return devices.GetStorageByQvxInfo(stored.qvxRecord.data(), static_cast<int>(stored.qvxRecord.size()),
                                           qvxPath != nullptr ? qvxPath : "");
    if (stored.dmg)
        return devices.GetStorageByDmgInfo(stored.dmgRecord.data(), static_cast<int>(stored.dmgRecord.size()),
                                           rsfPath != nullptr ? rsfPath : "");
    if (devices.GetInitState() != 2) devices.InitDeviceInfo();
    if (IStorageDevice* device = devices.GetStorageByDiskVolumeIndex(stored.diskIndex, stored.volumeIndex)) {
        _DiskVolumeData live;
        // Another disk of the same size may sit at the same index now: the
        // name must agree too, when one was stored.
        if (FillLive(devices, device, live) && static_cast<std::uint64_t>(live.capacity) == stored.size &&
            (stored.name.empty() || live.name == stored.name))
            return device;
    }
    std::list<_DiskVolumeData> disks;
    devices.GetAllDeviceInfo(disks);
    auto same = [&stored](const _DiskVolumeData& r) {
        return r.name == stored.name && r.fileSystem == stored.fileSystem &&
               static_cast<std::uint64_t>(r.capacity) == stored.size;
    };
    for (const _DiskVolumeData& disk : disks) {
        if (same(disk)) {
            if (IStorageDevice* device = devices.GetStorageByDiskVolumeIndex(disk.diskIndex, -1)) return device;
        }
        for (const _DiskVolumeData& volume : disk.volumes)
            if (same(volume))
                if (IStorageDevice* device = devices.GetStorageByDiskVolumeIndex(volume.diskIndex, volume.volumeIndex))
                    return device;
    }
    return nullptr;
}

void Static_RestoreScanResult(OperationPara* para) {
    std::unique_ptr<OperationPara> owned(para);
    IProgress* sink = para->progress;
    QXUIScan& scan = QXUIScan::instance();
    QXUIDeviceData& devices = QXUIDeviceData::instance();
    DevicePin pin(devices);
    scan.ClearData();
    IncProgress(sink, false, true);
    Log("Static_RestoreScanResult", __LINE__);

    CRSData rs(RSMODE_READ);
    StoredHead head;
    int code = OpenScanResult(para->path.c_str(), rs, head);
    IncProgress(sink, false, false);
    if (code == kResultOk) {
        IStorageDevice* device = GetFromDiskVolumeData(head.device, para->qvxPath.c_str(), para->path.c_str(), devices);
        if (device == nullptr) {
            Log("Static_RestoreScanResult", __LINE__);
            code = head.device.qvx ? kResultQvxNotFound : kResultDeviceNotFound;
        } else {
            IncProgress(sink, false, false);
            scan.SetDmgRsf(head.device.dmg ? 1 : 0);
            scan.SetQvxRsf(head.device.qvx ? 1 : 0);
            ScanResultReplay replay(&rs, CaptionMatcher(head.device.dmg), [sink] { IncProgress(sink, false, false); });
            scan.SetDeepScan(head.deep != 0 ? 1 : 0);
            // The bridge runs a scan with the replay in place of the
            // searchers; the restore thread is its worker.
            scan.SetStatus(QXOP_RUNNING);
            scan.DoScan(device, &replay);
            scan.SetOpTreeFinished(1);
            {
                std::lock_guard lock(g_kindsLock);
                g_restoredKinds = replay.Kinds();
            }
            if (replay.Damaged())
                code = kResultNodesDamaged;
            else if (replay.MatchedVolumes() == 0)
                code = kResultDeviceNotFound;
        }
    }
    rs.EndRS();
    if (code != kResultOk) TipError(sink, code);
    Log("Static_RestoreScanResult", __LINE__);
    IncProgress(sink, true, false);
}

bool IsRunning() {
    std::lock_guard lock(g_threadLock);
    return g_thread && g_thread->IsRunning();
}

bool Join(std::chrono::milliseconds bound) {
    std::shared_ptr<WorkerThread> thread;
    {
        std::lock_guard lock(g_threadLock);
        thread = g_thread;
    }
    return !thread || thread->Join(bound);
}

}  // namespace SaveRestoreResult

int DoSaveScanResult(const char* path, IProgress* progress) {
    if (path == nullptr || progress == nullptr) return -1;
    // The trees and the bridge's maps are read without a lock: nothing may
    // change them meanwhile.
    QXUIScan& scan = QXUIScan::instance();
    if (scan.GetStatus() != QXOP_IDLE || scan.IsSearching() != 0) return -3;
    return SaveRestoreResult::Start("save scan result", new SaveRestoreResult::OperationPara{path, progress, {}},
                                    SaveRestoreResult::Static_SaveScanResult);
}

int DoRestoreScanResult(const char* path, IProgress* progress, const char* qvxPath) {
    if (path == nullptr || progress == nullptr) return -1;
    QXUIScan& scan = QXUIScan::instance();
    if (scan.IsSearching() != 0) return -3;
    return SaveRestoreResult::Start(
        "restore scan result", new SaveRestoreResult::OperationPara{path, progress, qvxPath != nullptr ? qvxPath : ""},
        SaveRestoreResult::Static_RestoreScanResult);
}
