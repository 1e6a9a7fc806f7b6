// The file writer: byte-identical copies of found files, holes and zeros
// where reads fail, write failures that are retried or reported, times, and
// the embedded-preview finder.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "WriterTestSupport.h"
#include "recovery/DataRecovery.h"
#include "recovery/FileReader.h"
#include "storage/MemoryDevice.h"
#include "storage/PartitionDevice.h"

using namespace writertest;

namespace {

struct TempDir {
    TempDir() {
        char t[] = "/tmp/writertest-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

std::vector<std::uint8_t> ReadAll(const std::string& path) { return fattest::ReadFile(path); }

std::int64_t MTime(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : -1;
}

// A partition-reporting searcher with `n` records of rising score.
class FakeSearcher : public IFileSystemSearchController {
public:
    explicit FakeSearcher(int n) : m_n(n) {}
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder*) override {}
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override {
        ++calls;
        if (array == nullptr || capacity < m_n) return m_n;
        for (int i = 0; i < m_n; ++i) {
            auto p = Partition(0, 1);
            p->SetScore(i);
            p->SetPartitionIndex(static_cast<std::uint16_t>(i));
            array[i] = p.release();
        }
        return m_n;
    }
    int calls = 0;

private:
    int m_n;
};

// A writer over one record on an in-memory device.
struct MemoryWriter {
    MemoryWriter(std::int64_t sectors, std::int64_t fileSize) : dev(512, sectors) {
        auto& b = dev.Bytes();
        std::uint64_t x = 12345;
        for (std::size_t i = 0; i + 8 <= b.size(); i += 8) {
            x = x * 6364136223846793005ull + 1442695040888963407ull;
            std::memcpy(b.data() + i, &x, 8);
        }
        std::vector<CSearchedPartitionInfo*> parts{Partition(0, 8, 512, 0, sectors).release()};
        writer.reset(static_cast<CDataRecovery*>(CreateDataRecoveryObj()));
        EXPECT_EQ(writer->Initialize(parts, &dev), ENGINE_OK);
        delete parts[0];
        node = std::make_unique<FakeNode>(7, 0, "file", false, true, fileSize);
    }
    // The file's expected bytes for one run from cluster 0.
    std::vector<std::uint8_t> Expected(std::int64_t size) {
        return std::vector<std::uint8_t>(dev.Bytes().begin(), dev.Bytes().begin() + size);
    }
    void Bind() {
        IFileReader* r = writer->SetRecoverNode(node.get());
        ASSERT_NE(r, nullptr);
        r->Release();
    }
    CMemoryStorageDevice dev;
    std::unique_ptr<CDataRecovery, void (*)(CDataRecovery*)> writer{nullptr, [](CDataRecovery* w) { w->Release(); }};
    std::unique_ptr<FakeNode> node;
};

class ScriptedProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override {
        records.push_back(*info);
        if (onRecord) onRecord(*info);
    }
    int Continued() override { return ++asked <= allowed ? 1 : 0; }
    int shouldBuild() override { return 1; }
    std::vector<_PROGRESS_INFO> records;
    std::function<void(const _PROGRESS_INFO&)> onRecord;
    int asked = 0;
    int allowed = 1 << 30;
};

}  // namespace

