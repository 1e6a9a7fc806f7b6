#pragma once
// Recognisers of the other multi-sector NTFS records: INDX directory index
// blocks, $LogFile restart pages (RSTR) and record pages (RCRD). Stateless;
// every length taken from a record is checked against the caller's size.

#include <cstdint>

// CLogFileAnalyzer (the $LogFile page tests and the deep search's $LogFile
// analysis) is declared with the deep-search analyzers.
#include "ntfs/NTFSMetaFileAnalyzers.h"

class CNTFSFileRecord;

class CStandardIndexHeader {
public:
    static constexpr std::uint32_t kMagic = 0x58444E49;  // "INDX"
    static bool IsValidMagicNumber(const std::uint8_t* buffer, int size);
    static bool IsValid(const std::uint8_t* buffer, int size);
    // First entry, counted from the record's first byte (stored value + 24).
    static std::uint32_t GetOffsetofIndexEntries(const std::uint8_t* buffer);
    static std::uint32_t GetSizeofIndexEntries(const std::uint8_t* buffer);
    static std::int64_t GetVCN(const std::uint8_t* buffer);
    static std::int64_t GetLogFileSequenceNumber(const std::uint8_t* buffer);
};

// View of one index entry of a directory index (the key is $FILE_NAME
// content at +16). Only ever used through a pointer into a checked buffer.
struct CIndexRecordStruct {
    std::uint8_t bytes[82];
};

class CIndexRecord {
public:
    static bool IsValid(std::uint8_t* buffer, int size);
    static bool IsValidUpdateSequence(const std::uint8_t* buffer, int size);
    static int UnfixupIndexRecord(std::uint8_t* buffer, int size);
    static int FixupIndexRecord(std::uint8_t* buffer, int size);
    // Entries from the first-entry offset while inside the bytes in use and
    // the buffer: every checked entry has real size <= allocated size and the
    // first entry's parent.
    static bool CheckIndexEntries(const std::uint8_t* buffer, int size);
    // Real size at most allocated size (the entry's 72 bytes must be there).
    static bool IsValid(const CIndexRecordStruct* entry);
    // Low 32 bits of the first entry's parent; -1 for an invalid record.
    static std::int64_t GetParentFileReference(std::uint8_t* buffer, int size);
    static std::int64_t GetVCN(const std::uint8_t* buffer) { return CStandardIndexHeader::GetVCN(buffer); }
    static std::int64_t GetLogFileSequenceNumber(const std::uint8_t* buffer) {
        return CStandardIndexHeader::GetLogFileSequenceNumber(buffer);
    }
};

class CFolderFileRecordAnalyzer {
public:
    // A folder with a non-resident $INDEX_ALLOCATION (0xA0).
    static bool IsValidFolderFileRecordHavingIndexAllocation(const CNTFSFileRecord& record);
};

// View of an RCRD page header and of an operation record (48 bytes at least).
struct CRecordPageHeader {
    std::uint8_t bytes[64];
};
struct CLogRecordHeader {
    std::uint8_t bytes[48];
};

class CRCRDRecord {
public:
    static constexpr std::uint32_t kMagic = 0x44524352;  // "RCRD"
    static bool IsValidMagicNumber(const std::uint8_t* buffer);
    static bool IsValidRCRDRecordFirstSector(const std::uint8_t* buffer, int size);
    static bool IsValidUpdateSequence(const std::uint8_t* buffer, int size);
    static bool IsValid(const std::uint8_t* buffer, int size);
    static int Unfixup(std::uint8_t* buffer, int size);
    static bool GetRecordHead(std::uint8_t* buffer, int size, CRecordPageHeader** out);
    static bool GetOperationRecordHeader(std::uint8_t* buffer, int size, CLogRecordHeader** out);
};
