#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeNode.h"
#include "foundation/Bitmap.h"
#include "recovery/CompleteRecoveryController.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "storage/DeviceData.h"
#include "storage/MemoryDevice.h"

namespace {

struct SpyLog {
    std::vector<std::string> events;  // "<type>:<call>"
    void Add(int type, const std::string& what) { events.push_back(std::to_string(type) + ":" + what); }
    size_t Count(const std::string& e) const {
        size_t n = 0;
        for (const auto& x : events) n += x == e;
        return n;
    }
};

// A deep searcher that records its calls and reads every block it is given
// through the device it was handed, checking each sector's pattern.
class SpySearcher : public ICompleteFileSystemSearchController {
public:
    SpySearcher(int type, SpyLog* log) : m_type(type), m_log(log) {}
    ~SpySearcher() override { m_log->Add(m_type, "destroyed"); }
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override {
        m_builder = builder;
        m_log->Add(m_type, "builder");
    }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override {
        if (array && capacity > 0) array[0] = new CSearchedPartitionInfo(512);
        return 1;
    }
    void SetDevice(IStorageDevice* device) override {
        m_device = device;
        m_log->Add(m_type, "device" + std::to_string(device->GetType()));
    }
    void SetBlockSize(int sectors) override { m_log->Add(m_type, "block" + std::to_string(sectors)); }
    void PreparetoSearch() override { m_log->Add(m_type, "prepare"); }
    void EndSearch(int build) override {
        m_log->Add(m_type, "end" + std::to_string(build));
        if (m_builder && build) {
            m_builder->AddSearcherInfo(static_cast<_tagSearcherType>(m_type), 5);
            m_builder->FlashBuild(static_cast<_tagSearcherType>(m_type));
        }
    }
    void AnalyzeBlock(int64_t first, int64_t count) override {
        blocks.push_back({first, count});
        if (!checkData) return;
        const uint32_t ss = m_device->GetSectorSize() ? m_device->GetSectorSize() : 512;
        std::vector<uint8_t> buf(static_cast<size_t>(count) * ss);
        if (!m_device->ReadSector(buf.data(), first, count)) {
            badReads++;
            return;
        }
        for (int64_t i = 0; i < count; ++i) {
            uint64_t v;
            std::memcpy(&v, buf.data() + i * ss, 8);
            if (v != static_cast<uint64_t>(first + i)) badData++;
        }
    }
    void SetIProgressSink(IProgress*) override { m_log->Add(m_type, "progress"); }
    void SetBitmap(TBitmap* bitmap) override {
        if (bitmap) m_log->Add(m_type, "bitmap");
    }
    void SetFileSectorMap(std::map<int64_t, uint32_t>* map) override {
        if (map) m_log->Add(m_type, "map");
    }
    void SetActivePartition(bool active) override { m_log->Add(m_type, active ? "active" : "inactive"); }

    std::vector<std::pair<int64_t, int64_t>> blocks;
    bool checkData = true;
    int badReads = 0, badData = 0;

private:
    int m_type;
    SpyLog* m_log;
    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_device = nullptr;
};

class DeepControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        GetTreeBuilderTiming() = {[] { return int64_t{1000}; }, [](unsigned) {}};
        filter.SetFilterTypes(FILTER_ALL);
        filter.SetScanType(SCAN_TYPE_DEEP);
        ScanControllerFactories& f = GetScanControllerFactories();
        f.flush = [](IStorageDevice*) {};
        auto make = [this](int type) {
            return [this, type]() -> ICompleteFileSystemSearchController* {
                if (absent == type) return nullptr;
                auto* s = new SpySearcher(type, &log);
                spies.push_back(s);
                return s;
            };
        };
        f.hfsplusDeep = make(31);
        f.exfatDeep = make(33);
        f.fatDeep = make(32);
        f.rawDeep = make(34);
        f.ntfsDeep = make(35);
        f.apfsDeep = make(37);
    }
    void TearDown() override {
        ResetScanControllerFactories();
        ResetTreeBuilderTiming();
    }
    IRecoveryController* Make(_RECOVERY_CONTROLLER_TYPE type = RECOVERY_CONTROLLER_DEEP_VOLUME) {
        IRecoveryController* c = CreateRecoveryController(type);
        EXPECT_EQ(c->Initialize(&filter), 1);
        return c;
    }
    std::vector<int> Order() const {
        std::vector<int> types;
        for (const auto& e : log.events)
            if (e.size() > 8 && e.substr(3) == "builder") types.push_back(std::stoi(e.substr(0, 2)));
        return types;
    }

    CRecoveryFilter filter;
    RecordingTree sink;
    FakeProgress progress;
    SpyLog log;
    std::vector<SpySearcher*> spies;
    int absent = 0;
};

