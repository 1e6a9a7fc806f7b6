// The NTFS member of the volume recognisers: a strict boot-sector test; the
// label stays empty (only the FAT and APFS recognisers fill one).
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "foundation/StorageDevice.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "recovery/VolumeAnalyze.h"

namespace {

class CNTFSVolumeAnalyer : public IVolumeAnalyze {
public:
    explicit CNTFSVolumeAnalyer(std::int64_t totalSectors) : m_totalSectors(totalSectors) {}
    std::uint32_t GetFileSystemType() override { return FILE_SYSTEM_NTFS; }
    std::int64_t GetTotalSector() override { return m_totalSectors; }
    void GetLabel(char* out, int size) override {
        if (out != nullptr && size > 1) out[0] = 0;
    }

private:
    std::int64_t m_totalSectors;
};

}  // namespace

IVolumeAnalyze* CreateNTFSVolumeAnalyze(IStorageDevice* device, std::uint64_t startSector) {
    if (device == nullptr) return nullptr;
    std::uint32_t ss = device->GetSectorSize();
    if (ss == 0 || ss % 512 != 0) ss = 512;
    std::vector<std::uint8_t> area(std::max<std::uint32_t>(4096, ss), 0);
    if (!CNTFSMultiFileRecord::ReadSectorsChecked(*device, area.data(),
                                                  static_cast<std::int64_t>(startSector), 1))
        return nullptr;
    CNTFSDBR dbr;
    if (!dbr.InitFromBuffer(area.data())) return nullptr;
    return new (std::nothrow) CNTFSVolumeAnalyer(dbr.GetTotalSectors());
}
