#include "ntfs/NTFSLogFileFinder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/StorageDevice.h"
#include "ntfs/NTFSAttributes.h"
#include "foundation/ByteOrder.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSIndexRecord.h"

using namespace byteorder;

namespace {

// Log record header fields (from the record's first byte).
constexpr int kLsn = 0;
constexpr int kClientDataLength = 24;
// NTFS operation header fields, counted from the record's first byte; the
// undo and redo offsets count from byte 48.
constexpr int kUndoOffset = 56;
constexpr int kUndoLength = 58;
constexpr int kRecordOffset = 64;
constexpr int kAttributeOffset = 66;
constexpr int kClusterBlockOffset = 68;
constexpr int kTargetVcn = 72;
// A FILE record logged whole as redo data sits here in its log record.
constexpr int kRedoFileRecord = 88;
constexpr std::uint32_t kMinFileRecordClientData = 113;

// Page header fields of an RCRD page.
constexpr int kPageLastLsn = 8;
constexpr int kPageLastEndLsn = 32;

std::uint32_t SectorSizeOf(IStorageDevice& device) {
    const std::uint32_t s = device.GetSectorSize();
    return (s == 0 || s % 512 != 0) ? 512 : s;
}

std::uint64_t Align8(std::uint64_t v) { return (v + 7) & ~std::uint64_t{7}; }

}  // namespace

CFindFileFromLogFile::CFindFileFromLogFile() = default;

CFindFileFromLogFile::~CFindFileFromLogFile() { Reset(); }

void CFindFileFromLogFile::Reset() {
    m_valid = false;
    m_analysed = false;
    m_compressed = false;
    m_device = nullptr;
    m_spc = 8;
    m_sectorSize = 512;
    m_recordBytes = kFileRecordBytes;
    m_partitionStart = 0;
    m_logRuns.clear();
    m_logBytes = 0;
    m_logCut = false;
    std::vector<std::uint8_t>().swap(m_pages);
    std::vector<std::uint8_t>().swap(m_store);
    m_files.clear();
    m_filesByName.clear();
    m_records.clear();
    m_recordsByMft.clear();
}

std::int64_t CFindFileFromLogFile::GetFileRecordIndex(std::int64_t vcn, std::uint16_t clusterBlockOffset) const {
    // Cluster block offsets count 512-byte blocks inside the cluster,
    // whatever the cluster and record sizes are.
    const std::int64_t clusterBytes = static_cast<std::int64_t>(m_spc) * m_sectorSize;
    std::int64_t bytes = 0;
    if (vcn < 0 || __builtin_mul_overflow(vcn, clusterBytes, &bytes) ||
        __builtin_add_overflow(bytes, static_cast<std::int64_t>(clusterBlockOffset) * 512, &bytes))
        return -1;
    if (bytes % m_recordBytes != 0) return -1;
    return bytes / m_recordBytes;
}

std::int64_t CFindFileFromLogFile::GetLogPageCount() const { return m_logBytes / kPageBytes; }

