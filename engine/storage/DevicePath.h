#pragma once
// Device paths: every part of the system that turns a device name ("sdb",
// "sdb1", "nvme0n1p1", "loop0p1") into a path to open builds it here.

#include <cstddef>
#include <string>

// Writes "/dev/NAME" into `buffer` (of `size` bytes, zero-terminated).
// Returns 1, or 0 with an empty buffer when the name is empty, holds a '/'
// or is "." or "..", or when the path does not fit (a cut path could name
// another device). Linux has no separate raw nodes, so `raw` changes nothing.
int BSDName2DevPath(char* buffer, std::size_t size, const char* bsdName, bool raw);

// The same as a string; empty when the name is refused.
std::string DevicePathOf(const char* bsdName);
