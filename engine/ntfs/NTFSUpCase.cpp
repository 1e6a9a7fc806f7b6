#include "ntfs/NTFSUpCase.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "foundation/ByteOrder.h"

using namespace byteorder;

namespace {

// The table that NTFS formatting writes, as facts about Unicode case pairs:
// blocks whose capitals lie at a fixed distance, blocks where capital and
// small letter alternate (capital first), and single mappings.
struct ShiftedBlock {
    std::uint16_t first;  // first small letter
    std::uint16_t last;   // last small letter
    int shift;            // capital = small + shift
};
const ShiftedBlock kShifted[] = {
    {0x0061, 0x007A, -32}, {0x00E0, 0x00F6, -32}, {0x00F8, 0x00FE, -32}, {0x0256, 0x0257, -205}, {0x028A, 0x028B, -217},
    {0x03AC, 0x03AC, -38}, {0x03AD, 0x03AF, -37}, {0x03B1, 0x03C1, -32}, {0x03C2, 0x03C2, -31},  {0x03C3, 0x03CB, -32},
    {0x03CC, 0x03CC, -64}, {0x03CD, 0x03CE, -63}, {0x0430, 0x044F, -32}, {0x0451, 0x045C, -80},  {0x045E, 0x045F, -80},
    {0x0561, 0x0586, -48}, {0x1F00, 0x1F07, 8},   {0x1F10, 0x1F15, 8},   {0x1F20, 0x1F27, 8},    {0x1F30, 0x1F37, 8},
    {0x1F40, 0x1F45, 8},   {0x1F51, 0x1F51, 8},   {0x1F53, 0x1F53, 8},   {0x1F55, 0x1F55, 8},    {0x1F57, 0x1F57, 8},
    {0x1F60, 0x1F67, 8},   {0x1F70, 0x1F71, 74},  {0x1F72, 0x1F75, 86},  {0x1F76, 0x1F77, 100},  {0x1F78, 0x1F79, 128},
    {0x1F7A, 0x1F7B, 112}, {0x1F7C, 0x1F7D, 126}, {0x1FB0, 0x1FB1, 8},   {0x1FD0, 0x1FD1, 8},    {0x1FE0, 0x1FE1, 8},
    {0x1FE5, 0x1FE5, 7},   {0x2170, 0x217F, -16}, {0x24D0, 0x24E9, -26}, {0xFF41, 0xFF5A, -32},
};

// Capital at an even distance from `first`, its small letter right after it;
// the pairs begin before `end`.
struct AlternatingBlock {
    std::uint16_t first;
    std::uint16_t end;
};
const AlternatingBlock kAlternating[] = {
    {0x0100, 0x012F}, {0x0132, 0x0137}, {0x0139, 0x0149}, {0x014A, 0x0178}, {0x0179, 0x017E}, {0x01A0, 0x01A6},
    {0x01B3, 0x01B7}, {0x01CD, 0x01DD}, {0x01DE, 0x01EF}, {0x01F4, 0x01F5}, {0x01FA, 0x0218}, {0x03E2, 0x03EF},
    {0x0460, 0x0481}, {0x0490, 0x04BF}, {0x04C1, 0x04C4}, {0x04C7, 0x04C8}, {0x04CB, 0x04CC}, {0x04D0, 0x04EB},
    {0x04EE, 0x04F5}, {0x04F8, 0x04F9}, {0x1E00, 0x1E95}, {0x1EA0, 0x1EF9},
};

struct SingleMapping {
    std::uint16_t small;
    std::uint16_t capital;
};
const SingleMapping kSingles[] = {
    {0x00FF, 0x0178}, {0x0183, 0x0182}, {0x0185, 0x0184}, {0x0188, 0x0187}, {0x018C, 0x018B}, {0x0192, 0x0191},
    {0x0199, 0x0198}, {0x01A8, 0x01A7}, {0x01AD, 0x01AC}, {0x01B0, 0x01AF}, {0x01B9, 0x01B8}, {0x01BD, 0x01BC},
    {0x01C6, 0x01C4}, {0x01C9, 0x01C7}, {0x01CC, 0x01CA}, {0x01DD, 0x018E}, {0x01F3, 0x01F1}, {0x0253, 0x0181},
    {0x0254, 0x0186}, {0x0259, 0x018F}, {0x025B, 0x0190}, {0x0260, 0x0193}, {0x0263, 0x0194}, {0x0268, 0x0197},
    {0x0269, 0x0196}, {0x026F, 0x019C}, {0x0272, 0x019D}, {0x0275, 0x019F}, {0x0283, 0x01A9}, {0x0288, 0x01AE},
    {0x0292, 0x01B7},
};

struct Table {
    std::uint16_t units[65536];
    std::uint8_t bytes[NTFSUpCase::kTableBytes];
    Table() {
        for (int i = 0; i < 65536; ++i) units[i] = static_cast<std::uint16_t>(i);
        for (const ShiftedBlock& b : kShifted)
            for (int u = b.first; u <= b.last; ++u) units[u] = static_cast<std::uint16_t>(u + b.shift);
        for (const AlternatingBlock& b : kAlternating)
            for (int u = b.first; u < b.end; u += 2) units[u + 1] = static_cast<std::uint16_t>(units[u + 1] - 1);
        for (const SingleMapping& m : kSingles) units[m.small] = m.capital;
        for (int i = 0; i < 65536; ++i) PutLE16(bytes + 2 * i, units[i]);
    }
};

const Table& StandardTable() {
    static const Table table;
    return table;
}

}  // namespace

