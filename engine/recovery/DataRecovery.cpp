#include "recovery/DataRecovery.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/DataRun.h"
#include "foundation/FileNode.h"
#include "foundation/Log.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/SearcherInterfaces.h"
#include "foundation/StorageDevice.h"
#include "recovery/CompressFileReader.h"
#include "recovery/FileReader.h"

namespace {

constexpr std::int64_t kFileTimePerSecond = 10000000;
constexpr std::int64_t kUnixEpochInFileTimeSeconds = 11644473600;
constexpr std::int64_t kLastSecondOf9999 = 253402300799;  // Unix seconds

void LogLine(const char* function, int line) { CatchExeception::WriteLog("%s %d\r\n", function, line); }

}  // namespace

bool FileTimeToUnixSeconds(std::int64_t fileTime, std::int64_t* seconds) {
    if (fileTime <= 0) return false;
    const std::int64_t s = fileTime / kFileTimePerSecond - kUnixEpochInFileTimeSeconds;
    if (s > kLastSecondOf9999) return false;
    if (seconds) *seconds = s;
    return true;
}

int ChangeFileCreateTs(const char* path, std::int64_t unixSeconds) {
    if (path == nullptr) return -1;
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unixSeconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    // A symbolic link put in the destination never sends the times elsewhere.
    return utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -1;
}

bool PartitionInfoCompare(const CSearchedPartitionInfo* a, const CSearchedPartitionInfo* b) {
    if (a == nullptr) return false;
    if (b == nullptr) return true;
    return a->GetScore() > b->GetScore();
}

CDataRecovery::~CDataRecovery() {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_reader) m_reader->Release();
    m_reader = nullptr;
    FreePartitions();
}

void CDataRecovery::FreePartitions() {
    for (CSearchedPartitionInfo*& p : m_partitions) {
        delete p;
        p = nullptr;
    }
    m_partitions.clear();
    m_partitionCount = 0;
}

void CDataRecovery::SortPartitions() {
    if (m_partitionCount < 2) return;
    std::stable_sort(m_partitions.begin(), m_partitions.end(), PartitionInfoCompare);
}

EngineResult CDataRecovery::Initialize(IFileSystemSearchController* searcher, IStorageDevice* device) {
    if (searcher == nullptr || device == nullptr) return DATA_RECOVERY_NO_CONTROLLER;
    FreePartitions();
    m_partitions.assign(kFirstFetch, nullptr);
    int count = searcher->GetSearchedPartitionInfo(m_partitions.data(), kFirstFetch);
    if (count <= 0) {
        FreePartitions();
        return DATA_RECOVERY_NO_PARTITIONS;
    }
    if (count > kFirstFetch) {
        // Whatever a searcher stored on the first call is ours: free it before
        // asking for the whole set.
        for (CSearchedPartitionInfo*& p : m_partitions) {
            delete p;
            p = nullptr;
        }
        m_partitions.assign(static_cast<std::size_t>(count), nullptr);
        count = searcher->GetSearchedPartitionInfo(m_partitions.data(), count);
        if (count <= 0) {
            FreePartitions();
            return DATA_RECOVERY_NO_PARTITIONS_AGAIN;
        }
    }
    m_partitionCount = static_cast<unsigned>(std::min<std::size_t>(count, m_partitions.size()));
    m_device = device;
    m_buffer.assign(kBufferSize, 0);
    SortPartitions();
    return ENGINE_OK;
}

EngineResult CDataRecovery::Initialize(std::vector<CSearchedPartitionInfo*>& partitions, IStorageDevice* device) {
    if (device == nullptr) return DATA_RECOVERY_COPY_NO_DEVICE;
    FreePartitions();
    m_partitions.assign(partitions.size(), nullptr);
    unsigned n = 0;
    for (CSearchedPartitionInfo* p : partitions) {
        if (p == nullptr) continue;
        auto* copy = new CSearchedPartitionInfo(p->GetSectorSize());
        *copy = *p;
        m_partitions[n++] = copy;
    }
    m_partitionCount = n;
    m_device = device;
    m_buffer.assign(kBufferSize, 0);
    SortPartitions();
    return ENGINE_OK;
}