TEST(DeepScanBlockTest, FourMebibytesOfSectors) {
    EXPECT_EQ(DeepScanBlockSectors(512), 8192);
    EXPECT_EQ(DeepScanBlockSectors(4096), 1024);
    EXPECT_EQ(DeepScanBlockSectors(0), 8192);
    EXPECT_EQ(DeepScanBlockSectors(0x800000), 8192);  // a quotient of 0
}

TEST_F(DeepControllerTest, EverySectorOnceToEverySearcherInOrder) {
    struct Case {
        uint32_t sectorSize;
        int64_t sectors;
        std::vector<std::pair<int64_t, int64_t>> blocks;
    } cases[] = {
        {512, 8193, {{0, 8192}, {8192, 1}}},
        {512, 8192, {{0, 8192}}},
        {4096, 2049, {{0, 1024}, {1024, 1024}, {2048, 1}}},
        {512, 100, {{0, 100}}},
    };
    for (const Case& c : cases) {
        log = SpyLog();
        spies.clear();
        progress.records.clear();
        CMemoryStorageDevice device(c.sectorSize, c.sectors, STORAGE_DEVICE_PARTITION);
        device.FillPattern();
        IRecoveryController* controller = Make();
        EXPECT_EQ(controller->StartDataRecovery(&device, &progress, &sink), ENGINE_OK);
        EXPECT_EQ(Order(), (std::vector<int>{31, 33, 32, 34, 35, 37}));
        ASSERT_EQ(spies.size(), 6u);
        for (SpySearcher* s : spies) {
            EXPECT_EQ(s->blocks, c.blocks) << c.sectors;
            EXPECT_EQ(s->badReads, 0);
            EXPECT_EQ(s->badData, 0);
        }
        const std::string block = std::to_string(DeepScanBlockSectors(c.sectorSize));
        for (int t : {31, 33, 32, 34, 35, 37}) {
            const std::string p = std::to_string(t) + ":";
            EXPECT_EQ(log.Count(p + "device3"), 1u);  // the cache
            EXPECT_EQ(log.Count(p + "block" + block), 1u);
            EXPECT_EQ(log.Count(p + "bitmap"), 1u);
            EXPECT_EQ(log.Count(p + "prepare"), 1u);
            EXPECT_EQ(log.Count(p + "end1"), 1u);
        }
        EXPECT_EQ(log.Count("32:map"), 1u);
        EXPECT_EQ(log.Count("34:map"), 1u);
        EXPECT_EQ(log.Count("34:progress"), 1u);
        EXPECT_EQ(log.Count("31:progress"), 1u);
        EXPECT_EQ(log.Count("31:active"), 0u);  // not an HFS+ volume
        // Progress: the first record, the walk's records at 0.8 of the blocks, the finished one.
        ASSERT_GE(progress.records.size(), 3u);
        EXPECT_EQ(progress.records[0].state, PROGRESS_STATE_RUNNING);
        EXPECT_EQ(progress.records[0].total, 1);
        const int64_t blocks = static_cast<int64_t>(c.blocks.size());
        EXPECT_EQ(progress.records[1].total, blocks);
        EXPECT_EQ(progress.records[1].current, 0);
        EXPECT_EQ(progress.records[progress.records.size() - 2].current,
                  static_cast<int64_t>(static_cast<double>(blocks) * 0.8));
        EXPECT_EQ(progress.records.back().state, PROGRESS_STATE_FINISHED);
        EXPECT_EQ(progress.records.back().total, 1);
        EXPECT_EQ(progress.records.back().current, 1);
        EXPECT_EQ(controller->thisType(), RECOVERY_CONTROLLER_DEEP_VOLUME);
        controller->Release();
        EXPECT_EQ(log.Count("35:destroyed"), 1u);
    }
}

