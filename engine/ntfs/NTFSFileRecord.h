#pragma once
// NTFS boot sector and FILE records: stateless parsers over raw sector
// buffers. Nothing here reads a device. Attributes are walked in the first
// 1,024 bytes of a record; the update sequence covers every 512-byte stride
// of the size the caller gives (two for a 1,024-byte record).

#include <cstdint>

#include "ntfs/NTFSLayout.h"

// The NTFS boot sector (DBR).
class CNTFSDBR {
public:
    static constexpr int kSectorBytes = 512;

    CNTFSDBR();
    // Copies the sector when IsFullValidDBR accepts it; else false and the
    // kept copy stays as it was.
    bool InitFromBuffer(const std::uint8_t* sector);
    // Every rule of a sound NTFS boot sector, including a FILE record size
    // that is a power of two from 1,024 to 65,536 bytes.
    static bool IsFullValidDBR(const std::uint8_t* sector);
    // FILE record size in bytes from byte 64 (clusters per record, or a
    // negative power of two); 0 when the result is not a power of two from
    // 1,024 to 65,536, which a valid boot sector never gives.
    static std::uint32_t FileRecordSizeOf(const std::uint8_t* sector);

    std::uint32_t GetFileRecordSizeByByte() const { return FileRecordSizeOf(m_sector); }
    std::int64_t GetMFTStartCluster() const;
    std::int64_t GetMFTMirrorStartCluster() const;
    std::uint8_t GetSectorsperCluster() const { return m_sector[13]; }
    std::int64_t GetTotalSectors() const;
    std::uint64_t GetSerialNumber() const;
    std::uint16_t GetBytesPerSector() const;
    const std::uint8_t* GetBuffer() const { return m_sector; }

private:
    std::uint8_t m_sector[kSectorBytes];
};

// The header test shared by FILE records in every form.
class CNTFSFileRecordHeader {
public:
    static bool IsValid(const std::uint8_t* buffer, int size);
};

class CNTFSFileRecord {
public:
    static constexpr int kRecordBytes = 1024;
    static constexpr std::uint32_t kMagic = ntfslayout::kFileRecordMagic;
    static constexpr std::uint32_t kEndMarker = ntfslayout::kAttrEnd;
    static constexpr std::uint32_t kNotFound = 0xFFFFFFFF;
    // Attributes starting here or later are never looked at (1,024 - 8).
    static constexpr std::uint32_t kWalkLimit = 1016;

    // Works on the caller's buffer, or on a copy of its own when `copy` is
    // non-zero. A buffer that fails IsValid leaves the object without a
    // record. An intact update sequence is removed for the object's lifetime
    // and put back by the destructor, so the caller's buffer leaves in its
    // on-disk form.
    CNTFSFileRecord(std::uint8_t* buffer, int size, int copy);
    ~CNTFSFileRecord();
    CNTFSFileRecord(const CNTFSFileRecord&) = delete;
    CNTFSFileRecord& operator=(const CNTFSFileRecord&) = delete;

    bool IsValid() const { return m_buffer != nullptr; }
    const std::uint8_t* GetBuffer() const { return m_buffer; }
    std::uint8_t* GetBuffer() { return m_buffer; }
    int GetSize() const { return m_size; }

    // Size at least 1,024, header test, attribute test (with the update
    // sequence removed while testing when it is intact). The buffer leaves
    // in the state it came in.
    static bool IsValid(std::uint8_t* buffer, int size);
    static bool InitFromBuffer(std::uint8_t* buffer, int size) { return IsValid(buffer, size); }
    static bool IsValidUpdateSequence(const std::uint8_t* buffer, int size);
    static int UnfixupFileRecord(std::uint8_t* buffer, int size);
    static int FixupFileRecord(std::uint8_t* buffer, int size);

    // Attribute walk over the first 1,024 bytes.
    static const std::uint8_t* FindAttibute(const std::uint8_t* buffer, std::uint32_t type, int index);
    const std::uint8_t* FindAttibute(std::uint32_t type, int index) const;
    static bool HasAttributeList(const std::uint8_t* buffer);
    static std::uint32_t GetAttributeOffset(const std::uint8_t* buffer, std::uint32_t type, int index);
    static int GetAttibuteCountofSpecifiedType(const std::uint8_t* buffer, std::uint32_t type);
    static bool CheckAttibutes(const std::uint8_t* buffer, int size);

    static std::uint64_t GetBaseFileRecordNumber(const std::uint8_t* buffer);
    static bool IsExtendFileRecord(const std::uint8_t* buffer);
    bool IsExtendFileRecord() const { return IsExtendFileRecord(m_buffer); }
    static bool IsFolder(const std::uint8_t* buffer);
    bool IsFolder() const { return IsFolder(m_buffer); }
    static bool IsinUse(const std::uint8_t* buffer);
    bool IsinUse() const { return IsinUse(m_buffer); }
    static std::uint16_t GetFirstAttibuteOffset(const std::uint8_t* buffer);
    static std::uint32_t GetLength(const std::uint8_t* buffer);
    static std::uint32_t GetAllocatedSize(const std::uint8_t* buffer);
    static std::int64_t GetLogFileSequenceNumber(const std::uint8_t* buffer);
    std::int64_t GetLogFileSequenceNumber() const { return GetLogFileSequenceNumber(m_buffer); }
    static bool HasXPNumberOfthisMFTRecord(const std::uint8_t* buffer);
    bool HasXPNumberOfthisMFTRecord() const { return HasXPNumberOfthisMFTRecord(m_buffer); }
    static std::uint32_t GetXPNumberOfthisMFTRecord(const std::uint8_t* buffer);
    std::uint32_t GetXPNumberOfthisMFTRecord() const { return GetXPNumberOfthisMFTRecord(m_buffer); }

private:
    std::uint8_t* m_buffer = nullptr;
    int m_size = 0;
    bool m_ownsCopy = false;
    bool m_unfixedByMe = false;
};
