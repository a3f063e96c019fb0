// The proleptic Gregorian calendar as day counts: dates to days since
// 1970-01-01 and back, and the Julian date of a day's 0h. Pure integer
// arithmetic, valid for every year a long long day count can hold.
#pragma once

namespace orbivane::calendar {

// Julian date of 1970-01-01T00:00.
inline constexpr double kUnixEpochJd = 2440587.5;

struct CivilDate {
    long long year, month, day;
};

constexpr bool is_leap_year(long long year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr int days_in_year(long long year) { return is_leap_year(year) ? 366 : 365; }

constexpr int days_in_month(long long year, int month) {
    constexpr int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : lengths[month - 1];
}

// Whether the date exists: a month 1 to 12 and a day of it.
constexpr bool is_valid_date(long long year, long long month, long long day) {
    return month >= 1 && month <= 12 && day >= 1 && day <= days_in_month(year, static_cast<int>(month));
}

// Days from 1970-01-01 to the given date (negative before it). The year is
// counted from March, so that the leap day ends it; eras are the 400-year
// cycles of 146097 days.
constexpr long long days_from_civil(long long year, long long month, long long day) {
    const long long y = month <= 2 ? year - 1 : year;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long year_of_era = y - era * 400;
    const long long day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const long long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// The date of a day count from 1970-01-01; the inverse of days_from_civil.
constexpr CivilDate civil_from_days(long long days) {
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long day_of_era = z - era * 146097;
    const long long year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long month_from_march = (5 * day_of_year + 2) / 153;
    const long long day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    const long long month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    return {year_of_era + era * 400 + (month <= 2), month, day};
}

// Julian date of 0h on the given date: a whole number plus one half, exact
// for any date within 2^52 days.
constexpr double jd_of_day_start(long long year, long long month, long long day) {
    return static_cast<double>(days_from_civil(year, month, day)) + kUnixEpochJd;
}

static_assert(days_from_civil(1970, 1, 1) == 0 && days_from_civil(2000, 3, 1) == 11017 &&
              days_from_civil(1600, 1, 1) == -135140);
static_assert(civil_from_days(11017).year == 2000 && civil_from_days(11017).month == 3 &&
              civil_from_days(-135140).day == 1);
static_assert(jd_of_day_start(2000, 1, 1) == 2451544.5);
static_assert(is_valid_date(2000, 2, 29) && !is_valid_date(1900, 2, 29) && !is_valid_date(2001, 13, 1));

}  // namespace orbivane::calendar
