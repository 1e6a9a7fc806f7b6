// The raw search driver with the whole registry over a synthetic device,
// with no disk: PreparetoSearch, AnalyzeBlock for every 4 MiB block, and
// EndSearch, timed on one thread.
//   bench-raw-blocks [GIB] [random|fp]
// "random": seeded random bytes. "fp": the same, with planted starts of
// frequent false hits ("ID3", TIFF headers, "PK\3\4", "%PDF", MPEG frame
// syncs, "ftyp" at 4, 0x47 every 188 bytes) in one sector of 16.
// Prints throughput, the files found, the eviction losses and peak RSS.
#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>
#include <string>

#include "raw/RAWSearchController.h"
#include "foundation/DirectoryTree.h"
#include "foundation/ScanMemory.h"
#include "recovery/RecoveryFilter.h"
#include "foundation/StorageDevice.h"

namespace {

class CountingBuilder : public IDirecotryTreeBuilder {
public:
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType) override {
        if (!node->IsDirectory()) ++files;
        node->Release();
        return 1;
    }
    int AddSearcherInfo(_tagSearcherType, std::int64_t) override { return 1; }
    void FlashBuild(_tagSearcherType) override {}
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
    long files = 0;
};

// Seeded random bytes with a period of a little over 64 MiB (not a multiple
// of the block), served by memcpy: the synthetic device's per-byte hash
// would cost more than the search it feeds.
class PeriodicDevice : public IStorageDevice {
public:
    PeriodicDevice(std::uint64_t bytes, std::uint64_t seed) : m_total(bytes / 512), m_data(kPeriod * 512 + 0x400000) {
        std::mt19937_64 rng(seed);
        for (std::size_t i = 0; i + 8 <= m_data.size(); i += 8) {
            const std::uint64_t v = rng();
            std::memcpy(&m_data[i], &v, 8);
        }
    }
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override {
        if (first < 0 || count <= 0 || first >= m_total) return 0;
        auto* out = static_cast<std::uint8_t*>(buffer);
        for (std::int64_t s = first; s < first + count;) {
            const std::uint64_t at = static_cast<std::uint64_t>(s) % kPeriod;
            const std::int64_t n = std::min<std::int64_t>(first + count - s, static_cast<std::int64_t>(kPeriod - at));
            if (s >= m_total)
                std::memset(out, 0, static_cast<std::size_t>(n) * 512);
            else
                std::memcpy(out, &m_data[at * 512], static_cast<std::size_t>(n) * 512);
            for (const auto& [pos, bytes] : m_planted)
                if (pos / 512 >= static_cast<std::uint64_t>(s) && pos / 512 < static_cast<std::uint64_t>(s + n))
                    std::memcpy(out + (pos - static_cast<std::uint64_t>(s) * 512), bytes.data(), bytes.size());
            out += n * 512;
            s += n;
        }
        return 1;
    }
    std::uint32_t GetSectorSize() override { return 512; }
    std::int64_t GetTotalSectors() override { return m_total; }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData* d) override { delete d; }
    int GetType() override { return STORAGE_DEVICE_DISK; }
    EngineResult GetLastError() override { return 0; }
    // Bytes laid into the period, so they recur in every period.
    void Write(std::uint64_t at, const void* p, std::size_t n) { std::memcpy(&m_data[at % (kPeriod * 512)], p, n); }

private:
    static constexpr std::uint64_t kPeriod = 131101;  // sectors, prime
    std::int64_t m_total;
    std::vector<std::uint8_t> m_data;
    std::map<std::uint64_t, std::vector<std::uint8_t>> m_planted;
};

void PlantFalseHits(PeriodicDevice& dev, std::uint64_t bytes) {
    static const char* const starts[] = {"ID3\3", "II*\0", "MM\0*", "PK\3\4", "%PDF", "\xFF\xFB\x90\x64"};
    std::uint64_t k = 0;
    for (std::uint64_t at = 0; at + 512 <= bytes; at += 512 * 16, ++k) {
        const std::uint64_t pick = k % 8;
        if (pick < 6) {
            dev.Write(at, starts[pick], 4);
        } else if (pick == 6) {
            dev.Write(at + 4, "ftyp", 4);
        } else {
            for (std::uint64_t p = 0; p < 512; p += 188) dev.Write(at + p, "\x47", 1);
        }
    }
    // Compound-file headers (both signature words) in the ninth sector of each sixteen.
    for (std::uint64_t at = 512 * 8; at + 512 <= bytes; at += 512 * 16)
        dev.Write(at, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    // JPEG starts with an APP1 marker, between the others.
    for (std::uint64_t at = 512 * 8; at + 512 <= bytes; at += 512 * 16 * 4) dev.Write(at, "\xFF\xD8\xFF\xE1", 4);
}

// This thread's CPU seconds: on a loaded machine the wall time swings with
// the other processes, the CPU time far less.
double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    TuneAllocatorForScanning();
    const double gib = argc > 1 ? std::atof(argv[1]) : 2.0;
    const bool fp = argc > 2 && std::string(argv[2]) == "fp";
    std::map<int, std::string> lists = {{1, "pdf;doc"}, {2, "png;gif;bmp;jpg"}, {4, "mov;mp4"}, {8, "mp3"}, {16, "zip"},
                                        {32, "mbox"}};
    CFileTypeManager::Initialze(lists);
    const std::uint64_t bytes = static_cast<std::uint64_t>(gib * 1024 * 1024 * 1024) / 512 * 512;
    PeriodicDevice dev(bytes, 28);
    if (fp) PlantFalseHits(dev, std::min<std::uint64_t>(bytes, 131101ull * 512));
    CountingBuilder builder;
    CRAWSearchController search;
    const int block = 8192;
    search.SetDevice(&dev);
    search.SetBlockSize(block);
    search.SetDirecotryTreeBuilder(&builder);
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = ThreadCpuSeconds();
    search.PreparetoSearch();
    // The first touch of the ring's 80 MiB is a one-off cost, large where
    // page faults are dear (some virtual machines): timed apart as well.
    const auto tPrepared = std::chrono::steady_clock::now();
    const std::int64_t total = dev.GetTotalSectors();
    for (std::int64_t first = 0; first < total; first += block)
        search.AnalyzeBlock(first, std::min<std::int64_t>(block, total - first));
    search.EndSearch(1);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = ThreadCpuSeconds() - cpu0;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::fprintf(stderr, "raw search, %s, %.2f GiB: %.3f s, %.2f GB/s, %ld files, peak RSS %ld MiB\n",
                 fp ? "false-positive-heavy" : "random", gib, secs, static_cast<double>(bytes) / secs / 1e9,
                 builder.files, ru.ru_maxrss / 1024);
    const double scan = std::chrono::duration<double>(std::chrono::steady_clock::now() - tPrepared).count();
    std::fprintf(stderr, "  after PreparetoSearch (%.3f s): %.3f s, %.2f GB/s\n", secs - scan, scan,
                 static_cast<double>(bytes) / scan / 1e9);
    std::fprintf(stderr, "  CPU time of the search thread: %.3f s, %.2f GB/s of CPU\n", cpu,
                 static_cast<double>(bytes) / cpu / 1e9);
    for (const auto& [type, n] : search.EvictionLosses())
        std::fprintf(stderr, "  evicted and lost: %llu %s\n", static_cast<unsigned long long>(n),
                     g_s_strFileExtName[type < RAW_FILE_TYPE_COUNT ? type : 0]);
    return 0;
}
