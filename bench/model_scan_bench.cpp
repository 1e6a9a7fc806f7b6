// The scan bridge fed as a scan would feed it:
//   bench-model-scan [COUNT ...]   (default 300000 1000000)
// A scripted controller hands COUNT nodes in batches of 10,000 (10% folders,
// names with the extensions of every category, sizes, creation and
// modification times over 20 years). Printed per count: the bridge's own
// time in ShowNodes and ShowFilesystemNode, the total time, the number of
// "NormalScranValue" posts, and the heap bytes per node of the bridge's
// stores (what the heap grew by during the scan, over the count).
//
// The view outlines grow with the scan (path, type, creation and
// modification dates), on the scan's thread, while the main thread probes
// the tree store every 10 ms as a painting view would. Printed: the tree
// lock's holds by kind (extending, searching, main-thread builders), the
// main thread's longest wait, the posts, two searches (a key matching 10%
// of the names and one matching none) from the call to "DoSearchFinished",
// and the heap bytes per node of the bridge and the outlines together,
// beside the engine node's own size.
#include <malloc.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <functional>
#include <vector>

#include "foundation/FileNode.h"
#include "foundation/ScanMemory.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/QXViewTrees.h"
#include "model/TreeStore.h"
#include "model/qt/NotificationBus.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "recovery/FakeNode.h"  // MemDevice: a device in memory
#include "storage/DeviceData.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class Node : public CFileNode {
public:
    Node(std::string name, bool dir, std::int64_t size, std::int64_t ctime, std::int64_t mtime)
        : m_name(std::move(name)), m_dir(dir), m_size(size), m_ctime(ctime), m_mtime(mtime) {}
    const char* GetFileName() override { return m_name.c_str(); }
    std::int64_t GetFileSize() override { return m_size; }
    std::uint32_t GetAttribute() override { return 0; }
    std::int64_t GetCreationTime() override { return m_ctime; }
    std::int64_t GetModificationTime() override { return m_mtime; }
    std::int64_t GetLastAccessTime() override { return 0; }
    int IsDirectory() override { return m_dir; }
    int IsDeleted() override { return 1; }
    _tagSearcherType GetSearcheType() const override { return SEARCHER_NTFS; }
    IFileNode* Clone() override { return nullptr; }
    void MarkDeleted() override {}
    void FilterFileNameByDot() override {}
    void UpdateFileSize(std::int64_t) override {}
    void SetFileName(const char*) override {}

private:
    std::string m_name;
    int m_dir;
    std::int64_t m_size, m_ctime, m_mtime;
};

struct Timings {
    Clock::duration showNodes{}, showRoot{};
};

class BenchController : public IRecoveryController {
public:
    BenchController(std::vector<std::unique_ptr<Node>>& nodes, Node* root, Timings& t)
        : m_nodes(nodes), m_root(root), m_t(t) {}
    _RECOVERY_CONTROLLER_TYPE thisType() override { return RECOVERY_CONTROLLER_DEEP_VOLUME; }
    int Initialize(IRecoveryFilter*) override { return 1; }
    EngineResult StartDataRecovery(IStorageDevice*, IProgress* progress, IDrirectoryTree* tree) override {
        auto start = Clock::now();
        tree->ShowFilesystemNode(m_root);
        m_t.showRoot += Clock::now() - start;
        constexpr size_t kBatch = 10000;
        std::vector<IFileNode*> batch;
        _PROGRESS_INFO info;
        for (size_t i = 0; i < m_nodes.size(); i += kBatch) {
            if (progress->Continued() == 0) break;
            batch.clear();
            for (size_t j = i; j < std::min(m_nodes.size(), i + kBatch); ++j) batch.push_back(m_nodes[j].get());
            start = Clock::now();
            tree->ShowNodes(batch.data(), static_cast<unsigned>(batch.size()), 0);
            m_t.showNodes += Clock::now() - start;
            MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, static_cast<int64_t>(m_nodes.size()),
                             static_cast<int64_t>(i));
            progress->UpdateProgress(&info);
        }
        MakeProgressInfo(&info, PROGRESS_STATE_FINISHED, static_cast<int64_t>(m_nodes.size()),
                         static_cast<int64_t>(m_nodes.size()));
        progress->UpdateProgress(&info);
        return ENGINE_OK;
    }
    IDataRecovery* GetDataRecovery(_tagSearcherType) const override { return nullptr; }
    void Release() override { delete this; }

