#include "storage/PartitionTable.h"

#include <cstring>
#include <set>
#include <vector>

#include "storage/DeviceData.h"
#include "foundation/ByteOrder.h"

namespace {

constexpr std::uint8_t kModule = ENGINE_MODULE_PARTITION_TABLE;

bool HasBootSignature(const std::uint8_t* sector) { return byteorder::LE16(sector + 510) == 0xAA55; }

// A read of whole sectors; on failure the device's own error is the answer.
bool ReadSectors(IStorageDevice* device, std::vector<std::uint8_t>& buffer, std::int64_t first, std::int64_t count,
                 EngineResult& error) {
    buffer.assign(static_cast<size_t>(count) * device->GetSectorSize(), 0);
    if (device->ReadSector(buffer.data(), first, count) != 1) {
        error = device->GetLastError();
        if (!IsEngineFailure(error)) error = ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_BAD_TABLE);
        return false;
    }
    return true;
}

// Adds an entry clamped to the disk: a stored count that runs past the end,
// or one below 1, becomes "the rest of the disk"; an entry that starts at or
// past the end has no sectors on this disk and is left out.
void AddClamped(std::list<PartitionEntry>& entries, PartitionEntry entry, std::int64_t total) {
    if (entry.startSector < 0 || entry.startSector >= total) return;
    if (entry.sectorCount < 1 || entry.sectorCount > total - entry.startSector)
        entry.sectorCount = total - entry.startSector;
    if (entry.sectorCount <= 0) return;
    entries.push_back(entry);
}

}  // namespace

// One 16-byte MBR or EBR slot.
class CPartitionTableEntry {
public:
    explicit CPartitionTableEntry(const std::uint8_t* raw) { std::memcpy(m_raw, raw, sizeof(m_raw)); }
    bool IsEmptyEntry() const { return GetPartitionType() == 0; }
    bool IsExtenedPartition() const { return GetPartitionType() == 0x05 || GetPartitionType() == 0x0F; }
    std::uint8_t GetPartitionType() const { return m_raw[4]; }
    std::uint8_t GetStatus() const { return m_raw[0]; }
    std::uint32_t GetLeadSectors() const { return byteorder::LE32(m_raw + 8); }
    std::uint32_t GetTotalSectors() const { return byteorder::LE32(m_raw + 12); }
    std::int64_t GetEndSector() const { return static_cast<std::int64_t>(GetLeadSectors()) + GetTotalSectors() - 1; }

private:
    std::uint8_t m_raw[16];
};

namespace {

bool StatusBytesValid(const std::uint8_t* sector) {
    for (int i = 0; i < 4; ++i) {
        std::uint8_t status = sector[446 + i * 16];
        if (status != 0x80 && status != 0x00) return false;
    }
    return true;
}

}  // namespace

// GPT: the 128-entry array at LBA 2. The header is not consulted, so a disk
// whose header was wiped still shows its partitions.
class CBaseGPTAnalyzer {
public:
    static EngineResult Analyze(IStorageDevice* device, std::list<PartitionEntry>& entries) {
        const std::int64_t total = device->GetTotalSectors();
        std::vector<std::uint8_t> buf;
        EngineResult err = ENGINE_OK;
        if (!ReadSectors(device, buf, 2, 32, err)) return err;
        for (int i = 1; i <= 128; ++i) {
            const std::uint8_t* e = buf.data() + static_cast<size_t>(i - 1) * 128;
            static const std::uint8_t zero[16] = {};
            if (std::memcmp(e, zero, 16) == 0) continue;
            const std::uint64_t first = byteorder::LE64(e + 32);
            const std::uint64_t last = byteorder::LE64(e + 40);
            if (total <= 0 || first >= static_cast<std::uint64_t>(total))
                continue;  // starts past the end of the disk: nothing of it is here
            std::int64_t count;
            if (last < static_cast<std::uint64_t>(total) && last >= first)
                count = static_cast<std::int64_t>(last - first + 1);
            else
                count = total - static_cast<std::int64_t>(first);
            // Small partitions (8 MiB or less, counted in 512-byte units) are
            // not offered; they hold reserved or boot areas.
            if (count < 16385) continue;
            PartitionEntry p;
            p.number = i;
            p.startSector = static_cast<std::int64_t>(first);
            p.sectorCount = count;
            std::memcpy(p.typeGuid, e, 16);
            std::memcpy(p.partGuid, e + 16, 16);
            entries.push_back(p);
        }
        return ENGINE_OK;
    }
};

