#include "raw/analysers/ZipAnalyser.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "foundation/ByteOrder.h"
#include "raw/RawFileBuffer.h"

namespace {

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Where `text` starts at a position below `positions` with all of it inside
// the `length` bytes; -1 when nowhere.
std::int64_t FindWithin(const std::uint8_t* bytes, std::size_t length, std::string_view text, std::size_t positions) {
    if (bytes == nullptr || text.size() > length) return -1;
    const std::size_t last = std::min(positions, length - text.size() + 1);
    for (std::size_t i = 0; i < last; ++i)
        if (std::memcmp(bytes + i, text.data(), text.size()) == 0) return static_cast<std::int64_t>(i);
    return -1;
}
bool Within(const std::uint8_t* bytes, std::size_t length, std::string_view text, std::size_t positions) {
    return FindWithin(bytes, length, text, positions) >= 0;
}

// The Zip64 extended-information field holds, as u64 and in this order, the
// uncompressed and the compressed size, each only when its header word is
// 0xFFFFFFFF. Returns false when the field or the value is missing.
bool Zip64CompressedSize(const std::uint8_t* extra, std::size_t length, bool uncompressedPresent,
                         std::uint64_t& compressed) {
    std::size_t at = 0;
    while (at + 4 <= length) {
        const std::uint16_t id = byteorder::LE16(extra + at);
        const std::uint16_t size = byteorder::LE16(extra + at + 2);
        if (at + 4 + size > length) return false;
        if (id == zip::kZip64ExtraId) {
            const std::size_t need = uncompressedPresent ? 16 : 8;
            if (size < need) return false;
            compressed = byteorder::LE64(extra + at + 4 + (uncompressedPresent ? 8 : 0));
            return true;
        }
        at += 4 + size;
    }
    return false;
}

// Reads the header at `offset` with its name, extra field and up to 1,024
// bytes after them (fewer at the device's end); false when the fixed part,
// the name or the extra field cannot be read.
bool ReadHeader(WindowReader& reader, std::uint64_t offset, std::vector<std::uint8_t>& out) {
    std::uint8_t fixed[zip::kCentralSize];
    if (!reader.Read(offset, 4, fixed)) return false;
    std::size_t need = 4;
    switch (byteorder::LE32(fixed)) {
    case zip::kLocalSig:
        need = zip::kLocalSize;
        break;
    case zip::kCentralSig:
        need = zip::kCentralSize;
        break;
    case zip::kEndSig:
        need = zip::kEndSize;
        break;
    case zip::kZip64EndSig:
        need = 12;
        break;
    case zip::kZip64LocatorSig:
        need = zip::kZip64LocatorSize;
        break;
    default:
        break;
    }
    if (!reader.Read(offset, need, fixed)) return false;
    std::size_t variable = 0;
    if (need == zip::kLocalSize)
        variable = static_cast<std::size_t>(byteorder::LE16(fixed + 26)) + byteorder::LE16(fixed + 28);
    else if (need == zip::kCentralSize)
        variable = byteorder::LE16(fixed + 28);
    for (std::size_t extra : {std::size_t{1024}, std::size_t{256}, std::size_t{64}, std::size_t{0}}) {
        out.resize(need + variable + extra);
        if (reader.Read(offset, out.size(), out.data())) return true;
    }
    return false;
}

// A title of 25 bytes or more keeps its first 24, cut at a character
// boundary so the name stays valid UTF-8.
void CutTitle(std::string& title) {
    if (title.size() < 25) return;
    std::size_t cut = 24;
    while (cut > 0 && (static_cast<std::uint8_t>(title[cut]) & 0xC0) == 0x80) --cut;
    title.resize(cut);
}

}  // namespace

