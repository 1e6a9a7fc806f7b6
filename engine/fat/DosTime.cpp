#include "fat/DosTime.h"

#include <cstdlib>
#include <ctime>
#include <string>
#include <unordered_map>

namespace {

// Days from 1970-01-01 to the given proleptic Gregorian date (month 1-12).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The fields as UTC seconds, carrying over out-of-range fields the way
// mktime() normalises them (month 0 or 13-15, day 0, hour 24-31, ...).
std::int64_t FieldsAsUtc(int year, int month0, int day, int hour, int minute, int second) {
    std::int64_t y = year;
    int m = month0;
    y += m / 12;
    m %= 12;
    if (m < 0) {
        m += 12;
        --y;
    }
    const std::int64_t days = DaysFromCivil(y, static_cast<unsigned>(m + 1), 1) + (day - 1);
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

struct OffsetCache {
    std::string zone;  // TZ as it was when the offsets were taken
    bool zoneSet = false;
    std::unordered_map<std::uint32_t, std::int64_t> offsets;  // key: date << 5 | hour
};

// The zone the process runs in: a changed TZ makes the kept offsets stale.
void CheckZone(OffsetCache& cache) {
    const char* tz = std::getenv("TZ");
    const bool set = tz != nullptr;
    if (set == cache.zoneSet && (!set || cache.zone == tz)) return;
    cache.zoneSet = set;
    cache.zone = set ? tz : "";
    cache.offsets.clear();
}

}  // namespace

bool LocalDosTimeToUnixSeconds(std::uint16_t date, std::uint16_t time, std::int64_t* seconds) {
    const int year = (date >> 9) + 1980;
    const int month0 = ((date >> 5) & 0x0F) - 1;
    const int day = date & 0x1F;
    const int hour = time >> 11;
    const int minute = (time >> 5) & 0x3F;
    const int second = 2 * (time & 0x1F);

    // One cache per thread: scans of two sources may run side by side.
    thread_local OffsetCache cache;
    CheckZone(cache);
    const std::uint32_t key = (static_cast<std::uint32_t>(date) << 5) | static_cast<std::uint32_t>(hour);
    auto it = cache.offsets.find(key);
    if (it == cache.offsets.end()) {
        // The offset at the start of this hour: zones change their offset on
        // whole hours, so every stamp of the hour shares it.
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month0;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_isdst = -1;
        const std::time_t local = std::mktime(&tm);
        if (local == static_cast<std::time_t>(-1)) return false;
        const std::int64_t offset = static_cast<std::int64_t>(local) - FieldsAsUtc(year, month0, day, hour, 0, 0);
        it = cache.offsets.emplace(key, offset).first;
    }
    *seconds = FieldsAsUtc(year, month0, day, hour, minute, second) + it->second;
    return true;
}