bool CDataRecovery::IsMetaDataInRange(CFileNode* node, const CSearchedPartitionInfo& p) {
    const std::int64_t sector = node->GetMetadataStartPosition();
    const std::int64_t start = p.GetStartSector();
    const std::uint64_t total = p.GetTotalSectors();
    if (sector <= start) return false;
    return static_cast<std::uint64_t>(sector - start) < total;
}

bool CDataRecovery::IsDataRunInRange(std::int64_t start, std::int64_t length, const CSearchedPartitionInfo& p) {
    if (start < 0) return true;  // sparse: nothing on the device
    std::int64_t first = 0, count = 0, last = 0;
    if (length <= 0 || !p.GetRunDeviceSector(start, &first)) return false;
    const std::int64_t spc = p.GetSectorsPerCluster() ? p.GetSectorsPerCluster() : 1;
    if (__builtin_mul_overflow(length, spc, &count) || __builtin_add_overflow(first, count - 1, &last)) return false;
    const std::int64_t begin = p.GetStartSector();
    if (first < begin) return false;
    return static_cast<std::uint64_t>(last - begin) < p.GetTotalSectors();
}

bool CDataRecovery::IsDataRunListInRange(CFileNode* node, const CSearchedPartitionInfo& p) {
    IDataRunList* runs = node->GetDataRunList();
    if (runs == nullptr || runs->IsResident()) return true;
    CDataRunWalker walk(runs);
    for (const DataRun* r = walk.First(); r; r = walk.Next())
        if (!IsDataRunInRange(r->start, r->length, p)) return false;
    return true;
}

std::uint32_t CDataRecovery::EstimateSectorsPerCluster(std::int64_t size, std::int64_t clusters) {
    if (size <= 0 || clusters <= 0) return 0;
    const double estimate = std::ceil(static_cast<double>(size) / static_cast<double>(clusters) / 512.0);
    if (estimate <= 1.0 || estimate > static_cast<double>(1u << 24)) return 0;
    std::uint32_t p = 2;
    while (static_cast<double>(p) < estimate) p <<= 1;
    return p;
}

bool CDataRecovery::IsClusterSuit(CFileNode* node, const CSearchedPartitionInfo& p) {
    IDataRunList* runs = node->GetDataRunList();
    if (runs == nullptr || runs->IsResident()) return true;
    std::int64_t clusters = 0;
    bool any = false;
    CDataRunWalker walk(runs);
    for (const DataRun* r = walk.First(); r; r = walk.Next()) {
        any = true;
        if (r->length > 0 && __builtin_add_overflow(clusters, r->length, &clusters)) clusters = INT64_MAX;
    }
    if (!any || clusters < 2) return true;
    return EstimateSectorsPerCluster(node->GetFileSize(), clusters) == p.GetSectorsPerCluster();
}

CSearchedPartitionInfo* CDataRecovery::GetNodePartition(CFileNode* node) {
    if (node == nullptr || m_partitions.empty()) return nullptr;
    if (m_partitions.size() == 1 || m_partitionCount == 0) return m_partitions[0];
    const std::uint16_t index = node->GetBelongedPartition();
    for (unsigned i = 0; i < m_partitionCount; ++i)
        if (m_partitions[i] && m_partitions[i]->GetPartitionIndex() == index) return m_partitions[i];
    for (unsigned i = 0; i < m_partitionCount; ++i) {
        CSearchedPartitionInfo* p = m_partitions[i];
        if (p == nullptr) continue;
        if (IsMetaDataInRange(node, *p) && IsDataRunListInRange(node, *p) && p->GetSectorsPerCluster() % 2 == 0 &&
            IsClusterSuit(node, *p))
            return p;
    }
    return m_partitions[0];
}