bool classZipSearch::IsValidLocalZipFileHeader(const std::uint8_t* h, std::size_t available) {
    return h != nullptr && available >= zip::kLocalSize && byteorder::LE32(h) == zip::kLocalSig &&
           byteorder::LE16(h + 8) <= kMaxMethod && byteorder::LE16(h + 26) < kMaxNameLength + 1;
}
bool classZipSearch::IsValidCentralDirectoryHeader(const std::uint8_t* h, std::size_t available) {
    return h != nullptr && available >= zip::kCentralSize && byteorder::LE32(h) == zip::kCentralSig;
}
bool classZipSearch::IsValidEndCentralDir(const std::uint8_t* h, std::size_t available) {
    return h != nullptr && available >= zip::kEndSize && byteorder::LE32(h) == zip::kEndSig;
}
bool classZipSearch::IsValidZip64EndCentralDirRecord(const std::uint8_t* h, std::size_t available) {
    return h != nullptr && available >= 12 && byteorder::LE32(h) == zip::kZip64EndSig;
}
bool classZipSearch::IsValidZip64EndCentralDirLocator(const std::uint8_t* h, std::size_t available) {
    return h != nullptr && available >= zip::kZip64LocatorSize && byteorder::LE32(h) == zip::kZip64LocatorSig;
}
bool classZipSearch::IsValidHeader(const std::uint8_t* h, std::size_t available) {
    return IsValidLocalZipFileHeader(h, available) || IsValidCentralDirectoryHeader(h, available) ||
           IsValidEndCentralDir(h, available) || IsValidZip64EndCentralDirRecord(h, available) ||
           IsValidZip64EndCentralDirLocator(h, available);
}

std::uint32_t classZipSearch::ClassifyMember(const std::string& name, const std::uint8_t* after,
                                             std::size_t afterLength, bool office, bool streaming, bool local,
                                             std::uint32_t t) {
    if (office) {
        if (name == "word/_rels/document.xml.rels") return RAW_FILE_TYPE_DOCX;
        if (name == "xl/_rels/workbook.xml.rels") return RAW_FILE_TYPE_XLSX;
        if (name == "ppt/_rels/presentation.xml.rels") return RAW_FILE_TYPE_PPTX;
        if (streaming && local && name == "word/theme/theme1.xml") return RAW_FILE_TYPE_DOCX;
    }
    if (!local) {
        // Central directory headers answer only to the Office names.
        if (!office) return t;
        if (name == "Accounts/Outlook/") return RAW_FILE_TYPE_OLM;
        return name.size() >= 5 && StartsWith(name, "word") ? RAW_FILE_TYPE_DOCX : t;
    }
    if (streaming && name.size() == 36)  // a GUID names the members of a tax file
        return std::count(name.begin(), name.end(), '-') == 4 ? RAW_FILE_TYPE_TAX : t;
    if (office) {
        if (name == "Accounts/Outlook/com.microsoft.__Messages/" || name == "Accounts/Outlook/" ||
            name == "Local/com.microsoft.__Messages/")
            return RAW_FILE_TYPE_OLM;
        return name.size() >= 5 && StartsWith(name, "word") ? RAW_FILE_TYPE_DOCX : t;
    }
    const bool iwork = t == RAW_FILE_TYPE_PAGES || t == RAW_FILE_TYPE_KEY;
    if (!iwork && name.find("numbers/") != std::string::npos) return RAW_FILE_TYPE_NUMBERS;
    if (name == "Index/Slide1.iwa" || name == "Index/Slide2.iwa" || name == "index.apxl") return RAW_FILE_TYPE_KEY;
    if (!iwork && name == "buildVersionHistory.plist") {
        const std::int64_t pages = FindWithin(after, afterLength, "<string>pages-trunk", 256);
        const std::int64_t numbers = FindWithin(after, afterLength, "<string>numbers-trunk", 256);
        if (streaming)
            return pages >= 0 && (numbers < 0 || pages < numbers) ? RAW_FILE_TYPE_PAGES : RAW_FILE_TYPE_NUMBERS;
        return numbers < 0 && pages >= 0 ? RAW_FILE_TYPE_PAGES : RAW_FILE_TYPE_NUMBERS;
    }
    if (!iwork &&
        (name == "Index/DocumentStylesheet.iwa" || (streaming && name == "Index/Tables/HeaderStorageBuckt-1.iwa")))
        return Within(after, afterLength, "layout-style-", 256) ||
                       Within(after, afterLength, "imported-paragraph-style-", 256)
                   ? RAW_FILE_TYPE_PAGES
                   : RAW_FILE_TYPE_NUMBERS;
    if (streaming && !iwork && (name == "Index/Metadata.iwa" || name == "Metadata/Properties.plist"))
        return Within(after, afterLength, "CalculationEngine", 256) ||
                       Within(after, afterLength, "DocumentMetadata", 256) ||
                       Within(after, afterLength, "Xrevision", 256)
                   ? RAW_FILE_TYPE_PAGES
                   : RAW_FILE_TYPE_NUMBERS;
    if (iwork || t == RAW_FILE_TYPE_NUMBERS) return t;
    if (streaming && (StartsWith(name, "OEBPS/Text/chapter") || name == "OPS/chapter.html")) return RAW_FILE_TYPE_EPUB;
    if (name == "mimetype") {
        const std::size_t window = std::min<std::size_t>(afterLength, 64);
        std::uint32_t type = t;
        if (Within(after, window, "application/epub+", 64)) type = RAW_FILE_TYPE_EPUB;
        if (Within(after, window, "application/vnd.oasis.opendocument.text", 64)) type = RAW_FILE_TYPE_ODT;
        if (Within(after, window, std::string_view("application/vnd.oasis.opendocument.spreadsheet", 45), 64))
            type = RAW_FILE_TYPE_ODS;
        if (Within(after, window, std::string_view("application/vnd.oasis.opendocument.presentation", 46), 64))
            type = RAW_FILE_TYPE_ODP;
        return type;
    }
    return t;
}

