#include "raw/analysers/OleAnalyser.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "raw/RawFileBuffer.h"

namespace ole {

std::uint32_t UsedFatEntries(const std::uint8_t* fat, std::uint32_t bytes) {
    for (std::uint32_t i = bytes / 4; i > 0; --i)
        if (byteorder::LE32(fat + 4 * (i - 1)) != kFreeSect) return i;
    return 0;
}

}  // namespace ole

namespace {

// The directory entry's name, compared as a whole UTF-16 string with an
// ASCII one (control characters such as the 0x05 of "\x05SummaryInformation"
// included).
bool NameIs(const std::uint8_t* entry, const char* name) {
    std::size_t i = 0;
    for (; i < 32; ++i) {
        const std::uint16_t c = byteorder::LE16(entry + 2 * i);
        if (c == 0) break;
        if (name[i] == '\0' || c != static_cast<std::uint8_t>(name[i])) return false;
    }
    return name[i] == '\0';
}

bool ClsidIsZero(const std::uint8_t* entry) {
    for (std::uint32_t i = 0; i < 16; ++i)
        if (entry[ole::kDirClsidAt + i] != 0) return false;
    return true;
}

}  // namespace

void CheckSectDirData(const std::uint8_t* buffer, std::uint32_t length, CRawFileInfo& info) {
    if (buffer == nullptr || length < ole::kDirEntrySize) return;
    const std::uint32_t entries = length / ole::kDirEntrySize;
    std::uint32_t type = RAW_FILE_TYPE_MOF;
    bool presentation = false;
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::uint8_t* e = buffer + i * ole::kDirEntrySize;
        if (NameIs(e, "WordDocument") || NameIs(e, "ObjectPool")) type = RAW_FILE_TYPE_DOC;
        // Writers order the root's streams as they like (LibreOffice puts
        // "PowerPoint Document" fifth), so it counts wherever it stands.
        if (i >= 1 && NameIs(e, "PowerPoint Document")) presentation = true;
    }
    static const std::uint8_t kNoEntry[ole::kDirEntrySize] = {};
    auto entry = [&](std::uint32_t i) { return i < entries ? buffer + i * ole::kDirEntrySize : kNoEntry; };
    const std::uint8_t* root = entry(0);
    const std::uint8_t* e1 = entry(1);
    const std::uint8_t* e2 = entry(2);
    const std::uint8_t* e3 = entry(3);
    if (NameIs(e1, "Workbook") || NameIs(e2, "Workbook") || NameIs(e1, "Book") || NameIs(e2, "Book"))
        type = RAW_FILE_TYPE_XLS;
    if (presentation || NameIs(e1, "Pictures") || NameIs(e1, "PP40")) type = RAW_FILE_TYPE_PPT;
    if (NameIs(e1, "Scene") || NameIs(e2, "Scene")) type = RAW_FILE_TYPE_MAX;
    if (NameIs(e1, "VisioDocument")) type = RAW_FILE_TYPE_VSD;
    if (NameIs(e1, "PerfectOffice_MAIN") && NameIs(e2, "PerfectOffice_OBJECTS")) {
        if (NameIs(e3, "\x05SummaryInformation"))
            type = RAW_FILE_TYPE_SHW;
        else
            type = ClsidIsZero(root) ? RAW_FILE_TYPE_WPG : RAW_FILE_TYPE_WPD;
    }
    if (NameIs(e1, "RSeStorage") && (NameIs(e2, "RSeEmbeddings") || NameIs(e3, "RSeEmbeddings")))
        type = RAW_FILE_TYPE_IPT;
    if (NameIs(e1, "Objects") && NameIs(e2, "Quill") && (NameIs(e3, "Escher") || NameIs(e3, "QuillSub")))
        type = RAW_FILE_TYPE_PUB;
    if (NameIs(e1, "NativeContent_MAIN")) type = RAW_FILE_TYPE_QPW;
    if (NameIs(e1, "properties")) type = RAW_FILE_TYPE_AAF;
    if (NameIs(e1,
               "\x01"
               "CompObj") &&
        ((NameIs(e2, "   19") && NameIs(e3, "   29")) || (NameIs(e2, "   112") && NameIs(e3, "   212"))))
        type = RAW_FILE_TYPE_MPP;
    if ((NameIs(e1, "PropData") && NameIs(e2, "Forms") && NameIs(e3, "Reports")) ||
        (NameIs(e1, "VBA") && NameIs(e2, "VBAProject") && NameIs(e3, "VBA")))
        type = RAW_FILE_TYPE_ADP;
    info.m_type = type;
}

int FileOLEAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || byteorder::LE32(sector + 4) != ole::kSignature2) return 0;
    record.m_type = RAW_FILE_TYPE_OLE;
    return 1;
}

CRawFileInfo* FileOLEAnalyser::CreateRawFileInfo() { return new OleRawFileInfo(); }

bool FileOLEAnalyser::Simulate512ReadSector(WindowReader& reader, std::uint8_t* buffer, std::uint64_t unit,
                                            std::uint32_t count) {
    return reader.Read(unit * 512, static_cast<std::size_t>(count) * 512, buffer);
}

int FileOLEAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t header[512];
    if (!Simulate512ReadSector(reader, header, 0, 1)) return 0;
    if (byteorder::LE32(header) != ole::kSignature1 || byteorder::LE32(header + 4) != ole::kSignature2 ||
        !ole::OleHeaderSane(header))
        return 0;
    const std::uint32_t oleSize = ole::OleSectorSize(header);
    const std::uint32_t perSector = oleSize / 4;
    const std::uint32_t deviceSectorSize = reader.Buffer().SectorSize() ? reader.Buffer().SectorSize() : 512;
    m_sectorsPerOle = oleSize > deviceSectorSize ? oleSize / deviceSectorSize : 1;

    std::uint64_t fatCount = 0;
    std::uint32_t lastFat = 0;
    auto note = [&](std::uint32_t entry) {
        if (entry > ole::kMaxRegSect) return;
        ++fatCount;
        lastFat = entry;
    };
    for (int i = 0; i < ole::kHeaderDifatEntries; ++i) note(byteorder::LE32(header + ole::kHeaderDifatAt + 4 * i));

    std::vector<std::uint8_t> sector(oleSize);
    std::uint32_t difat = byteorder::LE32(header + ole::kFirstDifatSectorAt);
    for (int n = 0; difat <= ole::kMaxRegSect && n < kMaxDifatSectors; ++n) {
        if (!reader.Read(ole::OleSectorOffset(difat, oleSize), oleSize, sector.data())) return 0;
        for (std::uint32_t i = 0; i + 1 < perSector; ++i) note(byteorder::LE32(sector.data() + 4 * i));
        const std::uint32_t next = byteorder::LE32(sector.data() + 4 * (perSector - 1));
        // The chain only runs forward on the disk: anything else would loop.
        if (next <= difat) break;
        difat = next;
    }
    // Without a FAT there is no length to give (and no compound file).
    if (fatCount == 0) return 0;
    if (!reader.Read(ole::OleSectorOffset(lastFat, oleSize), oleSize, sector.data())) return 0;
    const std::uint64_t size = ole::OleFileSize(fatCount, ole::UsedFatEntries(sector.data(), oleSize), oleSize);

    std::uint8_t dir[1024];
    const std::uint32_t dirSector = byteorder::LE32(header + ole::kFirstDirSectorAt);
    if (dirSector <= ole::kMaxRegSect && reader.Read(ole::OleSectorOffset(dirSector, oleSize), sizeof dir, dir)) {
        CheckSectDirData(dir, sizeof dir, record);
    } else {
        if (size > static_cast<std::uint64_t>(kUnclassifiedCap)) return 0;
        record.m_type = RAW_FILE_TYPE_MOF;
    }
    record.m_size = static_cast<std::int64_t>(size);
    // A record whose streaming read the summary but could not size the file
    // keeps the document's name.
    if (auto* ole = dynamic_cast<OleRawFileInfo*>(&record); ole != nullptr && ole->m_summaryFound) {
        ole->SetFileName();
    }
    return 1;
}

std::int64_t FileOLEAnalyser::OleRawFileInfo::TriggerSector(std::uint64_t offset, std::uint32_t bytes) const {
    const std::uint32_t ss = m_deviceSectorSize ? m_deviceSectorSize : 512;
    return m_startSector + static_cast<std::int64_t>((offset + bytes - 1) / ss);
}

