// Fixed-column decoding of two-line element sets.
//
// Each field has one reader for its form: counts (leading blanks, digits),
// decimals (blanks, a sign, digits with a point), the implied-point forms
// of the eccentricity and of the exponent fields, the catalogue number
// with its Alpha-5 letter, the international designator and the epoch.
// Decimal values are converted by std::from_chars, which rounds correctly;
// the implied-point fields are first written out in full ("-.11606e-4").
#include "element_decoding.hpp"

#include "calendar.hpp"
#include "element_ranges.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace orbivane::sgp4 {

namespace {

// A field: its 1-based, inclusive columns and its name in messages.
struct Field {
    int first, last;
    const char* name;
};

constexpr Field kLineNumber{1, 1, "line number"};
constexpr Field kCatalogueNumber{3, 7, "catalogue number"};
constexpr Field kChecksum{69, 69, "checksum"};
// Line 1
constexpr Field kClassification{8, 8, "classification"};
constexpr Field kDesignator{10, 17, "international designator"};
constexpr Field kEpochYear{19, 20, "epoch year"};
constexpr Field kEpochDay{21, 32, "epoch day"};
constexpr Field kMeanMotionDot{34, 43, "mean motion derivative"};
constexpr Field kMeanMotionDdot{45, 52, "mean motion second derivative"};
constexpr Field kBstar{54, 61, "B*"};
constexpr Field kEphemerisType{63, 63, "ephemeris type"};
constexpr Field kElementSetNo{65, 68, "element set number"};
// Line 2
constexpr Field kInclination{9, 16, "inclination"};
constexpr Field kRaOfAscNode{18, 25, "right ascension of the ascending node"};
constexpr Field kEccentricity{27, 33, "eccentricity"};
constexpr Field kArgOfPericenter{35, 42, "argument of perigee"};
constexpr Field kMeanAnomaly{44, 51, "mean anomaly"};
constexpr Field kMeanMotion{53, 63, "mean motion"};
constexpr Field kRevAtEpoch{64, 68, "revolution number"};

// Every field ends by column 68; column 69 holds the checksum.
constexpr int kFieldsEnd = 68;

// The fixed punctuation of each line, checked by strict decoding: the
// blanks between fields and the decimal points of the decimal fields.
struct Mark {
    int column;
    char expected;
    const char* field;
};
constexpr Mark kLine1Marks[] = {
    {2, ' ', "separator"},
    {9, ' ', "separator"},
    {18, ' ', "separator"},
    {24, '.', "epoch day"},
    {33, ' ', "separator"},
    {35, '.', "mean motion derivative"},
    {44, ' ', "separator"},
    {53, ' ', "separator"},
    {62, ' ', "separator"},
    {64, ' ', "separator"},
};
constexpr Mark kLine2Marks[] = {
    {2, ' ', "separator"},
    {8, ' ', "separator"},
    {12, '.', "inclination"},
    {17, ' ', "separator"},
    {21, '.', "right ascension of the ascending node"},
    {26, ' ', "separator"},
    {34, ' ', "separator"},
    {38, '.', "argument of perigee"},
    {43, ' ', "separator"},
    {47, '.', "mean anomaly"},
    {52, ' ', "separator"},
    {55, '.', "mean motion"},
};

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_blank(char c) { return c == ' '; }
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view without_trailing_space(std::string_view s) {
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// One line of the set, with the error record its readers fill.
class Line {
public:
    Line(std::string_view text, int number, DecodeError& error)
        : text_(without_trailing_space(text)), number_(number), error_(error) {}

    std::string_view text() const { return text_; }
    int number() const { return number_; }
    std::string_view operator[](Field f) const {
        return text_.substr(static_cast<std::size_t>(f.first - 1), static_cast<std::size_t>(f.last - f.first + 1));
    }

    // Records what is wrong with the field's text; returns false.
    bool refuse(Field f, std::string problem) const { return refuse(f, (*this)[f], std::move(problem)); }
    bool refuse(Field f, std::string_view text, std::string problem) const {
        error_.line = number_;
        error_.first_column = f.first;
        error_.last_column = f.last;
        error_.field = f.name;
        error_.text.assign(text);
        error_.problem = std::move(problem);
        return false;
    }

private:
    std::string_view text_;
    int number_;
    DecodeError& error_;
};

// ---------------------------------------------------------------------------
// Field readers
// ---------------------------------------------------------------------------

// A count: leading blanks, then digits. All blanks read as 0 where the
// format lets the field be left empty.
bool read_count(const Line& line, Field f, bool may_be_blank, std::int64_t& out) {
    const std::string_view s = line[f];
    std::size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    if (i == s.size() && may_be_blank) {
        out = 0;
        return true;
    }
    if (i == s.size()) return line.refuse(f, "is blank");
    std::int64_t value = 0;
    for (; i < s.size(); ++i) {
        if (!is_digit(s[i])) return line.refuse(f, "is not a whole number");
        value = value * 10 + (s[i] - '0');
    }
    out = value;
    return true;
}

// The catalogue number: five digits (leading blanks allowed), or Alpha-5,
// where a letter stands for the two leading digits: A for 10 up to Z for
// 33, skipping I and O, so that A0000 is 100000 and Z9999 is 339999.
bool read_catalogue_number(const Line& line, std::int64_t& out) {
    const std::string_view s = line[kCatalogueNumber];
    const char letter = s[0];
    if (letter < 'A' || letter > 'Z') return read_count(line, kCatalogueNumber, false, out);
    if (letter == 'I' || letter == 'O')
        return line.refuse(kCatalogueNumber, "is not a catalogue number (Alpha-5 letters skip I and O)");
    std::int64_t value = 10 + (letter - 'A') - (letter > 'I') - (letter > 'O');
    for (std::size_t i = 1; i < s.size(); ++i) {
        if (!is_digit(s[i])) return line.refuse(kCatalogueNumber, "is not a catalogue number");
        value = value * 10 + (s[i] - '0');
    }
    out = value;
    return true;
}

// A decimal number: blanks around it, an optional sign where the field may
// be negative, digits with an optional point. No exponent, no inf or nan.
bool read_decimal(const Line& line, Field f, bool may_be_signed, double& out) {
    const std::string_view s = line[f];
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end && is_blank(*p)) ++p;
    while (end > p && is_blank(end[-1])) --end;
    bool negative = false;
    if (may_be_signed && p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    if (p == end || !(is_digit(*p) || *p == '.')) return line.refuse(f, "is not a number");
    const auto [stop, status] = std::from_chars(p, end, out, std::chars_format::fixed);
    if (status != std::errc() || stop != end) return line.refuse(f, "is not a number");
    if (negative) out = -out;
    return true;
}

// Converts text already checked to be a number of the given form.
double converted(const char* first, const char* last, std::chars_format form) {
    double value = 0.0;
    std::from_chars(first, last, value, form);
    return value;
}

// The eccentricity: seven digits after an implied point.
bool read_eccentricity(const Line& line, double& out) {
    const std::string_view s = line[kEccentricity];
    char text[8] = {'.'};
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!is_digit(s[i])) return line.refuse(kEccentricity, "is not a number");
        text[i + 1] = s[i];
    }
    out = converted(text, text + 8, std::chars_format::fixed);
    return true;
}

