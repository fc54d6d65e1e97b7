// Wall-clock readings: receive stamps and the local time in file names.
#pragma once

#include <cstdint>
#include <ctime>

namespace kivo {

// Seconds since 1970-01-01 00:00:00 UTC at the system clock's full resolution.
double unix_time_seconds();
// The same clock in whole nanoseconds (a double of seconds since 1970 keeps
// only about a quarter of a microsecond).
int64_t unix_time_nanoseconds();

// One reading of the calendar time, broken down in local time and in UTC.
struct TimeReading {
  std::time_t calendar = 0;
  std::tm local{};
  std::tm utc{};
};
TimeReading read_time_now();

}  // namespace kivo
