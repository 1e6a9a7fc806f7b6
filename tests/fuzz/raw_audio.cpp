// The audio analysers over fuzzed bytes: the ID3v2 tag reader on a buffer
// that holds exactly the input, the device-side sizers of MP3, MIDI and
// AIFF on a device made of the input, and the raw search driver (MP3 frame
// walks, APE, ADTS and MIDI streaming) with small blocks so records are
// evicted to their twins. The first bytes choose the parameters; the rest
// is the device.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "foundation/DirectoryTree.h"
#include "RawFuzzSupport.h"
#include "raw/RAWSearchController.h"
#include "raw/analysers/Mp3Analyser.h"
#include "raw/analysers/Mp3Header.h"
#include "raw/analysers/SmallAudioAnalysers.h"
#include "recovery/RecoveryFilter.h"
#include "storage/SyntheticDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8 || size > (1u << 20)) return 0;
    fuzzsupport::InitTypeListsOnce({{1, "pdf"}, {2, "png;gif;bmp"}, {4, "mov"}, {8, "mp3"}, {16, "zip"}, {32, "mbox"}});
    const std::uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
    const int block = 1 + data[1] % 16;
    const int copies = 1 + data[2] % 4;
    const std::uint8_t* body = data + 8;
    const std::size_t length = size - 8;

    // The tag reader and the text helpers see exactly the input's bytes.
    {
        auto held = std::make_unique<std::uint8_t[]>(length ? length : 1);
        std::memcpy(held.get(), body, length);
        BruteForce::MP3Analyzer owner;
        BruteForce::MP3RawFileInfo record(&owner);
        record.GatherTagInfo(held.get(), static_cast<std::int64_t>(length));
        std::string charset;
        (void)mp3text::GetTagValue(held.get(), length, 256, data[3] & 1, charset);
        (void)mp3text::replaceChar(held.get(), length);
        if (length >= 128) {
            std::string title, artist;
            mp3text::Id3v1Texts(held.get(), title, artist, charset);
        }
        if (length >= 4) (void)Mp3FrameSize(held.get());
    }

    CSyntheticStorageDevice dev(sectorSize);
    for (int i = 0; i < copies; ++i) dev.AddBytes(body, length).AddZeros(data[4] * 16u);
    if (data[5] & 1) dev.FailSector(data[6] % (dev.GetTotalSectors() + 1));

    // The device-side sizers, from the first sector.
    {
        CRawFileInfo record;
        FileMP3Analyser mp3;
        mp3.GetRawFileSize(record, &dev);
        mp3.GetRawFileSize(record, &dev);  // the remembered span
        FileMIDAnalyser mid;
        mid.GetRawFileSize(record, &dev);
        CFileAIFAnalyzer aif;
        aif.GetRawFileSize(record, &dev);
    }

    fuzzsupport::RunRawSearch(dev, block, true);
    return 0;
}
