// Opens fuzzed image files the way a user's .dmg or .qvx is opened.
// First byte: 0 = the rest is the property list of a UDIF image that the
// harness wraps with a data fork and a "koly" trailer pointing at it (sector
// count and fork length from the next bytes); 1 = the rest is a whole file.
#include "FuzzMemoryFile.h"
#include "foundation/Log.h"
#include "storage/DmgDevice.h"
#include "storage/QvxDevice.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

void PutBe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

}  // namespace

// The parser logs every step; keep the log file out of the way (standard
// output still gets the lines: run with >/dev/null).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetAppWorkPath("/nonexistent-quillory-fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::vector<uint8_t> file;
    if (data[0] == 0 && size >= 3) {
        const uint64_t sectors = data[1];
        const uint64_t forkSectors = data[2];
        file.assign(forkSectors * 512, 0xAB);
        const uint64_t xmlOffset = file.size();
        file.insert(file.end(), data + 3, data + size);
        uint8_t koly[512] = {};
        std::memcpy(koly, "koly", 4);
        PutBe64(koly + 32, forkSectors * 512);
        PutBe64(koly + 216, xmlOffset);
        PutBe64(koly + 224, size - 3);
        PutBe64(koly + 492, sectors);
        file.insert(file.end(), koly, koly + sizeof koly);
    } else {
        file.assign(data + 1, data + size);
    }
    const std::string stored = FuzzBytesAsFile(file.data(), file.size());
    if (stored.empty()) return 0;
    const char* path = stored.c_str();

    std::string error;
    std::unique_ptr<IStorageDevice> device(OpenImageFileDevice(path, error));
    if (device) {
        std::vector<uint8_t> sectors(4 * device->GetSectorSize());
        const int64_t total = device->GetTotalSectors();
        device->ReadSector(sectors.data(), 0, 4);
        if (total > 2) device->ReadSector(sectors.data(), total - 2, 4);
    }
    CQVXDeviceInfoStruct record{};
    QxFillQvxFileInfo(&record, path);
    return 0;
}
