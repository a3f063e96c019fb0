// ISO 8601 text read and written (see iso_text.hpp).
#include "iso_text.hpp"

#include <cstdlib>
#include <cstring>

namespace orbivane::calendar {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `count` digits at `*p`.
bool digits(const char*& p, const char* end, int count, long long* value) {
    long long v = 0;
    for (int i = 0; i < count; ++i, ++p) {
        if (p >= end || !is_digit(*p)) return false;
        v = v * 10 + (*p - '0');
    }
    *value = v;
    return true;
}

}  // namespace

const char* parse_iso(const char* text, std::size_t n, ParsedInstant* out) noexcept {
    const char* p = text;
    const char* end = text + n;
    long long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int sign = 1;
    if (p < end && (*p == '+' || *p == '-')) {
        sign = *p == '-' ? -1 : 1;
        ++p;
        const char* start = p;
        while (p < end && is_digit(*p) && p - start < 12) year = year * 10 + (*p++ - '0');
        if (p - start < 4) return "a signed year needs at least four digits";
        year *= sign;
    } else if (!digits(p, end, 4, &year)) {
        return "expected a date YYYY-MM-DD";
    }
    if (p >= end || *p++ != '-' || !digits(p, end, 2, &month) || p >= end || *p++ != '-' ||
        !digits(p, end, 2, &day))
        return "expected a date YYYY-MM-DD";
    if (!is_valid_date(year, month, day)) return "no such day in the calendar";
    out->fraction = 0.0;
    out->has_zone = false;
    out->zone_minutes = 0;
    if (p < end && (*p == 'T' || *p == ' ')) {
        ++p;
        if (!digits(p, end, 2, &hour) || p >= end || *p++ != ':' || !digits(p, end, 2, &minute))
            return "expected a time hh:mm after the date";
        if (p < end && *p == ':') {
            ++p;
            if (!digits(p, end, 2, &second)) return "expected seconds ss after hh:mm:";
            if (p < end && (*p == '.' || *p == ',')) {
                // The fraction is read as the decimal it is, correctly rounded.
                char buf[40] = "0.";
                std::size_t k = 2;
                ++p;
                if (p >= end || !is_digit(*p)) return "expected digits after the decimal point";
                while (p < end && is_digit(*p)) {
                    if (k < sizeof buf - 1) buf[k++] = *p;
                    ++p;
                }
                buf[k] = '\0';
                out->fraction = std::strtod(buf, nullptr);
                if (out->fraction >= 1.0) out->fraction = 0x1.fffffffffffffp-1;
            }
        }
        if (hour > 23 || minute > 59 || second > 60) return "hour, minute or second out of range";
        if (p < end && *p == 'Z') {
            ++p;
            out->has_zone = true;
        } else if (p < end && (*p == '+' || *p == '-')) {
            const int zsign = *p++ == '-' ? -1 : 1;
            long long zh = 0, zm = 0;
            if (!digits(p, end, 2, &zh)) return "expected a zone offset +hh:mm";
            if (p < end && *p == ':') ++p;
            if (p < end && !digits(p, end, 2, &zm)) return "expected a zone offset +hh:mm";
            if (zh > 23 || zm > 59) return "zone offset out of range";
            out->has_zone = true;
            out->zone_minutes = static_cast<int>(zsign * (zh * 60 + zm));
        }
    }
    if (p != end) return "unexpected text after the date and time";
    out->days = days_from_civil(year, month, day);
    out->second = hour * 3600 + minute * 60 + second;
    out->leap_second = second == 60;
    return nullptr;
}

bool parse_year(const char* text, std::size_t n, long* year) noexcept {
    if (n < 1 || n > 4) return false;
    long v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!is_digit(text[i])) return false;
        v = v * 10 + (text[i] - '0');
    }
    *year = v;
    return true;
}

namespace {

char* put2(char* p, long long v) {
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
    return p + 2;
}

}  // namespace

int format_iso(char* out, long long days, long long ms_of_day) noexcept {
    const bool leap = ms_of_day >= 86400000;
    const long long ms = leap ? ms_of_day - 86400000 + 86399000 : ms_of_day;
    const CivilDate c = civil_from_days(days);
    char* p = out;
    if (c.year >= 0 && c.year <= 9999) {
        for (long long v = c.year, i = 3; i >= 0; --i, v /= 10) p[i] = static_cast<char>('0' + v % 10);
        p += 4;
    } else {
        char digits_buf[24];
        long long v = c.year < 0 ? -c.year : c.year;
        int k = 0;
        do {
            digits_buf[k++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        *p++ = c.year < 0 ? '-' : '+';
        while (k < 4) digits_buf[k++] = '0';
        while (k) *p++ = digits_buf[--k];
    }
    *p++ = '-';
    p = put2(p, c.month);
    *p++ = '-';
    p = put2(p, c.day);
    *p++ = 'T';
    p = put2(p, ms / 3600000);
    *p++ = ':';
    p = put2(p, ms / 60000 % 60);
    *p++ = ':';
    p = put2(p, leap ? 60 : ms / 1000 % 60);
    *p++ = '.';
    const long long milli = ms % 1000;
    *p++ = static_cast<char>('0' + milli / 100);
    *p++ = static_cast<char>('0' + milli / 10 % 10);
    *p++ = static_cast<char>('0' + milli % 10);
    *p = '\0';
    return static_cast<int>(p - out);
}

}  // namespace orbivane::calendar
