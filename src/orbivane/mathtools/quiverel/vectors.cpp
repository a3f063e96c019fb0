// orbivane.mathtools.quiverel.vectors: the vector toolkit's kernels for
// Python code.
//
// A compiled client like any other: at import it binds the kernels from the
// toolkit's `__pyx_capi__` through <orbivane/quiverel.h> and from then on
// calls them directly. Each function converts its arguments, calls one
// kernel and turns the kernel's error contract into an ordinary exception.
//
// Arrays are never copied on the way in: a float64 array of any layout is
// passed to the batch kernels as a view of its own memory, and 3-vectors that
// are contiguous float64 arrays are passed by address (so `out=a` computes in
// place). Batch results come back as NumPy arrays over the kernel's own
// result memory, holding its acquisition until the array goes.
#include "capi_support.hpp"
#include "quiverel.h"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include <cstring>

namespace {

using orbivane::Ref;

orbivane_quiverel_api kernels;

struct Names {
    PyObject* scalar;
    PyObject* a;
    PyObject* b;
    PyObject* out;
} names;

// ---------------------------------------------------------------------------
// 3-vector arguments
// ---------------------------------------------------------------------------

// A 3-vector argument: the memory of a contiguous float64 array of shape
// (3,), or a local copy of any other sequence of three numbers.
struct Vec3 {
    double local[3];
    double* ptr = nullptr;
    Ref keep;

    int parse(PyObject* obj, const char* func, const char* what) {
        if (PyArray_Check(obj)) {
            auto* arr = reinterpret_cast<PyArrayObject*>(obj);
            if (PyArray_TYPE(arr) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(arr) && PyArray_NDIM(arr) == 1 &&
                PyArray_DIM(arr, 0) == 3 && PyArray_STRIDE(arr, 0) == sizeof(double) &&
                PyArray_ISALIGNED(arr)) {
                keep = Ref::borrow(obj);
                ptr = static_cast<double*>(PyArray_DATA(arr));
                return 0;
            }
        } else if ((PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) && PySequence_Fast_GET_SIZE(obj) == 3) {
            PyObject** items = PySequence_Fast_ITEMS(obj);
            bool floats = true;
            for (int i = 0; i < 3 && floats; ++i) {
                if (PyFloat_CheckExact(items[i]))
                    local[i] = PyFloat_AS_DOUBLE(items[i]);
                else
                    floats = false;
            }
            if (floats) {
                ptr = local;
                return 0;
            }
        }
        Ref arr = Ref::steal(PyArray_FROMANY(obj, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
        if (!arr) return -1;
        auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
        if (PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) != 3) {
            PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be a 3-vector, got %d dimension(s) of size %zd",
                         func, what, PyArray_NDIM(a), PyArray_SIZE(a));
            return -1;
        }
        std::memcpy(local, PyArray_DATA(a), sizeof local);
        ptr = local;
        return 0;
    }
};

// The output 3-vector: `out` when given (a writable, contiguous float64
// array of shape (3,)), else a new array.
struct Out3 {
    Ref array;
    double* ptr = nullptr;

