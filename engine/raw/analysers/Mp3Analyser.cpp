#include "raw/analysers/Mp3Analyser.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "raw/RawUtility.h"
#include "raw/analysers/Mp3Header.h"

namespace {

const std::uint8_t kTag[3] = {'T', 'A', 'G'};

// Frame names are four capitals or digits; zeros are the tag's padding.
bool FirstFrameNamed(const std::uint8_t* tag) {
    const std::uint8_t* id = tag + 10;
    if (id[0] == 0 && id[1] == 0 && id[2] == 0 && id[3] == 0) return true;
    for (int i = 0; i < 4; ++i)
        if (!((id[i] >= 'A' && id[i] <= 'Z') || (id[i] >= '0' && id[i] <= '9'))) return false;
    return true;
}

bool IsApeTagV2(const std::uint8_t* p) { return std::memcmp(p, "APETAGEX", 8) == 0 && p[8] == 0xD0; }

std::string Printf(const char* format, const std::string& a, const std::string& b, std::int64_t x) {
    char buf[1200];
    std::snprintf(buf, sizeof buf, format, a.c_str(), b.c_str(), x);
    return buf;
}

std::string Range(std::int64_t from, std::int64_t to) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%" PRId64 "-%" PRId64 "_", from, to);
    return buf;
}

}  // namespace

namespace BruteForce {

int MP3Analyzer::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    if (IsId3Start(sector)) {
        record.m_type = RAW_FILE_TYPE_MP3;
        return 1;
    }
    return Mp3FrameSize(sector) != 0 ? 1 : 0;
}

CRawFileInfo* MP3Analyzer::CreateRawFileInfo() { return new MP3RawFileInfo(this); }

int MP3Analyzer::AnalyseBufferEx(std::uint8_t* sector, CRawFileInfo& record, std::int64_t sectorSize,
                                 std::int64_t sectorNumber, std::int64_t, std::int64_t blockEndSector,
                                 const SectorView& view) {
    if (sector == nullptr || sectorSize <= 0 || sectorNumber < 0) return 0;
    if (IsId3Start(sector)) {
        record.m_type = RAW_FILE_TYPE_MP3;
        return 1;
    }
    // Random data is full of frame syncs: the cheapest refusals come first.
    if (m_lastStartSector != 0) return 0;
    const std::uint32_t s1 = Mp3FrameSize(sector);
    if (s1 == 0) return 0;
    const std::uint64_t at = static_cast<std::uint64_t>(sectorNumber) * static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t blockEnd = static_cast<std::uint64_t>(blockEndSector) * static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t next = at + static_cast<std::uint64_t>(sectorSize);
    // A chain that runs past the block is taken on what the block shows.
    if (next + s1 + 4 > blockEnd) return 1;
    const std::uint8_t* h2 = view.at(at + s1, 4);
    if (h2 == nullptr) return 1;
    const std::uint32_t s2 = Mp3FrameSize(h2);
    if (s2 == 0) return 0;
    if (next + s1 + 4 + s2 > blockEnd) return 1;
    const std::uint8_t* h3 = view.at(at + s1 + s2, 4);
    if (h3 == nullptr) return 1;
    if (Mp3FrameSize(h3) == 0) return 0;
    m_lastStartSector = sectorNumber;
    return 1;
}

void MP3RawFileInfo::EndSizing() {
    if (m_owner) m_owner->m_lastStartSector = 0;
}

void MP3RawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    // An evicted or unfinished record is no longer streaming: later frame
    // starts must be looked at again.
    EndSizing();
    if (m_owner == nullptr || m_noAudio) return;
    HandToTwin(*this, m_owner);
}

