#include "foundation/RecordContainer.h"

#include <algorithm>
#include <cstring>

#include "foundation/Crc.h"
#include "foundation/ByteOrder.h"

namespace {

void SerialiseFrameHeader(uint8_t (&out)[kRSFrameHeaderSize], const tagGUIDSIGN& mark, const tagGUIDSIGN& id,
                          uint32_t length) {
    std::memcpy(out, mark.bytes, 16);
    std::memcpy(out + 16, id.bytes, 16);
    byteorder::PutLE32(out + 32, length);
}

uint16_t HeaderCrc(const uint8_t (&raw)[kRSFileHeaderSize]) {
    uint8_t copy[kRSFileHeaderSize];
    std::memcpy(copy, raw, sizeof copy);
    byteorder::PutLE32(copy + 20, 0);
    return CCRC::RunCRC16(copy, sizeof copy, kRSCrcPolynomial);
}

}  // namespace

void FILEHEADER::Serialise(uint8_t (&out)[kRSFileHeaderSize]) const {
    std::memcpy(out, signature.bytes, 16);
    byteorder::PutLE32(out + 16, version);
    byteorder::PutLE32(out + 20, crc);
    byteorder::PutLE32(out + 24, status);
    byteorder::PutLE32(out + 28, descriptionLength);
    std::memcpy(out + 32, description, kRSMaxDescription);
}

void FILEHEADER::Parse(const uint8_t (&in)[kRSFileHeaderSize]) {
    std::memcpy(signature.bytes, in, 16);
    version = byteorder::LE32(in + 16);
    crc = byteorder::LE32(in + 20);
    status = byteorder::LE32(in + 24);
    descriptionLength = byteorder::LE32(in + 28);
    std::memcpy(description, in + 32, kRSMaxDescription);
}

const char* CRSException::what() const noexcept {
    switch (m_code) {
    case RSERR_BAD_HEADER:
        return "scan-result file: the header holds an invalid status or description length";
    case RSERR_WRONG_MODE:
        return "scan-result file: operation not allowed in this open mode";
    case RSERR_SHORT_READ:
        return "scan-result file: a frame is truncated or could not be read";
    case RSERR_WRITE_FAILED:
        return "scan-result file: writing failed";
    case RSERR_FRAME_NOT_FOUND:
        return "scan-result file: frame not found";
    case RSERR_NO_FRAME:
        return "scan-result file: no frame is open";
    default:
        return "scan-result file: error";
    }
}

bool IRSData::TryOpenFrame(const tagGUIDSIGN& id) {
    try {
        return OpenFrame(id);
    } catch (const CRSException& e) {
        if (e.GetErrorcode() == RSERR_FRAME_NOT_FOUND) return false;
        throw;
    }
}

CRSData::CRSData(RSMode mode) : m_mode(mode) {}

CRSData::~CRSData() { EndRS(); }

void CRSData::Raise(uint32_t code) {
    m_pendingError = 0;
    throw CRSException(code);
}

void CRSData::RequireMode(RSMode mode) {
    if (m_mode != mode) Raise(RSERR_WRONG_MODE);
}

void CRSData::ClearFrame() {
    m_frameMark = tagGUIDSIGN{};
    m_frameId = tagGUIDSIGN{};
    m_frameLength = 0;
    m_framePosition = kNoFrame;
    m_readPosition = 0;
}

bool CRSData::StartRS(const char* path, int create) {
    EndRS();
    if (path == nullptr || *path == '\0') return false;
    const int openMode = m_mode == RSMODE_READ ? CStdFile::OpenReadOnly
                         : create != 0         ? CStdFile::OpenCreateAlways
                                               : CStdFile::OpenAlways;
    if (!m_file.Open(path, openMode)) return false;
    if (m_mode == RSMODE_READ) {
        if (!m_file.GetFileLength(&m_fileSize)) {
            m_file.Close();
            return false;
        }
        m_readBuffer.resize(kReadBufferSize);
    } else {
        m_writeBuffer.resize(kWriteBufferSize);
    }
    return true;
}

bool CRSData::EndRS() {
    bool ok = true;
    if (m_file.IsOpen()) {
        // Data of a frame left open is written as it would have been without
        // buffering; its header keeps the length it had.
        if (m_mode == RSMODE_WRITE) ok = FlushBuffer();
        ok = m_file.Close() && ok;
    }
    ClearFrame();
    m_bufferCount = 0;
    m_pendingError = 0;
    m_fileSize = 0;
    m_readBufferLength = 0;
    m_readBufferStart = 0;
    return ok;
}

bool CRSData::ReadHeaderBytes(uint8_t (&raw)[kRSFileHeaderSize]) {
    if (!m_file.IsOpen()) return false;
    return m_file.ReadAt(0, raw, sizeof raw) == static_cast<int64_t>(sizeof raw);
}

