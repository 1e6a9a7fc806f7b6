#include "storage/DeviceEnum.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/Log.h"
#include "platform/BlkidProbe.h"
#include "platform/MountTable.h"
#include "platform/SysfsBlockInfo.h"
#include "storage/DevicePath.h"
#include "storage/DiskDevice.h"
#include "storage/PartitionDevice.h"
#include "storage/PartitionTable.h"
#include "storage/SourceVolumes.h"
#include "storage/VolumeDevice.h"

namespace {

constexpr std::uint8_t kModule = ENGINE_MODULE_ENUM_DEVICE;

// The node to open for a kernel name; empty when the name cannot be a node.
std::string NodePath(const EnumDeviceConfig& config, const std::string& name) {
    if (config.devDir == "/dev") return DevicePathOf(name.c_str());
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return {};
    std::string path = config.devDir + "/" + name;
    if (path.size() > 127)  // device paths are kept in 128-byte fields
        return {};
    return path;
}

void CopyText(char* dst, std::size_t size, const std::string& src) {
    std::memset(dst, 0, size);
    std::memcpy(dst, src.data(), std::min(size - 1, src.size()));
}

std::int32_t DeviceNumber(unsigned major, unsigned minor) {
    // The value stat() reports as st_dev, so the front end can tell a
    // destination on the scanned device.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(makedev(major, minor)));
}

std::string LastComponent(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return path;
    std::string tail = path.substr(slash + 1);
    return tail.empty() ? path : tail;
}

void SortDevices(std::list<IStorageDevice*>& devices) { devices.sort(CDevListSortAlgorithm()); }

void ReleaseAll(std::list<IStorageDevice*>& devices) {
    for (IStorageDevice* d : devices) delete d;
    devices.clear();
}

// Opens a device; a device the user may not read (EPERM/EACCES) is kept so
// that the list shows it, unreadable.
// The descriptor libblkid reads through: the device's own when it came from
// the open fallback (the path would be refused), else -1 (libblkid opens the
// path).
int ProbeDescriptor(const IStorageDevice* device) {
    const auto* open = dynamic_cast<const CDescriptorDevice*>(device);
    return open != nullptr && open->OpenedThroughFallback() ? open->GetDescriptor() : -1;
}

bool OpenKeepingUnpermitted(IStorageDevice* device, const std::string& path) {
    std::vector<char> p(path.begin(), path.end());
    p.push_back('\0');
    if (device->Open(p.data()) == 1) return true;
    return device->IsPermitted() == 0;
}

// The partition entries a disk's table gives, or the one whole-disk pseudo
// entry when the disk has no table; false when the table could not be read.
bool PartitionEntriesOf(IStorageDevice* disk, std::list<PartitionEntry>& entries, EngineResult& error) {
    error = PartitionEntriesOrWholeDisk(disk, entries);
    if (IsEngineFailure(error)) {
        entries.clear();
        return false;
    }
    return true;
}

}  // namespace

void RecogniseVolume(const VolumeRecogniser& recognise, IStorageDevice* device, std::uint32_t& fileSystemType,
                     char* label, std::size_t labelSize) {
    fileSystemType = FILE_SYSTEM_UNKNOWN;
    if (label && labelSize) std::memset(label, 0, labelSize);
    if (!device || !recognise) return;
    std::unique_ptr<IVolumeAnalyzeController> controller(recognise(device, 0));
    if (!controller) return;
    IVolumeAnalyze* analyzer = controller->GetVolumeAnzlyzer();
    if (!analyzer) return;
    fileSystemType = analyzer->GetFileSystemType();
    if (label && labelSize) {
        analyzer->GetLabel(label, static_cast<int>(labelSize));
        label[labelSize - 1] = '\0';
    }
}

// ---- disks ----

