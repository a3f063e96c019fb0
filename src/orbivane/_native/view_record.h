/*
 * The strided view record and its owner: the layout that Cython's typed
 * memoryviews use, which the package's modules hand to compiled clients
 * (the vector toolkit's batch results, a Time's `_jd12`), and the counting
 * of acquisitions of an owner.
 *
 * Installed beside the client headers (orbivane/view_record.h), which
 * include it.
 *
 * Usable from C and C++.
 */
#ifndef ORBIVANE_VIEW_RECORD_H
#define ORBIVANE_VIEW_RECORD_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ORBIVANE_MAX_DIMS 8

/* ------------------------------------------------------------------------
 * The strided array view record, called __Pyx_memviewslice in the
 * signature strings; passed and returned by value.
 *
 * Element (i0, i1, ...) of a direct view lies at
 *     data + i0 * strides[0] + i1 * strides[1] + ...
 * A direct dimension has suboffsets -1; 0 or more marks an indirect one
 * (PEP 3118). Entries past the view's dimensions are 0 in records that the
 * toolkit builds. memview is the owner (below), NULL in a record that holds
 * no view (the failure result of a batch kernel), Py_None in a record that
 * stands for None (then data is NULL and every other field is 0).
 * ------------------------------------------------------------------------ */
struct orbivane_view_owner;

typedef struct orbivane_memviewslice {
    struct orbivane_view_owner *memview;
    char *data;
    Py_ssize_t shape[ORBIVANE_MAX_DIMS];
    Py_ssize_t strides[ORBIVANE_MAX_DIMS];
    Py_ssize_t suboffsets[ORBIVANE_MAX_DIMS];
} orbivane_memviewslice;

/* ------------------------------------------------------------------------
 * The owner, type "orbivane.mathtools.quiverel.quiverel.memoryview": keeps
 * the exporting array and its buffer alive while records refer to it.
 * Layout for CPython 3.11 on x86-64, 160 bytes. The `_jd12` view of an
 * orbivane.time.time.Time has an owner of the same layout, of type
 * "orbivane.time.time.memoryview", which holds the two doubles itself (its
 * obj is None) and reads as a read-only buffer.
 * ------------------------------------------------------------------------ */

/* Item type descriptor; the toolkit's owners point to one for double. */
typedef struct orbivane_typeinfo {
    const char *name;        /* "double" */
    const void *fields;      /* NULL: not a struct */
    size_t size;             /* 8 */
    size_t arraysize[ORBIVANE_MAX_DIMS];
    int ndim;                /* 0 */
    char typegroup;          /* 'R': real number */
    char is_unsigned;
    int flags;
} orbivane_typeinfo;

/* The owner's method table. Entries 7 and 8 are both _get_base (a new
 * reference to the exporting object); the others only raise
 * NotImplementedError and return NULL. */
typedef struct orbivane_view_owner_vtable {
    PyObject *(*unsupported[7])(PyObject *self);
    PyObject *(*_get_base)(PyObject *self);
    PyObject *(*_get_base_next)(PyObject *self);
} orbivane_view_owner_vtable;

typedef struct orbivane_view_owner {
    PyObject_HEAD
    orbivane_view_owner_vtable *__pyx_vtab;
    PyObject *obj;                 /* the exporting array */
    PyObject *_size;               /* None */
    PyObject *_array_interface;    /* None */
    PyThread_type_lock lock;
    int acquisition_count;         /* changed only with atomic operations */
    Py_buffer view;                /* the array's buffer; format "d" */
    int flags;                     /* the buffer request flags */
    int dtype_is_object;           /* 0 */
    const orbivane_typeinfo *typeinfo;
} orbivane_view_owner;

#ifdef __cplusplus
static_assert(offsetof(orbivane_view_owner, __pyx_vtab) == 16 &&
                  offsetof(orbivane_view_owner, obj) == 24 &&
                  offsetof(orbivane_view_owner, _size) == 32 &&
                  offsetof(orbivane_view_owner, _array_interface) == 40 &&
                  offsetof(orbivane_view_owner, lock) == 48 &&
                  offsetof(orbivane_view_owner, acquisition_count) == 56 &&
                  offsetof(orbivane_view_owner, view) == 64 &&
                  offsetof(orbivane_view_owner, flags) == 144 &&
                  offsetof(orbivane_view_owner, dtype_is_object) == 148 &&
                  offsetof(orbivane_view_owner, typeinfo) == 152 &&
                  sizeof(orbivane_view_owner) == 160 && sizeof(orbivane_memviewslice) == 208,
              "view owner layout");
#else
_Static_assert(sizeof(orbivane_view_owner) == 160, "view owner layout");
_Static_assert(offsetof(orbivane_view_owner, acquisition_count) == 56, "view owner layout");
_Static_assert(sizeof(orbivane_memviewslice) == 208, "view record layout");
#endif

/* ------------------------------------------------------------------------
 * Acquisitions. Every live record whose memview is a real owner counts once
 * in the owner's acquisition_count; the owner holds one strong reference on
 * behalf of all of them, taken when the count leaves 0 and dropped when it
 * returns to 0. Records whose memview is NULL or None are never counted.
 * have_gil tells whether the calling thread holds the interpreter lock; the
 * lock is taken only at the 0/1 edges.
 * ------------------------------------------------------------------------ */
static inline int orbivane_view_is_counted(const orbivane_memviewslice *v) {
    return v->memview != NULL && (PyObject *)v->memview != Py_None;
}

static inline void orbivane_view_acquire(orbivane_memviewslice *v, int have_gil) {
    int before;
    if (!orbivane_view_is_counted(v)) return;
    before = __atomic_fetch_add(&v->memview->acquisition_count, 1, __ATOMIC_RELAXED);
    if (before == 0) {
        if (have_gil) {
            Py_INCREF((PyObject *)v->memview);
        } else {
            PyGILState_STATE state = PyGILState_Ensure();
            Py_INCREF((PyObject *)v->memview);
            PyGILState_Release(state);
        }
    }
}

/* Releases one acquisition and empties the record (memview and data NULL). */
static inline void orbivane_view_release(orbivane_memviewslice *v, int have_gil) {
    orbivane_view_owner *owner = v->memview;
    int before;
    if (!orbivane_view_is_counted(v)) {
        v->memview = NULL;
        return;
    }
    v->memview = NULL;
    v->data = NULL;
    before = __atomic_fetch_sub(&owner->acquisition_count, 1, __ATOMIC_ACQ_REL);
    if (before == 1) {
        if (have_gil) {
            Py_DECREF((PyObject *)owner);
        } else {
            PyGILState_STATE state = PyGILState_Ensure();
            Py_DECREF((PyObject *)owner);
            PyGILState_Release(state);
        }
    }
}

#ifdef __cplusplus
}
#endif

#endif /* ORBIVANE_VIEW_RECORD_H */
