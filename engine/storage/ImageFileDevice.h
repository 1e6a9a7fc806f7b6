#pragma once
// The common body of the image devices (DMG and QVX): an image file read
// read-only as a flat array of sectors that starts at a data offset.

#include <cstddef>
#include <cstdint>

#include "storage/DeviceBase.h"

class CImageFileDevice : public CDescriptorDevice {
public:
    static constexpr std::size_t kPathCapacity = 1024;

    // The argument is ignored: the device opens the path it was made with.
    // Logs "open failed:%d,%s\n" unless the file does not exist.
    int Open(char* path) override;
    // Sectors past the image's last sector read as zeros, so the bytes that
    // follow the data in the file (a DMG's property list and trailer) never
    // reach a scanner; a read wholly past the end fails.
    EngineResult ReadSectorResult(void* buffer, std::int64_t firstSector, std::int64_t count) override;

    std::int64_t GetDataOffset() const { return m_dataOffset; }

protected:
    explicit CImageFileDevice(const char* path) : CDescriptorDevice(path, kPathCapacity) {}
    // The record's sector size, total sectors and data offset; false when
    // the holder is not of the device's kind or has no record.
    virtual bool GeometryFromHolder(IStorageDeviceData* data, std::uint64_t& sectorSize, std::uint64_t& totalSectors,
                                    std::uint64_t& dataOffset) = 0;

private:
    // A record read back from a file may be damaged: one whose sector size
    // is not usable or whose sizes leave the i64 range is not taken.
    bool ApplyPrivateData(IStorageDeviceData* data) override;
};

// Copies `text` into a fixed field of `size` bytes, always terminated (cut
// when longer).
void CopyFixedText(char* field, std::size_t size, const char* text);
