/*
 * orbivane/tle.h -- the TLE record and its method table, for compiled
 * modules that work with two-line element sets without going through Python.
 *
 *     orbivane_TLE_vtable *vtab;
 *     PyTypeObject *TLE = orbivane_import_TLE(&vtab);    // new reference
 *     ...
 *     orbivane_TLE *t = (orbivane_TLE *)obj;              // after a type check
 *     vtab->parse_line1(t);
 *     if (PyErr_Occurred()) ...                           // decoding failed
 *
 * The record layout, the one-slot table and the unnamed capsule that carries
 * the table ("__pyx_vtable__" in the type's dictionary) are fixed: clients
 * built against this header check the instance size at import.
 */
#ifndef ORBIVANE_TLE_H
#define ORBIVANE_TLE_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ORBIVANE_TLE_MODULE "orbivane.propagators.analytical.sgp4.tle"

struct orbivane_TLE;

/* The method table. parse_line1 decodes the stored line 1 into _satno and
 * epoch; it returns nothing and reports failure by leaving a Python
 * exception pending (then _satno is already new and epoch is unchanged).
 * Call it with the interpreter lock held. */
typedef struct orbivane_TLE_vtable {
    void (*parse_line1)(struct orbivane_TLE *self);
} orbivane_TLE_vtable;

/* The instance record. Line buffers hold up to 69 upper-case ASCII
 * characters followed by NUL bytes; byte 69 is always NUL. */
typedef struct orbivane_TLE {
    PyObject_HEAD
    orbivane_TLE_vtable *vtab;
    char _line1[70];
    char _line2[70];
    int strict_validation;
    char _satno[6];     /* satellite-number columns of line 1, NUL-terminated */
    PyObject *epoch;    /* orbivane.time.time.Time, or None before decoding */
} orbivane_TLE;

#ifdef __cplusplus
static_assert(offsetof(orbivane_TLE, vtab) == 16 && offsetof(orbivane_TLE, _line1) == 24 &&
                  offsetof(orbivane_TLE, _line2) == 94 &&
                  offsetof(orbivane_TLE, strict_validation) == 164 &&
                  offsetof(orbivane_TLE, _satno) == 168 && offsetof(orbivane_TLE, epoch) == 176 &&
                  sizeof(orbivane_TLE) == 184,
              "TLE record layout");
#else
_Static_assert(sizeof(orbivane_TLE) == 184, "TLE record layout");
#endif

/* Imports the element module, checks that its TLE type has the instance
 * size of this header's record, and fetches the method table. Returns a new
 * reference to the type, or NULL with an exception set. */
static inline PyTypeObject *orbivane_import_TLE(orbivane_TLE_vtable **vtable) {
    PyObject *module = PyImport_ImportModule(ORBIVANE_TLE_MODULE);
    PyObject *type, *capsule;
    if (!module) return NULL;
    type = PyObject_GetAttrString(module, "TLE");
    Py_DECREF(module);
    if (!type) return NULL;
    if (!PyType_Check(type)) {
        PyErr_SetString(PyExc_TypeError, ORBIVANE_TLE_MODULE ".TLE is not a type object");
        goto fail;
    }
    if (((PyTypeObject *)type)->tp_basicsize != (Py_ssize_t)sizeof(orbivane_TLE)) {
        PyErr_Format(PyExc_ValueError,
                     ORBIVANE_TLE_MODULE ".TLE size changed, may indicate binary incompatibility. "
                     "Expected %zd from C header, got %zd from PyObject",
                     (Py_ssize_t)sizeof(orbivane_TLE), ((PyTypeObject *)type)->tp_basicsize);
        goto fail;
    }
    capsule = PyDict_GetItemString(((PyTypeObject *)type)->tp_dict, "__pyx_vtable__");
    if (!capsule) {
        PyErr_SetString(PyExc_AttributeError, ORBIVANE_TLE_MODULE ".TLE has no __pyx_vtable__");
        goto fail;
    }
    *vtable = (orbivane_TLE_vtable *)PyCapsule_GetPointer(capsule, NULL);
    if (!*vtable) goto fail;
    return (PyTypeObject *)type;
fail:
    Py_DECREF(type);
    return NULL;
}

#ifdef __cplusplus
}
#endif

#endif /* ORBIVANE_TLE_H */