EngineResult CEnumDisk::ExecEnum(std::list<IStorageDevice*>& disks) {
    SysfsBlockInfo sysfs(m_config.sysfsRoot);
    for (const std::string& name : sysfs.ListBlockDevices()) {
        if (m_config.acceptDisk && !m_config.acceptDisk(name)) continue;
        SysfsDisk info;
        if (!sysfs.ReadDisk(name, info) || !SysfsBlockInfo::IsCandidateDisk(info)) continue;
        const std::string path = NodePath(m_config, name);
        if (path.empty()) continue;
        CatchExeception::WriteLog("CIOKitFunc::BSDName2DevPath = %s\n", path.c_str());
        std::unique_ptr<CDiskDevice> disk(CreateDiskDevice(path.c_str()));
        if (!disk || !OpenKeepingUnpermitted(disk.get(), path)) continue;

        const std::int64_t sectorSize = info.logicalBlockSize ? info.logicalBlockSize : 512;
        if (sectorSize % 512 != 0 || info.size512 > static_cast<std::uint64_t>(INT64_MAX) / 512) continue;
        const std::int64_t size = static_cast<std::int64_t>(info.size512) * 512;
        if (size < kMinDiskBytes || !info.hasDev) continue;

        auto record = std::make_unique<CCollectDiskDeviceInfoStruct>();
        std::memset(record.get(), 0, sizeof(*record));
        record->kind = 0;
        record->busType = SysfsBlockInfo::BusType(info);
        BlkidTable table;
        if (disk->IsPermitted() && BlkidProbe::ProbeTable(path, static_cast<std::uint32_t>(sectorSize), table,
                                                         ProbeDescriptor(disk.get())))
            record->partitionScheme = BlkidProbe::SchemeCode(table.scheme);
        record->writable = info.readOnly ? 0 : 1;
        record->sectorSize = sectorSize;
        record->totalSectors = size / sectorSize;
        record->cylinders = record->totalSectors / 16065;
        record->heads = 255;
        record->sectorsPerTrack = 63;
        record->deviceNumber = DeviceNumber(info.major, info.minor);
        CopyText(record->mediaName, sizeof(record->mediaName), SysfsBlockInfo::MediaName(info));
        CopyText(record->bsdName, sizeof(record->bsdName), name);

        IDiskDeviceData* holder = CreateDiskDeviceData(record.get());
        if (!holder) continue;
        record.release();
        disk->SetPrivateData(holder);
        disks.push_back(disk.release());
    }
    SortDevices(disks);
    return ENGINE_OK;
}

// ---- partitions ----

EngineResult CEnumPartition::ExecEnum(IStorageDevice* disk, std::list<IStorageDevice*>& partitions) {
    const CCollectDiskDeviceInfoStruct* diskInfo = DiskInfoOf(disk);
    if (!diskInfo) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NULL);
    std::list<PartitionEntry> entries;
    EngineResult error = ENGINE_OK;
    if (!PartitionEntriesOf(disk, entries, error))
        return ENGINE_OK;  // an unreadable table leaves the disk without partitions

    EngineResult result = ENGINE_OK;
    for (const PartitionEntry& entry : entries) {
        std::unique_ptr<IStorageDevice> part(CreatePartitionDevice(disk, entry.startSector, entry.sectorCount));
        if (!part) {
            result = ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NOT_READY);
            break;
        }
        if (part->Open(nullptr) != 1) {
            result = part->GetLastError();
            break;
        }
        auto record = std::make_unique<CCollectedPartitionDeviceInfoStruct>();
        std::memset(record.get(), 0, sizeof(*record));
        record->kind = diskInfo->kind;
        record->sectorSize = diskInfo->sectorSize;
        record->deviceNumber = diskInfo->deviceNumber;
        record->sectorCount = entry.sectorCount;
        record->startSector = entry.startSector;
        record->partitionNumber = entry.number;
        if (diskInfo->partitionScheme == PARTITION_SCHEME_GPT) {
            std::memcpy(record->typeGuid, entry.typeGuid, 16);
            std::memcpy(record->partitionGuid, entry.partGuid, 16);
        } else if (diskInfo->partitionScheme == PARTITION_SCHEME_APM) {
            std::memcpy(record->apmType, entry.typeName, sizeof(record->apmType));
        }
        RecogniseVolume(m_config.recognise, part.get(), record->fileSystemType, record->label, sizeof(record->label));
        record->parent = disk;
        IPartitionDeviceData* holder = CreatePartitionDeviceData(record.get());
        if (!holder) {
            result = ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NOT_READY);
            break;
        }
        record.release();
        part->SetPrivateData(holder);
        partitions.push_back(part.release());
    }
    if (IsEngineFailure(result)) return result;  // what was made so far stays, unsorted
    SortDevices(partitions);
    return ENGINE_OK;
}

