// Elements from named fields, as an Orbit Mean-elements Message gives them
// (the keyword constructor) or as a pickle keeps them (the state tuple),
// with the checks that decoding applies to text.
#include "element_fields.hpp"

#include "element_ranges.hpp"

#include <cmath>
#include <cstring>

namespace nb = nanobind;

namespace orbivane::sgp4 {

namespace {

[[noreturn]] void refuse(const char* field, nb::handle value, const char* problem) {
    PyErr_Format(PyExc_ValueError, "%s: %R %s", field, value.ptr(), problem);
    throw nb::python_error();
}

[[noreturn]] void refuse_type(const char* field, const char* expected, nb::handle value) {
    PyErr_Format(PyExc_TypeError, "%s must be %s, not '%.200s'", field, expected, Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

void check_count(const char* field, std::int64_t value, std::int64_t highest) {
    if (value < 0 || value > highest) {
        PyErr_Format(PyExc_ValueError, "%s: %lld is outside 0 to %lld", field, static_cast<long long>(value),
                     static_cast<long long>(highest));
        throw nb::python_error();
    }
}

void check_finite(const char* field, double value) {
    if (!std::isfinite(value)) refuse(field, nb::float_(value), "is not finite");
}

// A one-letter classification, "U", "C" or "S" (any capital letter).
char classification_of(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) refuse_type("classification_type", "a str", value);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value.ptr());
    const Py_UCS4 c = length == 1 ? PyUnicode_READ_CHAR(value.ptr(), 0) : 0;
    if (c < 'A' || c > 'Z') refuse("classification_type", value, "is not a classification letter (U, C or S)");
    return static_cast<char>(c);
}

// An international designator, "1998-067A": the launch year, the launch
// number of that year and one to three capital letters for the piece.
void copy_object_id(nb::handle value, char (&out)[16]) {
    out[0] = '\0';
    if (value.is_none()) return;
    if (!PyUnicode_Check(value.ptr())) refuse_type("object_id", "a str or None", value);
    Py_ssize_t length = 0;
    const char* text = PyUnicode_IS_ASCII(value.ptr()) ? PyUnicode_AsUTF8AndSize(value.ptr(), &length) : nullptr;
    bool ok = text && length >= 9 && length <= 11;
    for (Py_ssize_t i = 0; ok && i < length; ++i) {
        const char c = text[i];
        ok = i == 4 ? c == '-' : i < 8 ? c >= '0' && c <= '9' : c >= 'A' && c <= 'Z';
    }
    if (!ok) refuse("object_id", value, "is not an international designator of the form 1998-067A");
    std::memcpy(out, text, static_cast<std::size_t>(length) + 1);
}

nb::object name_of(nb::handle value) {
    if (value.is_none()) return nb::none();
    if (!PyUnicode_Check(value.ptr())) refuse_type("object_name", "a str or None", value);
    return nb::steal(PyUnicode_FromObject(value.ptr()));  // a str, even from a subclass
}

}  // namespace

Elements elements_of(const FieldValues& v) {
    Elements e;
    ElementSet& s = e.set;
    check_count("norad_cat_id", v.norad_cat_id, kMaxCatalogueNumber);
    check_count("ephemeris_type", v.ephemeris_type, 9);
    check_count("element_set_no", v.element_set_no, 9999);
    check_count("rev_at_epoch", v.rev_at_epoch, INT64_MAX);
    s.norad_cat_id = v.norad_cat_id;
    s.ephemeris_type = static_cast<int>(v.ephemeris_type);
    s.element_set_no = static_cast<int>(v.element_set_no);
    s.rev_at_epoch = v.rev_at_epoch;
    s.classification_type = classification_of(v.classification_type);
    copy_object_id(v.object_id, s.object_id);
    if (!epoch_day_in_range(v.epoch.jd1)) {
        const nb::float_ jd(v.epoch.jd1 + v.epoch.jd2);
        PyErr_Format(PyExc_ValueError, "epoch: Julian date %R is outside the years 0000 to 9999", jd.ptr());
        throw nb::python_error();
    }
    s.epoch_jd1 = v.epoch.jd1;
    s.epoch_jd2 = v.epoch.jd2;
    const struct {
        const char* name;
        double value;
        double* field;
    } reals[] = {{"mean_motion_dot", v.mean_motion_dot, &s.mean_motion_dot},
                 {"mean_motion_ddot", v.mean_motion_ddot, &s.mean_motion_ddot},
                 {"bstar", v.bstar, &s.bstar},
                 {"inclination", v.inclination, &s.inclination},
                 {"ra_of_asc_node", v.ra_of_asc_node, &s.ra_of_asc_node},
                 {"eccentricity", v.eccentricity, &s.eccentricity},
                 {"arg_of_pericenter", v.arg_of_pericenter, &s.arg_of_pericenter},
                 {"mean_anomaly", v.mean_anomaly, &s.mean_anomaly},
                 {"mean_motion", v.mean_motion, &s.mean_motion}};
    for (const auto& r : reals) {
        check_finite(r.name, r.value);
        *r.field = r.value;
    }
    if (!eccentricity_in_range(s.eccentricity)) refuse("eccentricity", nb::float_(s.eccentricity), "is outside [0, 1)");
    if (!mean_motion_in_range(s.mean_motion)) refuse("mean_motion", nb::float_(s.mean_motion), "is not above zero");
    if (v.strict) {
        if (!inclination_in_range(s.inclination))
            refuse("inclination", nb::float_(s.inclination), "is outside [0, 180] degrees");
        const struct {
            const char* name;
            double value;
        } angles[] = {{"ra_of_asc_node", s.ra_of_asc_node},
                      {"arg_of_pericenter", s.arg_of_pericenter},
                      {"mean_anomaly", s.mean_anomaly}};
        for (const auto& a : angles)
            if (!angle_in_range(a.value)) refuse(a.name, nb::float_(a.value), "is outside [0, 360) degrees");
    }
    e.object_name = name_of(v.object_name);
    return e;
}

}  // namespace orbivane::sgp4
