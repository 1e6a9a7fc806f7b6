#include "platform/SafeDestination.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace safe_destination {

namespace {

// Numbered variants tried before giving up on a name.
constexpr int kMaxVariants = 10000;

}  // namespace

std::string NumberedName(const std::string& name, int n) {
    const std::string number = " (" + std::to_string(n) + ")";
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name + number;
    return name.substr(0, dot) + number + name.substr(dot);
}

std::string SafeComponent(const std::string& name) {
    std::string c = name;
    for (char& ch : c)
        if (ch == '/') ch = '_';
    if (c.empty() || c == "." || c == "..") c = "_" + c;
    return c;
}

int OpenFolderBeneath(int rootFd, const std::vector<std::string>& components, bool create) {
    int fd = fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return -1;
    for (const std::string& c : components) {
        if (c.empty() || c == "." || c == ".." || c.find('/') != std::string::npos) {
            close(fd);
            errno = EINVAL;
            return -1;
        }
        int next = openat(fd, c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (mkdirat(fd, c.c_str(), 0755) != 0 && errno != EEXIST) {
                const int saved = errno;
                close(fd);
                errno = saved;
                return -1;
            }
            next = openat(fd, c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        const int saved = errno;
        close(fd);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        fd = next;
    }
    return fd;
}

int CreateNewFile(int dirFd, const std::string& name, std::string& chosen) {
    for (int n = 0; n <= kMaxVariants; ++n) {
        const std::string candidate = n == 0 ? name : NumberedName(name, n);
        // O_EXCL with O_CREAT never opens an existing entry, a symbolic link
        // (even a dangling one) included.
        const int fd = openat(dirFd, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            chosen = candidate;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

bool RenameToFreeName(int dirFd, const std::string& from, const std::string& to, std::string& chosen) {
    for (int n = 0; n <= kMaxVariants; ++n) {
        const std::string candidate = n == 0 ? to : NumberedName(to, n);
        if (renameat2(dirFd, from.c_str(), dirFd, candidate.c_str(), RENAME_NOREPLACE) == 0) {
            chosen = candidate;
            return true;
        }
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system without RENAME_NOREPLACE: a hard link fails on a
            // taken name just the same.
            if (linkat(dirFd, from.c_str(), dirFd, candidate.c_str(), 0) == 0) {
                unlinkat(dirFd, from.c_str(), 0);
                chosen = candidate;
                return true;
            }
        }
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

}  // namespace safe_destination