int classZipSearch::GetBlockSize(const std::uint8_t* h, std::size_t available, bool office, bool streaming,
                                 std::uint32_t& memberType, ZipBlock& block) {
    block = ZipBlock();
    if (h == nullptr || available < 4) return 2;
    block.signature = byteorder::LE32(h);
    switch (block.signature) {
    case zip::kLocalSig: {
        if (available < zip::kLocalSize) return 2;
        if (!IsValidLocalZipFileHeader(h, available)) return 0;
        const std::uint32_t n = byteorder::LE16(h + 26);
        const std::uint32_t e = byteorder::LE16(h + 28);
        if (streaming && n > kMaxStreamName) return 0;
        if (available < zip::kLocalSize + n + e) return 2;
        block.flags = byteorder::LE16(h + 6);
        const std::uint32_t csize = byteorder::LE32(h + 18);
        const std::uint32_t usize = byteorder::LE32(h + 22);
        std::uint64_t compressed = csize;
        if (csize == 0xFFFFFFFFu && !Zip64CompressedSize(h + zip::kLocalSize + n, e, usize == 0xFFFFFFFFu, compressed))
            return 0;
        block.size = zip::kLocalSize + n + e + compressed;
        block.sizesInHeader = (block.flags & zip::kDataDescriptorFlag) == 0;
        block.zeroSizes = csize == 0 && usize == 0;
        block.name.assign(reinterpret_cast<const char*>(h + zip::kLocalSize), n);
        block.isCore = block.name == "docProps/core.xml";
        memberType = ClassifyMember(block.name, h + zip::kLocalSize + n, available - zip::kLocalSize - n, office,
                                    streaming, true, memberType);
        return 1;
    }
    case zip::kCentralSig: {
        if (available < zip::kCentralSize) return 2;
        const std::uint32_t n = byteorder::LE16(h + 28);
        block.size = std::uint64_t{zip::kCentralSize} + n + byteorder::LE16(h + 30) + byteorder::LE16(h + 32);
        if (office) {
            if (available < zip::kCentralSize + n) return 2;
            const std::string name(reinterpret_cast<const char*>(h + zip::kCentralSize), n);
            memberType = ClassifyMember(name, nullptr, 0, office, streaming, false, memberType);
        }
        return 1;
    }
    case zip::kEndSig:
        if (available < zip::kEndSize) return 2;
        block.size = zip::kEndSize + byteorder::LE16(h + 20);
        return 1;
    case zip::kZip64EndSig: {
        if (available < 12) return 2;
        // The record's own size field counts what follows it; a version-1
        // record is the 56 bytes most writers give.
        const std::uint64_t rest = byteorder::LE64(h + 4);
        block.size = rest >= 44 && rest <= 0x10000 ? 12 + rest : zip::kZip64EndSize;
        return 1;
    }
    case zip::kZip64LocatorSig:
        block.size = zip::kZip64LocatorSize;
        return 1;
    default:
        return 0;
    }
}