// MBR primaries and the extended chain.
class CPartitionTableChainAnalyzer {
public:
    CPartitionTableChainAnalyzer(IStorageDevice* device, std::list<PartitionEntry>& entries)
        : m_device(device), m_entries(entries), m_total(device->GetTotalSectors()) {}

    EngineResult Analyze() {
        std::vector<std::uint8_t> mbr;
        EngineResult err = ENGINE_OK;
        if (!ReadSectors(m_device, mbr, 0, 1, err)) return err;
        if (!HasBootSignature(mbr.data()) || !StatusBytesValid(mbr.data()))
            return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_BAD_TABLE);
        int nextNumber = 5;
        for (int i = 1; i <= 4; ++i) {
            CPartitionTableEntry slot(mbr.data() + 446 + (i - 1) * 16);
            if (slot.IsEmptyEntry()) continue;
            if (slot.IsExtenedPartition()) {
                const std::int64_t extStart = slot.GetLeadSectors();
                EngineResult r = WalkChain(extStart, nextNumber);
                if (IsEngineFailure(r)) return r;
                continue;
            }
            PartitionEntry p;
            p.number = i;
            p.startSector = slot.GetLeadSectors();
            p.sectorCount = slot.GetTotalSectors();
            AddClamped(m_entries, p, m_total);
        }
        return ENGINE_OK;
    }

private:
    bool StartsAt(std::int64_t sector) const {
        for (const auto& e : m_entries) {
            if (e.startSector == sector) return true;
        }
        return false;
    }

    // Follows the EBR links from the first EBR at the extended start. A chain
    // that comes back to an EBR already read, or that grows past the bounds,
    // is treated as ended: damaged or hostile chains must not hang the list.
    EngineResult WalkChain(std::int64_t extStart, int& nextNumber) {
        std::int64_t ebr = extStart;
        std::vector<std::uint8_t> sector;
        while (true) {
            if (!m_visited.insert(ebr).second || static_cast<int>(m_visited.size()) > kMaxExtendedBootRecords)
                return ENGINE_OK;
            EngineResult err = ENGINE_OK;
            if (!ReadSectors(m_device, sector, ebr, 1, err)) return err;
            if (!HasBootSignature(sector.data()) || !StatusBytesValid(sector.data()))
                return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_BAD_TABLE);
            bool haveNext = false;
            std::int64_t next = 0;
            for (int i = 0; i < 4; ++i) {
                CPartitionTableEntry slot(sector.data() + 446 + i * 16);
                if (slot.IsEmptyEntry()) continue;
                const std::int64_t start = static_cast<std::int64_t>(slot.GetLeadSectors()) + ebr;
                if (StartsAt(start)) break;  // this slot was listed already: the chain loops
                if (slot.IsExtenedPartition()) {
                    if (haveNext) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_BAD_TABLE);
                    haveNext = true;
                    next = static_cast<std::int64_t>(slot.GetLeadSectors()) + extStart;
                    continue;
                }
                if (m_logicals >= kMaxLogicalPartitions) return ENGINE_OK;
                PartitionEntry p;
                p.number = nextNumber++;
                p.startSector = start;
                p.sectorCount = slot.GetTotalSectors();
                ++m_logicals;
                AddClamped(m_entries, p, m_total);
            }
            if (!haveNext) return ENGINE_OK;
            ebr = next;
        }
    }

    IStorageDevice* m_device;
    std::list<PartitionEntry>& m_entries;
    std::int64_t m_total;
    std::set<std::int64_t> m_visited;
    int m_logicals = 0;
};

// Apple partition map: block 0 "ER" with the block size, map entries "PM"
// (or the older "TS") from block 1. All fields big-endian.
class CAPMAnaly {
public:
    CAPMAnaly(IStorageDevice* device) : m_device(device), m_sectorSize(device->GetSectorSize()) {}

