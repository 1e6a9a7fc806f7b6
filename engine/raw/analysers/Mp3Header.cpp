#include "raw/analysers/Mp3Header.h"

#include <chardet.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "foundation/Utf8Converter.h"

namespace {

// kbit/s by [lsf][layer][index]; index 0 is free format, which we never size.
constexpr std::uint16_t kBitRates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
};
constexpr std::uint32_t kSamplingRates[4][3] = {
    {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
constexpr std::uint32_t kSamplesPerFrame[2][3] = {{384, 1152, 1152}, {384, 1152, 576}};
constexpr std::uint32_t kCoefficients[2][3] = {{12, 144, 144}, {12, 144, 72}};
constexpr std::uint32_t kSlotSizes[3] = {4, 1, 1};
// MPEG-1 Layer II: which bit rates each kind of channel mode may use.
constexpr bool kLayer2Stereo[16] = {true, false, false, false, true, false, true, true,
                                    true, true,  true,  true,  true, true,  true, false};
constexpr bool kLayer2Single[16] = {true, true, true, true,  true,  true,  true,  true,
                                    true, true, true, false, false, false, false, false};

}  // namespace

bool CMPAHeader::Init(const std::uint8_t* h) {
    m_version = (h[1] >> 3) & 3;
    const std::uint32_t layerBits = (h[1] >> 1) & 3;
    if (m_version == 1 || layerBits == 0) return false;
    m_layer = layerBits ^ 3;
    m_lsf = m_version != 3;
    m_crc = (h[1] & 1) == 0;
    const std::uint32_t rateIndex = h[2] >> 4;
    const std::uint32_t freqIndex = (h[2] >> 2) & 3;
    if (rateIndex == 0 || rateIndex == 15 || freqIndex == 3) return false;
    m_padding = (h[2] >> 1) & 1;
    m_channelMode = h[3] >> 6;
    m_modeExtension = (h[3] >> 4) & 3;
    m_copyright = (h[3] >> 3) & 1;
    m_original = (h[3] >> 2) & 1;
    m_emphasis = h[3] & 3;
    if (m_emphasis == 2) return false;
    if (!m_lsf && m_layer == 1) {
        const bool allowed = m_channelMode == 3 ? kLayer2Single[rateIndex] : kLayer2Stereo[rateIndex];
        if (!allowed) return false;
    }
    m_bitRate = kBitRates[m_lsf][m_layer][rateIndex] * 1000u;
    m_samplingRate = kSamplingRates[m_version][freqIndex];
    m_samplesPerFrame = kSamplesPerFrame[m_lsf][m_layer];
    return m_samplingRate != 0;
}

std::uint32_t CMPAHeader::CalcFrameSize() const {
    if (m_samplingRate == 0 || m_layer > 2) return 0;
    return (m_bitRate * kCoefficients[m_lsf][m_layer] / m_samplingRate + m_padding) * kSlotSizes[m_layer];
}

std::uint32_t Mp3FrameSize(const std::uint8_t* header) {
    if (!IsFrameSync(header)) return 0;
    CMPAHeader h;
    if (!h.Init(header)) return 0;
    const std::uint32_t size = h.CalcFrameSize();
    return size >= 1 && size <= CMPAHeader::kMaxFrameSize ? size : 0;
}

std::uint32_t ApeTagLengthAt(const std::uint8_t* p) {
    constexpr std::uint32_t kAllowance = 260;
    constexpr std::uint32_t kIsHeader = 1u << 29;
    constexpr std::uint32_t kMaxSize = 0x1000000 + 32;
    const std::uint32_t size =
        p[12] | (std::uint32_t{p[13]} << 8) | (std::uint32_t{p[14]} << 16) | (std::uint32_t{p[15]} << 24);
    const std::uint32_t flags =
        p[20] | (std::uint32_t{p[21]} << 8) | (std::uint32_t{p[22]} << 16) | (std::uint32_t{p[23]} << 24);
    // The header's size counts the items and the footer, not itself.
    if ((flags & kIsHeader) && size >= 32 && size <= kMaxSize) return size + 32;
    return kAllowance;
}

namespace classMp3Search {
bool GetSynchsafeInteger(const std::uint8_t* p, std::uint32_t* out) {
    if ((p[0] | p[1] | p[2] | p[3]) & 0x80) return false;
    *out = (std::uint32_t{p[0]} << 21) | (std::uint32_t{p[1]} << 14) | (std::uint32_t{p[2]} << 7) | p[3];
    return true;
}
}  // namespace classMp3Search

std::uint32_t Id3FrameSize(const std::uint8_t* p, std::uint8_t majorVersion) {
    if (majorVersion >= 4) {
        std::uint32_t v = 0;
        return classMp3Search::GetSynchsafeInteger(p, &v) ? v : 0;
    }
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

namespace mp3text {

std::string decoding(const std::string& text) {
    DetectObj* obj = detect_obj_init();
    if (obj == nullptr) return std::string();
    std::string out;
    const short rc = detect(text.c_str(), &obj);
    if (rc == CHARDET_SUCCESS && obj != nullptr && obj->encoding != nullptr && obj->confidence > 0) out = obj->encoding;
    detect_obj_free(&obj);
    return out;
}

bool ToUtf8(const std::string& charset, const std::uint8_t* bytes, std::size_t length, std::size_t capacity,
            std::string& out) {
    out.clear();
    if (charset.empty() || capacity < 2) return false;
    CUtf8Converter converter(charset.c_str());
    if (!converter.IsOpen()) return false;
    std::vector<char> in(bytes, bytes + length);
    std::vector<char> buf(capacity, 0);
    char* src = in.data();
    std::size_t srcLeft = in.size();
    char* dst = buf.data();
    std::size_t dstLeft = capacity - 1;
    const std::size_t rc = converter.Convert(&src, &srcLeft, &dst, &dstLeft);
    // A full output or a sequence cut off by the field's end keeps what
    // converted; a byte the set does not have fails the conversion.
    const bool ok = rc != static_cast<std::size_t>(-1) || errno == E2BIG || errno == EINVAL;
    if (!ok) return false;
    out = CString(reinterpret_cast<const std::uint8_t*>(buf.data()), capacity - 1 - dstLeft);
    return true;
}

std::string CString(const std::uint8_t* p, std::size_t n) {
    const void* nul = std::memchr(p, 0, n);
    return std::string(reinterpret_cast<const char*>(p),
                       nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) : n);
}

std::string replaceChar(const std::uint8_t* text, std::size_t n) {
    bool valid = true;
    for (std::size_t i = 0; i < n && text[i] != 0 && valid;) {
        const std::uint8_t c = text[i];
        std::size_t follow = 0;
        if (c < 0x80)
            follow = 0;
        else if (c >= 0xC0 && c <= 0xDF)
            follow = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            follow = 2;
        else
            valid = false;
        for (std::size_t j = 1; valid && j <= follow && i + j < n; ++j)
            if ((text[i + j] & 0xC0) != 0x80) valid = false;
        i += follow + 1;
    }
    std::string s = CString(text, n);
    if (valid) return s;
    bool kept = false;
    for (char& c : s) {
        if (static_cast<std::uint8_t>(c) & 0x80)
            c = '_';
        else
            kept = true;
    }
    return kept ? s : std::string();
}

std::string GetTagValue(const std::uint8_t* data, std::size_t size, std::size_t capacity, bool title,
                        std::string& charset) {
    if (data == nullptr || size < 2 || capacity < 2) return std::string();
    const std::size_t textBytes = std::min<std::size_t>(size - 1, 255);
    const std::uint8_t* text = data + 1;
    std::string out;
    switch (data[0]) {
    case 3:
        return replaceChar(text, std::min(size - 1, capacity - 1));
    case 1:
        if (size < 4 || data[1] != 0xFF || data[2] != 0xFE) return std::string();
        if (!ToUtf8("UTF-16LE", data + 3, size - 1 > 255 ? 255 : size - 3, capacity, out)) return std::string();
        return out;
    case 0: {
        const std::string raw = CString(text, textBytes);
        if (title) charset = decoding(raw);
        const std::string from = charset.empty() ? decoding(raw) : charset;
        if (ToUtf8(from, text, raw.size(), capacity, out)) return out;
        out = raw.substr(0, capacity - 1);
        for (char& c : out)
            if (static_cast<std::uint8_t>(c) & 0x80) c = '_';
        return out;
    }
    default:
        return std::string();
    }
}

void Id3v1Texts(const std::uint8_t* tag, std::string& title, std::string& artist, std::string& charset) {
    std::uint8_t t[40] = {}, a[40] = {};
    std::memcpy(t, tag + 3, 30);
    std::memcpy(a, tag + 33, 30);
    charset = decoding(CString(t, 30));
    std::string s;
    if (!charset.empty()) {
        if (ToUtf8(charset, tag + 3, CString(tag + 3, 30).size(), sizeof t, s)) {
            std::memset(t, 0, sizeof t);
            std::memcpy(t, s.data(), s.size());
        }
        if (ToUtf8(charset, tag + 33, CString(tag + 33, 30).size(), sizeof a, s)) {
            std::memset(a, 0, sizeof a);
            std::memcpy(a, s.data(), s.size());
        }
    }
    title = replaceChar(t, sizeof t);
    artist = replaceChar(a, sizeof a);
    // ID3v1 pads with spaces as often as with NULs.
    while (!title.empty() && title.back() == ' ') title.pop_back();
    while (!artist.empty() && artist.back() == ' ') artist.pop_back();
}

}  // namespace mp3text
