#pragma once

// The container that scan results are saved in: a checked 132-byte header,
// then frames (a 36-byte frame header and its data) found by a 16-byte
// identifier. All integers are little-endian on disk.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "foundation/StdFile.h"

enum RSMode : int {
    RSMODE_READ = 0,
    RSMODE_WRITE = 1,
};

// Valid statuses are 1 to 4; what each stands for is up to the scan-result
// file's writer and reader.
using FileStatus = uint32_t;
constexpr FileStatus kFileStatusMin = 1;
constexpr FileStatus kFileStatusMax = 4;

// A 16-byte identifier as it lies in the file.
struct tagGUIDSIGN {
    uint8_t bytes[16] = {};

    // Lays out a GUID written as {data1-data2-data3-data4} the way Windows
    // stores it: the first three fields little-endian, the last eight as is.
    static constexpr tagGUIDSIGN FromFields(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t (&data4)[8]) {
        tagGUIDSIGN g;
        for (int i = 0; i < 4; ++i) g.bytes[i] = static_cast<uint8_t>(data1 >> (8 * i));
        for (int i = 0; i < 2; ++i) {
            g.bytes[4 + i] = static_cast<uint8_t>(data2 >> (8 * i));
            g.bytes[6 + i] = static_cast<uint8_t>(data3 >> (8 * i));
        }
        for (int i = 0; i < 8; ++i) g.bytes[8 + i] = data4[i];
        return g;
    }

    friend bool operator==(const tagGUIDSIGN& a, const tagGUIDSIGN& b) {
        for (int i = 0; i < 16; ++i)
            if (a.bytes[i] != b.bytes[i]) return false;
        return true;
    }
};

// The file signature, which is also the mark that opens every frame.
inline constexpr tagGUIDSIGN kRSFileSignature = {
    {0xEA, 0xF4, 0xB3, 0x1C, 0x05, 0x43, 0xB6, 0x4A, 0xB4, 0xB8, 0x24, 0x4A, 0x33, 0xD9, 0x13, 0xBB}};
constexpr uint32_t kRSFileVersion = 5800;
constexpr uint16_t kRSCrcPolynomial = 0x8005;
constexpr uint32_t kRSMaxDescription = 100;
constexpr size_t kRSFileHeaderSize = 132;
constexpr size_t kRSFrameHeaderSize = 36;

// The 132-byte file header. Serialised field by field; the in-memory layout
// does not matter.
struct FILEHEADER {
    tagGUIDSIGN signature = kRSFileSignature;  // 0
    uint32_t version = kRSFileVersion;         // 16
    uint32_t crc = 0;                          // 20: CRC-16 in the low half
    FileStatus status = 0;                     // 24
    uint32_t descriptionLength = 0;            // 28: at most 100
    char description[kRSMaxDescription] = {};  // 32: not terminated

    void Serialise(uint8_t (&out)[kRSFileHeaderSize]) const;
    void Parse(const uint8_t (&in)[kRSFileHeaderSize]);
};

// Error codes carried by CRSException.
constexpr uint32_t RSERR_BAD_HEADER = 2;       // status >= 5 or description length > 100
constexpr uint32_t RSERR_WRONG_MODE = 3;       // the operation needs the other mode
constexpr uint32_t RSERR_SHORT_READ = 5;       // frame data shorter than asked / than its header says
constexpr uint32_t RSERR_WRITE_FAILED = 6;     // writing a frame header or frame data failed
constexpr uint32_t RSERR_FRAME_NOT_FOUND = 7;  // no frame with that identifier
constexpr uint32_t RSERR_NO_FRAME = 8;         // no frame is open

class CRSException : public std::exception {
public:
    explicit CRSException(uint32_t code) : m_code(code) {}
    uint32_t GetErrorcode() const { return m_code; }
    const char* what() const noexcept override;

private:
    uint32_t m_code;
};

class IRSData {
public:
    virtual ~IRSData() = default;

