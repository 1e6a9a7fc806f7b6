// The raw search's core over hostile bytes: window reads at fuzzed offsets of
// a fuzzed device (512- or 4,096-byte sectors, some sectors failing),
// end-signature sizing, the byte helpers, the raw-time parser and the name
// rule. The first bytes choose the parameters; the rest is the device.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "raw/RAWFileNode.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawSearchState.h"
#include "raw/RawUtility.h"
#include "raw/SearchSignFileAnalyser.h"
#include "storage/SyntheticDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 24) return 0;
    const byteorder::Span in(data, size);
    const std::uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
    const std::uint64_t start = data[1] % 8;
    const std::uint64_t offsets[3] = {in.LE32Or0(2) % (1u << 21), in.LE32Or0(6) % (1u << 21), in.LE16Or0(10)};
    const std::uint32_t signLength = data[12] % 70;
    const std::uint64_t maxSize = in.LE16Or0(13) * 64ull;
    const int caseSensitive = data[15] & 1;
    const std::int64_t failing = data[16] % 64;
    const std::uint64_t padding = in.LE16Or0(17) * 256ull;
    const std::uint8_t* rest = data + 24;
    const std::size_t restSize = size - 24;

    CRawSearchState state;
    CSyntheticStorageDevice dev(sectorSize);
    dev.AddBytes(rest, restSize).AddZeros(padding).AddRandom(restSize, data[19]);
    if (data[20] & 1) dev.FailSector(failing);

    WindowReader reader(&dev, start, data[20] & 2 ? &state : nullptr);
    std::vector<std::uint8_t> scratch(4096);
    for (std::uint64_t off : offsets) {
        if (const std::uint8_t* p = reader.At(off)) {
            volatile std::uint8_t sink = p[reader.Buffer().AvailableAt(off) - 1];
            (void)sink;
        }
        (void)reader.Read(off, scratch.size(), scratch.data());
        (void)reader.Find(off, 1u << 16, rest, std::min<std::size_t>(restSize, 1 + data[21] % 16));
    }

    SearchSignFileAnalyser sizer;
    sizer.SetSearchState(&state);
    SearchSignCodeInfo info;
    std::memcpy(info.sign, rest, std::min<std::size_t>(restSize, sizeof info.sign));
    info.length = signLength;
    info.maxSize = maxSize;
    CRawFileInfo record;
    record.m_startSector = static_cast<std::int64_t>(start);
    (void)sizer.SearchEndSignCode(record, &dev, info, caseSensitive);

    const int len = static_cast<int>(std::min<std::size_t>(restSize, 8192));
    (void)BruteForce::RawUtility::FindMagicInBuffer(rest, len, data[22], data + 2, 1 + data[23] % 8);
    (void)BruteForce::RawUtility::Binary_Compare(rest, len);
    (void)Apimemstr(rest, len, data + 2, 1 + data[23] % 8);

    const std::string text(reinterpret_cast<const char*>(rest), std::min<std::size_t>(restSize, 600));
    (void)CRAWFileNode::RawTimeToFileTime(text);
    const std::string name = CRAWFileNode::MakeFileName(in.LE32Or0(2), data[3], text);
    if (name.size() > kRawNameMax || !IsValidUtf8Name(name)) __builtin_trap();
    const std::string folder = CRAWFileNode::MakeFolderName(text);
    if (folder.size() > kRawNameMax || !IsValidUtf8Name(folder)) __builtin_trap();
    return 0;
}
