// What the raw signature search offers its neighbours: the analyser interface,
// the per-candidate record, the process-wide analyser registry and the table
// of raw-file extensions.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "raw/SectorView.h"

class IStorageDevice;
class IRawFileAnalyser;
class IRecoveryFilter;
class CRawSearchState;

// Number of raw file types; g_s_strFileExtName has one 9-byte slot per type.
constexpr int RAW_FILE_TYPE_COUNT = 147;
// Upper-case extensions by raw file type ("Raw" for 0; "pkg" and "icns" as they are).
extern const char g_s_strFileExtName[RAW_FILE_TYPE_COUNT][9];

// Index into g_s_strFileExtName: decides extension, category folder and name counter.
enum RAW_FILE_TYPE : std::uint32_t {
    RAW_FILE_TYPE_UNKNOWN = 0,
    RAW_FILE_TYPE_3DS = 1,
    RAW_FILE_TYPE_3GP = 2,
    RAW_FILE_TYPE_ADP = 3,
    RAW_FILE_TYPE_ANI = 4,
    RAW_FILE_TYPE_AI = 5,
    RAW_FILE_TYPE_ASF = 6,
    RAW_FILE_TYPE_WMA = 7,
    RAW_FILE_TYPE_WMV = 8,
    RAW_FILE_TYPE_AU = 9,
    RAW_FILE_TYPE_AVI = 10,
    RAW_FILE_TYPE_BMP = 11,
    RAW_FILE_TYPE_CAB = 12,
    RAW_FILE_TYPE_CDR = 13,
    RAW_FILE_TYPE_CHM = 14,
    RAW_FILE_TYPE_CLK = 15,
    RAW_FILE_TYPE_CMX = 16,
    RAW_FILE_TYPE_CPT = 17,
    RAW_FILE_TYPE_CRW = 18,
    RAW_FILE_TYPE_CSL = 19,
    RAW_FILE_TYPE_CUR = 20,
    RAW_FILE_TYPE_DBX = 21,
    RAW_FILE_TYPE_DLL = 22,
    RAW_FILE_TYPE_DOC = 23,
    RAW_FILE_TYPE_DWG = 24,
    RAW_FILE_TYPE_DXF = 25,
    RAW_FILE_TYPE_EMF = 26,
    RAW_FILE_TYPE_EPS = 27,
    RAW_FILE_TYPE_EXE = 28,
    RAW_FILE_TYPE_FH11 = 29,
    RAW_FILE_TYPE_GIF = 30,
    RAW_FILE_TYPE_GZ = 31,
    RAW_FILE_TYPE_HLP = 32,
    RAW_FILE_TYPE_HTM = 33,
    RAW_FILE_TYPE_ICO = 34,
    RAW_FILE_TYPE_JPG = 35,
    RAW_FILE_TYPE_LZH = 36,
    RAW_FILE_TYPE_MAX = 37,
    RAW_FILE_TYPE_MID = 38,
    RAW_FILE_TYPE_MDB = 39,
    RAW_FILE_TYPE_MNY = 40,
    RAW_FILE_TYPE_MOF = 41,
    RAW_FILE_TYPE_MOV = 42,
    RAW_FILE_TYPE_MP3 = 43,
    RAW_FILE_TYPE_MP4 = 44,
    RAW_FILE_TYPE_M4A = 45,
    RAW_FILE_TYPE_M4V = 46,
    RAW_FILE_TYPE_MPP = 47,
    RAW_FILE_TYPE_OLE = 48,
    RAW_FILE_TYPE_ONE = 49,
    RAW_FILE_TYPE_PDF = 50,
    RAW_FILE_TYPE_PNG = 51,
    RAW_FILE_TYPE_PPT = 52,
    RAW_FILE_TYPE_PUB = 53,
    RAW_FILE_TYPE_PSD = 54,
    RAW_FILE_TYPE_PSP = 55,
    RAW_FILE_TYPE_PST = 56,
    RAW_FILE_TYPE_QPW = 57,
    RAW_FILE_TYPE_RAR = 58,
    RAW_FILE_TYPE_RIFF = 59,
    RAW_FILE_TYPE_RTF = 60,
    RAW_FILE_TYPE_SHW = 61,
    RAW_FILE_TYPE_SWF = 62,
    RAW_FILE_TYPE_TAR = 63,
    RAW_FILE_TYPE_TIF = 64,
    RAW_FILE_TYPE_TTF = 65,
    RAW_FILE_TYPE_VSD = 66,
    RAW_FILE_TYPE_WAV = 67,
    RAW_FILE_TYPE_WPD = 68,
    RAW_FILE_TYPE_WPG = 69,
    RAW_FILE_TYPE_WMF = 70,
    RAW_FILE_TYPE_XLS = 71,
    RAW_FILE_TYPE_ZIP = 72,
    RAW_FILE_TYPE_DOCX = 73,
    RAW_FILE_TYPE_XLSX = 74,
    RAW_FILE_TYPE_PPTX = 75,
    RAW_FILE_TYPE_ACCDB = 76,
    RAW_FILE_TYPE_NEF = 77,
    RAW_FILE_TYPE_NRW = 78,
    RAW_FILE_TYPE_AAC = 79,
    RAW_FILE_TYPE_AIFF = 80,
    RAW_FILE_TYPE_APE = 81,
    RAW_FILE_TYPE_OGG = 82,
    RAW_FILE_TYPE_CR2 = 83,
    RAW_FILE_TYPE_SR2 = 84,
    RAW_FILE_TYPE_ARW = 85,
    RAW_FILE_TYPE_RAW = 86,
    RAW_FILE_TYPE_RW2 = 87,
    RAW_FILE_TYPE_DNG = 88,
    RAW_FILE_TYPE_RAF = 89,
    RAW_FILE_TYPE_FLV = 90,
    RAW_FILE_TYPE_SVG = 91,
    RAW_FILE_TYPE_SIT = 92,
    RAW_FILE_TYPE_SITX = 93,
    RAW_FILE_TYPE_RM = 94,
    RAW_FILE_TYPE_RMVB = 95,
    RAW_FILE_TYPE_MKV = 96,
    RAW_FILE_TYPE_DCR = 97,
    RAW_FILE_TYPE_KDC = 98,
    RAW_FILE_TYPE_3FR = 99,
    RAW_FILE_TYPE_ERF = 100,
    RAW_FILE_TYPE_MEF = 101,
    RAW_FILE_TYPE_MRW = 102,
    RAW_FILE_TYPE_MDC = 103,
    RAW_FILE_TYPE_PEF = 104,
    RAW_FILE_TYPE_PTX = 105,
    RAW_FILE_TYPE_SRW = 106,
    RAW_FILE_TYPE_ORF = 107,
    RAW_FILE_TYPE_X3F = 108,
    RAW_FILE_TYPE_MPG = 109,
    RAW_FILE_TYPE_PAGES = 110,
    RAW_FILE_TYPE_KEY = 111,
    RAW_FILE_TYPE_NUMBERS = 112,
    RAW_FILE_TYPE_DMG = 113,
    RAW_FILE_TYPE_EPUB = 114,
    RAW_FILE_TYPE_FCPEVENT = 115,
    RAW_FILE_TYPE_EMLX = 116,
    RAW_FILE_TYPE_ITL = 117,
    RAW_FILE_TYPE_IPA = 118,
    RAW_FILE_TYPE_PKG = 119,
    RAW_FILE_TYPE_OLM = 120,
    RAW_FILE_TYPE_ABCDDB = 121,
    RAW_FILE_TYPE_ICNS = 122,
    RAW_FILE_TYPE_ODT = 123,
    RAW_FILE_TYPE_ODS = 124,
    RAW_FILE_TYPE_ODP = 125,
    RAW_FILE_TYPE_MBOX = 126,
    RAW_FILE_TYPE_INDD = 127,
    RAW_FILE_TYPE_MUSE = 128,
    RAW_FILE_TYPE_M2TS = 129,
    RAW_FILE_TYPE_GPX = 130,
    RAW_FILE_TYPE_PLIST = 131,
    RAW_FILE_TYPE_IBA = 132,
    RAW_FILE_TYPE_MOBI = 133,
    RAW_FILE_TYPE_SIB = 134,
    RAW_FILE_TYPE_JKS = 135,
    RAW_FILE_TYPE_PSAFE3 = 136,
    RAW_FILE_TYPE_NGRR = 137,
    RAW_FILE_TYPE_TREC = 138,
    RAW_FILE_TYPE_ENEX = 139,
    RAW_FILE_TYPE_IPT = 140,
    RAW_FILE_TYPE_AAF = 141,
    RAW_FILE_TYPE_MXF = 142,
    RAW_FILE_TYPE_SKETCH = 143,
    RAW_FILE_TYPE_AEP = 144,
    RAW_FILE_TYPE_TAX = 145,
    RAW_FILE_TYPE_MLV = 146,
};

