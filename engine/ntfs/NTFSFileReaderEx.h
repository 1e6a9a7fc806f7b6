#pragma once
// Reads a found NTFS file's bytes straight from the device, cluster by
// cluster through its runs, or from the resident $DATA inside its FILE
// record. The tree builder's recycle-bin handling reads the first KiB of
// "$I" index files with it, to give a recycled file back its name.
//
//   CFileReaderEx reader;
//   if (reader.Open(device, node, partition)) reader.Read(0, buffer, 1024, done);

#include <cstdint>
#include <vector>

class CFileNode;
class CSearchedPartitionInfo;
class IStorageDevice;

class CFileReaderEx {
public:
    static constexpr int kBufferClusters = 8;

    CFileReaderEx() = default;
    ~CFileReaderEx() { Close(); }
    CFileReaderEx(const CFileReaderEx&) = delete;
    CFileReaderEx& operator=(const CFileReaderEx&) = delete;

    // 1 when bound: a device, a node with data (size above 0) and runs, and a
    // cluster size. `partitionStart` is the device sector of cluster 0.
    int Open(IStorageDevice* device, CFileNode* node, std::int64_t partitionStart, int sectorsPerCluster);
    // The cluster-0 sector and sectors per cluster of the partition record.
    int Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition);
    // Up to `length` bytes from `offset`, cut at the file's end; `done` bytes
    // placed. 0 at or past the end, or on a failed read (what was copied
    // before stays). Holes (sparse runs) read as zeros.
    int Read(std::int64_t offset, unsigned char* out, int length, int& done);
    // The same from the resident content (at most 8 clusters of it).
    int ReadResidentData(std::int64_t offset, unsigned char* out, int length, int& done);
    void Close();

private:
    IStorageDevice* m_device = nullptr;  // not owned
    CFileNode* m_node = nullptr;         // not owned
    std::uint32_t m_clusterSize = 0;
    std::uint32_t m_sectorsPerCluster = 0;
    std::int64_t m_fileSize = 0;
    std::int64_t m_partitionStart = 0;
    std::vector<unsigned char> m_buffer;  // 8 clusters
};

// Makes the recycle-bin handling read NTFS index files through
// CFileReaderEx (other file systems keep the plain run reader). Idempotent.
void InstallNTFSIndexFileReader();
