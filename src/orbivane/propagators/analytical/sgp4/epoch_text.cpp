// Epochs as calendar text and back, exact to the text's last digit.
#include "epoch_text.hpp"

#include "calendar.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace orbivane::sgp4 {

namespace {

constexpr int kMaxSecondDecimals = 11;

// Reads exactly `count` digits at `pos`; false if any is not a digit.
bool read_digits(std::string_view text, std::size_t pos, std::size_t count, long long& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool at(std::string_view text, std::size_t pos, char c) { return pos < text.size() && text[pos] == c; }

}  // namespace

std::string parse_iso_epoch(std::string_view text, EpochParts& out) {
    static constexpr const char* kForm =
        "is not an epoch of the form YYYY-MM-DDTHH:MM:SS.ffffff (or YYYY-DDDTHH:MM:SS.ffffff)";
    long long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!read_digits(text, 0, 4, year) || !at(text, 4, '-')) return kForm;
    std::size_t pos = 5;
    long long day_start = 0;  // days from 1970-01-01 to the epoch's day
    if (at(text, 7, '-')) {
        if (!read_digits(text, 5, 2, month) || !read_digits(text, 8, 2, day)) return kForm;
        if (month < 1 || month > 12) return "has no month " + std::to_string(month);
        if (day < 1 || day > calendar::days_in_month(year, static_cast<int>(month)))
            return "has no day " + std::to_string(day) + " in its month";
        day_start = calendar::days_from_civil(year, month, day);
        pos = 10;
    } else {
        if (!read_digits(text, 5, 3, day)) return kForm;
        if (day < 1 || day > calendar::days_in_year(year))
            return "has no day " + std::to_string(day) + " in " + std::to_string(year);
        day_start = calendar::days_from_civil(year, 1, 1) + day - 1;
        pos = 8;
    }
    if (!(at(text, pos, 'T') || at(text, pos, ' ')) || !read_digits(text, pos + 1, 2, hour) ||
        !at(text, pos + 3, ':') || !read_digits(text, pos + 4, 2, minute) || !at(text, pos + 6, ':') ||
        !read_digits(text, pos + 7, 2, second))
        return kForm;
    if (hour > 23 || minute > 59 || second > 59) return "is not a time of day (00:00:00 to 23:59:59.9...)";
    pos += 9;
    // The time of day in units of 10^-decimals seconds, exact.
    long long units = (hour * 60 + minute) * 60 + second;
    long long unit_per_second = 1;
    if (at(text, pos, '.')) {
        ++pos;
        std::size_t decimals = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (++decimals > kMaxSecondDecimals) return "has more than 11 decimals of a second";
            units = units * 10 + (text[pos++] - '0');
            unit_per_second *= 10;
        }
        if (decimals == 0) return kForm;
    }
    if (at(text, pos, 'Z')) ++pos;
    if (pos != text.size()) return kForm;
    // Both operands are integers below 2^53, so the quotient is rounded once.
    out.jd1 = static_cast<double>(day_start) + calendar::kUnixEpochJd;
    out.jd2 = static_cast<double>(units) / static_cast<double>(86400 * unit_per_second);
    return {};
}

std::string iso_text_ms(EpochParts epoch) {
    auto days = static_cast<long long>(std::floor(epoch.jd1 - calendar::kUnixEpochJd));
    auto ms = static_cast<long long>(std::nearbyint(epoch.jd2 * 86400000.0));
    days += ms / 86400000;
    ms %= 86400000;
    const calendar::CivilDate date = calendar::civil_from_days(days);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lld", date.year,
                  date.month, date.day, ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
    return buffer;
}

}  // namespace orbivane::sgp4
