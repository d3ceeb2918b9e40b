#include "gallery/timestamp.h"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace lumbrin {
namespace {

class FixedClock final : public Clock {
public:
  explicit FixedClock(LocalClockReading reading) : reading_(reading) {}
  LocalClockReading now() const override { return reading_; }

private:
  LocalClockReading reading_;
};

LocalClockReading Reading(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
  LocalClockReading r;
  r.year = y;
  r.month = mo;
  r.day = d;
  r.hour = h;
  r.minute = mi;
  r.second = s;
  r.milliseconds = ms;
  return r;
}

constexpr double kBase = 25569.0 + 8.0 / 24.0;  // 1970-01-01 08:00:00

// The seconds since 1970-01-01 08:00 of a local reading, by std::chrono's
// calendar rather than by OLE dates.
long long ChronoSeconds(const LocalClockReading& r) {
  using namespace std::chrono;
  const sys_days day = year(r.year) / month(static_cast<unsigned>(r.month)) / r.day;
  const auto t = day + hours(r.hour) + minutes(r.minute) + seconds(r.second) - hours(8);
  return duration_cast<seconds>(t.time_since_epoch()).count();
}

TEST(MakeTimestamp, SecondsSinceTheBaseThenTheClocksMilliseconds) {
  struct Case {
    LocalClockReading reading;
    LocalText stamp;
  } cases[] = {
      {Reading(2022, 3, 15, 9, 5, 7, 123), "1647306307123"},  // Unix time on a UTC+8 machine
      {Reading(1970, 1, 2, 8, 0, 0, 7), "86400007"},
      {Reading(1970, 1, 1, 8, 0, 0, 0), "0000"},
      {Reading(1970, 1, 1, 7, 59, 59, 5), "-1005"},
      {Reading(2001, 9, 9, 9, 46, 40, 999), "1000000000999"},
      // After the 32-bit count runs out, the 64-bit count goes on.
      {Reading(2038, 1, 19, 11, 14, 7, 0), "2147483647000"},
      {Reading(2038, 1, 19, 11, 14, 8, 0), "2147483648000"},
      {Reading(2040, 6, 1, 12, 0, 0, 42), "2222136000042"},
      {Reading(9999, 12, 31, 23, 59, 59, 1), "253402271999001"},
  };
  for (const auto& c : cases) {
    const FixedClock clock(c.reading);
    EXPECT_EQ(MakeTimestamp(clock), c.stamp) << c.stamp;
    EXPECT_EQ(MakeTimestamp(clock, NowOleDate(clock)), c.stamp) << c.stamp;
  }
}

TEST(MakeTimestamp, GivenTimeGivesTheSecondsAndTheClockTheMilliseconds) {
  const FixedClock clock(Reading(2022, 3, 15, 9, 5, 7, 5));
  EXPECT_EQ(MakeTimestamp(clock, kBase + 1.0), "86400005");
  EXPECT_EQ(MakeTimestamp(clock, kBase), "0005");
  EXPECT_EQ(MakeTimestamp(clock, kBase - 1.0), "-86400005");
  // A fraction of a second is truncated, not rounded.
  EXPECT_EQ(MakeTimestamp(clock, kBase + 1.9 / 86400.0), "1005");
  const FixedClock zeroMillis(Reading(2022, 3, 15, 9, 5, 7, 0));
  EXPECT_EQ(MakeTimestamp(zeroMillis, kBase + 1.0), "86400000");
}

TEST(MakeTimestamp, PadTenAndTenDigits) {
  const FixedClock clock(Reading(2022, 3, 15, 9, 5, 7, 5));
  const double hundred = kBase + 100.0 / 86400.0;
  struct Case {
    double time;
    bool tenDigits, padTen;
    LocalText stamp;
  } cases[] = {
      {hundred, false, false, "100005"},
      {hundred, false, true, "0000000100005"},
      {hundred, true, false, "100"},
      {hundred, true, true, "0000000100"},
      {*OleDateFromReading(Reading(2022, 3, 15, 9, 5, 7)), true, false, "1647306307"},
      {*OleDateFromReading(Reading(2040, 6, 1, 12, 0, 0)), true, true, "2222136000"},
      // More than ten digits: cut to the first ten.
      {*OleDateFromReading(Reading(9999, 12, 31, 23, 59, 59)), true, false, "2534022719"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MakeTimestamp(clock, c.time, c.tenDigits, c.padTen), c.stamp) << c.stamp;
}

// The OLE double arithmetic must never lose a whole second to rounding.
TEST(MakeTimestamp, EveryWholeSecondCountsExactly) {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state](int n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<int>((state >> 33) % static_cast<std::uint64_t>(n));
  };
  for (int i = 0; i < 20000; ++i) {
    const LocalClockReading r =
        Reading(1900 + next(400), 1 + next(12), 1 + next(28), next(24), next(60), next(60));
    const FixedClock clock(r);
    const LocalText stamp = MakeTimestamp(clock, NowOleDate(clock), true);
    ASSERT_EQ(stamp, std::to_string(ChronoSeconds(r)).substr(0, 10))
        << r.year << "-" << r.month << "-" << r.day << " " << r.hour << ":" << r.minute << ":" << r.second;
  }
}

TEST(MakeTimestamp, TimesWithoutOleDateGiveEmptyText) {
  const FixedClock clock(Reading(2022, 3, 15, 9, 5, 7, 5));
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -1e300, 1e18, kMaxOleDate}) {
    EXPECT_EQ(MakeTimestamp(clock, bad), "") << bad;
  }
  const FixedClock broken(Reading(2022, 2, 30, 9, 5, 7, 5));
  EXPECT_EQ(MakeTimestamp(broken), "");
  EXPECT_EQ(MakeTimestamp(broken, kBase + 1.0), "86400005");  // the given time needs no valid reading
}

