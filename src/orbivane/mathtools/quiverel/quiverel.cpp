// orbivane.mathtools.quiverel.quiverel: double-precision 3-vector kernels
// for compiled modules.
//
// Python code sees no callable here: the module publishes its kernels in
// `__pyx_capi__`, one capsule per kernel named by its signature string, and
// compiled clients bind them through <orbivane/quiverel.h>. This file holds
// the module (its state, initialisation and table) and the 3-vector kernels;
// the batch kernels are in quiverel_batch.cpp.
//
// Every result is fixed to the bit: each operation rounds on its own, in the
// order written below, with no fused multiply-add (the build passes
// -ffp-contract=off) and no reassociation.
#include "quiverel_module.hpp"
#include "quiverel_rows.hpp"

#include <cmath>

namespace orbivane::quiverel {

orbivane::ModuleState module_state{"quiverel", "orbivane.mathtools.quiverel.quiverel", kSource,
                                   "init orbivane.mathtools.quiverel.quiverel"};

// normalize's traceback entry, shared with normalize_array.
orbivane::CodeSite tb_normalize{"orbivane.mathtools.quiverel.quiverel.normalize", kSource, 65};

}  // namespace orbivane::quiverel

namespace {

using orbivane::CodeSite;
using orbivane::ExecResult;
using orbivane::GilGuard;
using orbivane::ProfiledCall;
using orbivane::Ref;
using namespace orbivane::quiverel;

// Traceback entries of the other kernels, at their fixed lines.
CodeSite tb_norm{"orbivane.mathtools.quiverel.quiverel.norm", kSource, 39};
CodeSite tb_angle{"orbivane.mathtools.quiverel.quiverel.angle", kSource, 60};

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
        orbivane::exec_check_version(module_state) < 0 || make_batch_constants() < 0)
        return ExecResult::failed_without_entry();
    // The view owner type is ready before any kernel is published: a client
    // may bind the table and call a batch kernel before this exec ends, or
    // after it failed.
    if (orbivane::exec_register_in_sys_modules(module, module_state) < 0 || ready_batch_types() < 0 ||
        export_table(module) < 0)
        return ExecResult::failed_at(1);

    ProfiledCall prof;
    if (prof.enter(prof_init, module_state.dict) < 0) {
        prof.leave(Py_None);
        return ExecResult::failed_at(1);
    }
    const ExecResult r = [&] {
        choose_row_path();
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
