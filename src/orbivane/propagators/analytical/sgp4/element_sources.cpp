// Where element sets come from: two lines of text, a TLE record or an
// Elements object; and the epoch's passage between the two-part Julian
// date of an element set and a Time.
#include "bindings.hpp"
#include "elements.hpp"

#include "element_decoding.hpp"
#include "tle.h"

#include <cmath>
#include <cstring>

namespace nb = nanobind;
using namespace nanobind::literals;

namespace orbivane::sgp4 {

namespace {

// Bound once at module initialisation and kept for the life of the process
// (the module is never unloaded).
PyTypeObject* tle_type = nullptr;
PyObject* time_type = nullptr;

[[noreturn]] void raise_value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw nb::python_error();
}

// The ASCII text of a str, without a copy; ValueError at the first
// character outside ASCII, which would shift every column after it.
std::string_view ascii_line(nb::str text, int number) {
    PyObject* s = text.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) return {static_cast<const char*>(PyUnicode_DATA(s)), static_cast<std::size_t>(length)};
    Py_ssize_t i = 0;
    while (PyUnicode_READ_CHAR(s, i) < 128) ++i;
    PyErr_Format(PyExc_ValueError, "line %d, column %zd: '%c' is not an ASCII character", number, i + 1,
                 static_cast<int>(PyUnicode_READ_CHAR(s, i)));
    throw nb::python_error();
}

ElementSet decoded(std::string_view line1, std::string_view line2, bool strict) {
    ElementSet set;
    DecodeError error;
    if (!decode_element_lines(line1, line2, strict, set, error)) raise_value_error(describe(error));
    return set;
}

// A line of a TLE record: at most 69 characters, then NUL bytes.
std::string_view record_line(const char (&line)[70]) { return {line, strnlen(line, sizeof line)}; }

}  // namespace

void import_element_sources() {
    orbivane_TLE_vtable* vtable = nullptr;
    tle_type = orbivane_import_TLE(&vtable);
    if (!tle_type) throw nb::python_error();
    time_type = nb::object(nb::module_::import_("orbivane.time.time").attr("Time")).release().ptr();
}

ElementSet decoded_lines(nb::str line1, nb::str line2, bool strict) {
    return decoded(ascii_line(line1, 1), ascii_line(line2, 2), strict);
}

ElementSet decoded_tle(nb::handle tle) {
    if (!PyObject_TypeCheck(tle.ptr(), tle_type))
        throw nb::type_error(("expected a TLE, not '" + std::string(Py_TYPE(tle.ptr())->tp_name) + "'").c_str());
    const auto* record = reinterpret_cast<const orbivane_TLE*>(tle.ptr());
    return decoded(record_line(record->_line1), record_line(record->_line2), record->strict_validation != 0);
}

ElementSet element_set_of(nb::handle source) {
    if (nb::isinstance<Elements>(source)) {
        if (!nb::inst_ready(source)) throw nb::type_error("the Elements object is not initialised");
        return nb::inst_ptr<Elements>(source)->set;
    }
    if (PyObject_TypeCheck(source.ptr(), tle_type)) return decoded_tle(source);
    throw nb::type_error(
        ("expected an Elements or a TLE, not '" + std::string(Py_TYPE(source.ptr())->tp_name) + "'").c_str());
}

// The one place where an epoch becomes a Time. Time takes a single Julian
// date today, so the parts are summed here, which rounds the instant to a
// unit in the last place of the sum (about 40 us near 2000); the element
// set itself keeps the exact parts. Once Time takes two parts, this call
// becomes Time(epoch.jd1, epoch.jd2, format="jd").
nb::object epoch_time(EpochParts epoch) {
    return nb::handle(time_type)(epoch.jd1 + epoch.jd2, "format"_a = "jd");
}

EpochParts normalised_epoch(double a, double b) {
    double jd1 = std::floor(a - 0.5) + 0.5;
    double jd2 = (a - jd1) + b;  // a - jd1 is 0 or 0.5, exactly
    const double whole_days = std::floor(jd2);
    jd1 += whole_days;
    jd2 -= whole_days;
    if (jd2 >= 1.0) {  // a fraction just below 0 that rounded up to 1
        jd1 += 1.0;
        jd2 = 0.0;
    }
    return {jd1, jd2 + 0.0};
}

EpochParts epoch_parts_of(nb::handle epoch, const char* field) {
    if (PyUnicode_Check(epoch.ptr())) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(epoch.ptr(), &length);
        if (!text) throw nb::python_error();
        EpochParts parts;
        const std::string problem = parse_iso_epoch({text, static_cast<std::size_t>(length)}, parts);
        if (!problem.empty())
            raise_value_error(std::string(field) + ": " + nb::repr(epoch).c_str() + " " + problem);
        return parts;
    }
    if (!PyObject_TypeCheck(epoch.ptr(), reinterpret_cast<PyTypeObject*>(time_type)))
        throw nb::type_error((std::string(field) + " must be a Time or ISO text (str), not '" +
                              Py_TYPE(epoch.ptr())->tp_name + "'")
                                 .c_str());
    const nb::object scale = epoch.attr("scale");
    if (!scale.equal(nb::str("utc")))
        raise_value_error(std::string(field) + ": a Time in scale " + nb::repr(scale).c_str() +
                          " is not UTC, the scale of element-set epochs");
    const double jd1 = float_of(epoch.attr("jd1"));
    const double jd2 = float_of(epoch.attr("jd2"));
    return normalised_epoch(jd1, jd2);
}

}  // namespace orbivane::sgp4
