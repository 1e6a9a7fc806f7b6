// Deep-scan read throughput: the deep controller with spy searchers that only
// touch each block (read through the cache device), against pread of the same
// file in 4 MiB chunks. Warm page cache; median of 5 runs of each, side by side.
//
//   bench-deep-scan [IMAGE [SIZE_MIB]]   (default: build folder's deepscan.img, 2048 MiB)

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

#include "DeepBench.h"
#include "foundation/ScanMemory.h"
#include "storage/DeviceData.h"

namespace {

volatile uint64_t g_sink = 0;
uint64_t g_failures = 0;

uint64_t Touch(const uint8_t* data, size_t bytes) {
    uint64_t sum = 0;
    for (size_t i = 0; i + 8 <= bytes; i += 4096) {
        uint64_t v;
        std::memcpy(&v, data + i, 8);
        sum += v;
    }
    return sum;
}

class SpySearcher : public ICompleteFileSystemSearchController {
public:
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder*) override {}
    int GetSearchedPartitionInfo(CSearchedPartitionInfo**, int) override { return 0; }
    void SetDevice(IStorageDevice* device) override { m_device = device; }
    void SetBlockSize(int sectors) override {
        m_buffer.assign(static_cast<size_t>(sectors) * m_device->GetSectorSize(), 0);
    }
    void PreparetoSearch() override {}
    void AnalyzeBlock(int64_t first, int64_t count) override {
        const size_t bytes = static_cast<size_t>(count) * m_device->GetSectorSize();
        if (bytes > m_buffer.size()) m_buffer.resize(bytes);
        if (!m_device->ReadSector(m_buffer.data(), first, count)) ++g_failures;
        uint64_t v;
        std::memcpy(&v, m_buffer.data(), 8);
        if (v != static_cast<uint64_t>(first) * (m_device->GetSectorSize() / 8)) ++g_failures;
        std::memcpy(&v, m_buffer.data() + bytes - 8, 8);
        if (v != static_cast<uint64_t>(first + count) * (m_device->GetSectorSize() / 8) - 1) ++g_failures;
        g_sink = g_sink + Touch(m_buffer.data(), bytes);
    }

private:
    IStorageDevice* m_device = nullptr;
    std::vector<uint8_t> m_buffer;
};

class NullSink : public IDrirectoryTree {
public:
    void ShowNodes(IFileNode**, unsigned, int) override {}
    void ShowFilesystemNode(IFilesystemNode*) override {}
};

double PreadRun(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    std::vector<uint8_t> buf(4 << 20);
    const auto t0 = std::chrono::steady_clock::now();
    for (off_t off = 0;; off += static_cast<off_t>(buf.size())) {
        const ssize_t n = pread(fd, buf.data(), buf.size(), off);
        if (n <= 0) break;
        g_sink = g_sink + Touch(buf.data(), static_cast<size_t>(n));
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    close(fd);
    return s;
}

double DeepRun(const std::string& path) {
    CDiskDevice* device = CreateDiskDevice(path.c_str());
    device->Open(nullptr);
    CRecoveryFilter filter;
    filter.SetScanType(SCAN_TYPE_DEEP);
    NullSink sink;
    deepbench::NullProgress progress;
    IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_DEEP_DISK);
    controller->Initialize(&filter);
    const auto t0 = std::chrono::steady_clock::now();
    controller->StartDataRecovery(device, &progress, &sink);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    controller->Release();
    delete device;
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    TuneAllocatorForScanning();
    const std::string path = argc > 1 ? argv[1] : "deepscan.img";
    const int64_t mib = argc > 2 ? std::atoll(argv[2]) : 2048;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || st.st_size != mib * (1 << 20)) {
        std::fprintf(stderr, "making %s (%lld MiB)\n", path.c_str(), static_cast<long long>(mib));
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<uint64_t> chunk((4 << 20) / 8);
        for (int64_t c = 0; c < mib / 4; ++c) {
            for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint64_t>(c) * chunk.size() + i;
            if (write(fd, chunk.data(), chunk.size() * 8) < 0) return 1;
        }
        close(fd);
    }
    deepbench::NoDeepSearchers().hfsplusDeep = [] { return new SpySearcher(); };

    PreadRun(path);  // warm the page cache
    std::vector<double> preadTimes, deepTimes;
    for (int i = 0; i < 5; ++i) {
        preadTimes.push_back(PreadRun(path));
        deepTimes.push_back(DeepRun(path));
    }
    const double bytes = static_cast<double>(mib) * (1 << 20);
    const double p = deepbench::Median(preadTimes), d = deepbench::Median(deepTimes);
    if (g_failures != 0) {
        std::fprintf(stderr, "deep scan saw %llu bad blocks\n", static_cast<unsigned long long>(g_failures));
        return 1;
    }
    std::fprintf(stderr,
                 "%lld MiB: pread %.3f s (%.0f MiB/s), deep scan %.3f s (%.0f MiB/s): %.0f%% of pread; peak RSS "
                 "%.1f MiB\n",
                 static_cast<long long>(mib), p, bytes / p / (1 << 20), d, bytes / d / (1 << 20), 100.0 * p / d,
                 deepbench::PeakRssMiB());
    return 0;
}
