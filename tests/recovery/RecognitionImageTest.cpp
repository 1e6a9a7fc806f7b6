#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <unistd.h>

#include "foundation/VolumeAnalyze.h"
#include "storage/DiskDevice.h"
#include "support/Fixture.h"

namespace {

// One folder per test process: ctest runs the cases of this suite in parallel.
std::string ImageDir() {
    return std::string(QUILLORY_BINARY_DIR) + "/tests/recovery/recognition-images-" + std::to_string(getpid());
}

// The file system blkid finds in an image: the oracle for the recognisers.
std::string BlkidType(const std::string& path) {
    std::string cmd = "blkid -p -o value -s TYPE " + path + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return "";
    char buf[64] = {};
    std::string out = fgets(buf, sizeof(buf), p) ? buf : "";
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

class RecognitionImageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const quillory_test::FixtureRun made =
            quillory_test::RunFixtureScript("make_recognition_images.sh", {ImageDir()});
        ASSERT_TRUE(made.Ok()) << made.Report();
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + ImageDir()).c_str()); }
    static std::unique_ptr<CDiskDevice> Open(const std::string& name) {
        std::unique_ptr<CDiskDevice> device(CreateDiskDevice((ImageDir() + "/" + name).c_str()));
        EXPECT_NE(device, nullptr);
        if (device) {
            EXPECT_EQ(device->Open(nullptr), 1);
        }
        return device;
    }
};

TEST_F(RecognitionImageTest, AllZeroImageIsUnknown) {
    auto device = Open("zero.img");
    std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(device.get(), 0));
    ASSERT_NE(controller, nullptr);
    IVolumeAnalyze* analyzer = controller->GetVolumeAnzlyzer();
    const uint32_t type = analyzer ? analyzer->GetFileSystemType() : FILE_SYSTEM_UNKNOWN;
    EXPECT_EQ(type, FILE_SYSTEM_UNKNOWN);
    EXPECT_EQ(BlkidType(ImageDir() + "/zero.img"), "");
}

TEST_F(RecognitionImageTest, ImagesMadeByTheToolsAgreeWithBlkid) {
    struct Case {
        const char* image;
        const char* blkid;
        uint32_t type;
        VolumeAnalyzeFactory own;  // the recogniser of that file system
    } cases[] = {
        {"fat16.img", "vfat", FILE_SYSTEM_FAT16, CreateFatVolumeAnalyze},
        {"fat32.img", "vfat", FILE_SYSTEM_FAT32, CreateFatVolumeAnalyze},
        {"exfat.img", "exfat", FILE_SYSTEM_EXFAT, CreateExfatVolumeAnalyze},
        {"ntfs.img", "ntfs", FILE_SYSTEM_NTFS, CreateNTFSVolumeAnalyze},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BlkidType(ImageDir() + "/" + c.image), c.blkid) << c.image;
        auto device = Open(c.image);
        // The file system's own recogniser must know its volume, and the
        // controller that tries them all must pick it.
        std::unique_ptr<IVolumeAnalyze> own(c.own(device.get(), 0));
        ASSERT_NE(own, nullptr) << c.image;
        EXPECT_EQ(own->GetFileSystemType(), c.type) << c.image;
        std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(device.get(), 0));
        IVolumeAnalyze* analyzer = controller->GetVolumeAnzlyzer();
        ASSERT_NE(analyzer, nullptr) << c.image;
        EXPECT_EQ(analyzer->GetFileSystemType(), c.type) << c.image;
        EXPECT_GT(analyzer->GetTotalSector(), 0) << c.image;
        EXPECT_LE(analyzer->GetTotalSector(), device->GetTotalSectors()) << c.image;
    }
}

}  // namespace
