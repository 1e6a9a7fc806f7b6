#include "hfsplus/HFSPlusCompressFileReader.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/DataRun.h"
#include "foundation/FileNode.h"
#include "foundation/Log.h"
#include "hfsplus/HFSPlusFileNode.h"
#include "hfsplus/HFSPlusVolume.h"
#include "hfsplus/LZVN.h"

namespace {
// Inline data is at most a few KiB; its output is bounded well above what
// any compressor reaches from that.
constexpr std::uint64_t kMaxInlineOutput = 64ull << 20;

// zlib stream into at most `limit` bytes; the bytes produced. `damaged` is
// set when zlib reports an error (a bad header, check or stream).
std::size_t Inflate(const std::uint8_t* src, std::size_t srcSize, std::uint8_t* dst, std::size_t limit, bool& damaged) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        damaged = true;
        return 0;
    }
    z.next_in = const_cast<Bytef*>(src);
    z.avail_in = static_cast<uInt>(srcSize);
    z.next_out = dst;
    z.avail_out = static_cast<uInt>(limit);
    int rc = inflate(&z, Z_FINISH);
    std::size_t produced = limit - z.avail_out;
    if (rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && z.avail_out == 0)) {
        CatchExeception::WriteLog("decmpfs: zlib error %d after %zu bytes\n", rc, produced);
        damaged = true;
    }
    inflateEnd(&z);
    return produced;
}

bool IsZlibType(std::uint32_t type) { return type == 3 || type == 4; }

// Decodes one compressed piece (a chunk or the inline payload) that stands
// for exactly `limit` bytes; a piece whose first byte marks it as stored is
// copied as it is. False when the piece is damaged: a decoder error, or fewer
// bytes than the piece stands for (the rest would be guessed zeros).
bool DecodePiece(std::uint32_t type, const std::uint8_t* src, std::size_t srcSize, std::uint8_t* dst, std::size_t limit,
                 std::size_t& produced) {
    produced = 0;
    if (srcSize == 0) return limit == 0;
    bool stored = IsZlibType(type) ? (src[0] & 0x0F) == 0x0F : src[0] == 0x06;
    bool damaged = false;
    if (stored) {
        produced = std::min(srcSize - 1, limit);
        std::memcpy(dst, src + 1, produced);
    } else if (IsZlibType(type)) {
        produced = Inflate(src, srcSize, dst, limit, damaged);
    } else {
        produced = lzvn_decode(dst, limit, src, srcSize);
    }
    return !damaged && produced == limit;
}
}  // namespace

bool CHFSPlusCompressFileReader::ReadDecmpfs(CHFSPlusVolume* volume, std::uint32_t fileID, HFSPlusDecmpfs* header,
                                             std::vector<std::uint8_t>* payload) {
    if (!volume || !volume->GetVolumeHeader()) return false;
    std::uint8_t* data = nullptr;
    std::uint32_t size = volume->getAttribute(fileID, "com.apple.decmpfs", &data);
    std::unique_ptr<std::uint8_t[]> owner(data);
    if (size < kDecmpfsHeaderSize || !data) return false;
    header->compression_magic = byteorder::LE32(data + kDecmpfsMagicOffset);
    header->compression_type = byteorder::LE32(data + kDecmpfsTypeOffset);
    header->uncompressed_size = byteorder::LE64(data + kDecmpfsSizeOffset);
    if (payload) payload->assign(data + kDecmpfsHeaderSize, data + size);
    return true;
}

CHFSPlusCompressFileReader::CHFSPlusCompressFileReader(CHFSPlusVolume* volume, CFileNode* node)
    : m_volume(volume), m_node(node) {
    if (!volume || !node || node->GetCurrentNodeID() < 0) return;
    // The low 32 bits are the catalog id: a deep scan's later volumes carry
    // their place above them (HFSPlusTreeId).
    m_hasHeader = ReadDecmpfs(volume, static_cast<std::uint32_t>(node->GetCurrentNodeID()), &m_header, &m_payload);
    if (!m_hasHeader) m_header = HFSPlusDecmpfs{};
}

CHFSPlusCompressFileReader::CHFSPlusCompressFileReader(const CHFSPlusCompressFileReader& other)
    : m_volume(other.m_volume),
      m_node(other.m_node),
      m_hasHeader(other.m_hasHeader),
      m_header(other.m_header),
      m_payload(other.m_payload) {}

