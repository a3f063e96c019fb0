// A compiled client of the vector toolkit, built the way any compiled module
// of the package uses <orbivane/quiverel.h>: it binds the kernel table at
// import. Its functions exercise what Python code cannot reach through the
// vectors module: kernels on native threads without the interpreter lock,
// kernels called with an exception pending or on threads that the
// interpreter ends at exit, the raw view records of the batch kernels, the
// owner's memory layout read at fixed offsets, and a buffer exporter that
// lies to them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <orbivane/quiverel.h>

#include <atomic>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

namespace {

orbivane_quiverel_api q;

// ---------------------------------------------------------------------------
// 3-vector kernels
// ---------------------------------------------------------------------------

int read3(PyObject* seq, double* out) {
    if (!PyArg_ParseTuple(seq, "ddd", &out[0], &out[1], &out[2])) return -1;
    return 0;
}

PyObject* tuple3(const double* v) { return Py_BuildValue("(ddd)", v[0], v[1], v[2]); }

// The exception pending now, normalised, with its traceback attached; the
// error indicator is cleared.
PyObject* take_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) Py_RETURN_NONE;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

void set_pending() { PyErr_SetString(PyExc_RuntimeError, "pending before the call"); }

// normalize_pending(a) -> (u, exception): normalize called while an
// exception is pending.
PyObject* normalize_pending(PyObject*, PyObject* arg) {
    double a[3], u[3] = {0.0, 0.0, 0.0};
    if (read3(arg, a) < 0) return nullptr;
    set_pending();
    q.normalize(a, u);
    PyObject* exc = take_exception();
    return Py_BuildValue("(NN)", tuple3(u), exc);
}

// pair_pending(name, a, b) -> (result, exception) for dot or angle.
PyObject* pair_pending(PyObject*, PyObject* args) {
    const char* name;
    double a[3], b[3];
    if (!PyArg_ParseTuple(args, "s(ddd)(ddd)", &name, &a[0], &a[1], &a[2], &b[0], &b[1], &b[2]))
        return nullptr;
    orbivane_pair_fn f = std::strcmp(name, "dot") == 0 ? q.dot : q.angle;
    set_pending();
    const double r = f(a, b);
    PyObject* exc = take_exception();
    return Py_BuildValue("(dN)", r, exc);
}

// norm_pending(a) -> (result, exception)
PyObject* norm_pending(PyObject*, PyObject* arg) {
    double a[3];
    if (read3(arg, a) < 0) return nullptr;
    set_pending();
    const double r = q.norm(a);
    PyObject* exc = take_exception();
    return Py_BuildValue("(dN)", r, exc);
}

// dot_genuine(a, b) -> (result, pending): the caller's side of the contract
// for a result of -1.0.
PyObject* dot_genuine(PyObject*, PyObject* args) {
    double a[3], b[3];
    if (!PyArg_ParseTuple(args, "(ddd)(ddd)", &a[0], &a[1], &a[2], &b[0], &b[1], &b[2])) return nullptr;
    const double r = q.dot(a, b);
    const int pending = r == -1.0 && orbivane_quiverel_error_pending();
    return Py_BuildValue("(di)", r, pending);
}

constexpr int kColumns = 18;

// Every 3-vector kernel on rows i of a and b, into row i of out (18 doubles:
// scale by 2.5, add, sub, dot, cross, norm, angle, normalize).
void all_kernels(double* a, double* b, double* o) {
    q.scale(2.5, a, o);
    q.add(a, b, o + 3);
    q.sub(a, b, o + 6);
    o[9] = q.dot(a, b);
    q.cross(a, b, o + 10);
    o[13] = q.norm(a);
    o[14] = q.angle(a, b);
    q.normalize(a, o + 15);
}

