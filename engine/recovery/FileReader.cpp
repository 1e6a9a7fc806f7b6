#include "recovery/FileReader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/DataRun.h"
#include "foundation/FileNode.h"
#include "foundation/Log.h"
#include "foundation/ByteOrder.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"
#include "storage/PartitionDevice.h"

namespace {

// Puts back the bytes the update sequence replaced at the end of each
// 512-byte stride that lies wholly in `bytes`. False for a record that is not
// a FILE record or whose strides do not carry the sequence number (torn).
bool UndoRecordFixups(unsigned char* record, std::size_t bytes) {
    constexpr std::size_t kStride = 512;
    if (bytes < 48 || std::memcmp(record, "FILE", 4) != 0) return false;
    const std::size_t usaOffset = byteorder::LE16(record + 4);
    const std::size_t usaCount = byteorder::LE16(record + 6);
    if (usaCount < 2 || usaOffset < 40 || usaOffset + 2 * usaCount > bytes) return false;
    const unsigned char* usa = record + usaOffset;
    for (std::size_t i = 1; i < usaCount && i * kStride <= bytes; ++i) {
        unsigned char* tail = record + i * kStride - 2;
        if (tail[0] != usa[0] || tail[1] != usa[1]) return false;
        tail[0] = usa[2 * i];
        tail[1] = usa[2 * i + 1];
    }
    return true;
}

}  // namespace

const char* FileReadErrorText(int error) {
    switch (error) {
    case FILE_READ_OK:
        return "no error";
    case FILE_READ_PAST_END:
        return "its data lies past the end of the device";
    case FILE_READ_RUNS_END:
        return "its clusters end before its size";
    case FILE_READ_DECODE:
        return "its compressed data does not decode";
    default:
        return "the device failed to read its data";
    }
}

std::int64_t ReadableSectors(IStorageDevice* device) {
    if (device == nullptr) return 0;
    std::int64_t total = device->GetTotalSectors();
    // Windows read their parent in their own sector units, so the parent's
    // count bounds the window's in those units too.
    if (auto* window = dynamic_cast<CWindowDevice*>(device)) {
        const std::int64_t parent = ReadableSectors(window->GetParent());
        if (parent > 0) total = std::min(total, std::max<std::int64_t>(parent - window->GetStartSector(), 0));
    }
    return total < 0 ? 0 : total;
}

int CFileReader::Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition) {
    if (device == nullptr || node == nullptr || partition == nullptr) {
        CatchExeception::WriteLog("%s %d\r\n", "Open", 38);
        return 0;
    }
    // Records that count runs in sectors (the raw search's, and scan results
    // saved before it said so) leave sectors per cluster 0: that means 1.
    const std::uint32_t sectorsPerCluster = std::max<std::uint32_t>(partition->GetSectorsPerCluster(), 1);
    const std::uint64_t clusterSize = static_cast<std::uint64_t>(sectorsPerCluster) * partition->GetSectorSize();
    if (clusterSize == 0 || clusterSize > 0x7FFFFFFFu) {
        CatchExeception::WriteLog("%s %d\r\n", "Open", 54);
        return 0;
    }
    const std::int64_t size = node->GetFileSize();
    if (size <= 0) {
        CatchExeception::WriteLog("%s %d\r\n", "Open", 59);
        return 0;
    }
    if (node->GetDataRunList() == nullptr) {
        CatchExeception::WriteLog("%s %d\r\n", "Open", 65);
        return 0;
    }
    m_device = device;
    m_node = node;
    m_runs = node->GetDataRunList();
    m_clusterSize = static_cast<std::uint32_t>(clusterSize);
    m_sectorsPerCluster = sectorsPerCluster;
    m_dataSize = size;
    m_cluster0Sector = partition->GetCluster0Sector();
    m_readableSectors = ReadableSectors(device);
    return 1;
}

void CFileReader::Close() {
    m_device = nullptr;
    m_node = nullptr;
}

IFileReader* CFileReader::Clone() { return new (std::nothrow) CFileReader(*this); }

long long CFileReader::GetDataSize() const { return m_node ? m_dataSize : 0; }

int CFileReader::IsCompressFile() { return m_node ? m_node->IsCompressed() : 0; }

int CFileReader::ReadData(long long offset, char* buffer, unsigned length, int* error) {
    int read = 0;
    const int capped = static_cast<int>(std::min<unsigned>(length, 0x7FFFFFFFu));
    if (!Read(offset, reinterpret_cast<unsigned char*>(buffer), capped, read, error)) return 0;
    return read;
}

std::uint32_t CFileReader::DeviceSectorSize() const {
    const std::uint32_t s = m_device ? m_device->GetSectorSize() : 0;
    return s ? s : 512;
}