TEST(MakeTimestamp, SystemClockGivesTheLocalTimeWithMilliseconds) {
  const time_t before = time(nullptr);
  const LocalClockReading r = SystemClock().now();
  const LocalText stamp = MakeTimestamp(SystemClock());
  const time_t after = time(nullptr);
  ASSERT_GE(r.milliseconds, 0);
  ASSERT_LE(r.milliseconds, 999);
  ASSERT_EQ(stamp.size(), 13u);
  struct tm local {};
  ASSERT_NE(localtime_r(&before, &local), nullptr);
  // Seconds since 1970-01-01 08:00 local = Unix time + UTC offset - 8 h.
  const long long offset = local.tm_gmtoff - 8 * 3600;
  const long long seconds = std::stoll(stamp.substr(0, 10));
  EXPECT_GE(seconds, before + offset);
  EXPECT_LE(seconds, after + offset + 1);
}

TEST(OleDate, ConvertsReadingsBothWays) {
  struct Case {
    LocalClockReading reading;
    double date;
  } cases[] = {
      {Reading(1899, 12, 30, 0, 0, 0), 0.0},
      {Reading(1899, 12, 31, 12, 0, 0), 1.5},
      {Reading(1899, 12, 29, 6, 0, 0), -1.25},  // the fraction runs forward before the origin
      {Reading(1899, 12, 30, 18, 0, 0), 0.75},
      {Reading(1970, 1, 1, 8, 0, 0), kBase},
      {Reading(2000, 2, 29, 0, 0, 0), 36585.0},
      {Reading(100, 1, 1, 0, 0, 0), kMinOleDate},
      {Reading(9999, 12, 31, 0, 0, 0), kMaxOleDate - 1.0},
  };
  for (const auto& c : cases) {
    const auto date = OleDateFromReading(c.reading);
    ASSERT_TRUE(date.has_value());
    EXPECT_DOUBLE_EQ(*date, c.date) << c.reading.year;
    const auto back = ReadingFromOleDate(c.date);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(FormatDateTime(c.date, "-", ":", 3), FormatDateTime(*date, "-", ":", 3));
    EXPECT_EQ(back->year, c.reading.year);
    EXPECT_EQ(back->month, c.reading.month);
    EXPECT_EQ(back->day, c.reading.day);
    EXPECT_EQ(back->hour, c.reading.hour);
  }
  const auto withMillis = ReadingFromOleDate(*OleDateFromReading(Reading(2022, 1, 2, 23, 59, 59, 999)));
  ASSERT_TRUE(withMillis.has_value());
  EXPECT_EQ(withMillis->milliseconds, 999);
  EXPECT_EQ(withMillis->second, 59);
  EXPECT_EQ(withMillis->dayOfWeek, 0);  // a Sunday
  EXPECT_EQ(ReadingFromOleDate(kBase)->dayOfWeek, 4);
}

