// Timing loops for benchmarks/bench_quiverel.py: the toolkit's kernels
// called from C through the bound table, the way compiled clients call them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <orbivane/quiverel.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

orbivane_quiverel_api q;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// kernel_ns(name, calls) -> ns per call of one timed run of `calls` calls,
// cycling through 256 ordinary vectors (inputs stay in L1; results feed a
// sink), with the interpreter lock held as this function is called.
PyObject* kernel_ns(PyObject*, PyObject* args) {
    const char* name;
    Py_ssize_t calls;
    if (!PyArg_ParseTuple(args, "sn", &name, &calls)) return nullptr;
    constexpr int kVectors = 256;
    static double a[kVectors][3], b[kVectors][3], c[kVectors][3];
    static double ratio[kVectors];
    for (int i = 0; i < kVectors; ++i) {
        for (int j = 0; j < 3; ++j) {
            a[i][j] = 1.0 + 0.37 * i + 0.11 * j;
            b[i][j] = -2.0 + 0.13 * i - 0.29 * j;
        }
        ratio[i] = std::cos(0.01 * i);
    }
    static volatile double sink = 0.0;
    double acc = 0.0;
    const auto start = Clock::now();
    if (!std::strcmp(name, "scale")) {
        for (Py_ssize_t n = 0; n < calls; ++n) q.scale(1.5, a[n & 255], c[n & 255]);
    } else if (!std::strcmp(name, "add")) {
        for (Py_ssize_t n = 0; n < calls; ++n) q.add(a[n & 255], b[n & 255], c[n & 255]);
    } else if (!std::strcmp(name, "sub")) {
        for (Py_ssize_t n = 0; n < calls; ++n) q.sub(a[n & 255], b[n & 255], c[n & 255]);
    } else if (!std::strcmp(name, "cross")) {
        for (Py_ssize_t n = 0; n < calls; ++n) q.cross(a[n & 255], b[n & 255], c[n & 255]);
    } else if (!std::strcmp(name, "dot")) {
        for (Py_ssize_t n = 0; n < calls; ++n) acc += q.dot(a[n & 255], b[n & 255]);
    } else if (!std::strcmp(name, "norm")) {
        for (Py_ssize_t n = 0; n < calls; ++n) acc += q.norm(a[n & 255]);
    } else if (!std::strcmp(name, "normalize")) {
        for (Py_ssize_t n = 0; n < calls; ++n) q.normalize(a[n & 255], c[n & 255]);
    } else if (!std::strcmp(name, "angle")) {
        for (Py_ssize_t n = 0; n < calls; ++n) acc += q.angle(a[n & 255], b[n & 255]);
    } else if (!std::strcmp(name, "acos")) {
        double (*volatile f)(double) = std::acos;  // a real call, as angle makes
        for (Py_ssize_t n = 0; n < calls; ++n) acc += f(ratio[n & 255]);
    } else {
        PyErr_Format(PyExc_ValueError, "unknown kernel %s", name);
        return nullptr;
    }
    const double t = seconds_since(start);
    sink = sink + acc + c[calls & 255][0];
    return PyFloat_FromDouble(t / static_cast<double>(calls) * 1e9);
}

// batch_ns(name, a, calls) -> mean ns per call over `calls` consecutive calls
// of norm_array or normalize_array on a view of `a`, the allocation and
// release of each result included: one run, for the script to alternate
// with the runs of the NumPy peers.
PyObject* batch_ns(PyObject*, PyObject* args) {
    const char* name;
    PyObject* obj;
    Py_ssize_t calls;
    if (!PyArg_ParseTuple(args, "sOn", &name, &obj, &calls)) return nullptr;
    orbivane_array_fn f = std::strcmp(name, "norm_array") == 0 ? q.norm_array : q.normalize_array;
    Py_buffer buf;
    if (PyObject_GetBuffer(obj, &buf, PyBUF_RECORDS_RO) < 0) return nullptr;
    orbivane_memviewslice in;
    if (orbivane_view_from_buffer(&buf, &in) < 0) {
        PyBuffer_Release(&buf);
        return nullptr;
    }
    const auto start = Clock::now();
    for (Py_ssize_t c = 0; c < calls; ++c) {
        orbivane_memviewslice out = f(in);
        if (!out.memview) {
            PyBuffer_Release(&buf);
            return nullptr;
        }
        orbivane_view_release(&out, 1);
    }
    const double t = seconds_since(start);
    PyBuffer_Release(&buf);
    return PyFloat_FromDouble(t / static_cast<double>(calls) * 1e9);
}

PyMethodDef methods[] = {
    {"kernel_ns", kernel_ns, METH_VARARGS, nullptr},
    {"batch_ns", batch_ns, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quiverel_bench", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_quiverel_bench(void) {
    if (orbivane_import_quiverel(&q) < 0) return nullptr;
    return PyModule_Create(&module_def);
}
