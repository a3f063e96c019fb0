// NumPy arguments of the propagators' Python faces: conversions to float64
// arrays, and two arrays brought to their broadcast shape.
//
// Each translation unit that includes NumPy's C API has its own table of
// it (imported by that unit's bind function), so these helpers have
// internal linkage: every including unit gets copies that use its table.
#pragma once

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include <nanobind/nanobind.h>

#include <utility>

namespace orbivane::sgp4 {

namespace {

inline PyArrayObject* as_array(const nanobind::object& o) { return reinterpret_cast<PyArrayObject*>(o.ptr()); }

// o as an owned object, or the pending error raised when it is null.
inline nanobind::object steal_or_raise(PyObject* o) {
    if (!o) throw nanobind::python_error();
    return nanobind::steal(o);
}

// A read-only C-contiguous float64 view or copy of any array-like.
inline nanobind::object double_array(nanobind::handle h) {
    PyArray_Descr* type = PyArray_DescrFromType(NPY_DOUBLE);  // stolen by the call
    return steal_or_raise(PyArray_FromAny(h.ptr(), type, 0, 0, NPY_ARRAY_CARRAY_RO, nullptr));
}

inline const double* data_of(const nanobind::object& a) { return static_cast<const double*>(PyArray_DATA(as_array(a))); }

// Two arrays of Julian-date parts as float64 arrays of their broadcast
// shape: as they are when their shapes agree, else copied.
inline std::pair<nanobind::object, nanobind::object> broadcast_pair(nanobind::handle jd1, nanobind::handle jd2) {
    nanobind::object a1 = double_array(jd1), a2 = double_array(jd2);
    const int n1 = PyArray_NDIM(as_array(a1)), n2 = PyArray_NDIM(as_array(a2));
    if (n1 == n2 && PyArray_CompareLists(PyArray_DIMS(as_array(a1)), PyArray_DIMS(as_array(a2)), n1)) return {a1, a2};
    nanobind::object both = steal_or_raise(PyArray_MultiIterNew(2, a1.ptr(), a2.ptr()));
    auto* it = reinterpret_cast<PyArrayMultiIterObject*>(both.ptr());
    const int nd = PyArray_MultiIter_NDIM(it);
    npy_intp* dims = PyArray_MultiIter_DIMS(it);
    nanobind::object b1 = steal_or_raise(PyArray_SimpleNew(nd, dims, NPY_DOUBLE));
    nanobind::object b2 = steal_or_raise(PyArray_SimpleNew(nd, dims, NPY_DOUBLE));
    if (PyArray_CopyInto(as_array(b1), as_array(a1)) < 0 || PyArray_CopyInto(as_array(b2), as_array(a2)) < 0)
        throw nanobind::python_error();
    return {b1, b2};
}

}  // namespace

}  // namespace orbivane::sgp4
