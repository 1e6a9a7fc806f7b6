// The analyser registry: the key tables, the two sets built from them and the
// two-byte dispatch table of each set.
#include <cstring>
#include <set>
#include <string_view>

#include "raw/RawAnalyserFactory.h"
#include "raw/RawFileAnalyser.h"

const char g_s_strFileExtName[RAW_FILE_TYPE_COUNT][9] = {
    "Raw", "3DS",    "3GP",   "ADP",  "ANI",     "AI",   "ASF",  "WMA",      "WMV",  "AU",   "AVI", "BMP",
    "CAB", "CDR",    "CHM",   "CLK",  "CMX",     "CPT",  "CRW",  "CSL",      "CUR",  "DBX",  "DLL", "DOC",
    "DWG", "DXF",    "EMF",   "EPS",  "EXE",     "FH11", "GIF",  "GZ",       "HLP",  "HTM",  "ICO", "JPG",
    "LZH", "MAX",    "MID",   "MDB",  "MNY",     "MOF",  "MOV",  "MP3",      "MP4",  "M4A",  "M4V", "MPP",
    "OLE", "ONE",    "PDF",   "PNG",  "PPT",     "PUB",  "PSD",  "PSP",      "PST",  "QPW",  "RAR", "RIFF",
    "RTF", "SHW",    "SWF",   "TAR",  "TIF",     "TTF",  "VSD",  "WAV",      "WPD",  "WPG",  "WMF", "XLS",
    "ZIP", "DOCX",   "XLSX",  "PPTX", "ACCDB",   "NEF",  "NRW",  "AAC",      "AIFF", "APE",  "OGG", "CR2",
    "SR2", "ARW",    "RAW",   "RW2",  "DNG",     "RAF",  "FLV",  "SVG",      "SIT",  "SITX", "RM",  "RMVB",
    "MKV", "DCR",    "KDC",   "3FR",  "ERF",     "MEF",  "MRW",  "MDC",      "PEF",  "PTX",  "SRW", "ORF",
    "X3F", "MPG",    "PAGES", "KEY",  "NUMBERS", "DMG",  "EPUB", "FCPEVENT", "EMLX", "ITL",  "IPA", "pkg",
    "OLM", "ABCDDB", "icns",  "ODT",  "ODS",     "ODP",  "MBOX", "INDD",     "MUSE", "M2TS", "GPX", "PLIST",
    "IBA", "MOBI",   "SIB",   "JKS",  "PSAFE3",  "NGRR", "TREC", "ENEX",     "IPT",  "AAF",  "MXF", "SKETCH",
    "AEP", "TAX",    "MLV",
};