IFileReader* CHFSPlusCompressFileReader::Clone() { return new (std::nothrow) CHFSPlusCompressFileReader(*this); }

int CHFSPlusCompressFileReader::IsCompressFile() { return m_node ? m_node->IsCompressed() : 0; }

bool CHFSPlusCompressFileReader::DecodeInline() {
    if (m_decoded) return !m_output.empty() || m_header.uncompressed_size == 0;
    m_decoded = true;
    std::uint64_t limit = std::min<std::uint64_t>(m_header.uncompressed_size, kMaxInlineOutput);
    try {
        m_output.resize(limit);
    } catch (const std::bad_alloc&) {
        m_output.clear();
        return false;
    }
    std::size_t produced = 0;
    const bool whole = DecodePiece(m_header.compression_type, m_payload.data(), m_payload.size(), m_output.data(),
                                   m_output.size(), produced);
    m_output.resize(produced);
    if (!whole || produced != m_header.uncompressed_size) {
        CatchExeception::WriteLog("decmpfs: inline data of %u decodes to %zu of %llu bytes\n",
                                  static_cast<unsigned>(m_header.compression_type), produced,
                                  static_cast<unsigned long long>(m_header.uncompressed_size));
        m_output.clear();
        return false;
    }
    return true;
}

std::uint64_t CHFSPlusCompressFileReader::ReadFork(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length) {
    const std::uint64_t blockSize = m_volume->GetBlockSize();
    if (blockSize == 0 || offset >= m_forkSize) return 0;
    length = std::min(length, m_forkSize - offset);
    std::uint64_t done = 0, runStart = 0;
    for (const Run& run : m_runs) {
        if (done == length) break;
        std::uint64_t runBytes = static_cast<std::uint64_t>(run.length) * blockSize;
        std::uint64_t at = offset + done;
        if (at < runStart + runBytes) {
            std::uint64_t inRun = at - runStart;
            std::uint64_t take = std::min(runBytes - inRun, length - done);
            std::uint64_t got =
                m_volume->Read(static_cast<std::uint64_t>(run.start) * blockSize + inRun, buffer + done, take);
            done += got;
            if (got != take) break;
        }
        runStart += runBytes;
    }
    return done;
}

bool CHFSPlusCompressFileReader::LoadChunkTable() {
    if (m_tableLoaded) return m_tableOk;
    m_tableLoaded = true;
    const std::uint32_t type = m_header.compression_type;
    IDataRunList* list = m_node->GetDataRunList();
    if (list) {
        for (DataRun* run = list->GetFirst(); run; run = list->GetNext()) {
            if (run->start >= 0 && run->length > 0) m_runs.push_back(Run{run->start, run->length});
        }
    }
    if (m_runs.empty()) {
        CatchExeception::WriteLog("%s decompress flag %d,got empty IDataRunList\n", "ReadData", static_cast<int>(type));
        return false;
    }
    std::uint64_t runBytes = 0;
    for (const Run& run : m_runs) runBytes += static_cast<std::uint64_t>(run.length) * m_volume->GetBlockSize();
    auto* hfsNode = dynamic_cast<CHFSPlusFileNode*>(m_node);
    m_forkSize = hfsNode && hfsNode->GetForkSize() ? std::min(hfsNode->GetForkSize(), runBytes) : runBytes;

    // Chunks cover 64 KiB of output each; more entries than that are damage.
    const std::uint64_t needed = (m_header.uncompressed_size + kDecmpfsChunkSize - 1) / kDecmpfsChunkSize;
    if (type == 4) {
        std::uint8_t head[kRsrcHeaderSize];
        if (ReadFork(0, head, sizeof head) != sizeof head) return false;
        std::uint64_t dataOffset = byteorder::BE32(head + kRsrcDataOffsetOffset);
        std::uint8_t table[kZlibTableEntriesOffset];
        if (dataOffset + sizeof table > m_forkSize || ReadFork(dataOffset, table, sizeof table) != sizeof table)
            return false;
        std::uint64_t count = byteorder::LE32(table + kZlibTableCountOffset);
        if (count > needed + 1 || dataOffset + sizeof table + count * kZlibTableEntrySize > m_forkSize) return false;
        std::vector<std::uint8_t> entries(static_cast<std::size_t>(count * kZlibTableEntrySize));
        if (ReadFork(dataOffset + sizeof table, entries.data(), entries.size()) != entries.size()) return false;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint8_t* entry = &entries[i * kZlibTableEntrySize];
            std::uint64_t start = dataOffset + kZlibChunkBase + byteorder::LE32(entry);
            std::uint32_t size = byteorder::LE32(entry + kZlibEntrySizeOffset);
            if (start + size > m_forkSize) return false;  // the table points past the fork
            m_chunks.push_back(Chunk{start, size});
        }
    } else {
        constexpr std::size_t kEntry = kLzvnTableEntrySize;
        std::uint8_t first[kEntry];
        if (ReadFork(0, first, kEntry) != kEntry) return false;
        std::uint64_t tableSize = byteorder::LE32(first);
        if (tableSize < 2 * kEntry || tableSize % kEntry != 0 || tableSize > m_forkSize ||
            tableSize / kEntry > needed + 2)
            return false;
        std::vector<std::uint8_t> table(static_cast<std::size_t>(tableSize));
        if (ReadFork(0, table.data(), table.size()) != table.size()) return false;
        for (std::size_t k = 0; k + 1 < tableSize / kEntry; ++k) {
            std::uint64_t start = byteorder::LE32(&table[kEntry * k]);
            std::uint64_t end = byteorder::LE32(&table[kEntry * (k + 1)]);
            if (end < start || end > m_forkSize) return false;
            m_chunks.push_back(Chunk{start, static_cast<std::uint32_t>(end - start)});
        }
    }
    m_tableOk = true;
    return true;
}