void FileOLEAnalyser::OleRawFileInfo::ReadHeader(const std::uint8_t* header, int sectorSize) {
    m_headerRead = true;
    m_oleSectorSize = ole::OleSectorSize(header);
    m_sectorsPerOle = m_oleSectorSize > static_cast<std::uint32_t>(sectorSize)
                          ? m_oleSectorSize / static_cast<std::uint32_t>(sectorSize)
                          : 1;
    for (int i = 0; i < ole::kHeaderDifatEntries; ++i) {
        const std::uint32_t e = byteorder::LE32(header + ole::kHeaderDifatAt + 4 * i);
        if (e > ole::kMaxRegSect) continue;
        ++m_fatCount;
        m_lastFat = e;
    }
    const std::uint32_t difat = byteorder::LE32(header + ole::kFirstDifatSectorAt);
    if (difat <= ole::kMaxRegSect) {
        m_nextDifat = difat;
        m_difatPending = true;
    } else {
        m_noDifat = 1;
        m_fatListComplete = 1;
    }
    m_dirSector = byteorder::LE32(header + ole::kFirstDirSectorAt);
    m_dirPending = m_dirSector <= ole::kMaxRegSect;
}

void FileOLEAnalyser::OleRawFileInfo::ReadDifat(const std::uint8_t* difat) {
    const std::uint32_t perSector = m_oleSectorSize / 4;
    for (std::uint32_t i = 0; i + 1 < perSector; ++i) {
        const std::uint32_t e = byteorder::LE32(difat + 4 * i);
        if (e > ole::kMaxRegSect) continue;
        ++m_fatCount;
        m_lastFat = e;
    }
    const std::uint32_t next = byteorder::LE32(difat + 4 * (perSector - 1));
    ++m_difatRead;
    // As on the device: the chain ends at a special value, at a sector that
    // does not lie further on, or at the length cap.
    if (next > ole::kMaxRegSect || next <= m_nextDifat || m_difatRead >= kMaxDifatSectors) {
        m_difatPending = false;
        m_fatListComplete = 1;
    } else {
        m_nextDifat = next;
    }
}

void FileOLEAnalyser::OleRawFileInfo::Complete(int sectorSize) {
    char name[64];
    std::snprintf(name, sizeof name, "%" PRId64 "-%" PRId64 " ", m_startSector, m_startSector + m_size / sectorSize);
    SetRawFileName(name);
    m_finished = 1;
    if (m_summaryFound) SetFileName();
}

