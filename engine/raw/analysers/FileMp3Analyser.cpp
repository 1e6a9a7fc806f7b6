#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/ByteOrder.h"

#include "raw/RawFileBuffer.h"
#include "raw/analysers/Mp3Analyser.h"
#include "raw/analysers/Mp3Header.h"

namespace {

bool IsApeTagV2(const std::uint8_t* p) { return std::memcmp(p, "APETAGEX", 8) == 0 && p[8] == 0xD0; }

// Reads up to `length` bytes at `offset`, fewer at the device's end; the
// count read.
std::size_t ReadUpTo(WindowReader& reader, std::uint64_t offset, std::size_t length, std::uint8_t* dst) {
    const std::uint64_t onDevice = reader.Buffer().BytesOnDevice();
    if (offset >= onDevice) return 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, onDevice - offset));
    return reader.Read(offset, n, dst) ? n : 0;
}

// A sliding copy of the file's bytes, so the probe of up to 4,095 bytes per
// frame does not go back to the window for each byte.
class Probe {
public:
    explicit Probe(WindowReader& reader) : m_reader(reader) {}
    // The bytes at `offset`, at least `need` of them, or null.
    const std::uint8_t* At(std::uint64_t offset, std::size_t need) {
        if (offset < m_start || offset + need > m_start + m_held) {
            m_start = offset;
            m_held = ReadUpTo(m_reader, offset, sizeof m_bytes, m_bytes);
        }
        if (offset < m_start || offset + need > m_start + m_held) return nullptr;
        return m_bytes + (offset - m_start);
    }

private:
    WindowReader& m_reader;
    std::uint64_t m_start = 0;
    std::size_t m_held = 0;
    std::uint8_t m_bytes[8192];
};

}  // namespace

int FileMP3Analyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    if (IsId3Start(sector) || Mp3FrameSize(sector) != 0) {
        record.m_type = RAW_FILE_TYPE_MP3;
        return 1;
    }
    return 0;
}

void FileMP3Analyser::Reset() {
    m_name.clear();
    m_time.clear();
    m_tag = RAW_FILE_TAG_NONE;
    m_tagValue.clear();
    m_charset.clear();
}

int FileMP3Analyser::GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) {
    tag = static_cast<RAW_FILE_TAG>(m_tag);
    value = m_tagValue;
    return m_tag != RAW_FILE_TAG_NONE ? 1 : 0;
}

void FileMP3Analyser::SetId3v1(CRawFileInfo& record, const std::uint8_t* tag) {
    std::string title, artist;
    mp3text::Id3v1Texts(tag, title, artist, m_charset);
    title = ApiStrFilterBadFileName(title);
    artist = ApiStrFilterBadFileName(artist);
    record.SetRawFileName(artist + "_" + title);
    // An empty artist would make a folder without a name.
    if (!artist.empty()) {
        record.SetRawFileTagAndValue(RAW_FILE_TAG_ARTIST, artist);
        m_tag = RAW_FILE_TAG_ARTIST;
        m_tagValue = artist;
    }
    m_name = record.m_rawFileName;
}

int FileMP3Analyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (SizeOnDevice(record, device) != 0 && record.m_size > 0) return 1;
    auto* streamed = dynamic_cast<BruteForce::MP3RawFileInfo*>(&record);
    if (streamed == nullptr || streamed->m_streamSize <= 0) return 0;
    record.m_size = streamed->m_streamSize;
    record.m_type = RAW_FILE_TYPE_MP3;
    return 1;
}

