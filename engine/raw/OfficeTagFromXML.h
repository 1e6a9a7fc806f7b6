#pragma once
// The core properties of an Office Open XML document: the ZIP member
// "docProps/core.xml", raw-deflated, holding title, creator, last editor and
// the two W3C dates under "cp:coreProperties".

#include <cstdint>
#include <vector>

#include "foundation/ByteOrder.h"
#include "raw/FileProperty.h"
#include "raw/RawFileAnalyser.h"
#include "raw/analysers/ZlibInflater.h"

namespace Tessel {

// The 30-byte local file header of the core.xml member, as stored.
struct tagZipLocalFileHeader {
    std::uint8_t bytes[30] = {};
    std::uint16_t Method() const { return byteorder::LE16(bytes + 8); }
    std::uint32_t CompressedSize() const { return byteorder::LE32(bytes + 18); }
    std::uint32_t UncompressedSize() const { return byteorder::LE32(bytes + 22); }
    std::uint16_t NameLength() const { return byteorder::LE16(bytes + 26); }
    std::uint16_t ExtraLength() const { return byteorder::LE16(bytes + 28); }
};

class OfficeTagFromXML {
public:
    // core.xml is a few hundred bytes; anything this large is refused.
    static constexpr std::uint32_t kLimit = 10240;
    static constexpr std::uint32_t kBufferSize = kLimit + 1;

    OfficeTagFromXML() : m_buffer(kBufferSize, 0) {}

    // Reads the properties of the member whose header starts at absolute byte
    // `headerAbs`, from the driver's buffer as `view` holds it. 1 when read;
    // 0 with needMore = 1 when the member's data does not lie in the view yet
    // (the caller asks again for a later sector), 0 with needMore = 0 when
    // the member is refused or its header is no longer held.
    int GetOfficeTagFromXML(const SectorView& view, std::uint64_t headerAbs, const tagZipLocalFileHeader& header,
                            FileProperty& out, int& needMore);
    // Raw inflate (or copy, for a stored member) into the buffer.
    bool bDepress(const std::uint8_t* data, const tagZipLocalFileHeader& header);
    // The five properties from the buffer's XML; fields not found stay.
    void AnalyzeTag(FileProperty& out);
    // A letter after the first character becomes a blank, ":" becomes "-".
    static std::string FilterFileTime(std::string time);

private:
    std::vector<std::uint8_t> m_buffer;
    // Bytes of the buffer the last member may have written; the rest is zero.
    std::size_t m_written = 0;
    ZlibInflater m_inflater{-15};
};

}  // namespace Tessel
