// The $LogFile record finder over hostile log pages. The input is the log,
// page by page (at least 5 pages, zero-padded); every page that starts with
// "RCRD" gets its update sequence applied here, so the walk reaches the
// records. Then an emptied record is repaired from whatever was kept, with an
// extension record read from inside the log.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzDevice.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSLogFileFinder.h"
#include "ntfs/NTFSMultiFileRecord.h"

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kMftByte = 64 * 1024;
constexpr std::size_t kLogByte = 128 * 1024;

void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = v & 0xFF;
    p[1] = v >> 8;
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (v >> (8 * i)) & 0xFF;
}
void Put64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = (v >> (8 * i)) & 0xFF;
}

// A FILE record (readable form, USA count 1) with a $FILE_NAME and a
// non-resident unnamed $DATA with the given mapping pairs.
std::vector<std::uint8_t> Record(std::uint32_t mft, std::uint16_t flags, const char16_t* name,
                                 const std::vector<std::uint8_t>& pairs, std::uint64_t size) {
    std::vector<std::uint8_t> r(1024, 0);
    std::memcpy(r.data(), "FILE", 4);
    Put16(r.data() + 4, 48);
    Put16(r.data() + 6, 1);
    Put16(r.data() + 20, 56);
    Put16(r.data() + 22, flags);
    Put32(r.data() + 28, 1024);
    Put32(r.data() + 44, mft);
    std::size_t off = 56;
    std::size_t units = 0;
    while (name[units] != 0) ++units;
    std::uint8_t* fn = r.data() + off;
    const std::size_t fnLength = (24 + 66 + 2 * units + 7) & ~std::size_t{7};
    Put32(fn, 0x30);
    Put32(fn + 4, static_cast<std::uint32_t>(fnLength));
    Put32(fn + 16, static_cast<std::uint32_t>(66 + 2 * units));
    Put16(fn + 20, 24);
    Put64(fn + 24, 5);
    Put64(fn + 24 + 48, size);
    fn[24 + 64] = static_cast<std::uint8_t>(units);
    fn[24 + 65] = 1;
    for (std::size_t i = 0; i < units; ++i) Put16(fn + 24 + 66 + 2 * i, static_cast<std::uint16_t>(name[i]));
    off += fnLength;
    std::uint8_t* data = r.data() + off;
    const std::size_t dataLength = (64 + pairs.size() + 7) & ~std::size_t{7};
    Put32(data, 0x80);
    Put32(data + 4, static_cast<std::uint32_t>(dataLength));
    data[8] = 1;
    Put64(data + 24, size ? (size + 4095) / 4096 - 1 : static_cast<std::uint64_t>(-1));
    Put16(data + 32, 64);
    Put64(data + 40, size);
    Put64(data + 48, size);
    Put64(data + 56, size);
    std::copy(pairs.begin(), pairs.end(), data + 64);
    off += dataLength;
    Put32(r.data() + off, 0xFFFFFFFF);
    Put32(r.data() + 24, static_cast<std::uint32_t>(off + 8));
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 64 || size > 8 * kPage) return 0;
    const std::size_t pages = std::max<std::size_t>(5, (size + kPage - 1) / kPage);
    std::vector<std::uint8_t> image(kLogByte + 9 * kPage, 0);
    std::uint8_t* log = image.data() + kLogByte;
    std::memcpy(log, data, size);
    for (std::size_t p = 0; p < pages; ++p) {
        std::uint8_t* page = log + p * kPage;
        if (std::memcmp(page, "RCRD", 4) != 0) continue;
        Put16(page + 4, 40);
        Put16(page + 6, 9);
        for (int s = 0; s < 8; ++s) {
            page[42 + 2 * s] = page[510 + 512 * s];
            page[43 + 2 * s] = page[511 + 512 * s];
            page[510 + 512 * s] = page[40];
            page[511 + 512 * s] = page[41];
        }
    }
    const std::uint8_t logPairs[] = {0x11, static_cast<std::uint8_t>(pages), kLogByte / 4096, 0x00};
    const auto logRecord = Record(2, 1, u"$LogFile", {logPairs, logPairs + sizeof(logPairs)}, pages * kPage);
    std::memcpy(image.data() + kMftByte + 2048, logRecord.data(), logRecord.size());
    FuzzDevice device(std::move(image));

    CNTFSDataRunList mftRuns;
    mftRuns.AddDataRun(CDataRun{kMftByte / 4096, 0, 16});
    CFindFileFromLogFile finder;
    if (!finder.Init(&device, &mftRuns, 8, 0) || !finder.Analyzer()) __builtin_trap();

    std::vector<std::uint8_t> emptied = Record(77, 0, u"x", {0x00}, 0);
    const std::vector<std::uint8_t> before = emptied;
    CNTFSMultiFileRecord multi(emptied.data(), 1024, 4000, &device, nullptr);
    std::unique_ptr<CNTFSFileProperties> props(
        CNTFSFilePropertiesBuilder::BuildFileProperties(4000, multi, 4096, nullptr));
    if (props == nullptr) __builtin_trap();
    const ExtendFileRecordInfoList extensions = {{static_cast<std::int64_t>(kLogByte / 512 + 8), 78}, {-1, 79}};
    finder.ReplaceFileRecordInfo(emptied.data(), *props, 77, &extensions);
    finder.ReplaceFileRecordInfo(emptied.data(), *props, -1, nullptr);
    if (emptied != before) __builtin_trap();  // the caller's record is never written
    return 0;
}