namespace {

// "Per hit": the analyser chooses the type by content and has none of its own.
constexpr std::uint32_t kPerHit = 0xFFFFFFFFu;

struct MapRow {
    std::uint8_t key[4];  // the first 4 bytes as they stand in the sector
    const char* analyser;
    std::uint32_t type;  // the type written at the hit, or the analyser's own
};
struct MultiRow {
    std::uint8_t key[2];
    const char* analyser;
    std::uint32_t type;
};
struct ListRow {
    const char* analyser;
    std::uint32_t type;
};

// Keyed by the first 4 bytes. The 81 keys are distinct.
constexpr MapRow kMapRows[] = {
    {{0xFF, 0xD8, 0xFF, 0xE0}, "BruteForce::JpegAnalyzer", RAW_FILE_TYPE_JPG},
    {{0xFF, 0xD8, 0xFF, 0xE1}, "BruteForce::JpegAnalyzer", RAW_FILE_TYPE_JPG},
    {{0xFF, 0xD8, 0xFF, 0xDB}, "BruteForce::JpegAnalyzer", RAW_FILE_TYPE_JPG},
    {{0xFF, 0xD8, 0xFF, 0xEE}, "BruteForce::JpegAnalyzer", RAW_FILE_TYPE_JPG},
    {{'%', 'P', 'D', 'F'}, "BruteForce::PdfAnalyzer", RAW_FILE_TYPE_PDF},
    {{0x4D, 0x4D, 0x00, 0x2A}, "BruteForce::TiffAnalyzer", RAW_FILE_TYPE_TIF},
    {{0x49, 0x49, 0x2A, 0x00}, "BruteForce::TiffAnalyzer", RAW_FILE_TYPE_TIF},
    {{0x49, 0x49, 0x55, 0x00}, "BruteForce::TiffAnalyzer", RAW_FILE_TYPE_TIF},
    {{'I', 'I', 'R', 'O'}, "BruteForce::TiffAnalyzer", RAW_FILE_TYPE_TIF},
    {{'I', 'I', 'R', 'S'}, "BruteForce::TiffAnalyzer", RAW_FILE_TYPE_TIF},
    {{'F', 'U', 'J', 'I'}, "BruteForce::TiffAnalyzer", RAW_FILE_TYPE_TIF},
    {{'M', 'M', 'O', 'R'}, "BruteForce::TiffAnalyzer", RAW_FILE_TYPE_TIF},
    {{0x49, 0x49, 0x1A, 0x00}, "Tessel::CRWAnalyser", RAW_FILE_TYPE_CRW},
    {{0x4D, 0x4D, 0x1A, 0x00}, "Tessel::CRWAnalyser", RAW_FILE_TYPE_CRW},
    {{'B', 'Z', 'h', '1'}, "Tessel::DMGAnalyser", RAW_FILE_TYPE_DMG},
    {{'F', 'O', 'V', 'b'}, "Tessel::X3FAnalyser", RAW_FILE_TYPE_X3F},
    {{0x00, 0x00, 0x01, 0xB3}, "Tessel::MPGAnalyser", RAW_FILE_TYPE_MPG},
    {{0x00, 0x00, 0x01, 0xBA}, "Tessel::MPGAnalyser", RAW_FILE_TYPE_MPG},
    {{'O', 'g', 'g', 'S'}, "Tessel::OGGAnalyser", RAW_FILE_TYPE_OGG},
    {{'.', 'R', 'M', 'F'}, "Tessel::RM_RMVBAnalyser", RAW_FILE_TYPE_RM},
    {{'<', '?', 'x', 'm'}, "Tessel::SVGAnalyser", kPerHit},
    {{0xEF, 0xBB, 0xBF, 0x3C}, "Tessel::SVGAnalyser", kPerHit},
    {{0xCD, 0x01, 0x00, 0x00}, "Tessel::SVGAnalyser", kPerHit},
    {{'|', 's', 'v', 'g'}, "Tessel::SVGAnalyser", kPerHit},
    {{'B', 'C', 'F', 'Z'}, "Tessel::SVGAnalyser", kPerHit},
    {{0x30, 0x26, 0xB2, 0x75}, "BruteForce::CAsfAnalyser", kPerHit},
    {{0x20, 0x20, 0x30, 0x0D}, "BruteForce::CDXFAnalyser", RAW_FILE_TYPE_DXF},
    {{'M', 'A', 'C', ' '}, "BruteForce::CAPEAnalyser", RAW_FILE_TYPE_APE},
    {{0x1C, 0x01, 0x00, 0x00}, "BruteForce::CFH11Analyser", RAW_FILE_TYPE_FH11},
    {{0xC5, 0xD0, 0xD3, 0xC6}, "BruteForce::CEPSAnalyser", RAW_FILE_TYPE_EPS},
    {{'A', 'C', '1', '0'}, "BruteForce::CDWGAnalyser", RAW_FILE_TYPE_DWG},
    {{'G', 'I', 'F', '8'}, "BruteForce::CGifAnalyser", RAW_FILE_TYPE_GIF},
    {{'M', 'T', 'h', 'd'}, "RawSpeed::MIDAnalyser", RAW_FILE_TYPE_MID},
    {{0x89, 'P', 'N', 'G'}, "RawSpeed::PNGAnalyser", RAW_FILE_TYPE_PNG},
    {{'8', 'B', 'P', 'S'}, "RawSpeed::PSDAnalyser", RAW_FILE_TYPE_PSD},
    {{'{', '\\', 'r', 't'}, "RawSpeed::RTFAnalyser", RAW_FILE_TYPE_RTF},
    {{'P', 'a', 'i', 'n'}, "RawSpeed::PSPAnalyser", RAW_FILE_TYPE_PSP},
    {{'R', 'a', 'r', '!'}, "RawSpeed::RARAnalyser", RAW_FILE_TYPE_RAR},
    {{0xE4, 0x52, 0x5C, 0x7B}, "RawSpeed::OneAnalyser", RAW_FILE_TYPE_ONE},
    {{0x77, 0x70, 0x67, 0x00}, "RawSpeed::WpgAnalyser", RAW_FILE_TYPE_WPG},
    {{'J', 'M', 'F', '6'}, "RawSpeed::DbxAnalyser", RAW_FILE_TYPE_DBX},
    {{0xCF, 0xAD, 0x12, 0xFE}, "RawSpeed::DbxAnalyser", RAW_FILE_TYPE_DBX},
    {{0xF7, 0x89, 0x34, 0x2C}, "RawSpeed::DbxAnalyser", RAW_FILE_TYPE_DBX},
    {{0x0F, 0x53, 0x49, 0x42}, "RawSpeed::SIBAnalyser", RAW_FILE_TYPE_SIB},
    {{'W', 'E', 'B', 'B'}, "RawSpeed::SITAnalyser", RAW_FILE_TYPE_SIT},
    {{'S', 't', 'u', 'f'}, "RawSpeed::SITAnalyser", RAW_FILE_TYPE_SIT},
    {{0xFE, 0xED, 0xFE, 0xED}, "RawSpeed::JKSAnalyser", RAW_FILE_TYPE_JKS},
    {{'P', 'W', 'S', '3'}, "RawSpeed::PSAFE3Analyser", RAW_FILE_TYPE_PSAFE3},
    {{'-', 'i', 'n', '-'}, "RawSpeed::NGRRAnalyser", RAW_FILE_TYPE_NGRR},
    {{0x06, 0x0E, 0x2B, 0x34}, "RawSpeed::MxfAnalyser", RAW_FILE_TYPE_MXF},
    {{'R', 'I', 'F', 'X'}, "RawSpeed::AEPAnalyser", RAW_FILE_TYPE_AEP},
    {{'M', 'L', 'V', 'I'}, "RawSpeed::MLvAnalyser", RAW_FILE_TYPE_MLV},
    {{'F', 'O', 'R', 'M'}, "CFileAIFAnalyzer", RAW_FILE_TYPE_AIFF},
    {{0x50, 0x4B, 0x03, 0x04}, "FileZIPAnalyser", RAW_FILE_TYPE_ZIP},
    {{0xFF, 0x57, 0x50, 0x43}, "FileWPDAnalyser", RAW_FILE_TYPE_WPD},
    {{0x01, 0x00, 0x09, 0x00}, "FileWMFAnalyser", RAW_FILE_TYPE_WMF},
    {{0xD7, 0xCD, 0xC6, 0x9A}, "FileWMFAnalyser", RAW_FILE_TYPE_WMF},
    {{0x00, 0x01, 0x00, 0x00}, "FileTTFAnalyser", RAW_FILE_TYPE_TTF},
    {{'R', 'I', 'F', 'F'}, "FileRIFFAnalyser", kPerHit},
    {{'!', 'B', 'D', 'N'}, "FilePSTAnalyser", RAW_FILE_TYPE_PST},
    {{0xD0, 0xCF, 0x11, 0xE0}, "FileOLEAnalyser", RAW_FILE_TYPE_OLE},
    {{0xDB, 0xA5, 0x2D, 0x00}, "FileLowDocAnalyser", RAW_FILE_TYPE_DOC},
    {{0x94, 0xA6, 0x2E, 0x00}, "FileLowDocAnalyser", RAW_FILE_TYPE_DOC},
    {{0x00, 0x00, 0x01, 0x00}, "FileICOAnalyser", RAW_FILE_TYPE_ICO},
    {{0x00, 0x00, 0x02, 0x00}, "FileICOAnalyser", RAW_FILE_TYPE_ICO},
    {{0x3F, 0x5F, 0x03, 0x00}, "FileHLPAnalyser", RAW_FILE_TYPE_HLP},
    {{'C', 'P', 'T', '7'}, "FileCPTAnalyser", RAW_FILE_TYPE_CPT},
    {{'C', 'P', 'T', '8'}, "FileCPTAnalyser", RAW_FILE_TYPE_CPT},
    {{'C', 'P', 'T', '9'}, "FileCPTAnalyser", RAW_FILE_TYPE_CPT},
    {{'M', 'S', 'C', 'F'}, "FileCABAnalyser", RAW_FILE_TYPE_CAB},
    {{'m', 's', 'c', 'f'}, "FileCABAnalyser", RAW_FILE_TYPE_CAB},
    {{'.', 's', 'n', 'd'}, "FileAUAnalyser", RAW_FILE_TYPE_AU},
    {{0x1A, 0x45, 0xDF, 0xA3}, "FileMKVAnalyser", RAW_FILE_TYPE_MKV},
    {{'I', 'T', 'S', 'F'}, "FileCHMAnalyser", RAW_FILE_TYPE_CHM},
    {{0x00, 0x4D, 0x52, 0x4D}, "FileMRWAnalyser", RAW_FILE_TYPE_MRW},
    {{'S', 'Q', 'L', 'i'}, "BruteForce::CFCPEvtAnalyser", RAW_FILE_TYPE_FCPEVENT},
    {{'h', 'd', 'f', 'm'}, "FileITLAnalyser", RAW_FILE_TYPE_ITL},
    {{'x', 'a', 'r', '!'}, "FilePKGAnalyser", RAW_FILE_TYPE_PKG},
    {{0x7F, 0x50, 0x4B, 0x47}, "FilePKGAnalyser", RAW_FILE_TYPE_PKG},
    {{'i', 'c', 'n', 's'}, "FileICNSAnalyser", RAW_FILE_TYPE_ICNS},
    {{'F', 'r', 'o', 'm'}, "FileMboxAnalyser", RAW_FILE_TYPE_MBOX},
};

// Keyed by the first 2 bytes; equal keys are tried in this order.
constexpr MultiRow kMultiRows[] = {
    {{'%', '!'}, "BruteForce::PdfAnalyzer", RAW_FILE_TYPE_PDF},
    {{'%', '!'}, "BruteForce::CEPSAnalyser", RAW_FILE_TYPE_EPS},
    {{'I', 'D'}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xF2}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xF3}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xF4}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xF5}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xF6}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xF7}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xFA}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xFB}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xFC}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xFD}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xFE}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xFF}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xE2}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xE3}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xE4}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xE5}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xE6}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{0xFF, 0xE7}, "BruteForce::MP3Analyzer", RAW_FILE_TYPE_MP3},
    {{'9', '9'}, "BruteForce::CDXFAnalyser", RAW_FILE_TYPE_DXF},
    {{0x00, 0x00}, "BruteForce::MovAnalyzer", RAW_FILE_TYPE_MOV},
    {{0x00, 0x00}, "BruteForce::Mp4Analyzer", RAW_FILE_TYPE_MP4},
    {{0x00, 0x00}, "BruteForce::C3GPAnalyser", RAW_FILE_TYPE_3GP},
    {{0xFF, 0xF1}, "BruteForce::CADTSAnalyser", RAW_FILE_TYPE_M4A},
    {{0xFF, 0xF9}, "BruteForce::CADTSAnalyser", RAW_FILE_TYPE_M4A},
    {{0x1F, 0x8B}, "RawSpeed::GZAnalyzer", RAW_FILE_TYPE_GZ},
    {{0x00, 0x01}, "RawSpeed::CMDBAnalyser", kPerHit},
    {{'F', 'L'}, "Tessel::FLVAnalyser", RAW_FILE_TYPE_FLV},
    {{'<', 'h'}, "RawSpeed::HTMLAnalyser", RAW_FILE_TYPE_HTM},
    {{'<', 'H'}, "RawSpeed::HTMLAnalyser", RAW_FILE_TYPE_HTM},
    {{'<', '!'}, "RawSpeed::HTMLAnalyser", RAW_FILE_TYPE_HTM},
    {{0xFF, 0xFE}, "RawSpeed::HTMLAnalyser", RAW_FILE_TYPE_HTM},
    {{'M', 'M'}, "RawSpeed::New3DSAnalyser", RAW_FILE_TYPE_3DS},
    {{0x00, 0x01}, "RawSpeed::CMDBAnalyser", kPerHit},
    {{'B', 'M'}, "FileBMPAnalyser", RAW_FILE_TYPE_BMP},
    {{0xFF, 0xFE}, "FileUnicodeHTMAnalyser", RAW_FILE_TYPE_HTM},
    {{'M', 'S'}, "FileMNYAnalyser", RAW_FILE_TYPE_MNY},
    {{'F', 'W'}, "FileSWFAnalyser", RAW_FILE_TYPE_SWF},
    {{'C', 'W'}, "FileSWFAnalyser", RAW_FILE_TYPE_SWF},
    {{'u', 's'}, "RawSpeed::TARAnalyser", RAW_FILE_TYPE_TAR},
};