    virtual bool CheckFile() = 0;
    virtual bool StartRS(const char* path, int create) = 0;
    virtual bool EndRS() = 0;
    virtual bool WriteFileHeader(const FILEHEADER& header) = 0;
    virtual bool ReadFileHeader(FILEHEADER& header) = 0;
    virtual FileStatus GetStatus() = 0;
    virtual bool SetStatus(FileStatus status) = 0;
    virtual bool SetFileDescription(const char* text) = 0;
    virtual bool GetFileDescription(char* buffer, int size) = 0;
    // Read mode: throws RSERR_FRAME_NOT_FOUND when no frame has the identifier.
    virtual bool OpenFrame(const tagGUIDSIGN& id) = 0;
    virtual bool CloseFrame() = 0;
    virtual uint32_t GetFrameSize() = 0;
    virtual bool ReadCurFrame(void* buffer, unsigned length) = 0;
    virtual bool WriteCurFrame(const void* data, unsigned length) = 0;
    virtual bool FlushBuffer() = 0;
    // Bytes of the open frame not yet read (read mode); lets a reader bound a
    // count taken from the file before it allocates. Throws RSERR_NO_FRAME.
    virtual uint32_t GetFrameRemaining() = 0;

    // For readers to whom a missing frame is an answer, not an error: false
    // when the frame is absent; any other fault still throws.
    bool TryOpenFrame(const tagGUIDSIGN& id);
};

class CRSData : public IRSData {
public:
    explicit CRSData(RSMode mode);
    ~CRSData() override;
    CRSData(const CRSData&) = delete;
    CRSData& operator=(const CRSData&) = delete;

    bool CheckFile() override;
    bool StartRS(const char* path, int create) override;
    bool EndRS() override;
    bool WriteFileHeader(const FILEHEADER& header) override;
    bool ReadFileHeader(FILEHEADER& header) override;
    FileStatus GetStatus() override;
    bool SetStatus(FileStatus status) override;
    bool SetFileDescription(const char* text) override;
    bool GetFileDescription(char* buffer, int size) override;
    bool OpenFrame(const tagGUIDSIGN& id) override;
    bool CloseFrame() override;
    uint32_t GetFrameSize() override;
    bool ReadCurFrame(void* buffer, unsigned length) override;
    bool WriteCurFrame(const void* data, unsigned length) override;
    bool FlushBuffer() override;
    uint32_t GetFrameRemaining() override;

    // Read mode: finds the first frame with the identifier. False when there
    // is none (pending code 7) or when it runs past the end of the file
    // (pending code 5).
    bool SearchFrame(const tagGUIDSIGN& id);

    RSMode GetMode() const { return m_mode; }
    // errno of the last failed file operation, for messages.
    int GetLastErrno() const { return m_file.GetLastErrno(); }

private:
    static constexpr uint64_t kNoFrame = UINT64_MAX;
    static constexpr size_t kWriteBufferSize = 512 * 1024;
    static constexpr size_t kReadBufferSize = 256 * 1024;

    [[noreturn]] void Raise(uint32_t code);
    void RequireMode(RSMode mode);
    // Reads 132 header bytes; false when fewer could be read.
    bool ReadHeaderBytes(uint8_t (&raw)[kRSFileHeaderSize]);
    bool WriteHeader(const FILEHEADER& header);
    int64_t BufferedReadAt(uint64_t offset, void* buffer, size_t length);
    void ClearFrame();

    RSMode m_mode;
    CStdFile m_file;
    uint64_t m_fileSize = 0;  // read mode: the size when opened

    std::vector<uint8_t> m_writeBuffer;
    size_t m_bufferCount = 0;
    // Write mode: where the next frame byte goes once the buffer is flushed.
    uint64_t m_writePosition = 0;

    std::vector<uint8_t> m_readBuffer;
    uint64_t m_readBufferStart = 0;
    size_t m_readBufferLength = 0;

    tagGUIDSIGN m_frameMark;
    tagGUIDSIGN m_frameId;
    uint32_t m_frameLength = 0;
    uint64_t m_framePosition = kNoFrame;  // position of the frame header
    uint32_t m_readPosition = 0;          // inside the frame's data
    uint32_t m_pendingError = 0;
};
