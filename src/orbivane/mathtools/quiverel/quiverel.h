/*
 * orbivane/quiverel.h -- the vector toolkit's kernels for compiled modules.
 *
 * orbivane.mathtools.quiverel.quiverel publishes ten double-precision kernels
 * in its `__pyx_capi__` dictionary: one capsule per kernel, named by the
 * kernel's signature string. A compiled module binds them once, at import,
 * and then calls them directly:
 *
 *     static orbivane_quiverel_api quiverel;
 *     ...
 *     if (orbivane_import_quiverel(&quiverel) < 0) return NULL;  // in PyInit
 *     ...
 *     double n = quiverel.norm(v);
 *     if (n == -1.0 && orbivane_quiverel_error_pending()) ...     // failed
 *
 * Error contract: a kernel returning double reports failure as -1.0 with a
 * Python exception pending (-1.0 with nothing pending is a genuine value);
 * a void kernel reports failure by leaving an exception pending; a batch
 * kernel returns a record whose memview is NULL. The eight 3-vector kernels
 * may be called on any thread, with or without the interpreter lock (a
 * thread that has no Python thread state never touches the interpreter in
 * them; see orbivane_quiverel_error_pending for the others); the two batch
 * kernels need the lock.
 *
 * Whatever takes the interpreter lock (the 3-vector kernels' check points,
 * orbivane_quiverel_error_pending, the acquisition helpers without the lock)
 * may end a daemon thread while the interpreter finalises: CPython 3.11 ends
 * it with pthread_exit, a forced unwind through the caller's frames. In C++
 * none of those frames may be noexcept (the unwind would end in
 * std::terminate), and no destructor on the way should touch the
 * interpreter, whose lock the thread does not hold.
 *
 * Usable from C and C++.
 */
#ifndef ORBIVANE_QUIVEREL_H
#define ORBIVANE_QUIVEREL_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>
#include <stddef.h>
#include <string.h>

/* The binding of capsule tables, and the strided view record, its owner and
 * the counting of their acquisitions: shared with the package's other
 * modules (installed beside this header). */
#include "capsule_table.h"
#include "view_record.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ORBIVANE_QUIVEREL_MODULE "orbivane.mathtools.quiverel.quiverel"

/* Signature strings: the capsule names, compared as whole strings, blanks
 * included. */
#define ORBIVANE_QUIVEREL_SIG_SCALE "void (double const , double *, double *)"
#define ORBIVANE_QUIVEREL_SIG_BINARY "void (double *, double *, double *)" /* add, sub, cross */
#define ORBIVANE_QUIVEREL_SIG_PAIR "double (double *, double *)"           /* dot, angle */
#define ORBIVANE_QUIVEREL_SIG_NORM "double (double *)"
#define ORBIVANE_QUIVEREL_SIG_NORMALIZE "void (double *, double *)"
#define ORBIVANE_QUIVEREL_SIG_ARRAY "__Pyx_memviewslice (__Pyx_memviewslice)" /* *_array */

/* ------------------------------------------------------------------------
 * Kernel types and the table a client fills at import.
 * 3-vectors are pointers to three contiguous doubles x, y, z.
 * ------------------------------------------------------------------------ */
typedef void (*orbivane_scale_fn)(double scalar, double *a, double *c);
typedef void (*orbivane_binary_fn)(double *a, double *b, double *c);
typedef double (*orbivane_pair_fn)(double *a, double *b);
typedef double (*orbivane_norm_fn)(double *a);
typedef void (*orbivane_normalize_fn)(double *a, double *u);
typedef orbivane_memviewslice (*orbivane_array_fn)(orbivane_memviewslice a);

typedef struct orbivane_quiverel_api {
    orbivane_scale_fn scale;          /* c = scalar * a; c may be a */
    orbivane_binary_fn add;           /* c = a + b; c may be a or b */
    orbivane_binary_fn sub;           /* c = a - b; c may be a or b */
    orbivane_pair_fn dot;             /* (a.x*b.x + a.y*b.y) + a.z*b.z */
    orbivane_binary_fn cross;         /* c = a x b; c may be a or b */
    orbivane_norm_fn norm;            /* Euclidean length */
    orbivane_array_fn norm_array;     /* lengths of N rows -> (N,) */
    orbivane_pair_fn angle;           /* radians */
    orbivane_normalize_fn normalize;  /* u = a / |a|; u may be a */
    orbivane_array_fn normalize_array; /* unit rows -> (N, 3) */
} orbivane_quiverel_api;

/* Imports the toolkit and fills *api from its capsules, each taken by name
 * and signature. Returns 0, or -1 with a Python exception set. Call with
 * the interpreter lock held, typically from the client's PyInit. */
