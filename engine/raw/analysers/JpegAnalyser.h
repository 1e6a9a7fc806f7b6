#pragma once
// JPEG: SOI (FF D8), marker segments with big-endian lengths, a frame header,
// a start of scan and entropy-coded data up to EOI (FF D9). A photo ends
// where FF D9 is followed by the zero tail of its last sector. The streaming
// record reads the EXIF block and the frame header on the way, to name the
// photo by its camera and to learn how large it must at least be; the twin
// walks the markers through a read window when the record is evicted.

#include <string>

#include "raw/RawFileAnalyser.h"
#include "raw/analysers/ExifReader.h"

class WindowReader;

class FileJPGAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kJfifCap = 0x1A000000;
    static constexpr std::int64_t kOtherCap = 0xD000000;

    FileJPGAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_JPG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    // 1 with the size set; 0 when the start is no JPEG that can be sized.
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
    std::string GetRawFileName() override { return m_cameraName; }
    std::string GetRawFileTime() override { return m_cameraTime; }
    int GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) override;

    // The end search: from file offset p, the first zero-tailed sector that
    // holds FF D9; the cap (or a failed read) leaves the size at the place
    // reached.
    std::int64_t AddFileSizeByPerSecSize(WindowReader& reader, std::int64_t p, std::int64_t cap) const;

private:
    std::string m_cameraName;
    std::string m_cameraTime;
    std::int64_t m_sectorSize = 512;
    std::int32_t m_tag = RAW_FILE_TAG_NONE;
    std::string m_tagValue;
    CExifReader m_exif;
};

namespace BruteForce {

class JpegAnalyzer : public IRawFileAnalyser, public ISpecialRawFileAnalyser {
public:
    JpegAnalyzer() : IRawFileAnalyser(RAW_FILE_TYPE_JPG) {}
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
    ISpecialRawFileAnalyser* GetSpecialRawFile() override { return this; }
    int AnalyseBufferEx(std::uint8_t* sector, CRawFileInfo& record, std::int64_t sectorSize, std::int64_t sectorNumber,
                        std::int64_t bufferStartSector, std::int64_t blockEndSector, const SectorView& view) override;
    FileJPGAnalyser* Twin() { return &m_twin; }

private:
    FileJPGAnalyser m_twin;
};

class JpegRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kExifCap = 52428800;
    static constexpr std::int64_t kPlainCap = 0x1400000;
    static constexpr std::uint32_t kMaxExifWalks = 7;

    explicit JpegRawFileInfo(JpegAnalyzer* owner) : m_owner(owner) { m_type = RAW_FILE_TYPE_JPG; }
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_minSize = 1024;
    std::int64_t m_pixelCount = 0;
    std::int64_t m_sizeCap = kExifCap;
    std::int64_t m_markerScan = 0;
    std::uint32_t m_structureValid = 1;
    std::uint32_t m_hasExif = 0;
    std::uint32_t m_exifWalks = 0;
    std::int64_t m_prevSector = 0;
    bool m_havePrev = false;
    std::int64_t m_exifWidth = 0;
    // The previous sector ended in FF D9: the photo ends there when the next
    // sector is empty or starts another file.
    bool m_endAtSectorEnd = false;

    // Walks the EXIF block whose "Exif" lies at absolute byte `exif` of the view.
    void FindExifCameraInfo(const SectorView& view, std::uint64_t exif);

private:
    void AnalyzeExifTag(const SectorView& view, std::uint64_t tiff, std::uint64_t dir, std::uint32_t segment,
                        bool little, bool& makeSeen);
    void MarkerScan(const SectorView& view, std::uint64_t base, std::int64_t pos, int sectorSize);
    int Finish(std::int64_t size, std::int64_t endSector);

    JpegAnalyzer* m_owner;
};

}  // namespace BruteForce
