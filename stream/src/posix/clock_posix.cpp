// POSIX realisation of the wall clock.
#include <time.h>

#include "kivo/clock.h"

namespace kivo {

double unix_time_seconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int64_t unix_time_nanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

TimeReading read_time_now() {
  TimeReading reading;
  reading.calendar = std::time(nullptr);
  localtime_r(&reading.calendar, &reading.local);
  gmtime_r(&reading.calendar, &reading.utc);
  return reading;
}

}  // namespace kivo
