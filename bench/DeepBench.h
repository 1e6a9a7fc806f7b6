// What the deep-scan benchmarks share: a deep scan through the deep
// controller with one searcher, pread of the same image as the yardstick,
// medians over warm-cache runs and the peak resident size.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recovery/CompleteRecoveryController.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/RecoveryFilter.h"
#include "storage/DiskDevice.h"

namespace deepbench {

inline volatile std::uint64_t g_sink = 0;

class CountingSink : public IDrirectoryTree {
public:
    void ShowNodes(IFileNode**, unsigned count, int) override { nodes += count; }
    void ShowFilesystemNode(IFilesystemNode*) override {}
    std::uint64_t nodes = 0;
};

class NullProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
};

inline double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The whole image in 4 MiB chunks: as fast as the scan could ever read it.
inline double PreadRun(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    std::vector<std::uint8_t> buf(4 << 20);
    const auto t0 = std::chrono::steady_clock::now();
    for (off_t off = 0;; off += static_cast<off_t>(buf.size())) {
        const ssize_t n = pread(fd, buf.data(), buf.size(), off);
        if (n <= 0) break;
        g_sink = g_sink + buf[0] + buf[static_cast<std::size_t>(n) - 1];
    }
    const double s = Seconds(t0);
    close(fd);
    return s;
}

struct DeepResult {
    double seconds = 0;
    bool kept = false;  // the searcher kept a partition (its writer exists)
    std::uint64_t nodes = 0;
};

inline DeepResult DeepRun(const std::string& path, _tagSearcherType type) {
    DeepResult r;
    CDiskDevice* device = CreateDiskDevice(path.c_str());
    device->Open(nullptr);
    CRecoveryFilter filter;
    filter.SetFilterTypes(FILTER_ALL);
    filter.SetScanType(SCAN_TYPE_DEEP);
    CountingSink sink;
    NullProgress progress;
    IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_DEEP_DISK);
    controller->Initialize(&filter);
    const auto t0 = std::chrono::steady_clock::now();
    controller->StartDataRecovery(device, &progress, &sink);
    r.seconds = Seconds(t0);
    r.nodes = sink.nodes;
    if (IDataRecovery* writer = controller->GetDataRecovery(type)) {
        r.kept = true;
        writer->Release();
    }
    controller->Release();
    delete device;
    return r;
}

// The 2 GiB FAT32 disk image of make_fat32_bench_image.sh at `path`, made
// when missing; `st` describes it. False when it could not be made.
inline bool Fat32BenchImage(const std::string& path, const char* sourceDir, struct stat& st) {
    if (stat(path.c_str(), &st) == 0) return true;
    std::fprintf(stderr, "making %s\n", path.c_str());
    const std::string cmd = std::string("bash '") + sourceDir + "/bench/make_fat32_bench_image.sh' '" + path + "'";
    return std::system(cmd.c_str()) == 0 && stat(path.c_str(), &st) == 0;
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double PeakRssMiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024.0;
}

// Every deep searcher off, no flush before the scan (it measures the
// machine, not the scan) and no pause after a tree's root (it only paces a
// front end's views); the caller then turns on the one it measures.
inline ScanControllerFactories& NoDeepSearchers() {
    ScanControllerFactories& f = GetScanControllerFactories();
    f.flush = [](IStorageDevice*) {};
    f.hfsplusDeep = f.exfatDeep = f.fatDeep = f.rawDeep = f.ntfsDeep =
        f.apfsDeep = [] { return static_cast<ICompleteFileSystemSearchController*>(nullptr); };
    GetTreeBuilderTiming().sleepSeconds = [](unsigned) {};
    return f;
}

// Warm-cache runs of pread and of the deep scan side by side, medians on
// standard error. Non-zero when the scan kept no partition or showed nothing.
inline int CompareWithPread(const std::string& path, _tagSearcherType type, const char* name, int runs = 5) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 1;
    PreadRun(path);  // warm the page cache
    std::vector<double> preadTimes, deepTimes;
    DeepResult last;
    for (int i = 0; i < runs; ++i) {
        preadTimes.push_back(PreadRun(path));
        last = DeepRun(path, type);
        deepTimes.push_back(last.seconds);
    }
    if (last.nodes == 0 || !last.kept) {
        std::fprintf(stderr, "the deep scan found no %s files\n", name);
        return 1;
    }
    const double mib = static_cast<double>(st.st_size) / (1 << 20);
    const double p = Median(preadTimes), d = Median(deepTimes);
    std::fprintf(stderr,
                 "%.0f MiB, %llu nodes shown: pread %.3f s (%.0f MiB/s), %s deep scan %.3f s (%.0f MiB/s): "
                 "%.0f%% of pread; peak RSS %.1f MiB\n",
                 mib, static_cast<unsigned long long>(last.nodes), p, mib / p, name, d, mib / d, 100.0 * p / d,
                 PeakRssMiB());
    return 0;
}

}  // namespace deepbench