void MP3RawFileInfo::GatherTagInfo(const std::uint8_t* start, std::int64_t available) {
    if (start == nullptr || available < 10) return;
    std::uint32_t tagSize = 0;
    if (!classMp3Search::GetSynchsafeInteger(start + 6, &tagSize) || tagSize == 0 || tagSize > kMaxTagSize) return;
    m_audioStart = static_cast<std::uint64_t>(tagSize) + 10;
    const std::uint8_t version = start[3];
    std::string artist, title;
    std::int64_t pos = 10;
    while (pos - 10 < static_cast<std::int64_t>(tagSize) && pos + 10 <= available) {
        const std::uint8_t* frame = start + pos;
        const std::uint32_t size = Id3FrameSize(frame + 4, version);
        if (size == 0 || size > kMaxTagSize) break;
        const std::uint8_t* data = frame + 10;
        // A frame may claim more than the block holds: read what is there.
        const std::int64_t held = std::min<std::int64_t>(size, available - (pos + 10));
        const std::size_t n = static_cast<std::size_t>(std::max<std::int64_t>(held, 0));
        if (std::memcmp(frame, "TPE1", 4) == 0) {
            artist = mp3text::GetTagValue(data, n, 256, false, m_charset);
        } else if (std::memcmp(frame, "TIT2", 4) == 0) {
            title = mp3text::GetTagValue(data, n, 256, true, m_charset);
        } else if (std::memcmp(frame, "TYER", 4) == 0) {
            const std::string year = mp3text::GetTagValue(data, n, 256, false, m_charset);
            if (year.size() >= 8) m_rawFileTime = year;
        } else if (std::memcmp(frame, "USLT", 4) == 0 && n > 6) {
            // Lyrics in the LRC layout name the artist as "[ar:Name]".
            const std::uint8_t* text = data + 6;
            const int len = static_cast<int>(n - 6);
            const std::uint8_t* ar = Apimemstr(text, len, reinterpret_cast<const std::uint8_t*>("[ar:"), 4);
            if (ar != nullptr) {
                const std::uint8_t* name = ar + 4;
                const int rest = len - static_cast<int>(name - text);
                const void* close = rest > 0 ? std::memchr(name, ']', static_cast<std::size_t>(rest)) : nullptr;
                if (close != nullptr) {
                    const std::size_t span = static_cast<std::size_t>(static_cast<const std::uint8_t*>(close) - name);
                    if (span < 1024) {
                        artist.assign(reinterpret_cast<const char*>(name), span);
                        if (!artist.empty()) SetRawFileTagAndValue(RAW_FILE_TAG_ARTIST, artist);
                    }
                }
            }
        } else if (std::memcmp(frame, "APIC", 4) == 0) {
            const std::uint8_t jpeg[3] = {0xFF, 0xD8, 0xFF};
            const int look = n >= 3 ? static_cast<int>(n) : 0;
            const std::uint8_t* pic = Apimemstr(data, look, jpeg, 3);
            std::int64_t offset = pic ? (pos + 10) + (pic - data) : 0;
            if (offset == 0) offset = pos + 63;
            m_pictureOffset = offset;
            m_pictureSize = size;
            m_minLength += m_pictureOffset + m_pictureSize;
        }
        pos += 10 + static_cast<std::int64_t>(size);
    }
    m_minLength += tagSize;
    if (artist.empty() && title.empty()) return;
    SetRawFileName(Printf("%s_%s %" PRId64 "_", artist, title, m_startSector));
    std::string value = artist.empty() ? title : artist;
    if (!value.empty()) SetRawFileTagAndValue(RAW_FILE_TAG_ARTIST, value);
}

int MP3RawFileInfo::AdjustMp3Health(const std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber,
                                    std::int64_t blockEndSector, const SectorView& view) {
    if (sector == nullptr) return 1;
    if (IsId3Start(sector)) return 2;
    if (!IsFrameSync(sector)) return 1;
    CMPAHeader h;
    if (!h.Init(sector) || h.m_version < 2) return 1;
    const std::uint32_t size = h.CalcFrameSize();
    if (size < 1 || size >= CMPAHeader::kMaxFrameSize) return 1;
    if (static_cast<std::int64_t>(size) > static_cast<std::int64_t>(sectorSize) * (blockEndSector - sectorNumber))
        return 1;
    const std::uint8_t* q = view.at(static_cast<std::uint64_t>(sectorNumber) * sectorSize + size, 4);
    if (q == nullptr || q[1] < 0xE0 || q[2] > 0xEF) return 1;
    CMPAHeader h2;
    return h2.Init(q) && h2.m_version >= 2 ? 2 : 1;
}

int MP3RawFileInfo::FindTagInEndSector(const std::uint8_t* p, std::int64_t sectorNumber, int length, int trailingZero) {
    if (p == nullptr || length < 4) return 0;
    // Spaces are turned into NULs below: on a copy, since the driver's
    // buffer is read again by later records and the ring.
    m_copy.assign(p, p + length);
    std::uint8_t* c = m_copy.data();
    const int k = RawUtility::FindMagicInBuffer(c, length, trailingZero, kTag, 3);
    if (k < 1 || k > 511) return k;
    for (int i = k; i < length - 3;) {
        if (c[i] == ' ' && c[i + 1] == ' ') {
            c[i] = c[i + 1] = 0;
            i += 2;
        } else {
            ++i;
        }
    }
    const std::string title = mp3text::CString(c + k, static_cast<std::size_t>(length - k));
    int j = k + static_cast<int>(title.size());
    while (j < length && c[j] == 0) ++j;
    const std::string artist = mp3text::CString(c + j, static_cast<std::size_t>(length - j));
    if (title.size() < 2 || artist.size() < 4 || !m_rawFileName.empty()) return k;
    std::string value = mp3text::replaceChar(c + j, std::min<std::size_t>(1024, static_cast<std::size_t>(length - j)));
    char tail[64];
    std::snprintf(tail, sizeof tail, " %" PRId64 "-%" PRId64 "_", m_startSector, sectorNumber);
    SetRawFileName(artist + "_" + title + tail);
    if (!value.empty()) SetRawFileTagAndValue(RAW_FILE_TAG_ARTIST, value);
    return k;
}