// A number in the exponent form " 12345-4" = 0.12345e-4: a sign or blank,
// five digits after an implied point, the exponent's sign and one digit.
bool read_exponent_form(const Line& line, Field f, double& out) {
    const std::string_view s = line[f];
    const bool sign_ok = s[0] == ' ' || s[0] == '+' || s[0] == '-';
    bool digits_ok = true;
    for (std::size_t i = 1; i <= 5; ++i) digits_ok = digits_ok && is_digit(s[i]);
    if (!sign_ok || !digits_ok || !(s[6] == '+' || s[6] == '-') || !is_digit(s[7]))
        return line.refuse(f, "is not a number of the form ' 12345-6' (0.12345e-6)");
    // "-.12345e-6", without the sign when there is none.
    char text[10] = {'-', '.', s[1], s[2], s[3], s[4], s[5], 'e', s[6], s[7]};
    const char* first = s[0] == '-' ? text : text + 1;
    out = converted(first, text + 10, std::chars_format::scientific);
    return true;
}

// The international designator, "98067A  ": the launch year's last two
// digits, the launch number of that year and one to three letters for the
// piece, written out as "1998-067A". Blank columns give "".
bool read_designator(const Line& line, char (&out)[16]) {
    const std::string_view s = line[kDesignator];
    std::size_t blanks = 0;
    while (blanks < s.size() && is_blank(s[s.size() - 1 - blanks])) ++blanks;
    if (blanks == s.size()) {
        out[0] = '\0';
        return true;
    }
    // Five digits, then one to three letters.
    bool ok = blanks <= 2;
    const std::size_t piece = ok ? s.size() - blanks - 5 : 0;
    for (std::size_t i = 0; ok && i < 5; ++i) ok = is_digit(s[i]);
    for (std::size_t i = 5; ok && i < 5 + piece; ++i) ok = s[i] >= 'A' && s[i] <= 'Z';
    if (!ok) return line.refuse(kDesignator, "is not an international designator (YYNNNPPP, as 98067A)");
    const bool twentieth = s[0] > '5' || (s[0] == '5' && s[1] >= '7');
    std::memcpy(out, twentieth ? "19" : "20", 2);
    out[2] = s[0];
    out[3] = s[1];
    out[4] = '-';
    std::memcpy(out + 5, s.data() + 2, 3 + piece);
    out[8 + piece] = '\0';
    return true;
}

