// The Earth model and the operation mode as the Python faces name them,
// and the error for times out of the model's range.
#pragma once

#include "sgp4_gravity.hpp"

#include <nanobind/nanobind.h>

#include <cmath>
#include <string>
#include <string_view>

namespace orbivane::sgp4 {

constexpr std::string_view gravity_name(Gravity g) {
    return g == Gravity::wgs72old ? "wgs72old" : g == Gravity::wgs84 ? "wgs84" : "wgs72";
}

constexpr std::string_view mode_name(Mode m) { return m == Mode::afspc ? "afspc" : "improved"; }

// ValueError naming the choices and the name given, quoted as Python
// quotes it (a name may hold any character, NUL included).
[[noreturn]] inline void refuse_name(const char* what, const char* choices, std::string_view name) {
    const nanobind::str given(name.data(), name.size());
    PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", what, choices, given.ptr());
    throw nanobind::python_error();
}

inline Gravity parse_gravity(std::string_view name) {
    for (Gravity g : {Gravity::wgs72, Gravity::wgs72old, Gravity::wgs84})
        if (name == gravity_name(g)) return g;
    refuse_name("gravity", "'wgs72', 'wgs72old' or 'wgs84'", name);
}

inline Mode parse_mode(std::string_view name) {
    for (Mode m : {Mode::improved, Mode::afspc})
        if (name == mode_name(m)) return m;
    refuse_name("mode", "'improved' or 'afspc'", name);
}

// ValueError for a time that is not finite or not within
// kMaxMinutesFromEpoch of the epoch.
[[noreturn]] inline void raise_time_error(double minutes) {
    const std::string what = std::isfinite(minutes) ? std::to_string(minutes) + " minutes from the epoch" : "not finite";
    throw nanobind::value_error(
        ("times must be finite and within 1e9 minutes of the epoch; a time given is " + what).c_str());
}

}  // namespace orbivane::sgp4
