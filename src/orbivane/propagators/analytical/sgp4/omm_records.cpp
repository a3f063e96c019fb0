// Element sets from and to the fields of OMM records.
//
// Numbers come as JSON numbers (one provider's form) or as text (the
// other's, and every field of CSV, XML and KVN). Text is read by
// std::from_chars, which rounds correctly, as json.loads does for numbers:
// the same digits give the same double either way.
#include "omm_records.hpp"

#include "calendar.hpp"
#include "element_fields.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace nb = nanobind;

namespace orbivane::sgp4 {

const char* const kOmmKeyNames[kOmmKeys] = {
    "OBJECT_NAME", "OBJECT_ID", "EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE",
    "ARG_OF_PERICENTER", "MEAN_ANOMALY", "EPHEMERIS_TYPE", "CLASSIFICATION_TYPE", "NORAD_CAT_ID",
    "ELEMENT_SET_NO", "REV_AT_EPOCH", "BSTAR", "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT",
    "CENTER_NAME", "REF_FRAME", "TIME_SYSTEM", "MEAN_ELEMENT_THEORY"};

namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The value's repr, as the message shows it.
std::string repr_of(PyObject* value) {
    const nb::str r = nb::steal<nb::str>(PyObject_Repr(value));
    return r.c_str();
}

[[noreturn]] void refuse(OmmKey key, PyObject* value, const char* problem) {
    throw RecordRefused{std::string(kOmmKeyNames[key]) + ": " + repr_of(value) + " " + problem};
}

// The text of a str value without the blanks around it; false for a
// value that is no str.
bool text_of(PyObject* value, std::string_view& out) {
    if (!PyUnicode_Check(value)) return false;
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &length);
    if (!text) throw nb::python_error();
    std::string_view s(text, static_cast<std::size_t>(length));
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    out = s;
    return true;
}

bool is_absent(PyObject* value) {
    std::string_view text;
    return value == nullptr || value == Py_None || (text_of(value, text) && text.empty());
}

// A real number: a JSON number, or decimal text with an optional sign and
// exponent ("-.11606E-4"). No inf or nan.
double real_of(OmmKey key, PyObject* value) {
    if (PyFloat_Check(value)) return PyFloat_AS_DOUBLE(value);
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        const double d = PyLong_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            refuse(key, value, "is too large");
        }
        return d;
    }
    std::string_view text;
    if (!text_of(value, text)) refuse(key, value, "is not a number");
    const char* p = text.data();
    const char* end = p + text.size();
    const bool plus = p < end && *p == '+';
    p += plus;  // from_chars takes a minus sign only
    const char* digits = !plus && p < end && *p == '-' ? p + 1 : p;
    if (digits == end || !(is_digit(*digits) || *digits == '.')) refuse(key, value, "is not a number");
    double d = 0.0;
    const auto [stop, status] = std::from_chars(p, end, d, std::chars_format::general);
    if (status != std::errc() || stop != end) refuse(key, value, "is not a number (in the range of doubles)");
    return d;
}

// A whole number: a JSON integer, or digits with an optional sign.
std::int64_t count_of(OmmKey key, PyObject* value) {
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) refuse(key, value, "is too large");
        return n;
    }
    std::string_view text;
    if (!text_of(value, text)) refuse(key, value, "is not a whole number");
    std::size_t i = !text.empty() && (text[0] == '+' || text[0] == '-');
    const bool negative = i && text[0] == '-';
    if (i == text.size() || text.size() - i > 18) refuse(key, value, "is not a whole number");
    std::int64_t n = 0;
    for (; i < text.size(); ++i) {
        if (!is_digit(text[i])) refuse(key, value, "is not a whole number");
        n = n * 10 + (text[i] - '0');
    }
    return negative ? -n : n;
}

// The value as a str without blanks around it, for the constructor's
// checks of text fields; None when absent.
nb::object stripped_text(OmmKey key, PyObject* value) {
    if (is_absent(value)) return nb::none();
    std::string_view text;
    if (!text_of(value, text)) refuse(key, value, "is not text");
    return nb::str(text.data(), text.size());
}

