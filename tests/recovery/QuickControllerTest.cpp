#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "FakeNode.h"
#include "foundation/SearchedPartitionInfo.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DeletedRecoveryController.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "storage/DeviceData.h"

namespace {

// A quick searcher that hands a scripted list of nodes to the builder,
// asking Continued before each one.
class FakeQuickSearcher : public IQuickFileSystemSearchController {
public:
    struct Script {
        std::vector<std::tuple<int64_t, int64_t, std::string, bool>> nodes;  // id, parent, name, folder
        EngineResult result = ENGINE_OK;
        bool sendFinished = true;
    };
    explicit FakeQuickSearcher(const Script& script, int* destroyed) : m_script(script), m_destroyed(destroyed) {}
    ~FakeQuickSearcher() override { ++*m_destroyed; }

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override {
        if (array != nullptr && capacity > 0) array[0] = new CSearchedPartitionInfo(512);
        return 1;
    }
    EngineResult QuickSearchFiles(IStorageDevice* device, IProgress* progress) override {
        searchedDevice = device;
        if (IsEngineFailure(m_script.result) && !m_script.sendFinished) return m_script.result;
        m_builder->AddSearcherInfo(SEARCHER_NTFS, 5);
        const int64_t total = static_cast<int64_t>(m_script.nodes.size());
        int64_t done = 0;
        for (auto& [id, parent, name, dir] : m_script.nodes) {
            if (!progress->Continued()) break;
            auto* n = new FakeNode(id, parent, name, dir);
            if (!m_builder->AddNode(n, SEARCHER_NTFS)) delete n;
            _PROGRESS_INFO info;
            MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, total, ++done);
            progress->UpdateProgress(&info);
        }
        m_builder->FlashBuild(SEARCHER_NTFS);
        if (m_script.sendFinished) {
            _PROGRESS_INFO info;
            MakeProgressInfo(&info, PROGRESS_STATE_FINISHED, total, done);
            progress->UpdateProgress(&info);
        }
        return m_script.result;
    }

    IStorageDevice* searchedDevice = nullptr;

private:
    Script m_script;
    int* m_destroyed;
    IDirecotryTreeBuilder* m_builder = nullptr;
};

class FakeWriter : public IDataRecovery {
public:
    EngineResult Initialize(IFileSystemSearchController* searcher, IStorageDevice*) override {
        fromSearcher = searcher;
        return searcher ? ENGINE_OK : 0x010D004500000005ull;
    }
    IFileReader* SetRecoverNode(IFileNode*) override { return nullptr; }
    EngineResult RecoverTo(const char*, IProgress*, int) override { return 0; }
    unsigned ReadSmallJPG(char*, unsigned) override { return 0; }
    void Release() override { delete this; }
    EngineResult Initialize(std::vector<CSearchedPartitionInfo*>& partitions, IStorageDevice*) override {
        for (CSearchedPartitionInfo* p : partitions) starts.push_back(p->GetStartSector());
        listForm = true;
        return 0;
    }
    IFileSystemSearchController* fromSearcher = nullptr;
    std::vector<int64_t> starts;
    bool listForm = false;
};

// A volume device whose record says `fsType`.
std::unique_ptr<MemDevice> Volume(uint32_t fsType, const char* name = "", int deviceType = STORAGE_DEVICE_VOLUME,
                                  bool withRecord = true) {
    auto device = std::make_unique<MemDevice>(64, 512, deviceType);
    if (withRecord) {
        auto* info = new CCollectedVolumeDeviceInfoStruct();
        std::memset(info, 0, sizeof(*info));
        info->fileSystemType = fsType;
        std::strncpy(info->volumeName, name, sizeof(info->volumeName) - 1);
        device->SetPrivateData(CreateVolumeDeviceData(info));
    }
    return device;
}

class QuickControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        GetTreeBuilderTiming() = {[] { return int64_t{1000}; }, [](unsigned) {}};
        filter.SetFilterTypes(FILTER_ALL);
        filter.SetScanType(SCAN_TYPE_QUICK);
        ScanControllerFactories& f = GetScanControllerFactories();
        f.flush = [](IStorageDevice*) {};
        auto make = [this](const char* which) {
            return [this, which]() -> IQuickFileSystemSearchController* {
                made.push_back(which);
                auto* s = new FakeQuickSearcher(script, &destroyed);
                last = s;
                return s;
            };
        };
        f.fatQuick = make("fat");
        f.ntfsQuick = make("ntfs");
        f.exfatQuick = make("exfat");
        f.hfsplusQuick = make("hfsplus");
        f.apfsQuick = [] { return nullptr; };
        f.dataRecovery = [] { return new FakeWriter(); };
        script.nodes = {{20, 10, "b.txt", false}, {10, 5, "dir", true}, {30, 99, "lost.txt", false}};
    }
    void TearDown() override {
        ResetScanControllerFactories();
        ResetTreeBuilderTiming();
    }

    IRecoveryController* Make() {
        IRecoveryController* c = CreateRecoveryController(RECOVERY_CONTROLLER_QUICK);
        EXPECT_EQ(c->Initialize(&filter), 1);
        return c;
    }
    int Finished() const {
        int n = 0;
        for (const auto& r : progress.records) n += r.state == PROGRESS_STATE_FINISHED;
        return n;
    }

    CRecoveryFilter filter;
    RecordingTree sink;
    FakeProgress progress;
    FakeQuickSearcher::Script script;
    std::vector<std::string> made;
    FakeQuickSearcher* last = nullptr;
    int destroyed = 0;
};

TEST(RecoveryControllerFactoryTest, TypesAndNulls) {
    for (int t = 0; t <= 5; ++t) {
        IRecoveryController* c = CreateRecoveryController(static_cast<_RECOVERY_CONTROLLER_TYPE>(t));
        if (t == 0) {
            ASSERT_NE(c, nullptr);
            EXPECT_EQ(c->thisType(), RECOVERY_CONTROLLER_QUICK);
            EXPECT_EQ(c->m_pRestoreScanSink, nullptr);
            c->Release();
        } else if (t >= 3) {
            EXPECT_EQ(c, nullptr) << t;
        } else if (c != nullptr) {
            EXPECT_EQ(static_cast<int>(c->thisType()), t);
            c->Release();
        }
    }
}

TEST_F(QuickControllerTest, QuickScanRunsFromFirstRecordToFinishedWithLinkedTrees) {
    auto device = Volume(FILE_SYSTEM_NTFS);
    // Only the scanned device's buffers are flushed, not the machine's.
    std::vector<IStorageDevice*> flushed;
    GetScanControllerFactories().flush = [&flushed](IStorageDevice* d) { flushed.push_back(d); };
    IRecoveryController* c = Make();
    EXPECT_EQ(c->StartDataRecovery(device.get(), &progress, &sink), ENGINE_OK);
    EXPECT_EQ(flushed, std::vector<IStorageDevice*>{device.get()});
    ASSERT_GE(progress.records.size(), 2u);
    EXPECT_EQ(progress.records.front().state, PROGRESS_STATE_RUNNING);
    EXPECT_EQ(progress.records.front().total, 1);
    EXPECT_EQ(progress.records.front().current, 0);
    const unsigned char zero[4096] = {};
    EXPECT_EQ(std::memcmp(progress.records.front().extra, zero, sizeof(zero)), 0);
    EXPECT_EQ(progress.records.back().state, PROGRESS_STATE_FINISHED);
    EXPECT_EQ(Finished(), 1);  // the searcher's own, not a second one
    EXPECT_EQ(made, std::vector<std::string>{"ntfs"});
    EXPECT_EQ(last->searchedDevice, device.get());
    ASSERT_EQ(sink.roots.size(), 1u);
    EXPECT_STREQ(sink.roots[0]->GetFileName(), "Disk(NTFS)");  // empty volume name
    EXPECT_EQ(RecordingTree::PathOf(sink.Find("b.txt")), "/Disk(NTFS)/dir/b.txt");
    EXPECT_EQ(RecordingTree::PathOf(sink.Find("lost.txt")), "/Disk(NTFS)/Other lost files/lost.txt");
    c->Release();
    EXPECT_EQ(destroyed, 1);
}

TEST_F(QuickControllerTest, SearcherByFileSystemTypeAndUnsupportedOnes) {
    struct Case {
        uint32_t fsType;
        const char* searcher;  // null: unsupported
    } cases[] = {
        {FILE_SYSTEM_FAT12, "fat"},
        {FILE_SYSTEM_FAT16, "fat"},
        {FILE_SYSTEM_FAT32, "fat"},
        {FILE_SYSTEM_NTFS, "ntfs"},
        {FILE_SYSTEM_EXFAT, "exfat"},
        {FILE_SYSTEM_HFSPLUS, "hfsplus"},
        {4, nullptr},
        {5, nullptr},
        {6, nullptr},
        {FILE_SYSTEM_APFS, nullptr},
        {FILE_SYSTEM_UNKNOWN, nullptr},
        {12345, nullptr},
    };
    for (const Case& k : cases) {
        made.clear();
        progress.records.clear();
        auto device = Volume(k.fsType, "Data");
        IRecoveryController* c = Make();
        const EngineResult r = c->StartDataRecovery(device.get(), &progress, &sink);
        if (k.searcher != nullptr) {
            EXPECT_EQ(r, ENGINE_OK) << k.fsType;
            EXPECT_EQ(made, std::vector<std::string>{k.searcher});
        } else {
            EXPECT_EQ(r, kQuickScanUnsupported) << k.fsType;
            ASSERT_EQ(progress.records.size(), 2u);
            EXPECT_EQ(progress.records[1].state, PROGRESS_STATE_FINISHED);
            EXPECT_EQ(progress.records[1].total, 1);
            EXPECT_EQ(progress.records[1].current, 1);
        }
        c->Release();
    }
}

