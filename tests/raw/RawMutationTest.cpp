// Seeded random corruptions of every committed sample (bit flips, zeroed and
// 0xFF runs, cut tails, 32-bit fields set to extremes) go through every
// written analyser's AnalyseBuffer on a buffer of exactly one sector and the
// promised spare bytes, and through the whole search (streaming CalcRawSize,
// eviction, GetRawFileSize through the ring and the device) with small
// blocks. The sanitizers of the test build turn any read outside a buffer
// into a failure; a hang fails by the test's time-out.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "RawSearchSupport.h"
#include "foundation/ByteOrder.h"
#include "raw/RawAnalyserFactory.h"
#include "storage/SyntheticDevice.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> Samples() {
    std::vector<Bytes> out;
    const std::string root = std::string(QUILLORY_SOURCE_DIR) + "/tests/data/raw/";
    std::unique_ptr<DIR, int (*)(DIR*)> groups(opendir(root.c_str()), closedir);
    if (!groups) return out;
    while (dirent* g = readdir(groups.get())) {
        if (g->d_name[0] == '.') continue;
        std::ifstream manifest(root + g->d_name + "/manifest.tsv");
        std::string line;
        std::getline(manifest, line);
        while (std::getline(manifest, line)) {
            std::ifstream f(root + g->d_name + "/" + line.substr(0, line.find('\t')), std::ios::binary);
            out.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        }
    }
    return out;
}

void Mutate(Bytes& b, std::mt19937_64& rng) {
    if (b.empty()) return;
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !b.empty(); ++e) {
        switch (rng() % 5) {
        case 0:  // bit flips
            for (int i = 0; i < 8; ++i) b[pick(b.size())] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            break;
        case 1:
        case 2: {  // a run of zeros or of 0xFF
            const std::size_t at = pick(b.size());
            const std::size_t n = std::min<std::size_t>(b.size() - at, 1 + pick(600));
            std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(at), n, (rng() & 1) ? 0xFF : 0x00);
            break;
        }
        case 3:  // a cut tail
            b.resize(pick(b.size()) + 1);
            break;
        default: {  // a length field (within the first 64 bytes, or anywhere) at an extreme
            static const std::uint32_t extremes[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x00FFFFFF};
            const std::size_t span = std::min<std::size_t>(b.size(), (rng() & 1) ? 64 : b.size());
            if (span < 4) break;
            const std::size_t at = pick(span - 3);
            const std::uint32_t v = extremes[rng() % std::size(extremes)];
            if (rng() & 1)
                byteorder::PutBE32(&b[at], v);
            else
                byteorder::PutLE32(&b[at], v);
        }
        }
    }
}

}  // namespace

TEST(RawMutation, CorruptedSamplesNeverCrashReadOutsideOrHang) {
    const std::vector<Bytes> samples = Samples();
    ASSERT_GE(samples.size(), 10u);
    std::mt19937_64 rng(2028);
    constexpr int kPerSample = 40;
    for (std::size_t s = 0; s < samples.size(); ++s) {
        for (int round = 0; round < kPerSample; ++round) {
            Bytes b = samples[s];
            Mutate(b, rng);
            const std::uint32_t ss = (round % 4 == 3) ? 4096 : 512;
            // The analyser contract: one sector and 4,096 bytes, not one more.
            Bytes padded(ss + 4096, 0);
            std::copy_n(b.begin(), std::min(b.size(), padded.size()), padded.begin());
            for (const RawAnalyserFactoryRow& row : RawAnalyserFactories()) {
                std::unique_ptr<IRawFileAnalyser> a(row.make());
                CRawFileInfo temp;
                (void)a->AnalyseBuffer(padded.data(), temp);
            }
            // The whole search over the mutated file, twice over with random
            // bytes between, in blocks of 8 sectors so the ring fills.
            CSyntheticStorageDevice dev(ss);
            dev.AddBytes(b).AddRandom(ss * 3, rng()).AddBytes(b).AddZeros(ss * (rng() % 3));
            if (round % 5 == 0) dev.FailSector(static_cast<std::int64_t>(rng() % (dev.GetTotalSectors() + 1)));
            rawtest::RawSearch raw(&dev, 8);
            raw.Run();
            for (const rawtest::Found& f : raw.Files()) {
                ASSERT_GT(f.size, 0);
                ASSERT_LE(f.start * ss + f.size, dev.GetTotalSectors() * ss);
            }
        }
    }
}
