// Block reads and the volume-name lookup shared by the APFS recogniser and
// the container reader.
#pragma once

#include <cstdint>

class IStorageDevice;

// Reads 8 sectors at 4096-byte block `block` of the container that starts at
// `startSector` into `buf` (32 KiB). False on a read failure, on a device
// whose sectors are not a divisor of 4096, or on a block number whose
// sector lies past the 64-bit range.
bool ReadAPFSBlock(IStorageDevice* device, std::uint64_t startSector, std::uint64_t block, std::uint8_t* buf);

// Follows an object map to its first volume superblock and copies that
// volume's name (at most 32 bytes, and at most `size`) into `label`, zero
// filled. `buf` (32 KiB) is used for every read. False when any step fails.
bool ReadAPFSVolumeName(IStorageDevice* device, std::uint64_t startSector, std::uint64_t objectMapBlock, char* label,
                        int size, std::uint8_t* buf);