bool ZipIpaFileType(const std::string& firstName) {
    static const char* const kNames[] = {"Payload",   "iTunesArtwork",   "iTunesMetadata.plist",
                                         "Container", "WatchKitSupport", "META-INF"};
    for (const char* entry : kNames) {
        const std::size_t n = std::strlen(entry);
        if (firstName.size() < n) continue;
        bool same = true;
        for (std::size_t i = 0; i < n && same; ++i)
            same = std::tolower(static_cast<unsigned char>(firstName[i])) ==
                   std::tolower(static_cast<unsigned char>(entry[i]));
        if (same) return true;
    }
    return false;
}

void FileZIPAnalyser::JudgeMaybeOfficeType(const std::uint8_t* sector, std::size_t length, bool& office,
                                           bool& drawing) {
    office = drawing = false;
    if (sector == nullptr || length < zip::kLocalSize || byteorder::LE32(sector) != zip::kLocalSig) return;
    const std::size_t n = std::min<std::size_t>(byteorder::LE16(sector + 26), length - zip::kLocalSize);
    const std::string_view name(reinterpret_cast<const char*>(sector + zip::kLocalSize), n);
    for (const char* prefix :
         {"[Content_Types].xml", "docProps/app.xml", "word/theme/theme1.xml", "_rels/.rels", "Categories.xml"}) {
        if (StartsWith(name, prefix)) {
            office = true;
            return;
        }
    }
    // The sector as zero-terminated text from its first byte.
    const char* text = reinterpret_cast<const char*>(sector);
    const std::string_view head(text, strnlen(text, std::min<std::size_t>(length, 4095)));
    if (head.find("doc") != std::string_view::npos && head.find("mimetype") == std::string_view::npos)
        office = true;
    else if (head.find("ppt") != std::string_view::npos)
        office = true;
    else if (StartsWith(name, "content/riffData.cdr"))
        drawing = true;
}

void FileZIPAnalyser::JudgeMaybeOfficeType(const std::string& firstName, bool& office, bool& drawing) {
    office = firstName == "[Content_Types].xml" || firstName == "docProps/app.xml" || firstName == "Categories.xml" ||
             firstName.find("doc") != std::string::npos || firstName.find("ppt") != std::string::npos;
    drawing = firstName == "content/riffData.cdr";
}

int FileZIPAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    // Only the first 20 bytes of the name matter, well inside the sector.
    const std::size_t n = std::min<std::size_t>(byteorder::LE16(sector + 26), 20);
    const std::string first(reinterpret_cast<const char*>(sector + zip::kLocalSize), n);
    record.m_type = ZipIpaFileType(first) ? RAW_FILE_TYPE_IPA : RAW_FILE_TYPE_ZIP;
    return 1;
}

CRawFileInfo* FileZIPAnalyser::CreateRawFileInfo() { return new ZIPRawFileInfo(this); }

std::int64_t FileZIPAnalyser::GetProbablySize(std::uint64_t offset, WindowReader& reader) {
    static const std::uint8_t kEnd[4] = {'P', 'K', 5, 6};
    while (offset < kProbableLimit) {
        const std::int64_t at = reader.Find(offset, kProbableLimit - offset, kEnd, sizeof kEnd);
        if (at < 0) return -1;
        std::uint8_t end[zip::kEndSize];
        if (!reader.Read(static_cast<std::uint64_t>(at), sizeof end, end)) return -1;
        // The end record points back at the central directory right before
        // it; an end record inside a stored member (a nested archive) does not.
        const std::uint32_t cdSize = byteorder::LE32(end + 12);
        const std::uint32_t cdOffset = byteorder::LE32(end + 16);
        if (cdOffset == 0xFFFFFFFFu || std::uint64_t{cdOffset} + cdSize == static_cast<std::uint64_t>(at))
            return at + zip::kEndSize + byteorder::LE16(end + 20);
        offset = static_cast<std::uint64_t>(at) + 1;
    }
    return -1;
}

int FileZIPAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::vector<std::uint8_t> h;
    if (!ReadHeader(reader, 0, h) || !classZipSearch::IsValidHeader(h.data(), h.size())) {
        record.m_size = 0;
        return 0;
    }
    std::string firstName;
    if (byteorder::LE32(h.data()) == zip::kLocalSig)
        firstName.assign(reinterpret_cast<const char*>(h.data() + zip::kLocalSize),
                         std::min<std::size_t>(byteorder::LE16(h.data() + 26), h.size() - zip::kLocalSize));
    std::uint32_t memberType = ZipIpaFileType(firstName) ? RAW_FILE_TYPE_IPA : RAW_FILE_TYPE_ZIP;
    bool office = false, drawing = false;
    JudgeMaybeOfficeType(firstName, office, drawing);
    m_office = office;
    m_drawing = drawing;
    ZipBlock block;
    if (classZipSearch::GetBlockSize(h.data(), h.size(), office, false, memberType, block) != 1) {
        record.m_size = 0;
        return 0;
    }
    std::uint64_t offset = 0;
    bool ended = false;
    for (bool first = true; !ended && offset <= kWalkLimit; first = false) {
        if (!first) {
            if (!ReadHeader(reader, offset, h) || !classZipSearch::IsValidHeader(h.data(), h.size())) break;
            if (classZipSearch::GetBlockSize(h.data(), h.size(), office, false, memberType, block) != 1) break;
        }
        // The first member too: archives written to a pipe describe every
        // member after its data.
        if (block.signature == zip::kLocalSig && (block.zeroSizes || !block.sizesInHeader)) {
            // No size to step by: the end record says where the archive ends.
            const std::int64_t end = GetProbablySize(offset, reader);
            if (end >= 0) {
                offset = static_cast<std::uint64_t>(end);
                ended = true;
            }
            break;
        }
        offset += block.size;
        ended = block.signature == zip::kEndSig;
    }
    if (drawing && !office) memberType = RAW_FILE_TYPE_CDR;

    std::uint64_t size = offset;
    if (!ended) {
        // The walk stopped on a header it cannot trust: the archive ends in
        // a zero-padded sector at or after it.
        const std::uint32_t ss = reader.Buffer().SectorSize() ? reader.Buffer().SectorSize() : 512;
        const std::uint64_t a = offset / ss * ss;
        std::vector<std::uint8_t> s(ss);
        if (!reader.Read(a, ss, s.data())) {
            size = a;
        } else if (byteorder::LE32(s.data() + ss - 4) == 0) {
            size = offset;
        } else if (a <= kTailLimit) {
            std::uint64_t pos = a;
            size = pos;
            for (; pos <= kTailLimit; pos += ss) {
                if (!reader.Read(pos, ss, s.data())) break;
                size = pos;
                if (std::all_of(s.end() - 16, s.end(), [](std::uint8_t b) { return b == 0; })) {
                    size = pos + ss - 16;
                    break;
                }
            }
        } else {
            size = a;
        }
    }
    auto* streamed = dynamic_cast<ZIPRawFileInfo*>(&record);
    // A type only the streaming rules can tell (a tax file) is kept.
    if (memberType != RAW_FILE_TYPE_ZIP || streamed == nullptr || record.m_type == RAW_FILE_TYPE_OLE ||
        record.m_type == 0)
        record.m_type = memberType;
    record.m_size = static_cast<std::int64_t>(size);
    // A document the streaming named from its core properties keeps that name.
    if (streamed == nullptr || !(streamed->m_coreRead && streamed->m_office)) record.SetRawFileName(firstName);
    return 1;
}

void FileZIPAnalyser::ZIPRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t sectorNumber) {
    FillFileInfo(sectorNumber, 512, 0, false);
    // The walk's running size is where it stopped, not the archive's end.
    m_size = 0;
    m_analyser = m_owner;
}

