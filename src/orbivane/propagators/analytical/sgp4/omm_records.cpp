// Element sets from and to the fields of OMM records.
//
// Every value is read from its text, JSON numbers included, by
// std::from_chars, which rounds correctly: the same digits give the same
// double as Python's float() and json.loads give.
#include "omm_records.hpp"

#include "calendar.hpp"
#include "element_decoding.hpp"
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

int omm_key_of(std::string_view key) {
    // The names as views, their lengths counted once: this is done for
    // every element of an XML file and every key of a JSON one.
    static const auto names = [] {
        std::array<std::string_view, kOmmKeys> views;
        for (std::size_t k = 0; k < kOmmKeys; ++k) views[k] = kOmmKeyNames[k];
        return views;
    }();
    for (std::size_t k = 0; k < kOmmKeys; ++k)
        if (key == names[k]) return static_cast<int>(k);
    return -1;
}

namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view stripped(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

[[noreturn]] void refuse(OmmKey key, const FieldValue& value, const char* problem) {
    throw RecordRefused{std::string(kOmmKeyNames[key]) + ": " +
                        (value.kind == FieldValue::Kind::kText ? quoted_text(value.text) : std::string(value.text)) +
                        " " + problem};
}

// A real number: decimal text with an optional sign and exponent
// ("-.11606E-4"), as JSON numbers and every text encoding write them. No
// inf or nan.
double real_of(OmmKey key, const FieldValue& value) {
    if (value.kind != FieldValue::Kind::kText) refuse(key, value, "is not a number");
    const char* p = value.text.data();
    const char* end = p + value.text.size();
    const bool plus = *p == '+';
    p += plus;  // from_chars takes a minus sign only
    const char* digits = !plus && p < end && *p == '-' ? p + 1 : p;
    if (digits == end || !(is_digit(*digits) || *digits == '.')) refuse(key, value, "is not a number");
    double d = 0.0;
    const auto [stop, status] = std::from_chars(p, end, d, std::chars_format::general);
    if (status != std::errc() || stop != end) refuse(key, value, "is not a number (in the range of doubles)");
    return d;
}

// A whole number: digits with an optional sign.
std::int64_t count_of(OmmKey key, const FieldValue& value) {
    if (value.kind != FieldValue::Kind::kText) refuse(key, value, "is not a whole number");
    const std::string_view text = value.text;
    std::size_t i = text[0] == '+' || text[0] == '-';
    if (i == text.size() || text.size() - i > 18) refuse(key, value, "is not a whole number");
    std::int64_t n = 0;
    for (std::size_t j = i; j < text.size(); ++j) {
        if (!is_digit(text[j])) refuse(key, value, "is not a whole number");
        n = n * 10 + (text[j] - '0');
    }
    return text[0] == '-' ? -n : n;
}

// A str of the text, for the constructor's checks of text fields; None
// when absent.
nb::object str_of(OmmKey key, const FieldValue& value) {
    if (value.kind == FieldValue::Kind::kAbsent) return nb::none();
    if (value.kind != FieldValue::Kind::kText) refuse(key, value, "is not text");
    PyObject* s = PyUnicode_DecodeUTF8(value.text.data(), static_cast<Py_ssize_t>(value.text.size()), nullptr);
    if (!s) {
        PyErr_Clear();
        refuse(key, value, "is not UTF-8 text");
    }
    return nb::steal(s);
}

// Metadata that, when given, must say what element sets are: SGP4 mean
// elements about the Earth, in TEME, with a UTC epoch.
void check_metadata(const RecordValues& values) {
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
        const FieldValue& value = values[rule.key];
        if (value.kind == FieldValue::Kind::kAbsent) continue;
        bool allowed = false;
        for (const std::string_view a : rule.allowed) allowed = allowed || value.text == a;
        if (!allowed || value.kind != FieldValue::Kind::kText) refuse(rule.key, value, rule.problem);
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
    char buffer[160];  // room for any long long in every field
    std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%06lld", date.year, date.month,
                  date.day, seconds / 3600, seconds / 60 % 60, seconds % 60, us % 1000000);
    return buffer;
}

}  // namespace

FieldValue value_of_object(PyObject* value, std::string& scratch) {
    if (value == Py_None) return {};
    if (PyUnicode_Check(value)) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &length);
        if (!text) throw nb::python_error();
        const std::string_view s = stripped({text, static_cast<std::size_t>(length)});
        return {s.empty() ? FieldValue::Kind::kAbsent : FieldValue::Kind::kText, s};
    }
    const bool number = (PyLong_Check(value) && !PyBool_Check(value)) || PyFloat_Check(value);
    scratch = nb::repr(nb::handle(value)).c_str();
    return {number ? FieldValue::Kind::kText : FieldValue::Kind::kOther, scratch};
}

nb::object elements_of_record(const RecordValues& values) {
    static constexpr OmmKey kRequired[] = {kNoradCatId,   kEpoch,         kMeanMotion,       kEccentricity,
                                           kInclination, kRaOfAscNode, kArgOfPericenter, kMeanAnomaly};
    for (const OmmKey key : kRequired)
        if (values[key].kind == FieldValue::Kind::kAbsent)
            throw RecordRefused{std::string(kOmmKeyNames[key]) + " is missing"};
    check_metadata(values);

    const auto real = [&](OmmKey key) { return values[key].kind == FieldValue::Kind::kAbsent ? 0.0 : real_of(key, values[key]); };
    const auto count = [&](OmmKey key) {
        return values[key].kind == FieldValue::Kind::kAbsent ? std::int64_t{0} : count_of(key, values[key]);
    };
    FieldValues v;
    v.norad_cat_id = count(kNoradCatId);
    v.mean_motion = real(kMeanMotion);
    v.eccentricity = real(kEccentricity);
    v.inclination = real(kInclination);
    v.ra_of_asc_node = real(kRaOfAscNode);
    v.arg_of_pericenter = real(kArgOfPericenter);
    v.mean_anomaly = real(kMeanAnomaly);
    v.bstar = real(kBstar);
    v.mean_motion_dot = real(kMeanMotionDot);
    v.mean_motion_ddot = real(kMeanMotionDdot);
    v.ephemeris_type = count(kEphemerisType);
    v.element_set_no = count(kElementSetNo);
    v.rev_at_epoch = count(kRevAtEpoch);
    const FieldValue& epoch = values[kEpoch];
    if (epoch.kind != FieldValue::Kind::kText) refuse(kEpoch, epoch, "is not an epoch");
    if (const std::string problem = parse_iso_epoch(epoch.text, v.epoch); !problem.empty())
        refuse(kEpoch, epoch, problem.c_str());
    const nb::object name = str_of(kObjectName, values[kObjectName]);
    const nb::object object_id = str_of(kObjectId, values[kObjectId]);
    const nb::object classification = values[kClassificationType].kind == FieldValue::Kind::kAbsent
                                          ? nb::object(nb::str("U"))
                                          : str_of(kClassificationType, values[kClassificationType]);
    v.object_name = name;
    v.object_id = object_id;
    v.classification_type = classification;
    try {
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
