#include "model/QXUIDeviceData.h"

#include <algorithm>
#include <cstring>

#include "storage/DmgDevice.h"
#include "storage/QvxDevice.h"

namespace {

// GPT partition types that hold no user data, as the 16 bytes stand in the
// GPT entry (the first three fields little-endian).
constexpr std::uint8_t kEfiSystemType[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                             0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
constexpr std::uint8_t kAppleBootType[16] = {0x74, 0x6F, 0x6F, 0x42, 0x00, 0x00, 0xAA, 0x11,
                                             0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC};

// A text field of a record, cut at its terminator or at its end: a damaged
// record may hold no terminator.
template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// Sectors times sector size of a record; a damaged record cannot overflow.
std::int64_t Bytes(std::int64_t sectors, std::int64_t sectorSize) {
    std::int64_t bytes = 0;
    if (sectors < 0 || sectorSize < 0 || __builtin_mul_overflow(sectors, sectorSize, &bytes)) return 0;
    return bytes;
}

std::int64_t Bytes(std::uint64_t sectors, std::uint64_t sectorSize) {
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(sectors, sectorSize, &bytes) || bytes > static_cast<std::uint64_t>(INT64_MAX)) return 0;
    return static_cast<std::int64_t>(bytes);
}

// Count-then-fill of the enumerator; false when either call fails.
template <class Ask>
bool Collect(Ask ask, std::vector<IStorageDevice*>& out) {
    out.clear();
    int count = 0;
    if (IsEngineFailure(ask(nullptr, count))) return false;
    if (count <= 0) return true;
    std::vector<IStorageDevice*> devices(static_cast<std::size_t>(count), nullptr);
    int filled = count;
    if (IsEngineFailure(ask(devices.data(), filled))) return false;
    filled = std::clamp(filled, 0, count);
    devices.resize(static_cast<std::size_t>(filled));
    for (IStorageDevice* device : devices)
        if (device != nullptr) out.push_back(device);
    return true;
}

}  // namespace

QXUIDeviceData& QXUIDeviceData::instance() {
    // Never destroyed: a worker may still read a listed device while the
    // process exits.
    static auto* model = new QXUIDeviceData(CreateEnumDeviceEx());
    return *model;
}

QXUIDeviceData::QXUIDeviceData(IEnumDeviceEx* enumerator) : m_enum(enumerator) {}

QXUIDeviceData::~QXUIDeviceData() {
    for (auto* list : {&m_qvxImages, &m_dmgImages, &m_restored})
        for (IStorageDevice* device : *list) delete device;
}

void QXUIDeviceData::SetEnumerator(IEnumDeviceEx* enumerator) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_enum = enumerator;
    m_initState = 0;
    m_disks.clear();
    m_volumes.clear();
}

int QXUIDeviceData::InitDeviceInfo() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_initState = 1;
    const bool ok = m_enum != nullptr && !IsEngineFailure(m_enum->Init());
    // Rebuilt either way: the opened images are listed without any disk.
    GetDiskStorageMap(1);
    GetVolumeStorageMap(1);
    m_initState = ok ? 2 : 0;
    return ok ? 1 : 0;
}

std::uint32_t QXUIDeviceData::GetInitState() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_initState;
}

void QXUIDeviceData::Clear() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (m_initState != 2) return;
    if (m_enum != nullptr) m_enum->Uninit();
    m_disks.clear();
    m_volumes.clear();
}

void QXUIDeviceData::GetDiskStorageMap(int refresh) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (!refresh && !m_disks.empty()) return;
    std::vector<IStorageDevice*> disks;
    if (m_enum != nullptr && m_initState != 0) {
        IEnumDeviceEx* e = m_enum;
        if (!Collect([e](IStorageDevice** out, int& count) { return e->EnumDiskDevice(out, count); }, disks))
            disks.clear();
    }
    NumberDevices(disks);
}

