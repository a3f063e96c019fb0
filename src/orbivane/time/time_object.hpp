// The Time record and what the files of orbivane.time.time share: the type
// object, interned names, and the making of scalar and array Times.
//
// Compiled modules that embed a Time reference in their own records are
// built against the instance record below, so its layout is fixed. `_jd12`
// views the two parts of the Julian date as a read-only (2, N) array of
// doubles: row 0 holds jd1, row 1 jd2. Its owner, of the module's own type
// orbivane.time.time.memoryview, keeps the doubles in its own allocation,
// and the record holds one acquisition of it. The owner refers to nothing
// (its `obj` is None), so a Time and its owner never form a cycle; copies
// of the view that clients keep hold the owner, not the Time.
//
// A scalar Time holds one instant: `_jd12` is (2, 1), `_is_scalar` 1,
// `length` 1, and `shape` and `strides` are 0 (it has no dimension). An
// array Time holds N instants: `_jd12` is (2, N), `_is_scalar` 0, `length`
// N, `shape[0]` N and `strides[0]` the step in bytes from one instant to
// the next (`shape[1]` and `strides[1]` are 0). A slice of an array Time
// views the same doubles with another start and step, as a NumPy view does.
#pragma once

#include "capi_support.hpp"
#include "leap_seconds.hpp"
#include "view_owner.hpp"

// NumPy's C API, bound by the module's execution (time.cpp) for every file.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL orbivane_time_ARRAY_API
#ifndef ORBIVANE_TIME_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace orbivane::time {

using scales::Pair;
using scales::Scale;

struct TimeObject {
    PyObject_HEAD
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
    Py_ssize_t length;
    PyObject* _scale;
    int _is_scalar;
    orbivane_memviewslice _jd12;
};
static_assert(sizeof(TimeObject) == 280, "the Time record is part of the binary interface");
static_assert(offsetof(TimeObject, _jd12) == 72, "the Time record is part of the binary interface");

extern PyTypeObject Time_Type;

inline TimeObject* as_time(PyObject* o) noexcept { return reinterpret_cast<TimeObject*>(o); }
inline bool is_time(PyObject* o) noexcept { return PyObject_TypeCheck(o, &Time_Type); }
inline bool is_scalar(PyObject* o) noexcept { return as_time(o)->_is_scalar != 0; }

// The instants of a Time: jd1 of instant i at jd1[i * step], jd2 at
// jd2[i * step].
struct Column {
    const double* jd1;
    const double* jd2;
    Py_ssize_t n;
    Py_ssize_t step;  // in doubles
    Pair at(Py_ssize_t i) const noexcept { return {jd1[i * step], jd2[i * step]}; }
};

inline Column column(PyObject* o) noexcept {
    const orbivane_memviewslice& v = as_time(o)->_jd12;
    const auto* base = reinterpret_cast<const double*>(v.data);
    return {base, base + v.strides[0] / Py_ssize_t{sizeof(double)}, v.shape[1],
            v.strides[1] / Py_ssize_t{sizeof(double)}};
}

// Interned names, made at the module's execution.
struct Names {
    PyObject* scales[scales::kScaleCount];  // "utc", "tai", "tt", "gps", "tcb", "tcg", "tdb", "ut1"
    PyObject* val;
    PyObject* value;
    PyObject* val2;
    PyObject* format;
    PyObject* scale;
    PyObject* jd;
    PyObject* mjd;
    PyObject* unix;
    PyObject* iso;
    PyObject* year;
    PyObject* datetime;
};
extern Names names;

inline PyObject* scale_name(Scale s) noexcept { return names.scales[static_cast<int>(s)]; }

inline Scale scale_of(PyObject* t) noexcept {
    PyObject* name = as_time(t)->_scale;
    for (int i = 0; i < scales::kScaleCount; ++i)
        if (names.scales[i] == name) return static_cast<Scale>(i);
    return Scale::utc;  // never: a Time holds an interned known name
}

// The interned name of a scale given as text (None for 'utc'); null with
// an exception for anything else.
int parse_scale(PyObject* scale, Scale* out);

// A new scalar Time holding (jd1, jd2) as they are.
PyObject* new_scalar(PyTypeObject* type, Pair p, Scale scale);

