// orbivane.mathtools.quiverel.quiverel: double-precision 3-vector kernels
// for compiled modules.
//
// Python code sees no callable here: the module publishes its kernels in
// `__pyx_capi__`, one capsule per kernel named by its signature string, and
// compiled clients bind them through <orbivane/quiverel.h>.
//
// Every result is fixed to the bit: each operation rounds on its own, in the
// order written below, with no fused multiply-add (the build passes
// -ffp-contract=off) and no reassociation.
#include "capi_support.hpp"
#include "quiverel.h"
#include "quiverel_rows.hpp"
#include "view_owner.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

using orbivane::CodeSite;
using orbivane::ExecResult;
using orbivane::GilGuard;
using orbivane::ProfiledCall;
using orbivane::Ref;
using namespace orbivane::quiverel;

constexpr const char* kSource = "orbivane/mathtools/quiverel/quiverel";

orbivane::ModuleState module_state{"quiverel", "orbivane.mathtools.quiverel.quiverel", kSource,
                                   "init orbivane.mathtools.quiverel.quiverel"};

// Traceback entries of the kernels, at their fixed lines.
CodeSite tb_norm{"orbivane.mathtools.quiverel.quiverel.norm", kSource, 39};
CodeSite tb_angle{"orbivane.mathtools.quiverel.quiverel.angle", kSource, 60};
CodeSite tb_normalize{"orbivane.mathtools.quiverel.quiverel.normalize", kSource, 65};

CodeSite prof_init{"PyInit_quiverel", kSource, 1};

// ---------------------------------------------------------------------------
// Error contract
// ---------------------------------------------------------------------------

// A check point: is an exception pending for the calling thread? The rule
// of the client header's orbivane_quiverel_error_pending, written once
// there: a thread without a Python thread state returns at once, a thread
// whose own state holds the interpreter lock asks directly, and any other
// takes the lock for the question only when it cannot be holding it
// itself; the lock is never taken on the common path.
//
// It is called on every normalize; like normalize it starts on a cache
// line of its own, which keeps its cost from depending on where the
// linker happens to place it.
[[gnu::noinline, gnu::aligned(64)]] bool error_pending() { return orbivane_quiverel_error_pending() != 0; }

// Appends a kernel's traceback entry under its own hold of the lock.
[[gnu::noinline, gnu::cold]] void append_traceback(CodeSite& site) {
    GilGuard gil;
    orbivane::add_traceback(site, module_state.dict);
}

// A check point that a sum of squares or a length never reaches: only the
// error value -1.0 leads to the question.
[[gnu::noinline, gnu::cold]] bool failed_with(double value, CodeSite& site) {
    if (value != -1.0 || !error_pending()) return false;
    append_traceback(site);
    return true;
}

// ---------------------------------------------------------------------------
// 3-vector kernels, inline bodies
// ---------------------------------------------------------------------------

// The arithmetic they share with the row loops of the batch kernels (dot
// products, the plain-range test, the rescaled forms) is in quiverel_rows.hpp.

inline double norm_inline(double* a) {
    const double s = dot_inline(a, a);
    if (s == -1.0 && failed_with(s, tb_norm)) [[unlikely]]
        return -1.0;
    if (is_plain(s)) [[likely]]
        return std::sqrt(s);
    return norm_rescaled(a, s);
}

// normalize without its closing check point: writes u and returns false, or
// returns true, u unwritten, when the norm's check point found a pending
// exception (both entries appended).
inline bool normalize_unchecked(double* a, double* u) {
    const double s = dot_inline(a, a);
    // norm's check point, then normalize's on the -1.0 that norm returned.
    if (s == -1.0 && failed_with(s, tb_norm) && error_pending()) [[unlikely]] {
        append_traceback(tb_normalize);
        return true;
    }
    if (is_plain(s)) [[likely]] {
        const double f = 1.0 / std::sqrt(s);
        scale_inline(f, a, u);
    } else {
        normalize_rescaled(a, u, s);
    }
    return false;
}

inline void normalize_inline(double* a, double* u) {
    if (normalize_unchecked(a, u)) return;
    if (error_pending()) [[unlikely]]
        append_traceback(tb_normalize);
}

// acos of a ratio clamped to [-1, 1]; NaN stays NaN.
inline double acos_clamped(double r) {
    if (r > 1.0)
        r = 1.0;
    else if (r < -1.0)
        r = -1.0;
    return std::acos(r);
}

