#include "model/QXUIRecovery.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <vector>

#include "foundation/Log.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "platform/SameDevice.h"
#include "recovery/FileReader.h"
#include "storage/DeviceData.h"

namespace {

// The file writer's failed write to the destination (module 0x0d).
constexpr std::uint32_t kWriteFailedError = 0xD03;

// The searcher types that get a writer of their own; raw-by-tag files are
// read with a second writer of the raw search.
constexpr int kWriterTypes[] = {SEARCHER_HFSPLUS, SEARCHER_FAT,  SEARCHER_EXFAT,
                                SEARCHER_RAW,     SEARCHER_NTFS, SEARCHER_APFS};

// Adds the name to a "a,b," list unless the list already holds it anywhere
// (a name inside a longer listed name counts as listed).
void AddFolderName(std::string& list, IFileNode* node) {
    IFileNode* parent = node->GetParent();
    const char* name = parent != nullptr ? parent->GetFileName() : nullptr;
    if (name == nullptr) return;
    if (list.find(name) != std::string::npos) return;
    list += name;
    list += ',';
}

std::string FieldText(const char* field, std::size_t size) { return std::string(field, strnlen(field, size)); }

bool SameNumber(std::int32_t recorded, dev_t device) {
    return recorded != 0 && static_cast<dev_t>(static_cast<std::uint32_t>(recorded)) == device;
}

// The kernel name of the whole disk of a listed disk or volume; "" when the
// records do not say.
std::string DiskName(IStorageDevice* storage) {
    if (storage == nullptr) return {};
    if (auto* disk = dynamic_cast<IDiskDeviceData*>(storage->GetPrivateData()))
        return disk->GetDiskInfo() != nullptr
                   ? FieldText(disk->GetDiskInfo()->bsdName, sizeof disk->GetDiskInfo()->bsdName)
                   : std::string();
    const CCollectedVolumeDeviceInfoStruct* volume = QXUIDeviceData::GetVolumeInfo(storage);
    if (volume == nullptr) return {};
    if (volume->parent != nullptr && volume->parent != storage) {
        const std::string name = DiskName(volume->parent);
        if (!name.empty()) return name;
    }
    return FieldText(volume->bsdName, sizeof volume->bsdName);
}

}  // namespace

QXUIRecovery& QXUIRecovery::instance() {
    static QXUIRecovery* recovery = new QXUIRecovery(QXUIScan::instance());
    return *recovery;
}

QXUIRecovery::QXUIRecovery(QXUIScan& scan) : m_scan(scan) {
    ResetParam();
    // Writers die with the controller that made them: let go of them before
    // each scan, and take the new controller's when it has ended.
    m_scan.SetRecoveryHooks([this] { ReleaseDataRecovery(); }, [this] { ResetParam(); });
}

QXUIRecovery::~QXUIRecovery() {
    m_scan.SetRecoveryHooks(nullptr, nullptr);
    ReleaseDataRecovery();
}

IRecoveryController* QXUIRecovery::HeldController() {
    std::lock_guard<std::mutex> hold(m_writersLock);
    return m_controller;
}

void QXUIRecovery::InitDataRecoveryController() {
    IRecoveryController* controller = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_writersLock);
        if (m_controller == nullptr) m_controller = m_scan.GetRecoveryController();
        controller = m_controller;
    }
    if (controller == nullptr) return;
    auto own = [](IDataRecovery* writer) {
        return writer == nullptr ? Writer() : Writer(writer, [](IDataRecovery* w) { w->Release(); });
    };
    std::map<int, Writer> fresh;
    for (int type : kWriterTypes)
        if (Writer w = own(controller->GetDataRecovery(static_cast<_tagSearcherType>(type)))) fresh[type] = w;
    // A writer of its own, not the raw search's one again: the map releases
    // each entry once.
    if (Writer w = own(controller->GetDataRecovery(SEARCHER_RAW))) fresh[SEARCHER_RAW_TAG] = w;
    const std::uint32_t deep = m_scan.IsDeepScan() != 0 ? 1 : 0;
    std::map<int, Writer> replaced;
    {
        std::lock_guard<std::mutex> hold(m_writersLock);
        replaced.swap(m_writers);
        m_writers.swap(fresh);
        m_deep = deep;
    }
    // `replaced` goes here, outside the lock; a writer still in use by the
    // recovery thread goes when that copy ends.
}

void QXUIRecovery::ReleaseDataRecovery() {
    std::map<int, Writer> released;
    {
        std::lock_guard<std::mutex> hold(m_writersLock);
        released.swap(m_writers);
        m_controller = nullptr;
        m_deep = 0;
    }
    // The nodes go with the controller.
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_currentNode = nullptr;
}

