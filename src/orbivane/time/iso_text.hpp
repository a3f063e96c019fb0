// ISO 8601 text read and written, on the proleptic Gregorian calendar of
// calendar.hpp.
//
// Dates are counted in days since 1970-01-01; the Julian date of noon on
// day d is d + 2440588, so that the whole part of a Time (jd1) names its
// civil day. Nothing here touches the interpreter.
#pragma once

#include "calendar.hpp"

#include <cstddef>
#include <cstdint>

namespace orbivane::calendar {

constexpr double kNoonOfDayZero = 2440588.0;  // JD of 1970-01-01T12:00
constexpr double kMjdZero = 2400000.5;        // JD of MJD 0

// Time of day as read from a text: a whole number of seconds since midnight
// (86400 during a leap second, 23:59:60) and the fraction of a second.
struct ParsedInstant {
    long long days;          // the civil day, in the text's zone
    long long second;        // second of the day, 0..86400
    double fraction;         // fraction of the second, [0, 1)
    int zone_minutes;        // offset east of UTC, when has_zone
    bool has_zone;           // "Z" or an offset was given
    bool leap_second;        // the seconds field read 60
};

// Reads ISO 8601 calendar text: "YYYY-MM-DD", optionally followed by "T"
// (or a blank) and "hh:mm", "hh:mm:ss" or "hh:mm:ss.fff..." (a comma may
// stand for the point), then optionally "Z" or an offset "+hh:mm", "+hhmm"
// or "+hh". Years have four digits, or a sign and at least four. Returns
// null on success, else what was wrong (a static message).
const char* parse_iso(const char* text, std::size_t n, ParsedInstant* out) noexcept;

// A year text of one to four ASCII digits; false for anything else.
bool parse_year(const char* text, std::size_t n, long* year) noexcept;

// Writes "YYYY-MM-DDThh:mm:ss.fff" (a signed year outside 0..9999) for a
// civil day and a millisecond of the day, 0..86400999: from 86400000 on,
// the day's leap second, 23:59:60. Returns the length; `out` has room for
// 32 characters.
int format_iso(char* out, long long days, long long ms_of_day) noexcept;

}  // namespace orbivane::calendar