void QXUIDeviceData::NumberDevices(const std::vector<IStorageDevice*>& disks) {
    m_disks.clear();
    std::uint32_t index = 0;
    for (IStorageDevice* disk : disks) m_disks[index++] = disk;
    for (IStorageDevice* image : m_qvxImages) m_disks[index++] = image;
    for (IStorageDevice* image : m_dmgImages) m_disks[index++] = image;
}

void QXUIDeviceData::GetVolumeStorageMap(int refresh) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (!refresh && !m_volumes.empty()) return;
    m_volumes.clear();
    for (const auto& entry : m_disks) {
        IStorageDevice* storage = entry.second;
        const int type = storage->GetType();
        if (type == STORAGE_DEVICE_QVX || type == STORAGE_DEVICE_DMG) {
            // The enumerator does not know the images; they have no volumes.
            m_volumes[storage];
            continue;
        }
        if (m_enum == nullptr) continue;
        IEnumDeviceEx* e = m_enum;
        int count = 0;
        if (IsEngineFailure(e->EnumVolumeDevice(storage, nullptr, count))) continue;
        std::vector<IStorageDevice*> volumes;
        Collect([e, storage](IStorageDevice** out, int& n) { return e->EnumVolumeDevice(storage, out, n); }, volumes);
        m_volumes[storage].assign(volumes.begin(), volumes.end());
    }
}

void QXUIDeviceData::GetAllDeviceInfo(std::list<_DiskVolumeData>& out) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    for (const auto& [index, storage] : m_disks) {
        _DiskVolumeData record;
        if (!GetDiskDataByStorage(storage, record)) continue;
        GetDiskVolumeInfo(storage, record.volumes);
        out.push_back(std::move(record));
    }
}

void QXUIDeviceData::GetDiskVolumeInfo(IStorageDevice* disk, std::list<_DiskVolumeData>& out) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    auto it = m_volumes.find(disk);
    if (disk == nullptr || it == m_volumes.end()) return;
    for (IStorageDevice* volume : it->second) {
        _DiskVolumeData record;
        record.beCanOpen = volume->IsPermitted() ? 1 : 0;
        if (GetVolumeDataByStorage(volume, record)) out.push_back(std::move(record));
    }
}

int QXUIDeviceData::FillImageRecord(IStorageDeviceData* data, _DiskVolumeData& record) {
    if (auto* qvx = dynamic_cast<IQVXDeviceData*>(data)) {
        const CQVXDeviceInfoStruct* info = qvx->GetQVXInfo();
        if (info == nullptr) return 0;
        record.name = FieldText(info->name);
        record.diskPath = FieldText(info->path);
        record.capacity = Bytes(info->sectorSize, info->totalSectors);
        record.used = 0;
        record.isDmg = record.isSSD = record.isAppleDmg = 0;
        record.isQvx = 1;
        record.qvxInfo = info;
        record.qvxInfoSize = static_cast<std::int32_t>(sizeof(CQVXDeviceInfoStruct));
        return 1;
    }
    if (auto* dmg = dynamic_cast<IDmgDeviceData*>(data)) {
        const CDMGDeviceInfoStruct* info = dmg->GetDMGInfo();
        if (info == nullptr) return 0;
        record.name = FieldText(info->fileName);
        record.diskPath = FieldText(info->filePath);
        record.capacity = Bytes(info->sectorSize, info->totalSectors);
        if (info->fileSize <= static_cast<std::uint64_t>(INT64_MAX))
            record.capacity = std::min(record.capacity, static_cast<std::int64_t>(info->fileSize));
        record.used = 0;
        record.isDmg = record.isSSD = record.isQvx = 0;
        record.isAppleDmg = 1;
        record.dmgInfo = info;
        record.dmgInfoSize = static_cast<std::int32_t>(sizeof(CDMGDeviceInfoStruct));
        return 1;
    }
    return 0;
}