TEST_F(DeepControllerTest, StopStillEndsEverySearcherTheRawSearchToo) {
    CMemoryStorageDevice device(512, 8192 * 5);
    progress.stopAfter = 2;  // blocks 0 and 1 are walked
    progress.build = 1;
    IRecoveryController* controller = Make(RECOVERY_CONTROLLER_DEEP_DISK);
    EXPECT_EQ(controller->thisType(), RECOVERY_CONTROLLER_DEEP_DISK);
    EXPECT_EQ(controller->StartDataRecovery(&device, &progress, &sink), ENGINE_OK);
    for (SpySearcher* s : spies) EXPECT_EQ(s->blocks.size(), 2u);
    for (int t : {31, 33, 32, 34, 35, 37}) EXPECT_EQ(log.Count(std::to_string(t) + ":end1"), 1u) << t;
    EXPECT_EQ(progress.records.back().state, PROGRESS_STATE_FINISHED);
    EXPECT_EQ(progress.records.back().current, 1);
    // What the searchers built after the stop reached the sink.
    EXPECT_EQ(sink.roots.size(), 6u);  // one tree per searcher, the raw search included
    controller->Release();
}

TEST_F(DeepControllerTest, PauseBlocksBeforeTheNextBlock) {
    CMemoryStorageDevice device(512, 8192 * 3);
    IRecoveryController* controller = Make();
    progress.Pause();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        controller->StartDataRecovery(&device, &progress, &sink);
        done = true;
    });
    for (int i = 0; i < 1000 && progress.ContinuedCalls() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());
    ASSERT_FALSE(spies.empty());
    EXPECT_TRUE(spies[0]->blocks.empty());
    progress.Resume();
    worker.join();
    EXPECT_EQ(spies[0]->blocks.size(), 3u);
    controller->Release();
}

TEST_F(DeepControllerTest, HfsVolumeMakesTheHfsSearcherActive) {
    CMemoryStorageDevice device(512, 64, STORAGE_DEVICE_VOLUME);
    auto* info = new CCollectedVolumeDeviceInfoStruct();
    std::memset(info, 0, sizeof(*info));
    info->fileSystemType = FILE_SYSTEM_HFSPLUS;
    device.SetPrivateData(CreateVolumeDeviceData(info));
    IRecoveryController* controller = Make();
    controller->StartDataRecovery(&device, &progress, &sink);
    EXPECT_EQ(log.Count("31:active"), 1u);
    controller->Release();
}

TEST_F(DeepControllerTest, FailuresAndMissingSearchers) {
    CMemoryStorageDevice device(512, 64);
    IRecoveryController* controller = Make();
    EXPECT_EQ(controller->StartDataRecovery(nullptr, &progress, &sink), kDeepScanNullArgument);
    EXPECT_EQ(controller->StartDataRecovery(&device, nullptr, &sink), kDeepScanNullArgument);
    EXPECT_TRUE(progress.records.empty());
    absent = 34;  // a factory that makes nothing is skipped
    EXPECT_EQ(controller->StartDataRecovery(&device, &progress, &sink), ENGINE_OK);
    EXPECT_EQ(log.Count("34:builder"), 0u);
    auto& f = GetScanControllerFactories();
    for (auto* fn : {&f.hfsplusDeep, &f.exfatDeep, &f.fatDeep, &f.rawDeep, &f.ntfsDeep, &f.apfsDeep})
        *fn = [] { return nullptr; };
    EXPECT_EQ(controller->StartDataRecovery(&device, &progress, &sink), kDeepScanNoSearcher);
    f.treeBuilder = [](bool) { return nullptr; };
    EXPECT_EQ(controller->StartDataRecovery(&device, &progress, &sink), kDeepScanNoBuilder);
    controller->Release();

    IRecoveryController* unfiltered = CreateRecoveryController(RECOVERY_CONTROLLER_DEEP_VOLUME);
    EXPECT_EQ(unfiltered->Initialize(nullptr), 0);
    ResetScanControllerFactories();
    GetScanControllerFactories().flush = [](IStorageDevice*) {};
    EXPECT_EQ(unfiltered->StartDataRecovery(&device, &progress, &sink), kDeepScanBuilderRefused);
    unfiltered->Release();
}

TEST_F(DeepControllerTest, SearchDataArguments) {
    auto* controller = static_cast<CCompleteRecoveryController*>(Make());
    EXPECT_EQ(controller->SearchData(0, 10, &progress), kSearchDataNoSinkOrCache);  // no run yet
    CMemoryStorageDevice device(512, 64);
    controller->StartDataRecovery(&device, &progress, &sink);
    EXPECT_EQ(controller->SearchData(0, 10, nullptr), kSearchDataNoSinkOrCache);
    EXPECT_EQ(controller->SearchData(10, 9, &progress), kSearchDataBadRange);
    controller->Release();
}