bool CFindFileFromLogFile::Init(IStorageDevice* device, const CNTFSDataRunList* mftRuns, std::uint8_t sectorsPerCluster,
                                std::int64_t partitionStart) {
    if (device == nullptr || mftRuns == nullptr || mftRuns->IsEmpty() || partitionStart < 0) return false;
    Reset();
    m_device = device;
    m_spc = sectorsPerCluster == 0 ? 8 : sectorsPerCluster;
    m_sectorSize = SectorSizeOf(*device);
    m_recordBytes = std::max<std::uint32_t>(kFileRecordBytes, m_sectorSize);
    m_partitionStart = partitionStart;
    const std::int64_t clusterBytes = static_cast<std::int64_t>(m_spc) * m_sectorSize;
    const std::int64_t total = device->GetTotalSectors();

    // MFT record 2 is the $LogFile's.
    const std::int64_t recordByte = 2 * static_cast<std::int64_t>(m_recordBytes);
    const std::int64_t lcn = mftRuns->GetLCN(recordByte / clusterBytes);
    if (lcn < 0 || lcn > (total - partitionStart) / m_spc) return false;
    const std::int64_t sector = partitionStart + lcn * m_spc + (recordByte % clusterBytes) / m_sectorSize;
    const std::int64_t count = (m_recordBytes + m_sectorSize - 1) / m_sectorSize;
    std::vector<std::uint8_t> area(static_cast<std::size_t>(count) * m_sectorSize, 0);
    if (!CNTFSMultiFileRecord::ReadSectorsChecked(*device, area.data(), sector, count)) return false;

    CNTFSMultiFileRecord record(area.data(), m_recordBytes, sector, device, nullptr);
    if (!record.IsValid()) return true;
    std::unique_ptr<CNTFSFileProperties> props(
        CNTFSFilePropertiesBuilder::BuildFileProperties(sector, record, clusterBytes, nullptr));
    if (props == nullptr || std::strstr(props->GetFileName(), "$LogFile") == nullptr) return true;
    const CCompressedDataRunList* compact = props->GetCompressedDataRunList();
    if (compact == nullptr || compact->GetDataOffset() != 0) return true;
    IDataRunList* runs = compact->Decompress();
    if (runs == nullptr) return true;

    // The log ends where its runs leave the device or pass the memory cap:
    // pages beyond could never be read, and page numbers must not shift.
    std::int64_t bytes = 0;
    for (DataRun* r = runs->GetFirst(); r != nullptr; r = runs->GetNext()) {
        if (r->length <= 0) break;
        std::int64_t runBytes = 0;
        if (__builtin_mul_overflow(r->length, clusterBytes, &runBytes)) runBytes = kMaxLogBytes;
        if (r->start >= 0) {
            const std::int64_t room = total - partitionStart;
            if (r->start > room / m_spc || r->length > (room - r->start * m_spc) / m_spc) {
                // Keep what lies inside the device, then stop.
                const std::int64_t inside = r->start > room / m_spc ? 0 : (room - r->start * m_spc) / m_spc;
                if (inside > 0) {
                    m_logRuns.push_back(DataRun{r->start, inside});
                    bytes += std::min<std::int64_t>(inside * clusterBytes, kMaxLogBytes);
                }
                m_logCut = true;
                break;
            }
        }
        m_logRuns.push_back(DataRun{r->start, r->length});
        bytes += std::min(runBytes, kMaxLogBytes);
        if (bytes >= kMaxLogBytes) {
            m_logCut = true;
            break;
        }
    }
    runs->Release();
    m_logBytes = std::min(bytes, kMaxLogBytes) / kPageBytes * kPageBytes;
    m_valid = true;
    return true;
}