int QXUIDeviceData::GetDiskDataByStorage(IStorageDevice* storage, _DiskVolumeData& record) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (storage == nullptr || storage->GetPrivateData() == nullptr) return 0;
    IStorageDeviceData* data = storage->GetPrivateData();
    if (auto* diskData = dynamic_cast<IDiskDeviceData*>(data)) {
        const CCollectDiskDeviceInfoStruct* info = diskData->GetDiskInfo();
        if (info == nullptr || info->kind != 0) return 0;
        record.name = FieldText(info->mediaName);
        record.diskPath = FieldText(info->bsdName);
        record.capacity = Bytes(info->totalSectors, info->sectorSize);
        record.used = 0;
        record.isDmg = info->busType == DISK_BUS_VIRTUAL ? 1 : 0;
        record.isUSB = info->busType == DISK_BUS_USB ? 1 : 0;
        record.isSSD = record.name.find("SSD") != std::string::npos ? 1 : 0;
        record.beCanOpen = storage->IsPermitted() ? 1 : 0;
    } else if (!FillImageRecord(data, record)) {
        return 0;
    }
    record.diskIndex = GetDiskIndexByStorage(storage);
    return 1;
}

int QXUIDeviceData::GetVolumeDataByStorage(IStorageDevice* storage, _DiskVolumeData& record) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (storage == nullptr || storage->GetPrivateData() == nullptr) return 0;
    IStorageDeviceData* data = storage->GetPrivateData();
    if (auto* volumeData = dynamic_cast<IVolumeDeviceData*>(data)) {
        const CCollectedVolumeDeviceInfoStruct* info = volumeData->GetVolumeInfo();
        if (info == nullptr || info->kind != 0 || !IsSupportVolume(info)) return 0;
        record.name = FieldText(info->volumeName);
        record.capacity = Bytes(info->totalSectors, info->sectorSize);
        record.used = 0;
        record.fileSystem = static_cast<std::int32_t>(info->fileSystemType);
        IStorageDevice* disk = GetDiskStorageByVolumeStorage(storage);
        record.diskIndex = GetDiskIndexByStorage(disk);
        record.volumeIndex = GetVolumeIndexByStorage(disk, storage);
        record.diskPath = FieldText(info->bsdName);
        return 1;
    }
    if (!FillImageRecord(data, record)) return 0;
    record.diskIndex = GetDiskIndexByStorage(storage);
    record.volumeIndex = -1;
    return 1;
}

IStorageDevice* QXUIDeviceData::GetStorageByDiskVolumeIndex(int disk, int volume) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (disk == -1) return nullptr;
    IStorageDevice* storage = GetDiskStorageByIndex(disk);
    if (volume == -1) return storage;
    return GetVolumeStorageByIndex(storage, volume);
}

IStorageDevice* QXUIDeviceData::GetDiskStorageByIndex(int disk) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (disk < 0 || static_cast<std::size_t>(disk) >= m_disks.size()) return nullptr;
    auto it = m_disks.find(static_cast<std::uint32_t>(disk));
    return it == m_disks.end() ? nullptr : it->second;
}

IStorageDevice* QXUIDeviceData::GetVolumeStorageByIndex(IStorageDevice* disk, int volume) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (disk == nullptr || volume < 0) return nullptr;
    auto it = m_volumes.find(disk);
    if (it == m_volumes.end() || static_cast<std::size_t>(volume) >= it->second.size()) return nullptr;
    return *std::next(it->second.begin(), volume);
}

int QXUIDeviceData::GetDiskVolumeIndexByStorage(IStorageDevice* storage, int& disk, int& volume) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    disk = -1;
    volume = -1;
    if (storage == nullptr) return 0;
    const int index = GetDiskIndexByStorage(storage);
    if (index >= 0) {
        disk = index;
        return 1;
    }
    IStorageDevice* holder = GetDiskStorageByVolumeStorage(storage);
    if (holder == nullptr) return 0;
    disk = GetDiskIndexByStorage(holder);
    volume = GetVolumeIndexByStorage(holder, storage);
    return disk >= 0 && volume >= 0 ? 1 : 0;
}