struct Rows {
    Py_buffer a{}, b{}, out{};
    bool ok = false;
    Py_ssize_t n = 0;
    ~Rows() {
        if (a.obj) PyBuffer_Release(&a);
        if (b.obj) PyBuffer_Release(&b);
        if (out.obj) PyBuffer_Release(&out);
    }
    int get(PyObject* pa, PyObject* pb, PyObject* pout) {
        if (PyObject_GetBuffer(pa, &a, PyBUF_C_CONTIGUOUS) < 0 ||
            PyObject_GetBuffer(pb, &b, PyBUF_C_CONTIGUOUS) < 0 ||
            PyObject_GetBuffer(pout, &out, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0)
            return -1;
        n = a.len / (3 * static_cast<Py_ssize_t>(sizeof(double)));
        if (b.len != a.len || out.len != n * kColumns * static_cast<Py_ssize_t>(sizeof(double))) {
            PyErr_SetString(PyExc_ValueError, "a, b: (n, 3) float64; out: (n, 18) float64");
            return -1;
        }
        return 0;
    }
};

// all_kernels(a, b, out): with the interpreter lock held.
PyObject* py_all_kernels(PyObject*, PyObject* args) {
    PyObject *pa, *pb, *pout;
    if (!PyArg_ParseTuple(args, "OOO", &pa, &pb, &pout)) return nullptr;
    Rows r;
    if (r.get(pa, pb, pout) < 0) return nullptr;
    auto* a = static_cast<double*>(r.a.buf);
    auto* b = static_cast<double*>(r.b.buf);
    auto* o = static_cast<double*>(r.out.buf);
    for (Py_ssize_t i = 0; i < r.n; ++i) all_kernels(a + 3 * i, b + 3 * i, o + kColumns * i);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// all_kernels_threads(a, b, out, threads): the same on native threads that
// never held the interpreter lock, while this thread has released it.
PyObject* py_all_kernels_threads(PyObject*, PyObject* args) {
    PyObject *pa, *pb, *pout;
    int threads;
    if (!PyArg_ParseTuple(args, "OOOi", &pa, &pb, &pout, &threads)) return nullptr;
    Rows r;
    if (r.get(pa, pb, pout) < 0) return nullptr;
    auto* a = static_cast<double*>(r.a.buf);
    auto* b = static_cast<double*>(r.b.buf);
    auto* o = static_cast<double*>(r.out.buf);
    const Py_ssize_t n = r.n;
    Py_BEGIN_ALLOW_THREADS
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([=] {
            for (Py_ssize_t i = t; i < n; i += threads) all_kernels(a + 3 * i, b + 3 * i, o + kColumns * i);
        });
    }
    for (auto& th : pool) th.join();
    Py_END_ALLOW_THREADS
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// pending_call(name, a, b, release) -> (result, exception, asked): normalize
// (result u) or angle (result the angle) called with an exception pending,
// by this thread holding the interpreter lock or, with release, after
// releasing it; asked is orbivane_quiverel_error_pending() after the call.
PyObject* pending_call(PyObject*, PyObject* args) {
    const char* name;
    double a[3], b[3], u[3] = {0.0, 0.0, 0.0};
    int release;
    if (!PyArg_ParseTuple(args, "s(ddd)(ddd)p", &name, &a[0], &a[1], &a[2], &b[0], &b[1], &b[2], &release))
        return nullptr;
    const bool angle = std::strcmp(name, "angle") == 0;
    double r = 0.0;
    int asked;
    set_pending();
    PyThreadState* saved = release ? PyEval_SaveThread() : nullptr;
    if (angle)
        r = q.angle(a, b);
    else
        q.normalize(a, u);
    asked = orbivane_quiverel_error_pending();
    if (saved) PyEval_RestoreThread(saved);
    PyObject* exc = take_exception();
    return Py_BuildValue("(NNi)", angle ? PyFloat_FromDouble(r) : tuple3(u), exc, asked);
}

// worker_beside_held_lock(a, b) -> (row, angle of opposite vectors, asked):
// this thread keeps the interpreter lock, with an exception pending, and
// waits for a native worker that runs every 3-vector kernel on a and b (the
// 18 values of all_kernels), angle((1, 0, 0), (-1, 0, 0)) and
// orbivane_quiverel_error_pending(). The exception is returned untouched.
PyObject* worker_beside_held_lock(PyObject*, PyObject* args) {
    double a[3], b[3], row[kColumns], opposite = 0.0;
    int asked = -1;
    if (!PyArg_ParseTuple(args, "(ddd)(ddd)", &a[0], &a[1], &a[2], &b[0], &b[1], &b[2])) return nullptr;
    set_pending();
    std::thread worker([&] {
        all_kernels(a, b, row);
        double x[3] = {1.0, 0.0, 0.0}, y[3] = {-1.0, 0.0, 0.0};
        opposite = q.angle(x, y);
        asked = orbivane_quiverel_error_pending();
    });
    worker.join();
    PyObject* exc = take_exception();
    PyObject* values = PyList_New(kColumns);
    if (!values) {
        Py_DECREF(exc);
        return nullptr;
    }
    for (int i = 0; i < kColumns; ++i) PyList_SET_ITEM(values, i, PyFloat_FromDouble(row[i]));
    return Py_BuildValue("(NdiN)", values, opposite, asked, exc);
}

// detach_normalize_loop(): starts a detached native worker that calls
// normalize for as long as the process lives, and returns once it has made
// its first calls (waiting without the interpreter lock).
PyObject* detach_normalize_loop(PyObject*, PyObject*) {
    static std::atomic<long> calls{0};
    std::thread([] {
        double a[3] = {3.0, 4.0, 0.0}, u[3];
        for (;;) {
            q.normalize(a, u);
            calls.fetch_add(1, std::memory_order_relaxed);
        }
    }).detach();
    Py_BEGIN_ALLOW_THREADS
    while (calls.load(std::memory_order_relaxed) < 1000) std::this_thread::yield();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// released_loop(what): with an exception pending, releases the interpreter
// lock and then, for as long as the thread lives, calls one of: "normalize",
// "angle" of opposite vectors (whose dot product is the error value), or
// "error_pending" (orbivane_quiverel_error_pending itself). Each call's
// check point takes the lock, and so does the traceback entry that the
// kernels then append, so a daemon thread is ended inside one of them when
// the interpreter finalises. Every 1024 calls the exception is set afresh,
// which drops the entries. loop_calls() -> the calls made so far by each.
constexpr const char* kLoops[] = {"normalize", "angle", "error_pending"};
std::atomic<long> loop_counts[3];

PyObject* released_loop(PyObject*, PyObject* arg) {
    const char* what = PyUnicode_AsUTF8(arg);
    if (!what) return nullptr;
    int which = 0;
    while (which < 3 && std::strcmp(what, kLoops[which]) != 0) ++which;
    if (which == 3) {
        PyErr_Format(PyExc_ValueError, "no loop named %s", what);
        return nullptr;
    }
    PyEval_SaveThread();  // never taken back: the loop ends with the thread
    double a[3] = {1.0, 0.0, 0.0}, b[3] = {-1.0, 0.0, 0.0}, u[3];
    for (long i = 0;; ++i) {
        if (i % 1024 == 0) {
            const PyGILState_STATE state = PyGILState_Ensure();
            set_pending();
            PyGILState_Release(state);
        }
        if (which == 0)
            q.normalize(a, u);
        else if (which == 1)
            q.angle(a, b);
        else
            orbivane_quiverel_error_pending();
        loop_counts[which].fetch_add(1, std::memory_order_relaxed);
    }
}

PyObject* loop_calls(PyObject*, PyObject*) {
    return Py_BuildValue("(lll)", loop_counts[0].load(), loop_counts[1].load(), loop_counts[2].load());
}

// ---------------------------------------------------------------------------
// Module rules
// ---------------------------------------------------------------------------

// exec_on_new_module(): runs the toolkit's exec slot on a fresh module
// object; returns None or raises what the slot raised.
PyObject* exec_on_new_module(PyObject*, PyObject*) {
    PyObject* module = PyImport_ImportModule(ORBIVANE_QUIVEREL_MODULE);
    if (!module) return nullptr;
    PyModuleDef* def = PyModule_GetDef(module);
    Py_DECREF(module);
    if (!def) return nullptr;
    PyObject* fresh = PyModule_New("quiverel_again");
    if (!fresh) return nullptr;
    const int rc = PyModule_ExecDef(fresh, def);
    Py_DECREF(fresh);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Batch kernels through raw records
// ---------------------------------------------------------------------------

PyObject* record_tuple(const orbivane_memviewslice& v) {
    PyObject* shape = PyTuple_New(8);
    PyObject* strides = PyTuple_New(8);
    PyObject* sub = PyTuple_New(8);
    if (!shape || !strides || !sub) {
        Py_XDECREF(shape);
        Py_XDECREF(strides);
        Py_XDECREF(sub);
        return nullptr;
    }
    for (int i = 0; i < 8; ++i) {
        PyTuple_SET_ITEM(shape, i, PyLong_FromSsize_t(v.shape[i]));
        PyTuple_SET_ITEM(strides, i, PyLong_FromSsize_t(v.strides[i]));
        PyTuple_SET_ITEM(sub, i, PyLong_FromSsize_t(v.suboffsets[i]));
    }
    return Py_BuildValue("(NNNNN)", PyLong_FromVoidPtr(v.memview), PyLong_FromVoidPtr(v.data), shape,
                         strides, sub);
}

double at(const orbivane_memviewslice& v, Py_ssize_t i, Py_ssize_t j) {
    double x;
    std::memcpy(&x, v.data + i * v.strides[0] + j * v.strides[1], sizeof x);
    return x;
}

// The values of a result record, as a list (1-D) or list of 3-lists (2-D).
PyObject* values(const orbivane_memviewslice& v, int ndim) {
    PyObject* list = PyList_New(v.shape[0]);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < v.shape[0]; ++i) {
        PyObject* item = ndim == 1 ? PyFloat_FromDouble(at(v, i, 0))
                                   : Py_BuildValue("[ddd]", at(v, i, 0), at(v, i, 1), at(v, i, 2));
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}

// batch(name, a, columns=None, suboffsets=None, through_owner=False) -> dict
//
// Calls norm_array or normalize_array on a view of `a` (None gives the
// record that stands for None). `columns` overrides shape[1] and
// `suboffsets` the two suboffsets of the input view. With through_owner,
// the input is itself a counted result record: normalize_array's result for
// `a`, whose count and references are reported before and after the call.
// On success the result's fields, count and references are reported and
// then its acquisition is released; `array` is a weak reference to the
// result array, dead once the release freed everything.
PyObject* batch(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "a", "columns", "suboffsets", "through_owner", nullptr};
    const char* name;
    PyObject* obj;
    PyObject* columns = Py_None;
    PyObject* suboffsets = Py_None;
    int through_owner = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO|OOp", const_cast<char**>(kwlist), &name, &obj,
                                     &columns, &suboffsets, &through_owner))
        return nullptr;
    const bool is_norm = std::strcmp(name, "norm_array") == 0;
    orbivane_array_fn kernel = is_norm ? q.norm_array : q.normalize_array;

    Py_buffer buf{};
    orbivane_memviewslice in{};
    if (obj == Py_None) {
        in.memview = reinterpret_cast<orbivane_view_owner*>(Py_None);
    } else {
        if (PyObject_GetBuffer(obj, &buf, PyBUF_RECORDS_RO) < 0) return nullptr;
        if (orbivane_view_from_buffer(&buf, &in) < 0) {
            PyBuffer_Release(&buf);
            return nullptr;
        }
    }
    PyObject* report = PyDict_New();
    if (!report) {
        if (buf.obj) PyBuffer_Release(&buf);
        return nullptr;
    }
    orbivane_memviewslice source{};
    if (through_owner) {
        source = q.normalize_array(in);
        if (!source.memview) {
            PyBuffer_Release(&buf);
            Py_DECREF(report);
            return nullptr;
        }
        in = source;
        PyDict_SetItemString(report, "input_before",
                             Py_BuildValue("(in)", source.memview->acquisition_count,
                                           Py_REFCNT(reinterpret_cast<PyObject*>(source.memview))));
    }
    if (columns != Py_None) in.shape[1] = PyLong_AsSsize_t(columns);
    if (suboffsets != Py_None && !PyArg_ParseTuple(suboffsets, "nn", &in.suboffsets[0], &in.suboffsets[1])) {
        orbivane_view_release(&source, 1);
        if (buf.obj) PyBuffer_Release(&buf);
        Py_DECREF(report);
        return nullptr;
    }

    orbivane_memviewslice r = kernel(in);

    PyObject* exc = r.memview ? Py_NewRef(Py_None) : take_exception();
    PyDict_SetItemString(report, "exception", exc);
    Py_DECREF(exc);
    PyObject* rec = record_tuple(r);
    PyDict_SetItemString(report, "record", rec);
    Py_XDECREF(rec);
    if (through_owner) {
        PyDict_SetItemString(report, "input_after",
                             Py_BuildValue("(in)", source.memview->acquisition_count,
                                           Py_REFCNT(reinterpret_cast<PyObject*>(source.memview))));
        orbivane_view_release(&source, 1);
    }
    if (r.memview) {
        PyObject* owner = reinterpret_cast<PyObject*>(r.memview);
        PyObject* array = r.memview->obj;
        PyDict_SetItemString(report, "count", PyLong_FromLong(r.memview->acquisition_count));
        PyDict_SetItemString(report, "owner_refcnt", PyLong_FromSsize_t(Py_REFCNT(owner)));
        PyDict_SetItemString(report, "array_refcnt", PyLong_FromSsize_t(Py_REFCNT(array)));
        PyDict_SetItemString(report, "owner_type", PyUnicode_FromString(Py_TYPE(owner)->tp_name));
        PyDict_SetItemString(report, "array_type", Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(array))));
        PyDict_SetItemString(report, "data_is_buffer", PyBool_FromLong(r.data == r.memview->view.buf));
        PyDict_SetItemString(report, "values", values(r, is_norm ? 1 : 2));
        PyDict_SetItemString(report, "array", PyWeakref_NewRef(array, nullptr));
        orbivane_view_release(&r, 1);
        PyDict_SetItemString(report, "released", record_tuple(r));
    }
    if (buf.obj) PyBuffer_Release(&buf);
    if (PyErr_Occurred()) {
        Py_DECREF(report);
        return nullptr;
    }
    return report;
}

