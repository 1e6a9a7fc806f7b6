#include "recovery/CompressFileReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/ByteOrder.h"
#include "foundation/DataRun.h"
#include "foundation/Progress.h"
#include "foundation/StorageDevice.h"

IFileReader* CCompressFileReader::Clone() { return new (std::nothrow) CCompressFileReader(*this); }

void CCompressFileReader::ReGroupCompressDataRunList(IDataRunList* runs, std::list<tagCompressDataRun>& out) {
    out.clear();
    if (runs == nullptr) return;
    std::list<tagCompressDataRun> pending;
    std::int64_t need = kUnitClusters;
    for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
        if (run->length <= 0) continue;
        const bool sparse = run->start < 0;
        std::int64_t left = run->length;
        std::int64_t at = run->start;
        while (left >= need) {
            const std::uint16_t type =
                !sparse ? NONECOMPRESSED_UNIT : (need == kUnitClusters ? SPARSE_UNIT : COMPRESSED_UNIT);
            for (auto& p : pending) p.eType = type;
            out.splice(out.end(), pending);
            out.push_back({sparse ? -1 : at, static_cast<std::int32_t>(need), type});
            if (!sparse) at += need;
            left -= need;
            need = kUnitClusters;
        }
        if (left > 0) {
            pending.push_back({sparse ? -1 : at, static_cast<std::int32_t>(left), NONECOMPRESSED_UNIT});
            need -= left;
        }
    }
    for (auto& p : pending) p.eType = p.s64LCN < 0 ? COMPRESSED_UNIT : NONECOMPRESSED_UNIT;
    out.splice(out.end(), pending);
}

int CCompressFileReader::DecompressBlock(unsigned char* output, int limit, const unsigned char* chunk, int available,
                                         bool* damaged) {
    if (limit < 1 || output == nullptr || chunk == nullptr || available < 2) return 0;
    limit = std::min(limit, kChunkBytes);
    const int header = byteorder::LE16(chunk);
    // The chunk's own size, cut to the input there is.
    const int end = std::min((header & 0x0FFF) + 3, available);
    if (damaged && (header & 0x0FFF) + 3 > available) *damaged = true;
    if ((header & 0x8000) == 0) {
        const int n = std::min({(header & 0x0FFF) + 1, end - 2, limit});
        if (n <= 0) return 0;
        std::memcpy(output, chunk + 2, static_cast<std::size_t>(n));
        return n;
    }
    int p = 0;
    int i = 2;
    while (i < end && p < limit) {
        const int flags = chunk[i++];
        for (int bit = 0; bit < 8 && i < end && p < limit; ++bit) {
            if ((flags & (1 << bit)) == 0) {
                output[p++] = chunk[i++];
                continue;
            }
            if (i + 1 >= end) {
                if (damaged) *damaged = true;
                return p;
            }
            const int token = byteorder::LE16(chunk + i);
            i += 2;
            int s = 0;
            for (int q = p - 1; q >= 16; q >>= 1) ++s;
            const int length = (token & (0x0FFF >> s)) + 3;
            const int distance = (token >> (12 - s)) + 1;
            if (distance > p && damaged) *damaged = true;
            for (int k = 0; k < length && p < limit; ++k, ++p) {
                const int src = p - distance;
                output[p] = src >= 0 ? output[src] : 0;  // before the chunk: zeros
            }
        }
    }
    return p;
}

bool CCompressFileReader::DecompressUnit(const unsigned char* input, std::int64_t inputBytes, unsigned char* out,
                                         std::int64_t unitBytes) {
    std::memset(out, 0, static_cast<std::size_t>(unitBytes));
    if (inputBytes >= 2 && input[0] == 0 && input[1] == 0) {
        std::memcpy(out, input, static_cast<std::size_t>(std::min(inputBytes, unitBytes)));
        return true;
    }
    bool damaged = false;
    std::int64_t pos = 0, written = 0;
    while (pos + 2 <= inputBytes && written < unitBytes) {
        const int header = byteorder::LE16(input + pos);
        if (header == 0) break;
        const int size = (header & 0x0FFF) + 3;
        const int available = static_cast<int>(std::min<std::int64_t>(size, inputBytes - pos));
        const int limit = static_cast<int>(std::min<std::int64_t>(kChunkBytes, unitBytes - written));
        DecompressBlock(out + written, limit, input + pos, available, &damaged);
        // Every chunk stands for 4,096 bytes of the unit; a short one is
        // zero-filled up to there (the buffer was cleared).
        written += limit;
        pos += size;
    }
    return !damaged;
}