TEST_F(QuickControllerTest, EarlyFailures) {
    IRecoveryController* c = Make();
    auto volume = Volume(FILE_SYSTEM_NTFS);
    EXPECT_EQ(c->StartDataRecovery(nullptr, &progress, &sink), kQuickScanNullArgument);
    EXPECT_EQ(c->StartDataRecovery(volume.get(), nullptr, &sink), kQuickScanNullArgument);
    EXPECT_EQ(c->StartDataRecovery(volume.get(), &progress, nullptr), kQuickScanNullArgument);
    EXPECT_TRUE(progress.records.empty());

    int builders = 0;
    GetScanControllerFactories().treeBuilder = [&builders](bool replay) {
        ++builders;
        return CreateTreeBuilder(replay);
    };
    auto disk = Volume(FILE_SYSTEM_NTFS, "", STORAGE_DEVICE_DISK);
    EXPECT_EQ(c->StartDataRecovery(disk.get(), &progress, &sink), kQuickScanWholeDisk);
    EXPECT_EQ(builders, 0);
    ASSERT_EQ(progress.records.size(), 1u);
    EXPECT_EQ(progress.records[0].state, PROGRESS_STATE_RUNNING);

    // A partition with no volume record: unsupported, finished.
    progress.records.clear();
    auto partition = Volume(FILE_SYSTEM_NTFS, "", STORAGE_DEVICE_PARTITION, false);
    EXPECT_EQ(c->StartDataRecovery(partition.get(), &progress, &sink), kQuickScanUnsupported);
    EXPECT_EQ(Finished(), 1);

    GetScanControllerFactories().treeBuilder = [](bool) { return nullptr; };
    EXPECT_EQ(c->StartDataRecovery(volume.get(), &progress, &sink), kQuickScanNoBuilder);
    c->Release();

    IRecoveryController* unfiltered = CreateRecoveryController(RECOVERY_CONTROLLER_QUICK);
    EXPECT_EQ(unfiltered->Initialize(nullptr), 0);
    ResetScanControllerFactories();
    GetScanControllerFactories().flush = [](IStorageDevice*) {};
    EXPECT_EQ(unfiltered->StartDataRecovery(volume.get(), &progress, &sink), kQuickScanBuilderRefused);
    unfiltered->Release();
}

TEST_F(QuickControllerTest, FailingSearchStillEndsWithOneFinishedRecord) {
    for (bool searcherSendsFinished : {false, true}) {
        progress.records.clear();
        script.result = 0x0112007500000010ull;  // a bad boot sector
        script.sendFinished = searcherSendsFinished;
        auto device = Volume(FILE_SYSTEM_NTFS);
        IRecoveryController* c = Make();
        EXPECT_EQ(c->StartDataRecovery(device.get(), &progress, &sink), 0x0112007500000010ull);
        EXPECT_EQ(Finished(), 1);
        EXPECT_EQ(progress.records.back().state, PROGRESS_STATE_FINISHED);
        c->Release();
    }
}

TEST_F(QuickControllerTest, CaptionComesFromTheVolumeOrQvxRecord) {
    auto named = Volume(FILE_SYSTEM_NTFS, "Backup");
    EXPECT_EQ(GetDeviceDescription(named.get()), "Backup");
    IRecoveryController* c = Make();
    c->StartDataRecovery(named.get(), &progress, &sink);
    EXPECT_STREQ(sink.roots.at(0)->GetFileName(), "Backup(NTFS)");
    c->Release();

    MemDevice qvx(8, 512, STORAGE_DEVICE_QVX);
    auto* info = new CQVXDeviceInfoStruct();
    std::memset(info, 0, sizeof(*info));
    std::memset(info->name, 'q', sizeof(info->name));  // not terminated: read no further than the field
    qvx.SetPrivateData(CreateQVXDeviceData(info));
    EXPECT_EQ(GetDeviceDescription(&qvx), std::string(128, 'q'));
    EXPECT_EQ(GetDeviceDescription(nullptr), "");
    MemDevice bare(8);
    EXPECT_EQ(GetDeviceDescription(&bare), "");
}

