#pragma once
// MPEG audio frame headers (MPEG-1, MPEG-2 and the MPEG 2.5 extension),
// ID3v2 synchsafe integers, and the text side of ID3 tags: the encoding byte
// of a text frame, a guess of the character set of Latin-1-flagged text
// (taggers often store local code pages there) and the conversion to UTF-8.

#include <cstdint>
#include <string>

class CMPAHeader {
public:
    // Frame sizes outside 1..kMaxFrameSize are no frame at all.
    static constexpr std::uint32_t kMaxFrameSize = 352800;

    // Decodes four header bytes; the caller tests the sync bits. False for a
    // reserved version, layer, bit-rate or sampling-rate index, emphasis 2,
    // or an MPEG-1 Layer II bit rate its channel mode may not use.
    bool Init(const std::uint8_t* header);
    std::uint32_t CalcFrameSize() const;

    bool m_lsf = false;
    std::uint32_t m_version = 0;  // 0 MPEG 2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1
    std::uint32_t m_layer = 0;    // 0 Layer I, 1 Layer II, 2 Layer III
    std::uint32_t m_emphasis = 0;
    std::uint32_t m_channelMode = 0;  // 0 stereo, 1 joint, 2 dual, 3 single
    std::uint32_t m_samplingRate = 0;
    std::uint32_t m_samplesPerFrame = 0;
    std::uint32_t m_bitRate = 0;  // bit/s
    std::uint32_t m_padding = 0;
    std::uint32_t m_modeExtension = 0;
    bool m_copyright = false;
    bool m_original = false;
    bool m_crc = false;
};

// The cheap test every frame candidate passes first: 11 sync bits and a
// bit-rate index that is not 15.
inline bool IsFrameSync(const std::uint8_t* p) { return p[0] == 0xFF && p[1] >= 0xE0 && p[2] <= 0xEF; }
// "ID3" and a major version this reader knows (2.3 or 2.4).
inline bool IsId3Start(const std::uint8_t* p) {
    return p[0] == 'I' && p[1] == 'D' && p[2] == '3' && (p[3] == 3 || p[3] == 4);
}

// Bytes an APE tag takes when a frame walk meets it: the whole tag when `p`
// (32 bytes) is a version-2 tag header with a sane size, else the fixed
// allowance kept for tags that cannot be measured here.
std::uint32_t ApeTagLengthAt(const std::uint8_t* p);

// The frame size of a synced, decodable header, or 0.
std::uint32_t Mp3FrameSize(const std::uint8_t* header);

namespace classMp3Search {
// Seven bits from each of four bytes, most significant first; false when a
// byte has its top bit set.
bool GetSynchsafeInteger(const std::uint8_t* p, std::uint32_t* out);
}  // namespace classMp3Search

// An ID3v2 frame's data size: synchsafe from version 2.4 on, a plain
// big-endian integer in 2.3. A v2.4 size that is not synchsafe reads as 0,
// which ends a frame walk.
std::uint32_t Id3FrameSize(const std::uint8_t* p, std::uint8_t majorVersion);

namespace mp3text {

// The character set libchardet reports for the NUL-terminated text; empty
// when it cannot tell.
std::string decoding(const std::string& text);
// The bytes converted from `charset` to UTF-8, at most `capacity - 1` output
// bytes; false when iconv does not know the set or the bytes do not convert.
bool ToUtf8(const std::string& charset, const std::uint8_t* bytes, std::size_t length, std::size_t capacity,
            std::string& out);
// The first n bytes as text: kept up to the first NUL when they are valid
// UTF-8 (a sequence cut off by the end counts as valid), else every byte
// with the top bit set becomes "_"; empty when nothing else is left.
std::string replaceChar(const std::uint8_t* text, std::size_t n);
// Up to the first NUL of `n` bytes.
std::string CString(const std::uint8_t* p, std::size_t n);

// The text of an ID3v2 text frame whose data (encoding byte first) is `size`
// bytes long. Latin-1 text is converted from `charset`, which a title sets
// when it is empty; UTF-16 only with the FF FE mark; other encodings give
// no text.
std::string GetTagValue(const std::uint8_t* data, std::size_t size, std::size_t capacity, bool title,
                        std::string& charset);

// The 30-byte title and artist of an ID3v1 tag (at `tag`, "TAG" included),
// converted from the set guessed on the title; both empty when none is found.
void Id3v1Texts(const std::uint8_t* tag, std::string& title, std::string& artist, std::string& charset);

}  // namespace mp3text