int FileMP3Analyser::SizeOnDevice(CRawFileInfo& record, IStorageDevice* device) {
    Reset();
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    const std::uint32_t ss = reader.Buffer().SectorSize();
    std::uint8_t head[52] = {};
    if (ss == 0 || ReadUpTo(reader, 0, sizeof head, head) < 10) return 0;
    if (std::memcmp(head, "ID3", 3) != 0) {
        if (head[0] == 0xFF && head[1] == 0xFB) {
            // Only these first frames leave room for a Xing header at 36;
            // its flags say whether the byte count is there.
            const bool xing = std::memcmp(head + 36, "Xing", 4) == 0 || std::memcmp(head + 36, "Info", 4) == 0;
            if ((head[2] == 0xE0 || head[2] == 0xB0) && xing && (head[43] & 2))
                return GetRawFileSizeXING(record, device);
            return GetRawFileSizeFromFrame(record, device);
        }
        CMPAHeader h;
        if (h.Init(head)) return GetRawFileSizeFromFrame(record, device);
    }

    // ID3v2 tag: its frames name the song.
    std::uint32_t tagSize = 0;
    if (!classMp3Search::GetSynchsafeInteger(head + 6, &tagSize)) tagSize = 0;
    const std::uint8_t version = head[3];
    std::string artist, title, year;
    std::uint64_t pos = 10;
    std::uint8_t data[1024];
    for (int frames = 0; pos - 10 < tagSize && frames < kMaxTagFrames; ++frames) {
        std::uint8_t fh[10];
        if (ReadUpTo(reader, pos, sizeof fh, fh) != sizeof fh) break;
        const std::uint32_t size = Id3FrameSize(fh + 4, version);
        if (size == 0) break;
        const bool isArtist = std::memcmp(fh, "TPE1", 4) == 0;
        const bool isTitle = std::memcmp(fh, "TIT2", 4) == 0;
        const bool isYear = std::memcmp(fh, "TYER", 4) == 0;
        if (isArtist || isTitle || isYear) {
            // The text may cross a window end: the reader joins the windows.
            const std::size_t n = ReadUpTo(reader, pos + 10, std::min<std::size_t>(size, sizeof data), data);
            std::string text = mp3text::GetTagValue(data, n, sizeof data, isTitle, m_charset);
            (isArtist ? artist : isTitle ? title : year) = text;
        }
        pos += 10 + static_cast<std::uint64_t>(size);
    }

    // The audio: frame after frame, skipping junk of up to 4,095 bytes.
    const std::uint64_t first = static_cast<std::uint64_t>(tagSize) + 10;
    std::uint64_t end = first;
    std::uint32_t resyncCount = 0;
    std::uint64_t resyncLength = 0;
    Probe probe(reader);
    bool done = false;
    // Frames that follow a frame directly: a tag-like start in other data
    // finds a decodable sync now and then, but not two in a row.
    bool framed = false;
    std::uint64_t chained = 0;
    while (!done) {
        std::uint32_t k = 0;
        bool zeros = true;  // every byte skipped so far is zero
        for (;; ++k) {
            if (k > kProbe) {
                done = true;
                break;
            }
            const std::uint64_t at = end + k;
            if (at > kWalkLimit) {
                done = true;
                break;
            }
            const std::uint8_t* b = probe.At(at, 1);
            if (b == nullptr) {
                done = true;
                break;
            }
            // Zeros up to a sector boundary are the slack after the song's
            // last frame: what follows is another file, not more frames.
            if (k > 0 && zeros && at % ss == 0) {
                done = true;
                break;
            }
            zeros = zeros && b[0] == 0;
            const std::uint8_t* b4 = probe.At(at, 4);
            if (b4 == nullptr) continue;
            b = b4;
            if (std::memcmp(b, "TAG", 3) == 0) {
                const std::uint64_t tagEnd = at + 128;
                bool accepted = tagEnd % ss == 0;
                if (!accepted) {
                    // In pieces: a sector may be larger than the probe's copy.
                    const std::uint64_t sectorEnd = (tagEnd / ss + 1) * ss;
                    accepted = true;
                    for (std::uint64_t from = tagEnd; accepted && from < sectorEnd; from += 4096) {
                        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(4096, sectorEnd - from));
                        const std::uint8_t* rest = probe.At(from, n);
                        accepted = rest != nullptr;
                        for (std::size_t i = 0; accepted && i < n; ++i) accepted = rest[i] == 0;
                    }
                }
                const std::uint8_t* tag = accepted ? probe.At(at, 128) : nullptr;
                if (tag != nullptr) {
                    std::string t1, a1, cs;
                    mp3text::Id3v1Texts(tag, t1, a1, cs);
                    if (title.empty()) title = t1;
                    if (artist.empty()) artist = a1;
                    if (year.empty()) year = mp3text::CString(tag + 93, 4);
                    end = tagEnd;
                    done = true;
                    break;
                }
                b = probe.At(at, 4);
                if (b == nullptr) continue;
            }
            const std::uint32_t size = Mp3FrameSize(b);
            if (size != 0) {
                if (k == 0 && framed) ++chained;
                framed = true;
                if (k > 0) {
                    ++resyncCount;
                    resyncLength += k + size;
                } else {
                    resyncCount = 0;
                    resyncLength = 0;
                }
                end += k + size;
                break;  // probe again from the new frame end
            }
            if (at % ss == 0 && IsId3Start(b)) {
                std::uint32_t next = 0;
                const std::uint8_t* h = probe.At(at, 10);
                if (h != nullptr && classMp3Search::GetSynchsafeInteger(h + 6, &next)) {
                    done = true;  // the next song starts here
                    break;
                }
                b = probe.At(at, 4);
                if (b == nullptr) continue;
            }
            const std::uint8_t* ape = probe.At(at, 9);
            if (ape != nullptr && IsApeTagV2(ape)) {
                // The APE tag ends where the sectors turn to zeros, or at an
                // ID3v1 tag after it.
                std::uint64_t sector = end / ss;
                std::uint64_t passed = 0;
                std::vector<std::uint8_t> buf(ss);
                const std::uint8_t zeroTagMagic[4] = {0, 'T', 'A', 'G'};
                for (;;) {
                    const std::uint64_t off = sector * ss;
                    if (passed > kApeTail || ReadUpTo(reader, off, ss, buf.data()) != ss) {
                        end = off;
                        break;
                    }
                    std::uint32_t last4 = 0;
                    std::memcpy(&last4, buf.data() + ss - 4, 4);
                    if (last4 != 0) {
                        passed += ss;
                        ++sector;
                        continue;
                    }
                    if (std::all_of(buf.end() - 12, buf.end(), [](std::uint8_t v) { return v == 0; })) {
                        end = off + ss;
                        break;
                    }
                    const std::uint8_t* m = nullptr;
                    for (std::uint32_t i = 0; i + 4 <= ss && m == nullptr; ++i)
                        if (std::memcmp(buf.data() + i, zeroTagMagic, 4) == 0) m = buf.data() + i;
                    if (m != nullptr) {
                        end = off + static_cast<std::uint64_t>(m - buf.data()) + 129;
                        break;
                    }
                    // Sectors without the end count to the limit as well.
                    passed += ss;
                    ++sector;
                }
                done = true;
                break;
            }
            if (resyncCount == 2) {
                end -= resyncLength;
                done = true;
                break;
            }
        }
    }
    if (end <= first || chained == 0) return 0;
    artist = ApiStrFilterBadFileName(
        mp3text::replaceChar(reinterpret_cast<const std::uint8_t*>(artist.data()), artist.size()));
    title = mp3text::replaceChar(reinterpret_cast<const std::uint8_t*>(title.data()), title.size());
    record.m_type = RAW_FILE_TYPE_MP3;
    record.m_rawFileTime = year;
    m_time = year;
    if (!artist.empty()) {
        record.SetRawFileTagAndValue(RAW_FILE_TAG_ARTIST, artist);
        m_tag = RAW_FILE_TAG_ARTIST;
        m_tagValue = artist;
    }
    if (!artist.empty() || !title.empty()) record.SetRawFileName(artist + "_" + title);
    m_name = record.m_rawFileName;
    record.m_size = static_cast<std::int64_t>(end);
    return 1;
}

