// A compiled client of orbivane in C++: it binds the vector toolkit's kernels
// when it is imported and offers two of them to Python.
//
//     cpp_client.lengths(rows)  the length of each row of an (N, 3) array of
//                               float64, as a NumPy array of N lengths
//     cpp_client.length(v)      the length of one 3-vector
//
// The README ("Using the kernels from C/C++") shows how to build it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <orbivane/quiverel.h>

#include <cstring>

namespace {

orbivane_quiverel_api quiverel;  // the kernels, bound in PyInit_cpp_client
PyObject* asarray;               // numpy.asarray

// A buffer borrowed from an array, given back when it goes out of scope.
struct Buffer {
    Py_buffer view{};
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (view.obj) PyBuffer_Release(&view);
    }
};

PyObject* lengths(PyObject*, PyObject* rows) {
    // The array's memory as a strided buffer of doubles, any strides.
    Buffer in;
    if (PyObject_GetBuffer(rows, &in.view, PyBUF_RECORDS_RO) < 0) return nullptr;
    if (in.view.ndim != 2 || !in.view.format || std::strcmp(in.view.format, "d") != 0) {
        PyErr_SetString(PyExc_TypeError, "lengths() needs a 2-dimensional array of float64");
        return nullptr;
    }
    // The view record over that memory. It owns nothing (its memview is
    // NULL): the buffer above keeps the memory alive during the call.
    orbivane_memviewslice a;
    if (orbivane_view_from_buffer(&in.view, &a) < 0) return nullptr;

    // The batch kernel needs the interpreter lock, which a function called
    // from Python holds. It fails (too few columns, say) by returning a
    // record without an owner, with the exception pending.
    orbivane_memviewslice r = quiverel.norm_array(a);
    if (!r.memview) return nullptr;

    // Back to Python: the owner exports the result's memory as a buffer, so
    // numpy.asarray(owner) is an array over that memory, without a copy,
    // which keeps the owner alive. The record's own acquisition is then
    // given back.
    PyObject* result = PyObject_CallOneArg(asarray, reinterpret_cast<PyObject*>(r.memview));
    orbivane_view_release(&r, 1);
    return result;
}

PyObject* length(PyObject*, PyObject* arg) {
    double v[3];
    if (!PyArg_ParseTuple(arg, "ddd", &v[0], &v[1], &v[2])) return nullptr;
    const double n = quiverel.norm(v);
    if (n == -1.0 && orbivane_quiverel_error_pending()) return nullptr;
    return PyFloat_FromDouble(n);
}

PyMethodDef methods[] = {
    {"lengths", lengths, METH_O, "Lengths of the rows of an (N, 3) array of float64."},
    {"length", length, METH_VARARGS, "length(x, y, z): the length of one 3-vector."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "cpp_client", "A C++ client of orbivane's kernels.", -1,
                          methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_cpp_client(void) {
    if (orbivane_import_quiverel(&quiverel) < 0) return nullptr;
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) return nullptr;
    asarray = PyObject_GetAttrString(numpy, "asarray");
    Py_DECREF(numpy);
    if (!asarray) return nullptr;
    return PyModule_Create(&module_def);
}
