// The office readers over fuzzed bytes. The first byte picks the reader:
//   0  the summary-property reader on the bytes as a stream
//   1  the core.xml reader: bytes 1-30 are the member's local header, the
//      rest the buffer that holds its data
//   2+ the raw search over a device made of the bytes (repeated), with the
//      compound-file and ZIP sizers also asked directly at sector 0;
//      byte 1 picks the sector size and block length.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "foundation/DirectoryTree.h"
#include "raw/OfficeTagFromXML.h"
#include "RawFuzzSupport.h"
#include "raw/RAWSearchController.h"
#include "raw/SummaryInFormation.h"
#include "raw/analysers/OleAnalyser.h"
#include "raw/analysers/ZipAnalyser.h"
#include "recovery/RecoveryFilter.h"
#include "storage/SyntheticDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8 || size > (1u << 20)) return 0;
    static const bool utf8 = std::setlocale(LC_ALL, "C.UTF-8") != nullptr;
    (void)utf8;
    fuzzsupport::InitTypeListsOnce(
        {{1, "doc;docx;xls;ppt"}, {2, "png"}, {4, "mov"}, {8, "mp3"}, {16, "zip"}, {32, "mbox"}});
    const std::uint8_t mode = data[0] % 4;
    if (mode == 0) {
        CSummaryInFormation reader;
        FileProperty property;
        reader.GetFileInformation(data + 1, property, static_cast<int>(size - 1));
        return 0;
    }
    if (mode == 1) {
        if (size < 32) return 0;
        Tessel::tagZipLocalFileHeader header;
        std::memcpy(header.bytes, data + 1, 30);
        const std::uint32_t ss = 512;
        const std::size_t body = size - 31;
        const std::int64_t sectors = static_cast<std::int64_t>(body / ss);
        if (sectors < 1) return 0;
        const SectorView view(data + 31, ss, 0, sectors, static_cast<std::uint32_t>(body - sectors * ss));
        Tessel::OfficeTagFromXML reader;
        FileProperty property;
        int needMore = 0;
        reader.GetOfficeTagFromXML(view, data[2] % 64, header, property, needMore);
        return 0;
    }
    const std::uint32_t sectorSize = (data[1] & 1) ? 4096 : 512;
    const int block = 1 + (data[1] >> 1) % 16;
    CSyntheticStorageDevice dev(sectorSize);
    for (int i = 0; i < 1 + data[2] % 3; ++i) dev.AddBytes(data + 8, size - 8).AddZeros(data[3] * 16u);

    {
        FileOLEAnalyser ole;
        CRawFileInfo record;
        ole.GetRawFileSize(record, &dev);
        FileZIPAnalyser zip;
        zip.GetRawFileSize(record, &dev);
    }
    fuzzsupport::RunRawSearch(dev, block, false);
    return 0;
}
