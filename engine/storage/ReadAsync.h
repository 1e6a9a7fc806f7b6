#pragma once
// The one read path of the process: every disk, volume and image read goes
// through QXReadAsyncData and its shared 4 MiB buffer.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "foundation/Locks.h"

// Size of the shared buffer and of each platform read.
constexpr std::size_t kQXReadChunk = 4194304;
// Bound on one platform read before the chunk is given up as failed.
constexpr long long kQXReadTimeoutMs = 30000;

// Guards the shared buffer; held for the whole of each QXReadAsyncData call.
extern mutex_locker& g_lockerAsyncData;

// Reads `length` bytes at byte `offset` of `fd` into `buffer`, in chunks of at
// most 4 MiB. Returns `length` when every chunk succeeded, else 0.
//  - A null buffer, a negative descriptor, offset or length, or a length of 0
//    returns 0 at once and leaves the buffer untouched.
//  - A chunk that reaches the end of the file or device is kept, with zeros
//    after the last byte; a chunk that starts past the end reads nothing and
//    fails (zeros).
//  - A chunk whose platform read fails keeps the bytes read before the error
//    and is zero after them; the call then returns 0 but goes on with the
//    next chunk.
//  - A chunk that does not complete within the bound fails (zeros); later
//    reads of the same file fail at once until that stuck read returns.
std::int64_t QXReadAsyncData(void* buffer, int fd, std::int64_t offset, std::int64_t length);

// Test hooks: replace the platform read (pread when null) and shorten the
// bound (a value <= 0 restores 30 s).
using QXPlatformReadFn = ssize_t (*)(int fd, void* buf, std::size_t len, off_t offset);
void QXSetPlatformReadForTesting(QXPlatformReadFn fn);
void QXSetReadTimeoutForTesting(long long milliseconds);
