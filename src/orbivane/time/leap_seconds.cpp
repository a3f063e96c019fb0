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

// The row in force on each UTC day from 1972 to the table's expiry.
constexpr long long kTableDays = kValidUntilDay - kFirstDay;
constexpr std::array<unsigned char, kTableDays> kRowOfDay = [] {
    std::array<unsigned char, kTableDays> r{};
    for (long long d = 0, i = 0; d < kTableDays; ++d) {
        while (i + 1 < kStepCount && d + kFirstDay >= kStepDays[i + 1]) ++i;
        r[d] = static_cast<unsigned char>(i);
    }
    return r;
}();

// The index of the row in force on a UTC day from 1972 on.
int row_of(long long day) noexcept {
    if (day >= kValidUntilDay) return kStepCount - 1;
    return kRowOfDay[day < kFirstDay ? 0 : day - kFirstDay];
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

// jd2 plus an offset, rounded once: the rest of the shifted instant before
// it is split.
double shifted_rest(Pair p, Offset d) noexcept {
    const two_part::Sum s = two_part::two_sum(p.jd2, d.hi);
    return s.s + (s.e + d.lo);
}

// (jd1, jd2) plus an offset, split canonically.
Pair shifted(Pair p, Offset d) noexcept {
    const two_part::Split r = two_part::split(shifted_rest(p, d));
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

// The TAI instant of 00:00 UTC on `day`, when TAI - UTC is `seconds`.
Pair tai_of_midnight(long long day, int seconds) noexcept {
    const two_part::Split r = two_part::split(-0.5 + seconds / 86400.0);
    return {static_cast<double>(day) + 2440588.0 + r.whole, r.rest};
}

// The offsets that conversions add, made once: from UTC under each row of
// the table to TAI, TT and GPS, and between TAI, TT and GPS; and the TAI
// instants at which each row starts and at which the leap second before
// it starts.
struct Offsets {
    Offset from_utc[kStepCount][4];
    Offset between[4][4];
    Pair row_start[kStepCount];
    Pair leap_start[kStepCount];
};

Offsets offset_table;  // made by prepare(), at the module's execution

const Offsets& offsets() noexcept { return offset_table; }

}  // namespace

void prepare() noexcept {
    offset_table = [] {
        Offsets t{};
        for (int to = 0; to < 4; ++to) {
            const long long us_to = microseconds_from_tai(static_cast<Scale>(to));
            for (int row = 0; row < kStepCount; ++row)
                t.from_utc[row][to] = days_of_microseconds(kSteps[row].tai_minus_utc * 1000000LL + us_to);
            for (int from = 0; from < 4; ++from)
                t.between[from][to] = days_of_microseconds(us_to - microseconds_from_tai(static_cast<Scale>(from)));
        }
        for (int row = 0; row < kStepCount; ++row) {
            t.row_start[row] = tai_of_midnight(kStepDays[row], kSteps[row].tai_minus_utc);
            t.leap_start[row] = tai_of_midnight(kStepDays[row], kSteps[row > 0 ? row - 1 : 0].tai_minus_utc);
        }
        return t;
    }();
}

namespace {

bool before(Pair a, Pair b) noexcept { return a.jd1 < b.jd1 || (a.jd1 == b.jd1 && a.jd2 < b.jd2); }

Status utc_to(Scale to, Pair in, Pair* out) noexcept {
    const long long day = day_of(in.jd1);
    if (day < kFirstDay) return Status::before_utc;
    *out = shifted(in, offsets().from_utc[row_of(day)][static_cast<int>(to)]);
    return day >= kValidUntilDay ? Status::beyond_table : Status::ok;
}

Status tai_to_utc(Pair tai, Pair* out) noexcept {
    const Offsets& o = offsets();
    if (before(tai, o.row_start[0])) return Status::before_utc;
    // The row in force at this TAI instant: the last whose midnight it has
    // reached. The UTC day lies within a minute of the TAI day, so the row
    // of the TAI day is the one, or next to it.
    int i = row_of(day_of(tai.jd1));
    while (i > 0 && before(tai, o.row_start[i])) --i;
    while (i + 1 < kStepCount && !before(tai, o.row_start[i + 1])) ++i;
    if (i + 1 < kStepCount) {
        // Inside the leap second before the next row's midnight?
        const Pair leap_start = o.leap_start[i + 1];
        if (!before(tai, leap_start)) {
            const double into = two_part::difference(tai.jd1, tai.jd2, leap_start.jd1, leap_start.jd2);
            *out = {static_cast<double>(kStepDays[i + 1] - 1) + 2440588.0, 0.5 + into};
            return Status::ok;
        }
    }
    const Offset& d = o.from_utc[i][static_cast<int>(Scale::tai)];
    *out = shifted(tai, {-d.hi, -d.lo});
    return day_of(out->jd1) >= kValidUntilDay ? Status::beyond_table : Status::ok;
}

}  // namespace

bool tai_value(Scale from, Pair in, double* hi, double* lo) noexcept {
    double rest = in.jd2;
    if (from == Scale::utc) {
        const long long day = day_of(in.jd1);
        if (day < kFirstDay) return false;
        rest = shifted_rest(in, offsets().from_utc[row_of(day)][static_cast<int>(Scale::tai)]);
    } else if (from != Scale::tai) {
        rest = shifted_rest(in, offsets().between[static_cast<int>(from)][static_cast<int>(Scale::tai)]);
    }
    // jd1 is a whole number and |rest| < 1: Dekker's fast two-sum is exact.
    const double s = in.jd1 + rest;
    *hi = s + 0.0;
    *lo = (rest - (s - in.jd1)) + 0.0;
    return true;
}

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
    const int f = static_cast<int>(from);
    if (to == Scale::utc)
        return tai_to_utc(from == Scale::tai ? in : shifted(in, offsets().between[f][static_cast<int>(Scale::tai)]), out);
    *out = shifted(in, offsets().between[f][static_cast<int>(to)]);
    return Status::ok;
}

