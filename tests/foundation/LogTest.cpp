#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Log.h"

namespace fs = std::filesystem;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quillory-log-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        SetAppWorkPath(m_dir);
    }
    void TearDown() override {
        SetAppWorkPath("");
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::string LogFile() const { return m_dir + "/sMAC_Quillory.log"; }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string m_dir;
};

const std::regex kStamp("^[0-2][0-9]:[0-5][0-9]:[0-6][0-9] ");

}  // namespace

TEST_F(LogTest, LinesAreStampedAndAppended) {
    EXPECT_STREQ(CatchExeception::GetWorkPath(), m_dir.c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(CatchExeception::WriteLog("open failed:%d,%s\n", 13, "Permission denied"), 9 + 33);
    EXPECT_EQ(CatchExeception::WriteLog("second\n"), 9 + 7);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string file = Read(LogFile());
    EXPECT_EQ(out, file);
    ASSERT_EQ(file.size(), 9u + 33 + 9 + 7);
    EXPECT_TRUE(std::regex_search(file, kStamp));
    EXPECT_EQ(file.substr(9, 33), "open failed:13,Permission denied\n");
    EXPECT_EQ(file.substr(9 + 33 + 9), "second\n");
}

TEST_F(LogTest, LongMessagesAreCutButCountedWhole) {
    const std::string message(3000, 'x');
    testing::internal::CaptureStdout();
    EXPECT_EQ(CatchExeception::WriteLog("%s", message.c_str()), 9 + 3000);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(out.size(), 9u + 1999);
    EXPECT_EQ(out.substr(9), message.substr(0, 1999));
    EXPECT_EQ(Read(LogFile()), out);
}

TEST_F(LogTest, AnUnusableFolderLogsToStandardOutputOnly) {
    const std::string cases[] = {
        m_dir + "/missing/folder",             // cannot be opened
        m_dir + "/" + std::string(5000, 'd'),  // longer than any path
    };
    for (const std::string& folder : cases) {
        SetAppWorkPath(folder);
        testing::internal::CaptureStdout();
        EXPECT_EQ(CatchExeception::WriteLog("lost %d\n", 7), 9 + 7);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.substr(9), "lost 7\n");
    }
    // Nothing was written anywhere else (a cut path would write elsewhere).
    EXPECT_TRUE(fs::is_empty(m_dir));
}

TEST_F(LogTest, WithoutConsoleEchoLinesReachTheFileOnly) {
    CatchExeception::SetConsoleEcho(false);
    testing::internal::CaptureStdout();
    EXPECT_EQ(CatchExeception::WriteLog("quiet %d\n", 1), 9 + 8);
    const std::string quiet = testing::internal::GetCapturedStdout();
    CatchExeception::SetConsoleEcho(true);
    EXPECT_EQ(quiet, "");
    testing::internal::CaptureStdout();
    CatchExeception::WriteLog("loud %d\n", 2);
    const std::string loud = testing::internal::GetCapturedStdout();
    EXPECT_EQ(loud.substr(9), "loud 2\n");
    const std::string file = Read(LogFile());
    ASSERT_EQ(file.size(), 9u + 8 + 9 + 7);
    EXPECT_EQ(file.substr(9, 8), "quiet 1\n");
    EXPECT_EQ(file.substr(9 + 8), loud);
}

TEST_F(LogTest, LinesOfManyThreadsStayWhole) {
    constexpr int kThreads = 8, kLines = 200;
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                CatchExeception::WriteLog("thread %d line %03d %s\n", t, i, "abcdefghijklmnopqrstuvwxyz");
        });
    }
    for (auto& th : threads) th.join();
    testing::internal::GetCapturedStdout();

    std::ifstream in(LogFile());
    const std::regex line("^[0-9:]{8} thread [0-7] line [0-9]{3} abcdefghijklmnopqrstuvwxyz$");
    std::string l;
    int count = 0;
    std::vector<int> next(kThreads, 0);
    while (std::getline(in, l)) {
        ASSERT_TRUE(std::regex_match(l, line)) << l;
        const int t = l[16] - '0';
        EXPECT_EQ(std::stoi(l.substr(23, 3)), next[t]++);  // each thread's lines in order
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

// Each destination gets the diagnostic with its exact text, and no other
// destination sees it.
TEST_F(LogTest, DiagnosticsGoWhereTheSinkSays) {
    EXPECT_EQ(GetDiagnosticSink(), DiagnosticSink::StandardOutput);  // as the engine always printed
    const std::string text = "Journal Start Offset:0x2000\n";
    struct Case {
        DiagnosticSink sink;
        bool out, err, file;
    } const cases[] = {
        {DiagnosticSink::StandardOutput, true, false, false},
        {DiagnosticSink::StandardError, false, true, false},
        {DiagnosticSink::LogFile, false, false, true},
        {DiagnosticSink::Discard, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.sink));
        fs::remove(LogFile());
        SetDiagnosticSink(c.sink);
        EXPECT_EQ(GetDiagnosticSink(), c.sink);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        LogDiagnostic("Journal Start Offset:0x%llx\n", 0x2000ULL);
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string out = testing::internal::GetCapturedStdout();
        SetDiagnosticSink(DiagnosticSink::StandardOutput);
        EXPECT_EQ(err, c.err ? text : "");
        if (c.file) {
            // A log line like any other: stamped; the console echo, if any,
            // is the log's own and so stamped as well.
            const std::string file = Read(LogFile());
            EXPECT_TRUE(std::regex_search(file, kStamp)) << file;
            EXPECT_EQ(file.substr(CatchExeception::kStampChars), text);
            EXPECT_TRUE(out.empty() || out == file) << out;
        } else {
            EXPECT_EQ(out, c.out ? text : "");
            EXPECT_FALSE(fs::exists(LogFile()));
        }
    }
}

TEST(AppWorkPath, DefaultsToTheExecutableFolder) {
    SetAppWorkPath("");
    const std::string exe = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(GetAppWorkPath(), exe.substr(0, exe.rfind('/')));
    SetAppWorkPath("/tmp/some/where/");
    EXPECT_EQ(GetAppWorkPath(), "/tmp/some/where");
    EXPECT_STREQ(CatchExeception::GetWorkPath(), "/tmp/some/where");
    SetAppWorkPath("");
    EXPECT_EQ(GetAppWorkPath(), exe.substr(0, exe.rfind('/')));
}
