#pragma once
// The machine's disks, and per disk its partitions (from the partition table)
// and its volumes (from the kernel), as opened devices carrying their
// description records.
//
// On Linux the kernel's view comes from sysfs, libblkid and the mount table
// (platform/); where those live is configurable so that the enumeration can be
// run against a fake sysfs tree and image files.

#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "foundation/EngineResult.h"
#include "foundation/StorageDevice.h"
#include "foundation/VolumeAnalyze.h"
#include "storage/DeviceListMerge.h"

struct EnumDeviceConfig {
    std::string sysfsRoot = "/sys";
    std::string mountinfoPath = "/proc/self/mountinfo";
    // Folder of the device nodes; each disk and partition is opened as
    // devDir/NAME.
    std::string devDir = "/dev";
    // When set, only disks whose kernel name it accepts are opened at all.
    std::function<bool(const std::string& name)> acceptDisk;
    // Names the file system of each partition and volume; empty leaves them
    // unrecognised.
    VolumeRecogniser recognise = CreateVolumeAnalyzeController;
};

// Smallest disk offered (8 MiB): smaller devices hold no user data worth a
// scan and would only clutter the list.
constexpr std::int64_t kMinDiskBytes = 8388608;

class IEnumDevice {
public:
    virtual ~IEnumDevice() = default;
    // Each call empties the list (nodes only) and fills it with new devices
    // that the caller owns.
    virtual EngineResult EnumDiskDevice(std::list<IStorageDevice*>& disks) = 0;
    virtual EngineResult EnumPartitionDevice(const IStorageDevice* disk, std::list<IStorageDevice*>& partitions) = 0;
    virtual EngineResult EnumVolumeDevice(const IStorageDevice* disk, std::list<IStorageDevice*>& volumes) = 0;
};

class CEnumDevice : public IEnumDevice {
public:
    explicit CEnumDevice(EnumDeviceConfig config = {}) : m_config(std::move(config)) {}
    EngineResult EnumDiskDevice(std::list<IStorageDevice*>& disks) override;
    EngineResult EnumPartitionDevice(const IStorageDevice* disk, std::list<IStorageDevice*>& partitions) override;
    EngineResult EnumVolumeDevice(const IStorageDevice* disk, std::list<IStorageDevice*>& volumes) override;

private:
    EnumDeviceConfig m_config;
};

class IEnumDeviceEx {
public:
    virtual ~IEnumDeviceEx() = default;
    virtual EngineResult Init() = 0;
    virtual EngineResult Uninit() = 0;
    // Count-then-fill: with a null array `count` receives the number of
    // devices; with an array of `count` entries they are copied. The devices
    // stay owned by the enumerator until the next Uninit.
    virtual EngineResult EnumDiskDevice(IStorageDevice** out, int& count) = 0;
    virtual EngineResult EnumPartitionDevice(const IStorageDevice* disk, IStorageDevice** out, int& count) = 0;
    // The disk's volumes, then partition-as-volume devices for its partitions
    // that have no volume.
    virtual EngineResult EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** out, int& count) = 0;
};

class CEnumDeviceEx : public IEnumDeviceEx {
public:
    explicit CEnumDeviceEx(EnumDeviceConfig config = {});
    ~CEnumDeviceEx() override;
    CEnumDeviceEx(const CEnumDeviceEx&) = delete;
    CEnumDeviceEx& operator=(const CEnumDeviceEx&) = delete;

    EngineResult Init() override;
    EngineResult Uninit() override;
    EngineResult EnumDiskDevice(IStorageDevice** out, int& count) override;
    EngineResult EnumPartitionDevice(const IStorageDevice* disk, IStorageDevice** out, int& count) override;
    EngineResult EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** out, int& count) override;

    // A scan that is stopping may still read its device while the list is
    // refreshed. Between Pin and the matching Unpin (any thread), Uninit
    // keeps the devices it takes out of the list alive; the last Unpin
    // releases them.
    void Pin();
    void Unpin();

private:
    void Release(std::list<IStorageDevice*>& devices);

    bool m_initialised = false;
    EnumDeviceConfig m_config;
    CEnumDevice* m_enum = nullptr;
    std::list<IStorageDevice*> m_disks;
    std::map<const IStorageDevice*, std::list<IStorageDevice*>> m_volumes;
    std::map<const IStorageDevice*, std::list<IStorageDevice*>> m_partitions;
    // The merged volume list of each disk, made once per Init so that the
    // partition-as-volume devices it adds are neither re-made on every call
    // nor leaked; those added devices are owned here.
    std::map<const IStorageDevice*, std::list<IStorageDevice*>> m_merged;
    std::map<const IStorageDevice*, std::list<IStorageDevice*>> m_converted;
    std::mutex m_pinLock;
    int m_pins = 0;
    std::list<IStorageDevice*> m_retired;  // released devices that a pin still holds
};

// The process-wide enumerator (made on first use, reading the real sysfs,
// /dev and mount table). It is never destroyed: its devices may still be in
// use by threads that outlive static destruction.
IEnumDeviceEx* CreateEnumDeviceEx();
// The process-wide list-based enumerator.
IEnumDevice* CreateEnumDevice();

// Workers of CEnumDevice; stateless apart from their configuration.
class CEnumDisk {
public:
    explicit CEnumDisk(const EnumDeviceConfig& config) : m_config(config) {}
    EngineResult ExecEnum(std::list<IStorageDevice*>& disks);

private:
    const EnumDeviceConfig& m_config;
};

class CEnumPartition {
public:
    explicit CEnumPartition(const EnumDeviceConfig& config) : m_config(config) {}
    EngineResult ExecEnum(IStorageDevice* disk, std::list<IStorageDevice*>& partitions);

private:
    const EnumDeviceConfig& m_config;
};

class CEnumVolume {
public:
    explicit CEnumVolume(const EnumDeviceConfig& config) : m_config(config) {}
    EngineResult ExecEnum(IStorageDevice* disk, std::list<IStorageDevice*>& volumes);

private:
    const EnumDeviceConfig& m_config;
};

// The file-system type (10 when none is recognised) and label of whatever
// lies at sector 0 of a device, as `recognise` sees it.
void RecogniseVolume(const VolumeRecogniser& recognise, IStorageDevice* device, std::uint32_t& fileSystemType,
                     char* label, std::size_t labelSize);
