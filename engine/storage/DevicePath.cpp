#include "storage/DevicePath.h"

#include <cstring>

namespace {

constexpr char kDevPrefix[] = "/dev/";

bool NameUsable(const char* name) {
    if (name == nullptr || name[0] == '\0') return false;
    if (std::strchr(name, '/') != nullptr) return false;
    return std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

}  // namespace

int BSDName2DevPath(char* buffer, std::size_t size, const char* bsdName, bool /*raw*/) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    if (!NameUsable(bsdName)) return 0;
    const std::size_t need = sizeof(kDevPrefix) - 1 + std::strlen(bsdName) + 1;
    if (need > size) return 0;
    std::memcpy(buffer, kDevPrefix, sizeof(kDevPrefix) - 1);
    std::memcpy(buffer + sizeof(kDevPrefix) - 1, bsdName, std::strlen(bsdName) + 1);
    return 1;
}

std::string DevicePathOf(const char* bsdName) {
    if (!NameUsable(bsdName)) return std::string();
    return std::string(kDevPrefix) + bsdName;
}