// The kind of metadata tag a record carries; the tag trees group by it.
enum RAW_FILE_TAG : std::int32_t {
    RAW_FILE_TAG_NONE = -1,
    RAW_FILE_TAG_ARTIST = 0,        // audio, value = artist
    RAW_FILE_TAG_CAMERA = 1,        // photo, value = camera model
    RAW_FILE_TAG_OFFICE = 2,        // office document
    RAW_FILE_TAG_VIDEO_CAMERA = 3,  // film, value = camera model
    RAW_FILE_TAG_PDF = 4,           // PDF document
    RAW_FILE_TAG_ILLUSTRATION = 5,  // illustration
};
// Only these tags have a folder in the tag trees; anything else (-1 with a
// value included) is filed by extension.
inline bool IsTreeTag(std::int32_t tag) { return tag >= RAW_FILE_TAG_ARTIST && tag <= RAW_FILE_TAG_ILLUSTRATION; }

// Trailing blanks removed, then each of 0x01 \ / : ? " < > | * CR LF turned
// into "_": the characters a file name may not hold.
std::string ApiStrFilterBadFileName(std::string name);

// The sizing record of one raw-search candidate.
class CRawFileInfo {
public:
    // Made fresh for every sector by the driver.
    struct SearchContext {
        std::int64_t bufferStartSector = 0;   // first sector of the driver's buffer
        std::int64_t blockEndSector = 0;      // first sector after the current block
        std::uint32_t leadingZero = 0;        // 4 when the sector's first 4 bytes are zero
        std::uint32_t trailingZeroBytes = 0;  // 0..32 in steps of 4
        CRawFileInfo* newFile = nullptr;      // the record another hit made at this sector
        // The driver's buffer; every read beside the sector goes through it.
        SectorView view;
    };