int CCompressFileReader::ReadClusters(std::int64_t lcn, std::int64_t clusters, unsigned char* out) {
    const std::size_t bytes = static_cast<std::size_t>(clusters) * m_clusterSize;
    std::memset(out, 0, bytes);
    std::int64_t offsetSectors = 0, first = 0;
    // A negative cluster (an irregular sparse piece) has no data on the device.
    if (lcn < 0) return FILE_READ_OK;
    if (__builtin_mul_overflow(lcn, static_cast<std::int64_t>(m_sectorsPerCluster), &offsetSectors) ||
        __builtin_add_overflow(m_cluster0Sector, offsetSectors, &first))
        return FILE_READ_PAST_END;
    const int failure = ReadDeviceBytes(first, 0, out, static_cast<std::int64_t>(bytes));
    if (failure != FILE_READ_OK) std::memset(out, 0, bytes);
    return failure;
}

bool CCompressFileReader::DeCompressFile(
    std::int64_t from, std::int64_t end,
    const std::function<bool(std::int64_t, const unsigned char*, std::int64_t)>& emit, IProgress* progress) {
    if (m_runs == nullptr || m_device == nullptr) return false;
    const std::int64_t unitBytes = static_cast<std::int64_t>(m_clusterSize) * kUnitClusters;
    if (unitBytes > kMaxUnitBytes) return false;
    std::list<tagCompressDataRun> pieces;
    ReGroupCompressDataRunList(m_runs, pieces);
    std::vector<unsigned char> input(static_cast<std::size_t>(unitBytes)), output(static_cast<std::size_t>(unitBytes));
    m_failure = FILE_READ_OK;
    m_goodBytes = 0;
    // A unit that cannot be read or decoded is still handed on (zeros where
    // the read failed), so that the rest of the file is kept; the first
    // reason is remembered.
    auto note = [this](int failure) {
        if (failure != FILE_READ_OK && m_failure == FILE_READ_OK) m_failure = failure;
        return failure == FILE_READ_OK;
    };
    _PROGRESS_INFO info;
    MakeProgressInfo(&info, 0, m_dataSize, 0);
    std::int64_t pos = 0;
    for (auto it = pieces.begin(); it != pieces.end() && pos < end;) {
        const tagCompressDataRun piece = *it;
        std::int64_t span = 0;                // file bytes the piece (or unit) stands for
        const unsigned char* data = nullptr;  // null: zeros
        bool whole = true;                    // read and decoded without loss
        if (piece.eType == COMPRESSED_UNIT && piece.s64LCN >= 0) {
            // Data pieces of one unit, then its sparse tail.
            std::int64_t clusters = 0, tail = 0;
            auto first = it;
            while (it != pieces.end() && it->eType == COMPRESSED_UNIT && it->s64LCN >= 0 &&
                   clusters + it->length <= kUnitClusters) {
                clusters += it->length;
                ++it;
            }
            while (it != pieces.end() && it->eType == COMPRESSED_UNIT && it->s64LCN < 0 &&
                   clusters + tail + it->length <= kUnitClusters) {
                tail += it->length;
                ++it;
            }
            if (clusters == 0) {  // a piece longer than a unit: cannot be one
                ++it;
                continue;
            }
            span = (clusters + tail) * m_clusterSize;
            if (pos + span > from) {
                std::int64_t at = 0;
                for (auto p = first; p != it && p->s64LCN >= 0; ++p) {
                    whole = note(ReadClusters(p->s64LCN, p->length, input.data() + at)) && whole;
                    at += static_cast<std::int64_t>(p->length) * m_clusterSize;
                }
                if (!DecompressUnit(input.data(), at, output.data(), span) && whole) whole = note(FILE_READ_DECODE);
                data = output.data();
            }
        } else if (piece.eType == COMPRESSED_UNIT) {
            ++it;  // a sparse tail without data stands for nothing
            continue;
        } else {
            ++it;
            span = static_cast<std::int64_t>(piece.length) * m_clusterSize;
            if (span > unitBytes) return false;
            if (piece.eType == NONECOMPRESSED_UNIT && pos + span > from) {
                whole = note(ReadClusters(piece.s64LCN, piece.length, output.data()));
                data = output.data();
            }
        }
        const std::int64_t n = std::min(span, end - pos);
        if (pos + n > from && !emit(pos, data, n)) return false;
        if (whole) m_goodBytes += n;
        pos += n;
        if (progress) {
            info.current = pos;
            progress->UpdateProgress(&info);
        }
    }
    return true;
}

