#pragma once
// The EXIF block of a photo: "Exif" 00 00, then a TIFF header ("II" or "MM",
// 42, the first directory's offset) and a chain of 12-byte-entry directories
// whose offsets count from that header. The JPEG and TIFF sizers read the
// camera make, model and capture time from it to name a photo, and the
// thumbnail to size it. The parse state lives in the reader object, one per
// sizer, never in statics.

#include <cstdint>
#include <string>
#include <vector>

namespace BruteForce {

// True when every character is a letter, digit, blank, comma, hyphen, full
// stop, at sign or underscore: a camera text fit to become part of a name.
bool ApiIsInvalidCharInFileName(const std::string& text);

}  // namespace BruteForce

// What one parse found. Copies of the thumbnail, user comment and maker note
// are made only when the options ask for them; else only their place.
struct tag_ExifInfo {
    static constexpr std::uint8_t kCopyThumbnail = 2;
    static constexpr std::uint8_t kCopyComment = 4;
    static constexpr std::uint8_t kCopyMakerNote = 8;

    std::uint8_t options = 0;
    std::string CameraMake;     // at most 31 characters
    std::string CameraModel;    // at most 39
    std::string Version;        // 4
    std::string DateTime;       // capture date and time, 19
    std::string DigitizedTime;  // 19
    std::uint32_t Orientation = 0;
    std::uint32_t FlashUsed = 0;
    std::uint32_t LightSource = 0;
    std::uint32_t MeteringMode = 0;
    std::uint32_t ExposureProgram = 0;
    std::uint32_t ISOequivalent = 0;
    std::uint32_t CompressionLevel = 0;
    float FocalLength = 0, ExposureTime = 0, ApertureFNumber = 0, Distance = 0, CCDWidth = 0, ExposureBias = 0;
    float FocalplaneXRes = 0, FocalplaneYRes = 0, FocalplaneUnits = 0;
    float Xresolution = 0, Yresolution = 0, ResolutionUnit = 0, Brightness = 0;
    // Offsets from the TIFF header and sizes; copies when asked for.
    std::uint32_t UserCommentOffset = 0, CommentSize = 0;
    std::uint32_t MakerNoteOffset = 0, MakerNoteSize = 0;
    std::uint32_t ThumbnailOffset = 0, ThumbnailSize = 0;
    std::vector<std::uint8_t> UserComment, MakerNote, Thumbnail;
};

class CExifReader {
public:
    // The record the next parse fills (null: an internal one).
    void SetExitInfo(tag_ExifInfo* info) { m_info = info ? info : &m_own; }
    void GetExifInfo(tag_ExifInfo* out) const {
        if (out) *out = *m_info;
    }
    // The section starts at "Exif"; 1 parsed, 0 failed with the reason in
    // EXIF_GetErrorString(). `fileBase` is kept for callers that pass the
    // whole file; every offset is checked against the section alone.
    int EXIF_process_EXIF(const std::uint8_t* fileBase, unsigned fileLength, const std::uint8_t* section,
                          unsigned sectionLength);
    const char* EXIF_GetErrorString() const { return m_szLastError; }

    double EXIF_ConvertAnyFormat(const std::uint8_t* value, int format) const;
    std::int32_t EXIF_Get32s(const std::uint8_t* p) const;
    std::uint32_t EXIF_Get32u(const std::uint8_t* p) const { return static_cast<std::uint32_t>(EXIF_Get32s(p)); }
    std::uint16_t EXIF_Get16u(const std::uint8_t* p) const;

    // Bytes per value of the TIFF field types 1..12.
    static constexpr int m_BytesPerFormat[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    // A chain of distinct directories is still bounded: no real EXIF block
    // nests or chains this many.
    static constexpr int kMaxDirectories = 64;

private:
    // `dirOffset` counts from the TIFF header `base`, which holds `length` bytes.
    int EXIF_ProcessExifDir(const std::uint8_t* base, std::uint64_t length, std::uint64_t dirOffset);
    void Fail(const char* text) { m_szLastError = text; }

    tag_ExifInfo m_own;
    tag_ExifInfo* m_info = &m_own;
    bool m_MotorolaOrder = false;
    std::uint32_t m_ExifImageWidth = 0;
    const char* m_szLastError = "";
    std::vector<std::uint64_t> s_DirStartList;
};