    CRawFileInfo() = default;
    virtual ~CRawFileInfo() = default;
    // True when the record sizes itself by streaming sectors.
    virtual bool WhetherImplementGuess() { return false; }
    // The record leaves the open set unfinished (null sector and -1 at the end).
    virtual void WillBeRemove(std::uint8_t* /*sector*/, std::int64_t /*sectorNumber*/) {}
    // 1 when finished, 2 to be fed the next sector.
    virtual int CalcRawSize(std::uint8_t* /*sector*/, int /*sectorSize*/, std::int64_t /*sectorNumber*/,
                            SearchContext& /*ctx*/) {
        return 2;
    }

    // The name and tag value are stored filtered, so no path separator or
    // control character of file content ever reaches a node name.
    std::string GetRawFileName();
    void SetRawFileName(std::string name);
    // The caller's string is replaced by the filtered form too.
    void SetRawFileTagAndValue(RAW_FILE_TAG tag, std::string& value);
    void GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value);

    std::int64_t m_startSector = 0;
    std::int64_t m_size = 0;  // bytes; 0 = not known yet
    std::uint32_t m_type = 0;
    std::uint32_t m_analyserType = 0xFFFF;
    std::string m_rawFileName;
    std::string m_rawFileTime;
    std::int32_t m_tag = RAW_FILE_TAG_NONE;
    std::string m_tagValue;
    IRawFileAnalyser* m_analyser = nullptr;  // not owned
};

