// Files of a real NTFS volume (made by mkntfs and ntfs-3g, some compressed)
// recovered through the quick-scan controller's file writer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <sys/stat.h>

#include "WriterTestSupport.h"
#include "recovery/DataRecovery.h"
#include "recovery/FileReader.h"
#include "recovery/RecoveryFilter.h"
#include "support/Fixture.h"
#include "support/RecordingSink.h"

namespace {

const std::string& CompressedFixtureDir() {
    static const std::string dir = [] {
        return quillory_test::MakeFixtures("make_ntfs_compressed_image.sh",
                                           std::string(QUILLORY_BINARY_DIR) + "/fixtures/ntfs-compressed");
    }();
    return dir;
}

struct Progress : IProgress {
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
};

using Sink = quillory_test::RecordingSink;

}  // namespace

TEST(NtfsRecovery, DeletedFilesCompressedAndResidentComeBackWhole) {
    const std::string dir = CompressedFixtureDir();
    fattest::ImageDevice dev(dir + "/ntfs_compressed.img");
    auto* rec = new CCollectedVolumeDeviceInfoStruct{};
    rec->fileSystemType = FILE_SYSTEM_NTFS;
    rec->sectorSize = 512;
    rec->totalSectors = dev.GetTotalSectors();
    dev.SetPrivateData(CreateVolumeDeviceData(rec));

    CRecoveryFilter filter;
    filter.SetScanType(SCAN_TYPE_QUICK);
    Sink sink;
    Progress progress;
    IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_QUICK);
    ASSERT_NE(controller, nullptr);
    controller->Initialize(&filter);
    ASSERT_EQ(controller->StartDataRecovery(&dev, &progress, &sink), ENGINE_OK);
    IDataRecovery* writer = controller->GetDataRecovery(SEARCHER_NTFS);
    ASSERT_NE(writer, nullptr);

    char tmpl[] = "/tmp/ntfsrecovery-XXXXXX";
    const std::string out = mkdtemp(tmpl);
    std::map<std::string, bool> seen;
    for (IFileNode* n : sink.shown) {
        if (n->IsDirectory()) continue;
        const std::string name = n->GetFileName();
        const auto orig = fattest::ReadFile(dir + "/orig/" + name);
        if (orig.empty()) continue;
        IFileReader* clone = writer->SetRecoverNode(n);
        ASSERT_NE(clone, nullptr) << name;
        EXPECT_EQ(clone->IsCompressFile(), name == "big.bin" ? 1 : 0) << name;
        // Preview reads through the clone are decoded bytes.
        std::vector<char> head(1000);
        ASSERT_EQ(clone->ReadData(0, head.data(), 1000, nullptr), std::min<int>(1000, orig.size())) << name;
        EXPECT_EQ(0, std::memcmp(head.data(), orig.data(), std::min<std::size_t>(1000, orig.size()))) << name;
        clone->Release();
        const std::string dest = out + "/" + name;
        ASSERT_EQ(writer->RecoverTo(dest.c_str(), nullptr, 0), ENGINE_OK) << name;
        EXPECT_TRUE(fattest::ReadFile(dest) == orig) << name;
        std::int64_t seconds = 0;
        ASSERT_TRUE(FileTimeToUnixSeconds(n->GetCreationTime(), &seconds));
        struct stat st {};
        ASSERT_EQ(stat(dest.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, seconds) << name;
        seen[name] = true;
    }
    EXPECT_TRUE(seen["big.bin"]);
    EXPECT_TRUE(seen["note.txt"]);
    EXPECT_TRUE(seen["mid.dat"]);
    writer->Release();
    controller->Release();
    std::system(("rm -rf '" + out + "'").c_str());
}
