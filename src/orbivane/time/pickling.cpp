// Pickling: a Time's pairs as they are, so that it comes back with the
// same bits, scale, type and length.
#include "time_object.hpp"

namespace orbivane::time {

PyObject* Time_reduce(PyObject* self, PyObject*) {
    static PyObject* restorer = nullptr;
    if (!restorer) {
        Ref module = Ref::steal(PyImport_ImportModule("orbivane.time.time"));
        if (!module || !(restorer = PyObject_GetAttrString(module.get(), "_restore"))) return nullptr;
    }
    Ref jd1, jd2;
    if (is_scalar(self)) {
        jd1 = Ref::steal(Time_get_jd1(self, nullptr));
        jd2 = Ref::steal(Time_get_jd2(self, nullptr));
    } else {
        Ref v1 = Ref::steal(Time_get_jd1(self, nullptr));
        Ref v2 = Ref::steal(Time_get_jd2(self, nullptr));
        if (!v1 || !v2) return nullptr;
        jd1 = Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(v1.get()), NPY_CORDER));
        jd2 = Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(v2.get()), NPY_CORDER));
    }
    if (!jd1 || !jd2) return nullptr;
    return Py_BuildValue("O(OOOO)", restorer, reinterpret_cast<PyObject*>(Py_TYPE(self)), jd1.get(), jd2.get(),
                         as_time(self)->_scale);
}

// _restore(cls, jd1, jd2, scale): the Time that Time_reduce describes.
PyObject* restore(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyType_Check(args[0]) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(args[0]), &Time_Type)) {
        PyErr_SetString(PyExc_TypeError, "_restore(cls, jd1, jd2, scale) takes a Time type, two parts and a scale");
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(args[0]);
    Scale scale;
    if (parse_scale(args[3], &scale) < 0) return nullptr;
    if (PyFloat_Check(args[1]) && PyFloat_Check(args[2]))
        return new_scalar(type, {PyFloat_AS_DOUBLE(args[1]), PyFloat_AS_DOUBLE(args[2])}, scale);
    Ref a = Ref::steal(PyArray_FROMANY(args[1], NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO));
    if (!a) return nullptr;
    Ref b = Ref::steal(PyArray_FROMANY(args[2], NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO));
    if (!b) return nullptr;
    const Py_ssize_t n = PyArray_DIM(reinterpret_cast<PyArrayObject*>(a.get()), 0);
    if (PyArray_DIM(reinterpret_cast<PyArrayObject*>(b.get()), 0) != n) {
        PyErr_SetString(PyExc_ValueError, "_restore: jd1 and jd2 differ in length");
        return nullptr;
    }
    double *jd1, *jd2;
    PyObject* t = new_array(type, n, scale, &jd1, &jd2);
    if (!t) return nullptr;
    const auto* p = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
    const auto* q = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(b.get())));
    for (Py_ssize_t i = 0; i < n; ++i) {
        jd1[i] = p[i];
        jd2[i] = q[i];
    }
    return t;
}

}  // namespace orbivane::time