// The second side of analysers that check several frames or markers inside
// the driver's buffer; asked instead of AnalyseBuffer when present.
class ISpecialRawFileAnalyser {
public:
    virtual ~ISpecialRawFileAnalyser() = default;
    // Non-zero = match. `view` holds the bytes from bufferStartSector up to
    // blockEndSector and the spare bytes after; reads go through it.
    virtual int AnalyseBufferEx(std::uint8_t* sector, CRawFileInfo& record, std::int64_t sectorSize,
                                std::int64_t sectorNumber, std::int64_t bufferStartSector, std::int64_t blockEndSector,
                                const SectorView& view) = 0;
};

// One file format's recogniser. Mutable state lives in the object (set 0 is
// rebuilt for every search) or in the search state, never in statics: set 1
// is shared with the FAT repair, which must not change what a search sees.
class IRawFileAnalyser {
public:
    explicit IRawFileAnalyser(std::uint32_t ownType = 0xFFFFFFFFu) : m_analyserType(ownType) {}
    virtual ~IRawFileAnalyser() = default;
    // Reads the file from the device and sets the record's size; non-zero = success.
    virtual int GetRawFileSize(CRawFileInfo& /*record*/, IStorageDevice* /*device*/) { return 1; }
    // 1 when the sector starts a file of this format. Reads at most sector
    // size + 4,096 bytes from the sector's start and nothing before it:
    // both callers (the driver and the FAT repair's padded sector) hold that.
    virtual int AnalyseBuffer(std::uint8_t* /*sector*/, CRawFileInfo& /*record*/) { return 0; }
    virtual std::string GetRawFileName() { return std::string(); }
    virtual std::string GetRawFileTime() { return std::string(); }
    // A new record of the class the format needs; null drops the hit.
    virtual CRawFileInfo* CreateRawFileInfo() { return new CRawFileInfo(); }
    virtual ISpecialRawFileAnalyser* GetSpecialRawFile() { return nullptr; }
    // Tagged formats answer their tag and value; 0 = none.
    virtual int GetRawFileTagAndValue(RAW_FILE_TAG& /*tag*/, std::string& /*value*/) { return 0; }

    // The analyser's own RAW_FILE_TYPE; 0xFFFFFFFF when it decides per hit.
    std::uint32_t GetAnalyserType() const { return m_analyserType; }
    // The search this (set-0) analyser serves; null for set 1.
    CRawSearchState* GetSearchState() const { return m_searchState; }
    void SetSearchState(CRawSearchState* state) { m_searchState = state; }

protected:
    std::uint32_t m_analyserType;
    CRawSearchState* m_searchState = nullptr;
};

// Holds a registry slot whose analyser is not written yet: it carries the
// slot's type and never matches, so the slot counts (the FAT repair's map
// keys count by presence) without recognising anything by content.
class CPendingAnalyser : public IRawFileAnalyser {
public:
    CPendingAnalyser(const char* className, std::uint32_t type) : IRawFileAnalyser(type), m_className(className) {}
    const char* ClassName() const { return m_className; }

private:
    const char* m_className;
};

// The process-wide registry of analysers, in two equal sets: set 0 for the raw
// search (rebuilt for each search), set 1 for readers such as the FAT32
// first-cluster repair (built once).
class CRawFileAnalyserListSingle {
public:
    using AnalyserMap = std::map<std::uint32_t, IRawFileAnalyser*>;  // first 4 bytes, little-endian
    using AnalyserMultimap =
        std::multimap<std::uint16_t, IRawFileAnalyser*>;  // first 2 bytes, equal keys in insertion order
    using AnalyserList = std::list<IRawFileAnalyser*>;    // no fixed signature

    // Where the candidates of one two-byte prefix lie in a set's flat arrays.
    struct DispatchEntry {
        std::uint16_t mapBegin = 0;    // into MapKeys
        std::uint8_t mapCount = 0;     // map keys that start with the prefix
        std::uint8_t multiCount = 0;   // multimap entries of the prefix
        std::uint16_t multiBegin = 0;  // into MultiAnalysers
    };
    // O(1) dispatch of a set, rebuilt with it.
    struct Dispatch {
        std::vector<DispatchEntry> table;  // 65,536 entries, by LE16 of the first two bytes
        // One bit per two-byte prefix, set when its table entry names any
        // analyser. Most sectors have none, and 8 KiB stay in the first-level
        // cache where the 384 KiB table would cost a miss per sector.
        std::vector<std::uint64_t> keyed;
        std::vector<std::pair<std::uint32_t, IRawFileAnalyser*>> mapKeys;
        std::vector<IRawFileAnalyser*> multiAnalysers;
        std::vector<IRawFileAnalyser*> list;
    };

