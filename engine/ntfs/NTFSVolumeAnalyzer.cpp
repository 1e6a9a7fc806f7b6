// The NTFS member of the volume recognisers: a strict boot-sector test; the
// label stays empty (only the FAT and APFS recognisers fill one).
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "ntfs/NTFSVolumeAnalyzer.h"

#include "foundation/StorageDevice.h"
#include "foundation/VolumeAnalyze.h"
#include "ntfs/NTFSAttributes.h"
#include "foundation/ByteOrder.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMetaFileRecordType.h"
#include "ntfs/NTFSMultiFileRecord.h"

using namespace byteorder;

namespace {

std::uint32_t SectorSizeOf(IStorageDevice& device) {
    const std::uint32_t s = device.GetSectorSize();
    return (s == 0 || s % 512 != 0) ? 512 : s;
}

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
    if (!CNTFSMultiFileRecord::ReadSectorsChecked(*device, area.data(), static_cast<std::int64_t>(startSector), 1))
        return nullptr;
    CNTFSDBR dbr;
    if (!dbr.InitFromBuffer(area.data())) return nullptr;
    return new (std::nothrow) CNTFSVolumeAnalyer(dbr.GetTotalSectors());
}

// ------------------------------------------------------------- the label

bool CVolumeFileAnalyzer::GetLabel(const std::uint8_t* record, char* label, int recordSize, int labelSize) {
    if (record == nullptr || label == nullptr || recordSize < CNTFSFileRecord::kRecordBytes || recordSize > 65536 ||
        labelSize < 1)
        return false;
    std::vector<std::uint8_t> copy(record, record + recordSize);
    CNTFSFileRecord rec(copy.data(), recordSize, 0);
    if (!rec.IsValid() || !CMetaFileRecordTypeAnalyzer::IsValidVolumeFileRecord(rec)) return false;
    const std::uint32_t offset = CNTFSFileRecord::GetAttributeOffset(copy.data(), 0x60, 0);
    if (offset == CNTFSFileRecord::kNotFound) return false;
    const std::uint8_t* a = copy.data() + offset;
    if (!CNTFSFileRecordAttribute::IsValid(a, recordSize - static_cast<int>(offset)) ||
        !CNTFSFileRecordAttribute::IsResident(a))
        return false;
    const std::uint64_t text = CNTFSFileRecordAttribute::GetOffsetToAttribute(a);
    const std::uint64_t length = CNTFSFileRecordAttribute::GetLengthOfAttribute(a);
    if (offset + text + length >= static_cast<std::uint64_t>(CNTFSFileRecord::kRecordBytes)) return false;
    // Up to three UTF-8 bytes per UTF-16 unit: the caller's size bounds it,
    // not the UTF-16 length, so CJK labels come out whole.
    const std::string utf8 =
        NTFSUtf16ToUtf8(a + text, static_cast<int>(length / 2), static_cast<std::size_t>(labelSize - 1));
    std::memcpy(label, utf8.data(), utf8.size());
    label[utf8.size()] = 0;
    return true;
}

// ------------------------------------------------------ resident streams

namespace {

CNTFSMultiFileRecord* ReadMultiFileRecord(std::int64_t sector, IStorageDevice& device,
                                          const ExtendFileRecordInfoList* extensions) {
    const std::uint32_t ss = SectorSizeOf(device);
    const std::int64_t total = device.GetTotalSectors();
    if (sector < 0 || sector >= total) return nullptr;
    const std::int64_t count = std::min<std::int64_t>(kResidentRecordSectors, total - sector);
    std::vector<std::uint8_t> area(static_cast<std::size_t>(kResidentRecordSectors) * ss, 0);
    if (!CNTFSMultiFileRecord::ReadSectorsChecked(device, area.data(), sector, count)) return nullptr;
    // One record: 1,024 bytes, or a whole sector of 4 KiB.
    const std::uint32_t size = std::max<std::uint32_t>(CNTFSFileRecord::kRecordBytes, ss);
    auto* multi = new (std::nothrow) CNTFSMultiFileRecord(area.data(), size, sector, &device, extensions);
    if (multi != nullptr && !multi->IsValid()) {
        delete multi;
        return nullptr;
    }
    return multi;
}

CNTFSFileProperties* NTFSPropertiesOf(CNTFSFileNode& node) {
    return dynamic_cast<CNTFSFileProperties*>(node.GetFileProperties());
}

bool ResidentStream(CNTFSMultiFileRecord* multi, std::int64_t* length, std::uint8_t* out, std::uint32_t outSize) {
    if (multi == nullptr) return false;
    int available = 0;
    const std::uint8_t* a = FindMainDataRunsAttribute(*multi, nullptr, nullptr, &available);
    const bool ok = a != nullptr && GetResidentAttributeDatafromAttributeBuffer(a, available, out, outSize, length);
    delete multi;
    return ok;
}

}  // namespace

