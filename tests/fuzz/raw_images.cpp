// The raw search driver with the PNG, GIF and small-image analysers over a
// fuzzed device: small blocks (so the ring fills and candidates are evicted
// and sized through the twin), 512- or 4,096-byte sectors, a failing sector.
// The first bytes choose the parameters; the rest is the device, repeated
// so that hits made of its bytes recur at many offsets.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "RawFuzzSupport.h"
#include "raw/RAWSearchController.h"
#include "foundation/DirectoryTree.h"
#include "recovery/RecoveryFilter.h"
#include "storage/SyntheticDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8 || size > (1u << 20)) return 0;
    fuzzsupport::InitTypeListsOnce({{1, "pdf"}, {2, "png;gif;bmp"}, {4, "mov"}, {8, "mp3"}, {16, "zip"}, {32, "mbox"}});
    const std::uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
    const int block = 1 + data[1] % 16;
    const int copies = 1 + data[2] % 4;
    const std::int64_t failing = data[3];
    CSyntheticStorageDevice dev(sectorSize);
    for (int i = 0; i < copies; ++i) dev.AddBytes(data + 8, size - 8).AddZeros(data[4] * 16u);
    if (data[5] & 1) dev.FailSector(failing % (dev.GetTotalSectors() + 1));

    fuzzsupport::RunRawSearch(dev, block, true);
    return 0;
}