    static CRawFileAnalyserListSingle* CreateInstance();

    // Set 0 for 0, set 1 for any other value; the containers themselves.
    AnalyserMap& GetAnalyserMap(int set) { return set == 0 ? m_map0 : m_map1; }
    AnalyserMultimap& GetAnalyserMultimap(int set) { return set == 0 ? m_multimap0 : m_multimap1; }
    AnalyserList& GetAnalyserList(int set) { return set == 0 ? m_list0 : m_list1; }
    const Dispatch& GetDispatch(int set) const { return set == 0 ? m_dispatch0 : m_dispatch1; }

    // Empties set 0 and fills it again (the filter is not used: set 0 always
    // holds every analyser). The new set-0 analysers serve `state`.
    void ReinitAnalyzeList(IRecoveryFilter* filter, CRawSearchState* state = nullptr);

    // The analysers to ask about a sector, in order: the map entry of its
    // first 4 bytes, the multimap run of its first 2 bytes (both skipped when
    // the first 4 bytes are zero), then the list. Writes at most `capacity`
    // pointers and returns how many. Allocates nothing.
    int Candidates(int set, const std::uint8_t* sector, IRawFileAnalyser** out, int capacity) const;
    // The keyed part of Candidates (the map entry and the multimap run)
    // without the list, which the caller walks in d.list itself.
    static int KeyedCandidates(const Dispatch& d, const std::uint8_t* sector, IRawFileAnalyser** out, int capacity) {
        const std::uint32_t first4 = byteorder::LE32(sector);
        if (first4 == 0 || d.keyed.empty()) return 0;
        const std::uint32_t prefix = first4 & 0xFFFF;
        if (((d.keyed[prefix >> 6] >> (prefix & 63)) & 1) == 0) return 0;
        return KeyedFromTable(d, first4, out, capacity);
    }

    ~CRawFileAnalyserListSingle();
    CRawFileAnalyserListSingle(const CRawFileAnalyserListSingle&) = delete;
    CRawFileAnalyserListSingle& operator=(const CRawFileAnalyserListSingle&) = delete;

    // The key tables' sizes.
    static constexpr int kMapKeys = 81;
    static constexpr int kMultimapEntries = 42;
    static constexpr int kListEntries = 9;

private:
    CRawFileAnalyserListSingle();

    static void BuildRawFileAnalyserMap(AnalyserMap& map);
    static void BuildRawFileListMultimap(AnalyserMultimap& multimap);
    static void BuildRawFileAnalyserList(AnalyserList& list);
    static void ClearMapContents(AnalyserMap& map);
    static void ClearMultiMapContents(AnalyserMultimap& multimap);
    static void ClearListContents(AnalyserList& list);
    static void BuildDispatch(const AnalyserMap& map, const AnalyserMultimap& multimap, const AnalyserList& list,
                              Dispatch& out);
    static int KeyedFromTable(const Dispatch& d, std::uint32_t first4, IRawFileAnalyser** out, int capacity);

    AnalyserList m_list0;
    AnalyserMap m_map0;
    AnalyserMultimap m_multimap0;
    AnalyserList m_list1;
    AnalyserMap m_map1;
    AnalyserMultimap m_multimap1;
    Dispatch m_dispatch0;
    Dispatch m_dispatch1;
};

// A streaming record that is evicted or left unfinished goes to its format's
// device sizer, which then sizes it from the device under the same search.
template <class Owner>
void HandToTwin(CRawFileInfo& record, Owner* owner) {
    owner->Twin()->SetSearchState(owner->GetSearchState());
    record.m_analyser = owner->Twin();
}
