/*
 * Binding a module's C functions from its capsule table, `__pyx_capi__`: a
 * dict of capsules, each named by the function's signature string, as
 * Cython publishes the functions of a module.
 *
 * Installed beside the client headers (orbivane/capsule_table.h), whose
 * import functions use it.
 *
 * Usable from C and C++.
 */
#ifndef ORBIVANE_CAPSULE_TABLE_H
#define ORBIVANE_CAPSULE_TABLE_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>
#include <stddef.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One function of a table: its name there, the signature its capsule must
 * be named by, and where its pointer goes in the client's struct. */
typedef struct orbivane_capsule_entry {
    const char *name;
    const char *signature;
    size_t offset;
} orbivane_capsule_entry;

/* Imports `module` and writes the pointer of each of the n entries into
 * `functions` (a struct of function pointers) at the entry's offset. Returns
 * 0, or -1 with a Python exception set, having written some pointers or
 * none. Call with the interpreter lock held. */
static inline int orbivane_bind_capsules(const char *module, const orbivane_capsule_entry *entries, size_t n,
                                         void *functions) {
    PyObject *imported, *table;
    size_t i;
    int result = -1;

    imported = PyImport_ImportModule(module);
    if (!imported) return -1;
    table = PyObject_GetAttrString(imported, "__pyx_capi__");
    Py_DECREF(imported);
    if (!table) return -1;
    if (!PyDict_Check(table)) {
        PyErr_Format(PyExc_TypeError, "%s.__pyx_capi__ is not a dict", module);
        goto done;
    }
    for (i = 0; i < n; ++i) {
        PyObject *capsule = PyDict_GetItemString(table, entries[i].name); /* borrowed */
        const char *have;
        void *pointer;
        if (!capsule) {
            PyErr_Format(PyExc_ImportError, "%s does not export function %s", module, entries[i].name);
            goto done;
        }
        if (!PyCapsule_CheckExact(capsule)) {
            PyErr_Format(PyExc_TypeError, "%s.__pyx_capi__['%s'] is not a capsule", module, entries[i].name);
            goto done;
        }
        have = PyCapsule_GetName(capsule);
        if (!have || strcmp(have, entries[i].signature) != 0) {
            PyErr_Format(PyExc_TypeError, "C function %s.%s has wrong signature (expected %s, got %s)", module,
                         entries[i].name, entries[i].signature, have ? have : "(unnamed)");
            goto done;
        }
        pointer = PyCapsule_GetPointer(capsule, entries[i].signature);
        if (!pointer) goto done;
        memcpy((char *)functions + entries[i].offset, &pointer, sizeof pointer);
    }
    result = 0;
done:
    Py_DECREF(table);
    return result;
}

#ifdef __cplusplus
}
#endif

#endif /* ORBIVANE_CAPSULE_TABLE_H */