// Asked about every sector, in this order.
constexpr ListRow kListRows[] = {
    {"Tessel::LZHAnalyser", RAW_FILE_TYPE_LZH},         {"FileEMFAnalyser", RAW_FILE_TYPE_EMF},
    {"BruteForce::MovAnalyzer", RAW_FILE_TYPE_MOV},     {"RawSpeed::InddAnalyser", RAW_FILE_TYPE_INDD},
    {"RawSpeed::New3DSAnalyser", RAW_FILE_TYPE_3DS},    {"RawSpeed::TARAnalyser", RAW_FILE_TYPE_TAR},
    {"BruteForce::CM2TSAnalyser", RAW_FILE_TYPE_M2TS},  {"RawSpeed::MOBIAnalyser", RAW_FILE_TYPE_MOBI},
    {"RawSpeed::PSAFE3Analyser", RAW_FILE_TYPE_PSAFE3},
};

static_assert(std::size(kMapRows) == CRawFileAnalyserListSingle::kMapKeys);
static_assert(std::size(kMultiRows) == CRawFileAnalyserListSingle::kMultimapEntries);
static_assert(std::size(kListRows) == CRawFileAnalyserListSingle::kListEntries);

// One new object per key: an analyser that keeps state between sectors must
// not share it between two keys.
IRawFileAnalyser* Make(const char* className, std::uint32_t type) {
    for (const RawAnalyserFactoryRow& row : RawAnalyserFactories())
        if (std::string_view(row.className) == className) {
            if (IRawFileAnalyser* a = row.make()) return a;
        }
    return new CPendingAnalyser(className, type);
}

}  // namespace

