#include "foundation/Log.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

#include "foundation/Locks.h"
#include "foundation/WinApi.h"

namespace {

const char kLogFileName[] = "sMAC_Quillory.log";

struct WorkPathState {
    std::mutex mutex;
    std::string overridePath;  // set by SetAppWorkPath
    std::string cached;        // what GetWorkPath hands out
};

// Created on first use and never destroyed: threads may still log while the
// process runs its static destructors.
WorkPathState& PathState() {
    static WorkPathState* state = new WorkPathState;
    return *state;
}

SimpleCs& LogLock() {
    static SimpleCs* lock = new SimpleCs;
    return *lock;
}

std::string ExecutableFolder() {
    std::string buf(PATH_MAX, '\0');
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return std::string();
    buf.resize(static_cast<size_t>(n));
    size_t slash = buf.rfind('/');
    if (slash == std::string::npos) return std::string();
    if (slash == 0) return "/";
    buf.resize(slash);
    return buf;
}

std::string AppWorkPathLocked(WorkPathState& s) { return s.overridePath.empty() ? ExecutableFolder() : s.overridePath; }

std::atomic<bool> g_consoleEcho{true};
std::atomic<FILE*> g_consoleStream{nullptr};  // null: standard output

// The log file's path, or "" when the folder is unknown or the path too long
// (a cut path would append to some other file).
std::string LogFilePath() {
    std::string folder = CatchExeception::GetWorkPath();
    if (folder.empty() || folder.size() + sizeof(kLogFileName) + 1 >= PATH_MAX) return std::string();
    std::string path = folder == "/" ? "/" : folder + "/";
    return path + kLogFileName;
}

}  // namespace

std::string GetAppWorkPath() {
    WorkPathState& s = PathState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return AppWorkPathLocked(s);
}

void SetAppWorkPath(const std::string& path) {
    WorkPathState& s = PathState();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.overridePath = path;
    while (s.overridePath.size() > 1 && s.overridePath.back() == '/') s.overridePath.pop_back();
    s.cached.clear();
}

namespace {

struct DiagnosticState {
    std::mutex mutex;
    DiagnosticSink sink = DiagnosticSink::StandardOutput;
};

// Never destroyed, as the work-path state: threads may still report while
// the process runs its static destructors.
DiagnosticState& Diagnostics() {
    static DiagnosticState* state = new DiagnosticState;
    return *state;
}

}  // namespace

void SetDiagnosticSink(DiagnosticSink sink) {
    DiagnosticState& d = Diagnostics();
    std::lock_guard<std::mutex> guard(d.mutex);
    d.sink = sink;
}

DiagnosticSink GetDiagnosticSink() {
    DiagnosticState& d = Diagnostics();
    std::lock_guard<std::mutex> guard(d.mutex);
    return d.sink;
}

void LogDiagnostic(const char* format, ...) {
    if (format == nullptr) return;
    const DiagnosticSink sink = GetDiagnosticSink();
    if (sink == DiagnosticSink::Discard) return;
    va_list args;
    va_start(args, format);
    if (sink == DiagnosticSink::LogFile) {
        va_list again;
        va_copy(again, args);
        const int length = std::vsnprintf(nullptr, 0, format, again);
        va_end(again);
        if (length > 0) {
            std::string message(static_cast<size_t>(length) + 1, '\0');
            std::vsnprintf(message.data(), message.size(), format, args);
            message.pop_back();
            CatchExeception::WriteLog("%s", message.c_str());
        }
    } else {
        FILE* out = sink == DiagnosticSink::StandardError ? stderr : stdout;
        std::vfprintf(out, format, args);
        // Seen at once, in the order they happened beside other output.
        std::fflush(out);
    }
    va_end(args);
}

const char* CatchExeception::GetWorkPath() {
    WorkPathState& s = PathState();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.cached.empty()) s.cached = AppWorkPathLocked(s);
    return s.cached.c_str();
}

int CatchExeception::WriteLog(const char* format, ...) {
    char line[2048];
    std::memset(line, 0, sizeof(line));
    _SYSTEMTIME now{};
    GetLocalTime(&now);
    int stamp = std::snprintf(line, 48, "%02d:%02d:%02d ", now.wHour, now.wMinute, now.wSecond);
    if (stamp < 0) stamp = 0;

    int messageLength = 0;
    if (format) {
        va_list args;
        va_start(args, format);
        messageLength = std::vsnprintf(line + stamp, kMaxMessageBytes, format, args);
        va_end(args);
        if (messageLength < 0) {
            messageLength = 0;
            line[stamp] = '\0';
        }
    }
    const size_t lineLength = std::strlen(line);

    SimpleLock lock(&LogLock(), "WriteLog");
    if (g_consoleEcho.load(std::memory_order_relaxed)) {
        FILE* console = g_consoleStream.load(std::memory_order_relaxed);
        if (console == nullptr) console = stdout;
        std::fwrite(line, 1, lineLength, console);
        std::fflush(console);
    }

    // Without a usable folder the line goes to standard output only.
    const std::string path = LogFilePath();
    if (!path.empty()) {
        if (FILE* file = std::fopen(path.c_str(), "a+")) {
            if (lineLength > 0 && std::fwrite(line, 1, lineLength, file) == 0) {
                std::printf("%s failed with %s\n", "WriteLog", std::strerror(errno));
            }
            std::fclose(file);
        }
    }
    return stamp + messageLength;
}

void CatchExeception::SetConsoleEcho(bool echo) { g_consoleEcho.store(echo, std::memory_order_relaxed); }

bool CatchExeception::ConsoleEcho() { return g_consoleEcho.load(std::memory_order_relaxed); }

void CatchExeception::SetConsoleStream(FILE* stream) { g_consoleStream.store(stream, std::memory_order_relaxed); }

namespace {

const int kCaughtSignals[] = {SIGILL, SIGABRT, SIGBUS, SIGSEGV};

std::string ProcessName() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? std::string("quillory") : name;
}

void RaiseLimit(int resource) {
    // Linux refuses "unlimited" open files above fs.nr_open: raise the soft
    // limit to the hard one and live with what we get.
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(resource, &limit);
}

}  // namespace

CatchExeception::CatchExeception() {
    RaiseLimit(RLIMIT_CORE);
    RaiseLimit(RLIMIT_NOFILE);
    WriteLog("process[%s:%d] started\n", ProcessName().c_str(), static_cast<int>(getpid()));
}

CatchExeception::~CatchExeception() { WriteLog("process[%d] existed\n", static_cast<int>(getpid())); }

CatchExeception& CatchExeception::Instance() {
    static CatchExeception instance;
    return instance;
}

int CatchExeception::Install() {
    for (int sig : kCaughtSignals) signal(sig, &CatchExeception::SignalHandle);
    return 0;
}

void CatchExeception::SignalHandle(int) {
    for (int sig : kCaughtSignals) signal(sig, SIG_DFL);
    void* frames[128];
    int count = backtrace(frames, 128);
    backtrace_symbols_fd(frames, count, STDOUT_FILENO);
}
