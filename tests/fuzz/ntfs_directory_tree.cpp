// The NTFS folder-tree builder over a damaged $MFT: the input is the $MFT
// area of a small volume (records, attribute lists, names, parent numbers as
// they come), read back through the deep search's record walk and placed
// under a tree builder that refuses some nodes.
#include <cstddef>
#include <cstdint>
#include <list>
#include <vector>

#include "FuzzBuilder.h"
#include "FuzzDevice.h"
#include "foundation/DirectoryTree.h"
#include "ntfs/NTFSDeepSearchRecords.h"
#include "ntfs/NTFSDirectoryTreeBuilder.h"

namespace {

class Builder : public fuzzsupport::BuilderBase {
public:
    ~Builder() override {
        for (IFileNode* n : m_owned) n->Release();
    }
    int AddNode(IFileNode* node, _tagSearcherType) override {
        (void)node->GetFileName();
        if ((node->GetCurrentNodeID() & 7) == 3) return 0;
        m_owned.push_back(node);
        return 1;
    }

private:
    std::vector<IFileNode*> m_owned;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4 || size > 512 * 1024) return 0;
    // Byte 0: cluster size; byte 1: MFT-located flag and place; bytes 2-3:
    // how the records are announced.
    const std::uint32_t spc = 1u << (data[0] % 4);
    const bool located = (data[1] & 1) != 0;
    const int place = (data[1] >> 1) & 1;
    const std::int64_t start = 16;
    const std::int64_t mftLcn = 8 / spc + 1;
    const std::int64_t mftSector = start + mftLcn * spc;
    const std::size_t body = size - 4;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(mftSector) * 512 + body + 4096, 0);
    std::copy(data + 4, data + size, image.begin() + mftSector * 512);
    FuzzDevice device(image);

    std::list<CMFTInfo*> mfts;
    std::list<CCommonFileRecordPositionInfo*> positions;
    std::list<FindFileMFTAndLogx*> finders;
    auto* mft = new CMFTInfo;
    const std::int64_t clusters = static_cast<std::int64_t>((body + 512 * spc - 1) / (512 * spc)) + 1;
    mft->GetDataRunList().AddDataRun({mftLcn, 0, clusters});
    mft->SetSectorAddress(mftSector);
    mft->SetSectorsPerCluster(static_cast<std::uint8_t>(spc));
    mfts.push_back(mft);
    finders.push_back(new FindFileMFTAndLogx{mft, nullptr});
    // One run per "FILE" seen, merged as the search merges them, plus a
    // few announced by the input itself.
    for (std::size_t s = 0; s * 512 + 4 <= body; ++s) {
        const std::uint8_t* p = data + 4 + s * 512;
        if (p[0] != 'F' || p[1] != 'I' || p[2] != 'L' || p[3] != 'E') continue;
        const std::int64_t sector = mftSector + static_cast<std::int64_t>(s);
        if (positions.empty() || !positions.back()->Merge(sector))
            positions.push_back(new CCommonFileRecordPositionInfo(sector));
    }
    positions.push_back(new CCommonFileRecordPositionInfo(start + data[2] * 4));
    positions.push_back(new CCommonFileRecordPositionInfo(start + data[3] * 64));

    CNTFSIntelligentSearchInfo info;
    info.Init(&mfts, &positions, &finders);
    CSearchedNTFSPartitionInfo candidate(512);
    candidate.SetStartSector(start);
    candidate.SetCluster0Sector(start);
    candidate.SetSectorsPerCluster(spc);
    candidate.SetTotalSectors(static_cast<std::uint64_t>(device.GetTotalSectors() - start));
    candidate.SetMFTLocated(located ? 1 : 0);
    {
        Builder builder;
        CNTFSDirectoryTreeBuilder tree;
        tree.BuildDirectoryTree(&info, &candidate, &device, place, nullptr, &builder);
    }
    for (FindFileMFTAndLogx* f : finders) delete f;
    for (CMFTInfo* m : mfts) delete m;
    for (CCommonFileRecordPositionInfo* p : positions) delete p;
    return 0;
}
