// Time.range: evenly spaced instants.
#include "forms.hpp"

#include "two_part.hpp"

#include <cmath>

namespace orbivane::time {

// Time.range(start, step, count): count instants from start, step apart
// (days, or a timedelta), in start's scale. Instant i is start + i * step
// with i * step exact, rounded once into jd2.
PyObject* Time_range(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static PyObject* kwlist[3] = {nullptr, nullptr, nullptr};
    if (!kwlist[0] && (!(kwlist[0] = intern("start")) || !(kwlist[1] = intern("step")) || !(kwlist[2] = intern("count"))))
        return nullptr;
    PyObject* values[3];
    const Signature sig{"range", kwlist, 3, 3};
    if (bind_arguments(sig, args, nargs, Keywords::from_vectorcall(kwnames, args + nargs), values) < 0) return nullptr;
    Ref start;
    if (is_time(values[0])) {
        start = Ref::borrow(values[0]);
    } else {
        PyObject* call_args[] = {values[0]};
        start = Ref::steal(PyObject_Vectorcall(cls, call_args, 1, nullptr));
        if (!start) return nullptr;
    }
    if (!is_scalar(start.get())) {
        PyErr_SetString(PyExc_TypeError, "Time.range() argument 'start' must be a single instant, not an array Time");
        return nullptr;
    }
    double whole = 0.0, rest = 0.0;
    PyObject* step = values[1];
    if (PyFloat_Check(step) || (PyLong_Check(step) && !PyBool_Check(step)) ||
        PyObject_TypeCheck(step, &PyFloatingArrType_Type) || PyObject_TypeCheck(step, &PyIntegerArrType_Type)) {
        rest = PyFloat_AsDouble(step);
        if (rest == -1.0 && PyErr_Occurred()) return nullptr;
        whole = two_part::nearest_whole(rest);
        rest -= whole;
    } else if (!timedelta_days(step, &whole, &rest)) {
        PyErr_Format(PyExc_TypeError, "Time.range() argument 'step' must be a number of days or a timedelta, not '%.200s'",
                     Py_TYPE(step)->tp_name);
        return nullptr;
    }
    if (!std::isfinite(whole) || !std::isfinite(rest)) {
        PyErr_Format(PyExc_ValueError, "Time.range() argument 'step' must be finite, got %R", step);
        return nullptr;
    }
    const Py_ssize_t count = PyNumber_AsSsize_t(values[2], PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    if (count < 0 || PyBool_Check(values[2])) {
        PyErr_Format(PyExc_ValueError, "Time.range() argument 'count' must be a count of instants, got %R", values[2]);
        return nullptr;
    }
    const Pair s = column(start.get()).at(0);
    double *jd1, *jd2;
    PyObject* t = new_array(&Time_Type, count, scale_of(start.get()), &jd1, &jd2);
    if (!t) return nullptr;
    bool finite = true;
    const int stopped = in_chunks(count, [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t i = begin; i < end; ++i) {
            const double k = static_cast<double>(i);
            const two_part::Sum prod = two_part::two_product(k, rest);  // k * rest = p + pe exactly
            const double p = prod.s, pe = prod.e;
            const double wp = two_part::nearest_whole(p);
            const two_part::Sum sum = two_part::two_sum(s.jd2, p - wp);
            const two_part::Split sp = two_part::split(sum.s + (sum.e + pe));
            jd1[i] = s.jd1 + k * whole + wp + sp.whole;
            jd2[i] = sp.rest;
            finite &= std::isfinite(jd1[i]);
        }
        return true;
    });
    if (stopped < 0) {
        Py_DECREF(t);
        return nullptr;
    }
    if (!finite) {
        Py_DECREF(t);
        PyErr_Format(PyExc_ValueError, "Time.range(): %zd steps of %R from the start give no finite Julian date", count,
                     step);
        return nullptr;
    }
    return t;
}

}  // namespace orbivane::time
