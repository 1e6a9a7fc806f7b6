#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "StorageTestUtil.h"
#include "storage/ReadAsync.h"

using namespace storage_test;

namespace {

constexpr std::size_t MiB = 1 << 20;

// What the injected platform reads saw and how they should misbehave.
struct PlatformScript {
    std::mutex lock;
    std::vector<std::pair<off_t, std::size_t>> calls;
    off_t failFrom = -1, failTo = -1;  // reads starting in [from, to) fail with EIO
    std::size_t maxPerCall = 0;        // > 0: short reads of at most this
    // Blocking: reads at this offset wait until released, then scribble.
    off_t blockAt = -1;
    bool released = false;
    bool blockedEntered = false;
    bool blockedDone = false;
    std::condition_variable cv;
};
PlatformScript* g_script = nullptr;

ssize_t ScriptedRead(int fd, void* buf, std::size_t len, off_t off) {
    PlatformScript& s = *g_script;
    std::unique_lock<std::mutex> lk(s.lock);
    s.calls.emplace_back(off, len);
    if (off == s.blockAt) {
        s.blockedEntered = true;
        s.cv.notify_all();
        s.cv.wait(lk, [&] { return s.released; });
        // The late completion writes its buffer, as a real read would.
        std::memset(buf, 0xEE, len);
        s.blockedDone = true;
        s.cv.notify_all();
        return static_cast<ssize_t>(len);
    }
    if (off >= s.failFrom && off < s.failTo) {
        errno = EIO;
        return -1;
    }
    if (s.maxPerCall > 0 && len > s.maxPerCall) len = s.maxPerCall;
    lk.unlock();
    return ::pread(fd, buf, len, off);
}

class ReadAsyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        path = dir.File("pattern.img");
        ASSERT_TRUE(WritePatternFile(path, 12 * MiB));
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        g_script = &script;
        QXSetPlatformReadForTesting(&ScriptedRead);
    }
    void TearDown() override {
        QXSetPlatformReadForTesting(nullptr);
        QXSetReadTimeoutForTesting(0);
        if (fd >= 0) ::close(fd);
    }

    TempDir dir;
    std::string path;
    int fd = -1;
    PlatformScript script;
};

}  // namespace

TEST_F(ReadAsyncTest, TenMiBReadIsThreePlatformReadsOfFourFourAndTwoMiB) {
    std::vector<std::uint8_t> buf(10 * MiB, 0xAA);
    EXPECT_EQ(QXReadAsyncData(buf.data(), fd, 512, 10 * MiB), static_cast<std::int64_t>(10 * MiB));
    ASSERT_EQ(script.calls.size(), 3u);
    EXPECT_EQ(script.calls[0], std::make_pair(off_t(512), 4 * MiB));
    EXPECT_EQ(script.calls[1], std::make_pair(off_t(512 + 4 * MiB), 4 * MiB));
    EXPECT_EQ(script.calls[2], std::make_pair(off_t(512 + 8 * MiB), 2 * MiB));
    EXPECT_TRUE(UnitsHoldPattern(buf.data(), 1, 10 * MiB / 512));
}

TEST_F(ReadAsyncTest, FailedChunkIsZeroedAndTheOthersKeepTheirData) {
    script.failFrom = static_cast<off_t>(4 * MiB);
    script.failTo = static_cast<off_t>(8 * MiB);
    std::vector<std::uint8_t> buf(10 * MiB, 0xAA);
    EXPECT_EQ(QXReadAsyncData(buf.data(), fd, 0, 10 * MiB), 0);
    EXPECT_TRUE(UnitsHoldPattern(buf.data(), 0, 4 * MiB / 512));
    EXPECT_TRUE(AllZero(buf.data() + 4 * MiB, 4 * MiB));
    EXPECT_TRUE(UnitsHoldPattern(buf.data() + 8 * MiB, 8 * MiB / 512, 2 * MiB / 512));
}

TEST_F(ReadAsyncTest, ShortReadsAreContinuedAndAnErrorKeepsTheBytesBeforeIt) {
    script.maxPerCall = 1000;  // never a whole sector at once
    std::vector<std::uint8_t> buf(64 * 1024, 0xAA);
    EXPECT_EQ(QXReadAsyncData(buf.data(), fd, 4096, buf.size()), static_cast<std::int64_t>(buf.size()));
    EXPECT_TRUE(UnitsHoldPattern(buf.data(), 8, buf.size() / 512));

    // A bad spot inside the chunk: what came before it is good data, the rest
    // is zeros and the read fails (it is not passed off as data).
    script.failFrom = 4096 + 10000;
    script.failTo = 4096 + 11000;
    std::fill(buf.begin(), buf.end(), 0xAA);
    EXPECT_EQ(QXReadAsyncData(buf.data(), fd, 4096, buf.size()), 0);
    EXPECT_TRUE(UnitsHoldPattern(buf.data(), 8, 19));
    EXPECT_TRUE(AllZero(buf.data() + 10000, buf.size() - 10000));
}