bool CHFSPlusCompressFileReader::DecodeChunk(std::size_t index) {
    if (m_cachedChunk == static_cast<long long>(index)) return true;
    m_cachedChunk = -1;
    if (index >= m_chunks.size()) return false;
    const Chunk& chunk = m_chunks[index];
    std::vector<std::uint8_t> compressed(chunk.length);
    if (ReadFork(chunk.forkOffset, compressed.data(), chunk.length) != chunk.length) return false;
    std::uint64_t chunkStart = static_cast<std::uint64_t>(index) * kDecmpfsChunkSize;
    std::size_t limit =
        static_cast<std::size_t>(std::min<std::uint64_t>(kDecmpfsChunkSize, m_header.uncompressed_size - chunkStart));
    m_chunkData.resize(limit);
    std::size_t produced = 0;
    if (!DecodePiece(m_header.compression_type, compressed.data(), compressed.size(), m_chunkData.data(), limit,
                     produced))
        return false;
    m_cachedChunk = static_cast<long long>(index);
    return true;
}

int CHFSPlusCompressFileReader::ReadData(long long offset, char* buffer, unsigned length, int* error) {
    if (error) *error = 0;
    if (!m_volume || !m_volume->GetVolumeHeader() || !m_node || !m_hasHeader || !buffer || offset < 0) return 0;
    const std::uint64_t size = m_header.uncompressed_size;
    const std::uint64_t start = static_cast<std::uint64_t>(offset);
    if (start >= size) return 0;
    // The int result bounds one call.
    std::uint64_t want = std::min<std::uint64_t>({length, size - start, 0x7FFFFFFF});
    switch (m_header.compression_type) {
    case 3:
    case 7: {
        if (!DecodeInline() || start >= m_output.size()) {
            if (error) *error = FILE_READ_DECODE;
            return 0;
        }
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(want, m_output.size() - start));
        std::memcpy(buffer, m_output.data() + start, n);
        return static_cast<int>(n);
    }
    case 4:
    case 8: {
        if (!LoadChunkTable()) {
            if (error) *error = FILE_READ_DECODE;
            return 0;
        }
        std::uint64_t done = 0;
        while (done < want) {
            std::uint64_t at = start + done;
            std::size_t index = static_cast<std::size_t>(at / kDecmpfsChunkSize);
            std::uint64_t inChunk = at % kDecmpfsChunkSize;
            // A chunk that is missing, unreadable or damaged ends the
            // read: the caller learns the bytes after it are lost.
            if (!DecodeChunk(index) || inChunk >= m_chunkData.size()) {
                if (error) *error = FILE_READ_DECODE;
                return done > 0 ? static_cast<int>(done) : 0;
            }
            std::uint64_t n = std::min<std::uint64_t>(want - done, m_chunkData.size() - inChunk);
            std::memcpy(buffer + done, m_chunkData.data() + inChunk, static_cast<std::size_t>(n));
            done += n;
        }
        return static_cast<int>(done);
    }
    default:
        return 0;
    }
}