// ---- volumes ----

namespace {

// One block device the kernel offers as a volume of a disk.
struct VolumeMedium {
    std::string name;
    bool whole = false;
    int number = -1;
    std::uint64_t start512 = 0;
    std::uint64_t size512 = 0;
    unsigned major = 0, minor = 0;
    bool hasDev = false;
};

}  // namespace

EngineResult CEnumVolume::ExecEnum(IStorageDevice* disk, std::list<IStorageDevice*>& volumes) {
    auto* diskDevice = dynamic_cast<CDiskDevice*>(disk);
    const CCollectDiskDeviceInfoStruct* diskInfo = DiskInfoOf(disk);
    if (!diskInfo) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NULL);
    const std::string diskName(diskInfo->bsdName, strnlen(diskInfo->bsdName, sizeof(diskInfo->bsdName)));
    const std::int64_t sectorSize = diskInfo->sectorSize > 0 ? diskInfo->sectorSize : 512;

    std::list<PartitionEntry> entries;
    EngineResult tableError = ENGINE_OK;
    PartitionEntriesOf(disk, entries, tableError);

    SysfsBlockInfo sysfs(m_config.sysfsRoot);
    BlkidTable table;
    std::vector<VolumeMedium> media;
    if (diskInfo->partitionScheme == PARTITION_SCHEME_NONE) {
        SysfsDisk info;
        if (sysfs.ReadDisk(diskName, info)) {
            VolumeMedium m;
            m.name = diskName;
            m.whole = true;
            m.size512 = info.size512;
            m.major = info.major;
            m.minor = info.minor;
            m.hasDev = info.hasDev;
            media.push_back(m);
        }
    } else {
        BlkidProbe::ProbeTable(NodePath(m_config, diskName), static_cast<std::uint32_t>(sectorSize), table,
                               ProbeDescriptor(disk));
        for (const SysfsPartition& p : sysfs.ListPartitions(diskName)) {
            // Linux shows the MBR extended container as a tiny partition (1 or
            // 2 KiB); it is bookkeeping, not a volume.
            bool container = p.size512 * 512 <= 2 * static_cast<std::uint64_t>(sectorSize);
            for (const BlkidPartition& bp : table.partitions) {
                if (bp.number == p.number && (bp.mbrType == 0x05 || bp.mbrType == 0x0F || bp.mbrType == 0x85))
                    container = true;
            }
            if (container) continue;
            VolumeMedium m;
            m.name = p.name;
            m.number = p.number;
            m.start512 = p.start512;
            m.size512 = p.size512;
            m.major = p.major;
            m.minor = p.minor;
            m.hasDev = p.hasDev;
            media.push_back(m);
        }
    }

    MountTable mounts(m_config.mountinfoPath);
    mounts.Load();

    for (const VolumeMedium& m : media) {
        const std::string path = NodePath(m_config, m.name);
        if (path.empty() || !m.hasDev || m.size512 == 0) continue;
        std::unique_ptr<IStorageDevice> volume(CreateVolumeDevice(path.c_str()));
        if (!volume || !OpenKeepingUnpermitted(volume.get(), path)) continue;

        auto record = std::make_unique<CCollectedVolumeDeviceInfoStruct>();
        std::memset(record.get(), 0, sizeof(*record));
        record->kind = 0;
        record->sectorSize = sectorSize;
        // sysfs counts in 512-byte units whatever the sector size.
        record->totalSectors = static_cast<std::int64_t>(m.size512 * 512 / static_cast<std::uint64_t>(sectorSize));
        record->startSector = static_cast<std::int64_t>(m.start512 * 512 / static_cast<std::uint64_t>(sectorSize));
        record->deviceNumber = DeviceNumber(m.major, m.minor);
        record->partitionNumber = m.whole ? -1 : m.number;
        record->parent = disk;
        CopyText(record->bsdName, sizeof(record->bsdName), m.name);

        std::string mountPoint;
        const bool mounted = mounts.FindMountPoint(m.major, m.minor, path, mountPoint);
        record->mounted = mounted ? 1 : 0;
        std::string label, fsType;
        if (volume->IsPermitted())
            BlkidProbe::ProbeFilesystem(path, static_cast<std::uint32_t>(sectorSize), label, fsType,
                                        ProbeDescriptor(volume.get()));
        std::string name = !label.empty() ? label : mounted ? LastComponent(mountPoint) : m.name;

        if (!m.whole && diskInfo->partitionScheme == PARTITION_SCHEME_GPT) {
            const BlkidPartition* bp = nullptr;
            for (const BlkidPartition& candidate : table.partitions) {
                if (candidate.number == m.number) bp = &candidate;
            }
            if (!bp || !BlkidProbe::ParseGuid(bp->typeString, record->typeGuid) ||
                !BlkidProbe::ParseGuid(bp->uuid, record->partitionGuid))
                continue;
        } else if (!m.whole && diskInfo->partitionScheme == PARTITION_SCHEME_APM) {
            std::string type;
            for (const BlkidPartition& candidate : table.partitions) {
                if (candidate.number == m.number) type = candidate.typeString;
            }
            if (type.empty()) {
                for (const PartitionEntry& e : entries) {
                    if (e.number == m.number) type.assign(e.typeName, strnlen(e.typeName, sizeof(e.typeName)));
                }
            }
            if (type.empty()) continue;
            CopyText(record->apmType, sizeof(record->apmType), type);
        }

        RecogniseVolume(m_config.recognise, volume.get(), record->fileSystemType, record->label, sizeof(record->label));
        if (record->fileSystemType == FILE_SYSTEM_APFS) {
            // The APFS recogniser names the container's first volume.
            if (record->label[0]) name.assign(record->label, strnlen(record->label, sizeof(record->label)));
            std::vector<char> apfsPath(mountPoint.begin(), mountPoint.end());
            apfsPath.push_back('\0');
            volume->SetApfsDevicePath(mounted ? apfsPath.data() : const_cast<char*>(""));
        }
        CopyText(record->volumeName, sizeof(record->volumeName), name);

        IVolumeDeviceData* holder = CreateVolumeDeviceData(record.get());
        if (!holder) continue;
        record.release();
        volume->SetPrivateData(holder);
        volumes.push_back(volume.release());
    }
    SortDevices(volumes);

    // A volume whose start the kernel did not give takes it from the table.
    for (const PartitionEntry& e : entries) {
        for (IStorageDevice* v : volumes) {
            CCollectedVolumeDeviceInfoStruct* info = VolumeInfoOf(v);
            if (info && info->startSector == 0 && info->partitionNumber == e.number) {
                info->startSector = e.startSector;
                break;
            }
        }
    }

    if (diskDevice) {
        std::vector<CCollectedVolumeDeviceInfoStruct> copies;
        for (IStorageDevice* v : volumes) {
            if (const CCollectedVolumeDeviceInfoStruct* info = VolumeInfoOf(v)) copies.push_back(*info);
        }
        diskDevice->SetVolumes(copies);
    }
    return ENGINE_OK;
}