TEST_F(ReadAsyncTest, EndOfFile) {
    // Straddling the end: success, zeros after the last byte.
    std::vector<std::uint8_t> buf(8192, 0xAA);
    EXPECT_EQ(QXReadAsyncData(buf.data(), fd, 12 * MiB - 4096, 8192), 8192);
    EXPECT_TRUE(UnitsHoldPattern(buf.data(), 12 * MiB / 512 - 8, 8));
    EXPECT_TRUE(AllZero(buf.data() + 4096, 4096));
    // Wholly past the end: failure, zeros.
    std::fill(buf.begin(), buf.end(), 0xAA);
    EXPECT_EQ(QXReadAsyncData(buf.data(), fd, 12 * MiB, 8192), 0);
    EXPECT_TRUE(AllZero(buf.data(), buf.size()));
    // The chunk wholly past the end fails even when an earlier one read data.
    std::vector<std::uint8_t> big(6 * MiB, 0xAA);
    EXPECT_EQ(QXReadAsyncData(big.data(), fd, 8 * MiB, big.size()), 0);
    EXPECT_TRUE(UnitsHoldPattern(big.data(), 8 * MiB / 512, 4 * MiB / 512));
    EXPECT_TRUE(AllZero(big.data() + 4 * MiB, 2 * MiB));
}

TEST_F(ReadAsyncTest, BadArgumentsReturnZeroAndLeaveTheBufferAlone) {
    std::vector<std::uint8_t> buf(4096, 0xAA);
    struct Case {
        void* buffer;
        int fd;
        std::int64_t offset, length;
    } cases[] = {
        {buf.data(), fd, -512, 512}, {buf.data(), fd, 0, -1}, {buf.data(), fd, 0, 0},
        {buf.data(), -1, 0, 512},    {nullptr, fd, 0, 512},   {buf.data(), fd, INT64_MAX - 100, 512},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QXReadAsyncData(c.buffer, c.fd, c.offset, c.length), 0);
        EXPECT_TRUE(AllByte(buf.data(), buf.size(), 0xAA));
    }
    EXPECT_TRUE(script.calls.empty());
}

