#include "storage/DeviceAccess.h"

#include <mutex>

namespace {

std::mutex g_lock;
DeviceOpenFallback g_fallback;
std::function<bool(const std::string&)> g_refuse;

}  // namespace

void SetDeviceOpenFallback(DeviceOpenFallback fallback) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_fallback = std::move(fallback);
}

int OpenThroughFallback(const std::string& path) {
    DeviceOpenFallback fallback;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        fallback = g_fallback;
    }
    // Called without the lock: the fallback may wait for a password.
    return fallback ? fallback(path) : -1;
}

void SetPlainOpenRefusalForTest(std::function<bool(const std::string& path)> refuse) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_refuse = std::move(refuse);
}

bool PlainOpenRefusedForTest(const std::string& path) {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_refuse && g_refuse(path);
}
