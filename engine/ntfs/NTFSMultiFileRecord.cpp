#include "ntfs/NTFSMultiFileRecord.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>

#include "foundation/StorageDevice.h"
#include "ntfs/NTFSAttributes.h"
#include "foundation/ByteOrder.h"
#include "ntfs/NTFSFileRecord.h"

using namespace byteorder;

namespace {

std::uint32_t SectorSizeOf(IStorageDevice& device) {
    const std::uint32_t s = device.GetSectorSize();
    return (s == 0 || s % 512 != 0) ? 512 : s;
}

}  // namespace

bool CNTFSMultiFileRecord::ReadSectorsChecked(IStorageDevice& device, void* buffer, std::int64_t sector,
                                              std::int64_t count) {
    if (buffer == nullptr || sector < 0 || count <= 0) return false;
    const std::int64_t total = device.GetTotalSectors();
    if (sector >= total || count > total - sector) return false;
    return device.ReadSector(buffer, sector, count) == 1;
}

// ------------------------------------ CAttributeListExtendFileRecordBufferInfo

std::uint8_t* CAttributeListExtendFileRecordBufferInfo::GetExtendFileRecordBuffer() {
    if (m_read) return m_buffer.empty() ? nullptr : m_buffer.data();
    m_read = true;
    if (m_startSector < 0 || m_device == nullptr) return nullptr;
    const std::uint32_t sectorSize = SectorSizeOf(*m_device);
    const std::int64_t sectors = sectorSize == 512 ? 2 : 1;
    const std::size_t bytes = std::max<std::size_t>(1024, static_cast<std::size_t>(sectorSize) * sectors);
    m_buffer.assign(bytes, 0);
    if (!CNTFSMultiFileRecord::ReadSectorsChecked(*m_device, m_buffer.data(), m_startSector, sectors)) {
        m_buffer.clear();
        return nullptr;
    }
    // A record of 4 KiB sectors fills the sector: undo every stride it holds.
    const int size = static_cast<int>(m_buffer.size());
    if (CNTFSFileRecord::IsValid(m_buffer.data(), size)) CNTFSFileRecord::UnfixupFileRecord(m_buffer.data(), size);
    return m_buffer.data();
}

// --------------------------------------------------------- CNTFSMultiFileRecord

CNTFSMultiFileRecord::CNTFSMultiFileRecord(const std::uint8_t* record, std::uint32_t size, std::int64_t startSector,
                                           IStorageDevice* device, const ExtendFileRecordInfoList* extensions)
    : m_startSector(startSector), m_device(device) {
    if (record == nullptr || size < static_cast<std::uint32_t>(CNTFSFileRecord::kRecordBytes) || size > 65536) return;
    std::vector<std::uint8_t> copy(record, record + size);
    if (!CNTFSFileRecord::IsValid(copy.data(), static_cast<int>(size))) return;
    if (CNTFSFileRecord::IsValidUpdateSequence(copy.data(), static_cast<int>(size)))
        CNTFSFileRecord::UnfixupFileRecord(copy.data(), static_cast<int>(size));
    m_record = std::move(copy);
    if (extensions != nullptr) {
        for (const CAttributeListExtendFileRecordInfo& e : *extensions)
            m_extensions.push_back(
                std::make_unique<CAttributeListExtendFileRecordBufferInfo>(device, e.startSector, e.mftNumber));
    }
}

bool CNTFSMultiFileRecord::IsinUse() const {
    assert(IsValid() && "IsValid()");
    return IsValid() && CNTFSFileRecord::IsinUse(m_record.data());
}

std::uint32_t CNTFSMultiFileRecord::GetMainFileRecordIndex() const {
    return IsValid() ? LE32(m_record.data() + 44) : 0;
}

