#pragma once
// Shared bookkeeping of the storage devices: last error, geometry, the owned
// information holder and, for devices that read a descriptor (disks,
// volumes, image files), the descriptor, its path and the read itself.

#include <cstdint>
#include <string>

#include "foundation/StorageDevice.h"
#include "storage/StorageError.h"

// Sector sizes a device may report: 512 or a multiple of it, never 0.
constexpr bool IsUsableSectorSize(std::int64_t bytes) { return bytes >= 512 && bytes % 512 == 0 && bytes <= 65536; }

class CStorageDeviceBase : public IStorageDevice {
public:
    ~CStorageDeviceBase() override;
    CStorageDeviceBase(const CStorageDeviceBase&) = delete;
    CStorageDeviceBase& operator=(const CStorageDeviceBase&) = delete;

    std::uint32_t GetSectorSize() override { return m_sectorSize; }
    std::int64_t GetTotalSectors() override { return m_totalSectors; }
    // No device supports any code.
    int IOCtl(std::uint64_t code, void* data) override;
    IStorageDeviceData* GetPrivateData() override { return m_privateData; }
    // Destroys the previous holder, keeps the new one and takes the geometry
    // from its record (ApplyPrivateData). Without a suitable record error 7
    // is kept and the geometry stays as it was.
    void SetPrivateData(IStorageDeviceData* data) override;
    EngineResult GetLastError() override { return m_lastError; }
    // Keeps the read's outcome (ReadSectorResult) as the last error. Only
    // ReadSectorResult touches no field, so a device read from two threads at
    // once is read through it (the read-ahead cache does).
    int ReadSector(void* buffer, std::int64_t firstSector, std::int64_t count) final;

protected:
    CStorageDeviceBase() = default;
    // Reads the geometry from the holder just attached; false (error 7) when
    // the holder is not of the expected kind or has no record.
    virtual bool ApplyPrivateData(IStorageDeviceData* data) = 0;
    // Takes a record's geometry; a sector size that is not usable is ignored
    // (the old one stays), as is a negative count.
    void TakeGeometry(std::int64_t sectorSize, std::int64_t totalSectors);

    EngineResult m_lastError = 0;
    std::uint32_t m_sectorSize = 512;
    std::int64_t m_totalSectors = 0;
    IStorageDeviceData* m_privateData = nullptr;
};

// A device that reads an open descriptor through the shared read path.
class CDescriptorDevice : public CStorageDeviceBase {
public:
    ~CDescriptorDevice() override;
    int Close() override;
    int IsPermitted() override { return m_permitted; }
    const char* GetPath() const { return m_path.c_str(); }
    int GetDescriptor() const { return m_fd; }
    // The descriptor came from the open fallback (storage/DeviceAccess.h):
    // the path itself cannot be opened by this process.
    bool OpenedThroughFallback() const { return m_openedThroughFallback; }

    // Paths longer than the field a device keeps (127 characters for disks
    // and volumes, 1,023 for images) are refused: a cut path could name a
    // different device node.
    static bool PathFits(const char* path, std::size_t capacity) {
        return path != nullptr && path[0] != '\0' && std::char_traits<char>::length(path) < capacity;
    }

protected:
    CDescriptorDevice(const char* path, std::size_t capacity);

    // Replaces the stored path when `path` is not null, then opens it
    // read-only. Returns 0 on success or the errno of the failure (error 1
    // kept, the permitted flag cleared on EPERM or EACCES).
    int OpenDescriptor(const char* path);
    // Asks a block device for its logical sector size and size; a regular
    // file has 512-byte sectors and as many as cover its size (a partial
    // last sector reads with a zero tail).
    void ReadGeometry();
    // The open of disks and volumes: OpenDescriptor, a message on failure
    // ("open failed:%d,%s\n"), then ReadGeometry. 1 when opened.
    int OpenWithGeometry(const char* path);
    // Closes, then tries OpenWithGeometry on the stored path up to 3 times,
    // sleeping a second after each failure. 1 when an attempt succeeded.
    int ReOpenWithGeometry();
    // Reads `count` sectors at `first` (byte first * sector size + the data
    // offset). Returns error 5 for bad arguments and error 1 for a failed read;
    // keeps nothing, so two threads may read at once.
    EngineResult ReadSectors(void* buffer, std::int64_t first, std::int64_t count) const;

    int m_fd = -1;
    std::string m_path;
    std::size_t m_pathCapacity;
    std::int64_t m_dataOffset = 0;  // file offset of sector 0 (images)
    int m_permitted = 1;
    bool m_openedThroughFallback = false;
};
