// Windows realisation of the wall clock: receive stamps from the system time
// in its 100-ns units, file names from the C runtime's local time.
#include <windows.h>

#include <time.h>

#include <cstdint>

#include "kivo/clock.h"

namespace kivo {
namespace {

using SystemTimeReader = VOID(WINAPI*)(LPFILETIME);

// GetSystemTimePreciseAsFileTime (Windows 8 and later) where the system has
// it, so that stamps are not quantised to the 1-16 ms timer tick; the plain
// reading elsewhere. Looked up at run time, so the DLL still loads on older
// systems.
SystemTimeReader system_time_reader() {
  static const SystemTimeReader reader = [] {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC precise = kernel != nullptr ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
    return precise != nullptr ? reinterpret_cast<SystemTimeReader>(reinterpret_cast<void*>(precise))
                              : &GetSystemTimeAsFileTime;
  }();
  return reader;
}

// FILETIME counts 100-ns intervals since 1601-01-01 UTC; this many of them
// lie between then and 1970-01-01.
constexpr int64_t kIntervalsFrom1601To1970 = 116444736000000000LL;
constexpr double kIntervalsPerSecond = 10000000.0;

// 100-ns intervals since 1970.
int64_t intervals_since_1970() {
  FILETIME now{};
  system_time_reader()(&now);
  const int64_t intervals =
      static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  return intervals - kIntervalsFrom1601To1970;
}

}  // namespace

double unix_time_seconds() { return static_cast<double>(intervals_since_1970()) / kIntervalsPerSecond; }

int64_t unix_time_nanoseconds() { return intervals_since_1970() * 100; }

TimeReading read_time_now() {
  TimeReading reading;
  __time64_t calendar = _time64(nullptr);
  reading.calendar = static_cast<std::time_t>(calendar);
  _localtime64_s(&reading.local, &calendar);
  _gmtime64_s(&reading.utc, &calendar);
  return reading;
}

}  // namespace kivo
