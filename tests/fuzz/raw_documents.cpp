// The document analysers over fuzzed bytes. The first byte picks the part:
// the PDF Info reader on the bytes as sector text; the device sizers (PDF,
// RTF, HTML in 8 and 16 bits, SVG, OneNote) on a device made of the bytes;
// or the whole raw search, whose streaming records (PDF, EPS, the text end
// searches, MOBI, InDesign, OneNote, Outlook Express) see every sector.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "foundation/DirectoryTree.h"
#include "RawFuzzSupport.h"
#include "raw/RAWSearchController.h"
#include "raw/analysers/DocumentStoreAnalysers.h"
#include "raw/analysers/PdfAnalysers.h"
#include "raw/analysers/TextDocumentAnalysers.h"
#include "recovery/RecoveryFilter.h"
#include "storage/SyntheticDevice.h"

namespace {

void Sizers(const std::uint8_t* data, std::size_t size, std::uint32_t sectorSize) {
    CSyntheticStorageDevice dev(sectorSize);
    dev.AddBytes(data, size).AddZeros(sectorSize);
    FilePDFAnalyser pdf;
    FileRTFAnalyser rtf;
    FileHTMAnalyser htm;
    FileUnicodeHTMAnalyser unicode;
    FileSVGAnalyser svg;
    FileONEAnalyser one;
    IRawFileAnalyser* sizers[] = {&pdf, &rtf, &htm, &unicode, &svg, &one};
    for (IRawFileAnalyser* a : sizers) {
        CRawFileInfo record;
        record.m_startSector = 0;
        a->GetRawFileSize(record, &dev);
    }
}

void Search(const std::uint8_t* data, std::size_t size) {
    const std::uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
    const int block = 1 + data[1] % 16;
    const int copies = 1 + data[2] % 4;
    CSyntheticStorageDevice dev(sectorSize);
    for (int i = 0; i < copies; ++i) dev.AddBytes(data + 8, size - 8).AddZeros(data[4] * 16u);
    if (data[5] & 1) dev.FailSector(data[3] % (dev.GetTotalSectors() + 1));
    fuzzsupport::RunRawSearch(dev, block, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8 || size > (1u << 20)) return 0;
    fuzzsupport::InitTypeListsOnce(
        {{1, "pdf;doc"}, {2, "png;gif;bmp"}, {4, "mov"}, {8, "mp3"}, {16, "zip"}, {32, "mbox"}});
    switch (data[7] % 4) {
    case 0: {
        // The reader is handed whole sectors: the bytes, cut to one or two.
        const int sector = size - 8 >= 1024 ? 512 : static_cast<int>(size - 8);
        const int length = size - 8 >= 1024 ? 1024 : sector;
        if (sector < 4) return 0;
        FileProperty p;
        BruteForce::PdfTitleAnalyzer().ObtainPerSecPDFInformation(data + 8, sector, length, p);
        return 0;
    }
    case 1:
        Sizers(data + 8, size - 8, (data[0] & 1) ? 4096 : 512);
        return 0;
    default:
        Search(data, size);
        return 0;
    }
}
