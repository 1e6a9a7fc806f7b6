// The HFS+ deep search over a sparse device built from the input:
//   u8 flags (bit 0: 4096-byte sectors, else 512; bit 1: the walk skips what
//   the bit map marks, as on a known volume), then records of
//   u16 sector (little-endian, modulo the device's 4,096 sectors) followed by
//   one sector of bytes (a short last record reads as zeros).
// Every other sector is zeros. The device is walked in two blocks, as a deep
// scan feeds it, then the search ends and hands out its partition records.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "FuzzBuilder.h"
#include "foundation/Bitmap.h"
#include "foundation/DirectoryTree.h"
#include "foundation/ByteOrder.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"
#include "hfsplus/HFSPlusDeepSearch.h"

namespace {
constexpr std::int64_t kSectors = 4096;

class SparseDevice : public IStorageDevice {
public:
    explicit SparseDevice(std::uint32_t sectorSize) : m_sectorSize(sectorSize) {}
    std::map<std::int64_t, std::vector<std::uint8_t>> sectors;
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override {
        if (first < 0 || count < 0 || first + count > kSectors) return 0;
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::memset(out, 0, static_cast<std::size_t>(count) * m_sectorSize);
        for (auto it = sectors.lower_bound(first); it != sectors.end() && it->first < first + count; ++it)
            std::memcpy(out + (it->first - first) * m_sectorSize, it->second.data(), m_sectorSize);
        return 1;
    }
    std::uint32_t GetSectorSize() override { return m_sectorSize; }
    std::int64_t GetTotalSectors() override { return kSectors; }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData* d) override { delete d; }
    int GetType() override { return 0; }
    EngineResult GetLastError() override { return 0; }

private:
    std::uint32_t m_sectorSize;
};

// Touches what a tree builder reads, keeps nothing.
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
    SparseDevice device(sectorSize);
    std::size_t at = 1;
    while (at + 2 <= size) {
        const std::int64_t sector = byteorder::LE16(data + at) % kSectors;
        at += 2;
        std::vector<std::uint8_t> bytes(sectorSize, 0);
        const std::size_t take = std::min<std::size_t>(sectorSize, size - at);
        std::memcpy(bytes.data(), data + at, take);
        at += take;
        device.sectors[sector] = std::move(bytes);
    }
    fuzzsupport::DroppingBuilder builder;
    TBitmap bitmap;
    CHFSPlusCompleteFileSystemSearchController searcher;
    searcher.SetDevice(&device);
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.SetBitmap(&bitmap);
    if (data[0] & 2) {
        searcher.SetActivePartition(true);
        bitmap.CreateBitmap(kSectors, data[0] >> 4);  // units 0 to 15
        bitmap.SetBit(kSectors / 4, 1, kSectors / 8);
    }
    searcher.PreparetoSearch();
    searcher.AnalyzeBlock(0, kSectors / 2);
    searcher.AnalyzeBlock(kSectors / 2, kSectors / 2);
    searcher.EndSearch(1);
    const int n = searcher.GetSearchedPartitionInfo(nullptr, 0);
    std::vector<CSearchedPartitionInfo*> out(static_cast<std::size_t>(n), nullptr);
    const int got = searcher.GetSearchedPartitionInfo(out.data(), n);
    for (int i = 0; i < got; ++i) delete out[i];
    return 0;
}
