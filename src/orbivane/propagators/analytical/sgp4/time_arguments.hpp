// Times given to the propagators as Time objects (or anything with jd1 and
// jd2 that is not an array): their two-part Julian date in UTC, the scale of
// element-set epochs.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace orbivane::sgp4 {

// The attribute, or a null object when it is missing; any other error
// while it is read is raised.
inline nanobind::object optional_attr(nanobind::handle h, const char* name) {
    PyObject* value = PyObject_GetAttrString(h.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nanobind::python_error();
        PyErr_Clear();
    }
    return nanobind::steal(value);
}

// Sets jd1 and jd2 to the UTC Julian-date parts of a Time-like t and returns
// true, or returns false when t is not Time-like. The caller has made sure
// that t is not an array (whose jd1 would be a field). Each attribute is read
// once; a Time of another scale is converted through its `utc`, and an
// object with a scale but no such conversion is refused.
inline bool utc_parts(nanobind::handle t, nanobind::object& jd1, nanobind::object& jd2) {
    nanobind::object first = optional_attr(t, "jd1");
    nanobind::object second = first ? optional_attr(t, "jd2") : nanobind::object();
    if (!second) return false;
    const nanobind::object scale = optional_attr(t, "scale");
    if (scale && (!nanobind::isinstance<nanobind::str>(scale) || nanobind::cast<std::string_view>(scale) != "utc")) {
        const nanobind::object utc = optional_attr(t, "utc");
        if (!utc)
            throw nanobind::value_error(("times must be in the UTC scale of the epoch, not " +
                                         nanobind::cast<std::string>(nanobind::repr(scale)))
                                            .c_str());
        first = utc.attr("jd1");
        second = utc.attr("jd2");
    }
    jd1 = std::move(first);
    jd2 = std::move(second);
    return true;
}

}  // namespace orbivane::sgp4
