#pragma once
// The standard NTFS $UpCase table (the upper-case form of every UTF-16 code
// unit, as NTFS formatting writes it) and the deep search's $UpCase analyser:
// $UpCase FILE records, and sectors whose bytes equal a sector of the table.

#include <cstdint>
#include <list>

#include "ntfs/NTFSDeepSearchRecords.h"
#include "ntfs/NTFSMetaFileAnalyzers.h"

namespace NTFSUpCase {
constexpr int kTableBytes = 131072;  // 65,536 little-endian u16
constexpr int kTableSectors = 256;   // of 512 bytes
// The table, built once on first use.
const std::uint8_t* GetStandardTable();
std::uint16_t ToUpper(std::uint16_t unit);
}  // namespace NTFSUpCase

class CUpCaseFileAnalyzer {
public:
    CUpCaseFileAnalyzer() = default;
    ~CUpCaseFileAnalyzer();
    CUpCaseFileAnalyzer(const CUpCaseFileAnalyzer&) = delete;
    CUpCaseFileAnalyzer& operator=(const CUpCaseFileAnalyzer&) = delete;

    // A valid $UpCase FILE record (fixups undone) seen at `sector`.
    void AnalyzeUpCaseFileRecord(std::int64_t sector, std::uint8_t* record, int size);
    // 1 (and the sector recorded) when the 512 bytes equal the table sector
    // that their second byte names.
    int AnalyzeSectorBuffer(std::uint64_t sector, const std::uint8_t* bytes);
    CUpCaseFileInfo* FindUpCaseFileInfo(std::int64_t sector) const;
    CUpCaseFileInfo* FindUpCaseFileInfo(std::int64_t start, std::uint64_t count) const;
    CUpCaseFileInfo* FindUpCaseFileInfo(const CSearchedNTFSPartitionInfo& candidate) const;
    void CalcUpcaseMatch(CSearchedNTFSPartitionInfo& candidate) const;
    const CMetaFileAnalyzer& GetRanges() const { return m_ranges; }

private:
    std::list<CUpCaseFileInfo*> m_infos;
    CMetaFileAnalyzer m_ranges;
};