int FileMP3Analyser::GetRawFileSizeXING(CRawFileInfo& record, IStorageDevice* device) {
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t head[52];
    if (ReadUpTo(reader, 0, sizeof head, head) != sizeof head) return 0;
    const std::uint64_t bytes = byteorder::BE32(head + 48);
    std::uint8_t tag[128];
    const std::size_t n = ReadUpTo(reader, bytes, sizeof tag, tag);
    if (n < 3 || bytes == 0) return 0;
    record.m_type = RAW_FILE_TYPE_MP3;
    if (std::memcmp(tag, "TAG", 3) != 0 || n < sizeof tag) {
        record.m_size = static_cast<std::int64_t>(bytes);
        return 1;
    }
    SetId3v1(record, tag);
    record.m_size = static_cast<std::int64_t>(bytes) + 128;
    return 1;
}

int FileMP3Analyser::GetRawFileSizeFromFrame(CRawFileInfo& record, IStorageDevice* device) {
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    const std::uint32_t ss = reader.Buffer().SectorSize();
    std::uint8_t h[4];
    if (ss == 0 || ReadUpTo(reader, 0, 4, h) != 4) return 0;
    CMPAHeader first;
    if (!first.Init(h)) return 0;
    const std::uint32_t s1 = first.CalcFrameSize();
    if (s1 < 1 || s1 > CMPAHeader::kMaxFrameSize) return 0;
    std::uint8_t h2[4];
    CMPAHeader second;
    if (ReadUpTo(reader, s1, 4, h2) != 4 || h2[1] < 0xE0 || h2[2] >= 0xF0 || !second.Init(h2)) return 0;
    record.m_type = RAW_FILE_TYPE_MP3;
    const std::uint64_t start = static_cast<std::uint64_t>(record.m_startSector);
    // A hit inside the song just sized is that song again.
    if (start > m_spanStart && start < m_spanStart + m_spanLength) {
        record.m_size = 0;
        return 0;
    }
    std::uint64_t w = 0;
    Probe probe(reader);
    while (w < kChainLimit) {
        const std::uint8_t* b = probe.At(w, 4);
        const std::uint32_t size = b ? Mp3FrameSize(b) : 0;
        if (size != 0) {
            w += size;
            continue;
        }
        if (b != nullptr) {
            const std::uint8_t* t = probe.At(w, 128);
            if (std::memcmp(b, "TAG", 3) == 0 && t != nullptr) {
                SetId3v1(record, t);
                w += 128;
            } else if (const std::uint8_t* ape = probe.At(w, 32); ape && IsApeTagV2(ape)) {
                w += ApeTagLengthAt(ape);
                const std::uint8_t* v1 = probe.At(w, 128);
                if (v1 != nullptr && std::memcmp(v1, "TAG", 3) == 0) {
                    SetId3v1(record, v1);
                    w += 128;
                }
            } else {
                for (std::uint64_t i = 0; i < 128; ++i) {
                    const std::uint8_t* m = probe.At(w + i, 3);
                    if (m == nullptr) break;
                    if (std::memcmp(m, "TAG", 3) == 0) {
                        w += i + 128;
                        break;
                    }
                }
            }
        }
        if (w < kMinChain) {
            record.m_size = 0;
            return 0;
        }
        break;
    }
    const std::uint64_t count = (w + ss - 1) / ss;
    const std::uint64_t endSector = start + count;
    if (endSector >= m_spanStart && endSector <= m_spanStart + m_spanLength) {
        record.m_size = 0;
        return 0;
    }
    m_spanStart = start;
    m_spanLength = count;
    if (record.m_rawFileName.empty()) m_name.clear();
    record.m_size = static_cast<std::int64_t>(w);
    return 1;
}
