// The FAT32 first-cluster repair recognises a deleted file's true first
// cluster by the raw search's four-byte keys (registry set 1), not only by an
// executable header.
#include <gtest/gtest.h>

#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "FatTestSupport.h"
#include "fat/FATBuildWorker.h"
#include "fat/FATFileNode.h"
#include "fat/FATStructures.h"
#include "fat/FATTable.h"
#include "storage/MemoryDevice.h"
#include "support/BuilderDouble.h"

using namespace fattest;

namespace {
class NoFat : public IFATTable {
public:
    std::uint32_t GetNextCluster(std::uint32_t) override { return 0; }
};
}  // namespace

TEST(FatRepair, QuickScanFindsAJpegByItsRawKey) {
    NoFat fat;
    const std::int64_t sectors = 0x10100 + 200;
    CMemoryStorageDevice dev(512, sectors, STORAGE_DEVICE_VOLUME);
    quillory_test::BuilderDouble builder;
    FATBuildContext ctx;
    ctx.builder = &builder;
    ctx.device = &dev;
    ctx.type = FILE_SYSTEM_FAT32;
    ctx.sectorsPerCluster = 1;
    ctx.dataStart = 100;
    ctx.totalSectors = static_cast<std::uint64_t>(sectors);
    ctx.fat = &fat;
    ctx.rootCluster = 2;
    std::unordered_set<std::uint32_t> visited;
    std::unordered_map<std::uint64_t, CFATFileNode*> folders;
    CFATBuildChildren children(ctx, &visited, &folders);

    // The cluster the entry names (7) holds nothing known; the one 0x10000
    // further holds a JFIF header.
    const std::uint8_t jfif[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    dev.Write((100 + 0x10007 - 2) * 512ull, jfif, sizeof jfif);
    auto e = ShortEntry("\xE5HOTO   JPG", 0x20, 7, 50000);
    CTempFATDirEntry entry(e.data());
    auto* props = CFATFileProperties::Create();
    props->SetFileName("photo.jpg");
    std::uint64_t hint = 0;
    g_u64PreReadFileCluNum = 0;
    EXPECT_EQ(children.ReverseDelFileFirstNum(entry, 0, hint, props, false), 0x10007u);
    CFATFileProperties::Destory(props);
}
