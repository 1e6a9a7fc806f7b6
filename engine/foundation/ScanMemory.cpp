#include "foundation/ScanMemory.h"

#include <malloc.h>

void TuneAllocatorForScanning() {
    constexpr int kTrimThreshold = 512 << 20;
    constexpr int kTopPad = 64 << 20;
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
    mallopt(M_TOP_PAD, kTopPad);
}
