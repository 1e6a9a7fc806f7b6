#pragma once
// PDF documents, Illustrator drawings (a PDF, or PostScript whose header
// names the drawing program) and Encapsulated PostScript. A PDF has no
// length field: it ends at its last "%%EOF", which the streaming record
// looks for in the sector where the file's zero padding begins; the Info
// dictionary, read on the way, names the file and files it in the "PDF" or
// "AI" tag tree.

#include <cstdint>
#include <string>

#include "raw/FileProperty.h"
#include "raw/RawFileAnalyser.h"
#include "raw/ZeroEndRawFileInfo.h"

class FilePDFAnalyser;

namespace BruteForce {

// Reads Info dictionary entries from the plain text of a sector into a
// FileProperty: Title to the title, Producer to the producer, Creator (the
// program that made the document) to the author, Author to the last author,
// CreationDate and ModDate to the two times.
class PdfTitleAnalyzer {
public:
    // `text` holds `length` bytes: the sector, followed by the next one when
    // it is in the buffer. Nonzero when entries were stored.
    int ObtainPerSecPDFInformation(const std::uint8_t* text, int sectorSize, int length, FileProperty& out);

    // The steps, public for the tests.
    static bool RemoveNolessVec(const std::uint8_t* sector, int length);
    int SeparateInformation(const std::uint8_t* text, int length, FileProperty& out);
    // The string value of the entry whose name starts at `name`, `left`
    // bytes being readable from there.
    static std::string ObtainPerInfo(const std::uint8_t* name, int left);
    static std::string TimeChange(const std::string& value);
    static bool JudeLegalInfo(const std::string& value);
    static bool RemoveIllegalTitle(const std::string& title);
    static const std::uint8_t* myStrstr(const std::uint8_t* text, int length, const char* pattern);
    static int StringToInt(const std::string& s);
    // A value for a name: filtered, cut to 25 characters, checked.
    static std::string CleanValue(std::string value);

    int m_lastLength = 0;
};

class PdfAnalyzer : public IRawFileAnalyser {
public:
    PdfAnalyzer();
    ~PdfAnalyzer() override;
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FilePDFAnalyser* Twin() { return m_twin; }

    class PdfRawFileInfo;

private:
    FilePDFAnalyser* m_twin;
};

class PdfAnalyzer::PdfRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::uint64_t kMinimumEnd = 20480;
    static constexpr std::uint64_t kSizeCap = 200000000;
    explicit PdfRawFileInfo(PdfAnalyzer* owner) : m_owner(owner) { m_type = RAW_FILE_TYPE_PDF; }
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    // Name, tag and time from the Info entries read so far.
    void PdfTagDealwith();

    std::uint64_t m_minimumEnd = kMinimumEnd;
    std::uint64_t m_minimumEndOffset = 0;
    std::uint32_t m_firstSector = 1;
    std::uint32_t m_nextInBuffer = 0;
    std::uint64_t m_cap = kSizeCap;
    std::uint32_t m_infoPending = 1;
    FileProperty m_properties;
    PdfTitleAnalyzer m_titleAnalyzer;

private:
    PdfAnalyzer* m_owner;
};

// "%!PS-Adobe" followed, within `length`, by "Adobe Illustrator", with the
// former in the first 4,095 bytes.
bool JudgeAI(const std::uint8_t* text, int length);

// Text EPS ("%!PS-Adobe-") and the binary EPS header (C5 D0 D3 C6), whose
// section table gives the size at once.
class CEPSAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kTextCap = 0x514000000;
    CEPSAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_EPS) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;

    // Set by every text hit of this search, never cleared.
    std::uint32_t m_textSeen = 0;

private:
    // Whether the hit just analysed was text: the record follows it, so a
    // binary EPS after a text one keeps its header's size.
    bool m_lastHitText = false;
};

}  // namespace BruteForce

// Sizes a PDF candidate the streaming did not finish: walks the device to
// "%%EOF" in a zero-tailed sector, or to the next "%PDF-".
class FilePDFAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kWalkCap = 0xD000000;
    FilePDFAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_PDF) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
    int GetRawFileSizeEx(CRawFileInfo& record, IStorageDevice* device);
};
