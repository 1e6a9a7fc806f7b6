// Reads a fuzzed scan-result container the way the scan-result reader does:
// header checks, then frames by identifier, read in small fields and in bulk.
#include "FuzzMemoryFile.h"
#include "foundation/RecordContainer.h"

#include <cstring>
#include <vector>

namespace {

void ReadFrame(CRSData& rs, const tagGUIDSIGN& id) {
    try {
        if (!rs.TryOpenFrame(id)) return;
        const uint32_t size = rs.GetFrameSize();
        std::vector<uint8_t> data(size + 16u);
        uint32_t at = 0;
        // A few small fields, then the rest at once, then past the end.
        for (int i = 0; i < 4 && at < size; ++i, at += 7) rs.ReadCurFrame(data.data() + at, 7);
        if (rs.GetFrameRemaining() > size) __builtin_trap();
        rs.ReadCurFrame(data.data() + std::min(at, size), rs.GetFrameRemaining());
        rs.ReadCurFrame(data.data(), 16);
        rs.CloseFrame();
    } catch (const CRSException&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file = FuzzBytesAsFile(data, size);
    if (file.empty()) return 0;
    const char* path = file.c_str();

    CRSData rs(RSMODE_READ);
    if (!rs.StartRS(path, 0)) return 0;
    rs.CheckFile();
    FILEHEADER header;
    rs.ReadFileHeader(header);
    try {
        rs.GetStatus();
    } catch (const CRSException&) {
    }
    char text[64];
    try {
        rs.GetFileDescription(text, sizeof text);
    } catch (const CRSException&) {
    }
    // The identifier of the first frame, a fixed one, and one that is absent.
    tagGUIDSIGN first;
    if (size >= kRSFileHeaderSize + 32) std::memcpy(first.bytes, data + kRSFileHeaderSize + 16, 16);
    const tagGUIDSIGN fixed = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};
    ReadFrame(rs, first);
    ReadFrame(rs, fixed);
    ReadFrame(rs, kRSFileSignature);
    rs.EndRS();
    return 0;
}
