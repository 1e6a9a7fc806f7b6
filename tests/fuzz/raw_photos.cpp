// The photo parsers on hostile bytes: the EXIF reader over the input as a
// section; the JPEG, TIFF, CRW and X3F streaming records fed the input
// sector by sector through a view of exactly the bytes held, then their
// device twins over the input as a device. The first two bytes choose the
// sector size and the mode; the rest is the data.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "raw/RawFileAnalyser.h"
#include "raw/analysers/CrwX3fAnalysers.h"
#include "raw/analysers/ExifReader.h"
#include "raw/analysers/JpegAnalyser.h"
#include "raw/analysers/TiffAnalyser.h"
#include "storage/SyntheticDevice.h"

namespace {

void Stream(IRawFileAnalyser& analyser, const std::vector<std::uint8_t>& held, std::uint32_t ss, std::int64_t sectors,
            IStorageDevice& dev) {
    CRawFileInfo temp;
    const bool hit =
        analyser.GetSpecialRawFile()
            ? analyser.GetSpecialRawFile()->AnalyseBufferEx(const_cast<std::uint8_t*>(held.data()), temp, ss, 0, 0,
                                                            sectors, SectorView(held.data(), ss, 0, sectors, 0)) != 0
            : analyser.AnalyseBuffer(const_cast<std::uint8_t*>(held.data()), temp) != 0;
    if (!hit) return;
    std::unique_ptr<CRawFileInfo> record(analyser.CreateRawFileInfo());
    if (!record) return;
    record->m_startSector = 0;
    record->m_analyser = &analyser;
    CRawFileInfo::SearchContext ctx;
    ctx.bufferStartSector = 0;
    ctx.blockEndSector = sectors;
    ctx.view = SectorView(held.data(), ss, 0, sectors, 0);
    int done = 2;
    for (std::int64_t k = 0; k < sectors && done != 1; ++k) {
        std::uint8_t* p = const_cast<std::uint8_t*>(held.data()) + k * ss;
        std::uint32_t z = 0;
        for (int i = 1;
             i <= 8 && p[ss - 4 * i] == 0 && p[ss - 4 * i + 1] == 0 && p[ss - 4 * i + 2] == 0 && p[ss - 4 * i + 3] == 0;
             ++i)
            z += 4;
        ctx.trailingZeroBytes = z;
        ctx.leadingZero = (p[0] | p[1] | p[2] | p[3]) == 0 ? 4 : 0;
        done = record->CalcRawSize(p, static_cast<int>(ss), k, ctx);
    }
    if (done != 1 || record->m_size <= 0) {
        record->WillBeRemove(nullptr, -1);
        if (record->m_analyser) record->m_analyser->GetRawFileSize(*record, &dev);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3 || size > (1u << 20)) return 0;
    const std::uint32_t ss = (data[0] & 1) ? 4096 : 512;
    const int mode = data[1] % 2;
    const std::uint8_t* body = data + 2;
    const std::size_t length = size - 2;
    if (mode == 0) {
        CExifReader reader;
        tag_ExifInfo info;
        info.options = tag_ExifInfo::kCopyThumbnail | tag_ExifInfo::kCopyComment | tag_ExifInfo::kCopyMakerNote;
        reader.SetExitInfo(&info);
        std::vector<std::uint8_t> section(body, body + length);  // exactly the bytes, for ASan
        reader.EXIF_process_EXIF(section.data(), static_cast<unsigned>(section.size()), section.data(),
                                 static_cast<unsigned>(section.size()));
        return 0;
    }
    // Whole sectors; the analysers' recognisers may read 4,096 bytes past
    // the sector's start, so those are held (as zeros) too.
    const std::int64_t sectors = static_cast<std::int64_t>((length + ss - 1) / ss);
    std::vector<std::uint8_t> held(static_cast<std::size_t>(sectors) * ss + 4096, 0);
    std::copy(body, body + length, held.begin());
    CSyntheticStorageDevice dev(ss);
    dev.AddBytes(body, length);
    BruteForce::JpegAnalyzer jpeg;
    BruteForce::TiffAnalyzer tiff;
    Tessel::CRWAnalyser crw;
    Tessel::X3FAnalyser x3f;
    for (IRawFileAnalyser* a : std::initializer_list<IRawFileAnalyser*>{&jpeg, &tiff, &crw, &x3f})
        Stream(*a, held, ss, sectors, dev);
    CRawFileInfo record;
    FileJPGAnalyser().GetRawFileSize(record, &dev);
    FileTIFAnalyser().GetRawFileSize(record, &dev);
    return 0;
}
