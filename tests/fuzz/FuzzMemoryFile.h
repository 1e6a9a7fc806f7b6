#pragma once
// Fuzz input handed to readers that open a path: the bytes go into one
// memory file per process, rewritten for each input, so no run touches the
// disk and no file is left behind.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The path of a file holding exactly `size` bytes of `data`, or "" when the
// memory file cannot be made or written.
inline std::string FuzzBytesAsFile(const std::uint8_t* data, std::size_t size) {
    static const int fd = memfd_create("quillory-fuzz", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0) return {};
    if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return {};
    return "/proc/self/fd/" + std::to_string(fd);
}
