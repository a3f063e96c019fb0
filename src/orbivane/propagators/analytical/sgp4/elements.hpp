// The element-set type of the _sgp4 module, and what its binding files
// share: where element sets come from (text, TLE records) and the epoch's
// passage to and from Time.
#pragma once

#include "element_set.hpp"
#include "epoch_text.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>

namespace orbivane::sgp4 {

// The value behind orbivane.propagators.analytical.sgp4.elements.Elements:
// the decoded fields and the object's name (None or a str).
struct Elements {
    ElementSet set;
    nanobind::object object_name = nanobind::none();
};

// A Python real number or integer as C++ sees it, with Python's TypeError
// (or OverflowError) for anything else.
inline double float_of(nanobind::handle value) {
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nanobind::python_error();
    return v;
}
inline std::int64_t int_of(nanobind::handle value) {
    const long long v = PyLong_AsLongLong(value.ptr());
    if (v == -1 && PyErr_Occurred()) throw nanobind::python_error();
    return v;
}

// Binds the types the sources need (TLE, Time); called once at module
// initialisation.
void import_element_sources();

// Decodes two lines given as str; ValueError names what is refused.
ElementSet decoded_lines(nanobind::str line1, nanobind::str line2, bool strict);

// Decodes the lines of a TLE, strict as the TLE was made; TypeError when
// `tle` is no TLE.
ElementSet decoded_tle(nanobind::handle tle);

// The epoch as a Time.
nanobind::object epoch_time(EpochParts epoch);

// The epoch of a Time in scale UTC or of ISO text; TypeError or
// ValueError otherwise, naming `field`.
EpochParts epoch_parts_of(nanobind::handle epoch, const char* field);

// The canonical parts (jd1 at a day's 0h, jd2 in [0, 1)) of the Julian date
// a + b, where a is a whole number or a whole number plus one half.
EpochParts normalised_epoch(double a, double b);

}  // namespace orbivane::sgp4
