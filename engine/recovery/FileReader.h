#pragma once
// The reader of one found file's data, as the file writer copies it out.

#include <cstdint>
#include <vector>

class IStorageDevice;
class IDataRunList;
class CFileNode;
class CSearchedPartitionInfo;

// Why a read of a file's data failed, as ReadData reports it in `*error`.
enum FileReadError : int {
    FILE_READ_OK = 0,
    FILE_READ_DEVICE = -1,    // the device reported a failed read
    FILE_READ_PAST_END = -2,  // the data lies past the device's end (a cut image)
    FILE_READ_RUNS_END = -3,  // the runs end before the data does
    FILE_READ_DECODE = -4,    // compressed data that does not decode
};
// The reason in words, for messages to the user.
const char* FileReadErrorText(int error);

// Sectors of `device` that lie on its storage. A partition or volume window
// may claim more sectors than its parent holds (an image cut short), and a
// read there returns zeros with success; 0 when the size is unknown.
std::int64_t ReadableSectors(IStorageDevice* device);

class IFileReader {
public:
    virtual ~IFileReader() = default;
    // Bytes placed in `buffer` from byte `offset` of the file's data; 0 on
    // failure, with the reason (FileReadError) in `*error`. Fewer bytes than
    // asked (and not past the data's end) mean the rest could not be read.
    // `error` may be null.
    virtual int ReadData(long long offset, char* buffer, unsigned length, int* error) = 0;
    // A new reader on the same node and geometry (null when it cannot be made).
    virtual IFileReader* Clone() = 0;
    // Bytes of data the file has (what the writer copies).
    virtual long long GetDataSize() const = 0;
    virtual int IsCompressFile() = 0;
    virtual void Release() = 0;
};

// Reads a node's data through its runs on the device (run start s lies at the
// partition's cluster-0 sector + s x sectors per cluster), or the resident
// content of an NTFS record. Sparse runs (negative start) read as zeros. Any
// offset and length are served: partial sectors go through a small bounce
// buffer, so nothing is written past `length` bytes of the caller's buffer.
class CFileReader : public IFileReader {
public:
    CFileReader() = default;
    ~CFileReader() override { Close(); }
    CFileReader(const CFileReader&) = default;
    CFileReader& operator=(const CFileReader&) = default;

    // 1 bound, 0 refused (missing argument, no cluster size, empty node, no runs).
    int Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition);
    void Close();

    int ReadData(long long offset, char* buffer, unsigned length, int* error) override;
    IFileReader* Clone() override;
    long long GetDataSize() const override;
    int IsCompressFile() override;
    void Release() override { delete this; }

    // 1 with `read` bytes placed (fewer than asked when the runs end before
    // the data does, *error FILE_READ_RUNS_END), 0 on failure with the
    // reason in *error.
    int Read(long long offset, unsigned char* buffer, int length, int& read, int* error);
    // Resident content from `offset`: at most `length` bytes.
    int ReadResidentData(long long offset, unsigned char* buffer, int length, int& read);

    // Most bytes of resident content served (eight clusters).
    static constexpr int kResidentClusters = 8;

protected:
    // Copies `length` bytes that start `byteOffset` bytes after device sector
    // `sector`; whole sectors go straight into `out`. FILE_READ_OK or the
    // reason of the failure.
    int ReadDeviceBytes(std::int64_t sector, std::int64_t byteOffset, unsigned char* out, std::int64_t length);
    std::uint32_t DeviceSectorSize() const;

    IDataRunList* m_runs = nullptr;      // the node's, not owned
    IStorageDevice* m_device = nullptr;  // not owned
    CFileNode* m_node = nullptr;         // not owned
    std::uint32_t m_clusterSize = 0;     // bytes
    std::uint32_t m_sectorsPerCluster = 0;
    std::int64_t m_dataSize = 0;
    std::int64_t m_cluster0Sector = 0;
    std::int64_t m_readableSectors = 0;  // ReadableSectors of the device at Open
    std::vector<unsigned char> m_bounce;
};
