// The batch kernels' row loops, compiled into this client from their own
// source, so that every path (scalar, AVX2) can be called directly,
// whatever path the module picks on this processor.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "quiverel_rows.hpp"

namespace {

using namespace orbivane::quiverel;

constexpr struct {
    const char* name;
    RowPath path;
} kPaths[] = {{"scalar", RowPath::scalar}, {"avx2", RowPath::avx2}};

// supported() -> tuple of the names of the paths this processor runs.
PyObject* supported(PyObject*, PyObject*) {
    PyObject* names = PyList_New(0);
    if (!names) return nullptr;
    for (const auto& p : kPaths) {
        if (!path_supported(p.path)) continue;
        PyObject* name = PyUnicode_FromString(p.name);
        if (!name || PyList_Append(names, name) < 0) {
            Py_XDECREF(name);
            Py_DECREF(names);
            return nullptr;
        }
        Py_DECREF(name);
    }
    PyObject* t = PyList_AsTuple(names);
    Py_DECREF(names);
    return t;
}

struct Buffers {
    Py_buffer in{}, out{};
    ~Buffers() {
        if (in.obj) PyBuffer_Release(&in);
        if (out.obj) PyBuffer_Release(&out);
    }
};

bool is_double(const Py_buffer& b) {
    return b.itemsize == 8 && b.format && (!std::strcmp(b.format, "d") || !std::strcmp(b.format, "=d"));
}

// rows(kernel, path, a, out): runs the row loop of "norm" or "normalize" on
// path "scalar" or "avx2" over the rows of a (N, >= 3) into out ((N,) or
// (N, 3)), any strides on either side.
PyObject* rows(PyObject*, PyObject* args) {
    const char *kernel, *path_name;
    PyObject *a, *o;
    if (!PyArg_ParseTuple(args, "ssOO", &kernel, &path_name, &a, &o)) return nullptr;
    const bool norm = !std::strcmp(kernel, "norm");
    if (!norm && std::strcmp(kernel, "normalize")) return PyErr_Format(PyExc_ValueError, "kernel %s", kernel);
    const RowPath* path = nullptr;
    for (const auto& p : kPaths)
        if (!std::strcmp(p.name, path_name)) path = &p.path;
    if (!path) return PyErr_Format(PyExc_ValueError, "path %s", path_name);
    if (!path_supported(*path)) return PyErr_Format(PyExc_RuntimeError, "this processor lacks %s", path_name);

    Buffers b;
    if (PyObject_GetBuffer(a, &b.in, PyBUF_RECORDS_RO) < 0 || PyObject_GetBuffer(o, &b.out, PyBUF_RECORDS) < 0)
        return nullptr;
    const Py_ssize_t n = b.in.ndim == 2 ? b.in.shape[0] : -1;
    if (n < 0 || b.in.shape[1] < 3 || !is_double(b.in) || !is_double(b.out) || b.out.ndim != (norm ? 1 : 2) ||
        b.out.shape[0] != n || (!norm && b.out.shape[1] != 3) || b.in.suboffsets || b.out.suboffsets) {
        PyErr_SetString(PyExc_ValueError, "a: (N, >= 3) doubles; out: (N,) or (N, 3) doubles");
        return nullptr;
    }
    const Rows in{static_cast<const char*>(b.in.buf), b.in.strides[0], b.in.strides[1]};
    const Results out{static_cast<char*>(b.out.buf), b.out.strides[0], norm ? 0 : b.out.strides[1]};
    if (norm)
        norm_rows(*path, in, out, n);
    else
        normalize_rows(*path, in, out, n);
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"supported", supported, METH_NOARGS, nullptr},
    {"rows", rows, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quiverel_rows_client", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_quiverel_rows_client(void) { return PyModule_Create(&module_def); }
