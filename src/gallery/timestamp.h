#pragma once
// Time stamps for request addresses and the date-time text of log lines, over
// OLE dates: a double counting days since 1899-12-30 00:00 local time, the
// fraction being the time of day. For days before that origin the fraction
// still runs forward (-1.25 is 1899-12-29 06:00), as on the platform the
// format comes from.
//
// All routines are pure functions of their arguments and the clock they are
// given; callable from any thread at once.

#include <cstdint>
#include <optional>

#include "base/text.h"
#include "gallery/clock.h"

namespace lumbrin {

// Dates from year 100 to year 9999 convert; anything else has no OLE date.
inline constexpr double kMinOleDate = -657434.0;  // 0100-01-01 00:00
inline constexpr double kMaxOleDate = 2958466.0;  // 10000-01-01 00:00, excluded

// The OLE date of a reading, milliseconds included. Empty when a field is out
// of range (month 13, 31 April, hour 24, ...). dayOfWeek is ignored.
[[nodiscard]] std::optional<double> OleDateFromReading(const LocalClockReading& reading);
// The reading of an OLE date, rounded to the nearest millisecond, with its day
// of week. Empty for NaN, infinities and dates outside the range above.
[[nodiscard]] std::optional<LocalClockReading> ReadingFromOleDate(double date);

// The clock's current time as an OLE date in whole seconds; 0 when the
// clock's reading is no valid date.
[[nodiscard]] double NowOleDate(const Clock& clock);

// Seconds from 1970-01-01 08:00:00 local time to `time` (default: the clock's
// reading), followed by the clock's milliseconds as three digits: the Unix
// time in milliseconds on a UTC+8 machine. With padTen the seconds are filled
// to ten digits; with tenDigits only the first ten characters of the seconds
// are returned, without milliseconds. The count is 64-bit, so moments after
// 2038-01-19 are counted right. Empty for a time that has no OLE date, or,
// without a time, for a clock reading that is no valid date.
[[nodiscard]] LocalText MakeTimestamp(const Clock& clock, std::optional<double> time = {},
                                      bool tenDigits = false, bool padTen = false);

// Layout 1 "hh:mm:ss", 2 "yyyy-mm-dd", 3 "yyyy-mm-dd hh:mm:ss", 4 the same
// without the blank; any other layout, or a time without OLE date, gives "".
// The separators replace "-" and ":".
[[nodiscard]] LocalText FormatDateTime(double time, LocalView dateSeparator = "-",
                                       LocalView timeSeparator = ":", int layout = 1);

// "0" repeated (width - length) times, then the text; longer texts unchanged.
[[nodiscard]] LocalText PadLeftZeros(LocalView text, int width);

}  // namespace lumbrin
