#pragma once
// Drawings, 3D data, a music score, key and password stores, a project file
// and an NGRR file: streaming analysers without a twin (except 3D Studio),
// most of which end a file at the zero padding after it.

#include <cstring>

#include "raw/RawFileAnalyser.h"

namespace RawSpeed {

// The shared end rule: past a minimum length, a sector whose zero tail is
// long enough ends the file at its used length.
class ZeroTailRawFileInfo : public CRawFileInfo {
public:
    struct Rule {
        std::int64_t minLength;
        std::uint32_t zeroTail;
        std::int64_t cap;
        const char* nameTail;  // after the sector range
        bool sizedPastCap;     // false: past the cap the record ends without a size
    };
    explicit ZeroTailRawFileInfo(const Rule& rule) : m_rule(rule) {}
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

private:
    Rule m_rule;
};

class PSAFE3Analyser : public IRawFileAnalyser {
public:
    PSAFE3Analyser() : IRawFileAnalyser(RAW_FILE_TYPE_PSAFE3) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class SIBAnalyser : public IRawFileAnalyser {
public:
    SIBAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_SIB) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class JKSAnalyser : public IRawFileAnalyser {
public:
    JKSAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_JKS) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class WpgAnalyser : public IRawFileAnalyser {
public:
    WpgAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_WPG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class NGRRAnalyser : public IRawFileAnalyser {
public:
    NGRRAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_NGRR) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class NGRRRawFileInfo : public CRawFileInfo {
public:
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    std::int64_t m_cap = 52428800;
    std::int64_t m_chunk = 60;
};

class AEPAnalyser : public IRawFileAnalyser {
public:
    AEPAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_AEP) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class AEPRawFileInfo : public CRawFileInfo {
public:
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    std::int64_t m_rifxEnd = 20;
    std::int64_t m_cap = 100000000;
    bool m_firstCall = true;
    bool m_xmpSeen = false;
};

}  // namespace RawSpeed

// ---- 3D Studio and 3DS card images ----

class File3DSAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 1000000000;
    File3DSAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_3DS) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

class New3DSAnalyser : public IRawFileAnalyser {
public:
    New3DSAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_3DS) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    File3DSAnalyser* TwinAnalyser() {
        m_twin.SetSearchState(GetSearchState());
        return &m_twin;
    }

private:
    File3DSAnalyser m_twin;
};

class New3DSRawFileInfo : public CRawFileInfo {
public:
    explicit New3DSRawFileInfo(New3DSAnalyser* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t*, std::int64_t) override {
        if (m_owner) m_analyser = m_owner->TwinAnalyser();
    }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    std::int64_t m_position = 0;
    std::int64_t m_cap = 200000000;
    bool m_isMM = true;
    bool m_unjudged = true;

private:
    New3DSAnalyser* m_owner;
};

}  // namespace RawSpeed

namespace BruteForce {

// ---- FreeHand 11: ended where its zero padding begins ----

class CFH11Analyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kSizeCap = 0xD000000;
    CFH11Analyser() : IRawFileAnalyser(0xFFFFFFFFu) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

// ---- DXF ----

class CDXFAnalyser : public IRawFileAnalyser, public ISpecialRawFileAnalyser {
public:
    static constexpr std::int64_t kSizeCap = 0xD000000;
    CDXFAnalyser() : IRawFileAnalyser(0xFFFFFFFFu) {}
    ISpecialRawFileAnalyser* GetSpecialRawFile() override { return this; }
    int AnalyseBufferEx(std::uint8_t* sector, CRawFileInfo& record, std::int64_t sectorSize, std::int64_t sectorNumber,
                        std::int64_t bufferStartSector, std::int64_t blockEndSector, const SectorView& view) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class CDXFRawFileInfo : public CRawFileInfo {
public:
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    char m_marker[10] = {};
    std::uint32_t m_markerLength = 0;
};

// ---- DWG ----

class CDWGAnalyser : public IRawFileAnalyser {
public:
    CDWGAnalyser() : IRawFileAnalyser(0xFFFFFFFFu) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class CDWGRawInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kSizeCap = 0x514000000;
    static constexpr std::uint32_t kCollect = 984;
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    // The 2004-format header at 0x80, XOR-decoded in place; false when a
    // check fails.
    static bool DecodeAC1018Header(const std::uint8_t* in, std::int64_t& size);
    // The 2007 file header from the 984 bytes after 0x80, decompressed when
    // stored compressed; false when it cannot be read.
    static bool readAC1021MetaData(const std::uint8_t* collected, std::int64_t& size);
    static constexpr std::size_t kAC1021HeaderSize = 272;
    // Exactly dstSize bytes from srcSize compressed ones; false on any
    // count or offset that leaves either buffer.
    static bool DecompressAC1021(const std::uint8_t* src, std::size_t srcSize, std::uint8_t* dst, std::size_t dstSize);

    std::uint32_t m_locatorsRead = 0;
    std::uint32_t m_locatorCount = 0;
    bool m_countRead = false;
    std::uint32_t m_family = 0;  // 1 R13-R15, 2 2004/2010/2013, 3 2007
    std::int64_t m_largest = 0;
};

// ---- SQLite-based libraries ----

class CFCPEvtAnalyser : public IRawFileAnalyser {
public:
    CFCPEvtAnalyser() : IRawFileAnalyser(0xFFFFFFFFu) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class CFCPEvtFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kSizeCap = 200000000;
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    // 26 to 34 cells whose first texts name address-book records; `page`
    // holds `pageSize` bytes. Every offset and length from the page is
    // checked against it.
    static bool AnalyseABCDDBFileType(const std::uint8_t* page, std::uint32_t pageSize);
    // The schema texts that tell a MUSE library or a Sketch file.
    static std::uint32_t JudeMuseSuffix(const std::uint8_t* firstCell, std::size_t firstCellBytes,
                                        const std::uint8_t* contentStart, std::size_t contentBytes);

    std::uint32_t m_pageSize = 0;
    std::int64_t m_bytesSoFar = 0;  // pages walked
    std::uint32_t m_pageCount = 0;
    std::uint32_t m_emptyPages = 0;
    std::uint32_t m_lastRunPage = 0;
    std::uint32_t m_freeListCount = 0;
    std::uint32_t m_cellContentStart = 0;
    std::uint32_t m_firstCell = 0;
    bool m_suffixPending = true;
    bool m_headerRead = false;
    bool m_pageCountValid = false;

private:
    int EndSearch(std::int64_t sectorNumber);
};

}  // namespace BruteForce
