// The raw search driver over a fuzzed device with the database, archive,
// package, disk-image, drawing and small-format analysers in the registry,
// and every random-access sizer of those families run directly on the same
// device. The first bytes choose the parameters; the rest is the device.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "foundation/DirectoryTree.h"
#include "RawFuzzSupport.h"
#include "raw/RAWSearchController.h"
#include "raw/analysers/ArchiveAnalysers.h"
#include "raw/analysers/HeaderSizedAnalysers.h"
#include "raw/analysers/LayeredImageAnalysers.h"
#include "raw/analysers/PackageAnalysers.h"
#include "raw/analysers/SmallFormatAnalysers.h"
#include "recovery/RecoveryFilter.h"
#include "storage/SyntheticDevice.h"

namespace {

std::unique_ptr<IRawFileAnalyser> Sizer(int which) {
    switch (which % 13) {
    case 0:
        return std::make_unique<FileRARAnalyser>();
    case 1:
        return std::make_unique<FileGZAnalyser>();
    case 2:
        return std::make_unique<FileLZHAnalyser>();
    case 3:
        return std::make_unique<FileTARAnalyser>();
    case 4:
        return std::make_unique<FileSITAnalyser>();
    case 5:
        return std::make_unique<FileCPTAnalyser>();
    case 6:
        return std::make_unique<FilePKGAnalyser>();
    case 7:
        return std::make_unique<FileDMGAnalyser>();
    case 8:
        return std::make_unique<FileMDBAnalyser>();
    case 9:
        return std::make_unique<FilePSDAnalyser>();
    case 10:
        return std::make_unique<FilePSPAnalyser>();
    case 11:
        return std::make_unique<File3DSAnalyser>();
    default:
        return std::make_unique<FileMboxAnalyser>();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8 || size > (1u << 20)) return 0;
    fuzzsupport::InitTypeListsOnce({{1, "pdf"}, {2, "png;gif;bmp"}, {4, "mov"}, {8, "mp3"}, {16, "zip"}, {32, "mbox"}});
    const std::uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
    const int block = 1 + data[1] % 16;
    const int copies = 1 + data[2] % 3;
    const std::int64_t failing = data[3];
    CSyntheticStorageDevice dev(sectorSize);
    for (int i = 0; i < copies; ++i) dev.AddBytes(data + 8, size - 8).AddZeros(data[4] * 16u);
    if (data[5] & 1) dev.FailSector(failing % (dev.GetTotalSectors() + 1));

    // Direct sizing, as at the end of a search, of a record at sector 0.
    std::unique_ptr<IRawFileAnalyser> sizer = Sizer(data[6]);
    CRawFileInfo record;
    sizer->GetRawFileSize(record, &dev);
    // The table-of-contents walk alone, on the device bytes as text.
    if (data[7] & 1) {
        // The one-pass reading must agree with the tree on every text it takes.
        const std::string toc(reinterpret_cast<const char*>(data + 8), size - 8);
        FilePKGAnalyser::HeapEndFromToc(toc);
        std::int64_t scanned = 0;
        if (FilePKGAnalyser::XmlDepth(toc, FilePKGAnalyser::kMaxDepth) <= FilePKGAnalyser::kMaxDepth &&
            FilePKGAnalyser::HeapEndFromTocScan(toc, scanned) && scanned != FilePKGAnalyser::HeapEndFromTocTree(toc))
            std::abort();
    }

    fuzzsupport::RunRawSearch(dev, block, true);
    return 0;
}
