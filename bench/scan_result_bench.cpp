// Saving and restoring a scan result of many nodes:
//   bench-scan-result [COUNT] [FOLDER] [restore]   (default 1000000 nodes, /tmp)
// A synthetic result (10% folders, names with extensions, sizes, three
// times, one to three runs per file, one partition per volume, two volumes)
// is saved to a file in FOLDER and restored from it. Printed: the file size;
// the save time; the whole restore (opening the file to the last node built
// into the scan bridge's stores through the engine's tree builder); apart,
// the parse alone (the file read into nodes that are dropped) and the replay
// alone (parsed nodes handed to the tree builder and the bridge); each with
// MB/s of file size, and the peak resident memory. With "restore", only the
// save and the whole restore run (for a profiler's view of the restore).
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "foundation/FileNode.h"
#include "foundation/SearchedPartitionInfo.h"
#include "model/QXUIScan.h"
#include "model/ScanResultFile.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/FilesystemNode.h"
#include "recovery/RecoveryFilter.h"

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

long PeakMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

class Node : public CFileNode {
public:
    Node(std::int64_t id, std::int64_t parent, std::string name, bool dir, std::int64_t size)
        : m_name(std::move(name)), m_dir(dir), m_size(size) {
        m_nodeId = id;
        m_parentNodeId = parent;
        SetBelongedPartition(0);
        SetMetaDataSector(id * 2);
        if (!dir) {
            IDataRunList* runs = CreateDataRunList();
            for (int i = 0; i <= id % 3; ++i) {
                DataRun run{id * 16 + i * 4, 1 + i};
                runs->AddDataRun(&run);
            }
            m_dataRunList = runs;
        }
    }
    const char* GetFileName() override { return m_name.c_str(); }
    std::int64_t GetFileSize() override { return m_size; }
    std::uint32_t GetAttribute() override { return m_dir ? 0x10 : 0x20; }
    std::int64_t GetCreationTime() override { return 130000000000000000 + m_nodeId * 10000000; }
    std::int64_t GetModificationTime() override { return GetCreationTime() + 5000000; }
    std::int64_t GetLastAccessTime() override { return GetCreationTime() + 9000000; }
    int IsDirectory() override { return m_dir; }
    int IsDeleted() override { return m_nodeId % 2 == 0; }
    IFileNode* Clone() override { return nullptr; }
    void MarkDeleted() override {}
    void FilterFileNameByDot() override {}

private:
    std::string m_name;
    int m_dir;
    std::int64_t m_size;
};

// Drops every node: the parse alone.
class DropBuilder : public IDirecotryTreeBuilder {
public:
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode*, _tagSearcherType) override { return 0; }
    int AddSearcherInfo(_tagSearcherType, int64_t) override { return 1; }
    void FlashBuild(_tagSearcherType) override {}
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
};

// Keeps every node in order with its type: the input of the replay alone.
class KeepBuilder : public DropBuilder {
public:
    int AddNode(IFileNode* node, _tagSearcherType type) override {
        nodes.emplace_back(node, type);
        return 1;
    }
    int AddSearcherInfo(_tagSearcherType type, int64_t root) override {
        roots.emplace_back(type, root);
        return 1;
    }
    std::vector<std::pair<IFileNode*, _tagSearcherType>> nodes;
    std::vector<std::pair<_tagSearcherType, int64_t>> roots;
};