int CFileReader::ReadDeviceBytes(std::int64_t sector, std::int64_t byteOffset, unsigned char* out,
                                 std::int64_t length) {
    const std::int64_t ss = DeviceSectorSize();
    sector += byteOffset / ss;
    std::int64_t inner = byteOffset % ss;
    // A device answers a read past its end with zeros (or with a failure
    // that looks like a bad sector): neither is the file's data.
    const std::int64_t last = sector + (inner + length - 1) / ss;
    if (length > 0 && m_readableSectors > 0 && last >= m_readableSectors) return FILE_READ_PAST_END;
    if (m_bounce.size() < static_cast<std::size_t>(ss)) m_bounce.assign(static_cast<std::size_t>(ss), 0);
    while (length > 0) {
        if (inner != 0 || length < ss) {
            // A partial sector: through the bounce buffer, never past `length`.
            if (!m_device->ReadSector(m_bounce.data(), sector, 1)) return FILE_READ_DEVICE;
            const std::int64_t n = std::min(ss - inner, length);
            std::memcpy(out, m_bounce.data() + inner, static_cast<std::size_t>(n));
            out += n;
            length -= n;
            ++sector;
            inner = 0;
            continue;
        }
        const std::int64_t whole = length / ss;
        if (!m_device->ReadSector(out, sector, whole)) return FILE_READ_DEVICE;
        out += whole * ss;
        length -= whole * ss;
        sector += whole;
    }
    return FILE_READ_OK;
}

int CFileReader::Read(long long offset, unsigned char* buffer, int length, int& read, int* error) {
    read = 0;
    if (m_node == nullptr || m_device == nullptr || buffer == nullptr || offset < 0 || offset >= m_dataSize) {
        CatchExeception::WriteLog("%s %d\r\n", "Read", 93);
        return 0;
    }
    std::int64_t left = length < 0 ? 0 : length;
    if (left > m_dataSize - offset) left = m_dataSize - offset;
    if (m_runs == nullptr) {
        CatchExeception::WriteLog("%s %d\r\n", "Read", 106);
        return 0;
    }
    if (m_runs->IsResident()) return ReadResidentData(offset, buffer, static_cast<int>(left), read);

    const std::int64_t cluster = m_clusterSize;
    CDataRunWalker walk(m_runs);
    std::int64_t runFileStart = 0;  // file byte where the current run begins
    std::int64_t pos = offset;
    for (const DataRun* run = walk.First(); run != nullptr && left > 0; run = walk.Next()) {
        if (run->length <= 0) continue;
        // Runs come from disk: a length too large to count covers the rest.
        std::int64_t runBytes = 0, runFileEnd = 0;
        if (__builtin_mul_overflow(run->length, cluster, &runBytes)) runBytes = INT64_MAX;
        if (__builtin_add_overflow(runFileStart, runBytes, &runFileEnd)) runFileEnd = INT64_MAX;
        if (pos < runFileEnd) {
            const std::int64_t inRun = pos - runFileStart;
            const std::int64_t n = std::min(runFileEnd - pos, left);
            int failure = FILE_READ_OK;
            if (run->start < 0) {
                std::memset(buffer, 0, static_cast<std::size_t>(n));  // sparse: no data on disk
            } else {
                std::int64_t first = 0, offsetSectors = 0;
                if (__builtin_mul_overflow(run->start, static_cast<std::int64_t>(m_sectorsPerCluster),
                                           &offsetSectors) ||
                    __builtin_add_overflow(m_cluster0Sector, offsetSectors, &first) || first < 0)
                    failure = FILE_READ_PAST_END;  // a cluster no device holds
                else
                    failure = ReadDeviceBytes(first, inRun, buffer, n);
            }
            if (failure != FILE_READ_OK) {
                CatchExeception::WriteLog("%s %d\r\n", "Read", 187);
                if (error) *error = failure;
                return 0;
            }
            read += static_cast<int>(n);
            buffer += n;
            pos += n;
            left -= n;
        }
        if (runFileEnd == INT64_MAX) break;
        runFileStart = runFileEnd;
    }
    if (left > 0 && error) *error = FILE_READ_RUNS_END;
    return 1;
}

int CFileReader::ReadResidentData(long long offset, unsigned char* buffer, int length, int& read) {
    read = 0;
    if (m_runs == nullptr || m_device == nullptr || buffer == nullptr || offset < 0 || length < 0) return 0;
    CDataRunWalker walk(m_runs);
    const DataRun* run = walk.First();
    if (run == nullptr || run->start < 0) return 0;
    // The run gives the sector of the FILE record that holds the content and
    // the list the content's byte offset in that record.
    const std::int64_t contentOffset = m_runs->GetOffset();
    const std::int64_t cap = static_cast<std::int64_t>(m_clusterSize) * kResidentClusters;
    if (contentOffset <= 0 || m_dataSize > cap || contentOffset > cap - m_dataSize) return 0;
    const std::int64_t ss = DeviceSectorSize();
    const std::int64_t end = contentOffset + m_dataSize;
    const std::int64_t sectors = (std::max<std::int64_t>(end, 1024) + ss - 1) / ss;
    std::vector<unsigned char> record(static_cast<std::size_t>(sectors * ss));
    if (!m_device->ReadSector(record.data(), run->start, sectors)) return 0;
    if (!UndoRecordFixups(record.data(), record.size())) return 0;
    // The content must lie inside the record's used part.
    const std::int64_t used = byteorder::LE32(record.data() + 24);
    if (end > used) return 0;
    if (m_dataSize <= offset) return 0;
    read = static_cast<int>(std::min<std::int64_t>(m_dataSize - offset, length));
    std::memcpy(buffer, record.data() + contentOffset + offset, static_cast<std::size_t>(read));
    return 1;
}
