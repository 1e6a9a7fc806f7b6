#pragma once
// DMG images: raw images and UDIF images whose data is stored uncompressed
// and in order can be read as a flat array of 512-byte sectors.

#include <cstddef>
#include <cstdint>
#include <string>

#include "storage/DeviceData.h"
#include "storage/ImageFileDevice.h"

constexpr std::size_t kDmgInfoSize = 2088;

// The record as it is kept in scan-result files, little-endian.
void SerialiseDmgInfo(const CDMGDeviceInfoStruct& record, std::uint8_t (&out)[kDmgInfoSize]);
// Reads `length` (at most 2,088) bytes of a stored record; the rest is zero
// and both texts come back terminated.
void ParseDmgInfo(const void* bytes, std::size_t length, CDMGDeviceInfoStruct& record);

// A record for `path`: sector size 512, the file name and the full path.
void InitDmgInfo(CDMGDeviceInfoStruct& record, const char* path);

// 1 when the image can be scanned (the record gets its file size and total
// sectors), 0 when it cannot: unreadable, encrypted, too small, compressed,
// or a UDIF whose sectors do not lie flat in the file. The reason is logged.
int ParseDmgFile(const char* path, CDMGDeviceInfoStruct& record);

class CDmgDevice : public CImageFileDevice {
public:
    explicit CDmgDevice(const char* path) : CImageFileDevice(path) {}
    int GetType() override { return STORAGE_DEVICE_DMG; }
    CDMGDeviceInfoStruct* GetDMGInfo();

protected:
    bool GeometryFromHolder(IStorageDeviceData* data, std::uint64_t& sectorSize, std::uint64_t& totalSectors,
                            std::uint64_t& dataOffset) override;
};

// The unopened device.
CDmgDevice* CreateDmgDeviceImp(const char* path);
// Opens the image and attaches a copy of the record; null on failure (or
// when the record's geometry does not fit the file).
IStorageDevice* CreateDmgDevice(const char* path, const CDMGDeviceInfoStruct* record);
// From a record stored in a scan-result file (`length` <= 2,088 bytes); the
// image is opened at the record's own path, `path` is not used.
IStorageDevice* CreateDmgDeviceByDmgInfo(const void* record, int length, const char* path);

// Opens an image file as its own device when its content says it is one: a
// QVX image (the "qvx" tag) or a UDIF image (the "koly" trailer, or an
// encrypted image). Returns the opened device; null with `error` set when
// the file is such an image but cannot be scanned (incomplete, compressed,
// encrypted, damaged); null with `error` empty when it is neither, so the
// caller opens it as a plain disk image (a raw .dmg reads the same).
IStorageDevice* OpenImageFileDevice(const char* path, std::string& error);