Status convert_many(Scale from, Scale to, const double* jd1, const double* jd2, long long n, long long step,
                    double* out1, double* out2, long long* failed) noexcept {
    bool beyond = false;
    if (from != Scale::utc && to != Scale::utc) {
        // A constant offset.
        const Offset d = offsets().between[static_cast<int>(from)][static_cast<int>(to)];
        for (long long i = 0; i < n; ++i) {
            const Pair p = shifted({jd1[i * step], jd2[i * step]}, d);
            out1[i] = p.jd1;
            out2[i] = p.jd2;
        }
        return Status::ok;
    }
    if (from == Scale::utc) {
        // The offset of the row in force, looked up again only when the day
        // leaves the row's days.
        const Offsets& o = offsets();
        for (long long i = 0; i < n; ++i) {
            const Pair p{jd1[i * step], jd2[i * step]};
            const long long day = day_of(p.jd1);
            if (day < kFirstDay) {
                *failed = i;
                return Status::before_utc;
            }
            beyond |= day >= kValidUntilDay;
            const Pair q = shifted(p, o.from_utc[row_of(day)][static_cast<int>(to)]);
            out1[i] = q.jd1;
            out2[i] = q.jd2;
        }
        return beyond ? Status::beyond_table : Status::ok;
    }
    for (long long i = 0; i < n; ++i) {
        Pair q;
        const Status s = convert(from, to, {jd1[i * step], jd2[i * step]}, &q);
        if (s == Status::before_utc) {
            *failed = i;
            return s;
        }
        beyond |= s == Status::beyond_table;
        out1[i] = q.jd1;
        out2[i] = q.jd2;
    }
    return beyond ? Status::beyond_table : Status::ok;
}

}  // namespace orbivane::scales
