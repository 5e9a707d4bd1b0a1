#pragma once

#include <ctime>

namespace lorvent::testing {

// A broken-down time as the clock hands it over; `month` 1 to 12.
inline std::tm Tm(int year, int month, int day, int hour, int minute, int second = 0) {
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

} // namespace lorvent::testing