// ---- list-based enumerator ----

EngineResult CEnumDevice::EnumDiskDevice(std::list<IStorageDevice*>& disks) {
    disks.clear();
    return CEnumDisk(m_config).ExecEnum(disks);
}

EngineResult CEnumDevice::EnumPartitionDevice(const IStorageDevice* disk, std::list<IStorageDevice*>& partitions) {
    partitions.clear();
    if (!disk) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NULL);
    return CEnumPartition(m_config).ExecEnum(const_cast<IStorageDevice*>(disk), partitions);
}

EngineResult CEnumDevice::EnumVolumeDevice(const IStorageDevice* disk, std::list<IStorageDevice*>& volumes) {
    volumes.clear();
    if (!disk) return ENGINE_OK;
    return CEnumVolume(m_config).ExecEnum(const_cast<IStorageDevice*>(disk), volumes);
}

// ---- array enumerator ----

namespace {

EngineResult CopyOut(const std::list<IStorageDevice*>& devices, IStorageDevice** out, int& count, bool zeroIsSmall) {
    const int n = static_cast<int>(devices.size());
    if (!out) {
        count = n;
        return ENGINE_OK;
    }
    if (count == 0 && !zeroIsSmall) return ENGINE_OK;
    if (count < n) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_ARRAY_SMALL);
    std::copy(devices.begin(), devices.end(), out);
    count = n;
    return ENGINE_OK;
}

}  // namespace

