// Reads a fuzzed scan-result file the way a restore does: the header, the
// controller and device frames, then the replay of the node frame into a
// recording tree builder that walks every node it is handed.

#include <cstring>
#include <vector>

#include "FuzzMemoryFile.h"
#include "foundation/DataRun.h"
#include "foundation/DirectoryTree.h"
#include "foundation/SearchedPartitionInfo.h"
#include "model/ScanResultFile.h"

namespace {

// Owns what it takes, as the engine's builder does, and reads every field.
class RecordingBuilder : public IDirecotryTreeBuilder {
public:
    ~RecordingBuilder() override {
        for (IFileNode* n : nodes) n->Release();
    }
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType) override {
        // Refuse some, as the real builder may: the caller frees them.
        if ((node->GetCurrentNodeID() & 3) == 3) return 0;
        // Unsigned sums: the stored values are arbitrary.
        volatile std::uint64_t sink = std::strlen(node->GetFileName());
        sink = sink + static_cast<std::uint64_t>(node->GetFileSize()) +
               static_cast<std::uint64_t>(node->GetCreationTime()) + static_cast<std::uint64_t>(node->IsDirectory());
        if (auto* c = dynamic_cast<CFileNode*>(node))
            if (IDataRunList* runs = c->GetDataRunList()) {
                CDataRunWalker walk(runs);
                for (const DataRun* r = walk.First(); r != nullptr; r = walk.Next())
                    sink = sink + static_cast<std::uint64_t>(r->length);
                IDataRunList* copy = runs->Clone();
                copy->Release();
            }
        IFileNode* clone = node->Clone();
        if (clone != nullptr) clone->Release();
        nodes.push_back(node);
        return 1;
    }
    int AddSearcherInfo(_tagSearcherType, int64_t) override { return 1; }
    void FlashBuild(_tagSearcherType) override {}
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}

    std::vector<IFileNode*> nodes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file = FuzzBytesAsFile(data, size);
    if (file.empty()) return 0;
    const char* path = file.c_str();

    CRSData rs(RSMODE_READ);
    scanresult::StoredHead head;
    if (scanresult::OpenScanResult(path, rs, head) != scanresult::kResultOk) return 0;
    // Every other input replays only the volumes named as its device is.
    const bool all = (size & 1) == 0;
    scanresult::ScanResultReplay replay(&rs, [all, &head](const scanresult::StoredVolume& v, IStorageDevice*) {
        return all || v.volumeName == head.device.name;
    });
    RecordingBuilder builder;
    if (replay.SetDirecotryTreeBuilder(&builder, nullptr, nullptr) > 1) __builtin_trap();
    for (int type = SEARCHER_HFSPLUS; type <= SEARCHER_APFS; ++type)
        for (CSearchedPartitionInfo* p : replay.GetSearchedPartition(type))
            if (p->GetSectorSize() == 0 || p->GetSectorSize() % 512 != 0) __builtin_trap();
    return 0;
}
