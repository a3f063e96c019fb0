// Shared CPython C-API support for orbivane's extension modules.
//
// Everything here is used by more than one module: owned references,
// the interpreter's standard argument-error formats and keyword binding,
// synthetic traceback entries and profiler events, and the rules of
// multi-phase module creation and execution that every module follows.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace orbivane {

// ---------------------------------------------------------------------------
// References
// ---------------------------------------------------------------------------

// An owned (strong) reference, released when it goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (which may be null after a failed call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return Ref(p); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept { reset(o.release()); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives up ownership to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new reference for the caller; this one keeps its own.
    PyObject* new_ref() const noexcept { Py_XINCREF(p_); return p_; }
    void reset(PyObject* p = nullptr) noexcept { Py_XDECREF(std::exchange(p_, p)); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A process-wide strong reference that is deliberately never released:
// the modules are never finalised, so their bound objects live as long as
// the process.
class Immortal {
public:
    constexpr Immortal() noexcept = default;
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Stores a new reference, dropping any previous one.
    void set(PyObject* owned) noexcept { Py_XDECREF(p_); p_ = owned; }
    void clear() noexcept { Py_CLEAR(p_); }

private:
    PyObject* p_ = nullptr;
};

// Keeps the exception pending at construction aside and restores it at
// destruction, replacing anything raised in between.
class SavedException {
public:
    SavedException() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    SavedException(const SavedException&) = delete;
    SavedException& operator=(const SavedException&) = delete;
    ~SavedException() {
        if (restore_) PyErr_Restore(type_, value_, tb_);
    }
    // Drops the saved exception instead of restoring it.
    void discard() noexcept {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(tb_);
        restore_ = false;
    }
    bool restores() const noexcept { return restore_; }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
    bool restore_ = true;
};

// Holds the interpreter lock for a scope, whether or not the thread
// already held it.
//
// The constructor may end the thread: a thread that waits for the lock while
// the interpreter finalises is ended by PyGILState_Ensure with a forced
// unwind (pthread_exit), which must pass through every frame above it. It is
// therefore not noexcept (a noexcept frame would turn the unwind into
// std::terminate); the guard is then never constructed, so nothing is
// released.
class GilGuard {
public:
    GilGuard() : state_(PyGILState_Ensure()) {}
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;
    ~GilGuard() { PyGILState_Release(state_); }

private:
    PyGILState_STATE state_;
};

inline PyObject* intern(const char* s) noexcept { return PyUnicode_InternFromString(s); }

// ---------------------------------------------------------------------------
// Argument errors, in the interpreter's standard formats
// ---------------------------------------------------------------------------

inline void raise_argtuple_invalid(const char* func, bool exact, Py_ssize_t num_min,
                                   Py_ssize_t num_max, Py_ssize_t num_found) {
    Py_ssize_t expected;
    const char* more_or_less;
    if (num_found < num_min) {
        expected = num_min;
        more_or_less = "at least";
    } else {
        expected = num_max;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func, more_or_less, expected, expected == 1 ? "" : "s", num_found);
}

inline void raise_unexpected_keyword(const char* func, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, keyword);
}

inline void raise_double_keyword(const char* func, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func,
                 keyword);
}

inline void raise_keywords_not_strings(const char* func) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
}

// "Argument 'x' has incorrect type (expected str, got int)".
inline void raise_argument_type(const char* name, const char* expected, PyObject* got) {
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    if (!empty) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
                 name, expected, Py_TYPE(got)->tp_name, "", empty.get());
}

// Keyword arguments as a call delivers them: a dict (tp_new, tp_call) or
// the kwnames tuple and values of a vectorcall.
class Keywords {
public:
    static Keywords from_dict(PyObject* dict) noexcept { return Keywords(dict, nullptr, nullptr); }
    static Keywords from_vectorcall(PyObject* kwnames, PyObject* const* values) noexcept {
        return Keywords(nullptr, kwnames, values);
    }

    Py_ssize_t size() const noexcept {
        if (dict_) return PyDict_GET_SIZE(dict_);
        return kwnames_ ? PyTuple_GET_SIZE(kwnames_) : 0;
    }

    // Borrowed value for an interned name, or null (with an exception set
    // only when the look-up itself failed).
    PyObject* find(PyObject* name) const {
        if (dict_) return PyDict_GetItemWithError(dict_, name);
        const Py_ssize_t n = size();
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyTuple_GET_ITEM(kwnames_, i) == name) return values_[i];
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* key = PyTuple_GET_ITEM(kwnames_, i);
            if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return values_[i];
        }
        return nullptr;
    }

    // Visits the keys in call order; stops at the first nonzero result.
    template <class F>
    int for_each_key(F&& f) const {
        if (dict_) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(dict_, &pos, &key, &value))
                if (int r = f(key)) return r;
            return 0;
        }
        for (Py_ssize_t i = 0, n = size(); i < n; ++i)
            if (int r = f(PyTuple_GET_ITEM(kwnames_, i))) return r;
        return 0;
    }

