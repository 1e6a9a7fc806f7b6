#include "ntfs/NTFSFileReaderEx.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "foundation/DataRun.h"
#include "foundation/FileNode.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "ntfs/NTFSVolumeAnalyzer.h"
#include "recovery/RecyclerFilter.h"

namespace {

// Clusters above 2 MiB are not NTFS's; the buffer holds eight of them.
constexpr std::uint64_t kMaxClusterBytes = 2u << 20;

std::int64_t ReadNTFSIndexFile(IStorageDevice* device, CFileNode* node, std::int64_t cluster0Sector,
                               int sectorsPerCluster, _tagSearcherType type, char* buffer, std::uint32_t size) {
    if (type != SEARCHER_NTFS || dynamic_cast<CNTFSFileNode*>(node) == nullptr)
        return CRecyclerFilter::ReadByDataRuns(device, node, cluster0Sector, sectorsPerCluster, type, buffer, size);
    if (buffer == nullptr) return 0;
    CFileReaderEx reader;
    if (!reader.Open(device, node, cluster0Sector, sectorsPerCluster)) return 0;
    int done = 0;
    reader.Read(0, reinterpret_cast<unsigned char*>(buffer), static_cast<int>(std::min<std::uint32_t>(size, INT_MAX)),
                done);
    return done;
}

}  // namespace

void InstallNTFSIndexFileReader() { CRecyclerFilter::SetIndexFileReader(ReadNTFSIndexFile); }

void CFileReaderEx::Close() {
    m_device = nullptr;
    m_node = nullptr;
    std::vector<unsigned char>().swap(m_buffer);
}

int CFileReaderEx::Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition) {
    if (partition == nullptr) return 0;
    return Open(device, node, partition->GetCluster0Sector(), static_cast<int>(partition->GetSectorsPerCluster()));
}

int CFileReaderEx::Open(IStorageDevice* device, CFileNode* node, std::int64_t partitionStart, int sectorsPerCluster) {
    Close();
    if (device == nullptr || node == nullptr || sectorsPerCluster <= 0 || partitionStart < 0) return 0;
    std::uint32_t ss = device->GetSectorSize();
    if (ss == 0 || ss % 512 != 0) ss = 512;
    const std::uint64_t clusterSize = static_cast<std::uint64_t>(ss) * static_cast<std::uint32_t>(sectorsPerCluster);
    if (clusterSize == 0 || clusterSize > kMaxClusterBytes) return 0;
    const std::int64_t size = node->GetFileSize();
    if (size <= 0 || node->GetDataRunList() == nullptr) return 0;
    m_device = device;
    m_node = node;
    m_clusterSize = static_cast<std::uint32_t>(clusterSize);
    m_sectorsPerCluster = static_cast<std::uint32_t>(sectorsPerCluster);
    m_fileSize = size;
    m_partitionStart = partitionStart;
    m_buffer.assign(static_cast<std::size_t>(clusterSize) * kBufferClusters, 0);
    return 1;
}

int CFileReaderEx::Read(std::int64_t offset, unsigned char* out, int length, int& done) {
    done = 0;
    if (m_node == nullptr || out == nullptr || offset < 0 || length <= 0 || offset >= m_fileSize) return 0;
    std::int64_t want = std::min<std::int64_t>(length, m_fileSize - offset);
    IDataRunList* list = m_node->GetDataRunList();
    if (list == nullptr) return 0;
    if (list->IsResident()) return ReadResidentData(offset, out, static_cast<int>(want), done);

    const std::int64_t cluster = m_clusterSize;
    const std::int64_t spc = m_sectorsPerCluster;
    std::int64_t pos = offset;
    std::int64_t v = 0;  // the current run's first cluster in the file
    CDataRunWalker runs(list);
    for (const DataRun* r = runs.First(); r != nullptr && want > 0; r = runs.Next()) {
        if (r->length <= 0) continue;
        std::int64_t end = 0;  // lengths come from disk
        if (__builtin_add_overflow(v, r->length, &end)) end = INT64_MAX;
        for (std::int64_t c = pos / cluster; want > 0 && c >= v && c < end; c = pos / cluster) {
            const std::int64_t within = pos % cluster;
            const std::int64_t needed = (within + want + cluster - 1) / cluster;
            const std::int64_t clusters = std::min<std::int64_t>({kBufferClusters, end - c, needed});
            const std::size_t bytes = static_cast<std::size_t>(clusters * cluster);
            if (r->start < 0) {
                // A hole: no data on the device, zeros in the file.
                std::memset(m_buffer.data(), 0, bytes);
            } else {
                std::int64_t first = 0;
                if (__builtin_add_overflow(r->start, c - v, &first) || __builtin_mul_overflow(first, spc, &first) ||
                    __builtin_add_overflow(first, m_partitionStart, &first) ||
                    !CNTFSMultiFileRecord::ReadSectorsChecked(*m_device, m_buffer.data(), first, clusters * spc))
                    return 0;
            }
            const std::int64_t n = std::min<std::int64_t>(static_cast<std::int64_t>(bytes) - within, want);
            std::memcpy(out + done, m_buffer.data() + within, static_cast<std::size_t>(n));
            done += static_cast<int>(n);
            pos += n;
            want -= n;
        }
        v = end;
    }
    return 1;
}

int CFileReaderEx::ReadResidentData(std::int64_t offset, unsigned char* out, int length, int& done) {
    done = 0;
    auto* node = dynamic_cast<CNTFSFileNode*>(m_node);
    if (node == nullptr || m_device == nullptr || out == nullptr || offset < 0 || length <= 0) return 0;
    std::int64_t contentLength = 0;
    if (!GetResidentDataRunsStream(*node, *m_device, &contentLength, m_buffer.data(),
                                   static_cast<std::uint32_t>(m_buffer.size())))
        return 0;
    if (contentLength <= offset) return 0;
    const std::int64_t n = std::min<std::int64_t>(contentLength - offset, length);
    std::memcpy(out, m_buffer.data() + offset, static_cast<std::size_t>(n));
    done = static_cast<int>(n);
    return 1;
}