void QXUIRecovery::ResetParam() {
    {
        std::lock_guard<std::mutex> hold(m_writersLock);
        m_controller = nullptr;
    }
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        m_currentNode = nullptr;
    }
    InitDataRecoveryController();
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    // A retake during a recovery keeps its totals and counts.
    if (m_status != QXOP_RUNNING && m_status != QXOP_PAUSED) {
        m_recoveredBytes = 0;
        m_totalSize = 0;
        m_totalFiles = 0;
    }
    m_needUIUpdate = 0;
    _PROGRESS_INFO zero;
    MakeProgressInfo(&zero, PROGRESS_STATE_RUNNING, 0, 0);
    m_progress = zero;
}

QXUIRecovery::Writer QXUIRecovery::WriterFor(int searcherType) {
    std::lock_guard<std::mutex> hold(m_writersLock);
    auto it = m_writers.find(searcherType);
    return it == m_writers.end() ? Writer() : it->second;
}

std::uint32_t QXUIRecovery::DeepFlag() {
    std::lock_guard<std::mutex> hold(m_writersLock);
    return m_deep;
}

IDataRecovery* QXUIRecovery::GetDataRecoveryByType(int searcherType) { return WriterFor(searcherType).get(); }

bool QXUIRecovery::CheckWhetherNeedReset() {
    std::lock_guard<std::mutex> hold(m_writersLock);
    return m_writers.empty();
}

void QXUIRecovery::CountFailure(IFileNode* node, EngineResult why) {
    const char* name = node != nullptr ? node->GetFileName() : nullptr;
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    ++m_failedFiles;
    m_lastFailure = why;
    m_lastFailedName = name != nullptr ? name : "";
}

char* QXUIRecovery::CreateRecoveryFilePathByNode(IFileNode* node, const char* destination) {
    return ::CreateRecoveryFilePathByNode(node, destination, m_folders);
}

EngineResult QXUIRecovery::DoRecovery(std::string& tagFolders, std::string& rawFolders, int flags[3]) {
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        m_recoveredBytes = 0;
        m_recoveredFiles = 0;
        m_lastCurrent = 0;
        m_failedFiles = 0;
        m_lastFailure = ENGINE_OK;
        m_lastFailedName.clear();
    }
    m_scan.SetCurrentScanRecoveryCnt(m_scan.GetCurrentScanRecoveryCnt() + 1);
    const std::string destination = GetRecoveryPath();
    std::string rawList, tagList;
    EngineResult result = ENGINE_OK;
    bool going = true;

    const QXTypeMap types = m_scan.GetTypeMap();
    for (auto type = types.begin(); going && type != types.end(); ++type) {
        for (IFileNode* node : type->second) {
            if (Continued() == 0) {
                going = false;
                break;
            }
            if (node == nullptr || node->IsNodeShow() == 0 || node->GetCheckedStatus() != CHECKED_ALL) continue;
            if (HeldController() == nullptr) ResetParam();
            // The writers of a quick scan's controller cannot read what a
            // deep scan found since.
            if (m_scan.IsDeepScan() != 0 && DeepFlag() == 0) ResetParam();

            IRecoveryController* controller = HeldController();
            Writer held;
            IDataRecovery* writer = nullptr;
            if (controller != nullptr && controller->thisType() != RECOVERY_CONTROLLER_QUICK) {
                const int searcher = QXCPPPublic::GetNodeSearcheType(node);
                if (searcher == SEARCHER_RAW) AddFolderName(rawList, node);
                if (searcher == SEARCHER_RAW_TAG) AddFolderName(tagList, node);
                held = WriterFor(searcher);
                writer = held.get();
            } else {
                writer = m_scan.GetFileNodeDataRecover(node);
            }
            if (writer == nullptr) {
                CountFailure(node, kRecoveryNoWriter);
                continue;
            }

            IFileReader* reader = writer->SetRecoverNode(node);
            {
                std::lock_guard<std::recursive_mutex> hold(m_lock);
                m_currentNode = node;
                ++m_recoveredFiles;
                m_lastCurrent = 0;
            }
            char* path = CreateRecoveryFilePathByNode(node, destination.c_str());
            if (path == nullptr) {
                // Never a copy to no path: the file is counted as not written.
                CountFailure(node, kRecoveryNoDestination);
                if (reader != nullptr) reader->Release();
                continue;
            }
            if (std::strstr(path, "/Application") != nullptr) flags[0] = 1;
            if (std::strstr(path, "/System") != nullptr) flags[1] = 1;
            if (std::strstr(path, "/Library") != nullptr) flags[2] = 1;
            result = writer->RecoverTo(path, this, 0);
            if (IsEngineFailure(result)) CountFailure(node, result);
            std::free(path);
            if (reader != nullptr) reader->Release();
        }
        tagFolders = tagList;
        rawFolders = rawList;
    }

    SetNeedUIUpdate(1);
    SetStatus(QXOP_IDLE);
    CatchExeception::WriteLog("========Recovery finished!==========\n");
    return result;
}