// The epoch: a two-digit year (57 to 99 are 1957 to 1999, 00 to 56 are 2000
// to 2056) and the day of the year with its fraction, 1.0 at 0h on
// 1 January. jd1 is the day's 0h, exact; jd2 the fraction, converted from
// its digits alone and so correctly rounded.
bool read_epoch(const Line& line, ElementSet& out) {
    const std::string_view y = line[kEpochYear];
    if (!is_digit(y[0]) || !is_digit(y[1])) return line.refuse(kEpochYear, "is not a two-digit year");
    const int two_digits = (y[0] - '0') * 10 + (y[1] - '0');
    const int year = two_digits >= 57 ? 1900 + two_digits : 2000 + two_digits;

    const std::string_view d = line[kEpochDay];
    std::size_t i = 0;
    while (i < d.size() && is_blank(d[i])) ++i;
    std::size_t end = d.size();
    while (end > i && is_blank(d[end - 1])) --end;
    int day = 0;
    std::size_t day_digits = 0;
    for (; i < end && is_digit(d[i]); ++i, ++day_digits)
        if (day_digits < 3) day = day * 10 + (d[i] - '0');  // more digits are refused below
    const std::size_t point = i;
    if (point < end && d[point] == '.')
        for (++i; i < end && is_digit(d[i]);) ++i;
    if (day_digits == 0 || day_digits > 3 || i != end) return line.refuse(kEpochDay, "is not a day of the year");
    const int last_day = calendar::days_in_year(year);
    if (day < 1 || day > last_day)
        return line.refuse(kEpochDay, "is not a day of " + std::to_string(year) + " (001 to " +
                                          std::to_string(last_day) + ".99999999)");
    out.epoch_jd1 = calendar::jd_of_day_start(year, 1, 1) + static_cast<double>(day - 1);
    out.epoch_jd2 = end - point > 1 ? converted(d.data() + point, d.data() + end, std::chars_format::fixed) : 0.0;
    return true;
}

// ---------------------------------------------------------------------------
// Lines
// ---------------------------------------------------------------------------

// The length, the line number and, in strict mode, the punctuation.
template <std::size_t N>
bool check_layout(const Line& line, const Mark (&marks)[N], bool strict) {
    const std::string_view text = line.text();
    if (text.size() < kFieldsEnd)
        return line.refuse({1, static_cast<int>(text.size()), "line"}, text,
                           "is too short: its fields take columns 1-68");
    if (text[0] != '0' + line.number())
        return line.refuse(kLineNumber, "is not " + std::to_string(line.number()));
    if (!strict) return true;
    for (const Mark& m : marks) {
        const char found = text[static_cast<std::size_t>(m.column - 1)];
        if (found != m.expected)
            return line.refuse({m.column, m.column, m.field},
                               m.expected == ' ' ? "is not the blank the format puts there"
                                                 : "is not the decimal point the format puts there");
    }
    return true;
}

// Modulo-10 sum of columns 1-68: digits count their value, '-' counts 1.
// Written without branches, so that the compiler vectorises it.
int checksum_of(std::string_view text) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < kFieldsEnd; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const unsigned digit = c - unsigned{'0'};
        sum += (digit < 10 ? digit : 0) + (c == '-');
    }
    return static_cast<int>(sum % 10);
}

bool check_checksum(const Line& line) {
    const std::string_view text = line.text();
    if (text.size() <= kFieldsEnd) return line.refuse(kChecksum, "", "is missing (strict validation checks it)");
    const char found = text[kFieldsEnd];
    const int expected = checksum_of(text);
    if (found != '0' + expected)
        return line.refuse(kChecksum, "is not the checksum of columns 1-68, " + std::to_string(expected));
    return true;
}

bool read_classification(const Line& line, char& out) {
    const char c = line[kClassification][0];
    if (c < 'A' || c > 'Z') return line.refuse(kClassification, "is not a classification letter (U, C or S)");
    out = c;
    return true;
}

