// The sequence protocol of array Times: len, indexing (an int gives a
// scalar Time, a slice a Time viewing the same storage, an array of ints
// or a mask a copy) and iteration.
#include "time_object.hpp"

namespace orbivane::time {

namespace {

Py_ssize_t Time_length(PyObject* self) {
    if (!is_scalar(self)) return as_time(self)->length;
    PyErr_SetString(PyExc_TypeError, "len() of a scalar Time: it holds one instant, not an array of them");
    return -1;
}

PyObject* Time_item(PyObject* self, Py_ssize_t i) {
    if (is_scalar(self)) {
        PyErr_SetString(PyExc_TypeError, "a scalar Time cannot be indexed");
        return nullptr;
    }
    const Py_ssize_t n = as_time(self)->length;
    if (i < 0 || i >= n) {
        PyErr_Format(PyExc_IndexError, "index %zd is out of range for a Time of %zd instants", i, n);
        return nullptr;
    }
    return new_scalar(&Time_Type, column(self).at(i), scale_of(self));
}

// An integer array or a mask: the instants it selects, copied.
PyObject* selected(PyObject* self, PyObject* key) {
    Ref jd1 = Ref::steal(Time_get_jd1(self, nullptr));
    Ref jd2 = Ref::steal(Time_get_jd2(self, nullptr));
    if (!jd1 || !jd2) return nullptr;
    Ref a = Ref::steal(PyObject_GetItem(jd1.get(), key));
    if (!a) return nullptr;
    Ref b = Ref::steal(PyObject_GetItem(jd2.get(), key));
    if (!b) return nullptr;
    if (!PyArray_Check(a.get()) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(a.get())) != 1) {
        PyErr_Format(PyExc_IndexError, "a Time is indexed by an int, a slice, or a 1-D array of ints or bools; got %R",
                     key);
        return nullptr;
    }
    const Py_ssize_t n = PyArray_DIM(reinterpret_cast<PyArrayObject*>(a.get()), 0);
    double *out1, *out2;
    PyObject* result = new_array(&Time_Type, n, scale_of(self), &out1, &out2);
    if (!result) return nullptr;
    auto* pa = reinterpret_cast<PyArrayObject*>(a.get());
    auto* pb = reinterpret_cast<PyArrayObject*>(b.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        out1[i] = *static_cast<double*>(PyArray_GETPTR1(pa, i));
        out2[i] = *static_cast<double*>(PyArray_GETPTR1(pb, i));
    }
    return result;
}

PyObject* Time_subscript(PyObject* self, PyObject* key) {
    if (is_scalar(self)) {
        PyErr_SetString(PyExc_TypeError, "a scalar Time cannot be indexed");
        return nullptr;
    }
    if (PySlice_Check(key)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
        const Py_ssize_t n = PySlice_AdjustIndices(as_time(self)->length, &start, &stop, step);
        return new_view(self, start, step, n);
    }
    if (PyIndex_Check(key) && !PyBool_Check(key) && !PyArray_Check(key)) {
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0) i += as_time(self)->length;
        return Time_item(self, i);
    }
    return selected(self, key);
}

}  // namespace

PyObject* Time_iter(PyObject* self) {
    if (is_scalar(self)) {
        PyErr_SetString(PyExc_TypeError, "a scalar Time is not iterable");
        return nullptr;
    }
    return PySeqIter_New(self);
}

PySequenceMethods Time_as_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = Time_length;
    m.sq_item = Time_item;
    return m;
}();

PyMappingMethods Time_as_mapping = {Time_length, Time_subscript, nullptr};

}  // namespace orbivane::time