bool MP3RawFileInfo::FindDuplicateByteCount(const std::uint8_t* p, int length, int trailingZero) {
    if (p == nullptr || length < 2) return false;
    if (m_countTable.empty()) {
        m_countTable.assign(256, 0);
        m_countTableLength = 256;
    } else {
        std::fill(m_countTable.begin(), m_countTable.end(), 0);
    }
    for (int i = length - trailingZero - 1; i >= 1; --i) {
        const std::uint8_t b = p[i];
        if (b == 0) continue;
        if (++m_countTable[b] > kFillRepeats) return true;
    }
    return false;
}

int MP3RawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const SectorView& view = ctx.view;
    const std::uint64_t ss = static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t at = static_cast<std::uint64_t>(sectorNumber) * ss;
    if (!m_started) {
        m_started = true;
        if (sector != nullptr && Mp3FrameSize(sector) != 0) m_frameStart = 1;
        if (sector != nullptr && IsId3Start(sector)) {
            const std::uint64_t blockEnd = static_cast<std::uint64_t>(ctx.blockEndSector) * ss;
            const std::uint64_t held =
                std::min<std::uint64_t>(view.availableFrom(at), blockEnd > at ? blockEnd - at : 0);
            GatherTagInfo(view.at(at, static_cast<std::size_t>(held)), static_cast<std::int64_t>(held));
            // A tag whose first frame has no frame name (nor padding) is no
            // tag: rather than wait for its claimed end, which may lie
            // hundreds of megabytes on, the device sizer looks at it now.
            if (m_audioStart > 10 && !FirstFrameNamed(sector)) {
                EndSizing();
                return 1;
            }
        }
        if (m_rawFileName.empty() && AdjustMp3Health(sector, sectorSize, sectorNumber, ctx.blockEndSector, view) == 1) {
            EndSizing();
            return 1;
        }
    }
    if (m_frameStart) return CalcRawSizeEx(sector, sectorSize, sectorNumber, ctx);
    const std::int64_t passed = (sectorNumber - m_startSector) * sectorSize;
    if (passed + sectorSize > kStreamLimit) {
        EndSizing();
        return 1;
    }
    if (sector == nullptr) return 2;
    if (!m_audioChecked) {
        const int follows = AudioFollowsTag(sectorNumber, sectorSize, ctx);
        if (follows == 1) {
            // No song: nothing but a tag-like start. The device sizer would
            // probe the same bytes and find no chain either.
            m_noAudio = true;
            EndSizing();
            return 1;
        }
        m_audioChecked = follows == 2;
    }
    const int tz = static_cast<int>(ctx.trailingZeroBytes);
    if (tz < 32 || passed <= m_minLength) {
        m_lastSector = sectorNumber;
        return 2;
    }
    // A whole sector of zeros past the minimum length: the song has ended
    // before it, and neither an ID3v1 tag nor a fill pattern is coming.
    // Streaming on would run into whatever follows; the device walk sizes
    // the song to its last frame instead.
    if (ctx.leadingZero != 0 && std::all_of(sector, sector + sectorSize, [](std::uint8_t b) { return b == 0; })) {
        m_lastSector = sectorNumber;
        EndSizing();
        return 1;
    }
    bool end = false;
    const std::uint8_t* two = ctx.blockEndSector - 3 > sectorNumber ? view.at(at - ss, 2 * ss) : nullptr;
    const int k = two && sectorNumber > 0 ? FindTagInEndSector(two, sectorNumber, 2 * sectorSize, tz)
                                          : FindTagInEndSector(sector, sectorNumber, sectorSize, tz);
    if (k > 0) end = true;
    if (!end) {
        const bool fill = std::memcmp(sector, sector + 1, 3) == 0 && sector[0] != 0;
        const std::uint8_t* before = fill && m_lastSector > ctx.bufferStartSector ? view.at(at - 64, ss + 64) : nullptr;
        end = before ? FindDuplicateByteCount(before, sectorSize + 64, tz)
                     : FindDuplicateByteCount(sector, sectorSize, tz);
    }
    m_lastSector = sectorNumber;
    if (!end) return 2;
    if (!m_rawFileName.empty() && !m_tagValue.empty()) {
        if (m_rawFileName.find(m_tagValue) == std::string::npos) SetRawFileName(m_tagValue + "_" + m_rawFileName);
    } else if (m_rawFileName.empty()) {
        SetRawFileName(Range(m_startSector, sectorNumber));
    }
    EndSizing();
    m_type = RAW_FILE_TYPE_MP3;
    // The end tests know the end only to the sector's zero tail; the device
    // walk knows the last frame's last byte. It sizes the song, and this
    // size stands where the walk finds nothing.
    m_streamSize = passed + (sectorSize - tz);
    m_size = 0;
    return 1;
}