// The ratio of angle when the plain sums over- or underflowed: both vectors
// rescaled on their own (the ratio does not depend on their lengths).
[[gnu::noinline]] double angle_ratio_rescaled(const double* a, const double* b, double d, double sa,
                                              double sb) {
    double ra[3], rb[3];
    int ea, eb;
    if (!rescale(a, ra, ea) || !rescale(b, rb, eb)) return (d / std::sqrt(sa)) / std::sqrt(sb);
    const double ds = dot_inline(ra, rb);
    return (ds / std::sqrt(dot_inline(ra, ra))) / std::sqrt(dot_inline(rb, rb));
}

// ---------------------------------------------------------------------------
// Exported entry points: separate callable copies of the inline bodies
// ---------------------------------------------------------------------------

void scale(double const scalar, double* a, double* c) { scale_inline(scalar, a, c); }

void add(double* a, double* b, double* c) {
    c[0] = a[0] + b[0];
    c[1] = a[1] + b[1];
    c[2] = a[2] + b[2];
}

void sub(double* a, double* b, double* c) {
    c[0] = a[0] - b[0];
    c[1] = a[1] - b[1];
    c[2] = a[2] - b[2];
}

double dot(double* a, double* b) { return dot_inline(a, b); }

// All three components are computed before any is stored, so c may be a or b.
void cross(double* a, double* b, double* c) {
    const double x = a[1] * b[2] - a[2] * b[1];
    const double y = a[2] * b[0] - a[0] * b[2];
    const double z = a[0] * b[1] - a[1] * b[0];
    c[0] = x;
    c[1] = y;
    c[2] = z;
}

double norm(double* a) { return norm_inline(a); }

[[gnu::aligned(64)]] void normalize(double* a, double* u) { normalize_inline(a, u); }

double angle(double* a, double* b) {
    const double d = dot_inline(a, b);
    if (d == -1.0 && error_pending()) [[unlikely]] {
        append_traceback(tb_angle);
        return -1.0;
    }
    // The two norms, with their own check points, and angle's after each.
    const double sa = dot_inline(a, a);
    if (sa == -1.0 && failed_with(sa, tb_norm) && error_pending()) [[unlikely]] {
        append_traceback(tb_angle);
        return -1.0;
    }
    const double sb = dot_inline(b, b);
    if (sb == -1.0 && failed_with(sb, tb_norm) && error_pending()) [[unlikely]] {
        append_traceback(tb_angle);
        return -1.0;
    }
    double r;
    if (is_plain(d) && is_plain(sa) && is_plain(sb)) [[likely]]
        r = (d / std::sqrt(sa)) / std::sqrt(sb);
    else
        r = angle_ratio_rescaled(a, b, d, sa, sb);
    return acos_clamped(r);
}

// ---------------------------------------------------------------------------
// View owner: orbivane.mathtools.quiverel.quiverel.memoryview
// ---------------------------------------------------------------------------

// The buffer request of a result view: strides, writability, item format.
constexpr int kResultFlags = PyBUF_STRIDES | PyBUF_WRITABLE | PyBUF_FORMAT;

orbivane::view_owner::OwnerType owner_type{"orbivane.mathtools.quiverel.quiverel.memoryview"};

// ---------------------------------------------------------------------------
// Batch kernels
// ---------------------------------------------------------------------------

struct Constants {
    PyObject* numpy;
    PyObject* zeros;
    PyObject* double_;
    PyObject* three;
    PyObject* zeros_kwnames;  // ("shape", "dtype")
} k;

// All or nothing: the constants are stored only once every one exists, and
// a failed attempt drops what it made, so the next exec starts over.
int make_constants() {
    if (k.numpy) return 0;
    Constants c{};
    Ref shape = Ref::steal(orbivane::intern("shape"));
    Ref dtype = Ref::steal(orbivane::intern("dtype"));
    if (!(c.numpy = orbivane::intern("numpy")) || !(c.zeros = orbivane::intern("zeros")) ||
        !(c.double_ = orbivane::intern("double")) || !(c.three = PyLong_FromLong(3)) || !shape ||
        !dtype || !(c.zeros_kwnames = PyTuple_Pack(2, shape.get(), dtype.get()))) {
        for (PyObject* made : {c.numpy, c.zeros, c.double_, c.three, c.zeros_kwnames}) Py_XDECREF(made);
        return -1;
    }
    k = c;
    return 0;
}

// The profile hook's code objects, each taking the one argument `a`.
CodeSite prof_norm_array{"norm_array", kSource, 41};
CodeSite prof_normalize_array{"normalize_array", kSource, 67};

