// What the raw signature search offers its neighbours: the analyser interface,
// the per-candidate record, the process-wide analyser registry and the table
// of raw-file extensions. The raw search itself fills the registry; until its
// analysers exist the registry is empty, so nothing is recognised by content.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

class IStorageDevice;
class IRawFileAnalyser;

// Number of raw file types; g_s_strFileExtName has one 9-byte slot per type.
constexpr int RAW_FILE_TYPE_COUNT = 147;
// Upper-case extensions by raw file type ("Raw" for 0; "pkg" and "icns" as they are).
extern const char g_s_strFileExtName[RAW_FILE_TYPE_COUNT][9];

// The sizing record of one raw-search candidate.
class CRawFileInfo {
public:
    struct SearchContext {
        int64_t bufferStartSector = 0;
        int64_t blockEndSector = 0;
        uint32_t leadingZero = 0;
        uint32_t trailingZeroBytes = 0;
        CRawFileInfo* newFile = nullptr;
    };

    CRawFileInfo() = default;
    virtual ~CRawFileInfo() = default;
    // True when the record sizes itself by streaming sectors.
    virtual bool WhetherImplementGuess() { return false; }
    virtual void WillBeRemove(uint8_t* /*sector*/, int64_t /*sectorNumber*/) {}
    // 1 when finished, 2 to be fed the next sector.
    virtual int CalcRawSize(uint8_t* /*sector*/, int /*sectorSize*/, int64_t /*sectorNumber*/,
                            SearchContext& /*ctx*/) {
        return 2;
    }

    int64_t m_startSector = 0;
    int64_t m_size = 0;
    uint32_t m_type = 0;
    uint32_t m_analyserType = 0xFFFF;
    std::string m_rawFileName;
    std::string m_rawFileTime;
    int32_t m_tag = -1;
    std::string m_tagValue;
    IRawFileAnalyser* m_analyser = nullptr;
};

// One file format's recogniser.
class IRawFileAnalyser {
public:
    virtual ~IRawFileAnalyser() = default;
    // Reads the file from the device and sets the record's size; non-zero = success.
    virtual int GetRawFileSize(CRawFileInfo& /*record*/, IStorageDevice* /*device*/) { return 1; }
    // 1 when the sector starts a file of this format.
    virtual int AnalyseBuffer(unsigned char* /*sector*/, CRawFileInfo& /*record*/) { return 0; }
    virtual std::string GetRawFileName() { return std::string(); }
    virtual std::string GetRawFileTime() { return std::string(); }
    virtual CRawFileInfo* CreateRawFileInfo() { return new CRawFileInfo(); }
};

// The process-wide registry of analysers, in two equal sets: set 0 for the raw
// search, set 1 for readers such as the FAT32 first-cluster repair.
class CRawFileAnalyserListSingle {
public:
    using AnalyserMap = std::map<uint32_t, IRawFileAnalyser*>;          // first 4 bytes, little-endian
    using AnalyserMultimap = std::multimap<uint16_t, IRawFileAnalyser*>;// first 2 bytes, little-endian
    using AnalyserList = std::list<IRawFileAnalyser*>;                  // no fixed signature

    static CRawFileAnalyserListSingle* CreateInstance();

    // Set 0 for 0, set 1 for any other value; the containers themselves.
    AnalyserMap& GetAnalyserMap(int set) { return set == 0 ? m_map0 : m_map1; }
    AnalyserMultimap& GetAnalyserMultimap(int set) { return set == 0 ? m_multimap0 : m_multimap1; }
    AnalyserList& GetAnalyserList(int set) { return set == 0 ? m_list0 : m_list1; }

    ~CRawFileAnalyserListSingle();
    CRawFileAnalyserListSingle(const CRawFileAnalyserListSingle&) = delete;
    CRawFileAnalyserListSingle& operator=(const CRawFileAnalyserListSingle&) = delete;

private:
    CRawFileAnalyserListSingle() = default;

    AnalyserList m_list0;
    AnalyserMap m_map0;
    AnalyserMultimap m_multimap0;
    AnalyserList m_list1;
    AnalyserMap m_map1;
    AnalyserMultimap m_multimap1;
};
