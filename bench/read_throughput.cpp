// Read throughput of the shared read path: sequential reads of an image
// through CDiskDevice::ReadSector against plain pread of the same file, warm
// page cache, median of 5 runs taken side by side.
//
//   quillory-read-throughput [IMAGE] [--size-mib N] [--block-kib K]
//
// Without IMAGE a pattern file of N MiB (default 1024) is made in /tmp and
// removed at the end. The block defaults to 4 MiB; a second line with 4 KiB
// reads shows the cost per small read. A third pair of lines forces every
// read through the reader thread and its buffer (the road of data that is
// not in the page cache yet), still against a warm cache.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage/DiskDevice.h"
#include "storage/ReadAsync.h"

namespace {

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool MakeImage(const std::string& path, std::uint64_t bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::vector<std::uint8_t> chunk(4 << 20);
    for (std::uint64_t off = 0; off < bytes; off += chunk.size()) {
        for (std::size_t w = 0; w < chunk.size(); w += 8) {
            const std::uint64_t v = (off + w) / 512;
            std::memcpy(chunk.data() + w, &v, 8);
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), bytes - off));
        if (::pwrite(fd, chunk.data(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) {
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

// One pass of plain pread over the file in blocks; returns bytes/s.
double PassPread(int fd, std::uint64_t bytes, std::size_t block, std::uint8_t* buf, std::uint64_t& sum) {
    const auto t0 = std::chrono::steady_clock::now();
    for (std::uint64_t off = 0; off + block <= bytes; off += block) {
        std::size_t got = 0;
        while (got < block) {
            ssize_t r = ::pread(fd, buf + got, block - got, static_cast<off_t>(off + got));
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        sum += buf[block - 1];
    }
    return static_cast<double>(bytes) / Seconds(std::chrono::steady_clock::now() - t0);
}

double PassDevice(CDiskDevice& d, std::uint64_t bytes, std::size_t block, std::uint8_t* buf, std::uint64_t& sum,
                  bool& ok) {
    const std::int64_t per = static_cast<std::int64_t>(block / d.GetSectorSize());
    const std::int64_t total = static_cast<std::int64_t>(bytes / d.GetSectorSize());
    const auto t0 = std::chrono::steady_clock::now();
    for (std::int64_t s = 0; s + per <= total; s += per) {
        if (d.ReadSector(buf, s, per) != 1) ok = false;
        sum += buf[block - 1];
    }
    return static_cast<double>(bytes) / Seconds(std::chrono::steady_clock::now() - t0);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

ssize_t PlainPread(int fd, void* buf, std::size_t len, off_t off) { return ::pread(fd, buf, len, off); }

void Run(const std::string& path, std::uint64_t bytes, std::size_t block, std::uint64_t limit) {
    const std::uint64_t span = std::min<std::uint64_t>(bytes, limit) / block * block;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    CDiskDevice* d = CreateDiskDevice(path.c_str());
    if (fd < 0 || d == nullptr || d->Open(nullptr) != 1) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        std::exit(1);
    }
    std::vector<std::uint8_t> buf(block);
    std::uint64_t sum = 0;
    bool ok = true;
    // Warm the page cache and both paths.
    PassPread(fd, span, block, buf.data(), sum);
    PassDevice(*d, span, block, buf.data(), sum, ok);
    std::vector<double> p, q;
    for (int i = 0; i < 5; ++i) {
        p.push_back(PassPread(fd, span, block, buf.data(), sum));
        q.push_back(PassDevice(*d, span, block, buf.data(), sum, ok));
    }
    const double mp = Median(p), mq = Median(q);
    std::printf("block %7zu B over %6.0f MiB: pread %8.0f MiB/s, ReadSector %8.0f MiB/s, ratio %5.1f%%%s\n", block,
                static_cast<double>(span) / (1 << 20), mp / (1 << 20), mq / (1 << 20), 100.0 * mq / mp,
                ok ? "" : "  (READ FAILURES)");
    std::printf("  runs pread:");
    for (double x : p) std::printf(" %.0f", x / (1 << 20));
    std::printf("\n  runs device:");
    for (double x : q) std::printf(" %.0f", x / (1 << 20));
    std::printf("\n  (checksum %llu)\n", static_cast<unsigned long long>(sum));
    delete d;
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    std::string image;
    std::uint64_t sizeMiB = 1024;
    std::size_t blockKiB = 4096;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--size-mib" && i + 1 < argc)
            sizeMiB = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--block-kib" && i + 1 < argc)
            blockKiB = std::strtoull(argv[++i], nullptr, 10);
        else
            image = a;
    }
    bool made = false;
    if (image.empty()) {
        image = "/tmp/quillory-read-throughput-" + std::to_string(::getpid()) + ".img";
        if (!MakeImage(image, sizeMiB << 20)) {
            std::fprintf(stderr, "cannot write %s\n", image.c_str());
            return 1;
        }
        made = true;
    }
    int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "cannot open %s\n", image.c_str());
        return 1;
    }
    const off_t end = ::lseek(fd, 0, SEEK_END);
    ::close(fd);
    const std::uint64_t bytes = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    Run(image, bytes, blockKiB << 10, bytes);
    Run(image, bytes, 4096, 256ull << 20);  // small reads over the first 256 MiB
    std::printf("through the reader thread:\n");
    QXSetPlatformReadForTesting(&PlainPread);
    Run(image, bytes, blockKiB << 10, bytes);
    Run(image, bytes, 4096, 64ull << 20);
    QXSetPlatformReadForTesting(nullptr);
    if (made) ::unlink(image.c_str());
    return 0;
}
