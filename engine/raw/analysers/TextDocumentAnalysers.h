#pragma once
// Text documents with no length field: RTF, HTML (8-bit and UTF-16), and SVG
// with its XML neighbours (GPX tracks, property lists, Evernote exports, CSL
// styles). Text never holds zero bytes, so the streaming records end a file
// in the first sector that carries zero padding, or at an end marker; each
// streaming analyser owns a device sizer for candidates it did not finish.

#include <cstdint>

#include "raw/RawFileAnalyser.h"
#include "raw/SearchSignFileAnalyser.h"

// Follows the brace depth to the closing brace of the outermost group.
class FileRTFAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kWalkCap = 0xCFFFFFF + 1;
    FileRTFAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_RTF) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// "</html>" in a zero-tailed sector, within 1 MiB.
class FileHTMAnalyser : public SearchSignFileAnalyser {
public:
    static constexpr std::uint64_t kMaxSize = 0x100000;
    FileHTMAnalyser() : SearchSignFileAnalyser(RAW_FILE_TYPE_HTM) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// UTF-16LE HTML behind a byte-order mark, walked unit by unit to "</HTML>"
// or to a unit no text holds.
class FileUnicodeHTMAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kWalkCap = 0x100001;
    FileUnicodeHTMAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_HTM) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// SVG and its neighbours: walks to the first zero-tailed sector and looks
// there for an end marker.
class FileSVGAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kWalkCap = 0x500000;
    FileSVGAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_SVG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

// The record RTF and HTML share: the file ends where the zero padding of
// the first sector with at least 8 trailing zero bytes begins, just after
// its last text byte.
class ZeroTailTextRawFileInfo : public CRawFileInfo {
public:
    ZeroTailTextRawFileInfo(IRawFileAnalyser* owner, IRawFileAnalyser* twin, std::uint64_t minimum, std::uint64_t cap,
                            std::uint32_t type)
        : m_minimumEnd(minimum), m_cap(cap), m_owner(owner), m_twin(twin) {
        m_type = type;
    }
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::uint64_t m_minimumEnd;
    std::uint64_t m_minimumEndOffset = 0;
    std::uint64_t m_cap;

private:
    std::uint32_t m_unit = 1;  // bytes per character: 2 behind a UTF-16 byte-order mark
    IRawFileAnalyser* m_owner;
    IRawFileAnalyser* m_twin;
};

class RTFAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kMinimum = 20;
    static constexpr std::uint64_t kSizeCap = 314572800;
    RTFAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_RTF) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileRTFAnalyser* Twin() { return &m_twin; }

    class RTFRawFileInfo : public ZeroTailTextRawFileInfo {
    public:
        explicit RTFRawFileInfo(RTFAnalyser* owner)
            : ZeroTailTextRawFileInfo(owner, owner->Twin(), kMinimum, kSizeCap, RAW_FILE_TYPE_RTF) {}
    };

private:
    FileRTFAnalyser m_twin;
};

class HTMLAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kMinimum = 20;
    static constexpr std::uint64_t kSizeCap = 0x100000;
    HTMLAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_HTM) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileHTMAnalyser* Twin() { return &m_twin; }

    class HTMLRawFileInfo : public ZeroTailTextRawFileInfo {
    public:
        explicit HTMLRawFileInfo(HTMLAnalyser* owner)
            : ZeroTailTextRawFileInfo(owner, owner->Twin(), kMinimum, kSizeCap, RAW_FILE_TYPE_HTM) {}
    };

private:
    FileHTMAnalyser m_twin;
};

}  // namespace RawSpeed

namespace Tessel {

class SVGAnalyser : public IRawFileAnalyser {
public:
    SVGAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_SVG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileSVGAnalyser* Twin() { return &m_twin; }
    // GPX (130) or property list (131) by the XML header, else 0.
    static std::uint32_t JudeGpxAndPlist(const std::uint8_t* sector);

private:
    FileSVGAnalyser m_twin;
};

class SVGRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::uint64_t kSizeCap = 0xA00000;
    explicit SVGRawFileInfo(SVGAnalyser* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::uint64_t m_minimumEnd = 0;
    std::uint64_t m_minimumEndOffset = 0;
    std::uint64_t m_cap = kSizeCap;
    std::uint64_t m_endOffset = 0;
    std::uint32_t m_binary = 0;

private:
    SVGAnalyser* m_owner;
};

}  // namespace Tessel