IDirecotryTreeBuilder* BridgeBuilder(CRecoveryFilter& filter) {
    IDirecotryTreeBuilder* builder = CreateTreeBuilder(true);
    builder->Initialize("Bench", &QXUIScan::instance(), &filter);
    return builder;
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 1000000;
    const std::string folder = argc > 2 ? argv[2] : "/tmp";
    const bool restoreOnly = argc > 3 && std::string(argv[3]) == "restore";
    const std::string path = folder + "/bench-" + std::to_string(getpid()) + ".Quillory";
    GetTreeBuilderTiming().sleepSeconds = [](unsigned) {};

    // Two volumes of half the nodes each; every tenth node a folder, each
    // node under a folder picked at random among those made before it (about
    // ten entries a folder, as on a real volume).
    std::vector<std::unique_ptr<CFilesystemNode>> roots;
    std::vector<std::unique_ptr<Node>> nodes;
    nodes.reserve(static_cast<std::size_t>(count));
    CSearchedPartitionInfo partition;
    partition.SetSectorsPerCluster(8);
    partition.SetTotalSectors(1ull << 30);
    std::vector<scanresult::VolumeToSave> volumes;
    static const char* const kExt[] = {"jpg", "docx", "mp3", "mov", "pdf", "zip", "txt"};
    for (int v = 0; v < 2; ++v) {
        const _tagSearcherType type = v == 0 ? SEARCHER_NTFS : SEARCHER_FAT;
        roots.push_back(std::make_unique<CFilesystemNode>("Bench", "Bench", type, 5));
        CFileNode* root = roots.back().get();
        std::vector<CFileNode*> folders{root};
        std::uint64_t seed = 12345;
        for (long i = 0; i < count / 2; ++i) {
            const std::int64_t id = 100 + i;
            const bool dir = i % 10 == 0;
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            CFileNode* parent = folders[(seed >> 17) % folders.size()];
            std::string name = dir ? "Folder " + std::to_string(i) : "file-" + std::to_string(i) + "." + kExt[i % 7];
            nodes.push_back(std::make_unique<Node>(id, parent->GetCurrentNodeID(), std::move(name), dir, i * 37));
            parent->AddChild(nodes.back().get());
            if (dir) folders.push_back(nodes.back().get());
        }
        volumes.push_back({root, static_cast<std::uint32_t>(type), "Bench", {&partition}, {}});
    }
    scanresult::StoredHead head;
    head.controllerType = RECOVERY_CONTROLLER_DEEP_DISK;
    head.deep = 1;
    head.device.size = 1ull << 39;
    head.device.name = "Bench disk";

    auto t0 = Clock::now();
    if (scanresult::WriteScanResult(path.c_str(), head, volumes, {}) != 0) {
        std::fprintf(stderr, "bench-scan-result: cannot write %s\n", path.c_str());
        return 1;
    }
    const double save = Seconds(Clock::now() - t0);
    FILE* f = std::fopen(path.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    const double mb = static_cast<double>(std::ftell(f)) / 1e6;
    std::fclose(f);
    for (auto& root : roots)
        while (CFileNode* child = root->GetFirstChild()) root->RemoveChild(child);
    for (auto& n : nodes)
        while (CFileNode* child = n->GetFirstChild()) n->RemoveChild(child);
    nodes.clear();
    std::printf("nodes %ld, file %.1f MB\n", count, mb);
    std::printf("save            %7.3f s  %7.1f MB/s\n", save, mb / save);

    CRecoveryFilter filter;
    filter.SetScanType(SCAN_TYPE_DEEP);
    filter.SetFilterTypes(FILTER_ALL);
    filter.SetIncludeExisting(true);
    auto replayInto = [&](IDirecotryTreeBuilder* builder) {
        CRSData rs(RSMODE_READ);
        scanresult::StoredHead read;
        if (scanresult::OpenScanResult(path.c_str(), rs, read) != 0) std::exit(1);
        scanresult::ScanResultReplay replay(&rs, nullptr);
        replay.SetDirecotryTreeBuilder(builder, nullptr, nullptr);
        if (replay.Damaged()) std::exit(1);
    };

    if (!restoreOnly) {
        t0 = Clock::now();
        DropBuilder drop;
        replayInto(&drop);
        const double parse = Seconds(Clock::now() - t0);
        std::printf("parse alone     %7.3f s  %7.1f MB/s\n", parse, mb / parse);
    }

    QXUIScan::instance().ClearData();
    t0 = Clock::now();
    IDirecotryTreeBuilder* whole = BridgeBuilder(filter);
    replayInto(whole);
    const double restore = Seconds(Clock::now() - t0);
    std::printf("whole restore   %7.3f s  %7.1f MB/s  (%llu files in the bridge)\n", restore, mb / restore,
                static_cast<unsigned long long>(QXUIScan::instance().GetScanFileCnt()));
    whole->Release();
    QXUIScan::instance().ClearData();
    if (restoreOnly) {
        std::printf("peak memory     %ld MiB\n", PeakMiB());
        unlink(path.c_str());
        return 0;
    }

    KeepBuilder kept;
    replayInto(&kept);
    t0 = Clock::now();
    IDirecotryTreeBuilder* builder = BridgeBuilder(filter);
    for (auto& [type, root] : kept.roots) builder->AddSearcherInfo(type, root);
    for (auto& [node, type] : kept.nodes)
        if (builder->AddNode(node, type) == 0) node->Release();
    for (auto& [type, root] : kept.roots) builder->FlashBuild(type);
    const double replayAlone = Seconds(Clock::now() - t0);
    std::printf("replay alone    %7.3f s\n", replayAlone);
    builder->Release();
    QXUIScan::instance().ClearData();
    std::printf("peak memory     %ld MiB\n", PeakMiB());
    unlink(path.c_str());
    return 0;
}
