// orbivane.mathtools.quiverel.vectors: the vector toolkit's kernels for
// Python code.
//
// A compiled client like any other: at import it binds the kernels from the
// toolkit's `__pyx_capi__` through <orbivane/quiverel.h> and from then on
// calls them directly. Each function converts its arguments, calls one
// kernel and turns the kernel's error contract into an ordinary exception.
//
// Every 3-vector argument is copied into the call's own storage before any
// kernel runs (converting a later argument may run Python code that changes
// an earlier one), so an output may be any array, an input included. Batch
// inputs are not copied: a float64 array of any layout is passed to the batch
// kernels as a view of its own memory. Batch results come back as NumPy
// arrays over the kernel's own result memory, holding its acquisition until
// the array goes.
#include "capi_support.hpp"
#include "quiverel.h"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include <cstring>
#include <initializer_list>

namespace {

using orbivane::Ref;

orbivane_quiverel_api kernels;

struct Names {
    PyObject* scalar;
    PyObject* a;
    PyObject* b;
    PyObject* out;
    PyObject* array;            // __array__
    PyObject* array_interface;  // __array_interface__
    PyObject* array_struct;     // __array_struct__
} names;

// ---------------------------------------------------------------------------
// Arguments: arrays or sequences of real numbers
// ---------------------------------------------------------------------------
//
// One rule for every vector argument, 3-vector or batch:
// - float64 arrays are used as they are;
// - arrays of bool, integers or other floating types are converted;
// - sequences and object arrays are converted element by element with
//   Python's float() (so Fraction works and None is refused by float());
// - arrays of any other kind (complex, datetime64, timedelta64, str, bytes,
//   records) are refused with a TypeError that names the argument;
// - a wrong shape is refused with a ValueError that names the argument and
//   the shape.
// Objects that NumPy takes as arrays of their own (buffers, __array__,
// __array_interface__, __array_struct__) count as arrays of their dtype.

// The function and parameter that an argument is bound to, for messages.
struct Param {
    const char* func;
    const char* name;
};

enum class Shape { vector, rows };  // (3,), or (N, k) with k >= 3

bool has_shape(PyArrayObject* a, Shape shape) {
    if (shape == Shape::vector) return PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == 3;
    return PyArray_NDIM(a) == 2 && PyArray_DIM(a, 1) >= 3;
}

void raise_shape(PyArrayObject* a, Shape shape, const Param& p) {
    Ref dims = Ref::steal(PyTuple_New(PyArray_NDIM(a)));
    if (!dims) return;
    for (int d = 0; d < PyArray_NDIM(a); ++d) {
        PyObject* n = PyLong_FromSsize_t(PyArray_DIM(a, d));
        if (!n) return;
        PyTuple_SET_ITEM(dims.get(), d, n);
    }
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must have shape %s, got %R", p.func, p.name,
                 shape == Shape::vector ? "(3,)" : "(N, k) with k >= 3", dims.get());
}

// 1 when NumPy converts obj through an array protocol rather than as a
// sequence, 0 when not, -1 with an exception set.
int is_array_like(PyObject* obj) {
    if (PyArray_Check(obj)) return 1;
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) return 0;  // text is a scalar to NumPy
    if (PyObject_CheckBuffer(obj)) return 1;
    for (PyObject* name : {names.array, names.array_interface, names.array_struct}) {
        PyObject* found;
        const int r = _PyObject_LookupAttr(obj, name, &found);
        Py_XDECREF(found);
        if (r != 0) return r;
    }
    return 0;
}

