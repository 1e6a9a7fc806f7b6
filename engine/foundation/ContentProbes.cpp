#include "foundation/ContentProbes.h"

#include <atomic>

namespace {
// Set once at start, read by scan threads.
std::atomic<IFileContentProbes*> g_probes{nullptr};
}  // namespace

IFileContentProbes* GetFileContentProbes() { return g_probes.load(std::memory_order_acquire); }

void SetFileContentProbes(IFileContentProbes* probes) { g_probes.store(probes, std::memory_order_release); }
