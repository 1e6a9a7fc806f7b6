#pragma once
// The common body of the image devices (DMG and QVX): an image file read
// read-only as a flat array of sectors that starts at a data offset.

#include <cstdint>
#include <string>

#include "foundation/StorageDevice.h"

// Error numbers kept by devices (module 0x0E).
constexpr std::uint32_t IMAGE_DEVICE_ERR_IO = 1;
constexpr std::uint32_t IMAGE_DEVICE_ERR_IOCTL = 3;
constexpr std::uint32_t IMAGE_DEVICE_ERR_ARGUMENT = 5;
constexpr std::uint32_t IMAGE_DEVICE_ERR_NO_RECORD = 7;

class CImageFileDevice : public IStorageDevice
{
public:
    ~CImageFileDevice() override;

    // The argument is ignored: the device opens the path it was made with.
    int Open(char* path) override;
    int Close() override;
    // Sectors past the image's last sector read as zeros, so the bytes that
    // follow the data in the file (a DMG's property list and trailer) never
    // reach a scanner.
    int ReadSector(void* buffer, std::int64_t firstSector, std::int64_t count) override;
    std::uint32_t GetSectorSize() override { return m_sectorSize; }
    std::int64_t GetTotalSectors() override { return m_totalSectors; }
    int IOCtl(std::uint64_t code, void* data) override;
    IStorageDeviceData* GetPrivateData() override { return m_holder; }
    void SetPrivateData(IStorageDeviceData* data) override;
    EngineResult GetLastError() override { return m_lastError; }

    const std::string& GetPath() const { return m_path; }
    std::int64_t GetDataOffset() const { return m_dataOffset; }

protected:
    explicit CImageFileDevice(const char* path);
    // Reads sector size, total sectors and data offset from the holder's
    // record; false when the holder is not of the device's kind or has none.
    virtual bool GeometryFromHolder(IStorageDeviceData* data, std::uint64_t& sectorSize,
                                    std::uint64_t& totalSectors, std::uint64_t& dataOffset) = 0;

    void Fail(std::uint32_t error, int line);

    EngineResult m_lastError = ENGINE_OK;
    int m_fd = -1;
    std::string m_path;
    std::uint32_t m_sectorSize = 512;
    std::int64_t m_totalSectors = 0;
    IStorageDeviceData* m_holder = nullptr;
    std::int64_t m_dataOffset = 0;
};

// Path helpers shared by the image records: copies `text` into a fixed field
// of `size` bytes, always terminated (cut when longer).
void CopyFixedText(char* field, std::size_t size, const char* text);
