#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "foundation/WinApi.h"

namespace fs = std::filesystem;

TEST(WinApi, LocalTimeAndConversion) {
    EXPECT_EQ(GetLocalTime(nullptr), 0xFFFFFFFFu);
    _SYSTEMTIME now{};
    EXPECT_EQ(GetLocalTime(&now), 0u);
    EXPECT_GE(now.wYear, 2024);
    EXPECT_TRUE(now.wMonth >= 1 && now.wMonth <= 12);
    EXPECT_LE(now.wDayOfWeek, 6);
    EXPECT_LE(now.wMilliseconds, 999);

    _SYSTEMTIME r;
    std::memset(&r, 0xAB, sizeof(r));
    const _SYSTEMTIME before = r;
    EXPECT_EQ(ConverTime(-1, &r), 0);
    EXPECT_EQ(std::memcmp(&r, &before, sizeof(r)), 0);

    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(ConverTime(86400L * 365 + 3600 + 61, &r), 0);  // 1971-01-01 01:01:01, a Friday
    EXPECT_EQ(r.wYear, 1971);
    EXPECT_EQ(r.wMonth, 1);
    EXPECT_EQ(r.wDay, 1);
    EXPECT_EQ(r.wDayOfWeek, 5);
    EXPECT_EQ(r.wHour, 1);
    EXPECT_EQ(r.wMinute, 1);
    EXPECT_EQ(r.wSecond, 1);
    EXPECT_EQ(r.wMilliseconds, 0);
}

TEST(WinApi, TickCountMeasuresElapsedTime) {
    const std::uint32_t a = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::uint32_t elapsed = GetTickCount() - a;  // wraps like the callers expect
    EXPECT_GE(elapsed, 49u);
    EXPECT_LT(elapsed, 1000u);
}

TEST(WinApi, FileSizeAndCopy) {
    char pattern[] = "/tmp/quillory-winapi-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;

    EXPECT_EQ(GetFileSize(nullptr), 0u);
    EXPECT_EQ(GetFileSize((dir / "missing").c_str()), 0u);
    std::ofstream(dir / "empty").close();
    EXPECT_EQ(GetFileSize((dir / "empty").c_str()), 0u);
    {
        // 5 GiB + 123 bytes, sparse: the answer is the size modulo 2^32.
        int fd = open((dir / "big").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, (5ll << 30) + 123), 0);
        close(fd);
    }
    EXPECT_EQ(GetFileSize((dir / "big").c_str()), (1u << 30) + 123);
    fs::remove(dir / "big");

    fs::create_directories(dir / "src/sub");
    std::ofstream(dir / "src/sub/a.txt") << "hello";
    const bool xattrs = setxattr((dir / "src/sub/a.txt").c_str(), "user.q", "v", 1, 0) == 0;
    EXPECT_EQ(CopyFileA((dir / "src").c_str(), (dir / "dst").c_str(), 0), 0);
    std::ifstream copied(dir / "dst/sub/a.txt");
    std::string text;
    copied >> text;
    EXPECT_EQ(text, "hello");
    if (xattrs) {
        char v[4] = {};
        EXPECT_EQ(getxattr((dir / "dst/sub/a.txt").c_str(), "user.q", v, sizeof(v)), 1);
        EXPECT_EQ(v[0], 'v');
    }
    EXPECT_NE(CopyFileA((dir / "nothing").c_str(), (dir / "x").c_str(), 0), 0);
    fs::remove_all(dir);
}