    int prepare(PyObject* out, const char* func) {
        if (out && out != Py_None) {
            auto* arr = reinterpret_cast<PyArrayObject*>(out);
            if (!PyArray_Check(out) || PyArray_TYPE(arr) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(arr) ||
                PyArray_NDIM(arr) != 1 || PyArray_DIM(arr, 0) != 3 ||
                PyArray_STRIDE(arr, 0) != sizeof(double) || !PyArray_ISALIGNED(arr) ||
                !PyArray_ISWRITEABLE(arr)) {
                PyErr_Format(PyExc_TypeError,
                             "%s() argument 'out' must be a writable, contiguous float64 array of shape (3,)",
                             func);
                return -1;
            }
            array = Ref::borrow(out);
        } else {
            npy_intp dims[1] = {3};
            array = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
            if (!array) return -1;
        }
        ptr = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
        return 0;
    }
};

// Kernels allow an output that is exactly an input, never a partial
// overlap: such an output is computed into a temporary first.
bool overlaps_partly(const double* out, const double* in) {
    return out != in && out < in + 3 && in < out + 3;
}

using orbivane::Keywords;
using orbivane::Signature;

int bind(const char* func, PyObject* const* params, Py_ssize_t count, Py_ssize_t required,
         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** values) {
    const Signature sig{func, params, count, required};
    return orbivane::bind_arguments(sig, args, PyVectorcall_NARGS(nargs),
                                    Keywords::from_vectorcall(kwnames, args + PyVectorcall_NARGS(nargs)),
                                    values);
}

// Calls a kernel that writes one output vector from `count` input vectors.
template <class Call>
PyObject* vector_result(const char* func, Vec3* inputs, int count, PyObject* out, Call&& call) {
    Out3 result;
    if (result.prepare(out, func) < 0) return nullptr;
    bool temporary = false;
    for (int i = 0; i < count; ++i) temporary |= overlaps_partly(result.ptr, inputs[i].ptr);
    double scratch[3];
    double* target = temporary ? scratch : result.ptr;
    call(target);
    if (PyErr_Occurred()) return nullptr;
    if (temporary) std::memcpy(result.ptr, scratch, sizeof scratch);
    return result.array.release();
}

PyObject* float_result(double value) {
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(value);
}

PyObject* py_scale(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* params[] = {names.scalar, names.a, names.out};
    PyObject* v[3];
    if (bind("scale", params, 3, 2, args, nargs, kwnames, v) < 0) return nullptr;
    const double scalar = PyFloat_AsDouble(v[0]);
    if (scalar == -1.0 && PyErr_Occurred()) return nullptr;
    Vec3 a;
    if (a.parse(v[1], "scale", "a") < 0) return nullptr;
    return vector_result("scale", &a, 1, v[2], [&](double* c) { kernels.scale(scalar, a.ptr, c); });
}

template <orbivane_binary_fn orbivane_quiverel_api::*Kernel>
PyObject* binary(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* params[] = {names.a, names.b, names.out};
    PyObject* v[3];
    if (bind(func, params, 3, 2, args, nargs, kwnames, v) < 0) return nullptr;
    Vec3 in[2];
    if (in[0].parse(v[0], func, "a") < 0 || in[1].parse(v[1], func, "b") < 0) return nullptr;
    return vector_result(func, in, 2, v[2], [&](double* c) { (kernels.*Kernel)(in[0].ptr, in[1].ptr, c); });
}

PyObject* py_add(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binary<&orbivane_quiverel_api::add>("add", args, nargs, kwnames);
}

PyObject* py_sub(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binary<&orbivane_quiverel_api::sub>("sub", args, nargs, kwnames);
}

PyObject* py_cross(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binary<&orbivane_quiverel_api::cross>("cross", args, nargs, kwnames);
}

template <orbivane_pair_fn orbivane_quiverel_api::*Kernel>
PyObject* pair(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* params[] = {names.a, names.b};
    PyObject* v[2];
    if (bind(func, params, 2, 2, args, nargs, kwnames, v) < 0) return nullptr;
    Vec3 a, b;
    if (a.parse(v[0], func, "a") < 0 || b.parse(v[1], func, "b") < 0) return nullptr;
    return float_result((kernels.*Kernel)(a.ptr, b.ptr));
}

PyObject* py_dot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pair<&orbivane_quiverel_api::dot>("dot", args, nargs, kwnames);
}

PyObject* py_angle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pair<&orbivane_quiverel_api::angle>("angle", args, nargs, kwnames);
}

PyObject* py_norm(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* params[] = {names.a};
    PyObject* v[1];
    if (bind("norm", params, 1, 1, args, nargs, kwnames, v) < 0) return nullptr;
    Vec3 a;
    if (a.parse(v[0], "norm", "a") < 0) return nullptr;
    return float_result(kernels.norm(a.ptr));
}

PyObject* py_normalize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* params[] = {names.a, names.out};
    PyObject* v[2];
    if (bind("normalize", params, 2, 1, args, nargs, kwnames, v) < 0) return nullptr;
    Vec3 a;
    if (a.parse(v[0], "normalize", "a") < 0) return nullptr;
    return vector_result("normalize", &a, 1, v[1], [&](double* u) { kernels.normalize(a.ptr, u); });
}

// ---------------------------------------------------------------------------
// Batch kernels
// ---------------------------------------------------------------------------

// Holds one acquisition of a batch kernel's result; it is the base of the
// NumPy array that Python code sees, and releases the acquisition exactly
// once, when that array goes.
struct ResultHolder {
    PyObject_HEAD
    orbivane_memviewslice view;
};

void holder_dealloc(PyObject* self) {
    orbivane_view_release(&reinterpret_cast<ResultHolder*>(self)->view, 1);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject holder_type;

int ready_holder_type() {
    holder_type.tp_name = "orbivane.mathtools.quiverel.vectors._KernelResult";
    holder_type.tp_basicsize = sizeof(ResultHolder);
    holder_type.tp_flags = Py_TPFLAGS_DEFAULT;
    holder_type.tp_doc = "Keeps a batch kernel's result alive for the array over it.";
    holder_type.tp_dealloc = holder_dealloc;
    return PyType_Ready(&holder_type);
}

// Wraps a successful result (taking over its acquisition) in a NumPy array.
PyObject* wrap_result(orbivane_memviewslice& result, int ndim) {
    Ref holder = Ref::steal(holder_type.tp_alloc(&holder_type, 0));
    if (!holder) {
        orbivane_view_release(&result, 1);
        return nullptr;
    }
    auto* h = reinterpret_cast<ResultHolder*>(holder.get());
    h->view = result;
    result = orbivane_memviewslice{};
    npy_intp dims[2] = {h->view.shape[0], h->view.shape[1]};
    npy_intp strides[2] = {h->view.strides[0], h->view.strides[1]};
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), ndim, dims,
                                                strides, h->view.data, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0)
        return nullptr;
    return array.release();
}