// Every deleted FAT file comes out byte-identical, with its creation time as
// its modification time.
TEST(DataRecovery, FatFoundFilesAreWrittenByteIdentical) {
    for (auto [image, type] : {std::pair<const char*, std::uint32_t>{"fat16", 1}, {"fat32", 2}}) {
        FatScan scan(image, type);
        ASSERT_EQ(scan.result, ENGINE_OK);
        std::unique_ptr<IDataRecovery, void (*)(IDataRecovery*)> writer(CreateDataRecoveryObj(),
                                                                        [](IDataRecovery* w) { w->Release(); });
        ASSERT_EQ(writer->Initialize(scan.searcher.get(), scan.dev.get()), ENGINE_OK);
        TempDir out;
        auto files = scan.DeletedWithOriginals();
        ASSERT_GE(files.size(), 3u);
        int i = 0;
        for (auto& [node, orig] : files) {
            IFileReader* clone = writer->SetRecoverNode(node);
            ASSERT_NE(clone, nullptr) << node->GetFileName();
            EXPECT_EQ(clone->GetDataSize(), static_cast<long long>(orig.size()));
            clone->Release();
            const std::string dest = out.path + "/f" + std::to_string(i++);
            ScriptedProgress progress;
            ASSERT_EQ(writer->RecoverTo(dest.c_str(), &progress, 0), ENGINE_OK);
            EXPECT_EQ(ReadAll(dest), orig) << node->GetFileName();
            std::int64_t seconds = 0;
            ASSERT_TRUE(FileTimeToUnixSeconds(node->GetCreationTime(), &seconds));
            EXPECT_EQ(MTime(dest), seconds);
            ASSERT_FALSE(progress.records.empty());
            EXPECT_EQ(progress.records.back().current, static_cast<std::int64_t>(orig.size()));
            // A limit copies only the head.
            ASSERT_EQ(writer->RecoverTo(dest.c_str(), nullptr, 100), ENGINE_OK);
            EXPECT_EQ(ReadAll(dest), std::vector<std::uint8_t>(orig.begin(), orig.begin() + 100));
        }
    }
}

TEST(DataRecovery, InitializeAndResultCodes) {
    CMemoryStorageDevice dev(512, 64);
    auto* w = static_cast<CDataRecovery*>(CreateDataRecoveryObj());
    FakeSearcher none(0), three(3), many(300);
    EXPECT_EQ(w->Initialize(nullptr, &dev), DATA_RECOVERY_NO_CONTROLLER);
    EXPECT_EQ(w->Initialize(&three, nullptr), DATA_RECOVERY_NO_CONTROLLER);
    EXPECT_EQ(w->Initialize(&none, &dev), DATA_RECOVERY_NO_PARTITIONS);
    ASSERT_EQ(w->Initialize(&many, &dev), ENGINE_OK);
    EXPECT_EQ(many.calls, 2);
    EXPECT_EQ(w->GetSearchedPartition().size(), 300u);
    EXPECT_EQ(w->GetPartitionCount(), 300u);
    EXPECT_EQ(w->GetSearchedPartition()[0]->GetScore(), 299.0);  // highest first
    ASSERT_EQ(w->Initialize(&three, &dev), ENGINE_OK);
    EXPECT_EQ(w->GetSearchedPartition().size(), 256u);
    EXPECT_EQ(w->GetSearchedPartition()[2]->GetScore(), 0.0);
    EXPECT_EQ(w->GetSearchedPartition()[3], nullptr);  // empty slots last
    // A node's partition index picks its record.
    FakeNode n(1, 0, "n", false);
    n.SetPartition(1);
    EXPECT_EQ(w->GetNodePartition(&n)->GetPartitionIndex(), 1);
    std::vector<CSearchedPartitionInfo*> empty;
    EXPECT_EQ(w->Initialize(empty, nullptr), DATA_RECOVERY_COPY_NO_DEVICE);
    // One record in a one-slot vector maps every node.
    auto only = Partition(0, 4);
    only->SetPartitionIndex(9);
    std::vector<CSearchedPartitionInfo*> one{only.get()};
    ASSERT_EQ(w->Initialize(one, &dev), ENGINE_OK);
    EXPECT_NE(w->GetNodePartition(&n), only.get());  // a copy of its own
    EXPECT_EQ(w->GetNodePartition(&n)->GetPartitionIndex(), 9);

    TempDir out;
    const std::string dest = out.path + "/x";
    EXPECT_EQ(w->RecoverTo(nullptr, nullptr, 0), DATA_RECOVERY_NO_PATH);
    EXPECT_EQ(w->RecoverTo(dest.c_str(), nullptr, 0), DATA_RECOVERY_NO_READER_EMPTY_FILE);
    EXPECT_EQ(ReadAll(dest).size(), 0u);
    EXPECT_EQ(access(dest.c_str(), F_OK), 0);
    EXPECT_EQ(w->RecoverTo((out.path + "/no/such").c_str(), nullptr, 0), DATA_RECOVERY_NO_READER_NOT_OPENED);
    FakeNode folder(2, 0, "d", true);
    EXPECT_EQ(w->SetRecoverNode(&folder), nullptr);
    EXPECT_EQ(w->SetRecoverNode(nullptr), nullptr);
    w->Release();
}