int QXUIDeviceData::GetDiskIndexByStorage(IStorageDevice* storage) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (storage == nullptr) return -1;
    for (const auto& [index, candidate] : m_disks)
        if (candidate == storage) return static_cast<int>(index);
    return -1;
}

IStorageDevice* QXUIDeviceData::GetDiskStorageByVolumeStorage(IStorageDevice* storage) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (storage == nullptr) return nullptr;
    IStorageDeviceData* data = storage->GetPrivateData();
    if (dynamic_cast<IQVXDeviceData*>(data) != nullptr || dynamic_cast<IDmgDeviceData*>(data) != nullptr)
        return storage;
    for (const auto& [disk, volumes] : m_volumes)
        if (std::find(volumes.begin(), volumes.end(), storage) != volumes.end()) return disk;
    return nullptr;
}

int QXUIDeviceData::GetVolumeIndexByStorage(IStorageDevice* disk, IStorageDevice* volume) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    auto it = m_volumes.find(disk);
    if (disk == nullptr || it == m_volumes.end()) return -1;
    auto found = std::find(it->second.begin(), it->second.end(), volume);
    return found == it->second.end() ? -1 : static_cast<int>(std::distance(it->second.begin(), found));
}

int QXUIDeviceData::GetDiskCount() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return static_cast<int>(m_disks.size());
}

bool QXUIDeviceData::IsDiskStorage(IStorageDevice* storage) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (storage == nullptr) return false;
    const int type = storage->GetType();
    if (type == STORAGE_DEVICE_QVX || type == STORAGE_DEVICE_DMG) return false;
    return m_volumes.count(storage) != 0;
}

void QXUIDeviceData::GetDiskVolumeStorage(IStorageDevice* disk, std::list<IStorageDevice*>& out) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    auto it = m_volumes.find(disk);
    if (it != m_volumes.end()) out = it->second;
}

CCollectedVolumeDeviceInfoStruct* QXUIDeviceData::GetVolumeInfo(IStorageDevice* storage) {
    if (storage == nullptr) return nullptr;
    auto* data = dynamic_cast<IVolumeDeviceData*>(storage->GetPrivateData());
    return data == nullptr ? nullptr : data->GetVolumeInfo();
}

int QXUIDeviceData::IsVolumeStorageSupported(IStorageDevice* storage) {
    if (storage == nullptr) return 0;
    return IsSupportVolume(GetVolumeInfo(storage)) ? 1 : 0;
}

bool QXUIDeviceData::IsSupportVolume(const CCollectedVolumeDeviceInfoStruct* volume) {
    if (volume == nullptr) return false;
    if (volume->parent == nullptr) return true;
    auto* diskData = dynamic_cast<IDiskDeviceData*>(volume->parent->GetPrivateData());
    if (diskData == nullptr || diskData->GetDiskInfo() == nullptr) return true;
    switch (diskData->GetDiskInfo()->partitionScheme) {
    case PARTITION_SCHEME_APM: {
        const std::string content = FieldText(volume->apmType);
        return content != "Apple_partition_map" && content != "Apple_Free";
    }
    case PARTITION_SCHEME_GPT:
        return std::memcmp(volume->typeGuid, kEfiSystemType, 16) != 0 &&
               std::memcmp(volume->typeGuid, kAppleBootType, 16) != 0;
    default:
        return true;
    }
}

int QXUIDeviceData::QXOpenQvxFileImp(const char* path) {
    if (path == nullptr) return 0;
    IStorageDevice* storage = CreateQvxDevice(path);
    if (storage == nullptr) return 0;
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (QXCheckQvxFileExist(storage)) {
        delete storage;
        return 1;
    }
    m_qvxImages.push_back(storage);
    GetDiskStorageMap(1);
    GetVolumeStorageMap(1);
    return 1;
}

