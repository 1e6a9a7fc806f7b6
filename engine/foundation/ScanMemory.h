#pragma once
// Process-wide allocator settings for a program that scans devices: called
// once, early in main, before any thread starts.

// Lets the allocator keep up to 512 MiB of freed memory at the top of its
// heaps for reuse, and grow them 64 MiB at a time. A scan frees and
// allocates the same large buffers and nodes over and over; given back to
// the kernel at once, every reuse costs a first touch of each of their
// pages again, which on some virtual machines is dearer than the work done
// on them. Memory stays bounded: only memory that was once in use is kept,
// and never more than the thresholds above what is in use.
void TuneAllocatorForScanning();
