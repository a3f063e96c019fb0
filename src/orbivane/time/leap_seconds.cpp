// Time scales and the leap-second table (see leap_seconds.hpp).
#include "leap_seconds.hpp"

#include "two_part.hpp"

#include <array>
#include <cmath>

namespace orbivane::scales {

namespace {

// TAI - UTC from 00:00 UTC on the first day of a month on, as published by
// the IERS (Bulletin C) and the USNO. Each row after the first follows a
// leap second at the end of the month before.
struct Step {
    int year, month, tai_minus_utc;
};

constexpr Step kSteps[] = {
    {1972, 1, 10}, {1972, 7, 11}, {1973, 1, 12}, {1974, 1, 13}, {1975, 1, 14}, {1976, 1, 15},
    {1977, 1, 16}, {1978, 1, 17}, {1979, 1, 18}, {1980, 1, 19}, {1981, 7, 20}, {1982, 7, 21},
    {1983, 7, 22}, {1985, 7, 23}, {1988, 1, 24}, {1990, 1, 25}, {1991, 1, 26}, {1992, 7, 27},
    {1993, 7, 28}, {1994, 7, 29}, {1996, 1, 30}, {1997, 7, 31}, {1999, 1, 32}, {2006, 1, 33},
    {2009, 1, 34}, {2012, 7, 35}, {2015, 7, 36}, {2017, 1, 37},
};
constexpr int kStepCount = static_cast<int>(std::size(kSteps));

constexpr long long days_since_1970(long long year, long long month) {
    year -= month <= 2;
    const long long era = year / 400;  // years here are positive
    const long long yoe = year - era * 400;
    const long long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

constexpr std::array<long long, kStepCount> kStepDays = [] {
    std::array<long long, kStepCount> days{};
    for (int i = 0; i < kStepCount; ++i) days[i] = days_since_1970(kSteps[i].year, kSteps[i].month);
    return days;
}();
static_assert(kStepDays[0] == kFirstDay && kStepDays[kStepCount - 1] == 17167, "2017-01-01");
static_assert(kSteps[kStepCount - 1].tai_minus_utc == 37);

// The index of the row in force on a UTC day from 1972 on.
int row_of(long long day) noexcept {
    int i = kStepCount - 1;
    while (i > 0 && day < kStepDays[i]) --i;
    return i;
}

// Microseconds as a sum of two doubles of days, hi + lo, to 106 bits.
struct Offset {
    double hi, lo;
};

Offset days_of_microseconds(long long us) noexcept {
    constexpr double kUsPerDay = 86400e6;
    const double exact = static_cast<double>(us);  // |us| < 2**53
    const double hi = exact / kUsPerDay;
    const double lo = std::fma(-hi, kUsPerDay, exact) / kUsPerDay;
    return {hi, lo};
}

// (jd1, jd2) plus an offset, split canonically; jd2 + offset rounds once.
Pair shifted(Pair p, Offset d) noexcept {
    const two_part::Sum s = two_part::two_sum(p.jd2, d.hi);
    const two_part::Split r = two_part::split(s.s + (s.e + d.lo));
    return {p.jd1 + r.whole, r.rest};
}

// Offsets from TAI, in microseconds, of the scales that differ from it by
// constants.
long long microseconds_from_tai(Scale s) noexcept {
    switch (s) {
        case Scale::tt: return 32184000;
        case Scale::gps: return -19000000;
        default: return 0;
    }
}

bool before(Pair a, Pair b) noexcept { return a.jd1 < b.jd1 || (a.jd1 == b.jd1 && a.jd2 < b.jd2); }

// The TAI instant of 00:00 UTC on `day`, when TAI - UTC is `seconds`.
Pair tai_of_midnight(long long day, int seconds) noexcept {
    const two_part::Split r = two_part::split(-0.5 + seconds / 86400.0);
    return {static_cast<double>(day) + 2440588.0 + r.whole, r.rest};
}

Status utc_to(Scale to, Pair in, Pair* out) noexcept {
    const long long day = day_of(in.jd1);
    if (day < kFirstDay) return Status::before_utc;
    const long long us = tai_minus_utc(day) * 1000000LL + microseconds_from_tai(to);
    *out = shifted(in, days_of_microseconds(us));
    return day >= kValidUntilDay ? Status::beyond_table : Status::ok;
}

Status tai_to_utc(Pair tai, Pair* out) noexcept {
    if (before(tai, tai_of_midnight(kFirstDay, kSteps[0].tai_minus_utc))) return Status::before_utc;
    // The row in force at this TAI instant: the last whose midnight it has reached.
    int i = kStepCount - 1;
    while (i > 0 && before(tai, tai_of_midnight(kStepDays[i], kSteps[i].tai_minus_utc))) --i;
    if (i + 1 < kStepCount) {
        // Inside the leap second before the next row's midnight?
        const Pair leap_start = tai_of_midnight(kStepDays[i + 1], kSteps[i].tai_minus_utc);
        if (!before(tai, leap_start)) {
            const double into = two_part::difference(tai.jd1, tai.jd2, leap_start.jd1, leap_start.jd2);
            *out = {static_cast<double>(kStepDays[i + 1] - 1) + 2440588.0, 0.5 + into};
            return Status::ok;
        }
    }
    *out = shifted(tai, days_of_microseconds(-kSteps[i].tai_minus_utc * 1000000LL));
    return day_of(out->jd1) >= kValidUntilDay ? Status::beyond_table : Status::ok;
}

}  // namespace

int tai_minus_utc(long long day) noexcept { return kSteps[row_of(day)].tai_minus_utc; }

bool ends_with_leap_second(long long day) noexcept {
    for (int i = 1; i < kStepCount; ++i)
        if (kStepDays[i] == day + 1) return true;
    return false;
}

long long day_of(double jd1) noexcept {
    const double d = jd1 - 2440588.0;
    if (d < -1e15) return -1000000000000000LL;
    if (d > 1e15) return 1000000000000000LL;
    return static_cast<long long>(d);
}

Status convert(Scale from, Scale to, Pair in, Pair* out) noexcept {
    if (from == to) {
        *out = in;
        return Status::ok;
    }
    if (from == Scale::utc) return utc_to(to, in, out);
    const long long from_tai = microseconds_from_tai(from);
    if (to == Scale::utc) return tai_to_utc(from_tai ? shifted(in, days_of_microseconds(-from_tai)) : in, out);
    *out = shifted(in, days_of_microseconds(microseconds_from_tai(to) - from_tai));
    return Status::ok;
}

}  // namespace orbivane::scales
