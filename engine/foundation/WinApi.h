#pragma once
// Small time and file helpers under the names the engine has always used.

#include <cstdint>

struct _SYSTEMTIME {
    std::uint16_t wYear;
    std::uint16_t wMonth;      // 1-12
    std::uint16_t wDayOfWeek;  // 0-6, 0 = Sunday
    std::uint16_t wDay;        // 1-31
    std::uint16_t wHour;
    std::uint16_t wMinute;
    std::uint16_t wSecond;
    std::uint16_t wMilliseconds;
};

// Fills the record from the local wall-clock time; 0, or 0xFFFFFFFF for null.
std::uint32_t GetLocalTime(_SYSTEMTIME* time);
// Fills the record from local time of `seconds` since 1970 (milliseconds 0);
// a negative time leaves the record untouched. Returns 0.
int ConverTime(long seconds, _SYSTEMTIME* time);
// Milliseconds of a monotonic clock, wrapping modulo 2^32. Only differences
// of two readings mean anything.
std::uint32_t GetTickCount();
// Size of a file cut to 32 bits; 0 for null, a failed query or size <= 0.
std::uint32_t GetFileSize(const char* path);
// Copies a file or folder recursively with its extended attributes (and so
// its access lists). Returns 0 on success, -1 on failure.
int CopyFileA(const char* from, const char* to, int unused);