TEST_F(QuickControllerTest, PauseWaitsAndStopEndsTheScan) {
    auto device = Volume(FILE_SYSTEM_NTFS);
    IRecoveryController* c = Make();
    progress.Pause();
    std::atomic<bool> done{false};
    EngineResult result = 1;
    std::thread worker([&] {
        result = c->StartDataRecovery(device.get(), &progress, &sink);
        done = true;
    });
    for (int i = 0; i < 500 && progress.ContinuedCalls() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());  // held at the first checkpoint
    EXPECT_TRUE(sink.all.empty());
    progress.Resume();
    worker.join();
    EXPECT_EQ(result, ENGINE_OK);
    EXPECT_EQ(sink.all.size(), 3u + 1u);  // three nodes and the lost-files folder
    c->Release();

    // Stop after the first node: what was found is still built and shown.
    FakeProgress stopping;
    stopping.stopAfter = 1;
    RecordingTree sink2;
    script.nodes = {{10, 5, "dir", true}, {20, 10, "b.txt", false}, {30, 5, "c.txt", false}};
    script.nodes.insert(script.nodes.begin(), {40, 5, "first.txt", false});
    IRecoveryController* c2 = Make();
    EXPECT_EQ(c2->StartDataRecovery(device.get(), &stopping, &sink2), ENGINE_OK);
    EXPECT_EQ(sink2.all.size(), 1u);
    EXPECT_STREQ(sink2.all[0]->GetFileName(), "first.txt");
    EXPECT_EQ(stopping.records.back().state, PROGRESS_STATE_FINISHED);
    c2->Release();
}

TEST_F(QuickControllerTest, WritersServeTheLastRunsSearcher) {
    auto device = Volume(FILE_SYSTEM_FAT32);
    auto* c = static_cast<CDeletedRecoveryController*>(Make());
    EXPECT_EQ(c->GetDataRecovery(SEARCHER_FAT), nullptr);  // nothing scanned yet
    c->StartDataRecovery(device.get(), &progress, &sink);
    FakeQuickSearcher* first = last;
    c->StartDataRecovery(device.get(), &progress, &sink);  // a second volume on the same controller
    auto* writer = static_cast<FakeWriter*>(c->GetDataRecovery(SEARCHER_NTFS));
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(writer->fromSearcher, last);
    EXPECT_NE(first, last);
    writer->Release();
    EXPECT_EQ(destroyed, 0);  // earlier runs' searchers live on with their nodes
    c->Release();
    EXPECT_EQ(destroyed, 2);
}

// The replay hook of a restored scan, destroyed right after the scan as the
// front end's is.
class FakeRestoreSink : public IRestoreScanSink {
public:
    ~FakeRestoreSink() override {
        for (auto& [type, list] : partitions)
            for (CSearchedPartitionInfo* p : list) delete p;
    }
    int SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress*, IStorageDevice*) override {
        builder->AddSearcherInfo(SEARCHER_NTFS, 5);
        auto* n = new FakeNode(20, 5, "restored.txt", false);
        if (!builder->AddNode(n, SEARCHER_NTFS)) delete n;
        builder->FlashBuild(SEARCHER_NTFS);
        return 0;
    }
    std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int type) override { return partitions[type]; }
    std::map<int, std::vector<CSearchedPartitionInfo*>> partitions;
};

TEST_F(QuickControllerTest, ReplayFeedsTheBuilderAndOutlivesItsHook) {
    auto device = Volume(FILE_SYSTEM_NTFS);
    IRecoveryController* c = Make();
    {
        FakeRestoreSink hook;
        auto* record = new CSearchedPartitionInfo(512);
        record->SetStartSector(2048);
        hook.partitions[SEARCHER_NTFS].push_back(record);
        c->m_pRestoreScanSink = &hook;
        EXPECT_EQ(c->StartDataRecovery(device.get(), &progress, &sink), ENGINE_OK);
        EXPECT_EQ(last->searchedDevice, nullptr);  // the device was not searched
        EXPECT_EQ(Finished(), 1);
    }  // the hook is gone; the controller must not need it any more
    ASSERT_NE(sink.Find("restored.txt"), nullptr);
    auto* writer = static_cast<FakeWriter*>(c->GetDataRecovery(SEARCHER_NTFS));
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(writer->listForm);
    EXPECT_EQ(writer->starts, std::vector<int64_t>{2048});
    writer->Release();
    auto* other = static_cast<FakeWriter*>(c->GetDataRecovery(SEARCHER_FAT));
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(other->starts.empty());
    other->Release();
    c->Release();
}

}  // namespace