int QXUIDeviceData::QXOpenDmgFileImp(const char* path, CDMGDeviceInfoStruct info) {
    if (path == nullptr) return 0;
    IStorageDevice* storage = CreateDmgDevice(path, &info);
    if (storage == nullptr) return 0;
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (QXCheckDmgFileExist(storage)) {
        delete storage;
        return 1;
    }
    m_dmgImages.push_back(storage);
    GetDiskStorageMap(1);
    GetVolumeStorageMap(1);
    return 1;
}

int QXUIDeviceData::QXOpenDmgFile(const char* path) {
    if (path == nullptr) return 0;
    CDMGDeviceInfoStruct info{};
    InitDmgInfo(info, path);
    if (!ParseDmgFile(path, info)) return 0;
    return QXOpenDmgFileImp(path, info);
}

bool QXUIDeviceData::QXCheckQvxFileExist(IStorageDevice* storage) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (storage == nullptr) return false;
    auto* data = dynamic_cast<IQVXDeviceData*>(storage->GetPrivateData());
    const CQVXDeviceInfoStruct* mine = data == nullptr ? nullptr : data->GetQVXInfo();
    if (mine == nullptr) return false;
    for (const auto& [index, listed] : m_disks) {
        if (listed == storage) continue;
        auto* other = dynamic_cast<IQVXDeviceData*>(listed->GetPrivateData());
        const CQVXDeviceInfoStruct* info = other == nullptr ? nullptr : other->GetQVXInfo();
        if (info != nullptr && info->sectorSize == mine->sectorSize && info->totalSectors == mine->totalSectors &&
            info->dataOffset == mine->dataOffset && info->fileSize == mine->fileSize &&
            info->createTime == mine->createTime && FieldText(info->name) == FieldText(mine->name))
            return true;
    }
    return false;
}

bool QXUIDeviceData::QXCheckDmgFileExist(IStorageDevice* storage) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (storage == nullptr) return false;
    auto* data = dynamic_cast<IDmgDeviceData*>(storage->GetPrivateData());
    const CDMGDeviceInfoStruct* mine = data == nullptr ? nullptr : data->GetDMGInfo();
    if (mine == nullptr) return false;
    for (const auto& [index, listed] : m_disks) {
        if (listed == storage) continue;
        auto* other = dynamic_cast<IDmgDeviceData*>(listed->GetPrivateData());
        const CDMGDeviceInfoStruct* info = other == nullptr ? nullptr : other->GetDMGInfo();
        if (info != nullptr && FieldText(info->filePath) == FieldText(mine->filePath)) return true;
    }
    return false;
}

IStorageDevice* QXUIDeviceData::GetStorageByQvxInfo(const void* info, int size, const char* path) {
    if (info == nullptr) return nullptr;
    IStorageDevice* storage = CreateQvxDeviceByQvxInfo(info, size, path);
    if (storage == nullptr) return nullptr;
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_restored.push_back(storage);
    return storage;
}

IStorageDevice* QXUIDeviceData::GetStorageByDmgInfo(const void* info, int size, const char*) {
    if (info == nullptr) return nullptr;
    IStorageDevice* storage = CreateDmgDeviceByDmgInfo(info, size, nullptr);
    if (storage == nullptr) return nullptr;
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_restored.push_back(storage);
    return storage;
}

CEnumDeviceEx* QXUIDeviceData::PinDevices() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    auto* pinnable = dynamic_cast<CEnumDeviceEx*>(m_enum);
    if (pinnable != nullptr) pinnable->Pin();
    return pinnable;
}

void QXUIDeviceData::UnpinDevices(CEnumDeviceEx* pinned) {
    if (pinned != nullptr) pinned->Unpin();
}
