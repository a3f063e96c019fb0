// Time scales and the leap-second table.
//
// TAI, TT and GPS time differ by constant offsets (TT = TAI + 32.184 s,
// GPS = TAI - 19 s). UTC differs from TAI by a whole number of seconds that
// grows by one at each leap second, as the IERS announces in Bulletin C;
// the table below holds every value since 1972, when UTC took whole
// seconds. Earlier UTC, whose offset drifted by fractions of a second, is
// refused.
//
// A UTC Time names its civil day with jd1 (the Julian date of the day's
// noon) and runs jd2 from -0.5 at midnight to 0.5 at the next; during a
// leap second, 23:59:60, jd2 runs on from 0.5 to 0.5 + 1/86400 with jd1
// still naming the day. Such a pair sorts after every other instant of its
// day and before the next day, and jd1 + jd2 reads as the next day's first
// second, as POSIX time does.
//
// Nothing here touches the interpreter.
#pragma once

namespace orbivane::scales {

// The scales a Time may be labelled with; the first four convert.
enum class Scale : int { utc, tai, tt, gps, tcb, tcg, tdb, ut1 };
constexpr int kScaleCount = 8;
inline bool converts(Scale s) noexcept { return static_cast<int>(s) <= static_cast<int>(Scale::gps); }

struct Pair {
    double jd1, jd2;
};

// Outcome of a conversion.
enum class Status : int {
    ok,
    beyond_table,  // a UTC instant on or after the table's last day of validity: converted, with a warning
    before_utc,    // a UTC instant (or its TAI image) before 1972: refused
};

// Days since 1970-01-01 of the first day on which the table may no longer
// hold: the expiry date of the IERS list that follows Bulletin C 72 (July
// 2026), which announced no leap second at the end of December 2026.
constexpr long long kValidUntilDay = 20997;  // 2027-06-28
constexpr const char* kValidUntilText = "2027-06-28";
constexpr long long kFirstDay = 730;          // 1972-01-01

// Makes the offsets that conversions add; once, before any conversion.
void prepare() noexcept;

// TAI - UTC in seconds on a UTC civil day (days since 1970-01-01), from
// 1972 on.
int tai_minus_utc(long long day) noexcept;

// Whether a UTC civil day ends with a leap second.
bool ends_with_leap_second(long long day) noexcept;

// The civil day that jd1 names (days since 1970-01-01), or a value outside
// every table when jd1 is far away.
long long day_of(double jd1) noexcept;

// Converts one instant between scales that convert. The result is split
// canonically, except for a UTC result inside a leap second (see above).
Status convert(Scale from, Scale to, Pair in, Pair* out) noexcept;

// The instant in TAI as the nearest double to its Julian date and the
// exact rest (hi + lo): a function of the instant alone, however its pairs
// are split, and cheaper than the converted pair. False for UTC before 1972.
bool tai_value(Scale from, Pair in, double* hi, double* lo) noexcept;

// Converts n instants (jd1[i * step], jd2[i * step]) into out1[i], out2[i].
// Stops at the first instant refused (before_utc, its index in *failed);
// else beyond_table when any instant was, ok otherwise.
Status convert_many(Scale from, Scale to, const double* jd1, const double* jd2, long long n, long long step,
                    double* out1, double* out2, long long* failed) noexcept;

}  // namespace orbivane::scales
