#pragma once
// Local DOS date and time (FAT and exFAT directory entries) to seconds since
// 1970, without the cost of mktime() per stamp: glibc's mktime() looks at
// the zone file again on every call, which made it half of a FAT quick
// scan's time. The offset of local time from UTC is asked of mktime() once
// per date and hour seen and kept; every stamp of that hour reuses it.

#include <cstdint>

// Seconds since 1970 of the local calendar time the DOS date and time name
// (fields out of range carry over as mktime() carries them); false when the
// system cannot convert it.
bool LocalDosTimeToUnixSeconds(std::uint16_t date, std::uint16_t time, std::int64_t* seconds);
