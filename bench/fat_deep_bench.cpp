// FAT deep-scan speed (results on standard error; the scan's own diagnostic
// lines go to standard output): the deep controller with the FAT searcher only over a
// 2 GiB disk image holding a FAT32 volume, against pread of the same image in
// 4 MiB chunks and PhotoRec's whole-space search of it. Warm page cache;
// median of 3 runs of the scan and of pread, one PhotoRec run.
//
//   bench-fat-deep [IMAGE]   (default: fatdeep-2g.img here, made when missing)

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    void ShowFilesystemNode(IFilesystemNode*) override {}
    std::uint64_t nodes = 0;
};

class NullProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
};

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double PreadRun(const std::string& path) {
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
    int partitions = 0;
    std::uint64_t nodes = 0;
};

DeepResult DeepRun(const std::string& path) {
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
    // A writer exists only when the searcher kept a partition.
    if (IDataRecovery* writer = controller->GetDataRecovery(SEARCHER_FAT)) {
        r.partitions = 1;
        writer->Release();
    }
    controller->Release();
    delete device;
    return r;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = argc > 1 ? argv[1] : "fatdeep-2g.img";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "making %s\n", path.c_str());
        const std::string cmd = std::string("bash '") + QUILLORY_SOURCE_DIR + "/bench/make_fat32_bench_image.sh' '" +
                                path + "'";
        if (std::system(cmd.c_str()) != 0 || stat(path.c_str(), &st) != 0) return 1;
    }
    // PhotoRec runs in a scratch folder: it needs the image's full path.
    if (char* full = realpath(path.c_str(), nullptr)) {
        path = full;
        std::free(full);
    }
    ScanControllerFactories& f = GetScanControllerFactories();
    f.flush = [] {};  // sync() measures the machine, not the scan
    f.hfsplusDeep = f.exfatDeep = f.rawDeep = f.ntfsDeep = f.apfsDeep = [] {
        return static_cast<ICompleteFileSystemSearchController*>(nullptr);
    };
    f.fatDeep = CreateFATSearcher;
    GetTreeBuilderTiming().sleepSeconds = [](unsigned) {};

    PreadRun(path);  // warm the page cache
    std::vector<double> preadTimes, deepTimes;
    DeepResult last;
    for (int i = 0; i < 3; ++i) {
        preadTimes.push_back(PreadRun(path));
        last = DeepRun(path);
        deepTimes.push_back(last.seconds);
    }

    // PhotoRec, whole space, every file type, into a scratch folder.
    char tmpl[] = "/tmp/fatdeep-photorec-XXXXXX";
    const std::string out = mkdtemp(tmpl);
    const std::string photorec = "cd '" + out + "' && photorec /log /d '" + out + "/rec' /cmd '" + path +
                                 "' partition_none,options,paranoid,fileopt,everything,enable,wholespace,search "
                                 ">/dev/null 2>&1";
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = std::system(photorec.c_str());
    const double photorecSeconds = Seconds(t0);
    std::system(("rm -rf '" + out + "'").c_str());

    const double mib = static_cast<double>(st.st_size) / (1 << 20);
    const double p = Median(preadTimes), d = Median(deepTimes);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::fprintf(stderr, "image %.0f MiB; FAT deep scan: %s, %llu nodes shown\n", mib,
                last.partitions ? "partition kept" : "NO PARTITION", static_cast<unsigned long long>(last.nodes));
    std::fprintf(stderr, "pread        %7.3f s  %7.0f MiB/s\n", p, mib / p);
    std::fprintf(stderr, "FAT deep     %7.3f s  %7.0f MiB/s  (%.0f%% of pread)\n", d, mib / d, 100.0 * p / d);
    std::fprintf(stderr, "PhotoRec     %7.3f s  %7.0f MiB/s  (exit %d)\n", photorecSeconds, mib / photorecSeconds, rc);
    std::fprintf(stderr, "peak RSS %.1f MiB\n", ru.ru_maxrss / 1024.0);
    return 0;
}
