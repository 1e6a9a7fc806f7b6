#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A thin owner of one POSIX file descriptor. Positions are 64-bit throughout,
// and writes either complete or fail: a short write is never reported as done.
class CStdFile {
public:
    enum OpenMode : int {
        OpenReadOnly = 0,         // O_RDONLY
        OpenReadWrite = 1,        // O_RDWR | O_CREAT
        OpenReadWriteShared = 2,  // O_RDWR | O_CREAT
        OpenCreateAlways = 3,     // O_RDWR | O_CREAT | O_TRUNC
        OpenAlways = 4,           // O_RDWR | O_CREAT
    };

    CStdFile() = default;
    ~CStdFile();
    CStdFile(const CStdFile&) = delete;
    CStdFile& operator=(const CStdFile&) = delete;

    // New files get mode 0666 less the umask; the permissions of an existing
    // file are never changed (opening a file as root must not widen them).
    bool Open(const char* path, int mode);
    // False when the kernel reported an error on close (data may be lost).
    bool Close();
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& GetPath() const { return m_path; }
    // errno of the last failed call, 0 when none failed.
    int GetLastErrno() const { return m_lastErrno; }

    // At the current position. Read returns the bytes read (fewer only at the
    // end of the file), 0 when not open, -1 on an error before any byte.
    int64_t Read(void* buffer, size_t length);
    bool Write(const void* buffer, size_t length);
    // At an absolute position; the current position is left as it was.
    int64_t ReadAt(uint64_t offset, void* buffer, size_t length);
    bool WriteAt(uint64_t offset, const void* buffer, size_t length);

    // Reads up to and including a line feed, or `capacity` bytes, and ends the
    // text with a 0 byte: `buffer` must hold capacity + 1 bytes. Returns the
    // number of bytes read (0 at the end of the file).
    size_t ReadLine(char* buffer, size_t capacity);
    // Writes the text followed by "\r\n" unless it already ends with it.
    bool WriteLine(const char* text, size_t length);

    bool GetFileLength(uint64_t* length) const;
    bool GetPosistion(uint64_t* position) const;
    uint64_t GetPosition() const;
    bool SeekToBegin();
    bool SeekToEnd();
    bool Seek(uint64_t offset);

private:
    int m_fd = -1;
    std::string m_path;
    mutable int m_lastErrno = 0;
};
