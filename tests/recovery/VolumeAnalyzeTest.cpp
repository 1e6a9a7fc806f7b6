#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "foundation/VolumeAnalyze.h"

namespace {

class FakeAnalyze : public IVolumeAnalyze {
public:
    FakeAnalyze(uint32_t type, int64_t total, const char* label, int* destroyed)
        : m_type(type), m_total(total), m_label(label), m_destroyed(destroyed) {}
    ~FakeAnalyze() override { ++*m_destroyed; }
    uint32_t GetFileSystemType() override { return m_type; }
    int64_t GetTotalSector() override { return m_total; }
    void GetLabel(char* buffer, int size) override {
        if (buffer != nullptr && size > 0) {
            std::strncpy(buffer, m_label, size - 1);
            buffer[size - 1] = 0;
        }
    }

private:
    uint32_t m_type;
    int64_t m_total;
    const char* m_label;
    int* m_destroyed;
};

class VolumeAnalyzeTest : public ::testing::Test {
protected:
    void TearDown() override { ResetVolumeAnalyzeFactories(); }

    // A factory that answers `type` (or null when type is -1) and records its call.
    VolumeAnalyzeFactory Answer(int type, const char* tag) {
        return [this, type, tag](IStorageDevice*, uint64_t start) -> IVolumeAnalyze* {
            calls.push_back(tag);
            starts.push_back(start);
            if (type < 0) return nullptr;
            return new FakeAnalyze(static_cast<uint32_t>(type), 1000, tag, &destroyed);
        };
    }

    std::vector<std::string> calls;
    std::vector<uint64_t> starts;
    int destroyed = 0;
};

TEST_F(VolumeAnalyzeTest, FirstKnownTypeInOrderWinsAndEveryFactoryIsAsked) {
    struct Case {
        int fat, exfat, ntfs, hfs, apfs;
        int expected;  // -1: no analyser
    } cases[] = {
        {-1, -1, -1, -1, -1, -1}, {10, 10, 10, 10, 10, -1},  // recognisers that know nothing
        {1, -1, 3, -1, -1, 1},                               // FAT before NTFS
        {-1, -1, 3, 8, -1, 3},    {10, 7, 3, -1, 9, 7},     {-1, -1, -1, -1, 9, 9},
    };
    for (const Case& c : cases) {
        calls.clear();
        destroyed = 0;
        GetVolumeAnalyzeFactories() = {Answer(c.fat, "fat"), Answer(c.exfat, "exfat"), Answer(c.ntfs, "ntfs"),
                                       Answer(c.hfs, "hfs"), Answer(c.apfs, "apfs")};
        std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(nullptr, 63));
        ASSERT_NE(controller, nullptr);
        EXPECT_EQ(calls, (std::vector<std::string>{"fat", "exfat", "ntfs", "hfs", "apfs"}));
        IVolumeAnalyze* analyzer = controller->GetVolumeAnzlyzer();
        if (c.expected < 0) {
            EXPECT_EQ(analyzer, nullptr);
        } else {
            ASSERT_NE(analyzer, nullptr);
            EXPECT_EQ(analyzer->GetFileSystemType(), static_cast<uint32_t>(c.expected));
        }
        int made = 0;
        for (int t : {c.fat, c.exfat, c.ntfs, c.hfs, c.apfs}) made += t >= 0;
        controller.reset();
        EXPECT_EQ(destroyed, made);  // the controller owns and frees every recogniser
    }
    for (uint64_t s : starts) EXPECT_EQ(s, 63u);
}

TEST_F(VolumeAnalyzeTest, LabelComesFromTheChosenRecogniser) {
    GetVolumeAnalyzeFactories() = {Answer(2, "MYDISK"), Answer(-1, "x"), Answer(3, "ntfs"), Answer(-1, "y"),
                                   Answer(-1, "z")};
    std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(nullptr, 0));
    char label[100] = {};
    controller->GetVolumeAnzlyzer()->GetLabel(label, sizeof(label));
    EXPECT_STREQ(label, "MYDISK");
}

}  // namespace
