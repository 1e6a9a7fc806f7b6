// exFAT entry-set parser: arbitrary folder bytes, fed in two pieces as two
// clusters would be, then every finished set turned into a node.
#include <cstdint>
#include <cstring>

#include "fat/ExFatQuickSearch.h"
#include "fat/ExFatStructures.h"
#include "foundation/ByteOrder.h"
#include "foundation/DataRun.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // First byte: shifts and the benign-type switch; second: where to split.
    const std::uint32_t sectorShift = 9 + (data[0] & 3);
    const std::uint32_t clusterShift = sectorShift + ((data[0] >> 2) & 7);
    const bool skipBenign = (data[0] & 0x80) != 0;
    const std::size_t split = size > 2 ? (data[1] * (size - 2)) / 255 : 0;
    data += 2;
    size -= 2;
    CEFDTAnalyze a;
    a.Prepare(sectorShift, clusterShift, 1 << 24);
    a.SetSkipBenign(skipBenign);
    if (a.Analyze(data, split, 100)) a.Analyze(data + split, size - split, 200);
    CExFatPartition p;
    p.m_clusterBytes = 1ull << clusterShift;
    p.m_totalClusters = 1 << 20;
    for (const _tagFileBaseInfo& info : a.GetRecords()) {
        CExFatFileNode* node = p.BuildFile(info);
        volatile std::size_t n = std::strlen(node->GetFileName());
        (void)n;
        IFileNode* copy = node->Clone();
        copy->Release();
        node->Release();
    }
    const std::uint16_t sum = size >= 4 ? byteorder::LE16(data + 2) : 0;
    volatile bool ok = CheckDirEntry(data, size, sum);
    (void)ok;
    return 0;
}