int make_profile_code(CodeSite& site) {
    if (site.code) return 0;
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(site.file, site.name, site.line)));
    if (!empty) return -1;
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return -1;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:(s)}", "co_argcount", 1, "co_nlocals", 1,
                                          "co_varnames", "a"));
    if (!kwargs) return -1;
    Ref args = Ref::steal(PyTuple_New(0));
    if (!args) return -1;
    PyObject* code = PyObject_Call(replace.get(), args.get(), kwargs.get());
    if (!code) return -1;
    site.code = reinterpret_cast<PyCodeObject*>(code);
    return 0;
}

// The module global `numpy`: the module's dictionary first, then the
// builtins. The object found in the dictionary is kept for as long as the
// dictionary's version tag says that it is unchanged.
struct {
    uint64_t version = 0;
    PyObject* value = nullptr;
} numpy_global;

PyObject* lookup_numpy() {
    PyObject* dict = module_state.dict;
    const uint64_t version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    if (numpy_global.value && numpy_global.version == version) return Py_NewRef(numpy_global.value);
    if (PyObject* found = PyDict_GetItemWithError(dict, k.numpy)) {
        Py_XSETREF(numpy_global.value, Py_NewRef(found));
        numpy_global.version = version;
        return Py_NewRef(found);
    }
    if (PyErr_Occurred()) return nullptr;
    Py_CLEAR(numpy_global.value);
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (!builtins) return nullptr;
    PyObject* found = PyObject_GetAttr(builtins, k.numpy);
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", k.numpy);
    }
    return found;
}

struct BatchSites {
    const char* name;
    CodeSite& profile;
    CodeSite tb_entry;  // the profile function failed on the call event
    CodeSite tb_setup;  // input checks and the result allocation
    CodeSite tb_row;    // a kernel of a row failed
    int result_ndim;
};

BatchSites norm_array_sites{"norm_array", prof_norm_array,
                            {"orbivane.mathtools.quiverel.quiverel.norm_array", kSource, 41},
                            {"orbivane.mathtools.quiverel.quiverel.norm_array", kSource, 46},
                            {"orbivane.mathtools.quiverel.quiverel.norm_array", kSource, 53},
                            1};
BatchSites normalize_array_sites{"normalize_array", prof_normalize_array,
                                 {"orbivane.mathtools.quiverel.quiverel.normalize_array", kSource, 67},
                                 {"orbivane.mathtools.quiverel.quiverel.normalize_array", kSource, 72},
                                 {"orbivane.mathtools.quiverel.quiverel.normalize_array", kSource, 79},
                                 2};

// Rows are read through the input's own strides; a row needs three direct
// columns. Nothing is checked for an empty input (a record for None included).
int check_input(const orbivane_memviewslice& a, const char* name) {
    if (a.shape[0] <= 0) return 0;
    if (a.shape[1] < 3) {
        PyErr_Format(PyExc_ValueError, "%s() needs rows of at least 3 columns, got %zd columns", name,
                     a.shape[1]);
        return -1;
    }
    for (int d = 0; d < 2; ++d) {
        if (a.suboffsets[d] >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "%s() needs a direct view, but input dimension %d is indirect "
                         "(suboffsets[%d] = %zd)",
                         name, d, d, a.suboffsets[d]);
            return -1;
        }
    }
    return 0;
}

// A shape of one or two dimensions as Python writes it: "(4,)", "(4, 3)".
void format_shape(char* out, std::size_t size, int ndim, Py_ssize_t rows, Py_ssize_t columns) {
    if (ndim == 1)
        std::snprintf(out, size, "(%zd,)", rows);
    else
        std::snprintf(out, size, "(%zd, %zd)", rows, columns);
}

