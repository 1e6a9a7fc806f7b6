#pragma once
// The journal of a journaled HFS+ volume: located when the volume opens; its
// circular buffer holds copies of recently written metadata blocks.

#include <cstdint>

#include "hfsplus/HFSPlusFormat.h"

class CHFSPlusVolume;
class CHFSPlusQuickFileSystemSearchProgress;
class CHFSPlusRecordCollection;

constexpr std::uint32_t kJournalMagic = 0x4A4E4C78;  // "JNLx"
constexpr std::uint32_t kJournalEndian = 0x12345678;
constexpr std::uint32_t kJournalInFS = 0x1;
constexpr std::size_t kJournalHeaderSize = 44;

// The journal header, kept in host byte order as an Intel Mac writes it.
struct JournalHeader {
    std::uint32_t magic = 0;
    std::uint32_t endian = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t size = 0;
    std::uint32_t blhdr_size = 0;
    std::uint32_t checksum = 0;
    std::uint32_t jhdr_size = 0;
};

class CHFSPlusJournal {
public:
    explicit CHFSPlusJournal(CHFSPlusVolume* volume);
    ~CHFSPlusJournal() = default;
    CHFSPlusJournal(const CHFSPlusJournal&) = delete;
    CHFSPlusJournal& operator=(const CHFSPlusJournal&) = delete;

    // Bytes read at `offset` of the journal, wrapping round its buffer.
    std::uint64_t Read(std::uint64_t offset, void* buffer, std::uint64_t length);
    // Walks the whole journal buffer once and keeps every leaf record the
    // live trees no longer hold in the volume's deleted-record collections.
    EngineResult GetDeleteRecord(CHFSPlusQuickFileSystemSearchProgress* progress, CHFSPlusRecordCollection& catalog,
                                 CHFSPlusRecordCollection& extents, CHFSPlusRecordCollection& attributes);

    EngineResult GetLastError() const { return m_status; }
    bool HasInfoBlock() const { return m_hasInfo; }
    bool HasHeader() const { return m_hasHeader; }
    const JournalInfoBlock& GetInfoBlock() const { return m_info; }
    const JournalHeader& GetHeader() const { return m_header; }

private:
    CHFSPlusVolume* m_volume = nullptr;
    EngineResult m_status = 0;
    bool m_hasInfo = false;
    bool m_hasHeader = false;
    JournalInfoBlock m_info;
    JournalHeader m_header;
};
