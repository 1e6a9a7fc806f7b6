#pragma once
// Installer packages (xar, whose zlib-compressed XML table of contents
// gives the heap's extent, and the 7F "PKG" layout with its total size in
// the header) and bzip2 UDIF disk images, ended by their 512-byte "koly"
// trailer.

#include <string>
#include <vector>

#include "raw/RawFileAnalyser.h"
#include "raw/analysers/ZlibInflater.h"

class FilePKGAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kSizeLimit = 0x280000000;
    static constexpr std::uint64_t kMaxToc = 0x300000;
    // Deeper tables of contents are refused before they are parsed: the
    // parser and the walk must not exhaust the scan thread's stack.
    static constexpr int kMaxDepth = 256;

    FilePKGAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_PKG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;

    // The heap's end (largest offset + length over the "data" elements of
    // the "file" entries) from an inflated table of contents; -1 when the
    // text is too deep, does not parse or holds no file entry.
    static std::int64_t HeapEndFromToc(const std::string& xml);
    // The same from TinyXML's tree of the text.
    static std::int64_t HeapEndFromTocTree(const std::string& xml);
    // The same in one pass over the text, for the plain XML that xar writes
    // (ASCII, no entities, comments, CDATA or processing instructions past
    // the declaration, quoted attributes): false when the text is anything
    // else, and the tree must decide.
    static bool HeapEndFromTocScan(const std::string& xml, std::int64_t& end);
    // The nesting depth of the elements of an XML text, stopping as soon as
    // it passes `limit`.
    static int XmlDepth(const std::string& xml, int limit);

private:
    ZlibInflater m_tocInflater{15};
    std::vector<std::uint8_t> m_packedToc;
    std::string m_toc;
};

class FileDMGAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 0x82000001;
    FileDMGAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_DMG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace Tessel {

class DMGAnalyser : public IRawFileAnalyser {
public:
    DMGAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_DMG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileDMGAnalyser* TwinAnalyser() {
        m_twin.SetSearchState(GetSearchState());
        return &m_twin;
    }

    class DMGRawFileInfo : public CRawFileInfo {
    public:
        static constexpr std::int64_t kSizeCap = 0xC800000;
        explicit DMGRawFileInfo(DMGAnalyser* owner) : m_owner(owner) {}
        bool WhetherImplementGuess() override { return true; }
        void WillBeRemove(std::uint8_t*, std::int64_t) override {
            if (m_owner) m_analyser = m_owner->TwinAnalyser();
        }
        int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
        std::int64_t m_cap = kSizeCap;

    private:
        DMGAnalyser* m_owner;
    };

private:
    FileDMGAnalyser m_twin;
};

}  // namespace Tessel