bool CCompressFileReader::Recovery(const char* path, IProgress* progress, bool& fallback) {
    fallback = false;
    if (path == nullptr || m_runs == nullptr) return false;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = Recovery(fd, progress, fallback);
    if (close(fd) != 0) ok = false;
    return ok;
}

bool CCompressFileReader::Recovery(int fd, IProgress* progress, bool& fallback) {
    fallback = false;
    m_failure = FILE_READ_OK;
    m_goodBytes = 0;
    if (fd < 0 || m_runs == nullptr) return false;
    if (m_runs->IsResident()) {
        fallback = true;
        return true;
    }
    static const std::vector<unsigned char> zeros(static_cast<std::size_t>(kMaxUnitBytes), 0);
    bool ok = DeCompressFile(
        0, m_dataSize,
        [&](std::int64_t at, const unsigned char* bytes, std::int64_t n) {
            if (bytes == nullptr) bytes = zeros.data();
            for (std::int64_t done = 0; done < n;) {
                const ssize_t w =
                    pwrite(fd, bytes + done, static_cast<std::size_t>(n - done), static_cast<off_t>(at + done));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) return false;
                done += w;
            }
            return true;
        },
        progress);
    struct stat st {};
    if (ok && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, m_dataSize) != 0) ok = false;
    return ok && m_failure == FILE_READ_OK;
}

bool CCompressFileReader::Recovery(char* target, int limit, IProgress* progress) {
    if (target == nullptr || m_runs == nullptr || limit < 0) return false;
    const std::int64_t end = std::min<std::int64_t>(limit, m_dataSize);
    if (m_runs->IsResident()) {
        int read = 0;
        return end == 0 ||
               CFileReader::Read(0, reinterpret_cast<unsigned char*>(target), static_cast<int>(end), read, nullptr);
    }
    std::memset(target, 0, static_cast<std::size_t>(end));
    return DeCompressFile(
        0, end,
        [&](std::int64_t at, const unsigned char* bytes, std::int64_t n) {
            if (bytes) std::memcpy(target + at, bytes, static_cast<std::size_t>(n));
            return true;
        },
        progress);
}

unsigned CCompressFileReader::ReadData(long long offset, char* buffer, unsigned length) {
    const int n = ReadData(offset, buffer, length, nullptr);
    return n > 0 ? static_cast<unsigned>(n) : 0;
}

int CCompressFileReader::ReadData(long long offset, char* buffer, unsigned length, int* error) {
    if (m_node == nullptr || buffer == nullptr || offset < 0 || offset >= m_dataSize) return 0;
    if (m_runs != nullptr && m_runs->IsResident()) return CFileReader::ReadData(offset, buffer, length, error);
    const std::int64_t end = std::min<std::int64_t>(
        {static_cast<std::int64_t>(offset) + length, m_dataSize, static_cast<std::int64_t>(offset) + 0x7FFFFFFF});
    std::memset(buffer, 0, static_cast<std::size_t>(end - offset));
    const bool ok = DeCompressFile(
        offset, end,
        [&](std::int64_t at, const unsigned char* bytes, std::int64_t n) {
            const std::int64_t lo = std::max<std::int64_t>(at, offset);
            const std::int64_t hi = std::min<std::int64_t>(at + n, end);
            if (bytes && hi > lo)
                std::memcpy(buffer + (lo - offset), bytes + (lo - at), static_cast<std::size_t>(hi - lo));
            return true;
        },
        nullptr);
    if (!ok || m_failure != FILE_READ_OK) {
        if (error) *error = ok ? m_failure : FILE_READ_DEVICE;
        return 0;
    }
    return static_cast<int>(end - offset);
}