    EngineResult Analyze(std::list<PartitionEntry>& entries) {
        if (m_sectorSize == 0 || m_sectorSize % 512 != 0) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_NOT_DISK);
        EngineResult err = ENGINE_OK;
        if (!ReadSectors(m_device, m_buffer, 0, 1, err)) return err;
        if (m_buffer[0] != 'E' || m_buffer[1] != 'R') return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_BAD_TABLE);
        // A block smaller than a sector would put every map entry at sector 0.
        m_sectorsPerBlock = byteorder::BE16(m_buffer.data() + 2) / m_sectorSize;
        if (m_sectorsPerBlock == 0) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_BAD_TABLE);
        if (!ReadSectors(m_device, m_buffer, m_sectorsPerBlock, 1, err)) return err;
        if (!IsMapEntry()) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_BAD_TABLE);
        m_mapEntries = byteorder::BE32(m_buffer.data() + 4);
        if (m_mapEntries > 31) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_BAD_TABLE);
        const std::int64_t total = m_device->GetTotalSectors();
        for (std::uint32_t k = 1; k <= m_mapEntries; ++k) {
            if (!ReadSectors(m_device, m_buffer, static_cast<std::int64_t>(k) * m_sectorsPerBlock, 1, err)) return err;
            if (!IsMapEntry()) continue;
            PartitionEntry p;
            p.number = static_cast<std::int32_t>(k);
            p.startSector = static_cast<std::int64_t>(byteorder::BE32(m_buffer.data() + 8)) * m_sectorsPerBlock;
            p.sectorCount = static_cast<std::int64_t>(byteorder::BE32(m_buffer.data() + 12)) * m_sectorsPerBlock;
            std::memcpy(p.typeName, m_buffer.data() + 48, 32);
            // Unlike MBR, an APM entry without blocks has nothing to scan.
            if (p.sectorCount < 1) continue;
            AddClamped(entries, p, total);
        }
        return ENGINE_OK;
    }

private:
    bool IsMapEntry() const {
        return (m_buffer[0] == 'P' && m_buffer[1] == 'M') || (m_buffer[0] == 'T' && m_buffer[1] == 'S');
    }

    IStorageDevice* m_device;
    std::uint32_t m_sectorSize;
    std::uint32_t m_sectorsPerBlock = 0;
    std::vector<std::uint8_t> m_buffer;
    std::uint32_t m_mapEntries = 0;
};

EngineResult CPartitionTableAnalyze::AnalyzePartitionTable(IStorageDevice* device, std::list<PartitionEntry>& entries) {
    entries.clear();
    if (!device) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_NULL);
    if (device->GetType() != STORAGE_DEVICE_DISK) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_NOT_DISK);
    auto* holder = dynamic_cast<IDiskDeviceData*>(device->GetPrivateData());
    if (!holder) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_NO_RECORD);
    const CCollectDiskDeviceInfoStruct* record = holder->GetDiskInfo();
    if (!record) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_NO_RECORD);
    if (record->kind != 0) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_NOT_DISK);

    if (device->GetSectorSize() < 512) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_SECTOR_SIZE);
    std::vector<std::uint8_t> sector0;
    EngineResult err = ENGINE_OK;
    if (!ReadSectors(device, sector0, 0, 1, err)) return err;
    const bool signature = HasBootSignature(sector0.data());
    const bool gpt = signature && sector0[450] == 0xEE;
    const bool apm = !gpt && sector0[0] == 'E' && sector0[1] == 'R';
    if (apm) return CAPMAnaly(device).Analyze(entries);
    if (!signature) return ENGINE_OK;

    // Windows dynamic disks keep their layout in the LDM database; their MBR
    // entries do not describe the volumes.
    for (int i = 0; i < 4; ++i) {
        if (sector0[450 + i * 16] == 0x42) return ENGINE_ERROR(kModule, PARTITION_TABLE_ERR_NOT_DISK);
    }
    EngineResult r =
        gpt ? CBaseGPTAnalyzer::Analyze(device, entries) : CPartitionTableChainAnalyzer(device, entries).Analyze();
    return r;
}

IPartitionTableAnalyze* CreatePartitionTableAnalyze() { return new CPartitionTableAnalyze(); }