bool CRSData::CheckFile() {
    uint8_t raw[kRSFileHeaderSize];
    if (!ReadHeaderBytes(raw)) return false;
    FILEHEADER header;
    header.Parse(raw);
    return header.signature == kRSFileSignature && header.status >= kFileStatusMin && header.status <= kFileStatusMax;
}

bool CRSData::WriteHeader(const FILEHEADER& header) {
    FILEHEADER out = header;
    out.version = kRSFileVersion;
    out.crc = 0;
    // The record holds at most 100 description bytes; a larger length would
    // make the file unreadable.
    out.descriptionLength = std::min(out.descriptionLength, kRSMaxDescription);
    uint8_t raw[kRSFileHeaderSize];
    out.Serialise(raw);
    byteorder::PutLE32(raw + 20, CCRC::RunCRC16(raw, sizeof raw, kRSCrcPolynomial));
    return m_file.WriteAt(0, raw, sizeof raw);
}

bool CRSData::WriteFileHeader(const FILEHEADER& header) {
    if (m_mode != RSMODE_WRITE) return false;
    return WriteHeader(header);
}

bool CRSData::ReadFileHeader(FILEHEADER& header) {
    uint8_t raw[kRSFileHeaderSize];
    if (!ReadHeaderBytes(raw)) return false;
    header.Parse(raw);
    const uint32_t stored = header.crc;
    header.crc = HeaderCrc(raw);
    if (stored != header.crc) return false;
    return header.version == kRSFileVersion;
}

FileStatus CRSData::GetStatus() {
    RequireMode(RSMODE_READ);
    FILEHEADER header;
    if (ReadFileHeader(header)) {
        if (header.status > kFileStatusMax) Raise(RSERR_BAD_HEADER);
        return header.status;
    }
    uint8_t raw[kRSFileHeaderSize];
    if (!ReadHeaderBytes(raw)) return 0;
    return byteorder::LE32(raw + 24);
}

bool CRSData::SetStatus(FileStatus status) {
    RequireMode(RSMODE_WRITE);
    FILEHEADER header;
    if (!ReadFileHeader(header)) header = FILEHEADER{};
    header.status = status;
    return WriteHeader(header);
}

bool CRSData::SetFileDescription(const char* text) {
    RequireMode(RSMODE_WRITE);
    if (text == nullptr) return false;
    FILEHEADER header;
    if (!ReadFileHeader(header)) return false;
    const size_t length = std::min<size_t>(std::strlen(text), kRSMaxDescription);
    std::memset(header.description, 0, sizeof header.description);
    std::memcpy(header.description, text, length);
    header.descriptionLength = static_cast<uint32_t>(length);
    return WriteHeader(header);
}

bool CRSData::GetFileDescription(char* buffer, int size) {
    if (buffer == nullptr || size < 1) return false;
    RequireMode(RSMODE_READ);
    FILEHEADER header;
    if (!ReadFileHeader(header)) return false;
    if (header.descriptionLength > kRSMaxDescription) Raise(RSERR_BAD_HEADER);
    const size_t length = std::min<size_t>(header.descriptionLength, static_cast<size_t>(size) - 1);
    std::memcpy(buffer, header.description, length);
    buffer[length] = '\0';
    return true;
}

bool CRSData::OpenFrame(const tagGUIDSIGN& id) {
    CloseFrame();
    if (m_mode == RSMODE_WRITE) {
        uint64_t end = 0;
        if (!m_file.IsOpen() || !m_file.GetFileLength(&end)) Raise(RSERR_WRITE_FAILED);
        // Frames never go where the header belongs, even before it is written.
        const uint64_t position = std::max<uint64_t>(end, kRSFileHeaderSize);
        uint8_t raw[kRSFrameHeaderSize];
        SerialiseFrameHeader(raw, kRSFileSignature, id, 0);
        if (!m_file.WriteAt(position, raw, sizeof raw)) Raise(RSERR_WRITE_FAILED);
        m_frameMark = kRSFileSignature;
        m_frameId = id;
        m_frameLength = 0;
        m_framePosition = position;
        m_writePosition = position + kRSFrameHeaderSize;
        m_bufferCount = 0;
        return true;
    }
    if (!SearchFrame(id)) Raise(m_pendingError != 0 ? m_pendingError : RSERR_FRAME_NOT_FOUND);
    return true;
}

