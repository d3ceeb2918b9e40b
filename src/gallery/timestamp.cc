#include "gallery/timestamp.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <string>

namespace lumbrin {
namespace {

constexpr std::int64_t kMillisPerDay = 86'400'000;

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct CivilDate {
  int year;
  int month;
  int day;
};

constexpr CivilDate CivilFromDays(std::int64_t z) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
  return {static_cast<int>(y), static_cast<int>(m), static_cast<int>(d)};
}

constexpr std::int64_t kOleOriginDays = DaysFromCivil(1899, 12, 30);

// Before the origin the fraction counts forward from the (negative) day, so
// the last date of the first day lies just above kMinOleDate - 1.
bool HasOleDate(double date) noexcept {
  return date > kMinOleDate - 1.0 && date < kMaxOleDate;
}

constexpr bool IsLeap(int y) noexcept {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

constexpr int DaysInMonth(int y, int m) noexcept {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

LocalText TwoDigits(int value) {
  LocalText text = std::to_string(value);
  if (text.size() == 1) text.insert(0, 1, '0');
  return text;
}

class SystemLocalClock final : public Clock {
public:
  LocalClockReading now() const override {
    const auto now = std::chrono::system_clock::now();
    const auto sinceEpoch = now.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const time_t t = static_cast<time_t>(seconds.count());
    struct tm local {};
    LocalClockReading r;
    if (localtime_r(&t, &local) == nullptr) return r;
    r.year = local.tm_year + 1900;
    r.month = local.tm_mon + 1;
    r.dayOfWeek = local.tm_wday;
    r.day = local.tm_mday;
    r.hour = local.tm_hour;
    r.minute = local.tm_min;
    // A leap second reads as the last second of its minute.
    r.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    r.milliseconds =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count());
    return r;
  }
};

}  // namespace

const Clock& SystemClock() {
  static const SystemLocalClock clock;
  return clock;
}

std::optional<double> OleDateFromReading(const LocalClockReading& r) {
  if (r.year < 100 || r.year > 9999 || r.month < 1 || r.month > 12 || r.day < 1 ||
      r.day > DaysInMonth(r.year, r.month) || r.hour < 0 || r.hour > 23 || r.minute < 0 || r.minute > 59 ||
      r.second < 0 || r.second > 59 || r.milliseconds < 0 || r.milliseconds > 999) {
    return std::nullopt;
  }
  const auto days = static_cast<double>(
      DaysFromCivil(r.year, static_cast<unsigned>(r.month), static_cast<unsigned>(r.day)) - kOleOriginDays);
  const double fraction =
      static_cast<double>(((r.hour * 60 + r.minute) * 60 + r.second) * 1000 + r.milliseconds) / kMillisPerDay;
  return days >= 0 ? days + fraction : days - fraction;
}

std::optional<LocalClockReading> ReadingFromOleDate(double date) {
  if (!HasOleDate(date)) return std::nullopt;  // NaN fails too
  const double whole = std::trunc(date);
  auto days = static_cast<std::int64_t>(whole);
  auto millis = static_cast<std::int64_t>(std::llround(std::fabs(date - whole) * kMillisPerDay));
  if (millis >= kMillisPerDay) {
    millis -= kMillisPerDay;
    ++days;
  }
  const std::int64_t unixDays = days + kOleOriginDays;
  const CivilDate civil = CivilFromDays(unixDays);
  if (civil.year > 9999) return std::nullopt;
  LocalClockReading r;
  r.year = civil.year;
  r.month = civil.month;
  r.day = civil.day;
  // 1970-01-01 was a Thursday.
  r.dayOfWeek = static_cast<int>(((unixDays % 7) + 7 + 4) % 7);
  r.hour = static_cast<int>(millis / 3'600'000);
  r.minute = static_cast<int>(millis / 60'000 % 60);
  r.second = static_cast<int>(millis / 1000 % 60);
  r.milliseconds = static_cast<int>(millis % 1000);
  return r;
}

double NowOleDate(const Clock& clock) {
  LocalClockReading reading = clock.now();
  reading.milliseconds = 0;
  return OleDateFromReading(reading).value_or(0.0);
}

LocalText MakeTimestamp(const Clock& clock, std::optional<double> time, bool tenDigits, bool padTen) {
  // The clock is read whether or not a time is given: its milliseconds are
  // always the stamp's last three digits.
  const LocalClockReading reading = clock.now();
  const std::optional<double> moment = time ? time : OleDateFromReading(reading);
  if (!moment || !HasOleDate(*moment)) return {};

  static const double base = *OleDateFromReading({.year = 1970, .month = 1, .day = 1, .hour = 8});
  // The tiny addend keeps a whole second that the double holds as x.99999...
  // from dropping to the second before. Rounding down rather than toward
  // zero keeps moments before the base right too (one second before it is
  // -1, not 0); from the base on both are the same.
  const auto seconds =
      static_cast<std::int64_t>(std::floor((*moment - base) * 86400.0 + 5.787037037037037e-6));

  LocalText text = std::to_string(seconds);
  if (padTen) text = PadLeftZeros(text, 10);
  if (tenDigits) return text.substr(0, 10);
  const int millis = reading.milliseconds < 0 || reading.milliseconds > 999 ? 0 : reading.milliseconds;
  text += PadLeftZeros(std::to_string(millis), 3);
  return text;
}

LocalText FormatDateTime(double time, LocalView dateSeparator, LocalView timeSeparator, int layout) {
  if (layout < 1 || layout > 4) return {};
  const auto reading = ReadingFromOleDate(time);
  if (!reading) return {};
  LocalText date = std::to_string(reading->year);
  date.append(dateSeparator)
      .append(TwoDigits(reading->month))
      .append(dateSeparator)
      .append(TwoDigits(reading->day));
  LocalText clock = TwoDigits(reading->hour);
  clock.append(timeSeparator)
      .append(TwoDigits(reading->minute))
      .append(timeSeparator)
      .append(TwoDigits(reading->second));
  switch (layout) {
    case 1:
      return clock;
    case 2:
      return date;
    case 3:
      return date + " " + clock;
    default:
      return date + clock;
  }
}

LocalText PadLeftZeros(LocalView text, int width) {
  LocalText out;
  if (width > 0 && text.size() < static_cast<std::size_t>(width)) {
    out.assign(static_cast<std::size_t>(width) - text.size(), '0');
  }
  out.append(text);
  return out;
}

}  // namespace lumbrin