static inline int orbivane_import_quiverel(orbivane_quiverel_api *api) {
    static const orbivane_capsule_entry entries[] = {
        {"scale", ORBIVANE_QUIVEREL_SIG_SCALE, offsetof(orbivane_quiverel_api, scale)},
        {"add", ORBIVANE_QUIVEREL_SIG_BINARY, offsetof(orbivane_quiverel_api, add)},
        {"sub", ORBIVANE_QUIVEREL_SIG_BINARY, offsetof(orbivane_quiverel_api, sub)},
        {"dot", ORBIVANE_QUIVEREL_SIG_PAIR, offsetof(orbivane_quiverel_api, dot)},
        {"cross", ORBIVANE_QUIVEREL_SIG_BINARY, offsetof(orbivane_quiverel_api, cross)},
        {"norm", ORBIVANE_QUIVEREL_SIG_NORM, offsetof(orbivane_quiverel_api, norm)},
        {"norm_array", ORBIVANE_QUIVEREL_SIG_ARRAY, offsetof(orbivane_quiverel_api, norm_array)},
        {"angle", ORBIVANE_QUIVEREL_SIG_PAIR, offsetof(orbivane_quiverel_api, angle)},
        {"normalize", ORBIVANE_QUIVEREL_SIG_NORMALIZE, offsetof(orbivane_quiverel_api, normalize)},
        {"normalize_array", ORBIVANE_QUIVEREL_SIG_ARRAY,
         offsetof(orbivane_quiverel_api, normalize_array)},
    };
    orbivane_quiverel_api bound;
    if (orbivane_bind_capsules(ORBIVANE_QUIVEREL_MODULE, entries, sizeof entries / sizeof entries[0], &bound) < 0)
        return -1;
    *api = bound;
    return 0;
}

/* The part of orbivane_quiverel_error_pending() for a Python thread whose own
 * thread state does not hold the interpreter lock (below). */
#if defined(__GNUC__)
__attribute__((cold))
#endif
static inline int orbivane_quiverel_error_pending_unheld(void) {
    PyGILState_STATE state;
    int pending;
    if (PyInterpreterState_Head() != PyInterpreterState_Main()) return 0;
    state = PyGILState_Ensure();
    pending = PyErr_Occurred() != NULL;
    PyGILState_Release(state);
    return pending;
}

/* After a kernel returned its error value: is a Python exception pending?
 * Any thread may ask, and the interpreter lock is taken only when needed:
 * - a thread without a Python thread state (an OpenMP, TBB or std::thread
 *   worker) has no exception state: 0 at once, the interpreter untouched,
 *   so the question never waits for the lock nor runs into finalisation;
 * - a thread whose own state (its first, as PyGILState_GetThisThreadState
 *   names it) holds the lock asks directly. The current thread state is
 *   the one holding the lock, whichever thread it belongs to; only the two
 *   pointers are compared, and only this thread can make its own state the
 *   holder;
 * - any other Python thread either holds the lock through its state in
 *   another interpreter (a thread has one state per interpreter, as the
 *   PyGILState functions assume) or does not hold it at all, and nothing
 *   sound tells which: the holder's state may belong to another thread and
 *   be freed at any moment. But a thread runs in another interpreter only
 *   while that interpreter exists. So while the main interpreter is the
 *   only one, the thread does not hold the lock, and takes it for the
 *   question (its state may be freed by finalisation, so it is read only
 *   under the lock); while there are others, the answer is 0, with nothing
 *   read and no wait: the wait might be for a lock that the thread itself
 *   holds. */
static inline int orbivane_quiverel_error_pending(void) {
    PyThreadState *own = PyGILState_GetThisThreadState();
    if (own == NULL) return 0;
    if (own == _PyThreadState_UncheckedGet()) return PyErr_Occurred() != NULL;
    return orbivane_quiverel_error_pending_unheld();
}

/* Builds a direct, uncounted view (memview NULL) over a buffer that the
 * caller keeps for as long as the view is used: every suboffset is -1, and
 * the strides of a contiguous buffer requested without strides are filled
 * in for C order. Fields past ndim are 0. Returns 0, or -1 with ValueError
 * for a buffer of more than 8 dimensions or an indirect one. */
static inline int orbivane_view_from_buffer(const Py_buffer *buf, orbivane_memviewslice *v) {
    int i, ndim = buf->ndim;
    memset(v, 0, sizeof *v);
    if (ndim > ORBIVANE_MAX_DIMS) {
        PyErr_Format(PyExc_ValueError, "buffer has %d dimensions; a view holds at most %d", ndim,
                     ORBIVANE_MAX_DIMS);
        return -1;
    }
    if (buf->suboffsets) {
        for (i = 0; i < ndim; ++i) {
            if (buf->suboffsets[i] >= 0) {
                PyErr_Format(PyExc_ValueError, "buffer dimension %d is indirect; a direct buffer is required", i);
                return -1;
            }
        }
    }
    v->data = (char *)buf->buf;
    for (i = 0; i < ndim; ++i) {
        v->shape[i] = buf->shape ? buf->shape[i] : (ndim == 1 ? buf->len / buf->itemsize : 0);
        v->suboffsets[i] = -1;
    }
    if (buf->strides) {
        for (i = 0; i < ndim; ++i) v->strides[i] = buf->strides[i];
    } else {
        Py_ssize_t step = buf->itemsize;
        for (i = ndim - 1; i >= 0; --i) {
            v->strides[i] = step;
            step *= v->shape[i];
        }
    }
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* ORBIVANE_QUIVEREL_H */