bool CRSData::SearchFrame(const tagGUIDSIGN& id) {
    RequireMode(RSMODE_READ);
    ClearFrame();
    uint64_t position = kRSFileHeaderSize;
    // Every step moves at least one frame header forward, and positions are
    // 64-bit, so a damaged length can only end the walk, never loop it.
    while (m_file.IsOpen() && position <= m_fileSize && m_fileSize - position >= kRSFrameHeaderSize) {
        uint8_t raw[kRSFrameHeaderSize];
        if (BufferedReadAt(position, raw, sizeof raw) != static_cast<int64_t>(sizeof raw)) {
            m_pendingError = RSERR_SHORT_READ;
            return false;
        }
        tagGUIDSIGN mark, frameId;
        std::memcpy(mark.bytes, raw, 16);
        std::memcpy(frameId.bytes, raw + 16, 16);
        const uint32_t length = byteorder::LE32(raw + 32);
        if (mark == kRSFileSignature && frameId == id) {
            if (length > m_fileSize - position - kRSFrameHeaderSize) {
                // The frame runs past the end: a truncated file, not a whole one.
                m_pendingError = RSERR_SHORT_READ;
                return false;
            }
            m_frameMark = mark;
            m_frameId = frameId;
            m_frameLength = length;
            m_framePosition = position;
            m_readPosition = 0;
            return true;
        }
        position += kRSFrameHeaderSize + uint64_t(length);
    }
    m_pendingError = RSERR_FRAME_NOT_FOUND;
    return false;
}

bool CRSData::CloseFrame() {
    if (m_framePosition != kNoFrame && m_mode == RSMODE_WRITE) {
        FlushBuffer();
        uint8_t raw[kRSFrameHeaderSize];
        SerialiseFrameHeader(raw, m_frameMark, m_frameId, m_frameLength);
        if (!m_file.WriteAt(m_framePosition, raw, sizeof raw)) m_pendingError = RSERR_WRITE_FAILED;
    }
    m_bufferCount = 0;
    ClearFrame();
    if (m_pendingError != 0) Raise(m_pendingError);
    return true;
}

uint32_t CRSData::GetFrameSize() {
    if (m_framePosition == kNoFrame) Raise(RSERR_NO_FRAME);
    return m_frameLength;
}

uint32_t CRSData::GetFrameRemaining() {
    RequireMode(RSMODE_READ);
    if (m_framePosition == kNoFrame) Raise(RSERR_NO_FRAME);
    return m_frameLength - m_readPosition;
}

int64_t CRSData::BufferedReadAt(uint64_t offset, void* buffer, size_t length) {
    if (length == 0) return 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    if (offset >= m_readBufferStart && offset - m_readBufferStart <= m_readBufferLength &&
        length <= m_readBufferLength - (offset - m_readBufferStart)) {
        std::memcpy(out, m_readBuffer.data() + (offset - m_readBufferStart), length);
        return static_cast<int64_t>(length);
    }
    if (length >= m_readBuffer.size() / 2) return m_file.ReadAt(offset, out, length);
    m_readBufferStart = offset;
    m_readBufferLength = 0;
    const int64_t got = m_file.ReadAt(offset, m_readBuffer.data(), m_readBuffer.size());
    if (got < 0) return -1;
    m_readBufferLength = static_cast<size_t>(got);
    const size_t n = std::min(length, m_readBufferLength);
    std::memcpy(out, m_readBuffer.data(), n);
    return static_cast<int64_t>(n);
}

bool CRSData::ReadCurFrame(void* buffer, unsigned length) {
    RequireMode(RSMODE_READ);
    if (m_framePosition == kNoFrame) Raise(RSERR_NO_FRAME);
    const uint32_t n = std::min<uint32_t>(length, m_frameLength - m_readPosition);
    if (n == 0) return true;
    if (buffer == nullptr) return false;
    const int64_t got = BufferedReadAt(m_framePosition + kRSFrameHeaderSize + m_readPosition, buffer, n);
    m_readPosition += n;
    if (got != static_cast<int64_t>(n)) Raise(RSERR_SHORT_READ);
    return true;
}

bool CRSData::WriteCurFrame(const void* data, unsigned length) {
    if (m_pendingError != 0) return false;
    RequireMode(RSMODE_WRITE);
    if (m_framePosition == kNoFrame) Raise(RSERR_NO_FRAME);
    if (length == 0) return true;
    if (data == nullptr) return false;
    // Frame lengths are 32-bit on disk; refuse to grow one past that rather
    // than write a length that no longer matches the bytes.
    if (length > UINT32_MAX - m_frameLength) Raise(RSERR_WRITE_FAILED);
    if (length > m_writeBuffer.size() - m_bufferCount) {
        if (!FlushBuffer()) return false;
    }
    if (length >= m_writeBuffer.size()) {
        if (!m_file.WriteAt(m_writePosition, data, length)) {
            m_pendingError = RSERR_WRITE_FAILED;
            return false;
        }
        m_writePosition += length;
    } else {
        std::memcpy(m_writeBuffer.data() + m_bufferCount, data, length);
        m_bufferCount += length;
    }
    m_frameLength += length;
    return true;
}

bool CRSData::FlushBuffer() {
    if (m_bufferCount == 0) return true;
    const bool ok = m_file.WriteAt(m_writePosition, m_writeBuffer.data(), m_bufferCount);
    m_writePosition += m_bufferCount;
    m_bufferCount = 0;
    if (!ok) m_pendingError = RSERR_WRITE_FAILED;
    return ok;
}