const std::uint8_t* CNTFSMultiFileRecord::FindAttibute(std::uint32_t type, int index, std::uint32_t* offset,
                                                       std::int64_t* sector, int* available) {
    assert(IsValid() && "IsValid()");
    if (!IsValid() || index < 0) return nullptr;
    const std::uint32_t baseOffset = CNTFSFileRecord::GetAttributeOffset(m_record.data(), type, index);
    if (baseOffset != CNTFSFileRecord::kNotFound) {
        if (offset) *offset = baseOffset;
        if (sector) *sector = m_startSector;
        if (available) *available = static_cast<int>(m_record.size()) - static_cast<int>(baseOffset);
        return m_record.data() + baseOffset;
    }
    int count = CNTFSFileRecord::GetAttibuteCountofSpecifiedType(m_record.data(), type);
    for (auto& ext : m_extensions) {
        std::uint8_t* buffer = ext->GetExtendFileRecordBuffer();
        if (buffer == nullptr) continue;
        // Tested in its readable form: the fixup has been applied on read.
        if (LE32(buffer) != CNTFSFileRecord::kMagic ||
            !CNTFSFileRecordHeader::IsValid(buffer, CNTFSFileRecord::kRecordBytes) ||
            !CNTFSFileRecord::CheckAttibutes(buffer, CNTFSFileRecord::kRecordBytes))
            continue;
        const int here = CNTFSFileRecord::GetAttibuteCountofSpecifiedType(buffer, type);
        if (count + here > index) {
            const std::uint32_t off = CNTFSFileRecord::GetAttributeOffset(buffer, type, index - count);
            if (off == CNTFSFileRecord::kNotFound) return nullptr;
            if (offset) *offset = off;
            if (sector) *sector = ext->GetFileRecordStartSector();
            if (available) *available = CNTFSFileRecord::kRecordBytes - static_cast<int>(off);
            return buffer + off;
        }
        count += here;
    }
    return nullptr;
}

ExtendFileRecordInfoList* CNTFSMultiFileRecord::GetExtendFileRecordInfoList(const std::uint8_t* recordIn, int size,
                                                                            std::int64_t partitionStart,
                                                                            std::uint8_t sectorsPerCluster,
                                                                            IStorageDevice& device) {
    if (recordIn == nullptr || size < CNTFSFileRecord::kRecordBytes || size > 65536) return nullptr;
    // A private copy in readable form: the caller's buffer is never changed.
    std::vector<std::uint8_t> copy(recordIn, recordIn + size);
    CNTFSFileRecord record(copy.data(), size, 0);
    if (!record.IsValid()) return nullptr;
    const std::uint32_t offset = CNTFSFileRecord::GetAttributeOffset(copy.data(), ntfslayout::kAttrAttributeList, 0);
    if (offset == CNTFSFileRecord::kNotFound) return nullptr;
    const std::uint8_t* a = copy.data() + offset;
    const int available = size - static_cast<int>(offset);
    if (!CNTFSFileRecordAttribute::IsValid(a, available)) return nullptr;

    std::vector<std::uint8_t> data;
    if (CNTFSFileRecordAttribute::IsResident(a)) {
        const std::uint8_t* content = a + CNTFSFileRecordAttribute::GetOffsetToAttribute(a);
        data.assign(content, content + CNTFSFileRecordAttribute::GetLengthOfAttribute(a));
    } else {
        CNTFSDataRunList runs;
        if (!CNTFSFileRecordDataRunsAttribute::GetDataRunList(a, available, runs) || runs.IsEmpty()) return nullptr;
        const std::int64_t allocated = CNTFSFileRecordAttribute::GetAllocSizeofAttribute(a);
        const std::int64_t initialised = CNTFSFileRecordAttribute::GetInitializedDataSize(a);
        if (initialised < 1 || initialised > allocated) return nullptr;
        if (allocated > kMaxAttributeListBytes || sectorsPerCluster == 0) return nullptr;
        data.assign(static_cast<std::size_t>(allocated), 0);
        const std::uint32_t sectorSize = SectorSizeOf(device);
        std::size_t used = 0;
        for (const CDataRun& run : runs.Runs()) {
            if (run.LCN < 0 || run.length <= 0) break;
            const std::int64_t sectors = run.length * sectorsPerCluster;
            if (sectors <= 0 || static_cast<std::uint64_t>(sectors) * sectorSize > data.size() - used) break;
            const std::int64_t first = run.LCN * sectorsPerCluster + partitionStart;
            if (!ReadSectorsChecked(device, data.data() + used, first, sectors)) break;
            used += static_cast<std::size_t>(sectors) * sectorSize;
        }
        data.resize(static_cast<std::size_t>(initialised));
    }

    auto* list = new (std::nothrow) ExtendFileRecordInfoList;
    if (list == nullptr) return nullptr;
    std::size_t pos = 0;
    while (pos + 24 <= data.size()) {
        const std::uint8_t* entry = data.data() + pos;
        const std::uint32_t type = LE32(entry);
        const std::uint16_t entryLength = LE16(entry + 4);
        if (type == 0 || entryLength == 0) break;
        if (entryLength < 24) break;
        const std::int64_t mft = static_cast<std::int64_t>(LE64(entry + 16) & 0x0000FFFFFFFFFFFFull);
        if (!HasSameExtendFileRecordInfoList(*list, mft)) list->push_back({-1, mft});
        pos += entryLength;
    }
    if (list->empty()) {
        delete list;
        return nullptr;
    }
    return list;
}

