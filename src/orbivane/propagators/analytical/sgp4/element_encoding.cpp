// Two-line text of an element set, field by field in the format's columns.
//
// Decimal fields are written by snprintf, which rounds the double's exact
// value correctly; a value decoded from text is thus written back with the
// digits it was read from.
#include "element_encoding.hpp"

#include "calendar.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orbivane::sgp4 {

namespace {

// The two-digit years of the format: 57 to 99 are 1957 to 1999, 00 to 56
// are 2000 to 2056.
constexpr long long kFirstYear = 1957;
constexpr long long kLastYear = 2056;

// Column 1-based, as the format's layout counts.
void put(char* line, int column, const char* text, std::size_t width) {
    std::memcpy(line + column - 1, text, width);
}

// The value as Python's repr writes it: the shortest digits that read back
// as the value, positional for decimal exponents from -4 to 15.
std::string shortest(double value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    std::string text(buffer, end);  // "-1.2345e+09", "1e-05", "inf"
    const std::size_t e = text.find('e');
    if (e == std::string::npos) return text;
    const int exponent = std::atoi(text.c_str() + e + 1);
    if (exponent < -4 || exponent > 15) return text;
    const bool negative = text[0] == '-';
    std::string digits;
    for (std::size_t i = negative; i < e; ++i)
        if (text[i] != '.') digits += text[i];
    std::string fixed;
    if (exponent < 0) {
        fixed = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else {
        const auto whole = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() < whole) digits.append(whole - digits.size(), '0');
        fixed = digits.substr(0, whole) + "." + (digits.size() > whole ? digits.substr(whole) : "0");
    }
    return (negative ? "-" : "") + fixed;
}

std::string does_not_fit(const char* field, double value, const char* columns) {
    return std::string(field) + " " + shortest(value) + " does not fit columns " + columns + " of two-line text";
}

// The value with `decimals` decimals, right-aligned in exactly `width`
// columns; false when it takes more.
bool put_fixed(char* line, int column, int width, int decimals, double value) {
    char buffer[400];
    const int n = std::snprintf(buffer, sizeof buffer, "%*.*f", width, decimals, value);
    if (n != width) return false;
    put(line, column, buffer, static_cast<std::size_t>(width));
    return true;
}

// " .00002182" or "-.00002182": a sign or blank, a point and eight digits.
bool put_signed_fraction(char* line, int column, double value) {
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.8f", std::fabs(value));
    if (std::strncmp(buffer, "0.", 2) != 0) return false;
    buffer[0] = std::signbit(value) ? '-' : ' ';
    put(line, column, buffer, 10);
    return true;
}

// " 12345-6", 0.12345e-6: a sign or blank, five digits after an implied
// point, the exponent's sign and one digit. Values below 1e-10 are written
// with exponent -9 and leading zeros, rounded as the columns allow.
bool put_exponent_form(char* line, int column, double value) {
    char text[9] = " 00000+0";
    const double magnitude = std::fabs(value);
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.4e", magnitude);  // "1.1606e-05"
    long exponent = std::strtol(buffer + 7, nullptr, 10) + 1;
    if (exponent > 9) return false;
    const char* digits = buffer;
    if (exponent < -9) {
        std::snprintf(buffer, sizeof buffer, "%.14f", magnitude);  // "0.00000000012345"
        digits = buffer + 11;
        exponent = -9;
    } else {
        buffer[1] = buffer[0];  // "11606e-05": the five digits together
        digits = buffer + 1;
    }
    if (magnitude > 0.0 && std::strncmp(digits, "00000", 5) != 0) {
        text[0] = std::signbit(value) ? '-' : ' ';
        std::memcpy(text + 1, digits, 5);
        text[6] = exponent < 0 ? '-' : '+';
        text[7] = static_cast<char>('0' + std::labs(exponent));
    }
    put(line, column, text, 8);
    return true;
}

// The epoch as "YYDDD.DDDDDDDD": the year's last two digits and the day of
// the year with eight decimals.
std::string put_epoch(char* line, const ElementSet& set) {
    long long units = std::llround(set.epoch_jd2 * 1e8);  // 1e-8 of a day
    long long days = std::llround(set.epoch_jd1 - calendar::kUnixEpochJd);
    if (units >= 100000000) {
        units -= 100000000;
        days += 1;
    }
    const long long year = calendar::civil_from_days(days).year;
    if (year < kFirstYear || year > kLastYear)
        return "epoch year " + std::to_string(year) + " is outside 1957-2056, the years two-line text can carry";
    const long long day_of_year = days - calendar::days_from_civil(year, 1, 1) + 1;
    char buffer[72];  // room for any long long in every field
    std::snprintf(buffer, sizeof buffer, "%02lld%03lld.%08lld", year % 100, day_of_year, units);
    put(line, 19, buffer, 14);
    return {};
}

// "1998-067A" as "98067A  "; blanks when there is none.
std::string put_designator(char* line, const char* object_id) {
    const std::size_t length = std::strlen(object_id);
    if (length == 0) return {};
    const long year = std::strtol(object_id, nullptr, 10);
    if (length < 9 || year < kFirstYear || year > kLastYear)
        return std::string("object_id '") + object_id +
               "' has a launch year outside 1957-2056, the years two-line text can carry";
    char text[9] = "        ";
    std::memcpy(text, object_id + 2, 2);
    std::memcpy(text + 2, object_id + 5, length - 5);
    put(line, 10, text, 8);
    return {};
}

// Modulo-10 sum of columns 1-68: digits count their value, '-' counts 1.
char checksum(const char* line) {
    int sum = 0;
    for (int i = 0; i < 68; ++i) {
        const char c = line[i];
        sum += c >= '0' && c <= '9' ? c - '0' : c == '-';
    }
    return static_cast<char>('0' + sum % 10);
}

}  // namespace

