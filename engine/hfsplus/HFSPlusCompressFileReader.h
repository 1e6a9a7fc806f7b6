#pragma once
// Reader of HFS+ files stored compressed (decmpfs): zlib (types 3 and 4)
// and LZVN (types 7 and 8), inline in the "com.apple.decmpfs" attribute or in
// the resource fork, in 64 KiB chunks.

#include <cstdint>
#include <vector>

#include "recovery/FileReader.h"

class CHFSPlusVolume;
class CFileNode;

// The 16-byte decmpfs header (little-endian on disk).
struct HFSPlusDecmpfs {
    std::uint32_t compression_magic = 0;
    std::uint32_t compression_type = 0;
    std::uint64_t uncompressed_size = 0;
};

constexpr std::uint32_t kDecmpfsChunkSize = 65536;

class CHFSPlusCompressFileReader : public IFileReader {
public:
    // Both are borrowed; the node's identifier is the file's catalog ID and
    // its run list (allocation blocks) holds the resource fork.
    CHFSPlusCompressFileReader(CHFSPlusVolume* volume, CFileNode* node);
    CHFSPlusCompressFileReader(const CHFSPlusCompressFileReader& other);
    ~CHFSPlusCompressFileReader() override = default;

    int ReadData(long long offset, char* buffer, unsigned length, int* error) override;
    IFileReader* Clone() override;
    // The uncompressed size from the decmpfs header (0 without one).
    long long GetDataSize() const override { return static_cast<long long>(m_header.uncompressed_size); }
    int IsCompressFile() override;
    void Release() override { delete this; }

    std::uint32_t GetCompressionType() const { return m_header.compression_type; }

    // The decmpfs header and the inline data after it, live or deleted; false
    // when the file has none.
    static bool ReadDecmpfs(CHFSPlusVolume* volume, std::uint32_t fileID, HFSPlusDecmpfs* header,
                            std::vector<std::uint8_t>* payload);

private:
    struct Chunk {
        std::uint64_t forkOffset = 0;
        std::uint32_t length = 0;
    };
    bool DecodeInline();
    bool LoadChunkTable();
    bool DecodeChunk(std::size_t index);
    std::uint64_t ReadFork(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length);

    CHFSPlusVolume* m_volume = nullptr;
    CFileNode* m_node = nullptr;
    bool m_hasHeader = false;
    HFSPlusDecmpfs m_header;
    std::vector<std::uint8_t> m_payload;  // inline data after the header
    bool m_decoded = false;               // inline output made (types 3 and 7)
    std::vector<std::uint8_t> m_output;   // inline output
    bool m_tableLoaded = false;
    bool m_tableOk = false;
    struct Run {
        std::int64_t start = 0;
        std::int64_t length = 0;
    };
    std::vector<Run> m_runs;  // the resource fork, allocation blocks
    std::uint64_t m_forkSize = 0;
    std::vector<Chunk> m_chunks;
    long long m_cachedChunk = -1;
    std::vector<std::uint8_t> m_chunkData;
};