// ---------------------------------------------------------------------------
// The owner, read at fixed offsets
// ---------------------------------------------------------------------------

template <class T>
T field(const char* base, size_t offset) {
    T value;
    std::memcpy(&value, base + offset, sizeof value);
    return value;
}

PyObject* ssize_tuple(const Py_ssize_t* p, int n) {
    if (!p) Py_RETURN_NONE;
    PyObject* t = PyTuple_New(n);
    if (!t) return nullptr;
    for (int i = 0; i < n; ++i) PyTuple_SET_ITEM(t, i, PyLong_FromSsize_t(p[i]));
    return t;
}

// owner_layout(a) -> dict: norm_array's result owner for `a`, field by field
// at the offsets a foreign client uses, its method table called entry by
// entry, and the acquisition helpers exercised, before the release.
PyObject* owner_layout(PyObject*, PyObject* obj) {
    Py_buffer buf;
    if (PyObject_GetBuffer(obj, &buf, PyBUF_RECORDS_RO) < 0) return nullptr;
    orbivane_memviewslice in;
    if (orbivane_view_from_buffer(&buf, &in) < 0) {
        PyBuffer_Release(&buf);
        return nullptr;
    }
    orbivane_memviewslice r = q.norm_array(in);
    PyBuffer_Release(&buf);
    if (!r.memview) return nullptr;
    PyObject* owner = reinterpret_cast<PyObject*>(r.memview);
    const char* p = reinterpret_cast<const char*>(owner);
    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    auto set = [&](const char* key, PyObject* value) {
        if (value) {
            PyDict_SetItemString(d, key, value);
            Py_DECREF(value);
        }
    };
    set("basicsize", PyLong_FromSsize_t(Py_TYPE(owner)->tp_basicsize));
    set("type_name", PyUnicode_FromString(Py_TYPE(owner)->tp_name));
    PyObject* obj_field = field<PyObject*>(p, 24);
    set("obj", Py_NewRef(obj_field));
    set("_size", Py_NewRef(field<PyObject*>(p, 32)));
    set("_array_interface", Py_NewRef(field<PyObject*>(p, 40)));
    PyThread_type_lock lock = field<PyThread_type_lock>(p, 48);
    int locked = lock ? PyThread_acquire_lock(lock, NOWAIT_LOCK) : -1;
    int relocked = lock ? PyThread_acquire_lock(lock, NOWAIT_LOCK) : -1;
    if (locked == 1) PyThread_release_lock(lock);
    set("lock", Py_BuildValue("(ii)", locked, relocked));
    set("acquisition_count", PyLong_FromLong(field<int>(p, 56)));
    const Py_buffer view = field<Py_buffer>(p, 64);
    set("view", Py_BuildValue("{s:O,s:O,s:n,s:n,s:i,s:i,s:s,s:N,s:N,s:O}", "buf_is_data",
                              view.buf == r.data ? Py_True : Py_False, "obj_is_obj",
                              view.obj == obj_field ? Py_True : Py_False, "len", view.len, "itemsize",
                              view.itemsize, "readonly", view.readonly, "ndim", view.ndim, "format",
                              view.format ? view.format : "", "shape", ssize_tuple(view.shape, view.ndim),
                              "strides", ssize_tuple(view.strides, view.ndim), "suboffsets",
                              view.suboffsets ? Py_True : Py_None));
    set("flags", PyLong_FromLong(field<int>(p, 144)));
    set("dtype_is_object", PyLong_FromLong(field<int>(p, 148)));
    const char* ti = field<const char*>(p, 152);
    {
        // name, fields, size, arraysize[8], ndim, typegroup, is_unsigned, flags
        PyObject* arraysize = PyTuple_New(8);
        for (int i = 0; i < 8; ++i)
            PyTuple_SET_ITEM(arraysize, i, PyLong_FromSize_t(field<size_t>(ti, 24 + 8 * static_cast<size_t>(i))));
        set("typeinfo", Py_BuildValue("{s:s,s:O,s:n,s:N,s:i,s:C,s:i,s:i}", "name", field<const char*>(ti, 0),
                                      "fields", field<const void*>(ti, 8) ? Py_True : Py_None, "size",
                                      field<Py_ssize_t>(ti, 16), "arraysize", arraysize, "ndim",
                                      field<int>(ti, 88), "typegroup", static_cast<int>(field<char>(ti, 92)),
                                      "is_unsigned", static_cast<int>(field<char>(ti, 93)), "flags",
                                      field<int>(ti, 96)));
    }
    // The method table: entries 7 and 8 return the array, the others raise.
    using Entry = PyObject* (*)(PyObject*);
    Entry* vtab = field<Entry*>(p, 16);
    PyObject* entries = PyList_New(9);
    for (int i = 0; i < 9; ++i) {
        const Py_ssize_t before = Py_REFCNT(obj_field);
        PyObject* got = vtab[i](owner);
        PyObject* item;
        if (got) {
            item = Py_BuildValue("(sOn)", "base", got == obj_field ? Py_True : Py_False,
                                 Py_REFCNT(obj_field) - before);
            Py_DECREF(got);
        } else {
            item = Py_BuildValue("(sN)", "error", take_exception());
        }
        PyList_SET_ITEM(entries, i, item);
    }
    set("vtable", entries);

    // Acquisition helpers: a second acquisition takes no reference, releasing
    // it drops none; acquisitions on threads without the lock balance out.
    const Py_ssize_t refs = Py_REFCNT(owner);
    orbivane_memviewslice copy = r;
    orbivane_view_acquire(&copy, 1);
    set("second", Py_BuildValue("(in)", r.memview->acquisition_count, Py_REFCNT(owner) - refs));
    orbivane_view_release(&copy, 1);
    set("second_released", Py_BuildValue("(inOO)", r.memview->acquisition_count, Py_REFCNT(owner) - refs,
                                         copy.memview ? Py_True : Py_False, copy.data ? Py_True : Py_False));
    Py_BEGIN_ALLOW_THREADS
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; ++t) {
        pool.emplace_back([r] {
            for (int i = 0; i < 20000; ++i) {
                orbivane_memviewslice c = r;
                orbivane_view_acquire(&c, 0);
                orbivane_view_release(&c, 0);
            }
        });
    }
    for (auto& th : pool) th.join();
    Py_END_ALLOW_THREADS
    set("after_threads", Py_BuildValue("(in)", r.memview->acquisition_count, Py_REFCNT(owner) - refs));
    set("owner_buffer", PyMemoryView_FromObject(owner));
    set("owner_refcnt", PyLong_FromSsize_t(Py_REFCNT(owner)));
    set("array", PyWeakref_NewRef(obj_field, nullptr));
    // The memoryview above keeps the owner; the record's acquisition goes.
    orbivane_view_release(&r, 1);
    if (PyErr_Occurred()) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}