private:
    Keywords(PyObject* d, PyObject* k, PyObject* const* v) noexcept
        : dict_(d), kwnames_(k), values_(v) {}
    PyObject* dict_;
    PyObject* kwnames_;
    PyObject* const* values_;
};

// A Python-callable entry's parameters: interned names, of which the
// first `required` must be supplied and at most `names.size()` may be
// given by position.
struct Signature {
    const char* func;
    PyObject* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
};

// Binds positional and keyword arguments to `values` (borrowed, null for
// an omitted optional argument) by Python's ordinary rules. The checks run
// in a fixed order: too many positional arguments, then each missing
// required argument in parameter order, then unknown or repeated keywords.
inline int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                          const Keywords& kw, PyObject** values) {
    const bool exact = sig.required == sig.count;
    if (nargs > sig.count) {
        raise_argtuple_invalid(sig.func, exact, sig.required, sig.count, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) values[i] = i < nargs ? args[i] : nullptr;

    Py_ssize_t left = kw.size();
    for (Py_ssize_t i = nargs; i < sig.count; ++i) {
        if (left == 0 && i >= sig.required) break;
        PyObject* v = left ? kw.find(sig.names[i]) : nullptr;
        if (v) {
            values[i] = v;
            --left;
        } else if (PyErr_Occurred()) {
            return -1;
        } else if (i < sig.required) {
            raise_argtuple_invalid(sig.func, exact, sig.required, sig.count, i);
            return -1;
        }
    }
    if (left == 0) return 0;

    // Some keywords are not parameters after the positional ones.
    return kw.for_each_key([&](PyObject* key) -> int {
        if (!PyUnicode_Check(key)) {
            raise_keywords_not_strings(sig.func);
            return -1;
        }
        for (Py_ssize_t i = 0; i < sig.count; ++i) {
            if (key == sig.names[i] || PyUnicode_Compare(key, sig.names[i]) == 0) {
                if (i < nargs) {
                    raise_double_keyword(sig.func, key);
                    return -1;
                }
                return 0;
            }
        }
        raise_unexpected_keyword(sig.func, key);
        return -1;
    });
}

// For entries that accept no keywords at all.
inline int reject_keywords(const char* func, const Keywords& kw) {
    if (kw.size() == 0) return 0;
    return kw.for_each_key([&](PyObject* key) -> int {
        if (!PyUnicode_Check(key))
            raise_keywords_not_strings(func);
        else
            raise_unexpected_keyword(func, key);
        return -1;
    });
}

// ---------------------------------------------------------------------------
// Code objects, traceback entries and profiler events
// ---------------------------------------------------------------------------

// A named place in a module's source: the function name, file and line that
// a traceback entry or a profiler frame shows. Its empty code object is made
// on first use and kept for the life of the process.
struct CodeSite {
    const char* name;
    const char* file;
    int line;
    PyCodeObject* code = nullptr;

    // Borrowed; null with an exception set on failure. Leaves any pending
    // exception in place.
    PyCodeObject* get() {
        if (!code) {
            SavedException saved;
            code = PyCode_NewEmpty(file, name, line);
            if (!code) saved.discard();
        }
        return code;
    }
};

// Appends a traceback entry for `site` to the pending exception. Needs the
// interpreter lock and a pending exception; `globals` is the module's
// dictionary.
inline void add_traceback(CodeSite& site, PyObject* globals) {
    PyCodeObject* code = site.get();
    if (!code) return;
    Ref frame;
    {
        SavedException saved;
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), code, globals, nullptr)));
        if (!frame) saved.discard();
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// Reports the call and the return of a native body to a profile function
// installed with sys.setprofile, through a synthetic frame for a code site.
// Nothing happens without a profile function, or while the thread is
// already inside a trace or profile callback.
class ProfiledCall {
public:
    ProfiledCall() noexcept = default;
    ProfiledCall(const ProfiledCall&) = delete;
    ProfiledCall& operator=(const ProfiledCall&) = delete;
    // Reports the return without a value if nobody did.
    ~ProfiledCall() { leave(nullptr); }

    static bool wanted(PyThreadState* ts) noexcept { return ts->c_profilefunc && !ts->tracing; }

    // Reports the call event. Returns -1 with the profile function's
    // exception when it raised (the pending exception it replaced is
    // dropped), 0 otherwise.
    int enter(CodeSite& site, PyObject* globals) {
        PyThreadState* ts = PyThreadState_Get();
        if (!wanted(ts)) return 0;
        PyCodeObject* code = site.get();
        if (!code) return -1;
        {
            SavedException saved;
            frame_ = PyFrame_New(ts, code, globals, nullptr);
            if (!frame_) {
                saved.discard();
                return -1;
            }
        }
        SavedException saved;
        PyThreadState_EnterTracing(ts);
        int failed = ts->c_profilefunc(ts->c_profileobj, frame_, PyTrace_CALL, nullptr);
        PyThreadState_LeaveTracing(ts);
        if (failed) {
            saved.discard();  // the profile function's exception stays pending
            return -1;
        }
        return 0;
    }

