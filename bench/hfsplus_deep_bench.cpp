// HFS+ deep-scan speed: the deep controller with the HFS+ searcher only, over
// a 2 GiB sparse disk image (protective MBR and GPT) holding the prebuilt
// journaled HFS+ volume at sector 409,640 as a lost volume, against pread of
// the same file in 4 MiB chunks. Warm page cache; median of 5 runs of each.
//
//   bench-hfsplus-deep [IMAGE]   (default: hfsplus_deep_bench.img in the
//                                 current folder, made when missing)

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recovery/CompleteRecoveryController.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/RecoveryFilter.h"
#include "storage/DiskDevice.h"

namespace {

volatile std::uint64_t g_sink = 0;

class CountingSink : public IDrirectoryTree {
public:
    void ShowNodes(IFileNode**, unsigned count, int) override { nodes += count; }
    void ShowFilesystemNode(IFilesystemNode*) override { ++roots; }
    std::uint64_t nodes = 0, roots = 0;
};

class NullProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
};

double PreadRun(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    std::vector<std::uint8_t> buf(4 << 20);
    const auto t0 = std::chrono::steady_clock::now();
    for (off_t off = 0;; off += static_cast<off_t>(buf.size())) {
        const ssize_t n = pread(fd, buf.data(), buf.size(), off);
        if (n <= 0) break;
        g_sink = g_sink + buf[static_cast<std::size_t>(n) - 1];
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    close(fd);
    return s;
}

double DeepRun(const std::string& path, CountingSink& sink, bool& found) {
    CDiskDevice* device = CreateDiskDevice(path.c_str());
    device->Open(nullptr);
    CRecoveryFilter filter;
    filter.SetFilterTypes(FILTER_ALL);
    filter.SetScanType(SCAN_TYPE_DEEP);
    NullProgress progress;
    IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_DEEP_DISK);
    controller->Initialize(&filter);
    const auto t0 = std::chrono::steady_clock::now();
    controller->StartDataRecovery(device, &progress, &sink);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    found = false;
    if (IDataRecovery* writer = controller->GetDataRecovery(SEARCHER_HFSPLUS)) {
        found = true;
        writer->Release();
    }
    controller->Release();
    delete device;
    return s;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "hfsplus_deep_bench.img";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "making %s from the prebuilt HFS+ volume\n", path.c_str());
        const std::string dir = path + ".d";
        const std::string cmd = "mkdir -p '" + dir + "' && tar -xJf '" QUILLORY_SOURCE_DIR
                                "/tests/data/hfsplus_journal.img.tar.xz' -C '" + dir + "' && truncate -s 2G '" +
                                path + "' && sgdisk -o -a 8 -n 1:409640:442407 -t 1:AF00 '" + path +
                                "' >/dev/null && dd if='" + dir + "/hfsplus_journal.img' of='" + path +
                                "' bs=512 seek=409640 conv=notrunc,sparse status=none && rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0 || stat(path.c_str(), &st) != 0) return 1;
    }
    ScanControllerFactories& f = GetScanControllerFactories();
    f.flush = [] {};  // sync() measures the machine, not the scan
    f.apfsDeep = f.exfatDeep = f.fatDeep = f.rawDeep = f.ntfsDeep = [] { return nullptr; };
    f.hfsplusDeep = [] { return CreateHFSPlusSearcher(); };
    GetTreeBuilderTiming().sleepSeconds = [](unsigned) {};

    PreadRun(path);  // warm the page cache
    std::vector<double> preadTimes, deepTimes;
    std::uint64_t nodes = 0;
    bool found = false;
    for (int i = 0; i < 5; ++i) {
        preadTimes.push_back(PreadRun(path));
        CountingSink sink;
        deepTimes.push_back(DeepRun(path, sink, found));
        nodes = sink.nodes;
    }
    if (nodes == 0 || !found) {
        std::fprintf(stderr, "the deep scan found no HFS+ files\n");
        return 1;
    }
    const double mib = static_cast<double>(st.st_size) / (1 << 20);
    const double p = Median(preadTimes), d = Median(deepTimes);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::fprintf(stderr,
                 "%.0f MiB, %llu nodes shown: pread %.3f s (%.0f MiB/s), HFS+ deep scan %.3f s (%.0f MiB/s): "
                 "%.0f%% of pread; peak RSS %.1f MiB\n",
                 mib, static_cast<unsigned long long>(nodes), p, mib / p, d, mib / d, 100.0 * p / d,
                 ru.ru_maxrss / 1024.0);
    return 0;
}