void QXUIRecovery::UpdateProgress(_PROGRESS_INFO* info) {
    if (info == nullptr) return;
    if (info->state == 1) {
        SetNeedUIUpdate(1);
        return;
    }
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const std::uint64_t current = info->current > 0 ? static_cast<std::uint64_t>(info->current) : 0;
    if (current > m_lastCurrent) m_recoveredBytes += current - m_lastCurrent;
    m_lastCurrent = current;
    MakeProgressInfo(&m_progress, info->state, static_cast<std::int64_t>(m_totalSize),
                     static_cast<std::int64_t>(m_recoveredBytes), info->error);
    if (m_currentNode != nullptr && info->current == info->total && info->total > 0) {
        const char* name = m_currentNode->GetFileName();
        CatchExeception::WriteLog("===Recvoeried file(%lld):%s=====\n", static_cast<long long>(m_recoveredFiles),
                                  name != nullptr ? name : "");
    }
    // A failed write waits for the user: resume writes the same chunk again,
    // stop ends the walk. A stop already asked for stays asked.
    if ((static_cast<std::uint64_t>(info->error) & 0xFFFFFFFFu) == kWriteFailedError && m_status == QXOP_RUNNING)
        m_status = QXOP_PAUSED;
    m_needUIUpdate = 1;
}

QXUIDeviceData& QXUIRecovery::Devices() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_devices != nullptr ? *m_devices : QXUIDeviceData::instance();
}

void QXUIRecovery::SetDeviceData(QXUIDeviceData* devices) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_devices = devices;
}

void QXUIRecovery::SetSameDeviceSources(std::string mountinfo, std::string sysfsRoot) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_mountinfo = std::move(mountinfo);
    m_sysfs = std::move(sysfsRoot);
}

int QXUIRecovery::RecoveryPathIsSameDevice(const char* path) {
    if (path == nullptr) return 0;
    struct stat st {};
    if (::stat(path, &st) != 0) return 0;
    IStorageDevice* storage = m_scan.GetSavedStorage();
    if (storage == nullptr) return 0;
    const int kind = storage->GetType();
    if (kind == STORAGE_DEVICE_QVX || kind == STORAGE_DEVICE_DMG) return 0;

    QXUIDeviceData& devices = Devices();
    if (devices.IsDiskStorage(storage)) {
        std::list<IStorageDevice*> volumes;
        devices.GetDiskVolumeStorage(storage, volumes);
        for (IStorageDevice* volume : volumes) {
            const CCollectedVolumeDeviceInfoStruct* info = QXUIDeviceData::GetVolumeInfo(volume);
            if (info != nullptr && SameNumber(info->deviceNumber, st.st_dev)) return 1;
        }
    } else if (const CCollectedVolumeDeviceInfoStruct* info = QXUIDeviceData::GetVolumeInfo(storage)) {
        if (SameNumber(info->deviceNumber, st.st_dev)) return 1;
    }

    // st_dev does not name the partition on btrfs, LVM, dm-crypt or overlay
    // mounts: follow the folder's mount down to its disks and compare.
    const std::string disk = DiskName(storage);
    if (disk.empty() || disk.find('/') != std::string::npos) return 0;
    std::string mountinfo, sysfs;
    {
        std::lock_guard<std::recursive_mutex> hold(m_lock);
        mountinfo = m_mountinfo;
        sysfs = m_sysfs;
    }
    std::string why;
    if (!SameDeviceCheck(mountinfo, sysfs).WritesOntoSource("/dev/" + disk, path, why)) return 0;
    CatchExeception::WriteLog("recovery folder %s is on the scanned device: %s\n", path, why.c_str());
    return 1;
}

void QXUIRecovery::SetRecoveryPath(const char* path) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_path = path != nullptr ? path : "";
}

std::string QXUIRecovery::GetRecoveryPath() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_path;
}

void QXUIRecovery::SetRecoveryTotalSize(std::uint64_t size) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_totalSize = size;
}

std::uint64_t QXUIRecovery::GetRecoveryTotalSize() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_totalSize;
}

void QXUIRecovery::SetRecoveryTotalFilesCnt(std::uint64_t count) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_totalFiles = count;
}

std::uint64_t QXUIRecovery::GetRecoveryTotalFilesCnt() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_totalFiles;
}

std::uint64_t QXUIRecovery::GetRecoveriedFileSize() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_recoveredBytes;
}

std::uint64_t QXUIRecovery::GetRecoveriedFilesCnt() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_recoveredFiles;
}

IFileNode* QXUIRecovery::GetCurrentRecoveryNode() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_currentNode;
}

std::uint64_t QXUIRecovery::GetRecoveryFailedFilesCnt() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_failedFiles;
}

EngineResult QXUIRecovery::GetLastRecoveryFailure(std::string* fileName) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (fileName != nullptr) *fileName = m_lastFailedName;
    return m_lastFailure;
}