IFileReader* CDataRecovery::SetRecoverNode(IFileNode* inode) {
    std::lock_guard<std::mutex> g(m_lock);
    if (inode == nullptr || inode->IsDirectory()) {
        LogLine("SetRecoverNode", 146);
        return nullptr;
    }
    m_compressed = 0;
    if (m_partitionCount == 0 && (m_partitions.empty() || m_partitions[0] == nullptr)) {
        LogLine("SetRecoverNode", 152);
        return nullptr;
    }
    auto* node = dynamic_cast<CFileNode*>(inode);
    CSearchedPartitionInfo* partition = node ? GetNodePartition(node) : nullptr;
    if (node != nullptr && partition == nullptr) {
        LogLine("SetRecoverNode", 158);
        return nullptr;
    }
    IFileReader* reader = nullptr;
    if (node != nullptr) {
        bool opened = true;
        if (node->IsCompressed()) {
            reader = node->CreateCompressFileReader(reinterpret_cast<void*>(partition->GetReservedWord()));
            if (reader != nullptr && partition->GetFileSystemType() == FILE_SYSTEM_NTFS) {
                m_compressed = 1;
                auto* plain = dynamic_cast<CFileReader*>(reader);
                if (plain == nullptr)
                    LogLine("SetRecoverNode", 187);
                else
                    opened = plain->Open(m_device, node, partition) == 1;
            }
        } else {
            auto* plain = new CFileReader;
            reader = plain;
            opened = plain->Open(m_device, node, partition) == 1;
        }
        if (reader != nullptr && !opened) {
            reader->Release();
            reader = nullptr;
            m_compressed = 0;
            LogLine("SetRecoverNode", 197);
        }
    }
    if (m_reader) m_reader->Release();
    m_reader = nullptr;
    m_node = nullptr;
    if (reader == nullptr) {
        LogLine("SetRecoverNode", 214);
        return nullptr;
    }
    m_node = inode;
    m_hasTime = FileTimeToUnixSeconds(inode->GetCreationTime(), &m_nodeTime);
    m_reader = reader;
    return reader->Clone();
}

void CDataRecovery::SetFolderTimes(const char* path, CFileNode* parent) {
    std::string folder(path);
    for (int guard = 0; parent != nullptr && guard < 100000; ++guard, parent = parent->GetParent()) {
        const std::size_t slash = folder.rfind('/');
        if (slash == std::string::npos || slash == 0) return;
        folder.resize(slash);
        // The folder must be the one made for this node: its last component
        // is the node's name. A name from disk holding "/" (or naming "." or
        // "..") breaks the match, and the walk ends inside the destination.
        const char* name = parent->GetFileName();
        if (name == nullptr || *name == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
            std::strchr(name, '/') != nullptr)
            return;
        if (folder.compare(folder.rfind('/') + 1, std::string::npos, name) != 0) return;
        std::int64_t seconds = 0;
        if (FileTimeToUnixSeconds(parent->GetCreationTime(), &seconds)) ChangeFileCreateTs(folder.c_str(), seconds);
    }
}

EngineResult CDataRecovery::RecoverTo(const char* path, IProgress* progress, int limit) {
    if (path == nullptr || *path == '\0') {
        std::lock_guard<std::mutex> g(m_lock);
        _PROGRESS_INFO info;
        MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, 0, 0);
        if (progress) progress->UpdateProgress(&info);
        LogLine("RecoverTo", 257);
        return DATA_RECOVERY_NO_PATH;
    }
    bool noReader = false;
    {
        std::lock_guard<std::mutex> g(m_lock);
        noReader = m_reader == nullptr;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        LogLine("RecoverTo", noReader ? 266 : 304);
        return noReader ? DATA_RECOVERY_NO_READER_NOT_OPENED : DATA_RECOVERY_NOT_OPENED;
    }
    EngineResult r = RecoverToDescriptor(fd, path, progress, limit, nullptr);
    if (close(fd) != 0 && !IsEngineFailure(r)) r = DATA_RECOVERY_WRITE_FAILED;
    return r;
}

