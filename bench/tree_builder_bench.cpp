// Tree-building speed and memory: N synthetic nodes (folders and files, 5%
// of them orphans whose parent is never found) in random order through
// AddNode and FlashBuild into a sink that only counts.
//
//   bench-tree-builder [N]     (default 2000000)

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "foundation/FileNode.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/RecoveryFilter.h"

namespace {

class BenchNode : public CFileNode {
public:
    BenchNode(int64_t id, int64_t parent, bool dir) : m_dir(dir) {
        m_nodeId = id;
        m_parentNodeId = parent;
        std::snprintf(m_name, sizeof(m_name), "%s%lld%s", dir ? "d" : "f", static_cast<long long>(id),
                      dir ? "" : ".dat");
    }
    const char* GetFileName() override { return m_name; }
    int64_t GetFileSize() override { return 4096; }
    uint32_t GetAttribute() override { return m_dir ? 0x10 : 0x20; }
    int64_t GetCreationTime() override { return 0; }
    int64_t GetModificationTime() override { return 0; }
    int64_t GetLastAccessTime() override { return 0; }
    int IsDirectory() override { return m_dir; }
    int IsDeleted() override { return 1; }
    _tagSearcherType GetSearcheType() const override { return SEARCHER_NTFS; }
    IFileNode* Clone() override { return new BenchNode(m_nodeId, m_parentNodeId, m_dir); }
    void MarkDeleted() override {}
    void FilterFileNameByDot() override {}

private:
    char m_name[32];
    bool m_dir;
};

class CountingSink : public IDrirectoryTree {
public:
    void ShowNodes(IFileNode**, unsigned count, int flag) override {
        shown += count;
        batches++;
        if (flag) lostBatches++;
    }
    void ShowFilesystemNode(IFilesystemNode*) override { roots++; }
    uint64_t shown = 0, batches = 0, lostBatches = 0, roots = 0;
};

// CPU time of the process: steadier than wall time on a busy machine.
double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long PeakRssKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t n = argc > 1 ? std::atoll(argv[1]) : 2000000;
    if (n < 100) {
        std::fprintf(stderr, "usage: %s [N >= 100]\n", argv[0]);
        return 2;
    }
    // No pause before a tree's first batch, so the figure is the builder's own.
    GetTreeBuilderTiming().sleepSeconds = [](unsigned) {};

    std::mt19937_64 rng(42);
    const int64_t rootId = 5;
    const int64_t folders = n / 10;
    const int64_t firstId = 100;
    std::vector<BenchNode*> nodes;
    nodes.reserve(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        const int64_t id = firstId + i;
        const bool dir = i < folders;
        int64_t parent;
        if (rng() % 100 < 5) {
            parent = -1000 - static_cast<int64_t>(rng() % 50000);  // never found: an orphan
        } else if (dir) {
            parent = i == 0 ? rootId : (rng() % 8 == 0 ? rootId : firstId + static_cast<int64_t>(rng() % i));
        } else {
            parent = firstId + static_cast<int64_t>(rng() % folders);
        }
        nodes.push_back(new BenchNode(id, parent, dir));
    }
    std::shuffle(nodes.begin(), nodes.end(), rng);
    const long rssNodes = PeakRssKiB();

    CRecoveryFilter filter;
    filter.SetFilterTypes(FILTER_ALL);
    filter.SetScanType(SCAN_TYPE_QUICK);
    CountingSink sink;
    auto* builder = new CDirectoryTreeBuilder(false);
    builder->Initialize("Bench", &sink, &filter);
    builder->AddSearcherInfo(SEARCHER_NTFS, rootId);

    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = CpuSeconds();
    uint64_t refused = 0;
    for (BenchNode* node : nodes) {
        if (!builder->AddNode(node, SEARCHER_NTFS)) {
            delete node;
            ++refused;
        }
    }
    const auto t1 = std::chrono::steady_clock::now();
    std::fflush(stdout);
    builder->FlashBuild(SEARCHER_NTFS);
    const auto t2 = std::chrono::steady_clock::now();
    const double cpu = CpuSeconds() - cpu0;
    const long rssPeak = PeakRssKiB();
    builder->Release();

    const double add = std::chrono::duration<double>(t1 - t0).count();
    const double flash = std::chrono::duration<double>(t2 - t1).count();
    std::fprintf(stderr,
                 "nodes %lld: AddNode %.3f s, FlashBuild %.3f s, total %.3f s (CPU %.3f s); shown %llu in %llu batches "
                 "(%llu lost), refused %llu; peak RSS %.1f MiB (%.1f MiB of it the nodes)\n",
                 static_cast<long long>(n), add, flash, add + flash, cpu, static_cast<unsigned long long>(sink.shown),
                 static_cast<unsigned long long>(sink.batches), static_cast<unsigned long long>(sink.lostBatches),
                 static_cast<unsigned long long>(refused), rssPeak / 1024.0, rssNodes / 1024.0);
    return 0;
}