bool CFindFileFromLogFile::ReadLogPages() {
    const std::int64_t pages = GetLogPageCount();
    if (pages <= 0) return false;
    try {
        m_pages.assign(static_cast<std::size_t>(pages) * kPageBytes, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Reads of at most 1 MiB; a failed read leaves zeros, which no page test
    // accepts.
    const std::int64_t chunkSectors = std::max<std::int64_t>(1, (1 << 20) / m_sectorSize);
    std::vector<std::uint8_t> bounce(m_sectorSize);
    std::size_t pos = 0;
    for (const DataRun& r : m_logRuns) {
        if (pos >= m_pages.size()) break;
        const std::int64_t runSectors = r.length * m_spc;
        std::int64_t done = 0;
        while (done < runSectors && pos < m_pages.size()) {
            const std::size_t room = m_pages.size() - pos;
            std::int64_t n = std::min<std::int64_t>(chunkSectors, runSectors - done);
            n = std::min<std::int64_t>(n, static_cast<std::int64_t>(room / m_sectorSize));
            if (r.start < 0) {  // a hole reads as zeros
                const std::size_t skip =
                    std::min<std::size_t>(room, static_cast<std::size_t>((runSectors - done) * m_sectorSize));
                pos += skip;
                done = runSectors;
                break;
            }
            const std::int64_t sector = m_partitionStart + r.start * m_spc + done;
            if (n == 0) {  // less than a sector left in the buffer
                if (CNTFSMultiFileRecord::ReadSectorsChecked(*m_device, bounce.data(), sector, 1))
                    std::memcpy(m_pages.data() + pos, bounce.data(), room);
                pos = m_pages.size();
                break;
            }
            CNTFSMultiFileRecord::ReadSectorsChecked(*m_device, m_pages.data() + pos, sector, n);
            pos += static_cast<std::size_t>(n) * m_sectorSize;
            done += n;
        }
    }
    return true;
}

std::uint8_t* CFindFileFromLogFile::GetLogPageBuffer(std::int64_t page) {
    if (page < 0 || page >= GetLogPageCount() || m_pages.empty()) return nullptr;
    return m_pages.data() + static_cast<std::size_t>(page) * kPageBytes;
}

bool CFindFileFromLogFile::Analyzer() {
    if (!m_valid) return false;
    if (m_analysed) return true;
    if (GetLogPageCount() >= kMinPages && ReadLogPages()) WalkLogRecords();
    std::vector<std::uint8_t>().swap(m_pages);
    m_analysed = true;
    return true;
}

// The record that the last page's last record continues with wraps to the
// first log page: its start is the carry the walk begins with.
void CFindFileFromLogFile::FindLastPageCrossedPageRecord(std::vector<std::uint8_t>& carry, std::uint64_t& carryTotal,
                                                         std::uint64_t& bytesOnPage) {
    carry.clear();
    carryTotal = 0;
    bytesOnPage = 0;
    const std::uint8_t* last = GetLogPageBuffer(GetLogPageCount() - 1);
    if (last == nullptr || !CRCRDRecord::IsValid(last, kPageBytes)) return;
    // A copy: the walk undoes the fixups of the page itself later.
    std::vector<std::uint8_t> page(last, last + kPageBytes);
    CRCRDRecord::Unfixup(page.data(), kPageBytes);
    const std::uint64_t lastLsn = LE64(page.data() + kPageLastLsn);
    if (lastLsn == 0 || lastLsn == LE64(page.data() + kPageLastEndLsn)) return;
    // Records start on 8-byte boundaries; the one with the page's last LSN
    // must run over the page end.
    for (int off = kPageHeaderBytes; off + kRecordHeaderBytes <= kPageBytes; off += 8) {
        const std::uint8_t* h = page.data() + off;
        if (LE64(h + kLsn) != lastLsn) continue;
        const std::uint64_t total = kRecordHeaderBytes + static_cast<std::uint64_t>(LE32(h + kClientDataLength));
        if (off + total <= static_cast<std::uint64_t>(kPageBytes)) return;
        if (total > static_cast<std::uint64_t>(m_logBytes)) return;
        const std::size_t keep = std::min<std::size_t>(kPageBytes - off, kRecordStoreLimit);
        carry.assign(h, h + keep);
        carryTotal = total;
        bytesOnPage = static_cast<std::uint64_t>(kPageBytes - off);
        return;
    }
}

void CFindFileFromLogFile::WalkLogRecords() {
    const std::int64_t pages = GetLogPageCount();
    if (pages < kMinPages) return;
    // A record that runs over a page end: its first bytes (never more than a
    // kept record needs), its whole length and the bytes seen so far.
    std::vector<std::uint8_t> carry;
    std::uint64_t carryTotal = 0;
    // The wrap from the last page only makes sense for a log read whole.
    const bool whole = !m_logCut;
    std::uint64_t carryStartBytes = 0;
    if (whole) FindLastPageCrossedPageRecord(carry, carryTotal, carryStartBytes);
    // The wrapped record's bytes on the last page: its start to the page end.
    std::uint64_t carried = 0;
    bool carrying = carryTotal != 0;
    if (carrying) carried = carryStartBytes;

    for (std::int64_t p = kFirstLogPage; p < pages; ++p) {
        std::uint8_t* page = GetLogPageBuffer(p);
        if (!CRCRDRecord::IsValid(page, kPageBytes)) {
            carrying = false;
            continue;
        }
        CRCRDRecord::Unfixup(page, kPageBytes);
        const std::uint64_t lastLsn = LE64(page + kPageLastLsn);
        std::uint64_t off = kPageHeaderBytes;
        if (carrying) {
            const std::uint64_t take = std::min<std::uint64_t>(carryTotal - carried, kPageBytes - kPageHeaderBytes);
            const std::size_t room = kRecordStoreLimit > carry.size() ? kRecordStoreLimit - carry.size() : 0;
            const std::size_t add = static_cast<std::size_t>(std::min<std::uint64_t>(take, room));
            carry.insert(carry.end(), page + kPageHeaderBytes, page + kPageHeaderBytes + add);
            carried += take;
            if (carried < carryTotal) continue;
            AnalyzeLogRecord(carry.data(), static_cast<std::uint32_t>(carry.size()), carryTotal);
            carrying = false;
            off = kPageHeaderBytes + Align8(take);
        }
        while (off + kRecordHeaderBytes <= static_cast<std::uint64_t>(kPageBytes)) {
            const std::uint8_t* h = page + off;
            const std::uint64_t lsn = LE64(h + kLsn);
            // Past the page's last record lies stale or unused space.
            if (lsn == 0 || lsn > lastLsn) break;
            const std::uint64_t total = kRecordHeaderBytes + static_cast<std::uint64_t>(LE32(h + kClientDataLength));
            if (total > static_cast<std::uint64_t>(m_logBytes)) break;
            if (off + total <= static_cast<std::uint64_t>(kPageBytes)) {
                AnalyzeLogRecord(h, static_cast<std::uint32_t>(total), total);
            } else {
                const std::size_t keep =
                    std::min<std::size_t>(kPageBytes - static_cast<std::size_t>(off), kRecordStoreLimit);
                carry.assign(h, h + keep);
                carried = kPageBytes - off;
                carryTotal = total;
                carrying = true;
                break;
            }
            if (lsn == lastLsn) break;
            off += Align8(total);
        }
    }
}

void CFindFileFromLogFile::AnalyzeLogRecord(const std::uint8_t* bytes, std::uint32_t available, std::uint64_t total) {
    AnalyzerFileRecord(bytes, available);
    AnalyzerAllLogRecord(bytes, available, total);
}

void CFindFileFromLogFile::AnalyzerFileRecord(const std::uint8_t* bytes, std::uint32_t available) {
    if (available < kRedoFileRecord + 5) return;
    const std::uint32_t clientData = LE32(bytes + kClientDataLength);
    if (clientData < kMinFileRecordClientData) return;
    if (std::memcmp(bytes + kRedoFileRecord, "FILE0", 5) != 0) return;
    // Only the bytes the record really has: a record cut at the log's end
    // never lends the copy more.
    const std::uint32_t n = std::min<std::uint32_t>(
        {static_cast<std::uint32_t>(kFileRecordBytes), clientData - 40, available - kRedoFileRecord});
    std::vector<std::uint8_t> record(kFileRecordBytes, 0);
    std::memcpy(record.data(), bytes + kRedoFileRecord, n);
    if (!CNTFSFileRecord::IsValid(record.data(), kFileRecordBytes)) return;
    if (CNTFSFileRecord::IsFolder(record.data()) || CNTFSFileRecord::IsExtendFileRecord(record.data())) return;
    CNTFSMultiFileRecord multi(record.data(), kFileRecordBytes, -1, m_device, nullptr);
    const std::int64_t clusterBytes = static_cast<std::int64_t>(m_spc) * m_sectorSize;
    std::unique_ptr<CNTFSFileProperties> props(
        CNTFSFilePropertiesBuilder::BuildFileProperties(-1, multi, clusterBytes, nullptr));
    if (props == nullptr || props->GetFileSize() <= 0) return;
    if ((props->GetAttribute() & NTFS_ATTR_DIRECTORY) != 0) return;
    // Resident content would be looked for in a record that no longer holds
    // it: only runs on the volume can be lent to another record.
    const CCompressedDataRunList* compact = props->GetCompressedDataRunList();
    if (compact == nullptr || compact->GetDataOffset() != 0) return;
    IDataRunList* runs = compact->Decompress();
    if (runs == nullptr) return;
    std::vector<DataRun> list;
    for (DataRun* r = runs->GetFirst(); r != nullptr; r = runs->GetNext()) list.push_back(*r);
    runs->Release();
    if (!RunsInsideDevice(list)) return;

    CollectedFile file;
    file.mftNumber = CNTFSFileRecord::HasXPNumberOfthisMFTRecord(record.data())
                         ? static_cast<std::int64_t>(CNTFSFileRecord::GetXPNumberOfthisMFTRecord(record.data()))
                         : -1;
    const std::string name = props->GetFileName();
    file.properties = std::move(props);
    m_files.push_back(std::move(file));
    m_filesByName.emplace(name, m_files.size() - 1);
}

void CFindFileFromLogFile::AnalyzerAllLogRecord(const std::uint8_t* bytes, std::uint32_t available,
                                                std::uint64_t total) {
    if (total >= kRecordStoreLimit || total < static_cast<std::uint64_t>(kSegHeaderBytes) || available < total) return;
    // Only records a repair can use are kept: undo data placed inside an
    // attribute of an MFT record, long enough to be more than a size field.
    const std::uint16_t attributeOffset = LE16(bytes + kAttributeOffset);
    const std::uint16_t undoLength = LE16(bytes + kUndoLength);
    if (attributeOffset == 0 || undoLength <= kMinUndoLength) return;
    const std::int64_t mft =
        GetFileRecordIndex(static_cast<std::int64_t>(LE64(bytes + kTargetVcn)), LE16(bytes + kClusterBlockOffset));
    if (mft < 0) return;
    RecordSegInfo seg;
    std::memcpy(seg.header, bytes, kSegHeaderBytes);
    seg.storeOffset = static_cast<std::uint32_t>(m_store.size());
    seg.length = static_cast<std::uint32_t>(total);
    if (m_store.size() + total > static_cast<std::uint64_t>(kMaxLogBytes)) return;
    m_store.insert(m_store.end(), bytes, bytes + total);
    m_records.push_back(seg);
    m_recordsByMft.emplace(mft, m_records.size() - 1);
}

bool CFindFileFromLogFile::RunsInsideDevice(const std::vector<DataRun>& runs) const {
    if (runs.empty() || m_device == nullptr) return false;
    const std::int64_t room = m_device->GetTotalSectors() - m_partitionStart;
    for (const DataRun& r : runs) {
        if (r.length <= 0) return false;
        if (r.start < 0) continue;  // sparse
        if (r.start > room / m_spc || r.length > (room - r.start * m_spc) / m_spc) return false;
    }
    return true;
}

void CFindFileFromLogFile::BuildFileDataAttributeBuffer(std::int64_t mftNumber, std::uint32_t attributeOffset,
                                                        std::uint8_t* record, std::uint32_t* lastEnd) {
    const std::uint16_t minUndo = m_compressed ? kMinUndoLengthCompressed : kMinUndoLength;
    std::vector<const RecordSegInfo*> matches;
    const auto range = m_recordsByMft.equal_range(mftNumber);
    for (auto it = range.first; it != range.second; ++it) {
        const RecordSegInfo& seg = m_records[it->second];
        if (LE16(seg.header + kRecordOffset) != attributeOffset) continue;
        if (LE16(seg.header + kAttributeOffset) == 0) continue;
        if (LE16(seg.header + kUndoLength) <= minUndo) continue;
        matches.push_back(&seg);
    }
    if (matches.empty()) return;
    std::stable_sort(matches.begin(), matches.end(), [](const RecordSegInfo* a, const RecordSegInfo* b) {
        const std::uint16_t ra = LE16(a->header + kRecordOffset), rb = LE16(b->header + kRecordOffset);
        if (ra != rb) return ra < rb;
        return LE16(a->header + kAttributeOffset) < LE16(b->header + kAttributeOffset);
    });
    std::uint32_t end = 0;
    for (const RecordSegInfo* seg : matches) {
        const std::uint32_t undoLength = LE16(seg->header + kUndoLength);
        const std::uint32_t source = kRecordHeaderBytes + static_cast<std::uint32_t>(LE16(seg->header + kUndoOffset));
        const std::uint32_t target =
            static_cast<std::uint32_t>(LE16(seg->header + kRecordOffset)) + LE16(seg->header + kAttributeOffset);
        // Both ends come from the log: the undo bytes must lie inside the
        // stored copy, and their place inside the 1,024-byte record.
        if (source + undoLength > seg->length) continue;
        if (target + undoLength > static_cast<std::uint32_t>(kFileRecordBytes)) continue;
        std::memcpy(record + target, m_store.data() + seg->storeOffset + source, undoLength);
        end = target + undoLength;
    }
    if (end <= attributeOffset) return;
    PutLE32(record + attributeOffset + 4, end - attributeOffset);
    PutLE32(record + 24, end);
    *lastEnd = end;
}

void CFindFileFromLogFile::RebuildFileRecord(std::uint8_t* record, std::int64_t mftNumber) {
    std::vector<std::uint32_t> offsets;
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t off = CNTFSFileRecord::GetAttributeOffset(record, ntfslayout::kAttrData, i);
        if (off == CNTFSFileRecord::kNotFound) break;
        offsets.push_back(off);
    }
    std::uint32_t lastEnd = 0;
    for (std::uint32_t off : offsets) BuildFileDataAttributeBuffer(mftNumber, off, record, &lastEnd);
    if (lastEnd != 0 && lastEnd + 4 <= static_cast<std::uint32_t>(kFileRecordBytes))
        PutLE32(record + lastEnd, CNTFSFileRecord::kEndMarker);
}

bool CFindFileFromLogFile::BuildDataRunList(const std::vector<const std::uint8_t*>& attributes,
                                            const std::vector<int>& available, std::vector<DataRun>& out) const {
    out.clear();
    CNTFSDataRunList gathered;
    for (std::size_t i = 0; i < attributes.size(); ++i)
        CNTFSFileRecordDataRunsAttribute::GetDataRunList(attributes[i], available[i], gathered);
    gathered.Sort();
    for (const CDataRun& r : gathered.Runs()) out.push_back(DataRun{r.LCN < 0 ? -1 : r.LCN, r.length});
    if (!RunsInsideDevice(out)) {
        out.clear();
        return false;
    }
    return true;
}

const CFindFileFromLogFile::CollectedFile* CFindFileFromLogFile::FindCollectedFile(const std::string& name,
                                                                                   std::int64_t mftNumber,
                                                                                   std::int64_t ownNumber) const {
    const auto range = m_filesByName.equal_range(name);
    if (range.first == range.second) return nullptr;
    for (auto it = range.first; it != range.second; ++it)
        if (m_files[it->second].mftNumber == mftNumber) return &m_files[it->second];
    if (mftNumber == -1 && ownNumber >= 0) {
        for (auto it = range.first; it != range.second; ++it)
            if (m_files[it->second].properties->GetFileRecordIndex() == ownNumber) return &m_files[it->second];
    }
    // The same name alone: a guess, which can lend one "desktop.ini" the
    // runs of another.
    return &m_files[range.first->second];
}

bool CFindFileFromLogFile::ReplaceFileRecordInfo(const std::uint8_t* record, CNTFSFileProperties& properties,
                                                 std::int64_t mftNumber, const ExtendFileRecordInfoList* extensions) {
    if (record == nullptr || !m_analysed) return false;
    if (m_files.empty() && m_records.empty()) return false;
    std::vector<std::uint8_t> buffer(kRebuildBufferBytes, 0);
    std::memcpy(buffer.data(), record, kFileRecordBytes);
    if (!CNTFSFileRecord::IsValid(buffer.data(), kFileRecordBytes)) return false;
    CNTFSFileRecord::UnfixupFileRecord(buffer.data(), kFileRecordBytes);
    const std::int64_t ownNumber =
        CNTFSFileRecord::HasXPNumberOfthisMFTRecord(buffer.data())
            ? static_cast<std::int64_t>(CNTFSFileRecord::GetXPNumberOfthisMFTRecord(buffer.data()))
            : -1;

    const CollectedFile* match = FindCollectedFile(properties.GetFileName(), mftNumber, ownNumber);
    if (match == nullptr && (properties.GetAttribute() == NTFS_ATTR_DIRECTORY || (properties.GetState() & 1) == 0))
        return false;
    m_compressed = (properties.GetAttribute() & NTFS_ATTR_COMPRESSED) != 0;

    std::vector<const std::uint8_t*> attributes;
    std::vector<int> available;
    auto listData = [&](const std::uint8_t* rec) {
        for (int i = 0; i < 5; ++i) {
            const std::uint32_t off = CNTFSFileRecord::GetAttributeOffset(rec, ntfslayout::kAttrData, i);
            if (off == CNTFSFileRecord::kNotFound) break;
            const std::uint8_t* a = rec + off;
            const int room = kFileRecordBytes - static_cast<int>(off);
            if (!CNTFSFileRecordAttribute::IsValid(a, room) || CNTFSFileRecordAttribute::IsNamed(a) ||
                CNTFSFileRecordAttribute::IsResident(a))
                continue;
            attributes.push_back(a);
            available.push_back(room);
        }
    };

    const std::int64_t recordMft = mftNumber >= 0 ? mftNumber : ownNumber;
    if (recordMft >= 0) RebuildFileRecord(buffer.data(), recordMft);
    listData(buffer.data());
    if (extensions != nullptr) {
        const std::int64_t count = (kFileRecordBytes + m_sectorSize - 1) / m_sectorSize;
        std::vector<std::uint8_t> area(static_cast<std::size_t>(count) * m_sectorSize);
        int slot = 1;
        for (const CAttributeListExtendFileRecordInfo& e : *extensions) {
            if (slot > kMaxExtensionRecords) break;
            if (e.startSector < 0) continue;
            std::fill(area.begin(), area.end(), 0);
            if (!CNTFSMultiFileRecord::ReadSectorsChecked(*m_device, area.data(), e.startSector, count)) continue;
            std::uint8_t* rec = buffer.data() + static_cast<std::size_t>(slot) * kFileRecordBytes;
            std::memcpy(rec, area.data(), kFileRecordBytes);
            if (!CNTFSFileRecord::IsValid(rec, kFileRecordBytes)) {
                std::memset(rec, 0, kFileRecordBytes);
                continue;
            }
            CNTFSFileRecord::UnfixupFileRecord(rec, kFileRecordBytes);
            RebuildFileRecord(rec, e.mftNumber);
            listData(rec);
            ++slot;
        }
    }

    std::vector<DataRun> runs;
    const bool made = !attributes.empty() && BuildDataRunList(attributes, available, runs);
    CNoneResidentNTFSDataRunList list;
    if (match == nullptr) {
        if (!made) return false;
        std::int64_t clusters = 0;
        for (const DataRun& r : runs) clusters += r.length;  // bounded by the device
        for (const DataRun& r : runs) list.AddDataRun(r);
        properties.SetDataRunList(&list);
        properties.SetFileSize(clusters * m_spc * m_sectorSize);
        return true;
    }
    if (made) {
        for (const DataRun& r : runs) list.AddDataRun(r);
        properties.SetDataRunList(&list);
    } else if (const CCompressedDataRunList* compact = match->properties->GetCompressedDataRunList()) {
        if (IDataRunList* lent = compact->Decompress()) {
            properties.SetDataRunList(lent);
            lent->Release();
        }
    }
    properties.SetFileSize(match->properties->GetFileSize());
    return true;
}