// result_owner(a) -> the owner of normalize_array's result for `a`, kept by
// the returned reference alone once the record's acquisition is released.
PyObject* result_owner(PyObject*, PyObject* obj) {
    Py_buffer buf;
    if (PyObject_GetBuffer(obj, &buf, PyBUF_RECORDS_RO) < 0) return nullptr;
    orbivane_memviewslice in;
    const int viewed = orbivane_view_from_buffer(&buf, &in);
    orbivane_memviewslice r = viewed < 0 ? orbivane_memviewslice{} : q.normalize_array(in);
    PyBuffer_Release(&buf);
    if (!r.memview) return nullptr;
    PyObject* owner = Py_NewRef(reinterpret_cast<PyObject*>(r.memview));
    orbivane_view_release(&r, 1);
    return owner;
}

// ---------------------------------------------------------------------------
// A buffer exporter that ignores the request
// ---------------------------------------------------------------------------

// lying_buffer(shape, readonly=False, strides=True): zeroed doubles of a
// shape of one or two dimensions in C order, exported as they are whatever
// the consumer requested: marked read-only or not, with or without strides.
// Like an array, it can be weakly referenced (batch() reports a weak
// reference to the result's exporter).
struct LyingBuffer {
    PyObject_HEAD
    PyObject* weakrefs;
    std::vector<double> data;
    int ndim;
    Py_ssize_t shape[2], strides[2];
    int readonly, with_strides;
};