CRawFileAnalyserListSingle* CRawFileAnalyserListSingle::CreateInstance() {
    static CRawFileAnalyserListSingle registry;
    return &registry;
}

CRawFileAnalyserListSingle::CRawFileAnalyserListSingle() {
    BuildRawFileAnalyserMap(m_map1);
    BuildRawFileListMultimap(m_multimap1);
    BuildRawFileAnalyserList(m_list1);
    BuildDispatch(m_map1, m_multimap1, m_list1, m_dispatch1);
}

void CRawFileAnalyserListSingle::BuildRawFileAnalyserMap(AnalyserMap& map) {
    for (const MapRow& r : kMapRows) {
        const std::uint32_t key = byteorder::LE32(r.key);
        auto it = map.find(key);
        if (it != map.end()) delete it->second;
        map[key] = Make(r.analyser, r.type);
    }
}

void CRawFileAnalyserListSingle::BuildRawFileListMultimap(AnalyserMultimap& multimap) {
    // std::multimap keeps equal keys in insertion order.
    for (const MultiRow& r : kMultiRows) multimap.emplace(byteorder::LE16(r.key), Make(r.analyser, r.type));
}

void CRawFileAnalyserListSingle::BuildRawFileAnalyserList(AnalyserList& list) {
    for (const ListRow& r : kListRows) list.push_back(Make(r.analyser, r.type));
}