// Failed reads leave zeros (only in the 64 KiB pieces they touch) and the
// file keeps its full size; a short read never carries stale bytes. Either
// way the copy is not whole, and the writer says so and why.
TEST(DataRecovery, FailedAndShortReads) {
    const std::int64_t size = 10 * 1024 * 1024 + 300;  // three chunks
    constexpr std::int64_t kPiece = 65536;
    struct Case {
        const char* what;
        std::int64_t failSector;   // -1: none
        std::int64_t runClusters;  // clusters of 4 KiB the runs hold
        int reason;
    };
    for (const Case& c : {Case{"middle chunk", (5 << 20) / 512, 2600, FILE_READ_DEVICE},
                          Case{"last chunk", (9 << 20) / 512, 2600, FILE_READ_DEVICE},
                          Case{"runs end early", -1, (6 << 20) / 4096, FILE_READ_RUNS_END}}) {
        MemoryWriter m(11 * 2048, size);
        m.node->SetRuns(Runs({{0, c.runClusters}}));
        m.node->SetCTime(0);
        m.Bind();
        if (c.failSector >= 0) m.dev.FailSector(c.failSector);
        TempDir out;
        const std::string dest = out.path + "/f";
        ASSERT_EQ(m.writer->RecoverTo(dest.c_str(), nullptr, 0), DATA_RECOVERY_READ_INCOMPLETE) << c.what;
        auto got = ReadAll(dest);
        ASSERT_EQ(got.size(), static_cast<std::size_t>(size)) << c.what;
        auto want = m.Expected(size);
        std::int64_t lost = 0;
        if (c.failSector >= 0) {
            const std::int64_t piece = c.failSector * 512 / kPiece * kPiece;
            std::fill(want.begin() + piece, want.begin() + piece + kPiece, 0);
            lost = kPiece;
        } else {
            std::fill(want.begin() + c.runClusters * 4096, want.end(), 0);
            lost = size - c.runClusters * 4096;
        }
        EXPECT_TRUE(got == want) << c.what;
        // Creation time 0: the file's times were not touched (it is new).
        EXPECT_GT(MTime(dest), 1700000000);
        // Through a descriptor: what was lost, and why.
        const int fd = open(dest.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0);
        RecoveryOutcome outcome;
        EXPECT_EQ(m.writer->RecoverToDescriptor(fd, dest.c_str(), nullptr, 0, &outcome), DATA_RECOVERY_READ_INCOMPLETE);
        close(fd);
        EXPECT_EQ(outcome.readError, c.reason) << c.what;
        EXPECT_EQ(outcome.size, size);
        EXPECT_EQ(outcome.bytesRead, size - lost) << c.what;
    }
}