PyTypeObject lying_type;

int lying_getbuffer(PyObject* self, Py_buffer* view, int) {
    auto* b = reinterpret_cast<LyingBuffer*>(self);
    view->buf = b->data.data();
    view->obj = Py_NewRef(self);
    view->len = static_cast<Py_ssize_t>(b->data.size() * sizeof(double));
    view->itemsize = sizeof(double);
    view->readonly = b->readonly;
    view->ndim = b->ndim;
    view->format = const_cast<char*>("d");
    view->shape = b->shape;
    view->strides = b->with_strides ? b->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyBufferProcs lying_buffer_procs = {lying_getbuffer, nullptr};

void lying_dealloc(PyObject* self) {
    if (reinterpret_cast<LyingBuffer*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    reinterpret_cast<LyingBuffer*>(self)->data.~vector();
    Py_TYPE(self)->tp_free(self);
}

PyObject* lying_buffer(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"shape", "readonly", "strides", nullptr};
    PyObject* shape;
    int readonly = 0, with_strides = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|pp", const_cast<char**>(kwlist), &PyTuple_Type, &shape,
                                     &readonly, &with_strides))
        return nullptr;
    const Py_ssize_t ndim = PyTuple_GET_SIZE(shape);
    Py_ssize_t dims[2] = {0, 1};
    if ((ndim != 1 && ndim != 2) || !PyArg_ParseTuple(shape, ndim == 1 ? "n" : "nn", &dims[0], &dims[1])) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "a shape of one or two dimensions");
        return nullptr;
    }
    auto* b = reinterpret_cast<LyingBuffer*>(lying_type.tp_alloc(&lying_type, 0));
    if (!b) return nullptr;
    new (&b->data) std::vector<double>(static_cast<size_t>(dims[0] * dims[1]));
    b->ndim = static_cast<int>(ndim);
    b->shape[0] = dims[0];
    b->shape[1] = dims[1];
    b->strides[0] = static_cast<Py_ssize_t>(ndim == 1 ? sizeof(double) : dims[1] * sizeof(double));
    b->strides[1] = sizeof(double);
    b->readonly = readonly;
    b->with_strides = with_strides;
    return reinterpret_cast<PyObject*>(b);
}

