#pragma once
// The devices the user can scan: the machine's disks with their volumes, and
// the QVX and DMG images the user opened. Every other part of the front end
// finds a device by disk index and volume index through this model.
//
// Disk indexes run without gaps: the enumerated disks, then the opened QVX
// images, then the opened DMG images. Images are listed even when no disk
// can be enumerated (a container or a VM without readable disks), or an
// opened image would be unreachable.

#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <vector>

#include "model/DiskVolumeData.h"
#include "storage/DeviceData.h"
#include "storage/DeviceEnum.h"

class QXUIDeviceData {
public:
    // The process-wide model over the process-wide enumerator.
    static QXUIDeviceData& instance();

    // A model over `enumerator` (not owned; null lists images only).
    explicit QXUIDeviceData(IEnumDeviceEx* enumerator);
    ~QXUIDeviceData();
    QXUIDeviceData(const QXUIDeviceData&) = delete;
    QXUIDeviceData& operator=(const QXUIDeviceData&) = delete;

    // Replaces the enumerator (not owned) and empties the maps; for tests
    // and for a front end that limits the list.
    void SetEnumerator(IEnumDeviceEx* enumerator);
    IEnumDeviceEx* GetEnumerator() const { return m_enum; }

    // Enumerates again. 1 when the enumerator answered; on failure the state
    // goes back to 0 so that the next request tries again, and the opened
    // images stay listed.
    int InitDeviceInfo();
    // 0 not started (or failed), 1 running, 2 done.
    std::uint32_t GetInitState();
    void Clear();
    void GetDiskStorageMap(int refresh);
    void GetVolumeStorageMap(int refresh);

    void GetAllDeviceInfo(std::list<_DiskVolumeData>& out);
    void GetDiskVolumeInfo(IStorageDevice* disk, std::list<_DiskVolumeData>& out);
    int GetDiskDataByStorage(IStorageDevice* storage, _DiskVolumeData& record);
    int GetVolumeDataByStorage(IStorageDevice* storage, _DiskVolumeData& record);

    IStorageDevice* GetStorageByDiskVolumeIndex(int disk, int volume);
    IStorageDevice* GetDiskStorageByIndex(int disk);
    IStorageDevice* GetVolumeStorageByIndex(IStorageDevice* disk, int volume);
    int GetDiskVolumeIndexByStorage(IStorageDevice* storage, int& disk, int& volume);
    int GetDiskIndexByStorage(IStorageDevice* storage);
    IStorageDevice* GetDiskStorageByVolumeStorage(IStorageDevice* storage);
    int GetVolumeIndexByStorage(IStorageDevice* disk, IStorageDevice* volume);
    int GetDiskCount();

    bool IsDiskStorage(IStorageDevice* storage);
    void GetDiskVolumeStorage(IStorageDevice* disk, std::list<IStorageDevice*>& out);
    static CCollectedVolumeDeviceInfoStruct* GetVolumeInfo(IStorageDevice* storage);
    static int IsVolumeStorageSupported(IStorageDevice* storage);
    static bool IsSupportVolume(const CCollectedVolumeDeviceInfoStruct* volume);

    // 1 when the image is listed (newly or already), 0 when it cannot be
    // opened as such an image.
    int QXOpenQvxFileImp(const char* path);
    int QXOpenDmgFileImp(const char* path, CDMGDeviceInfoStruct info);
    // Parses the DMG first, as the front end's open command does.
    int QXOpenDmgFile(const char* path);
    bool QXCheckQvxFileExist(IStorageDevice* storage);
    bool QXCheckDmgFileExist(IStorageDevice* storage);

    // An image opened again from a record stored in a scan-result file. Not
    // listed, but owned by the model and freed with it. The DMG record's own
    // path is used; `path` is ignored for DMG.
    IStorageDevice* GetStorageByQvxInfo(const void* info, int size, const char* path);
    IStorageDevice* GetStorageByDmgInfo(const void* info, int size, const char* path);

    // Keeps the enumerated devices alive across a refill (see DevicePin);
    // returns the enumerator to unpin, null when it cannot be pinned. Images
    // need no pin: they stay until the model goes.
    CEnumDeviceEx* PinDevices();
    static void UnpinDevices(CEnumDeviceEx* pinned);

private:
    void NumberDevices(const std::vector<IStorageDevice*>& disks);
    int FillImageRecord(IStorageDeviceData* data, _DiskVolumeData& record);

    // The model is called from the main thread, the device-list queue and
    // the scan and restore threads; the lock keeps the maps whole.
    std::recursive_mutex m_lock;
    IEnumDeviceEx* m_enum = nullptr;
    std::map<std::uint32_t, IStorageDevice*> m_disks;
    std::map<IStorageDevice*, std::list<IStorageDevice*>> m_volumes;
    std::uint32_t m_initState = 0;
    std::vector<IStorageDevice*> m_qvxImages;  // owned
    std::vector<IStorageDevice*> m_dmgImages;  // owned
    std::vector<IStorageDevice*> m_restored;   // owned
};

// Held by every reader of a listed device (a scan, a recovery, a save or
// restore, a thumbnail read) while it reads: a refill of the list then
// leaves the devices it takes out alive until the last pin goes.
class DevicePin {
public:
    explicit DevicePin(QXUIDeviceData& model = QXUIDeviceData::instance()) : m_pinned(model.PinDevices()) {}
    ~DevicePin() { QXUIDeviceData::UnpinDevices(m_pinned); }
    DevicePin(const DevicePin&) = delete;
    DevicePin& operator=(const DevicePin&) = delete;

private:
    CEnumDeviceEx* m_pinned;
};
