#include "foundation/StdFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Largest single transfer handed to the kernel; keeps off_t/ssize_t arithmetic sane.
constexpr size_t kMaxChunk = size_t(1) << 30;

}  // namespace

CStdFile::~CStdFile() { Close(); }

bool CStdFile::Open(const char* path, int mode) {
    Close();
    if (path == nullptr || *path == '\0') {
        m_lastErrno = EINVAL;
        return false;
    }
    int flags;
    switch (mode) {
    case OpenReadOnly:
        flags = O_RDONLY;
        break;
    case OpenReadWrite:
    case OpenReadWriteShared:
    case OpenAlways:
        flags = O_RDWR | O_CREAT;
        break;
    case OpenCreateAlways:
        flags = O_RDWR | O_CREAT | O_TRUNC;
        break;
    default:
        m_lastErrno = EINVAL;
        return false;
    }
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        m_lastErrno = errno;
        return false;
    }
    m_fd = fd;
    m_path = path;
    m_lastErrno = 0;
    return true;
}

bool CStdFile::Close() {
    if (m_fd < 0) return true;
    // Linux releases the descriptor even when close fails, so never retry.
    const int rc = ::close(m_fd);
    m_fd = -1;
    if (rc != 0) {
        m_lastErrno = errno;
        return false;
    }
    return true;
}

int64_t CStdFile::Read(void* buffer, size_t length) {
    if (m_fd < 0) return 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        const size_t want = std::min(length - done, kMaxChunk);
        const ssize_t got = ::read(m_fd, out + done, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            m_lastErrno = errno;
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}

bool CStdFile::Write(const void* buffer, size_t length) {
    if (m_fd < 0) {
        m_lastErrno = EBADF;
        return false;
    }
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        const size_t want = std::min(length - done, kMaxChunk);
        const ssize_t put = ::write(m_fd, in + done, want);
        if (put < 0) {
            if (errno == EINTR) continue;
            m_lastErrno = errno;
            return false;
        }
        if (put == 0) {
            m_lastErrno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

int64_t CStdFile::ReadAt(uint64_t offset, void* buffer, size_t length) {
    if (m_fd < 0) return 0;
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        m_lastErrno = EINVAL;
        return -1;
    }
    uint8_t* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        const uint64_t at = offset + done;
        if (at > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) break;
        const size_t want = std::min(length - done, kMaxChunk);
        const ssize_t got = ::pread(m_fd, out + done, want, static_cast<off_t>(at));
        if (got < 0) {
            if (errno == EINTR) continue;
            m_lastErrno = errno;
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}

bool CStdFile::WriteAt(uint64_t offset, const void* buffer, size_t length) {
    if (m_fd < 0) {
        m_lastErrno = EBADF;
        return false;
    }
    const uint64_t maxOff = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    if (offset > maxOff || length > maxOff - offset) {
        m_lastErrno = EFBIG;
        return false;
    }
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        const size_t want = std::min(length - done, kMaxChunk);
        const ssize_t put = ::pwrite(m_fd, in + done, want, static_cast<off_t>(offset + done));
        if (put < 0) {
            if (errno == EINTR) continue;
            m_lastErrno = errno;
            return false;
        }
        if (put == 0) {
            m_lastErrno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

size_t CStdFile::ReadLine(char* buffer, size_t capacity) {
    if (buffer == nullptr) return 0;
    size_t count = 0;
    while (m_fd >= 0 && count < capacity) {
        char c;
        const ssize_t got = ::read(m_fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got < 0) m_lastErrno = errno;
            break;
        }
        buffer[count++] = c;
        if (c == '\n') break;
    }
    buffer[count] = '\0';
    return count;
}

bool CStdFile::WriteLine(const char* text, size_t length) {
    if (text == nullptr && length > 0) return false;
    if (length > 0 && !Write(text, length)) return false;
    if (length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n') return true;
    return Write("\r\n", 2);
}

bool CStdFile::GetFileLength(uint64_t* length) const {
    if (length == nullptr) return false;
    struct stat st;
    const int rc = m_fd >= 0 ? ::fstat(m_fd, &st) : ::stat(m_path.c_str(), &st);
    if (rc != 0) {
        m_lastErrno = errno;
        return false;
    }
    *length = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool CStdFile::GetPosistion(uint64_t* position) const {
    if (position == nullptr || m_fd < 0) return false;
    const off_t at = ::lseek(m_fd, 0, SEEK_CUR);
    if (at < 0) {
        m_lastErrno = errno;
        return false;
    }
    *position = static_cast<uint64_t>(at);
    return true;
}

uint64_t CStdFile::GetPosition() const {
    uint64_t position = 0;
    GetPosistion(&position);
    return position;
}

bool CStdFile::SeekToBegin() { return Seek(0); }

bool CStdFile::SeekToEnd() {
    if (m_fd < 0) return false;
    if (::lseek(m_fd, 0, SEEK_END) < 0) {
        m_lastErrno = errno;
        return false;
    }
    return true;
}

bool CStdFile::Seek(uint64_t offset) {
    if (m_fd < 0) return false;
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        m_lastErrno = EINVAL;
        return false;
    }
    if (::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        m_lastErrno = errno;
        return false;
    }
    return true;
}
