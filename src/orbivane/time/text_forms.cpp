// Times from text (a year, ISO 8601) and from datetimes.
#include "forms.hpp"

#include "iso_text.hpp"
#include "two_part.hpp"

#include <cmath>

namespace orbivane::time {

namespace {

int pair_of_datetime_in(PyObject* v, Scale scale, const char* argument, Pair* out) {
    if (scale != Scale::utc) {
        PyErr_Format(PyExc_ValueError,
                     "Time() argument '%s' is a datetime, which names a UTC instant, but scale is %R (convert "
                     "with .%U instead)",
                     argument, scale_name(scale), scale_name(scale));
        return -1;
    }
    return pair_of_datetime(v, argument, out);
}

}  // namespace

// A text in a scale: a year of one to four digits, or ISO 8601 (zoned text
// only in UTC). `argument` names it in errors ("val" or "val[3]").
int pair_of_text(PyObject* text, Format f, Scale scale, const char* argument, Pair* out) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_IS_ASCII(text) ? PyUnicode_AsUTF8AndSize(text, &n) : nullptr;
    long year;
    if (s && f != Format::iso && calendar::parse_year(s, static_cast<std::size_t>(n), &year)) {
        *out = {static_cast<double>(calendar::days_from_civil(year, 1, 1)) + calendar::kNoonOfDayZero, -0.5};
        return 0;
    }
    if (f == Format::year) {
        PyErr_Format(PyExc_ValueError, "Time() expects a year of one to four digits, such as '2021'; got %R", text);
        return -1;
    }
    calendar::ParsedInstant t;
    const char* why = s ? calendar::parse_iso(s, static_cast<std::size_t>(n), &t) : "not ASCII text";
    if (why) {
        PyErr_Format(PyExc_ValueError,
                     "Time() argument '%s' is %R: neither a year of one to four digits, such as '2021', nor ISO "
                     "8601 text such as '2021-05-03T12:00:00Z' (%s)",
                     argument, text, why);
        return -1;
    }
    if (t.has_zone && scale != Scale::utc) {
        PyErr_Format(PyExc_ValueError,
                     "Time() argument '%s' is %R: its zone places it in UTC, but scale is %R (convert with .%U "
                     "instead)",
                     argument, text, scale_name(scale), scale_name(scale));
        return -1;
    }
    long long day = t.days;
    // The second of the day in UTC. A leap second is placed as the second
    // after 23:59:59 UTC, whatever the zone.
    long long second = (t.leap_second ? t.second - 1 : t.second) - t.zone_minutes * 60LL;
    while (second < 0) second += 86400, --day;
    while (second >= 86400) second -= 86400, ++day;
    if (t.leap_second) {
        if (scale != Scale::utc || second != 86399 || !scales::ends_with_leap_second(day)) {
            PyErr_Format(PyExc_ValueError, "Time() argument '%s' is %R: %s", argument, text,
                         scale != Scale::utc ? "only UTC has leap seconds"
                                             : "no leap second follows that minute (see the leap-second table)");
            return -1;
        }
        second = 86400;
    }
    // jd2 = (second - 43200 + fraction) / 86400, nearly correctly rounded.
    const double a = static_cast<double>(second - 43200), fa = a / 86400.0;
    const double ea = std::fma(-fa, 86400.0, a) / 86400.0;
    const double fb = t.fraction / 86400.0;
    const double eb = std::fma(-fb, 86400.0, t.fraction) / 86400.0;
    const two_part::Sum sum = two_part::two_sum(fa, fb);
    const double rest = sum.s + (sum.e + (ea + eb));
    const double whole = static_cast<double>(day) + calendar::kNoonOfDayZero;
    if (t.leap_second) {
        *out = {whole, rest};  // jd2 from 0.5 on: the day's leap second
    } else {
        const two_part::Split sp = two_part::split(rest);
        *out = {whole + sp.whole, sp.rest};
    }
    return 0;
}

// One item of any form but numbers: a text or a datetime.
int pair_of_item(PyObject* v, Format f, Scale scale, const char* argument, Pair* out) {
    if (PyUnicode_Check(v) && (f == Format::none || f == Format::iso || f == Format::year))
        return pair_of_text(v, f, scale, argument, out);
    if (is_datetime(v) && (f == Format::none || f == Format::datetime))
        return pair_of_datetime_in(v, scale, argument, out);
    if (f == Format::none && (PyNumber_Check(v) && !PyBool_Check(v) && !PyUnicode_Check(v))) {
        PyErr_Format(PyExc_TypeError,
                     "Time() needs format='jd', 'mjd' or 'unix' to read a number; argument '%s' is %R", argument, v);
        return -1;
    }
    PyErr_Format(PyExc_TypeError,
                 "Time() takes a year or ISO 8601 text, an aware datetime, or numbers with format='jd', 'mjd' "
                 "or 'unix'; argument '%s' is '%.200s'%s%s",
                 argument, Py_TYPE(v)->tp_name, f == Format::none ? "" : " for format ", f == Format::none ? "" : format_text(f));
    return -1;
}

}  // namespace orbivane::time