// Whether the buffer of what numpy.zeros returned can take the result of n
// rows: doubles in exactly the result's shape, writable and direct. The row
// loops write through the buffer's own strides, whatever they are. Returns
// 0, or -1 with ValueError: `numpy` is looked up at every call, and may name
// any object by now.
int check_result_buffer(const Py_buffer& buf, int ndim, Py_ssize_t n) {
    const char* mismatch = nullptr;
    if (buf.ndim != ndim)
        mismatch = "number of dimensions";
    else if (buf.itemsize != sizeof(double) || !buf.format ||
             (std::strcmp(buf.format, "d") != 0 && std::strcmp(buf.format, "@d") != 0 &&
              std::strcmp(buf.format, "=d") != 0 && std::strcmp(buf.format, "<d") != 0))
        mismatch = "item type";
    if (mismatch) {
        PyErr_Format(PyExc_ValueError,
                     "numpy.zeros returned a buffer of the wrong %s (expected %d dimension%s of "
                     "double, got %d of format '%s' and item size %zd)",
                     mismatch, ndim, ndim == 1 ? "" : "s", buf.ndim, buf.format ? buf.format : "B",
                     buf.itemsize);
        return -1;
    }
    if (!buf.shape || !buf.strides) {
        PyErr_SetString(PyExc_ValueError, "numpy.zeros returned a buffer without shape or strides");
        return -1;
    }
    if (buf.shape[0] != n || (ndim == 2 && buf.shape[1] != 3)) {
        char expected[48], got[48];
        format_shape(expected, sizeof expected, ndim, n, 3);
        format_shape(got, sizeof got, ndim, buf.shape[0], ndim == 2 ? buf.shape[1] : 0);
        PyErr_Format(PyExc_ValueError, "numpy.zeros returned a buffer of the wrong shape (expected %s, got %s)",
                     expected, got);
        return -1;
    }
    if (buf.readonly) {
        PyErr_SetString(PyExc_ValueError, "numpy.zeros returned a read-only buffer");
        return -1;
    }
    if (buf.suboffsets) {
        for (int d = 0; d < ndim; ++d) {
            if (buf.suboffsets[d] >= 0) {
                PyErr_SetString(PyExc_ValueError, "numpy.zeros returned an indirect buffer");
                return -1;
            }
        }
    }
    return 0;
}

// numpy.zeros(shape=(n,) or (n, 3), dtype=numpy.double), viewed as a
// writable strided buffer of doubles: `out` gets one acquisition of a new
// owner, which then holds the only reference to the array.
int allocate_result(Py_ssize_t n, int ndim, orbivane_memviewslice& out) {
    Ref array;
    {
        Ref numpy = Ref::steal(lookup_numpy());
        if (!numpy) return -1;
        Ref zeros = Ref::steal(PyObject_GetAttr(numpy.get(), k.zeros));
        if (!zeros) return -1;
        numpy.reset();
        Ref rows = Ref::steal(PyLong_FromSsize_t(n));
        if (!rows) return -1;
        Ref shape = Ref::steal(ndim == 1 ? PyTuple_Pack(1, rows.get()) : PyTuple_Pack(2, rows.get(), k.three));
        if (!shape) return -1;
        numpy = Ref::steal(lookup_numpy());
        if (!numpy) return -1;
        Ref dtype = Ref::steal(PyObject_GetAttr(numpy.get(), k.double_));
        if (!dtype) return -1;
        PyObject* args[] = {shape.get(), dtype.get()};
        array = Ref::steal(PyObject_Vectorcall(zeros.get(), args, 0, k.zeros_kwnames));
        if (!array) return -1;
    }
    Py_buffer buf;
    if (PyObject_GetBuffer(array.get(), &buf, kResultFlags) < 0) return -1;
    if (check_result_buffer(buf, ndim, n) < 0) {
        PyBuffer_Release(&buf);
        return -1;
    }
    Ref owner = Ref::steal(owner_type.from_buffer(buf, kResultFlags));
    if (!owner) return -1;
    array.reset();
    orbivane_memviewslice v{};
    v.memview = orbivane::view_owner::as_owner(owner.get());
    v.data = static_cast<char*>(v.memview->view.buf);
    for (int d = 0; d < ndim; ++d) {
        v.shape[d] = buf.shape[d];
        v.strides[d] = buf.strides[d];
        v.suboffsets[d] = -1;
    }
    orbivane_view_acquire(&v, 1);
    out = v;
    return 0;
}

// The row loops run on the fastest path the processor supports, chosen once
// at initialisation.
RowPath row_path = RowPath::scalar;

orbivane_memviewslice run_batch(const orbivane_memviewslice& a, BatchSites& sites) {
    ProfiledCall prof;
    orbivane_memviewslice result{};
    CodeSite* failed_at = &sites.tb_setup;
    const Py_ssize_t n = a.shape[0];
    if (prof.enter(sites.profile, module_state.dict) < 0) {
        failed_at = &sites.tb_entry;
        goto fail;
    }
    if (check_input(a, sites.name) < 0 || allocate_result(n, sites.result_ndim, result) < 0) goto fail;
    if (n > 0) {
        const Rows in{a.data, a.strides[0], a.strides[1]};
        const Results out{result.data, result.strides[0], result.strides[1]};
        if (sites.result_ndim == 1) {
            norm_rows(row_path, in, out, n);
        } else {
            // normalize's closing check point, and the loop's own check
            // after it, can only find an exception that was pending before
            // the first row: then row 0 is where the kernel fails.
            if (PyErr_Occurred()) {
                orbivane::add_traceback(tb_normalize, module_state.dict);
                failed_at = &sites.tb_row;
                goto fail;
            }
            normalize_rows(row_path, in, out, n);
        }
    }
    prof.leave(Py_None);
    return result;

fail:
    prof.leave(nullptr);
    orbivane::add_traceback(*failed_at, module_state.dict);
    orbivane_view_release(&result, 1);
    return orbivane_memviewslice{};
}

