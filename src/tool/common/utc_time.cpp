#include "tool/common/utc_time.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>

namespace veltrin::tool {

std::string UtcTimeText(uint64_t seconds) {
    const auto days = static_cast<int64_t>(seconds / 86400);
    const uint64_t inDay = seconds % 86400;
    const int64_t z = days + 719468;
    const int64_t era = z / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    std::snprintf(text, sizeof text, "%04" PRId64 "-%02" PRId64 "-%02" PRId64 " %02u:%02u UTC", year, month, day,
                  static_cast<unsigned>(inDay / 3600), static_cast<unsigned>(inDay / 60 % 60));
    return text;
}

uint64_t SecondsNow() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

}  // namespace veltrin::tool