// Reads until one succeeds: on a loaded machine a normal read may itself
// overrun the shortened bound once.
std::int64_t ReadPatiently(void* buf, int fd, std::int64_t off, std::int64_t len) {
    std::int64_t got = 0;
    for (int i = 0; i < 300 && got == 0; ++i) {
        got = QXReadAsyncData(buf, fd, off, len);
        if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return got;
}

TEST_F(ReadAsyncTest, StalledReadTimesOutAndItsLateCompletionCorruptsNothing) {
    constexpr int kBoundMs = 200;
    QXSetReadTimeoutForTesting(kBoundMs);
    script.blockAt = 1 * MiB;
    // Whatever happens below, the stuck read is let go and has finished
    // before the script it runs in goes away.
    struct Release {
        PlatformScript& s;
        ~Release() {
            std::unique_lock<std::mutex> lk(s.lock);
            s.released = true;
            s.cv.notify_all();
            if (s.blockedEntered) s.cv.wait(lk, [&] { return s.blockedDone; });
        }
    } release{script};

    std::vector<std::uint8_t> buf(64 * 1024, 0xAA);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(QXReadAsyncData(buf.data(), fd, 1 * MiB, buf.size()), 0);
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(kBoundMs - 10));
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_TRUE(AllZero(buf.data(), buf.size()));
    {
        std::unique_lock<std::mutex> lk(script.lock);
        script.cv.wait_for(lk, std::chrono::seconds(10), [&] { return script.blockedEntered; });
        ASSERT_TRUE(script.blockedEntered);
    }

    // While that read is stuck, the same file fails at once instead of
    // waiting out the bound again.
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(QXReadAsyncData(buf.data(), fd, 0, 4096), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(kBoundMs - 10));

    // Another file reads normally.
    const std::string other = dir.File("other.img");
    ASSERT_TRUE(WritePatternFile(other, 1 * MiB));
    int fd2 = ::open(other.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd2, 0);
    std::vector<std::uint8_t> next(1 * MiB, 0);
    EXPECT_EQ(ReadPatiently(next.data(), fd2, 0, next.size()), static_cast<std::int64_t>(next.size()));

    // Release the stuck read: it completes into its own buffer only.
    {
        std::unique_lock<std::mutex> lk(script.lock);
        script.released = true;
        script.cv.notify_all();
        script.cv.wait(lk, [&] { return script.blockedDone; });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(UnitsHoldPattern(next.data(), 0, next.size() / 512));
    EXPECT_TRUE(AllZero(buf.data(), 4096));
    std::vector<std::uint8_t> again(1 * MiB, 0);
    EXPECT_EQ(ReadPatiently(again.data(), fd2, 0, again.size()), static_cast<std::int64_t>(again.size()));
    EXPECT_TRUE(UnitsHoldPattern(again.data(), 0, again.size() / 512));
    // And once it came back, the first file is readable again.
    std::vector<std::uint8_t> first(4096, 0);
    EXPECT_EQ(ReadPatiently(first.data(), fd, 0, 4096), 4096);
    EXPECT_TRUE(UnitsHoldPattern(first.data(), 0, 8));
    ::close(fd2);
}

TEST_F(ReadAsyncTest, ConcurrentReadersGetTheirOwnData) {
    QXSetPlatformReadForTesting(nullptr);
    std::atomic<int> bad{0};
    auto worker = [&](std::uint64_t base) {
        std::vector<std::uint8_t> buf(192 * 1024);
        for (int i = 0; i < 40; ++i) {
            const std::uint64_t unit = base + static_cast<std::uint64_t>(i) * 389 % 20000;
            if (QXReadAsyncData(buf.data(), fd, static_cast<std::int64_t>(unit * 512),
                                static_cast<std::int64_t>(buf.size())) != static_cast<std::int64_t>(buf.size()) ||
                !UnitsHoldPattern(buf.data(), unit, buf.size() / 512))
                ++bad;
        }
    };
    std::thread a(worker, 0), b(worker, 77);
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
}

// Whole-chunk streaming reads get the next chunk read ahead; whatever comes
// in between (another range, another file, a failure) must still see exactly
// its own data.
TEST_F(ReadAsyncTest, StreamingReadsStayExactAroundReadAhead) {
    std::vector<std::uint8_t> buf(4 * MiB), small(4096);
    const std::string other = dir.File("other.img");
    ASSERT_TRUE(WritePatternFile(other, 1 * MiB));
    int fd2 = ::open(other.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd2, 0);
    for (int pass = 0; pass < 2; ++pass) {
        for (std::uint64_t off = 0; off < 12 * MiB; off += 4 * MiB) {
            std::fill(buf.begin(), buf.end(), 0xAA);
            ASSERT_EQ(QXReadAsyncData(buf.data(), fd, static_cast<std::int64_t>(off), 4 * MiB),
                      static_cast<std::int64_t>(4 * MiB));
            EXPECT_TRUE(UnitsHoldPattern(buf.data(), off / 512, 4 * MiB / 512)) << off;
            // Interleaved small reads of this file and of another one.
            ASSERT_EQ(QXReadAsyncData(small.data(), fd, 8 * MiB + 512, 4096), 4096);
            EXPECT_TRUE(UnitsHoldPattern(small.data(), 8 * MiB / 512 + 1, 8));
            ASSERT_EQ(QXReadAsyncData(small.data(), fd2, 512 * 7, 4096), 4096);
            EXPECT_TRUE(UnitsHoldPattern(small.data(), 7, 8));
        }
        // Past the end, straight after a streamed chunk: still a failed read.
        std::fill(buf.begin(), buf.end(), 0xAA);
        EXPECT_EQ(QXReadAsyncData(buf.data(), fd, 12 * MiB, 4 * MiB), 0);
        EXPECT_TRUE(AllZero(buf.data(), buf.size()));
        // A chunk that fails while it is being read ahead is read again, and
        // fails as itself.
        script.failFrom = static_cast<off_t>(8 * MiB);
        script.failTo = static_cast<off_t>(12 * MiB);
        ASSERT_EQ(QXReadAsyncData(buf.data(), fd, 0, 4 * MiB), static_cast<std::int64_t>(4 * MiB));
        ASSERT_EQ(QXReadAsyncData(buf.data(), fd, 4 * MiB, 4 * MiB), static_cast<std::int64_t>(4 * MiB));
        EXPECT_EQ(QXReadAsyncData(buf.data(), fd, 8 * MiB, 4 * MiB), 0);
        EXPECT_TRUE(AllZero(buf.data(), buf.size()));
        script.failFrom = script.failTo = -1;
    }
    ::close(fd2);
}