// One digit; blank reads as 0.
bool read_ephemeris_type(const Line& line, int& out) {
    const char c = line[kEphemerisType][0];
    if (!is_digit(c) && !is_blank(c)) return line.refuse(kEphemerisType, "is not a digit");
    out = is_digit(c) ? c - '0' : 0;
    return true;
}

bool decode_line1(const Line& line, bool strict, ElementSet& out) {
    std::int64_t element_set_no = 0;
    if (!check_layout(line, kLine1Marks, strict) || !read_catalogue_number(line, out.norad_cat_id) ||
        !read_classification(line, out.classification_type) || !read_designator(line, out.object_id) ||
        !read_epoch(line, out) || !read_decimal(line, kMeanMotionDot, true, out.mean_motion_dot) ||
        !read_exponent_form(line, kMeanMotionDdot, out.mean_motion_ddot) ||
        !read_exponent_form(line, kBstar, out.bstar) || !read_ephemeris_type(line, out.ephemeris_type) ||
        !read_count(line, kElementSetNo, true, element_set_no))
        return false;
    out.element_set_no = static_cast<int>(element_set_no);
    return true;
}

bool decode_line2(const Line& line, const Line& first, bool strict, ElementSet& out) {
    std::int64_t catalogue_number = 0;
    if (!check_layout(line, kLine2Marks, strict) || !read_catalogue_number(line, catalogue_number)) return false;
    if (catalogue_number != out.norad_cat_id)
        return line.refuse(kCatalogueNumber, "differs from line 1's catalogue number '" +
                                                 std::string(first[kCatalogueNumber]) + "'");
    return read_decimal(line, kInclination, true, out.inclination) &&
           read_decimal(line, kRaOfAscNode, true, out.ra_of_asc_node) && read_eccentricity(line, out.eccentricity) &&
           read_decimal(line, kArgOfPericenter, true, out.arg_of_pericenter) &&
           read_decimal(line, kMeanAnomaly, true, out.mean_anomaly) &&
           read_decimal(line, kMeanMotion, true, out.mean_motion) &&
           read_count(line, kRevAtEpoch, true, out.rev_at_epoch);
}

// The value checks: the mean motion always (the eccentricity's seven
// digits are in [0, 1) by their form), the angles in strict mode.
bool check_ranges(const Line& second, bool strict, const ElementSet& set) {
    if (!mean_motion_in_range(set.mean_motion)) return second.refuse(kMeanMotion, "is not above zero");
    if (!strict) return true;
    if (!inclination_in_range(set.inclination))
        return second.refuse(kInclination, "is outside [0, 180] degrees");
    const struct {
        Field field;
        double value;
    } angles[] = {{kRaOfAscNode, set.ra_of_asc_node},
                  {kArgOfPericenter, set.arg_of_pericenter},
                  {kMeanAnomaly, set.mean_anomaly}};
    for (const auto& a : angles)
        if (!angle_in_range(a.value)) return second.refuse(a.field, "is outside [0, 360) degrees");
    return true;
}

// The text between single quotes, with the escapes Python's repr uses.
std::string quoted(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string q = "'";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\'' || c == '\\') {
            q += '\\';
            q += c;
        } else if (c == '\t') {
            q += "\\t";
        } else if (c == '\n') {
            q += "\\n";
        } else if (c == '\r') {
            q += "\\r";
        } else if (u < 0x20 || u >= 0x7f) {
            q += "\\x";
            q += kHex[u >> 4];
            q += kHex[u & 15];
        } else {
            q += c;
        }
    }
    return q + "'";
}

}  // namespace

std::string describe(const DecodeError& e) {
    std::string m = "line " + std::to_string(e.line);
    if (e.last_column > e.first_column)
        m += ", columns " + std::to_string(e.first_column) + "-" + std::to_string(e.last_column);
    else if (e.last_column == e.first_column)
        m += ", column " + std::to_string(e.first_column);
    m += " (";
    m += e.field;
    m += "): " + quoted(e.text) + " " + e.problem;
    return m;
}

bool decode_element_lines(std::string_view line1, std::string_view line2, bool strict, ElementSet& out,
                          DecodeError& error) {
    const Line first(line1, 1, error);
    const Line second(line2, 2, error);
    return decode_line1(first, strict, out) && decode_line2(second, first, strict, out) &&
           check_ranges(second, strict, out) && (!strict || (check_checksum(first) && check_checksum(second)));
}

// Text between single quotes, escaped as Python's repr escapes it.
std::string quoted_text(std::string_view text) { return quoted(text); }

}  // namespace orbivane::sgp4
