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
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "DeepBench.h"
#include "foundation/ScanMemory.h"

namespace {

constexpr std::uint64_t kImageBytes = 2048ull << 20;
constexpr std::uint64_t kRandomBytes = 1024ull << 20;
constexpr std::uint64_t kVolumeSector = kRandomBytes / 512 + 1;

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

}  // namespace

int main(int argc, char** argv) {
    TuneAllocatorForScanning();
    const std::string path = argc > 1 ? argv[1] : "exfat_deep_bench.img";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "making %s\n", path.c_str());
        if (!MakeImage(path) || stat(path.c_str(), &st) != 0) {
            std::fprintf(stderr, "could not make %s\n", path.c_str());
            return 1;
        }
    }
    deepbench::NoDeepSearchers().exfatDeep = CreateEXFatSearcher;
    return deepbench::CompareWithPread(path, SEARCHER_EXFAT, "exFAT");
}
