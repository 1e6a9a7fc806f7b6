#include "foundation/WinApi.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

void FillFromTm(const tm& t, _SYSTEMTIME* time, int ms) {
    time->wYear = static_cast<std::uint16_t>(t.tm_year + 1900);
    time->wMonth = static_cast<std::uint16_t>(t.tm_mon + 1);
    time->wDayOfWeek = static_cast<std::uint16_t>(t.tm_wday);
    time->wDay = static_cast<std::uint16_t>(t.tm_mday);
    time->wHour = static_cast<std::uint16_t>(t.tm_hour);
    time->wMinute = static_cast<std::uint16_t>(t.tm_min);
    time->wSecond = static_cast<std::uint16_t>(t.tm_sec);
    time->wMilliseconds = static_cast<std::uint16_t>(ms);
}

// Copies the extended attributes (on Linux this includes access lists).
// Attributes the target refuses are skipped: the data is what matters.
void CopyXattrs(const std::filesystem::path& from, const std::filesystem::path& to) {
    ssize_t len = llistxattr(from.c_str(), nullptr, 0);
    if (len <= 0) return;
    std::vector<char> names(static_cast<size_t>(len));
    len = llistxattr(from.c_str(), names.data(), names.size());
    if (len <= 0) return;
    for (ssize_t i = 0; i < len;) {
        const char* name = names.data() + i;
        size_t nameLen = strnlen(name, static_cast<size_t>(len - i));
        i += static_cast<ssize_t>(nameLen) + 1;
        ssize_t vlen = lgetxattr(from.c_str(), name, nullptr, 0);
        if (vlen < 0) continue;
        std::vector<char> value(static_cast<size_t>(vlen) + 1);
        vlen = lgetxattr(from.c_str(), name, value.data(), value.size());
        if (vlen < 0) continue;
        lsetxattr(to.c_str(), name, value.data(), static_cast<size_t>(vlen), 0);
    }
}

}  // namespace

std::uint32_t GetLocalTime(_SYSTEMTIME* time) {
    if (!time) return 0xFFFFFFFFu;
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    time_t secs = now.tv_sec;
    localtime_r(&secs, &local);
    FillFromTm(local, time, static_cast<int>(now.tv_usec / 1000));
    return 0;
}

int ConverTime(long seconds, _SYSTEMTIME* time) {
    if (seconds < 0 || !time) return 0;
    time_t secs = static_cast<time_t>(seconds);
    tm local{};
    if (!localtime_r(&secs, &local)) return 0;
    FillFromTm(local, time, 0);
    return 0;
}

std::uint32_t GetTickCount() {
    // Monotonic: a change of the wall clock cannot make an elapsed time
    // negative.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t ms =
        static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::uint32_t GetFileSize(const char* path) {
    if (!path) return 0;
    struct stat st {};
    if (stat(path, &st) != 0 || st.st_size <= 0) return 0;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(st.st_size));
}

int CopyFileA(const char* from, const char* to, int) {
    if (!from || !to) return -1;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path src(from), dst(to);
    fs::copy(src, dst, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) return -1;
    CopyXattrs(src, dst);
    if (fs::is_directory(fs::symlink_status(src, ec))) {
        for (fs::recursive_directory_iterator it(src, ec), end; !ec && it != end; it.increment(ec)) {
            CopyXattrs(it->path(), dst / fs::relative(it->path(), src, ec));
        }
    }
    return 0;
}