int MP3RawFileInfo::AudioFollowsTag(std::int64_t sectorNumber, int sectorSize, const SearchContext& ctx) {
    const std::uint64_t ss = static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t from = static_cast<std::uint64_t>(m_startSector) * ss + m_audioStart;
    const std::uint64_t span = FileMP3Analyser::kProbe + 4;
    const std::uint64_t seen = static_cast<std::uint64_t>(sectorNumber + 1) * ss;
    if (from + span > seen) return 0;
    const std::uint8_t* p = ctx.view.at(from, span);
    if (p == nullptr) {
        // The bytes went by in blocks the view no longer holds (tiny
        // blocks): leave the question to the other end tests.
        return 2;
    }
    // Random bytes hold a decodable sync every few kilobytes; two frames
    // in a row they almost never hold.
    for (std::uint64_t k = 0; k <= FileMP3Analyser::kProbe; ++k) {
        if (p[k] != 0xFF) continue;
        const std::uint32_t size = Mp3FrameSize(p + k);
        if (size == 0) continue;
        const std::uint8_t* next = ctx.view.at(from + k + size, 4);
        if (next == nullptr || Mp3FrameSize(next) != 0) return 2;
    }
    return 1;
}

int MP3RawFileInfo::CalcRawSizeEx(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sector == nullptr) {
        EndSizing();
        return 1;
    }
    const SectorView& view = ctx.view;
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * static_cast<std::uint64_t>(sectorSize);
    m_bytesSeen = static_cast<std::uint64_t>(sectorNumber - m_startSector + 1) * static_cast<std::uint64_t>(sectorSize);
    int frames = 0;
    bool tagTests = true;
    for (;;) {
        if (m_frameOffset >= m_bytesSeen) {
            // A chain longer than any song is no song.
            if (m_bytesSeen > static_cast<std::uint64_t>(kStreamLimit)) {
                EndSizing();
                return 1;
            }
            return 2;
        }
        // A header across the block end is read once the next block is in.
        const std::uint8_t* h = view.at(base + m_frameOffset, 4);
        if (h == nullptr) return 2;
        const std::uint32_t size = Mp3FrameSize(h);
        if (size != 0) {
            m_frameOffset += size;
            if (++frames > kFramesPerCall) {
                tagTests = false;
                break;
            }
            continue;
        }
        break;
    }
    if (tagTests) {
        const std::uint64_t hp = base + m_frameOffset;
        // The tag tests look up to 128 bytes on: wait for them.
        const std::uint8_t* t = view.at(hp, 128);
        if (t == nullptr) return 2;
        if (std::memcmp(t, kTag, 3) == 0) {
            m_frameOffset += 128;
            std::string title, artist;
            mp3text::Id3v1Texts(t, title, artist, m_charset);
            title = ApiStrFilterBadFileName(title);
            artist = ApiStrFilterBadFileName(artist);
            if (!artist.empty()) SetRawFileTagAndValue(RAW_FILE_TAG_ARTIST, artist);
            SetRawFileName(artist + "_" + title);
        } else if (IsApeTagV2(t)) {
            // The tag's own size, not a fixed allowance that may take in
            // the bytes of whatever follows the song.
            m_frameOffset += ApeTagLengthAt(t);
            const std::uint8_t* v1 = view.at(base + m_frameOffset, 128);
            if (v1 != nullptr && std::memcmp(v1, kTag, 3) == 0) m_frameOffset += 128;
        } else {
            for (int i = 0; i <= 125; ++i)
                if (std::memcmp(t + i, kTag, 3) == 0) {
                    m_frameOffset += 128 + static_cast<std::uint64_t>(i);
                    break;
                }
        }
    }
    if (m_frameOffset < kMinChain) m_frameOffset = 0;
    if (m_frameOffset == 0) {
        EndSizing();
        return 1;
    }
    const std::uint64_t passed = static_cast<std::uint64_t>(sectorNumber - m_startSector) * sectorSize;
    m_size = static_cast<std::int64_t>(passed >= 10 * m_sizeCap ? m_sizeCap : m_frameOffset);
    if (m_rawFileName.empty()) SetRawFileName(Range(m_startSector, sectorNumber));
    m_type = RAW_FILE_TYPE_MP3;
    EndSizing();
    return 1;
}

}  // namespace BruteForce