EngineResult CDataRecovery::RecoverToDescriptor(int fd, const char* name, IProgress* progress, int limit,
                                                RecoveryOutcome* outcomeOut) {
    std::lock_guard<std::mutex> g(m_lock);
    RecoveryOutcome local;
    RecoveryOutcome& outcome = outcomeOut ? *outcomeOut : local;
    outcome = RecoveryOutcome{};
    _PROGRESS_INFO info;
    MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, 0, 0);
    if (progress) progress->UpdateProgress(&info);
    if (fd < 0) return DATA_RECOVERY_NO_DESCRIPTOR;
    if (name == nullptr) name = "";
    if (m_reader == nullptr) {
        LogLine("RecoverTo", 270);
        return DATA_RECOVERY_NO_READER_EMPTY_FILE;
    }
    outcome.size = m_reader->GetDataSize();
    if (m_compressed && m_reader->IsCompressFile()) {
        if (limit != 0) return DATA_RECOVERY_LIMIT_ON_COMPRESSED;
        auto* compressed = dynamic_cast<CCompressFileReader*>(m_reader);
        bool fallback = false;
        errno = 0;
        const bool ok = compressed != nullptr && compressed->Recovery(fd, progress, fallback);
        if (!fallback) {
            if (compressed) {
                outcome.readError = compressed->LastError();
                outcome.bytesRead = compressed->GoodBytes();
            }
            if (!ok) {
                if (outcome.readError == FILE_READ_OK) outcome.writeErrno = errno ? errno : EIO;
                CatchExeception::WriteLog(
                    "%s:%d compressed copy of [%s] failed: %s\n", "RecoverTo", 289, name,
                    outcome.readError ? FileReadErrorText(outcome.readError) : std::strerror(outcome.writeErrno));
                return DATA_RECOVERY_COMPRESSED_FAILED;
            }
            SetTimes(fd, name);
            return ENGINE_OK;
        }
    }
    const EngineResult r = CopyPlain(fd, name, progress, limit, outcome);
    if (IsEngineFailure(r)) return r;
    SetTimes(fd, name);
    return outcome.readError != FILE_READ_OK ? DATA_RECOVERY_READ_INCOMPLETE : ENGINE_OK;
}

std::int64_t CDataRecovery::ReadWithRetry(std::int64_t offset, char* buffer, std::int64_t length,
                                          RecoveryOutcome& outcome) {
    // A failed chunk is read again in pieces this size: a cut image or a bad
    // sector then costs only the pieces it touches.
    constexpr std::int64_t kRetryPiece = 65536;
    auto readOnce = [&](std::int64_t at, char* out, std::int64_t n, int& why) {
        why = FILE_READ_OK;
        errno = 0;
        const int got = m_reader->ReadData(at, out, static_cast<unsigned>(n), &why);
        if (got <= 0) {
            if (why == FILE_READ_OK) why = FILE_READ_DEVICE;
            std::memset(out, 0, static_cast<std::size_t>(n));
            return std::int64_t{0};
        }
        // Fewer bytes than asked: the rest is not the file's data, and must
        // not be the previous chunk's bytes either.
        if (got < n) {
            if (why == FILE_READ_OK) why = FILE_READ_RUNS_END;
            std::memset(out + got, 0, static_cast<std::size_t>(n - got));
        }
        return static_cast<std::int64_t>(got);
    };
    int why = FILE_READ_OK;
    std::int64_t got = readOnce(offset, buffer, length, why);
    if (why == FILE_READ_OK) return got;
    if (length > kRetryPiece) {
        got = 0;
        for (std::int64_t at = 0; at < length; at += kRetryPiece) {
            int pieceWhy = FILE_READ_OK;
            got += readOnce(offset + at, buffer + at, std::min(kRetryPiece, length - at), pieceWhy);
            if (pieceWhy != FILE_READ_OK && why == FILE_READ_OK) why = pieceWhy;
        }
    }
    if (outcome.readError == FILE_READ_OK) outcome.readError = why;
    CatchExeception::WriteLog("%s:%d read at %lld failed: %s\n", "RecoverTo", 360, static_cast<long long>(offset),
                              FileReadErrorText(why));
    return got;
}

