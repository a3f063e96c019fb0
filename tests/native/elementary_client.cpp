// The lane operations and elementary functions of src/orbivane/_native/simd
// over arrays, at every SIMD width the processor runs, whatever width a
// module would choose; and the run-time choice of the width (dispatch.cpp,
// compiled into this client).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <iterator>

#include "elementary_width.hpp"
#include "simd/dispatch.hpp"

namespace {

using namespace orbivane::simd;

constexpr const char* kOpNames[] = {
    "add", "sub", "mul", "div", "neg", "sqrt", "abs", "fma", "round_even", "trunc", "floor",
    "lt", "le", "gt", "ge", "eq", "ne", "logic", "select", "any", "all", "fill",
    "sin", "cos", "sincos", "atan2", "fmod", "fmod_2pi", "cbrt",
};
static_assert(std::size(kOpNames) == static_cast<std::size_t>(Op::count));

EvaluateFn* evaluate_at(Width w, bool scalar_lane) {
    switch (w) {
        case Width::scalar:
            return generic::evaluate;
        case Width::avx2:
            return scalar_lane ? avx2::evaluate_scalar : avx2::evaluate;
        case Width::avx512:
            return scalar_lane ? avx512::evaluate_scalar : avx512::evaluate;
    }
    return nullptr;
}

PyObject* names(auto&& keep, auto&& name_of, auto&& items) {
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    for (const auto& item : items) {
        if (!keep(item)) continue;
        PyObject* s = PyUnicode_FromString(name_of(item));
        if (!s || PyList_Append(list, s) < 0) {
            Py_XDECREF(s);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(s);
    }
    PyObject* t = PyList_AsTuple(list);
    Py_DECREF(list);
    return t;
}

// supported() -> names of the widths this processor runs, narrowest first.
PyObject* supported(PyObject*, PyObject*) {
    return names([](Width w) { return width_supported(w); }, [](Width w) { return width_name(w); }, kWidths);
}

// widest() and chosen() -> names of widest_width() and chosen_width().
PyObject* widest(PyObject*, PyObject*) { return PyUnicode_FromString(width_name(widest_width())); }
PyObject* chosen(PyObject*, PyObject*) { return PyUnicode_FromString(width_name(chosen_width())); }

// ops() -> the names of the operations, as evaluate takes them.
PyObject* ops(PyObject*, PyObject*) {
    return names([](const char*) { return true; }, [](const char* s) { return s; }, kOpNames);
}

struct Buffers {
    Py_buffer b[5] = {};
    ~Buffers() {
        for (auto& v : b)
            if (v.obj) PyBuffer_Release(&v);
    }
};

// evaluate(op, width, a, b, c, out, out2): out (and out2) from a, b and c,
// C-contiguous float64 arrays of one length, on the width's lanes; width
// "avx2:double" (or "avx512:double"): on the scalar lane, compiled with that
// width's flags.
PyObject* evaluate(PyObject*, PyObject* args) {
    const char *op_name, *width_arg;
    PyObject* arrays[5];
    if (!PyArg_ParseTuple(args, "ssOOOOO", &op_name, &width_arg, &arrays[0], &arrays[1], &arrays[2], &arrays[3],
                          &arrays[4]))
        return nullptr;
    char width_name_[16] = {};
    std::strncpy(width_name_, width_arg, sizeof width_name_ - 1);
    char* suffix = std::strchr(width_name_, ':');
    const bool scalar_lane = suffix && !std::strcmp(suffix, ":double");
    if (scalar_lane) *suffix = '\0';
    int op = -1;
    for (int i = 0; i < static_cast<int>(Op::count); ++i)
        if (!std::strcmp(op_name, kOpNames[i])) op = i;
    Width w;
    if (op < 0 || !width_from_name(width_name_, w) || (suffix && !scalar_lane))
        return PyErr_Format(PyExc_ValueError, "%s at %s", op_name, width_arg);
    if (!width_supported(w)) return PyErr_Format(PyExc_RuntimeError, "this processor lacks %s", width_name_);
    Buffers buf;
    for (int i = 0; i < 5; ++i) {
        Py_buffer& v = buf.b[i];
        if (PyObject_GetBuffer(arrays[i], &v, i < 3 ? PyBUF_C_CONTIGUOUS | PyBUF_FORMAT
                                                    : PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) < 0)
            return nullptr;
        if (v.itemsize != 8 || std::strcmp(v.format, "d") || v.len != buf.b[0].len) {
            PyErr_SetString(PyExc_ValueError, "float64 arrays of one length");
            return nullptr;
        }
    }
    auto data = [&](int i) { return static_cast<double*>(buf.b[i].buf); };
    evaluate_at(w, scalar_lane)(static_cast<Op>(op), data(0), data(1), data(2), data(3), data(4), buf.b[0].len / 8);
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"supported", supported, METH_NOARGS, nullptr},
    {"widest", widest, METH_NOARGS, nullptr},
    {"chosen", chosen, METH_NOARGS, nullptr},
    {"ops", ops, METH_NOARGS, nullptr},
    {"evaluate", evaluate, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "elementary_client", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_elementary_client(void) { return PyModule_Create(&module_def); }