orbivane_memviewslice norm_array(orbivane_memviewslice a) { return run_batch(a, norm_array_sites); }

orbivane_memviewslice normalize_array(orbivane_memviewslice a) {
    return run_batch(a, normalize_array_sites);
}

// ---------------------------------------------------------------------------
// Exported function table
// ---------------------------------------------------------------------------

// Adds one capsule to `__pyx_capi__`, looking the table up afresh: the first
// export creates it, later ones find and reuse it.
int export_function(PyObject* module, const char* name, void* entry, const char* signature) {
    Ref table = Ref::steal(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (!table) {
        PyErr_Clear();
        table = Ref::steal(PyDict_New());
        if (!table || PyModule_AddObjectRef(module, "__pyx_capi__", table.get()) < 0) return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(entry, signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(table.get(), name, capsule.get());
}

template <class F>
void* entry_address(F* f) {
    return reinterpret_cast<void*>(f);
}

int export_table(PyObject* module) {
    const struct {
        const char* name;
        void* entry;
        const char* signature;
    } table[] = {
        {"scale", entry_address(scale), ORBIVANE_QUIVEREL_SIG_SCALE},
        {"add", entry_address(add), ORBIVANE_QUIVEREL_SIG_BINARY},
        {"sub", entry_address(sub), ORBIVANE_QUIVEREL_SIG_BINARY},
        {"dot", entry_address(dot), ORBIVANE_QUIVEREL_SIG_PAIR},
        {"cross", entry_address(cross), ORBIVANE_QUIVEREL_SIG_BINARY},
        {"norm", entry_address(norm), ORBIVANE_QUIVEREL_SIG_NORM},
        {"norm_array", entry_address(norm_array), ORBIVANE_QUIVEREL_SIG_ARRAY},
        {"angle", entry_address(angle), ORBIVANE_QUIVEREL_SIG_PAIR},
        {"normalize", entry_address(normalize), ORBIVANE_QUIVEREL_SIG_NORMALIZE},
        {"normalize_array", entry_address(normalize_array), ORBIVANE_QUIVEREL_SIG_ARRAY},
    };
    for (const auto& e : table)
        if (export_function(module, e.name, e.entry, e.signature) < 0) return -1;
    return 0;
}

// ---------------------------------------------------------------------------
// Module initialisation
// ---------------------------------------------------------------------------

ExecResult exec_steps(PyObject* module) {
    if (orbivane::exec_bind_instance(module, module_state) < 0 ||
        orbivane::exec_check_version(module_state) < 0 || make_constants() < 0)
        return ExecResult::failed_without_entry();
    // The view owner type is ready before any kernel is published: a client
    // may bind the table and call a batch kernel before this exec ends, or
    // after it failed.
    if (orbivane::exec_register_in_sys_modules(module, module_state) < 0 ||
        make_profile_code(prof_norm_array) < 0 || make_profile_code(prof_normalize_array) < 0 ||
        owner_type.ready() < 0 || export_table(module) < 0)
        return ExecResult::failed_at(1);

    ProfiledCall prof;
    if (prof.enter(prof_init, module_state.dict) < 0) {
        prof.leave(Py_None);
        return ExecResult::failed_at(1);
    }
    const ExecResult r = [&] {
        row_path = fastest_path();
        Ref numpy = Ref::steal(PyImport_ImportModuleLevel("numpy", module_state.dict, nullptr, nullptr, 0));
        if (!numpy || PyDict_SetItemString(module_state.dict, "numpy", numpy.get()) < 0)
            return ExecResult::failed_at(6);
        Ref test = Ref::steal(PyDict_New());
        if (!test || PyDict_SetItemString(module_state.dict, "__test__", test.get()) < 0)
            return ExecResult::failed_at(1);
        return ExecResult::ok();
    }();
    prof.leave(Py_None);
    return r;
}

PyObject* quiverel_create(PyObject* spec, PyModuleDef*) {
    return orbivane::create_module(spec, module_state);
}

int quiverel_exec(PyObject* module) {
    return orbivane::exec_module(module, module_state, [&] { return exec_steps(module); });
}

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(quiverel_create)},
    {Py_mod_exec, reinterpret_cast<void*>(quiverel_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quiverel", "\nWritten by the orbivane developers.\n", 0, module_methods,
    module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quiverel(void) { return PyModuleDef_Init(&module_def); }
