// Before a scan reads a device, what the kernel still holds for it in memory
// is written out (the file systems mounted from it and its own buffers), so
// the scan sees the device as its users last left it.
#pragma once

class IStorageDevice;

// Finds the descriptor under `device` (through read-ahead caches, partition
// and volume windows) and flushes what belongs to it. Nothing for a device
// without a descriptor (an image held in memory). False when a flush failed.
bool FlushDeviceBeforeScan(IStorageDevice* device);