int FileOLEAnalyser::OleRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber,
                                                 SearchContext& ctx) {
    if (m_finished) return 1;
    if (sector == nullptr || sectorSize < 512 || sectorSize % 512 != 0 || sectorNumber < m_startSector) return 2;
    m_deviceSectorSize = static_cast<std::uint32_t>(sectorSize);
    const std::uint64_t ss = static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * ss;
    const std::int64_t past = (sectorNumber - m_startSector) * sectorSize;
    // What the structure reads see: the view, or this sector alone when the
    // caller offers no view.
    auto bytesAt = [&](std::uint64_t abs, std::uint32_t length) -> const std::uint8_t* {
        if (!ctx.view.empty()) return ctx.view.at(abs, length);
        const std::uint64_t here = static_cast<std::uint64_t>(sectorNumber) * ss;
        return abs >= here && abs + length <= here + ss ? sector + (abs - here) : nullptr;
    };

    if (!m_headerRead) {
        if (sectorNumber != m_startSector) {
            m_unsizable = true;  // the header sector went by unseen
        } else if (!ole::OleHeaderSane(sector)) {
            m_unsizable = true;
        } else {
            ReadHeader(sector, sectorSize);
            if (m_fatListComplete && m_fatCount == 0) m_unsizable = true;
        }
    }
    // The summary stream is small enough that writers put it in the mini
    // stream, whose 64-byte sectors start anywhere in a device sector.
    if (!m_summaryFound) {
        for (std::uint32_t piece = 0; piece < ss; piece += 64) {
            if (byteorder::LE32(sector + piece) != 0x0000FFFE) continue;
            const std::uint64_t abs = static_cast<std::uint64_t>(sectorNumber) * ss + piece;
            std::uint64_t length = ctx.view.empty() ? ss - piece : ctx.view.availableFrom(abs);
            length = std::min<std::uint64_t>(length, 4096);
            const std::uint8_t* stream = bytesAt(abs, static_cast<std::uint32_t>(length));
            FileProperty found;
            if (stream && m_summary.GetFileInformation(stream, found, static_cast<int>(length))) {
                m_property = found;
                m_summaryFound = 1;
                break;
            }
        }
    }

    // Structures whose last byte lies in this sector, in the order they
    // depend on each other: a DIFAT sector names FAT sectors, the last FAT
    // sector gives the size. One that went by unread (skipped sectors, a
    // jump between blocks, a sector before the one naming it) leaves the
    // size to the device sizer.
    while (!m_unsizable && m_difatPending) {
        const std::uint64_t off = ole::OleSectorOffset(m_nextDifat, m_oleSectorSize);
        const std::int64_t trigger = TriggerSector(off, m_oleSectorSize);
        if (trigger > sectorNumber) break;
        const std::uint8_t* difat = trigger == sectorNumber ? bytesAt(base + off, m_oleSectorSize) : nullptr;
        if (difat == nullptr) {
            m_unsizable = true;
            break;
        }
        ReadDifat(difat);
    }
    if (!m_unsizable && m_fatListComplete && !m_sizeKnown) {
        const std::uint64_t off = ole::OleSectorOffset(m_lastFat, m_oleSectorSize);
        const std::int64_t trigger = TriggerSector(off, m_oleSectorSize);
        if (trigger <= sectorNumber) {
            const std::uint8_t* fat = trigger == sectorNumber ? bytesAt(base + off, m_oleSectorSize) : nullptr;
            if (fat == nullptr) {
                m_unsizable = true;
            } else {
                m_used = ole::UsedFatEntries(fat, m_oleSectorSize);
                m_size = static_cast<std::int64_t>(ole::OleFileSize(m_fatCount, m_used, m_oleSectorSize));
                m_sizeKnown = true;
            }
        }
    }
    if (!m_unsizable && m_dirPending) {
        const std::uint64_t off = ole::OleSectorOffset(m_dirSector, m_oleSectorSize);
        const std::int64_t trigger = TriggerSector(off, ole::kDirEntrySize * 4);
        if (trigger == sectorNumber) {
            const std::uint8_t* dir = bytesAt(base + off, 1024);
            std::uint32_t length = 1024;
            if (dir == nullptr) {
                dir = bytesAt(base + off, 512);
                length = 512;
            }
            if (dir == nullptr) {
                m_unsizable = true;
            } else {
                CheckSectDirData(dir, length, *this);
                m_dirPending = false;
            }
        } else if (trigger < sectorNumber) {
            m_unsizable = true;
        } else if (m_sizeKnown &&
                   static_cast<std::uint64_t>(trigger - m_startSector) * ss >= static_cast<std::uint64_t>(m_size)) {
            m_dirPending = false;  // a directory past the file's end is no directory of it
        }
    }

    if (m_unsizable) {
        m_size = 0;
        m_finished = 1;  // named, if at all, once the device sizer has typed it
        return 1;
    }
    if (!m_sizeKnown || m_dirPending) {
        if (m_sizeKnown && past > kLateCap) {
            Complete(sectorSize);
            return 1;
        }
        return 2;
    }
    // Size and type are known; the summary may still lie ahead inside the file.
    const std::int64_t lastSector = m_startSector + (m_size - 1) / sectorSize;
    if (!m_summaryFound && sectorNumber < lastSector && past <= kLateCap) return 2;
    Complete(sectorSize);
    return 1;
}

void FileOLEAnalyser::OleRawFileInfo::SetFileName() {
    const FileProperty& p = m_property;
    const std::string& date = !p.m_lastSaveTime.empty() ? p.m_lastSaveTime : p.m_createTime;
    std::string name;
    if (!date.empty()) {
        const std::string* first = !p.m_title.empty()        ? &p.m_title
                                   : !p.m_lastAuthor.empty() ? &p.m_lastAuthor
                                   : !p.m_author.empty()     ? &p.m_author
                                                             : nullptr;
        name = first ? *first + "_" + date + " " : date + " ";
    } else {
        if (!p.m_title.empty()) name = p.m_title + " ";
        if (!p.m_lastAuthor.empty()) name = p.m_lastAuthor + " ";
        if (!p.m_author.empty()) name = p.m_author + " ";
    }
    if (name.size() > 1023) name.resize(1023);
    if (!name.empty()) SetRawFileName(name);
    m_rawFileTime = p.m_createTime;
    if (!p.m_lastAuthor.empty())
        SetFileTag(p.m_lastAuthor);
    else if (!p.m_author.empty())
        SetFileTag(p.m_author);
    else if (!p.m_createTime.empty() || !p.m_title.empty() || !p.m_lastSaveTime.empty())
        SetFileTag("unKnown");
}

void FileOLEAnalyser::OleRawFileInfo::SetFileTag(std::string value) {
    if (m_type != RAW_FILE_TYPE_DOC && m_type != RAW_FILE_TYPE_PPT && m_type != RAW_FILE_TYPE_XLS) return;
    SetRawFileTagAndValue(RAW_FILE_TAG_OFFICE, value);
    std::string name = GetRawFileName();
    if (!name.empty()) {
        name = value + "_" + name;
        if (name.size() > 2047) name.resize(2047);
        SetRawFileName(name);
    }
}
