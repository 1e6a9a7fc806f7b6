#pragma once
// Reader of NTFS-compressed files: the runs are cut into compression units of
// 16 clusters, each stored plainly, compressed with LZNT1, or sparse.

#include <cstdint>
#include <functional>
#include <list>
#include <vector>

#include "recovery/FileReader.h"

class IProgress;

enum : std::uint16_t {
    NONECOMPRESSED_UNIT = 0,
    COMPRESSED_UNIT = 1,
    SPARSE_UNIT = 2,
};

// One piece of a compression unit.
struct tagCompressDataRun {
    std::int64_t s64LCN;  // first cluster; -1 for a sparse piece
    std::int32_t length;  // clusters
    std::uint16_t eType;
};

class CCompressFileReader : public CFileReader {
public:
    static constexpr int kUnitClusters = 16;
    static constexpr int kChunkBytes = 4096;
    // Compression works on clusters of at most 4 KiB; units of larger
    // clusters (a corrupt flag, a guessed geometry) are still served up to
    // this many bytes per unit, and refused beyond it.
    static constexpr std::int64_t kMaxUnitBytes = 16 * 65536;

    CCompressFileReader() = default;
    ~CCompressFileReader() override = default;

    IFileReader* Clone() override;
    // Decoded bytes of [offset, offset + length); only the units that hold
    // them are read and decoded.
    int ReadData(long long offset, char* buffer, unsigned length, int* error) override;
    unsigned ReadData(long long offset, char* buffer, unsigned length);

    // The whole file to `path`; resident data sets `fallback` (the caller
    // copies it the plain way). False when the destination cannot be opened
    // or written, or a unit could not be read or decoded (LastError says
    // which; the rest of the file is still written).
    bool Recovery(const char* path, IProgress* progress, bool& fallback);
    // The same into an open destination `fd`, which stays open.
    bool Recovery(int fd, IProgress* progress, bool& fallback);
    // FILE_READ_OK, or why the last copy or read lost data.
    int LastError() const { return m_failure; }
    // Bytes of the last copy that came from units read and decoded whole.
    std::int64_t GoodBytes() const { return m_goodBytes; }
    // The first `limit` bytes into `target`, from the target's start.
    bool Recovery(char* target, int limit, IProgress* progress);

    static void ReGroupCompressDataRunList(IDataRunList* runs, std::list<tagCompressDataRun>& out);
    // One LZNT1 chunk (header included, at most `available` bytes of input)
    // into at most `limit` (and 4,096) bytes; the bytes decoded. `damaged`
    // (when given) is set for input no compressor makes: a chunk longer than
    // its input, a token cut by the input's end, a reference before the
    // chunk's start.
    static int DecompressBlock(unsigned char* output, int limit, const unsigned char* chunk, int available,
                               bool* damaged = nullptr);
    // Decodes a unit's input into `out` (unitBytes, zero-filled first); false
    // when a chunk is damaged.
    static bool DecompressUnit(const unsigned char* input, std::int64_t inputBytes, unsigned char* out,
                               std::int64_t unitBytes);

private:
    // Hands the file's bytes from position 0 to `end` to `emit(position,
    // bytes or null for zeros, count)` in order, skipping (without reading)
    // whole units that end before `from`. False when emit refuses or the
    // geometry cannot be served.
    bool DeCompressFile(std::int64_t from, std::int64_t end,
                        const std::function<bool(std::int64_t, const unsigned char*, std::int64_t)>& emit,
                        IProgress* progress);
    // Reads `clusters` clusters at `lcn` (zeros for a negative one or a
    // failed read); FILE_READ_OK or the reason of the failure.
    int ReadClusters(std::int64_t lcn, std::int64_t clusters, unsigned char* out);

    int m_failure = 0;             // FileReadError of the last copy or read
    std::int64_t m_goodBytes = 0;  // bytes of the last copy from whole units
};