TEST(OleDate, RejectsWhatHasNoDate) {
  for (const auto& r :
       {Reading(2021, 2, 29, 0, 0, 0), Reading(2100, 2, 29, 0, 0, 0), Reading(2022, 4, 31, 0, 0, 0),
        Reading(2022, 13, 1, 0, 0, 0), Reading(2022, 0, 1, 0, 0, 0), Reading(2022, 1, 1, 24, 0, 0),
        Reading(2022, 1, 1, 0, 60, 0), Reading(2022, 1, 1, 0, 0, 60), Reading(2022, 1, 1, 0, 0, 0, 1000),
        Reading(99, 12, 31, 0, 0, 0), Reading(10000, 1, 1, 0, 0, 0)}) {
    EXPECT_FALSE(OleDateFromReading(r).has_value()) << r.year << "-" << r.month << "-" << r.day;
  }
  for (double bad : {std::nan(""), -std::numeric_limits<double>::infinity(), kMinOleDate - 1.0, kMaxOleDate,
                     kMaxOleDate - 1e-9}) {
    EXPECT_FALSE(ReadingFromOleDate(bad).has_value()) << bad;
  }
  EXPECT_TRUE(ReadingFromOleDate(kMinOleDate - 0.5).has_value());  // noon of the first day
}

TEST(FormatDateTime, Layouts) {
  const double t = *OleDateFromReading(Reading(2022, 1, 2, 3, 4, 5));
  struct Case {
    int layout;
    LocalText text;
  } cases[] = {
      {1, "03:04:05"}, {2, "2022-01-02"}, {3, "2022-01-02 03:04:05"}, {4, "2022-01-0203:04:05"}, {7, ""},
      {0, ""},         {-1, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDateTime(t, "-", ":", c.layout), c.text) << c.layout;
  EXPECT_EQ(FormatDateTime(t), "03:04:05");
  EXPECT_EQ(FormatDateTime(t, "/", ".", 3), "2022/01/02 03.04.05");
  EXPECT_EQ(FormatDateTime(t, "", "", 4), "20220102030405");
  EXPECT_EQ(FormatDateTime(*OleDateFromReading(Reading(2022, 12, 25, 23, 59, 58)), "-", ":", 3),
            "2022-12-25 23:59:58");
  EXPECT_EQ(FormatDateTime(*OleDateFromReading(Reading(305, 11, 10, 10, 0, 0)), "-", ":", 2), "305-11-10");
  EXPECT_EQ(FormatDateTime(std::nan(""), "-", ":", 3), "");
}

// Whole seconds held as doubles read back as the same second, never the one
// before.
TEST(FormatDateTime, WholeSecondsSurviveTheRoundTrip) {
  for (int s = 0; s < 86400; s += 7) {
    const LocalClockReading r = Reading(2022, 3, 15, s / 3600, s / 60 % 60, s % 60);
    char expected[32];
    std::snprintf(expected, sizeof expected, "%02d:%02d:%02d", r.hour, r.minute, r.second);
    ASSERT_EQ(FormatDateTime(*OleDateFromReading(r)), expected);
  }
}

TEST(PadLeftZeros, FillsToTheWidth) {
  struct Case {
    LocalText text;
    int width;
    LocalText out;
  } cases[] = {
      {"", 3, "000"}, {"5", 3, "005"}, {"123", 3, "123"}, {"1234", 3, "1234"},
      {"7", 0, "7"},  {"7", -2, "7"},  {"-1", 4, "00-1"},
  };
  for (const auto& c : cases) EXPECT_EQ(PadLeftZeros(c.text, c.width), c.out) << c.text << "/" << c.width;
}

}  // namespace
}  // namespace lumbrin