std::int64_t CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(std::int64_t mft, std::uint8_t spc,
                                                                         std::int64_t partitionStart,
                                                                         const CNTFSDataRunList* mftRuns,
                                                                         std::uint8_t spr) {
    if (mftRuns == nullptr || spc == 0 || mft < 0) return -1;
    if (spr == 0) spr = 1;
    if (mft > (INT64_MAX / 256)) return -1;
    const std::int64_t s = mft * spr;
    const std::int64_t lcn = mftRuns->GetLCN(s / spc);
    if (lcn < 0) return -1;
    return lcn * spc + partitionStart + s % spc;
}

void CNTFSMultiFileRecord::CalcFileRecordStartSectorinExtendFileRecordInfoList(ExtendFileRecordInfoList& list,
                                                                               std::int64_t, std::uint8_t spc,
                                                                               std::int64_t partitionStart,
                                                                               const CNTFSDataRunList* mftRuns,
                                                                               std::uint8_t spr) {
    for (CAttributeListExtendFileRecordInfo& e : list)
        e.startSector = GetFileRecordStartSectorfromMFTNumber(e.mftNumber, spc, partitionStart, mftRuns, spr);
}

void CNTFSMultiFileRecord::RemoveMainFileRecordInfofromFileRecordInfoList(ExtendFileRecordInfoList& list,
                                                                          std::int64_t mainSector) {
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const CAttributeListExtendFileRecordInfo& e) {
                                  return e.startSector == mainSector || e.startSector == -1;
                              }),
               list.end());
}

bool CNTFSMultiFileRecord::HasSameExtendFileRecordInfoList(const ExtendFileRecordInfoList& list, std::int64_t mft) {
    return std::any_of(list.begin(), list.end(),
                       [&](const CAttributeListExtendFileRecordInfo& e) { return e.mftNumber == mft; });
}

ExtendFileRecordInfoList* CNTFSMultiFileRecord::InitExtendFileRecord(
    const std::uint8_t* record, int size, std::int64_t mainSector, std::uint8_t spc, std::int64_t partitionStart,
    IStorageDevice& device, const CNTFSDataRunList* mftRuns, std::uint8_t spr) {
    ExtendFileRecordInfoList* list = GetExtendFileRecordInfoList(record, size, partitionStart, spc, device);
    if (list == nullptr) return nullptr;
    CalcFileRecordStartSectorinExtendFileRecordInfoList(*list, 0, spc, partitionStart, mftRuns, spr);
    RemoveMainFileRecordInfofromFileRecordInfoList(*list, mainSector);
    return list;
}