int ready_lying_type() {
    lying_type.tp_name = "quiverel_client.LyingBuffer";
    lying_type.tp_basicsize = sizeof(LyingBuffer);
    lying_type.tp_flags = Py_TPFLAGS_DEFAULT;
    lying_type.tp_dealloc = lying_dealloc;
    lying_type.tp_weaklistoffset = offsetof(LyingBuffer, weakrefs);
    lying_type.tp_as_buffer = &lying_buffer_procs;
    return PyType_Ready(&lying_type);
}

PyMethodDef methods[] = {
    {"normalize_pending", normalize_pending, METH_O, nullptr},
    {"pair_pending", pair_pending, METH_VARARGS, nullptr},
    {"norm_pending", norm_pending, METH_O, nullptr},
    {"dot_genuine", dot_genuine, METH_VARARGS, nullptr},
    {"all_kernels", py_all_kernels, METH_VARARGS, nullptr},
    {"all_kernels_threads", py_all_kernels_threads, METH_VARARGS, nullptr},
    {"pending_call", pending_call, METH_VARARGS, nullptr},
    {"worker_beside_held_lock", worker_beside_held_lock, METH_VARARGS, nullptr},
    {"detach_normalize_loop", detach_normalize_loop, METH_NOARGS, nullptr},
    {"released_loop", released_loop, METH_O, nullptr},
    {"loop_calls", loop_calls, METH_NOARGS, nullptr},
    {"exec_on_new_module", exec_on_new_module, METH_NOARGS, nullptr},
    {"batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch)), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"owner_layout", owner_layout, METH_O, nullptr},
    {"result_owner", result_owner, METH_O, nullptr},
    {"lying_buffer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lying_buffer)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quiverel_client", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_quiverel_client(void) {
    if (orbivane_import_quiverel(&q) < 0 || ready_lying_type() < 0) return nullptr;
    return PyModule_Create(&module_def);
}
