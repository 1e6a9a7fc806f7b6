#pragma once
// The file writer: copies one found file's data to a destination path in
// 4 MiB chunks, with progress, pause and stop, and gives the file and its
// folders the node's creation time.

#include <cstdint>
#include <mutex>
#include <vector>

#include "foundation/EngineResult.h"
#include "recovery/RecoveryController.h"

class CFileNode;
class IFileReader;

// Result codes of the writer (module 0x0D).
constexpr EngineResult DATA_RECOVERY_NO_CONTROLLER = 0x010D004500000005ull;
constexpr EngineResult DATA_RECOVERY_NO_PARTITIONS = 0x010D004B00000D01ull;
constexpr EngineResult DATA_RECOVERY_NO_PARTITIONS_AGAIN = 0x010D005200000D01ull;
constexpr EngineResult DATA_RECOVERY_COPY_NO_DEVICE = 0x010D006E00000005ull;
constexpr EngineResult DATA_RECOVERY_NO_PATH = 0x010D010200000005ull;
constexpr EngineResult DATA_RECOVERY_NO_READER_NOT_OPENED = 0x010D010B0000000Full;
constexpr EngineResult DATA_RECOVERY_NO_READER_EMPTY_FILE = 0x010D010F00000D02ull;
constexpr EngineResult DATA_RECOVERY_LIMIT_ON_COMPRESSED = 0x010D01150000000Full;
constexpr EngineResult DATA_RECOVERY_COMPRESSED_FAILED = 0x010D012100000001ull;
constexpr EngineResult DATA_RECOVERY_NOT_OPENED = 0x010D01310000000Full;
constexpr EngineResult DATA_RECOVERY_NO_READER = 0x010D013600000D02ull;
constexpr EngineResult DATA_RECOVERY_WRITE_FAILED = 0x010D015F00000D03ull;
// Part of the data could not be read or decoded: the destination holds the
// rest, with holes (zeros) where the lost parts belong. Never a whole file.
constexpr EngineResult DATA_RECOVERY_READ_INCOMPLETE = 0x010D020000000D04ull;
constexpr EngineResult DATA_RECOVERY_NO_DESCRIPTOR = 0x010D020100000005ull;

class CDataRecovery : public IDataRecovery {
public:
    static constexpr int kBufferSize = 0x400000;
    static constexpr int kFirstFetch = 256;
    static constexpr unsigned kPreviewBytes = 65536;

    CDataRecovery() = default;
    ~CDataRecovery() override;
    CDataRecovery(const CDataRecovery&) = delete;
    CDataRecovery& operator=(const CDataRecovery&) = delete;

    EngineResult Initialize(IFileSystemSearchController* searcher, IStorageDevice* device) override;
    EngineResult Initialize(std::vector<CSearchedPartitionInfo*>& partitions, IStorageDevice* device) override;
    IFileReader* SetRecoverNode(IFileNode* node) override;
    // Opens `path` (created or truncated, never through a symbolic link as its
    // last component) and copies as RecoverToDescriptor does.
    EngineResult RecoverTo(const char* path, IProgress* progress, int limit) override;
    EngineResult RecoverToDescriptor(int fd, const char* name, IProgress* progress, int limit,
                                     RecoveryOutcome* outcome) override;
    unsigned ReadSmallJPG(char* out, unsigned capacity) override;
    void Release() override { delete this; }

    std::vector<CSearchedPartitionInfo*>& GetSearchedPartition() { return m_partitions; }
    unsigned GetPartitionCount() const { return m_partitionCount; }
    CSearchedPartitionInfo* GetNodePartition(CFileNode* node);

    static bool IsMetaDataInRange(CFileNode* node, const CSearchedPartitionInfo& p);
    static bool IsDataRunListInRange(CFileNode* node, const CSearchedPartitionInfo& p);
    static bool IsDataRunInRange(std::int64_t start, std::int64_t length, const CSearchedPartitionInfo& p);
    static bool IsClusterSuit(CFileNode* node, const CSearchedPartitionInfo& p);
    // Sectors per cluster a node's size and cluster count suggest: a power of
    // two from 2 to 2^24, or 0 when none fits.
    static std::uint32_t EstimateSectorsPerCluster(std::int64_t size, std::int64_t clusters);

private:
    void FreePartitions();
    void SortPartitions();
    // Gives the folders above `path` their nodes' times, walking up from
    // `parent` while each folder's name is its node's name.
    void SetFolderTimes(const char* path, CFileNode* parent);
    // The node's time on the written file, then its folders'.
    void SetTimes(int fd, const char* path);
    // The plain copy loop of RecoverToDescriptor.
    EngineResult CopyPlain(int fd, const char* name, IProgress* progress, int limit, RecoveryOutcome& outcome);
    // Reads `length` bytes at `offset`; on a failure, again in smaller
    // pieces so that what can be read is kept. Bytes read; the first reason
    // of a loss goes to `outcome`, the lost parts are zeroed.
    std::int64_t ReadWithRetry(std::int64_t offset, char* buffer, std::int64_t length, RecoveryOutcome& outcome);

    std::mutex m_lock;
    std::vector<unsigned char> m_buffer;
    IFileReader* m_reader = nullptr;                    // owned
    std::vector<CSearchedPartitionInfo*> m_partitions;  // owned
    unsigned m_partitionCount = 0;
    IStorageDevice* m_device = nullptr;
    std::uint32_t m_compressed = 0;
    bool m_hasTime = false;
    std::int64_t m_nodeTime = 0;  // Unix seconds
    IFileNode* m_node = nullptr;
};

// Higher score first; empty slots last.
bool PartitionInfoCompare(const CSearchedPartitionInfo* a, const CSearchedPartitionInfo* b);
// Unix seconds of a node time (100 ns units since 1601); false for 0 and for
// times outside years 1601 to 9999.
bool FileTimeToUnixSeconds(std::int64_t fileTime, std::int64_t* seconds);
// Sets the path's modification (and access) time; Linux keeps no settable
// creation time, so the creation time the caller has goes there. 0 on success.
int ChangeFileCreateTs(const char* path, std::int64_t unixSeconds);