CNTFSMultiFileRecord* GetResidentFileRecord(std::uint64_t sector, IStorageDevice& device) {
    if (sector > static_cast<std::uint64_t>(INT64_MAX)) return nullptr;
    return ReadMultiFileRecord(static_cast<std::int64_t>(sector), device, nullptr);
}

CNTFSMultiFileRecord* GetMultiFileRecord(CNTFSFileNode& node, IStorageDevice& device) {
    CNTFSFileProperties* props = NTFSPropertiesOf(node);
    if (props == nullptr || (props->GetAttribute() & NTFS_ATTR_DIRECTORY) != 0) return nullptr;
    return ReadMultiFileRecord(props->GetFileRecordStartSector(), device, props->GetExtendFileRecordInfoList());
}

const std::uint8_t* FindMainDataRunsAttribute(CNTFSMultiFileRecord& record, std::int64_t* sector, std::uint32_t* offset,
                                              int* available) {
    if (!record.IsValid()) return nullptr;
    for (int i = 0; i < 64; ++i) {
        int room = 0;
        const std::uint8_t* a = record.FindAttibute(ntfslayout::kAttrData, i, offset, sector, &room);
        if (a == nullptr) return nullptr;
        if (!CNTFSFileRecordAttribute::IsValid(a, room) || CNTFSFileRecordAttribute::IsNamed(a)) continue;
        if (available) *available = room;
        return a;
    }
    return nullptr;
}

bool GetResidentAttributeDatafromAttributeBuffer(const std::uint8_t* attribute, int available, std::uint8_t* out,
                                                 std::uint32_t outSize, std::int64_t* length) {
    if (attribute == nullptr || out == nullptr || length == nullptr ||
        !CNTFSFileRecordAttribute::IsValid(attribute, available) || !CNTFSFileRecordAttribute::IsResident(attribute))
        return false;
    const std::uint32_t n = CNTFSFileRecordAttribute::GetLengthOfAttribute(attribute);
    if (n > outSize) return false;
    std::memcpy(out, attribute + CNTFSFileRecordAttribute::GetOffsetToAttribute(attribute), n);
    *length = n;
    return true;
}

bool GetResidentDataRunsStream(CNTFSFileNode& node, IStorageDevice& device, std::int64_t* length, std::uint8_t* out,
                               std::uint32_t outSize) {
    if (length == nullptr || out == nullptr) return false;
    return ResidentStream(GetMultiFileRecord(node, device), length, out, outSize);
}

bool GetResidentDataRunsStream(std::uint64_t recordSector, IStorageDevice& device, std::int64_t* length,
                               std::uint8_t* out, std::uint32_t outSize) {
    if (length == nullptr || out == nullptr) return false;
    return ResidentStream(GetResidentFileRecord(recordSector, device), length, out, outSize);
}

bool GetAttributeDatafromAttributeBuffer(const std::uint8_t* attribute, int available, std::int64_t* length,
                                         std::uint8_t* out, std::uint32_t outSize, std::int64_t partitionStart,
                                         int sectorsPerCluster, IStorageDevice& device) {
    if (attribute == nullptr || length == nullptr || out == nullptr || partitionStart < 0 ||
        !CNTFSFileRecordAttribute::IsValid(attribute, available))
        return false;
    if (CNTFSFileRecordAttribute::IsResident(attribute))
        return GetResidentAttributeDatafromAttributeBuffer(attribute, available, out, outSize, length);
    if (sectorsPerCluster <= 0) return false;
    CNTFSDataRunList runs;
    if (!CNTFSFileRecordDataRunsAttribute::GetDataRunList(attribute, available, runs)) return false;
    runs.Sort();
    const std::uint32_t ss = SectorSizeOf(device);
    const std::uint64_t clusterBytes = static_cast<std::uint64_t>(sectorsPerCluster) * ss;
    const std::int64_t total = device.GetTotalSectors();
    std::uint64_t done = 0;
    for (const CDataRun& r : runs.Runs()) {
        if (r.length <= 0 || static_cast<std::uint64_t>(r.length) > (outSize - done) / clusterBytes) break;
        const std::uint64_t bytes = static_cast<std::uint64_t>(r.length) * clusterBytes;
        if (r.LCN < 0) {
            std::memset(out + done, 0, bytes);
        } else {
            if (r.LCN > (total - partitionStart) / sectorsPerCluster) return false;
            const std::int64_t first = partitionStart + r.LCN * sectorsPerCluster;
            if (!CNTFSMultiFileRecord::ReadSectorsChecked(device, out + done, first, r.length * sectorsPerCluster))
                return false;
        }
        done += bytes;
    }
    const std::int64_t initialised = CNTFSFileRecordAttribute::GetInitializedDataSize(attribute);
    *length = std::min<std::int64_t>(static_cast<std::int64_t>(done), std::max<std::int64_t>(initialised, 0));
    return true;
}