void CRawFileAnalyserListSingle::ClearMapContents(AnalyserMap& map) {
    for (auto& [key, a] : map) delete a;
    map.clear();
}

void CRawFileAnalyserListSingle::ClearMultiMapContents(AnalyserMultimap& multimap) {
    for (auto& [key, a] : multimap) delete a;
    multimap.clear();
}

void CRawFileAnalyserListSingle::ClearListContents(AnalyserList& list) {
    for (auto* a : list) delete a;
    list.clear();
}

void CRawFileAnalyserListSingle::ReinitAnalyzeList(IRecoveryFilter* /*filter*/, CRawSearchState* state) {
    ClearMapContents(m_map0);
    ClearMultiMapContents(m_multimap0);
    ClearListContents(m_list0);
    BuildRawFileAnalyserMap(m_map0);
    BuildRawFileListMultimap(m_multimap0);
    BuildRawFileAnalyserList(m_list0);
    for (auto& [key, a] : m_map0) a->SetSearchState(state);
    for (auto& [key, a] : m_multimap0) a->SetSearchState(state);
    for (auto* a : m_list0) a->SetSearchState(state);
    BuildDispatch(m_map0, m_multimap0, m_list0, m_dispatch0);
}

void CRawFileAnalyserListSingle::BuildDispatch(const AnalyserMap& map, const AnalyserMultimap& multimap,
                                               const AnalyserList& list, Dispatch& out) {
    out.table.assign(0x10000, DispatchEntry{});
    out.mapKeys.clear();
    out.multiAnalysers.clear();
    out.list.assign(list.begin(), list.end());
    // std::map orders keys by value, so the keys of one low 16-bit prefix are
    // not adjacent; gather them per prefix.
    std::multimap<std::uint16_t, std::pair<std::uint32_t, IRawFileAnalyser*>> byPrefix;
    for (auto& [key, a] : map) byPrefix.emplace(static_cast<std::uint16_t>(key & 0xFFFF), std::make_pair(key, a));
    for (auto it = byPrefix.begin(); it != byPrefix.end();) {
        DispatchEntry& e = out.table[it->first];
        e.mapBegin = static_cast<std::uint16_t>(out.mapKeys.size());
        const std::uint16_t prefix = it->first;
        for (; it != byPrefix.end() && it->first == prefix; ++it) {
            out.mapKeys.push_back(it->second);
            ++e.mapCount;
        }
    }
    for (auto it = multimap.begin(); it != multimap.end();) {
        DispatchEntry& e = out.table[it->first];
        e.multiBegin = static_cast<std::uint16_t>(out.multiAnalysers.size());
        const std::uint16_t prefix = it->first;
        for (; it != multimap.end() && it->first == prefix; ++it) {
            out.multiAnalysers.push_back(it->second);
            ++e.multiCount;
        }
    }
    out.keyed.assign(0x10000 / 64, 0);
    for (std::uint32_t prefix = 0; prefix < 0x10000; ++prefix)
        if (out.table[prefix].mapCount != 0 || out.table[prefix].multiCount != 0)
            out.keyed[prefix >> 6] |= std::uint64_t{1} << (prefix & 63);
}