bool catalogue_number_text(std::int64_t number, char (&out)[6]) {
    static constexpr char kAlpha5Letters[] = "ABCDEFGHJKLMNPQRSTUVWXYZ";  // 10 to 33: no I, no O
    if (number < 0 || number > 339999) return false;
    if (number < 100000) {
        std::snprintf(out, sizeof out, "%05d", static_cast<int>(number));
    } else {
        out[0] = kAlpha5Letters[number / 10000 - 10];
        std::snprintf(out + 1, sizeof out - 1, "%04d", static_cast<int>(number % 10000));
    }
    return true;
}

std::string encode_element_lines(const ElementSet& s, ElementLines& out) {
    char* l1 = out.line1;
    char* l2 = out.line2;
    std::memset(l1, ' ', 69);
    std::memset(l2, ' ', 69);
    l1[69] = l2[69] = '\0';
    l1[0] = '1';
    l2[0] = '2';

    char number[6];
    if (!catalogue_number_text(s.norad_cat_id, number))
        return "norad_cat_id " + std::to_string(s.norad_cat_id) +
               " is above 339999 (Z9999), the highest catalogue number two-line text can carry";
    put(l1, 3, number, 5);
    put(l2, 3, number, 5);
    l1[7] = s.classification_type;
    if (std::string problem = put_designator(l1, s.object_id); !problem.empty()) return problem;
    if (std::string problem = put_epoch(l1, s); !problem.empty()) return problem;
    if (!put_signed_fraction(l1, 34, s.mean_motion_dot))
        return does_not_fit("mean_motion_dot", s.mean_motion_dot, "34-43 (' .12345678')");
    if (!put_exponent_form(l1, 45, s.mean_motion_ddot))
        return does_not_fit("mean_motion_ddot", s.mean_motion_ddot, "45-52 (' 12345-6')");
    if (!put_exponent_form(l1, 54, s.bstar)) return does_not_fit("bstar", s.bstar, "54-61 (' 12345-6')");
    l1[62] = static_cast<char>('0' + s.ephemeris_type);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%4d", s.element_set_no);
    put(l1, 65, buffer, 4);
    l1[68] = checksum(l1);

    const struct {
        const char* field;
        double value;
        int column, width, decimals;
        const char* columns;
    } decimals[] = {{"inclination", s.inclination, 9, 8, 4, "9-16"},
                    {"ra_of_asc_node", s.ra_of_asc_node, 18, 8, 4, "18-25"},
                    {"arg_of_pericenter", s.arg_of_pericenter, 35, 8, 4, "35-42"},
                    {"mean_anomaly", s.mean_anomaly, 44, 8, 4, "44-51"},
                    {"mean_motion", s.mean_motion, 53, 11, 8, "53-63"}};
    for (const auto& d : decimals)
        if (!put_fixed(l2, d.column, d.width, d.decimals, d.value)) return does_not_fit(d.field, d.value, d.columns);
    std::snprintf(buffer, sizeof buffer, "%.7f", s.eccentricity);  // "0.0006703"
    if (buffer[0] != '0') return does_not_fit("eccentricity", s.eccentricity, "27-33 (seven decimals)");
    put(l2, 27, buffer + 2, 7);
    std::snprintf(buffer, sizeof buffer, "%5lld", static_cast<long long>(s.rev_at_epoch % 100000));
    put(l2, 64, buffer, 5);
    l2[68] = checksum(l2);
    return {};
}

}  // namespace orbivane::sgp4