    // Reports the return event with `result` (null after a failure). The
    // pending exception, if any, is kept; errors of the profile function
    // at this point are dropped.
    void leave(PyObject* result) {
        if (!frame_) return;
        PyThreadState* ts = PyThreadState_Get();
        {
            SavedException saved;
            PyThreadState_EnterTracing(ts);
            if (ts->c_profilefunc)
                ts->c_profilefunc(ts->c_profileobj, frame_, PyTrace_RETURN, result);
            PyThreadState_LeaveTracing(ts);
        }
        Py_CLEAR(frame_);
    }

    bool active() const noexcept { return frame_ != nullptr; }

private:
    PyFrameObject* frame_ = nullptr;
};

// ---------------------------------------------------------------------------
// Multi-phase module creation and execution
// ---------------------------------------------------------------------------

// Process-wide state of one extension module: its names, the interpreter it
// belongs to, and the module object once its execution has begun.
struct ModuleState {
    const char* short_name;   // "tle"
    const char* dotted_name;  // "orbivane.propagators.analytical.sgp4.tle"
    const char* source_path;  // "orbivane/propagators/analytical/sgp4/tle"
    const char* init_name;    // "init <dotted name>", the traceback entry of a failed exec
    PyObject* instance = nullptr;
    PyObject* dict = nullptr;
    int64_t main_interpreter_id = -1;
};

namespace detail {

inline int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                               bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

}  // namespace detail

// The create slot: one interpreter per process, and the existing module on
// a repeat import.
inline PyObject* create_module(PyObject* spec, ModuleState& st) {
    const int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (id == -1) return nullptr;
    if (st.main_interpreter_id == -1) {
        st.main_interpreter_id = id;
    } else if (id != st.main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (st.instance) return Py_NewRef(st.instance);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (detail::copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        detail::copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        detail::copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        detail::copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

// What an exec body reports: success, or a failure with or without an
// "init ..." traceback entry at a given line.
struct ExecResult {
    int line;  // 0: success; > 0: failed, entry at this line; < 0: failed, no entry
    static constexpr ExecResult ok() { return {0}; }
    static constexpr ExecResult failed_at(int line) { return {line}; }
    static constexpr ExecResult failed_without_entry() { return {-1}; }
};

// Step 2 of every exec: the module becomes the instance, its dictionary is
// kept and `__builtins__` is bound.
inline int exec_bind_instance(PyObject* module, ModuleState& st) {
    Py_INCREF(module);
    st.instance = module;
    PyObject* dict = PyModule_GetDict(module);
    if (!dict) return -1;
    Py_XSETREF(st.dict, Py_NewRef(dict));
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (!builtins) return -1;
    return PyDict_SetItemString(dict, "__builtins__", builtins);
}

// Step 3: warn when the running interpreter's major and minor version are
// not the ones we were built for (the micro version does not matter).
inline int exec_check_version(const ModuleState& st, int built_major = PY_MAJOR_VERSION,
                              int built_minor = PY_MINOR_VERSION) {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return 0;
    if (major == built_major && minor == built_minor) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  built_major, built_minor, st.dotted_name, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// Inserts the module into sys.modules under its dotted name unless an entry
// is there already, whatever name the import spec used.
inline int exec_register_in_sys_modules(PyObject* module, ModuleState& st) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref name = Ref::steal(PyUnicode_FromString(st.dotted_name));
    if (!name) return -1;
    PyObject* existing = PyDict_GetItemWithError(modules, name.get());
    if (existing) return 0;
    if (PyErr_Occurred()) return -1;
    return PyDict_SetItem(modules, name.get(), module);
}

// The exec slot's frame: refuses re-initialisation, runs the module's own
// steps and, when they fail, appends the "init ..." entry and forgets the
// module so that a later import starts again.
//
// A failed exec keeps its reference to the module's dictionary: objects
// handed out before the failure (a type, a kernel bound from the table) may
// still run, and they use it as the globals of traceback entries and
// profiler frames. The next exec replaces it.
template <class Body>
int exec_module(PyObject* module, ModuleState& st, Body&& body) {
    if (st.instance) {
        if (st.instance == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     st.short_name);
        return -1;
    }
    const ExecResult r = body();
    if (r.line == 0) return 0;
    if (r.line > 0 && st.dict) {
        CodeSite site{st.init_name, st.source_path, r.line};
        add_traceback(site, st.dict);
        Py_CLEAR(site.code);
    }
    Py_CLEAR(st.instance);
    return -1;
}

}  // namespace orbivane
