#pragma once
// ZIP archives and the formats built on them (Office Open XML, iWork,
// OpenDocument, EPUB, iOS packages, Outlook archives, tax and CorelDRAW
// files). An archive is a run of local file headers, each followed by its
// member's data, then the central directory and its end record (plus an
// optional comment); Zip64 archives add their own end record and locator.
// The walk steps from header to header by the sizes the headers give; a
// member written with a data descriptor has no size in its header, and the
// end is then found by the end record.

#include <string>

#include "raw/FileProperty.h"
#include "raw/OfficeTagFromXML.h"
#include "raw/RawFileAnalyser.h"

class WindowReader;

namespace zip {

constexpr std::uint32_t kLocalSig = 0x04034B50;
constexpr std::uint32_t kCentralSig = 0x02014B50;
constexpr std::uint32_t kEndSig = 0x06054B50;
constexpr std::uint32_t kZip64EndSig = 0x06064B50;
constexpr std::uint32_t kZip64LocatorSig = 0x07064B50;
constexpr std::uint32_t kLocalSize = 30;
constexpr std::uint32_t kCentralSize = 46;
constexpr std::uint32_t kEndSize = 22;
constexpr std::uint32_t kZip64EndSize = 56;
constexpr std::uint32_t kZip64LocatorSize = 20;
constexpr std::uint16_t kDataDescriptorFlag = 0x0008;
constexpr std::uint16_t kZip64ExtraId = 0x0001;

}  // namespace zip

// What one header tells the walk.
struct ZipBlock {
    std::uint32_t signature = 0;
    std::uint64_t size = 0;     // distance to the next header
    std::uint16_t flags = 0;    // local headers
    bool sizesInHeader = true;  // local headers: no data descriptor
    bool zeroSizes = false;     // local headers: both size words zero
    bool isCore = false;        // the member "docProps/core.xml"
    std::string name;           // local headers
};

class classZipSearch {
public:
    static constexpr std::uint32_t kMaxMethod = 10;
    static constexpr std::uint32_t kMaxNameLength = 4096;
    // Longest name a streaming walk takes.
    static constexpr std::uint32_t kMaxStreamName = 1024;

    // A known signature with enough bytes for its fixed part; a local header
    // also needs a method up to 10 and a name under 4,097 bytes.
    static bool IsValidHeader(const std::uint8_t* header, std::size_t available);
    static bool IsValidLocalZipFileHeader(const std::uint8_t* header, std::size_t available);
    static bool IsValidCentralDirectoryHeader(const std::uint8_t* header, std::size_t available);
    static bool IsValidEndCentralDir(const std::uint8_t* header, std::size_t available);
    static bool IsValidZip64EndCentralDirRecord(const std::uint8_t* header, std::size_t available);
    static bool IsValidZip64EndCentralDirLocator(const std::uint8_t* header, std::size_t available);

    // The header at `header` (with `available` bytes from it): its block
    // size, and the member type after the member-name rules. `streaming`
    // picks the streaming form of the rules. 0 when the header is unknown,
    // its name or extra field is not all there, or a Zip64 size is missing.
    static int GetBlockSize(const std::uint8_t* header, std::size_t available, bool office, bool streaming,
                            std::uint32_t& memberType, ZipBlock& block);

    // The member type after one member (both rule forms); `after` is the
    // bytes that follow the name.
    static std::uint32_t ClassifyMember(const std::string& name, const std::uint8_t* after, std::size_t afterLength,
                                        bool office, bool streaming, bool local, std::uint32_t type);
};

// An iOS application package by its first member's name.
bool ZipIpaFileType(const std::string& firstName);

class FileZIPAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kWalkLimit = 0x104000000ULL;
    static constexpr std::uint64_t kTailLimit = 0xC800000ULL;
    static constexpr std::uint64_t kProbableLimit = 0xD000000ULL;

    FileZIPAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_ZIP) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
    CRawFileInfo* CreateRawFileInfo() override;

    // Office and drawing flags from the first member, streaming form (the
    // first sector's bytes) and random-access form (the first name).
    static void JudgeMaybeOfficeType(const std::uint8_t* sector, std::size_t length, bool& office, bool& drawing);
    static void JudgeMaybeOfficeType(const std::string& firstName, bool& office, bool& drawing);
    // The end of the archive whose end record lies at or after `offset`:
    // that record's end, or -1 when none is found before the limit.
    std::int64_t GetProbablySize(std::uint64_t offset, WindowReader& reader);

    class ZIPRawFileInfo;
    Tessel::OfficeTagFromXML& CoreReader() { return m_coreReader; }

private:
    std::uint8_t m_office = 0;
    std::uint8_t m_drawing = 0;
    Tessel::OfficeTagFromXML m_coreReader;  // one inflate buffer for the search
};

class FileZIPAnalyser::ZIPRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::uint64_t kSizeCap = 200000000;
    static constexpr std::uint64_t kOfficeSizeCap = 20000000;

    explicit ZIPRawFileInfo(FileZIPAnalyser* owner) : m_owner(owner) { m_type = RAW_FILE_TYPE_ZIP; }
    bool WhetherImplementGuess() override { return true; }
    // Names the record and leaves its size to the device walk.
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    void FillFileInfo(std::int64_t sectorNumber, int sectorSize, std::uint32_t tail, bool setSize = true);

    std::uint8_t m_office = 0;
    std::uint8_t m_firstSizesKnown = 0;
    std::uint8_t m_continueWalk = 1;
    std::uint64_t m_walkOffset = 0;
    std::uint64_t m_sizeCap = kSizeCap;
    Tessel::tagZipLocalFileHeader m_coreHeader;
    FileProperty m_property;
    std::uint32_t m_coreRead = 0;
    std::uint32_t m_memberType = RAW_FILE_TYPE_ZIP;

private:
    // 1 = walked, 0 = failed (the archive ends), 2 = wait for more bytes.
    int CheckZIPBlock(const SectorView& view, std::uint64_t base);
    bool EndSearch(const std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, const SearchContext& ctx);
    void JudeOleType(const std::uint8_t* sector, int sectorSize);
    // At the end record, with the central directory still in the view.
    bool ReadCentralDirectory(const SectorView& view, std::uint32_t cdOffset, std::uint32_t cdSize);

    FileZIPAnalyser* m_owner;
    bool m_started = false;
    bool m_finished = false;
    bool m_corePending = false;
    std::uint64_t m_coreAbs = 0;  // absolute byte of the pending core.xml header
};