TEST_F(DeepControllerTest, SecondRunKeepsTheFirstRunsSearchersValid) {
    CMemoryStorageDevice device(512, 9000);
    device.FillPattern();
    IRecoveryController* controller = Make();
    EXPECT_EQ(controller->StartDataRecovery(&device, &progress, &sink), ENGINE_OK);
    EXPECT_EQ(controller->StartDataRecovery(&device, &progress, &sink), ENGINE_OK);
    EXPECT_EQ(spies.size(), 12u);
    for (SpySearcher* s : spies) {
        EXPECT_EQ(s->blocks.size(), 2u);
        EXPECT_EQ(s->badData, 0);
    }
    for (int t : {31, 33, 32, 34, 35, 37}) EXPECT_EQ(log.Count(std::to_string(t) + ":end1"), 2u);
    controller->Release();
    EXPECT_EQ(log.Count("35:destroyed"), 2u);
}

class FakeWriter : public IDataRecovery {
public:
    EngineResult Initialize(IFileSystemSearchController* s, IStorageDevice*) override {
        searcher = s;
        return 0;
    }
    IFileReader* SetRecoverNode(IFileNode*) override { return nullptr; }
    EngineResult RecoverTo(const char*, IProgress*, int) override { return 0; }
    unsigned ReadSmallJPG(char*, unsigned) override { return 0; }
    void Release() override { delete this; }
    EngineResult Initialize(std::vector<CSearchedPartitionInfo*>& p, IStorageDevice*) override {
        count = p.size();
        return 0;
    }
    IFileSystemSearchController* searcher = nullptr;
    size_t count = 99;
};

class ReplayHook : public IRestoreScanSink {
public:
    int SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress*, IStorageDevice*) override {
        builder->AddSearcherInfo(SEARCHER_NTFS, 5);
        auto* n = new FakeNode(20, 5, "restored.txt", false);
        if (!builder->AddNode(n, SEARCHER_NTFS)) delete n;
        builder->FlashBuild(SEARCHER_NTFS);
        return 0;
    }
    std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int type) override { return parts[type]; }
    ~ReplayHook() override {
        for (auto& [t, v] : parts)
            for (auto* p : v) delete p;
    }
    std::map<int, std::vector<CSearchedPartitionInfo*>> parts;
};

TEST_F(DeepControllerTest, ReplayEndsUnpreparedSearchersWithoutReadingTheDevice) {
    GetScanControllerFactories().dataRecovery = [] { return new FakeWriter(); };
    CMemoryStorageDevice device(512, 8192 * 4);
    IRecoveryController* controller = Make();
    {
        ReplayHook hook;
        hook.parts[SEARCHER_NTFS].push_back(new CSearchedPartitionInfo(512));
        hook.parts[SEARCHER_NTFS].push_back(new CSearchedPartitionInfo(512));
        controller->m_pRestoreScanSink = &hook;
        EXPECT_EQ(controller->StartDataRecovery(&device, &progress, &sink), ENGINE_OK);
    }
    EXPECT_EQ(device.ReadCalls(), 0);
    EXPECT_EQ(log.Count("35:prepare"), 0u);
    EXPECT_EQ(log.Count("35:end1"), 1u);
    for (SpySearcher* s : spies) EXPECT_TRUE(s->blocks.empty());
    EXPECT_NE(sink.Find("restored.txt"), nullptr);
    EXPECT_EQ(progress.records.back().state, PROGRESS_STATE_FINISHED);
    auto* writer = static_cast<FakeWriter*>(controller->GetDataRecovery(SEARCHER_NTFS));
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(writer->count, 2u);
    writer->Release();
    controller->Release();
}

TEST_F(DeepControllerTest, WritersOnlyForSearchersOfTheScan) {
    GetScanControllerFactories().dataRecovery = [] { return new FakeWriter(); };
    absent = 37;
    CMemoryStorageDevice device(512, 64);
    IRecoveryController* controller = Make();
    controller->StartDataRecovery(&device, &progress, &sink);
    EXPECT_EQ(controller->GetDataRecovery(SEARCHER_APFS), nullptr);
    auto* writer = static_cast<FakeWriter*>(controller->GetDataRecovery(SEARCHER_FAT));
    ASSERT_NE(writer, nullptr);
    EXPECT_NE(writer->searcher, nullptr);
    writer->Release();
    controller->Release();
}

}  // namespace