void FileZIPAnalyser::ZIPRawFileInfo::FillFileInfo(std::int64_t sectorNumber, int sectorSize, std::uint32_t tail,
                                                   bool setSize) {
    const FileProperty& p = m_property;
    if (m_coreRead && m_office) {
        const std::string candidate = !p.m_lastAuthor.empty() ? p.m_lastAuthor
                                      : !p.m_author.empty()   ? p.m_author
                                                              : std::string("unKnown");
        if (!p.m_lastSaveTime.empty()) m_rawFileTime = p.m_lastSaveTime;
        std::string title = p.m_title;
        CutTitle(title);
        const std::string dated = p.m_lastSaveTime.empty() ? std::string() : "_" + p.m_lastSaveTime;
        std::string base;
        if (!title.empty())
            base = title + dated;
        else if (!p.m_lastAuthor.empty())
            base = p.m_lastAuthor + dated;
        else if (!p.m_author.empty())
            base = p.m_author + dated;
        else if (!p.m_lastSaveTime.empty())
            base = p.m_lastSaveTime;
        else
            base = p.m_createTime;
        if (!base.empty()) {
            if (m_type == RAW_FILE_TYPE_DOCX || m_type == RAW_FILE_TYPE_XLSX || m_type == RAW_FILE_TYPE_PPTX) {
                std::string value = candidate;
                SetRawFileTagAndValue(RAW_FILE_TAG_OFFICE, value);
            }
            std::string name = m_tagValue.empty() ? base : m_tagValue + "_" + base;
            if (name.size() > 3071) name.resize(3071);
            SetRawFileName(name);
        }
    } else {
        m_tagValue.clear();
        m_tag = RAW_FILE_TAG_NONE;
        if (sectorNumber >= 0) {
            char name[64];
            std::snprintf(name, sizeof name, "%" PRId64 "-%" PRId64 "_", m_startSector, sectorNumber);
            SetRawFileName(name);
        }
    }
    if (setSize && m_size == 0 && sectorNumber >= m_startSector)
        m_size = static_cast<std::int64_t>(sectorSize) * (sectorNumber + 1 - m_startSector) - tail;
}

int FileZIPAnalyser::ZIPRawFileInfo::CheckZIPBlock(const SectorView& view, std::uint64_t base) {
    const std::uint64_t abs = base + m_walkOffset;
    if (abs >= view.endByte()) return 2;
    const std::uint8_t* h = view.at(abs, 1);
    if (h == nullptr) return 3;  // went by unheld: the device walk takes over
    const std::size_t available = static_cast<std::size_t>(view.availableFrom(abs));
    ZipBlock block;
    const int r = classZipSearch::GetBlockSize(h, available, m_office != 0, true, m_memberType, block);
    if (r != 1) return r;
    // No step past the caps' reach: a size this large is damage.
    if (block.size == 0 || block.size > (std::uint64_t{1} << 40)) return 0;
    if (block.signature == zip::kLocalSig) {
        m_continueWalk = block.sizesInHeader ? 1 : 0;
        if (!block.name.empty() && m_tagValue.empty()) {
            m_firstSizesKnown = block.sizesInHeader ? 1 : 0;
            std::string value = block.name.substr(0, 20);
            SetRawFileTagAndValue(RAW_FILE_TAG_NONE, value);
            m_rawFileTime.clear();
        }
    }
    if (m_memberType != RAW_FILE_TYPE_ZIP) m_type = m_memberType;
    m_walkOffset += block.size;
    m_size = static_cast<std::int64_t>(m_walkOffset);
    if (block.isCore && !m_coreRead && !m_corePending) {
        std::memcpy(m_coreHeader.bytes, h, sizeof m_coreHeader.bytes);
        int needMore = 0;
        if (m_owner->CoreReader().GetOfficeTagFromXML(view, abs, m_coreHeader, m_property, needMore) == 1) {
            m_coreRead = 1;
        } else if (needMore) {
            m_corePending = true;
            m_coreAbs = abs;
        }
    }
    return block.signature == zip::kEndSig ? 4 : 1;
}