// A new scalar Time for whole + rest, `whole` a whole number, split
// canonically; null with nothing raised when that is not finite.
PyObject* new_scalar_split(PyTypeObject* type, double whole, double rest, Scale scale);

// A new array Time of n instants whose doubles the caller fills: jd1 of
// instant i at (*jd1)[i], jd2 at (*jd2)[i].
PyObject* new_array(PyTypeObject* type, Py_ssize_t n, Scale scale, double** jd1, double** jd2);

// A Time viewing instants start, start + step, ... (n of them) of an array
// Time, sharing its storage.
PyObject* new_view(PyObject* base, Py_ssize_t start, Py_ssize_t step, Py_ssize_t n);

// The type's dealloc.
void release_time(PyObject* self);

// Runs work(begin, end) over the instants [0, n), which returns false to
// stop early. From 65,536 instants on, it runs in chunks with the
// interpreter lock released, taking the lock back between chunks to run
// signal handlers (a chunk is a few milliseconds of the slowest loop), so
// that Ctrl-C stops a long loop. Returns -1 with the exception set when a
// handler raised, else 0.
template <class F>
int in_chunks(Py_ssize_t n, F&& work) {
    constexpr Py_ssize_t kUnlockedFrom = 65536, kChunk = 65536;
    if (n < kUnlockedFrom) {
        work(Py_ssize_t{0}, n);
        return 0;
    }
    for (Py_ssize_t begin = 0; begin < n; begin += kChunk) {
        const Py_ssize_t end = n - begin > kChunk ? begin + kChunk : n;
        bool go_on;
        Py_BEGIN_ALLOW_THREADS
        go_on = work(begin, end);
        Py_END_ALLOW_THREADS
        if (!go_on) return 0;
        if (PyErr_CheckSignals() < 0) return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Functions of the other files
// ---------------------------------------------------------------------------

// forms.cpp and range.cpp: Time(...) and Time.range.
PyObject* Time_new(PyTypeObject* type, PyObject* args, PyObject* kwds);
PyObject* Time_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* Time_range(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// datetimes.cpp: datetimes and timedeltas, through the interpreter's
// datetime API.
int bind_datetime_api();
bool is_datetime(PyObject* o);
// A timedelta as days, whole and rest (1), 0 for anything else.
int timedelta_days(PyObject* o, double* whole, double* rest);
// An aware datetime as a UTC pair; -1 with an exception (naming `argument`).
int pair_of_datetime(PyObject* o, const char* argument, Pair* out);
PyObject* Time_get_datetime(PyObject* self, void*);

// scales.cpp: conversions between scales.
// Converts the instants of `t` into `to`; a new Time (t itself when it is
// already in that scale), or null with ValueError.
PyObject* converted(PyObject* t, Scale to);
// Converts one instant; -1 with ValueError naming the instant.
int convert_pair(Scale from, Scale to, Pair in, Pair* out);
PyObject* Time_get_utc(PyObject* self, void*);
PyObject* Time_get_tai(PyObject* self, void*);
PyObject* Time_get_tt(PyObject* self, void*);
PyObject* Time_get_gps(PyObject* self, void*);

// outputs.cpp: the readable forms.
PyObject* Time_get_jd(PyObject* self, void*);
PyObject* Time_get_jd1(PyObject* self, void*);
PyObject* Time_get_jd2(PyObject* self, void*);
PyObject* Time_get_mjd(PyObject* self, void*);
PyObject* Time_get_unix(PyObject* self, void*);
PyObject* Time_get_iso(PyObject* self, void*);
PyObject* Time_str(PyObject* self);
PyObject* Time_repr(PyObject* self);
// ISO text of an instant in `scale`, or 0 when it has none (too far away).
int iso_of(Pair p, Scale scale, char* out);

// operators.cpp: arithmetic, comparisons and hashing.
extern PyNumberMethods Time_as_number;
PyObject* Time_richcompare(PyObject* a, PyObject* b, int op);
Py_hash_t Time_hash(PyObject* self);

// indexing.cpp: the sequence protocol.
extern PySequenceMethods Time_as_sequence;
extern PyMappingMethods Time_as_mapping;
PyObject* Time_iter(PyObject* self);

// pickling.cpp: __reduce__ and the module's _restore.
PyObject* Time_reduce(PyObject* self, PyObject*);
PyObject* restore(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace orbivane::time