private:
    std::vector<std::unique_ptr<Node>>& m_nodes;
    Node* m_root;
    Timings& m_t;
};

const char* kExtensions[] = {"doc",  "pdf", "txt", "jpg", "png", "mp4", "mov", "mp3",
                             "flac", "zip", "7z",  "eml", "pst", "bin", "dat"};

double Ms(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }

// The process's CPU seconds so far (user and system): on a busy machine
// the wall-clock figures stretch, these do not.
double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One look at the outlines as a view paints them: the root rows of the path
// and type outlines and the fields of the first; its duration.
std::int64_t Probe(TreeStore& store) {
    const auto start = Clock::now();
    const std::uint64_t generation = store.Generation();
    for (int list : {kRootsPath, kRootsType, kRootsModify}) {
        const int rows = store.RowCount(generation, list, nullptr);
        if (rows == 0) continue;
        OpChild first = store.ChildAt(generation, list, nullptr, 0);
        OpRowFields fields;
        store.Fields(generation, first, fields);
        store.RowCount(generation, list, first.obj);
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

struct ProbeStats {
    int probes = 0;
    std::int64_t longestNs = 0;
};

// Spins the main thread's events, probing every 10 ms, until `done`.
void ProbeUntil(TreeStore& store, ProbeStats& stats, const std::function<bool()>& done) {
    auto next = Clock::now();
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (Clock::now() >= next) {
            stats.longestNs = std::max(stats.longestNs, Probe(store));
            ++stats.probes;
            next = Clock::now() + std::chrono::milliseconds(10);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void PrintHolds(const char* when) {
    static const char* kKinds[] = {"extend", "search", "main-thread builders"};
    const auto holds = QXViewTrees::shared().TakeHoldStats();
    for (std::size_t k = 0; k < holds.size() && k < std::size(kKinds); ++k)
        if (holds[k].count != 0)
            std::printf("  %s: tree lock held for %s %llu times, %.1f ms in all, longest %.2f ms\n", when, kKinds[k],
                        static_cast<unsigned long long>(holds[k].count), Ms(holds[k].totalNs),
                        Ms(holds[k].longestNs));
}

void Run(size_t count) {
    std::vector<std::unique_ptr<Node>> nodes;
    nodes.reserve(count);
    const std::int64_t base = (1262304000LL + 11644473600LL) * 10000000LL;  // 2010
    const std::int64_t span = 20LL * 365 * 86400 * 10000000LL;
    std::uint64_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return seed >> 17;
    };
    Node root("Volume", true, 0, 0, 0);
    for (size_t i = 0; i < count; ++i) {
        const bool dir = i % 10 == 0;
        // "-t3" in one name of ten: the search key of the 10% search.
        std::string name = (dir ? "Folder" : "File") + std::to_string(i) + "-t" + std::to_string(i / 10 % 10);
        if (!dir) name += std::string(".") + kExtensions[i % (sizeof kExtensions / sizeof *kExtensions)];
        nodes.push_back(std::make_unique<Node>(name, dir, static_cast<std::int64_t>(next() % 10000000),
                                               base + static_cast<std::int64_t>(next() % span),
                                               base + static_cast<std::int64_t>(next() % span)));
        // A file in the folder before it; a folder under an earlier folder
        // (eight subfolders each), the first ones under the volume.
        Node* node = nodes.back().get();
        if (!dir) {
            nodes[i / 10 * 10]->AddChild(node);
        } else {
            const size_t up = i / 10 / 8 * 10;
            (up < i ? static_cast<CFileNode*>(nodes[up].get()) : static_cast<CFileNode*>(&root))->AddChild(node);
        }
    }
    Timings t;
    QXUIScan& scan = QXUIScan::instance();
    TreeStore& store = TreeStore::shared();
    scan.SetControllerFactory([&](_RECOVERY_CONTROLLER_TYPE) { return new BenchController(nodes, &root, t); });
    MemDevice device(8, 512, STORAGE_DEVICE_QVX);
    int posts = 0, searchValues = 0, searchEnds = 0;
    QObject context;
    NotificationBus::instance()->observe("NormalScranValue", &context, [&](const QVariant&) { ++posts; });
    NotificationBus::instance()->observe("DoSearchValue", &context, [&](const QVariant&) { ++searchValues; });
    NotificationBus::instance()->observe("DoSearchFinished", &context, [&](const QVariant&) { ++searchEnds; });
    QXUIController::QXResetTreeNodeData();
    QCoreApplication::processEvents();
    g_timeCount = 0;
    scan.SetDeepScan(1);
    scan.SetStatus(QXOP_RUNNING);
    scan.ClearData();
    QXViewTrees::shared().TakeHoldStats();
    store.TakeLongestReaderWait();
    const size_t heapBefore = mallinfo2().uordblks;
    const auto start = Clock::now();
    const double cpuStart = CpuSeconds();
    std::atomic<bool> scanned{false};
    std::thread worker([&] {
        scan.DoScan(&device, nullptr);
        scanned = true;
    });
    ProbeStats probe;
    ProbeUntil(store, probe, [&] { return scanned.load(); });
    worker.join();
    const double total = Seconds(Clock::now() - start);
    const double cpu = CpuSeconds() - cpuStart;
    QCoreApplication::processEvents();
    const size_t heapAfter = mallinfo2().uordblks;
    std::printf(
        "%zu nodes: ShowNodes %.3f s (the outlines grow inside it), ShowFilesystemNode %.6f s, total %.3f s "
        "(80 ms start pause included; CPU %.3f s), %d NormalScranValue posts, %.1f heap bytes per node in the bridge and "
        "the outlines (an engine node of the bench is %zu bytes, CFileNode %zu)\n",
        count, Seconds(t.showNodes), Seconds(t.showRoot), total, cpu, posts,
        static_cast<double>(heapAfter - heapBefore) / static_cast<double>(count), sizeof(Node), sizeof(CFileNode));
    PrintHolds("scan");
    std::printf("  scan: %d main-thread probes, longest probe %.2f ms, longest reader wait for the lock %.2f ms, "
                "%zu rows in the outlines' generation\n",
                probe.probes, Ms(probe.longestNs), Ms(store.TakeLongestReaderWait()), [&] {
                    std::lock_guard lock(g_lockerAddData);
                    return store.RowsInGeneration();
                }());

    QXUIController::SetViewType(0);
    for (const char* key : {"-t3.", "zzqx"}) {
        const int endsBefore = searchEnds, valuesBefore = searchValues;
        ProbeStats searchProbe;
        const auto searchStart = Clock::now();
        const double searchCpuStart = CpuSeconds();
        if (!QXUIController::DoSearchWithString(key, nullptr, "DoSearchValue")) {
            std::printf("  search \"%s\" refused\n", key);
            continue;
        }
        ProbeUntil(store, searchProbe, [&] { return searchEnds > endsBefore; });
        const double took = Seconds(Clock::now() - searchStart);
        const double searchCpu = CpuSeconds() - searchCpuStart;
        std::vector<IFileNode*> hits;
        QXUIController::GetSearchResultToArr(hits);
        std::printf("  search \"%s\": %zu hits, %.3f s to \"DoSearchFinished\" (CPU %.3f s; %d \"DoSearchValue\" "
                    "posts), %d probes, longest probe %.2f ms\n",
                    key, hits.size(), took, searchCpu, searchValues - valuesBefore, searchProbe.probes,
                    Ms(searchProbe.longestNs));
        const auto phases = QXViewTrees::shared().LastSearchTimes();
        std::printf("  search \"%s\": matching %.1f ms, shown outline %.1f ms, other outlines %.1f ms\n", key,
                    Ms(phases.matchNs), Ms(phases.shownNs), Ms(phases.otherNs));
        PrintHolds("search");
    }
    QXViewTrees::shared().WaitSearch(60000);
    QXUIController::DoSearchWithString("", nullptr, "DoSearchValue");
    QXViewTrees::shared().WaitSearch(60000);
    QXUIController::QXResetTreeNodeData();
    QCoreApplication::processEvents();
    store.FreeRetired();
    scan.ClearData();
    scan.SetControllerFactory(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    TuneAllocatorForScanning();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    initFileType();
    QXUIController::InstallViewTrees();
    QXUIScan::instance().SetNotifyHook(&QXNotifyUIUpdateData);
    std::vector<size_t> counts;
    for (int i = 1; i < argc; ++i) counts.push_back(std::strtoull(argv[i], nullptr, 10));
    if (counts.empty()) counts = {300000, 1000000};
    for (size_t n : counts) Run(n);
    return 0;
}