void FileZIPAnalyser::ZIPRawFileInfo::JudeOleType(const std::uint8_t* sector, int sectorSize) {
    static const std::uint8_t cWordSign[6] = {0, 'w', 'o', 'r', 'd', '/'};
    static const std::uint8_t cPptSign[5] = {0, 'p', 'p', 't', '/'};
    static const std::uint8_t cXlSign[4] = {0, 'x', 'l', '/'};
    const std::size_t n = static_cast<std::size_t>(sectorSize);
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 6 <= n && std::memcmp(sector + i, cWordSign, 6) == 0) {
            m_type = m_memberType = RAW_FILE_TYPE_DOCX;
            return;
        }
        if (i + 5 <= n && std::memcmp(sector + i, cPptSign, 5) == 0) {
            m_type = m_memberType = RAW_FILE_TYPE_PPTX;
            return;
        }
        if (i + 4 <= n && std::memcmp(sector + i, cXlSign, 4) == 0) {
            m_type = m_memberType = RAW_FILE_TYPE_XLSX;
            return;
        }
    }
}

bool FileZIPAnalyser::ZIPRawFileInfo::ReadCentralDirectory(const SectorView& view, std::uint32_t cdOffset,
                                                           std::uint32_t cdSize) {
    const std::uint64_t start = static_cast<std::uint64_t>(m_startSector) * view.sectorSize();
    const std::uint8_t* cd = cdOffset == 0xFFFFFFFFu ? nullptr : view.at(start + cdOffset, cdSize);
    if (cd == nullptr) return false;
    // The central directory names every member, those written with data
    // descriptors too: the Office part folders decide the type, and the
    // entry of core.xml gives the sizes its local header left out.
    const std::uint32_t before = m_type;
    JudeOleType(cd, static_cast<int>(cdSize));
    for (std::uint64_t p = 0; !m_coreRead && p + zip::kCentralSize <= cdSize;) {
        const std::uint8_t* c = cd + p;
        if (byteorder::LE32(c) != zip::kCentralSig) break;
        const std::uint32_t n = byteorder::LE16(c + 28);
        if (p + zip::kCentralSize + n > cdSize) break;
        if (std::string_view(reinterpret_cast<const char*>(c + zip::kCentralSize), n) == "docProps/core.xml") {
            const std::uint64_t headerAbs = start + byteorder::LE32(c + 42);
            const std::uint8_t* local = view.at(headerAbs, zip::kLocalSize);
            if (local != nullptr && byteorder::LE32(local) == zip::kLocalSig) {
                std::memcpy(m_coreHeader.bytes, local, sizeof m_coreHeader.bytes);
                std::memcpy(m_coreHeader.bytes + 8, c + 10, 2);   // method
                std::memcpy(m_coreHeader.bytes + 18, c + 20, 8);  // compressed and uncompressed size
                int needMore = 0;
                if (m_owner->CoreReader().GetOfficeTagFromXML(view, headerAbs, m_coreHeader, m_property, needMore))
                    m_coreRead = 1;
            }
            break;
        }
        p += zip::kCentralSize + n + byteorder::LE16(c + 30) + byteorder::LE16(c + 32);
    }
    return m_type != before || m_type != RAW_FILE_TYPE_ZIP;
}