int CRawFileAnalyserListSingle::KeyedFromTable(const Dispatch& d, std::uint32_t first4, IRawFileAnalyser** out,
                                               int capacity) {
    int n = 0;
    const DispatchEntry& e = d.table[first4 & 0xFFFF];
    for (int i = 0; i < e.mapCount && n < capacity; ++i)
        if (d.mapKeys[e.mapBegin + i].first == first4) {
            out[n++] = d.mapKeys[e.mapBegin + i].second;
            break;
        }
    for (int i = 0; i < e.multiCount && n < capacity; ++i) out[n++] = d.multiAnalysers[e.multiBegin + i];
    return n;
}

int CRawFileAnalyserListSingle::Candidates(int set, const std::uint8_t* sector, IRawFileAnalyser** out,
                                           int capacity) const {
    const Dispatch& d = GetDispatch(set);
    if (sector == nullptr || out == nullptr || capacity <= 0 || d.table.empty()) return 0;
    int n = KeyedCandidates(d, sector, out, capacity);
    for (auto* a : d.list) {
        if (n >= capacity) break;
        out[n++] = a;
    }
    return n;
}

CRawFileAnalyserListSingle::~CRawFileAnalyserListSingle() {
    ClearMapContents(m_map0);
    ClearMultiMapContents(m_multimap0);
    ClearListContents(m_list0);
    ClearMapContents(m_map1);
    ClearMultiMapContents(m_multimap1);
    ClearListContents(m_list1);
}
