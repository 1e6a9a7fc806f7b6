// The mapping-pair decoder, cluster queries and the compact run encoding.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSFileNode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 4096) return 0;
    std::vector<std::uint8_t> runs(data, data + size);  // exact size: reads past it are findings
    const int length = static_cast<int>(size);
    CNTFSDataRunList list;
    const bool valid = list.InitFromBuffer(runs.data(), length);
    CNTFSDataRunList::GetTotalClusters(runs.data(), length);
    if (valid) {
        list.AddDataRunsfromBuffer(runs.data(), length, static_cast<std::int64_t>(data[0]) << 40);
        list.Sort();
        for (const CDataRun& r : list.Runs()) {
            list.GetLCN(r.VCN);
            list.GetVCN(r.LCN);
        }
        list.GetTotalClusters();
    }
    // Decoding without the on-disk nibble rule, as the compact form does.
    std::vector<CDataRun> decoded;
    if (CNTFSDataRunList::FormDataRunList(runs.data(), length, decoded)) {
        CNoneResidentNTFSDataRunList plain;
        for (const CDataRun& r : decoded) plain.AddDataRun(DataRun{r.LCN < 0 ? -1 : r.LCN, r.length});
        std::unique_ptr<CCompressedDataRunList> c(CCompressedDataRunList::Compress(&plain));
        if (c) {
            c->GetCompressedDataRunSize();
            IDataRunList* back = c->Decompress();
            // Lengths that fit a signed 64-bit value round-trip exactly.
            DataRun* a = plain.GetFirst();
            DataRun* b = back->GetFirst();
            while (a && b) {
                if (a->length >= 0 && a->start >= 0 && (a->start != b->start || a->length != b->length))
                    __builtin_trap();
                a = plain.GetNext();
                b = back->GetNext();
            }
            back->Release();
        }
    }
    return 0;
}
