// The raw search with the film and container analysers over a fuzzed
// device (box walks, RealMedia/MPEG/ASF walks, FLV, Ogg, RIFF, Matroska,
// SWF, MLV, MXF and transport streams), then every device walk run straight
// on the same device from a fuzzed start: small blocks, so records are
// evicted and handed to the device walks, 512- or 4,096-byte sectors, a
// failing sector. The first 8 bytes choose the parameters.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "foundation/DirectoryTree.h"
#include "RawFuzzSupport.h"
#include "raw/RAWSearchController.h"
#include "raw/analysers/ContainerAnalysers.h"
#include "raw/analysers/MovAnalysers.h"
#include "raw/analysers/StreamAnalysers.h"
#include "recovery/RecoveryFilter.h"
#include "storage/SyntheticDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8 || size > (1u << 20)) return 0;
    fuzzsupport::InitTypeListsOnce(
        {{1, "pdf"}, {2, "png;gif;bmp"}, {4, "mov;mp4;avi;mkv"}, {8, "mp3;wav"}, {16, "zip"}, {32, "mbox"}});
    const std::uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
    const int block = 1 + data[1] % 16;
    const int copies = 1 + data[2] % 4;
    const std::int64_t failing = data[3];
    CSyntheticStorageDevice dev(sectorSize);
    for (int i = 0; i < copies; ++i) dev.AddBytes(data + 8, size - 8).AddZeros(data[4] * 16u);
    if (data[5] & 1) dev.FailSector(failing % (dev.GetTotalSectors() + 1));

    fuzzsupport::RunRawSearch(dev, block, true);
    const std::int64_t total = dev.GetTotalSectors();

    // The device walks from a start the input chooses.
    FileMP4Analyser mp4;
    FileFLVAnalyser flv;
    CFileOggAnalyser ogg;
    FileRIFFAnalyser riff;
    FileMKVAnalyser mkv;
    FileRM_RMVBAnalyser rm;
    FileMPGAnalyser mpg;
    IRawFileAnalyser* walks[] = {&mp4, &flv, &ogg, &riff, &mkv, &rm, &mpg};
    const std::int64_t start = total > 0 ? data[6] % total : 0;
    for (IRawFileAnalyser* a : walks) {
        CRawFileInfo r;
        r.m_startSector = start;
        a->GetRawFileSize(r, &dev);
    }
    return 0;
}