// A new float64 array of the values of an object array, each one float()
// of its element. A shared array (one that Python code can reach) is read
// from a private copy, so that the code float() runs cannot change it
// under the loop.
Ref floats_from_objects(PyArrayObject* objects, bool shared) {
    const int flags = NPY_ARRAY_CARRAY_RO | (shared ? NPY_ARRAY_ENSURECOPY : 0);
    Ref items = Ref::steal(PyArray_FROMANY(reinterpret_cast<PyObject*>(objects), NPY_OBJECT, 0, 0, flags));
    if (!items) return {};
    auto* src = reinterpret_cast<PyArrayObject*>(items.get());
    Ref values = Ref::steal(PyArray_SimpleNew(PyArray_NDIM(src), PyArray_DIMS(src), NPY_DOUBLE));
    if (!values) return {};
    PyObject* const* in = static_cast<PyObject* const*>(PyArray_DATA(src));
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
    for (npy_intp i = 0, n = PyArray_SIZE(src); i < n; ++i) {
        PyObject* item = in[i] ? in[i] : Py_None;
        if (PyFloat_CheckExact(item)) {
            out[i] = PyFloat_AS_DOUBLE(item);
            continue;
        }
        Ref f = Ref::steal(PyNumber_Float(item));
        if (!f) return {};
        out[i] = PyFloat_AS_DOUBLE(f.get());
    }
    return values;
}