// The (N, k >= 3) float64 input as a view of its own memory. Arrays of
// float64, in any layout, are used as they are; anything else is first
// converted to one.
struct Rows2D {
    Ref source;
    Py_buffer buffer{};
    bool held = false;
    orbivane_memviewslice view{};

    ~Rows2D() {
        if (held) PyBuffer_Release(&buffer);
    }

    int parse(PyObject* obj, const char* func) {
        Ref arr;
        if (PyArray_Check(obj) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj)) == NPY_DOUBLE &&
            PyArray_ISNOTSWAPPED(reinterpret_cast<PyArrayObject*>(obj)))
            arr = Ref::borrow(obj);
        else
            arr = Ref::steal(PyArray_FROMANY(obj, NPY_DOUBLE, 0, 0, NPY_ARRAY_ALIGNED));
        if (!arr) return -1;
        auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
        if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 1) < 3) {
            PyErr_Format(PyExc_ValueError, "%s() argument 'a' must have shape (N, k) with k >= 3, got %d dimension(s)%s",
                         func, PyArray_NDIM(a), PyArray_NDIM(a) == 2 ? " with fewer than 3 columns" : "");
            return -1;
        }
        if (PyObject_GetBuffer(arr.get(), &buffer, PyBUF_RECORDS_RO) < 0) return -1;
        held = true;
        source = std::move(arr);
        return orbivane_view_from_buffer(&buffer, &view);
    }
};

template <orbivane_array_fn orbivane_quiverel_api::*Kernel>
PyObject* batch(const char* func, int ndim, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* params[] = {names.a};
    PyObject* v[1];
    if (bind(func, params, 1, 1, args, nargs, kwnames, v) < 0) return nullptr;
    Rows2D in;
    if (in.parse(v[0], func) < 0) return nullptr;
    orbivane_memviewslice result = (kernels.*Kernel)(in.view);
    if (!result.memview) return nullptr;
    return wrap_result(result, ndim);
}

PyObject* py_norm_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return batch<&orbivane_quiverel_api::norm_array>("norm_array", 1, args, nargs, kwnames);
}

PyObject* py_normalize_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return batch<&orbivane_quiverel_api::normalize_array>("normalize_array", 2, args, nargs, kwnames);
}

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

template <class F>
PyCFunction fastcall(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"scale", fastcall(py_scale), kFast, "scale(scalar, a, out=None): scalar * a."},
    {"add", fastcall(py_add), kFast, "add(a, b, out=None): a + b."},
    {"sub", fastcall(py_sub), kFast, "sub(a, b, out=None): a - b."},
    {"dot", fastcall(py_dot), kFast, "dot(a, b): the scalar product."},
    {"cross", fastcall(py_cross), kFast, "cross(a, b, out=None): the cross product a x b."},
    {"norm", fastcall(py_norm), kFast, "norm(a): the Euclidean length."},
    {"norm_array", fastcall(py_norm_array), kFast,
     "norm_array(a): the length of every row of an (N, k >= 3) float64 array."},
    {"angle", fastcall(py_angle), kFast, "angle(a, b): the angle between a and b, in radians."},
    {"normalize", fastcall(py_normalize), kFast, "normalize(a, out=None): a scaled to unit length."},
    {"normalize_array", fastcall(py_normalize_array), kFast,
     "normalize_array(a): every row of an (N, k >= 3) float64 array scaled to unit length, as (N, 3)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vectors",
    "Double-precision 3-vector kernels of orbivane.mathtools.quiverel.quiverel, for Python code.", -1,
    methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vectors(void) {
    import_array();
    if (!names.scalar) {
        if (!(names.scalar = orbivane::intern("scalar")) || !(names.a = orbivane::intern("a")) ||
            !(names.b = orbivane::intern("b")) || !(names.out = orbivane::intern("out")))
            return nullptr;
    }
    if (orbivane_import_quiverel(&kernels) < 0) return nullptr;
    if (!(holder_type.tp_flags & Py_TPFLAGS_READY) && ready_holder_type() < 0) return nullptr;
    return PyModule_Create(&module_def);
}