bool FileZIPAnalyser::ZIPRawFileInfo::EndSearch(const std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber,
                                                const SearchContext& ctx) {
    if (m_firstSizesKnown && m_continueWalk && m_type != RAW_FILE_TYPE_IPA) return false;
    const std::uint32_t tail = ctx.trailingZeroBytes;
    if (tail < 17) return false;
    const std::size_t used = static_cast<std::size_t>(sectorSize) - tail;
    bool finished = false;
    // The last "PK" before the zero tail.
    for (std::size_t i = used; i-- > 0;) {
        if (i + 4 > static_cast<std::size_t>(sectorSize) || sector[i] != 'P' || sector[i + 1] != 'K') continue;
        const std::uint64_t before = static_cast<std::uint64_t>(sectorNumber - m_startSector) * sectorSize;
        const std::uint64_t abs = static_cast<std::uint64_t>(sectorNumber) * sectorSize + i;
        if (sector[i + 2] == 5 && sector[i + 3] == 6) {
            const std::uint8_t* end =
                ctx.view.empty() ? (i + zip::kEndSize <= static_cast<std::size_t>(sectorSize) ? sector + i : nullptr)
                                 : ctx.view.at(abs, zip::kEndSize);
            if (end != nullptr) {
                const std::uint32_t cdSize = byteorder::LE32(end + 12);
                const std::uint32_t cdOffset = byteorder::LE32(end + 16);
                if (cdOffset == 0xFFFFFFFFu || std::uint64_t{cdOffset} + cdSize == before + i) {
                    m_size = static_cast<std::int64_t>(before + i + zip::kEndSize + byteorder::LE16(end + 20));
                    finished = true;
                    if (m_office && ReadCentralDirectory(ctx.view, cdOffset, cdSize)) return true;
                }
            }
        } else if (sector[i + 2] == 1 && sector[i + 3] == 2) {
            // A central directory without its end record: the archive ends
            // after this header.
            std::uint64_t length = zip::kCentralSize;
            if (const std::uint8_t* c = ctx.view.at(abs, zip::kCentralSize))
                length += std::uint64_t{byteorder::LE16(c + 28)} + byteorder::LE16(c + 30) + byteorder::LE16(c + 32);
            m_size = static_cast<std::int64_t>(before + i + length);
            finished = tail > 21;
        }
        break;
    }
    if (m_office) JudeOleType(sector, sectorSize);
    return finished;
}

int FileZIPAnalyser::ZIPRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber,
                                                 SearchContext& ctx) {
    if (m_finished) return 1;
    if (sector == nullptr || sectorSize < 512 || sectorNumber < m_startSector) return 2;
    const std::uint64_t ss = static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t past = static_cast<std::uint64_t>(sectorNumber - m_startSector) * ss;
    if (past > 20 * m_sizeCap) {
        char name[64];
        std::snprintf(name, sizeof name, "%" PRId64 "-%" PRId64 "_", m_startSector, sectorNumber);
        SetRawFileName(name);
        m_size = static_cast<std::int64_t>(m_sizeCap);
        m_finished = true;
        return 1;
    }
    SectorView view = ctx.view;
    if (view.empty()) view = SectorView::ForSector(sector, static_cast<std::uint32_t>(sectorSize), sectorNumber, 0);
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * ss;
    if (!m_started) {
        m_started = true;
        if (sectorNumber != m_startSector ||
            !classZipSearch::IsValidHeader(sector, static_cast<std::size_t>(sectorSize))) {
            m_finished = true;
            return 1;  // no size: the device walk decides
        }
        bool office = false, drawing = false;
        FileZIPAnalyser::JudgeMaybeOfficeType(sector, std::min<std::size_t>(ss, 4095), office, drawing);
        if (office) {
            m_office = 1;
            m_sizeCap = kOfficeSizeCap;
        }
        if (drawing) m_type = RAW_FILE_TYPE_CDR;
    }

    bool finished = false;
    bool sized = true;
    const std::uint64_t sectorEnd = (static_cast<std::uint64_t>(sectorNumber) + 1) * ss;
    while (m_continueWalk && base + m_walkOffset < sectorEnd) {
        const int r = CheckZIPBlock(view, base);
        if (r == 1) continue;
        if (r == 2) break;
        finished = true;
        // A header that is not one ends the archive after the last good
        // block; a header that went by unheld, or a first block that is
        // refused, leaves the size to the device walk.
        if (r == 3 || m_walkOffset == 0) sized = false;
        break;
    }
    if (m_corePending && !m_coreRead) {
        int needMore = 0;
        if (m_owner->CoreReader().GetOfficeTagFromXML(view, m_coreAbs, m_coreHeader, m_property, needMore) == 1)
            m_coreRead = 1;
        if (!needMore) m_corePending = false;
    }
    if (!finished) finished = EndSearch(sector, sectorSize, sectorNumber, ctx);
    if (!finished) return 2;
    m_finished = true;
    if (!sized) {
        m_size = 0;
        return 1;
    }
    FillFileInfo(sectorNumber, sectorSize, ctx.trailingZeroBytes);
    return 1;
}