// A file whose clusters lie past the device's end (an image cut short) is
// never a whole file of zeros: the part before the end is kept, the rest is
// reported lost, on the device itself and through a partition window that
// claims more sectors than its disk holds.
TEST(DataRecovery, DataPastTheDeviceEndIsReportedLost) {
    const std::int64_t size = 2 * 1024 * 1024;
    MemoryWriter m(2048, size);  // 1 MiB of device
    m.node->SetRuns(Runs({{0, size / 4096}}));
    m.Bind();
    TempDir out;
    const std::string dest = out.path + "/f";
    const int fd = open(dest.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    RecoveryOutcome outcome;
    EXPECT_EQ(m.writer->RecoverToDescriptor(fd, dest.c_str(), nullptr, 0, &outcome), DATA_RECOVERY_READ_INCOMPLETE);
    close(fd);
    EXPECT_EQ(outcome.readError, FILE_READ_PAST_END);
    EXPECT_EQ(outcome.bytesRead, 1024 * 1024);
    auto got = ReadAll(dest);
    auto want = m.Expected(1024 * 1024);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(size));
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()));

    // A window of 4,096 sectors from sector 1,024 of the 2,048-sector disk:
    // its own reads past the disk's end succeed with zeros, yet only 1,024
    // of its sectors hold anything.
    std::unique_ptr<CPartitionDevice> window(CreatePartitionDevice(&m.dev, 1024, 4096));
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(ReadableSectors(window.get()), 1024);
    EXPECT_EQ(ReadableSectors(&m.dev), 2048);
}
TEST(DataRecovery, DevFullFailsAndIsReported) {
    MemoryWriter m(64, 20000);
    m.node->SetRuns(Runs({{0, 5}}));
    m.Bind();
    // Nobody to decide on a retry: a failure, not a success.
    EXPECT_EQ(m.writer->RecoverTo("/dev/full", nullptr, 0), DATA_RECOVERY_WRITE_FAILED);
    // With a sink the chunk is retried until the user stops.
    ScriptedProgress p;
    p.allowed = 3;
    EXPECT_EQ(m.writer->RecoverTo("/dev/full", &p, 0), DATA_RECOVERY_WRITE_FAILED);
    int errors = 0;
    for (const auto& r : p.records)
        if (r.error == static_cast<std::int64_t>(DATA_RECOVERY_WRITE_FAILED)) ++errors;
    EXPECT_EQ(errors, 3);
    EXPECT_EQ(p.records.back().current, 0);
}

// A write cut short by the file-size limit is retried at its own offset once
// the sink raises the limit: the result is byte-identical.
TEST(DataRecovery, PartialWriteRetriedAtItsOffset) {
    const std::int64_t size = 6 * 1024 * 1024 + 777;
    MemoryWriter m(16 * 2048, size);
    m.node->SetRuns(Runs({{0, 2000}}));
    m.Bind();
    TempDir out;
    const std::string dest = out.path + "/f";
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit low = old;
    low.rlim_cur = 5 * 1024 * 1024 + 4321;  // the second chunk is cut inside
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    ScriptedProgress p;
    int failures = 0;
    p.onRecord = [&](const _PROGRESS_INFO& r) {
        if (r.error == static_cast<std::int64_t>(DATA_RECOVERY_WRITE_FAILED)) {
            ++failures;
            setrlimit(RLIMIT_FSIZE, &old);
        }
    };
    const EngineResult result = m.writer->RecoverTo(dest.c_str(), &p, 0);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_EQ(result, ENGINE_OK);
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(ReadAll(dest) == m.Expected(size));
}

