// Progress sink between the engine and whoever runs a scan or a recovery.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// One progress record. Senders clear the whole record before filling it; the
// sink copies what it needs during the call.
struct _PROGRESS_INFO {
    uint32_t state;             // PROGRESS_STATE_RUNNING or PROGRESS_STATE_FINISHED
    uint32_t reserved;          // keeps total on its 8-byte boundary
    int64_t total;              // units chosen by the sender (blocks, files, bytes)
    int64_t current;            // same units
    int64_t error;              // an EngineResult or its low word, 0 when none
    unsigned char extra[4096];  // zero in every record the engine sends
};

static_assert(sizeof(_PROGRESS_INFO) == 4128, "progress record is 4,128 bytes");
static_assert(offsetof(_PROGRESS_INFO, total) == 8);
static_assert(offsetof(_PROGRESS_INFO, current) == 16);
static_assert(offsetof(_PROGRESS_INFO, error) == 24);
static_assert(offsetof(_PROGRESS_INFO, extra) == 32);

constexpr uint32_t PROGRESS_STATE_RUNNING = 2;
constexpr uint32_t PROGRESS_STATE_FINISHED = 3;

// Fills a cleared record; the engine never sends a record built any other way.
inline void MakeProgressInfo(_PROGRESS_INFO* info, uint32_t state, int64_t total, int64_t current, int64_t error = 0) {
    std::memset(info, 0, sizeof(*info));
    info->state = state;
    info->total = total;
    info->current = current;
    info->error = error;
}

// Implemented by the front end (or a test). All calls come from the scan's
// worker thread.
class IProgress {
public:
    virtual ~IProgress() = default;
    // Takes note of the record and returns promptly.
    virtual void UpdateProgress(_PROGRESS_INFO* info) = 0;
    // Blocks while the operation is paused; non-zero while it should go on,
    // 0 once a stop was requested or the application is exiting.
    virtual int Continued() = 0;
    // Whether a stopped deep scan still builds its trees.
    virtual int shouldBuild() = 0;
};
