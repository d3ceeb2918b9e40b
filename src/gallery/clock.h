#pragma once
// The local wall clock, injectable so tests can fix the moment.

#include <cstdint>

namespace lumbrin {

// One reading of the local clock, field for field like a Windows SYSTEMTIME.
struct LocalClockReading {
  int year = 1970;
  int month = 1;      // 1..12
  int dayOfWeek = 4;  // 0 = Sunday
  int day = 1;        // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;  // 0..999
};

class Clock {
public:
  virtual ~Clock() = default;
  [[nodiscard]] virtual LocalClockReading now() const = 0;
};

// The machine's local time (localtime_r). Thread-safe.
[[nodiscard]] const Clock& SystemClock();

}  // namespace lumbrin