// The argument as an array of native float64 values of the given shape, by
// the rule above: obj itself when it is such an array, else a new one.
Ref float64_argument(PyObject* obj, Shape shape, const Param& p) {
    Ref arr;
    bool shared = true;  // arr may be an array that Python code can reach
    if (PyArray_Check(obj)) {
        arr = Ref::borrow(obj);
    } else {
        const int array_like = PyList_CheckExact(obj) || PyTuple_CheckExact(obj) ? 0 : is_array_like(obj);
        if (array_like < 0) return {};
        // An array protocol may hand back an existing array; a sequence
        // becomes a new object array.
        PyArray_Descr* as = array_like ? nullptr : PyArray_DescrFromType(NPY_OBJECT);
        arr = Ref::steal(PyArray_FromAny(obj, as, 0, 0, 0, nullptr));
        if (!arr) return {};
        shared = array_like;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
    const char kind = PyArray_DESCR(a)->kind;
    if (kind != 'O' && kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an array or a sequence of real numbers, "
                     "not an array of %S", p.func, p.name, reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
        return {};
    }
    if (!has_shape(a, shape)) {
        raise_shape(a, shape, p);
        return {};
    }
    if (kind == 'O') return floats_from_objects(a, shared);
    if (PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a)) return arr;
    return Ref::steal(PyArray_FROMANY(arr.get(), NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
}

inline double load(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A 3-vector argument, copied into the call's own storage.
struct Vec3 {
    double v[3];

    int parse(PyObject* obj, const Param& p) {
        // A tuple or list of three Python floats or ints, read directly.
        if ((PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) && PySequence_Fast_GET_SIZE(obj) == 3) {
            PyObject** items = PySequence_Fast_ITEMS(obj);
            int i = 0;
            for (; i < 3; ++i) {
                if (PyFloat_CheckExact(items[i])) {
                    v[i] = PyFloat_AS_DOUBLE(items[i]);
                } else if (PyLong_CheckExact(items[i])) {
                    v[i] = PyLong_AsDouble(items[i]);  // as float() converts an int
                    if (v[i] == -1.0 && PyErr_Occurred()) return -1;
                } else {
                    break;
                }
            }
            if (i == 3) return 0;
        }
        Ref arr = float64_argument(obj, Shape::vector, p);
        if (!arr) return -1;
        auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
        const char* data = PyArray_BYTES(a);
        const npy_intp step = PyArray_STRIDE(a, 0);
        for (int i = 0; i < 3; ++i) v[i] = load(data + i * step);
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

using orbivane::Keywords;
using orbivane::Signature;

int bind(const char* func, PyObject* const* params, Py_ssize_t count, Py_ssize_t required,
         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** values) {
    const Signature sig{func, params, count, required};
    return orbivane::bind_arguments(sig, args, PyVectorcall_NARGS(nargs),
                                    Keywords::from_vectorcall(kwnames, args + PyVectorcall_NARGS(nargs)),
                                    values);
}

// Calls a kernel that writes one output vector. The inputs are the call's
// own copies, so the output may be any array, one of the inputs included.
template <class Call>
PyObject* vector_result(const char* func, PyObject* out, Call&& call) {
    Out3 result;
    if (result.prepare(out, func) < 0) return nullptr;
    call(result.ptr);
    if (PyErr_Occurred()) return nullptr;
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
    // A complex number is refused, not cut to its real part as NumPy's
    // complex scalars let float() do.
    if (PyComplex_Check(v[0]) || PyArray_IsScalar(v[0], ComplexFloating)) {
        PyErr_Format(PyExc_TypeError, "scale() argument 'scalar' must be a real number, not %.200s",
                     Py_TYPE(v[0])->tp_name);
        return nullptr;
    }
    const double scalar = PyFloat_AsDouble(v[0]);
    if (scalar == -1.0 && PyErr_Occurred()) return nullptr;
    Vec3 a;
    if (a.parse(v[1], {"scale", "a"}) < 0) return nullptr;
    return vector_result("scale", v[2], [&](double* c) { kernels.scale(scalar, a.v, c); });
}

template <orbivane_binary_fn orbivane_quiverel_api::*Kernel>
PyObject* binary(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* params[] = {names.a, names.b, names.out};
    PyObject* v[3];
    if (bind(func, params, 3, 2, args, nargs, kwnames, v) < 0) return nullptr;
    Vec3 a, b;
    if (a.parse(v[0], {func, "a"}) < 0 || b.parse(v[1], {func, "b"}) < 0) return nullptr;
    return vector_result(func, v[2], [&](double* c) { (kernels.*Kernel)(a.v, b.v, c); });
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
    if (a.parse(v[0], {func, "a"}) < 0 || b.parse(v[1], {func, "b"}) < 0) return nullptr;
    return float_result((kernels.*Kernel)(a.v, b.v));
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
    if (a.parse(v[0], {"norm", "a"}) < 0) return nullptr;
    return float_result(kernels.norm(a.v));
}

PyObject* py_normalize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* params[] = {names.a, names.out};
    PyObject* v[2];
    if (bind("normalize", params, 2, 1, args, nargs, kwnames, v) < 0) return nullptr;
    Vec3 a;
    if (a.parse(v[0], {"normalize", "a"}) < 0) return nullptr;
    return vector_result("normalize", v[1], [&](double* u) { kernels.normalize(a.v, u); });
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

// The (N, k >= 3) input as a view of float64 memory: a float64 array's own,
// in any layout, or that of the array it was converted to.
struct Rows2D {
    Ref source;
    Py_buffer buffer{};
    bool held = false;
    orbivane_memviewslice view{};

    ~Rows2D() {
        if (held) PyBuffer_Release(&buffer);
    }

    int parse(PyObject* obj, const char* func) {
        Ref arr = float64_argument(obj, Shape::rows, {func, "a"});
        if (!arr) return -1;
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

// The argument rule and the output, said once for all functions.
#define VECTOR_A "a is a 3-vector: an array or a sequence of three real numbers."
#define VECTOR_AB "a and b are 3-vectors: arrays or sequences of three real numbers."
#define VECTOR_OUT                                                                                \
    "The result is a new float64 array of shape (3,), or is written into out: a writable, "     \
    "contiguous float64 array of shape (3,), which may be an input."
#define ROWS_ARG                                                                                  \
    "a holds N rows of at least three real numbers (only the first three count): an array of "  \
    "shape (N, k >= 3) or a sequence of rows. A float64 array is read in place, in any layout."

PyMethodDef methods[] = {
    {"scale", fastcall(py_scale), kFast,
     "scale(scalar, a, out=None)\n--\n\nscalar * a; scalar is a real number, " VECTOR_A " " VECTOR_OUT},
    {"add", fastcall(py_add), kFast, "add(a, b, out=None)\n--\n\na + b; " VECTOR_AB " " VECTOR_OUT},
    {"sub", fastcall(py_sub), kFast, "sub(a, b, out=None)\n--\n\na - b; " VECTOR_AB " " VECTOR_OUT},
    {"dot", fastcall(py_dot), kFast, "dot(a, b)\n--\n\nThe scalar product, a float; " VECTOR_AB},
    {"cross", fastcall(py_cross), kFast,
     "cross(a, b, out=None)\n--\n\nThe cross product a x b; " VECTOR_AB " " VECTOR_OUT},
    {"norm", fastcall(py_norm), kFast, "norm(a)\n--\n\nThe Euclidean length, a float; " VECTOR_A},
    {"norm_array", fastcall(py_norm_array), kFast,
     "norm_array(a)\n--\n\nThe length of every row, as a float64 array of shape (N,). " ROWS_ARG},
    {"angle", fastcall(py_angle), kFast,
     "angle(a, b)\n--\n\nThe angle between a and b in radians, a float; " VECTOR_AB},
    {"normalize", fastcall(py_normalize), kFast,
     "normalize(a, out=None)\n--\n\na scaled to unit length; " VECTOR_A " " VECTOR_OUT},
    {"normalize_array", fastcall(py_normalize_array), kFast,
     "normalize_array(a)\n--\n\nEvery row scaled to unit length, as a float64 array of shape (N, 3). " ROWS_ARG},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Module initialisation
// ---------------------------------------------------------------------------

// The package's rules of multi-phase initialisation: one interpreter per
// process (the interned names, the result type and NumPy's function table
// belong to the interpreter that imported the module, and so do the
// kernels' check points), the same module on a repeat import, no
// re-initialisation.
orbivane::ModuleState module_state{"vectors", "orbivane.mathtools.quiverel.vectors",
                                   "orbivane/mathtools/quiverel/vectors",
                                   "init orbivane.mathtools.quiverel.vectors"};

int make_names() {
    if (names.scalar) return 0;
    Names n{};
    if (!(n.scalar = orbivane::intern("scalar")) || !(n.a = orbivane::intern("a")) ||
        !(n.b = orbivane::intern("b")) || !(n.out = orbivane::intern("out")) ||
        !(n.array = orbivane::intern("__array__")) ||
        !(n.array_interface = orbivane::intern("__array_interface__")) ||
        !(n.array_struct = orbivane::intern("__array_struct__"))) {
        for (PyObject* made : {n.scalar, n.a, n.b, n.out, n.array, n.array_interface, n.array_struct})
            Py_XDECREF(made);
        return -1;
    }
    names = n;
    return 0;
}

orbivane::ExecResult exec_steps(PyObject* module) {
    using orbivane::ExecResult;
    if (orbivane::exec_bind_instance(module, module_state) < 0 ||
        orbivane::exec_check_version(module_state) < 0 || make_names() < 0)
        return ExecResult::failed_without_entry();
    if (orbivane::exec_register_in_sys_modules(module, module_state) < 0 || _import_array() < 0 ||
        orbivane_import_quiverel(&kernels) < 0 ||
        (!(holder_type.tp_flags & Py_TPFLAGS_READY) && ready_holder_type() < 0) ||
        PyModule_AddFunctions(module, methods) < 0)
        return ExecResult::failed_at(1);
    return ExecResult::ok();
}

PyObject* vectors_create(PyObject* spec, PyModuleDef*) { return orbivane::create_module(spec, module_state); }

int vectors_exec(PyObject* module) {
    return orbivane::exec_module(module, module_state, [&] { return exec_steps(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(vectors_create)},
    {Py_mod_exec, reinterpret_cast<void*>(vectors_exec)},
    {0, nullptr},
};

// The functions are added by the exec step, once: a repeat import returns
// the same module with the same function objects.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vectors",
    "Double-precision 3-vector kernels of orbivane.mathtools.quiverel.quiverel, for Python code.\n"
    "\n"
    "Every vector argument is an array or a sequence of real numbers:\n"
    "- float64 arrays are used as they are;\n"
    "- arrays of bool, integers or other floating types are converted;\n"
    "- sequences and object arrays are converted element by element with float();\n"
    "- complex, datetime64, timedelta64, str and bytes arrays raise TypeError;\n"
    "- a wrong shape raises ValueError.\n"
    "Results are bit for bit those of the compiled kernels.",
    0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vectors(void) { return PyModuleDef_Init(&module_def); }