CEnumDeviceEx::CEnumDeviceEx(EnumDeviceConfig config) : m_config(std::move(config)) {}

CEnumDeviceEx::~CEnumDeviceEx() {
    if (m_initialised) Uninit();
    ReleaseAll(m_retired);
}

EngineResult CEnumDeviceEx::Init() {
    if (m_initialised) Uninit();  // a second Init is a refresh; never leak the old lists
    m_enum = new CEnumDevice(m_config);
    m_enum->EnumDiskDevice(m_disks);
    if (m_disks.empty()) {
        m_initialised = true;
        Uninit();
        return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NO_DISK);
    }
    for (IStorageDevice* disk : m_disks) {
        m_enum->EnumVolumeDevice(disk, m_volumes[disk]);
        m_enum->EnumPartitionDevice(disk, m_partitions[disk]);

        std::vector<IStorageDevice*> vols(m_volumes[disk].begin(), m_volumes[disk].end());
        std::vector<IStorageDevice*> parts(m_partitions[disk].begin(), m_partitions[disk].end());
        std::list<IStorageDevice*> merged;
        if (IsEngineFailure(CMergeVolumeAndPartition::MergeAsVolume(merged, vols.data(), static_cast<int>(vols.size()),
                                                                    parts.data(), static_cast<int>(parts.size())))) {
            // Without the conversions the volumes alone are still offered.
            merged.assign(vols.begin(), vols.end());
        }
        std::list<IStorageDevice*>& converted = m_converted[disk];
        auto it = merged.begin();
        std::advance(it, static_cast<long>(vols.size()));
        converted.assign(it, merged.end());
        m_merged[disk] = std::move(merged);
    }
    m_initialised = true;
    return ENGINE_OK;
}

EngineResult CEnumDeviceEx::Uninit() {
    if (!m_initialised) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NOT_READY);
    // Devices that read through a disk go before the disk itself.
    for (auto& [disk, list] : m_converted) Release(list);
    for (auto& [disk, list] : m_volumes) Release(list);
    for (auto& [disk, list] : m_partitions) Release(list);
    Release(m_disks);
    m_converted.clear();
    m_merged.clear();
    m_volumes.clear();
    m_partitions.clear();
    delete m_enum;
    m_enum = nullptr;
    m_initialised = false;
    return ENGINE_OK;
}

void CEnumDeviceEx::Release(std::list<IStorageDevice*>& devices) {
    std::lock_guard<std::mutex> lock(m_pinLock);
    if (m_pins > 0)
        m_retired.splice(m_retired.end(), devices);  // in release order
    else
        ReleaseAll(devices);
}

void CEnumDeviceEx::Pin() {
    std::lock_guard<std::mutex> lock(m_pinLock);
    ++m_pins;
}

void CEnumDeviceEx::Unpin() {
    std::list<IStorageDevice*> release;
    {
        std::lock_guard<std::mutex> lock(m_pinLock);
        if (m_pins == 0) return;
        if (--m_pins == 0) release.swap(m_retired);
    }
    ReleaseAll(release);
}

EngineResult CEnumDeviceEx::EnumDiskDevice(IStorageDevice** out, int& count) {
    if (!m_initialised) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NOT_READY);
    return CopyOut(m_disks, out, count, false);
}

EngineResult CEnumDeviceEx::EnumPartitionDevice(const IStorageDevice* disk, IStorageDevice** out, int& count) {
    if (!m_initialised) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NOT_READY);
    if (!disk) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NULL);
    auto it = m_partitions.find(disk);
    if (it == m_partitions.end()) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_UNKNOWN);
    return CopyOut(it->second, out, count, false);
}

EngineResult CEnumDeviceEx::EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** out, int& count) {
    if (!m_initialised) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NOT_READY);
    if (!disk) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NULL);
    auto it = m_merged.find(disk);
    if (it == m_merged.end()) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_UNKNOWN);
    return CopyOut(it->second, out, count, true);
}

IEnumDeviceEx* CreateEnumDeviceEx() {
    static CEnumDeviceEx* instance = new CEnumDeviceEx();
    return instance;
}

IEnumDevice* CreateEnumDevice() {
    static CEnumDevice* instance = new CEnumDevice();
    return instance;
}