TEST(DataRecovery, FolderTimesStayInsideTheDestination) {
    MemoryWriter m(64, 5000);
    // Nodes: root (time 0) / "Dir" (T1) / "a/b" (T2, a name from disk with
    // "/") / file (T3).
    const std::int64_t base = 116444736000000000;  // 1970-01-01 as a node time
    FakeNode root(1, 0, "Vol", true), dir(2, 1, "Dir", true), odd(3, 2, "a/b", true);
    dir.SetCTime(base + 1000000000ll * 10000000);
    odd.SetCTime(base + 1100000000ll * 10000000);
    dir.SetParent(&root);
    odd.SetParent(&dir);
    m.node->SetParent(&dir);
    m.node->SetCTime(base + 1200000000ll * 10000000);
    m.node->SetRuns(Runs({{0, 2}}));
    m.Bind();
    TempDir out;
    ASSERT_EQ(mkdir((out.path + "/Vol").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((out.path + "/Vol/Dir").c_str(), 0755), 0);
    const std::int64_t rootTime = MTime(out.path);
    ASSERT_EQ(m.writer->RecoverTo((out.path + "/Vol/Dir/file").c_str(), nullptr, 0), ENGINE_OK);
    EXPECT_EQ(MTime(out.path + "/Vol/Dir/file"), 1200000000);
    EXPECT_EQ(MTime(out.path + "/Vol/Dir"), 1000000000);
    EXPECT_EQ(MTime(out.path), rootTime);

    // Under "a/b" the path has more folders than the node has parents: the
    // walk stops at the first folder that is not its node's, and never
    // reaches folders above.
    m.node->SetParent(&odd);
    m.Bind();
    ASSERT_EQ(mkdir((out.path + "/Vol/Dir/a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((out.path + "/Vol/Dir/a/b").c_str(), 0755), 0);
    const std::int64_t before = MTime(out.path + "/Vol/Dir/a");
    ASSERT_EQ(m.writer->RecoverTo((out.path + "/Vol/Dir/a/b/file").c_str(), nullptr, 0), ENGINE_OK);
    EXPECT_EQ(MTime(out.path + "/Vol/Dir/a"), before);
    EXPECT_EQ(MTime(out.path), rootTime);
}

TEST(DataRecovery, TimeConversion) {
    std::int64_t s = -1;
    EXPECT_FALSE(FileTimeToUnixSeconds(0, &s));
    EXPECT_FALSE(FileTimeToUnixSeconds(-5, &s));
    ASSERT_TRUE(FileTimeToUnixSeconds(116444736000000000, &s));
    EXPECT_EQ(s, 0);
    // 2050-01-01, past the 32-bit 1904 wrap of 2040.
    ASSERT_TRUE(FileTimeToUnixSeconds((2524608000ll + 11644473600ll) * 10000000, &s));
    EXPECT_EQ(s, 2524608000);
    ASSERT_TRUE(FileTimeToUnixSeconds(1, &s));  // 1601 is a real (if odd) time
    EXPECT_EQ(s, -11644473600);
    EXPECT_FALSE(FileTimeToUnixSeconds(INT64_MAX, &s));
}

TEST(DataRecovery, ReadSmallJpg) {
    struct Case {
        const char* what;
        std::int64_t size;
        std::vector<std::pair<int, std::vector<std::uint8_t>>> marks;
        unsigned want;
        int from;
    };
    const std::vector<std::uint8_t> soi{0xFF, 0xD8, 0xFF}, eoi{0xFF, 0xD9};
    for (const Case& c : {
             Case{"65,535 bytes", 65535, {{100, soi}, {5000, eoi}}, 0, 0},
             Case{"65,536 bytes", 65536, {{100, soi}, {5000, eoi}}, 5000 + 4 - 100, 100},
             Case{"SOI at 0 skipped", 70000, {{0, soi}, {10, eoi}, {300, soi}, {3000, eoi}}, 3000 + 4 - 300, 300},
             Case{"EOI within 2,000", 70000, {{100, soi}, {1500, eoi}, {2200, eoi}}, 2200 + 4 - 100, 100},
             Case{"no end", 70000, {{100, soi}}, 0, 0},
         }) {
        MemoryWriter m(256, c.size);
        std::fill(m.dev.Bytes().begin(), m.dev.Bytes().end(), 0);
        for (auto& [at, bytes] : c.marks) m.dev.Write(at, bytes.data(), bytes.size());
        m.node->SetRuns(Runs({{0, 32}}));
        m.Bind();
        std::vector<char> out(65536);
        EXPECT_EQ(m.writer->ReadSmallJPG(out.data(), 65536), c.want) << c.what;
        if (c.want) {
            EXPECT_EQ(0, std::memcmp(out.data(), m.dev.Bytes().data() + c.from, c.want)) << c.what;
        }
        EXPECT_EQ(m.writer->ReadSmallJPG(out.data(), 65535), 0u) << c.what;
    }
}