EngineResult CDataRecovery::CopyPlain(int fd, const char* name, IProgress* progress, int limit,
                                      RecoveryOutcome& outcome) {
    _PROGRESS_INFO info;
    MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, 0, 0);
    if (m_buffer.size() < static_cast<std::size_t>(kBufferSize)) m_buffer.assign(kBufferSize, 0);
    std::int64_t total = m_reader->GetDataSize();
    if (limit > 0) total = std::min<std::int64_t>(total, limit);
    outcome.size = total;
    std::int64_t done = 0;
    bool writeFailing = false;
    char* buffer = reinterpret_cast<char*>(m_buffer.data());
    while (done < total) {
        if (progress && !progress->Continued()) break;
        const std::int64_t chunk = std::min<std::int64_t>(kBufferSize, total - done);
        info.error = 0;
        std::int64_t counted = 0;
        const std::int64_t got = ReadWithRetry(done, buffer, chunk, outcome);
        if (got == 0) {
            counted = chunk;  // nothing read: the chunk's place stays a hole
        } else {
            std::int64_t written = 0;
            while (written < chunk) {
                const ssize_t w = pwrite(fd, buffer + written, static_cast<std::size_t>(chunk - written),
                                         static_cast<off_t>(done + written));
                if (w <= 0) {
                    if (w < 0 && errno == EINTR) continue;
                    if (w == 0) errno = ENOSPC;
                    break;
                }
                written += w;
            }
            if (written == chunk) {
                counted = chunk;
                outcome.bytesRead += got;
                writeFailing = false;
                outcome.writeErrno = 0;
            } else {
                outcome.writeErrno = errno ? errno : EIO;
                CatchExeception::WriteLog("%s:%d write[%s] failed with %s\n", "RecoverTo", 350, name,
                                          std::strerror(outcome.writeErrno));
                info.error = static_cast<int64_t>(DATA_RECOVERY_WRITE_FAILED);
                writeFailing = true;
                // Start the chunk again at its own offset: drop whatever part
                // of it reached the file.
                struct stat st {};
                if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, done) != 0) fd = -1;
            }
        }
        done += counted;
        info.current = done;
        info.total = total;
        if (progress) progress->UpdateProgress(&info);
        if (info.error != 0 && (fd < 0 || progress == nullptr)) {
            // Nobody can decide to retry, or the destination is gone.
            LogLine("RecoverTo", 371);
            break;
        }
    }
    if (fd >= 0 && !writeFailing) {
        // Holes left by failed reads (a failed last chunk too) keep their place.
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, done) != 0) {
            outcome.writeErrno = errno;
            writeFailing = true;
        }
    }
    return writeFailing ? DATA_RECOVERY_WRITE_FAILED : ENGINE_OK;
}

void CDataRecovery::SetTimes(int fd, const char* path) {
    if (m_hasTime) {
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(m_nodeTime);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        futimens(fd, times);
    }
    if (auto* node = dynamic_cast<CFileNode*>(m_node); node && path && *path) SetFolderTimes(path, node->GetParent());
}

unsigned CDataRecovery::ReadSmallJPG(char* out, unsigned capacity) {
    std::lock_guard<std::mutex> g(m_lock);
    if (out == nullptr || capacity == 0 || m_reader == nullptr) return 0;
    if (m_reader->GetDataSize() < static_cast<long long>(kPreviewBytes) || capacity < kPreviewBytes) return 0;
    if (m_buffer.size() < static_cast<std::size_t>(kBufferSize)) m_buffer.assign(kBufferSize, 0);
    unsigned char* b = m_buffer.data();
    // Through slot 2, which decodes compressed files.
    const int got = m_reader->ReadData(0, reinterpret_cast<char*>(b), kPreviewBytes, nullptr);
    if (got <= 0) return 0;
    if (static_cast<unsigned>(got) < kPreviewBytes) std::memset(b + got, 0, kPreviewBytes - got);
    long start = -1, end = -1;
    for (long i = 4; i <= 65531; ++i) {
        if (start < 0) {
            if (b[i] == 0xFF && b[i + 1] == 0xD8 && b[i + 2] == 0xFF) {
                start = i;
                i += 2000;  // the loop's step makes the next position start + 2,001
            }
        } else if (b[i] == 0xFF && b[i + 1] == 0xD9) {
            end = i + 4;
            break;
        }
    }
    if (start < 0 || end < 0) return 0;
    const long length = end - start;
    if (length < 1 || length > 65535) return 0;
    std::memcpy(out, b + start, static_cast<std::size_t>(length));
    return static_cast<unsigned>(length);
}
