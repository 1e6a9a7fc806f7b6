#include "storage/ScanFlush.h"

#include "platform/DeviceFlush.h"
#include "storage/DeviceBase.h"
#include "storage/DeviceWithCache.h"
#include "storage/PartitionDevice.h"

bool FlushDeviceBeforeScan(IStorageDevice* device) {
    // Windows over windows are a few levels deep at most; the bound only
    // guards against a device that names itself as its parent.
    for (int depth = 0; device != nullptr && depth < 16; ++depth) {
        if (auto* descriptor = dynamic_cast<CDescriptorDevice*>(device))
            return descriptor->GetDescriptor() < 0 || FlushDeviceBuffers(descriptor->GetDescriptor());
        if (auto* cache = dynamic_cast<CStorageDeviceWithCache*>(device))
            device = cache->GetInnerDevice();
        else if (auto* window = dynamic_cast<CWindowDevice*>(device))
            device = window->GetParent();
        else
            return true;
    }
    return true;
}