const std::uint8_t* NTFSUpCase::GetStandardTable() { return StandardTable().bytes; }
std::uint16_t NTFSUpCase::ToUpper(std::uint16_t unit) { return StandardTable().units[unit]; }

// ------------------------------------------------------ CUpCaseFileAnalyzer

CUpCaseFileAnalyzer::~CUpCaseFileAnalyzer() {
    for (CUpCaseFileInfo* info : m_infos) delete info;
}

void CUpCaseFileAnalyzer::AnalyzeUpCaseFileRecord(std::int64_t sector, std::uint8_t* record, int size) {
    if (m_infos.size() >= kNTFSDeepListLimit) return;
    auto* info = new CUpCaseFileInfo;
    if (!info->InitFromBuffer(record, size, sector)) {
        delete info;
        return;
    }
    m_infos.push_back(info);
}

int CUpCaseFileAnalyzer::AnalyzeSectorBuffer(std::uint64_t sector, const std::uint8_t* bytes) {
    // A table sector holds 256 consecutive code units; its second byte is
    // the high byte of the first one, which is the sector's number.
    // The first words of the 256 table sectors are kept apart (2 KiB): the
    // test of a sector that is no table sector, nearly all of them, then
    // never reaches into the 128 KiB table.
    static const auto heads = [] {
        std::array<std::uint64_t, 256> out{};
        for (std::size_t k = 0; k < out.size(); ++k) out[k] = LE64(NTFSUpCase::GetStandardTable() + 512 * k);
        return out;
    }();
    if (LE64(bytes) != heads[bytes[1]]) return 0;
    const std::uint8_t* expected = NTFSUpCase::GetStandardTable() + 512 * static_cast<int>(bytes[1]);
    if (!CMetaFileAnalyzer::CompareSectorBuffer(bytes, expected)) return 0;
    m_ranges.CombineSectorOfRange(sector);
    return 1;
}

CUpCaseFileInfo* CUpCaseFileAnalyzer::FindUpCaseFileInfo(std::int64_t sector) const {
    for (CUpCaseFileInfo* info : m_infos) {
        if (info->GetSectorAddress() > sector) return nullptr;
        if (info->GetSectorAddress() == sector) return info;
    }
    return nullptr;
}

CUpCaseFileInfo* CUpCaseFileAnalyzer::FindUpCaseFileInfo(std::int64_t start, std::uint64_t count) const {
    const std::int64_t end = start + static_cast<std::int64_t>(std::min<std::uint64_t>(count, INT64_C(1) << 56));
    for (CUpCaseFileInfo* info : m_infos) {
        if (info->GetSectorAddress() >= end) return nullptr;
        if (info->GetSectorAddress() >= start) return info;
    }
    return nullptr;
}

CUpCaseFileInfo* CUpCaseFileAnalyzer::FindUpCaseFileInfo(const CSearchedNTFSPartitionInfo& c) const {
    CUpCaseFileInfo* info = nullptr;
    // Record 10 of the MFT.
    if (c.GetMFTSector() != -1) info = FindUpCaseFileInfo(c.GetMFTSector() + 10 * c.GetSectorsperFileRecord());
    if (info == nullptr) info = FindUpCaseFileInfo(c.GetStartSector(), c.GetTotalSectors());
    return info;
}

void CUpCaseFileAnalyzer::CalcUpcaseMatch(CSearchedNTFSPartitionInfo& c) const {
    const CUpCaseFileInfo* info = FindUpCaseFileInfo(c);
    if (info == nullptr) {
        c.SetUpCaseMatchCount(0);
        return;
    }
    c.SetUpCaseRecordSector(info->GetSectorAddress());
    c.SetUpCaseMatchCount(m_ranges.GetMatchCount(info->GetNTFSDataRunList(), c.GetStartSector(),
                                                 static_cast<std::uint8_t>(c.GetSectorsPerCluster())));
}
