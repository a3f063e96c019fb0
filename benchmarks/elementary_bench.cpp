// Timing loops for benchmarks/bench_elementary.py: the elementary functions
// of src/orbivane/_native/simd over arrays at each SIMD width (the width
// kernels of tests/native/elementary_width.cpp), and the C library's scalar
// functions over the same arrays.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "elementary_width.hpp"
#include "simd/dispatch.hpp"

namespace {

using namespace orbivane::simd;
using Clock = std::chrono::steady_clock;

struct Function {
    const char* name;
    Op op;
    void (*libm)(const double* a, const double* b, double* out, double* out2, std::ptrdiff_t n);
};

// The C library, one call a value.
const Function kFunctions[] = {
    {"sin", Op::sin, [](const double* a, const double*, double* o, double*, std::ptrdiff_t n) {
         for (std::ptrdiff_t i = 0; i < n; ++i) o[i] = std::sin(a[i]);
     }},
    {"cos", Op::cos, [](const double* a, const double*, double* o, double*, std::ptrdiff_t n) {
         for (std::ptrdiff_t i = 0; i < n; ++i) o[i] = std::cos(a[i]);
     }},
    {"sincos", Op::sincos, [](const double* a, const double*, double* o, double* o2, std::ptrdiff_t n) {
         for (std::ptrdiff_t i = 0; i < n; ++i) ::sincos(a[i], &o[i], &o2[i]);
     }},
    {"atan2", Op::atan2, [](const double* a, const double* b, double* o, double*, std::ptrdiff_t n) {
         for (std::ptrdiff_t i = 0; i < n; ++i) o[i] = std::atan2(a[i], b[i]);
     }},
    {"fmod", Op::fmod, [](const double* a, const double* b, double* o, double*, std::ptrdiff_t n) {
         for (std::ptrdiff_t i = 0; i < n; ++i) o[i] = std::fmod(a[i], b[i]);
     }},
    {"cbrt", Op::cbrt, [](const double* a, const double*, double* o, double*, std::ptrdiff_t n) {
         for (std::ptrdiff_t i = 0; i < n; ++i) o[i] = std::cbrt(a[i]);
     }},
};

// Contenders: the C library, each width, and the scalar lane compiled with
// the AVX2 flags (the fused multiply-add an instruction, not a call).
EvaluateFn* kernels(const char* contender) {
    const struct {
        const char* name;
        Width width;
        EvaluateFn* fn;
    } table[] = {
        {"scalar", Width::scalar, generic::evaluate},
        {"avx2:double", Width::avx2, avx2::evaluate_scalar},
        {"avx2", Width::avx2, avx2::evaluate},
        {"avx512", Width::avx512, avx512::evaluate},
    };
    for (const auto& k : table)
        if (!std::strcmp(k.name, contender)) return width_supported(k.width) ? k.fn : nullptr;
    return nullptr;
}

// ns_per_value(function, contender, a, b, repeats) -> mean ns per value of
// `repeats` passes over the float64 arrays a and b (one length, small
// enough to stay in the cache); contender: "libm", a width's name, or
// "avx2:double".
PyObject* ns_per_value(PyObject*, PyObject* args) {
    const char *name, *contender;
    Py_buffer a, b;
    Py_ssize_t repeats;
    if (!PyArg_ParseTuple(args, "ssy*y*n", &name, &contender, &a, &b, &repeats)) return nullptr;
    struct Release {
        Py_buffer &a, &b;
        ~Release() {
            PyBuffer_Release(&a);
            PyBuffer_Release(&b);
        }
    } release{a, b};
    const Function* f = nullptr;
    for (const auto& candidate : kFunctions)
        if (!std::strcmp(candidate.name, name)) f = &candidate;
    const bool libm = !std::strcmp(contender, "libm");
    EvaluateFn* ours = kernels(contender);
    if (!f || a.len != b.len || (!libm && !ours)) return PyErr_Format(PyExc_ValueError, "%s by %s", name, contender);
    const std::ptrdiff_t n = a.len / 8;
    const auto* x = static_cast<const double*>(a.buf);
    const auto* y = static_cast<const double*>(b.buf);
    std::vector<double> ones(static_cast<std::size_t>(n), 1.0), out(ones.size()), out2(ones.size());
    const auto start = Clock::now();
    for (Py_ssize_t r = 0; r < repeats; ++r) {
        if (libm)
            f->libm(x, y, out.data(), out2.data(), n);
        else
            ours(f->op, x, y, ones.data(), out.data(), out2.data(), n);
    }
    const double t = std::chrono::duration<double>(Clock::now() - start).count();
    static volatile double sink = 0.0;
    sink = sink + out[0] + out2[0];
    return PyFloat_FromDouble(t * 1e9 / static_cast<double>(repeats * n));
}

PyMethodDef methods[] = {
    {"ns_per_value", ns_per_value, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "elementary_bench", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_elementary_bench(void) { return PyModule_Create(&module_def); }
