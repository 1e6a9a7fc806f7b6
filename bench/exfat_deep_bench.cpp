// exFAT deep-scan speed: the deep controller with the exFAT searcher only,
// over a 2 GiB disk image, against pread of the same file in 4 MiB chunks.
// The image: 1 GiB of pseudo-random data (file content the searcher must
// look at and refuse), then the deep-scan fixture's exFAT volume at an odd
// sector with both boot sectors wiped, then zeros. Warm page cache; median
// of 5 runs of each, side by side.
//
//   bench-exfat-deep [IMAGE]   (default: exfat_deep_bench.img in the current
//                               folder, made when missing; needs root for
//                               the fixture script's exfat-fuse mount)

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "recovery/CompleteRecoveryController.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/RecoveryFilter.h"
#include "storage/DiskDevice.h"

namespace {

volatile std::uint64_t g_sink = 0;
constexpr std::uint64_t kImageBytes = 2048ull << 20;
constexpr std::uint64_t kRandomBytes = 1024ull << 20;
constexpr std::uint64_t kVolumeSector = kRandomBytes / 512 + 1;

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

bool MakeImage(const std::string& path) {
    const std::string dir = path + ".fixture";
    const std::string cmd = std::string("bash '") + QUILLORY_SOURCE_DIR +
                            "/tests/fixtures/make_exfat_deep_images.sh' '" + dir + "' >/dev/null";
    if (std::system(cmd.c_str()) != 0) return false;
    std::ifstream in(dir + "/volume.img", std::ios::binary);
    std::vector<char> volume((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (volume.size() < 13 * 512) return false;
    std::memset(volume.data(), 0, 512);
    std::memset(volume.data() + 12 * 512, 0, 512);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    std::vector<std::uint64_t> chunk((4u << 20) / 8);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    bool ok = ftruncate(fd, static_cast<off_t>(kImageBytes)) == 0;
    for (std::uint64_t off = 0; ok && off < kRandomBytes; off += chunk.size() * 8) {
        for (auto& v : chunk) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            v = x;
        }
        ok = pwrite(fd, chunk.data(), chunk.size() * 8, static_cast<off_t>(off)) ==
             static_cast<ssize_t>(chunk.size() * 8);
    }
    ok = ok && pwrite(fd, volume.data(), volume.size(), static_cast<off_t>(kVolumeSector * 512)) ==
                   static_cast<ssize_t>(volume.size());
    close(fd);
    return ok;
}

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
    if (IDataRecovery* writer = controller->GetDataRecovery(SEARCHER_EXFAT)) {
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
    const std::string path = argc > 1 ? argv[1] : "exfat_deep_bench.img";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "making %s\n", path.c_str());
        if (!MakeImage(path) || stat(path.c_str(), &st) != 0) {
            std::fprintf(stderr, "could not make %s\n", path.c_str());
            return 1;
        }
    }
    ScanControllerFactories& f = GetScanControllerFactories();
    f.flush = [] {};  // sync() measures the machine, not the scan
    f.hfsplusDeep = f.apfsDeep = f.fatDeep = f.rawDeep = f.ntfsDeep = [] { return nullptr; };
    f.exfatDeep = [] { return CreateEXFatSearcher(); };
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
        std::fprintf(stderr, "the deep scan found no exFAT files\n");
        return 1;
    }
    const double mib = static_cast<double>(st.st_size) / (1 << 20);
    const double p = Median(preadTimes), d = Median(deepTimes);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::fprintf(stderr,
                 "%.0f MiB, %llu nodes shown: pread %.3f s (%.0f MiB/s), exFAT deep scan %.3f s (%.0f MiB/s): "
                 "%.0f%% of pread; peak RSS %.1f MiB\n",
                 mib, static_cast<unsigned long long>(nodes), p, mib / p, d, mib / d, 100.0 * p / d,
                 ru.ru_maxrss / 1024.0);
    return 0;
}