// Metadata that, when given, must say what element sets are: SGP4 mean
// elements about the Earth, in TEME, with a UTC epoch.
void check_metadata(PyObject* const (&values)[kOmmKeys]) {
    const struct {
        OmmKey key;
        std::initializer_list<std::string_view> allowed;
        const char* problem;
    } rules[] = {
        {kCenterName, {"EARTH"}, "is not EARTH, the centre of SGP4 elements"},
        {kRefFrame, {"TEME"}, "is not TEME, the frame of SGP4 elements"},
        {kTimeSystem, {"UTC"}, "is not UTC, the time system of element-set epochs"},
        {kMeanElementTheory, {"SGP4", "SDP4", "SGP/SGP4", "SGP4/SDP4"}, "is not SGP4: these are other mean elements"},
    };
    for (const auto& rule : rules) {
        PyObject* value = values[rule.key];
        if (is_absent(value)) continue;
        std::string_view text;
        if (!text_of(value, text)) refuse(rule.key, value, "is not text");
        bool allowed = false;
        for (const std::string_view a : rule.allowed) allowed = allowed || text == a;
        if (!allowed) refuse(rule.key, value, rule.problem);
    }
}

// "2008-09-20T12:25:40.104192": the epoch to the nearest microsecond.
std::string iso_text_us(double jd1, double jd2) {
    constexpr long long kMicrosecondsPerDay = 86400LL * 1000000LL;
    long long days = std::llround(jd1 - calendar::kUnixEpochJd);
    long long us = std::llround(jd2 * static_cast<double>(kMicrosecondsPerDay));
    days += us / kMicrosecondsPerDay;
    us %= kMicrosecondsPerDay;
    const calendar::CivilDate date = calendar::civil_from_days(days);
    const long long seconds = us / 1000000;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%06lld", date.year, date.month,
                  date.day, seconds / 3600, seconds / 60 % 60, seconds % 60, us % 1000000);
    return buffer;
}

}  // namespace

nb::object elements_of_record(PyObject* const (&values)[kOmmKeys]) {
    static constexpr OmmKey kRequired[] = {kNoradCatId,   kEpoch,         kMeanMotion,       kEccentricity,
                                           kInclination, kRaOfAscNode, kArgOfPericenter, kMeanAnomaly};
    for (const OmmKey key : kRequired)
        if (is_absent(values[key])) throw RecordRefused{std::string(kOmmKeyNames[key]) + " is missing"};
    check_metadata(values);

    const auto real = [&](OmmKey key) { return is_absent(values[key]) ? 0.0 : real_of(key, values[key]); };
    const auto count = [&](OmmKey key) { return is_absent(values[key]) ? 0 : count_of(key, values[key]); };
    FieldValues v;
    v.norad_cat_id = count_of(kNoradCatId, values[kNoradCatId]);
    v.mean_motion = real_of(kMeanMotion, values[kMeanMotion]);
    v.eccentricity = real_of(kEccentricity, values[kEccentricity]);
    v.inclination = real_of(kInclination, values[kInclination]);
    v.ra_of_asc_node = real_of(kRaOfAscNode, values[kRaOfAscNode]);
    v.arg_of_pericenter = real_of(kArgOfPericenter, values[kArgOfPericenter]);
    v.mean_anomaly = real_of(kMeanAnomaly, values[kMeanAnomaly]);
    v.bstar = real(kBstar);
    v.mean_motion_dot = real(kMeanMotionDot);
    v.mean_motion_ddot = real(kMeanMotionDdot);
    v.ephemeris_type = count(kEphemerisType);
    v.element_set_no = count(kElementSetNo);
    v.rev_at_epoch = count(kRevAtEpoch);
    const nb::object epoch = stripped_text(kEpoch, values[kEpoch]);
    const nb::object object_id = stripped_text(kObjectId, values[kObjectId]);
    nb::object classification = stripped_text(kClassificationType, values[kClassificationType]);
    if (classification.is_none()) classification = nb::str("U");
    PyObject* name = values[kObjectName];
    if (name && name != Py_None && !PyUnicode_Check(name)) refuse(kObjectName, name, "is not text");
    v.object_name = is_absent(name) ? nb::handle(Py_None) : nb::handle(name);
    v.object_id = object_id;
    v.classification_type = classification;
    try {
        v.epoch = epoch_parts_of(epoch, "EPOCH");
        return nb::cast(elements_of(v));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        throw RecordRefused{nb::str(e.value()).c_str()};
    }
}

nb::tuple record_of(const Elements& e) {
    const ElementSet& s = e.set;
    const nb::object name = e.object_name.is_none() ? nb::str("") : e.object_name;
    return nb::make_tuple(name, nb::str(s.object_id), nb::str(iso_text_us(s.epoch_jd1, s.epoch_jd2).c_str()),
                          s.mean_motion, s.eccentricity, s.inclination, s.ra_of_asc_node, s.arg_of_pericenter,
                          s.mean_anomaly, s.ephemeris_type, nb::str(&s.classification_type, 1), s.norad_cat_id,
                          s.element_set_no, s.rev_at_epoch, s.bstar, s.mean_motion_dot, s.mean_motion_ddot);
}

}  // namespace orbivane::sgp4
