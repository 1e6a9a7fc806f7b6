// Recognition of the file system that lies at a given sector of a device:
// the interface every scanner's recogniser implements, and the controller
// that asks them in order.
#pragma once

#include <cstdint>
#include <functional>

#include "foundation/Types.h"

class IStorageDevice;

// One file system's recogniser; each scanner provides its own.
class IVolumeAnalyze {
public:
    virtual ~IVolumeAnalyze() = default;
    virtual uint32_t GetFileSystemType() = 0;
    virtual int64_t GetTotalSector() = 0;
    // Copies the label, at most size bytes with its terminator; recognisers
    // without a label may leave the buffer as it is.
    virtual void GetLabel(char* buffer, int size) = 0;
};

class IVolumeAnalyzeController {
public:
    virtual ~IVolumeAnalyzeController() = default;
    // The first recogniser (FAT, exFAT, NTFS, HFS+, APFS) that knows its type,
    // or null; it stays owned by the controller.
    virtual IVolumeAnalyze* GetVolumeAnzlyzer() = 0;
};

// A new controller; the caller deletes it when done.
IVolumeAnalyzeController* CreateVolumeAnalyzeController(IStorageDevice* device, uint64_t startSector);

// Recogniser factories, one per scanner folder: a new recogniser or null.
// Only the engine's wiring names them; recognition asks the table below.
IVolumeAnalyze* CreateFatVolumeAnalyze(IStorageDevice* device, uint64_t startSector);
IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice* device, uint64_t startSector);
IVolumeAnalyze* CreateNTFSVolumeAnalyze(IStorageDevice* device, uint64_t startSector);
IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice* device, uint64_t startSector);
IVolumeAnalyze* CreateAPFSVolumeAnalyze(IStorageDevice* device, uint64_t startSector);

// The factories recognition asks, in order. Tests replace them; Reset returns
// to the defaults, which are empty until the engine's wiring installs the
// five above.
using VolumeAnalyzeFactory = std::function<IVolumeAnalyze*(IStorageDevice*, uint64_t)>;
struct VolumeAnalyzeFactories {
    VolumeAnalyzeFactory fat, exfat, ntfs, hfsplus, apfs;
};
VolumeAnalyzeFactories& GetVolumeAnalyzeFactories();
void ResetVolumeAnalyzeFactories();
// Makes `defaults` the table Reset returns to, and the current table.
void SetDefaultVolumeAnalyzeFactories(const VolumeAnalyzeFactories& defaults);

// How a caller (the device list) has a device recognised: the controller
// above by default.
using VolumeRecogniser = std::function<IVolumeAnalyzeController*(IStorageDevice*, uint64_t)>;
