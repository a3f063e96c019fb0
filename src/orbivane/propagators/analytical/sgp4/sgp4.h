/*
 * orbivane/sgp4.h -- SGP4/SDP4 for compiled modules: initialise satellites
 * from TLE or Elements objects, then propagate one or a catalogue of them
 * without the interpreter lock.
 *
 *     static orbivane_sgp4_api sgp4;
 *     ...
 *     if (orbivane_import_sgp4(&sgp4) < 0) return NULL;          // in PyInit
 *     ...
 *     orbivane_sgp4_satellite sat;
 *     if (sgp4.init((PyObject *)tle, ORBIVANE_SGP4_WGS72, ORBIVANE_SGP4_IMPROVED, &sat) < 0) ...
 *     Py_BEGIN_ALLOW_THREADS
 *     int code = sgp4.propagate(&sat, 90.0, r, v);               // 0: no error
 *     Py_END_ALLOW_THREADS
 *
 * orbivane.propagators.analytical.sgp4.propagator publishes the functions
 * in its `__pyx_capi__` dictionary, one capsule a function named by its
 * signature string (below), as a Cython module does; propagator.pxd
 * declares the same functions for Cython clients.
 *
 * The satellite record is opaque: 768 bytes made by init, then only read.
 * It may be copied with memcpy and read by any number of threads at once.
 * Its contents are private and may change between versions of the package;
 * its size does not.
 *
 * Usable from C and C++.
 */
#ifndef ORBIVANE_SGP4_H
#define ORBIVANE_SGP4_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>
#include <stddef.h>

#include "capsule_table.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ORBIVANE_SGP4_MODULE "orbivane.propagators.analytical.sgp4.propagator"

/* Signature strings: the capsule names, compared as whole strings. */
#define ORBIVANE_SGP4_SIG_INIT "int (PyObject *, int, int, orbivane_sgp4_satellite *)"
#define ORBIVANE_SGP4_SIG_PROPAGATE "int (orbivane_sgp4_satellite const *, double, double *, double *)"
#define ORBIVANE_SGP4_SIG_PROPAGATE_MANY                                                              \
    "int (orbivane_sgp4_satellite const *, Py_ssize_t, double const *, Py_ssize_t, double *, double *, " \
    "signed char *, int)"

/* Earth models and operation modes, as init takes them. */
enum {
    ORBIVANE_SGP4_WGS72 = 0,
    ORBIVANE_SGP4_WGS72OLD = 1,
    ORBIVANE_SGP4_WGS84 = 2
};
enum {
    ORBIVANE_SGP4_IMPROVED = 0,
    ORBIVANE_SGP4_AFSPC = 1
};

/* Returned by propagate for a time out of range, and by propagate_many
 * when a time is out of range (-1) or memory runs out (-2). */
#define ORBIVANE_SGP4_TIME_OUT_OF_RANGE (-1)
#define ORBIVANE_SGP4_NO_MEMORY (-2)

#ifndef ORBIVANE_SGP4_SATELLITE_DEFINED
#define ORBIVANE_SGP4_SATELLITE_DEFINED
typedef struct orbivane_sgp4_satellite { double _record[96]; } orbivane_sgp4_satellite;
#endif

/* init: the satellite of a TLE (an orbivane_TLE * of tle.h, cast) or an
 * Elements object, with the Earth model and mode of the enums above.
 * Returns 0, or -1 with a Python exception pending (TypeError for another
 * object, ValueError for a TLE whose text is refused or an unknown model
 * or mode). Needs the interpreter lock. Elements the model cannot start
 * from are no error here: every propagation reports their error code. */
typedef int (*orbivane_sgp4_init_fn)(PyObject *source, int gravity, int mode,
                                     orbivane_sgp4_satellite *satellite);

/* propagate: position r[3] (km) and velocity v[3] (km/s), TEME, `minutes`
 * after the epoch. Returns the model's error code, 0 to 6 as
 * SGP4.propagate gives it (1 to 4: r and v NaN), or -1 for a time not
 * finite or further than 1e9 minutes from the epoch (r and v NaN). Any
 * thread, with or without the interpreter lock. */
typedef int (*orbivane_sgp4_propagate_fn)(const orbivane_sgp4_satellite *satellite, double minutes,
                                          double *r, double *v);

/* propagate_many: each of n satellites at each of m times, minutes since
 * its own epoch; row i * m + j of r and v (3 doubles each) and of codes is
 * satellite i at time j. Runs on up to `threads` threads (0 or less: the
 * cores this process may run on), SIMD across satellites, with the bits
 * of propagate. Returns 0, or -1 (a time out of range) or -2 (no memory),
 * with the rows unspecified. Any thread, with or without the interpreter
 * lock; not interruptible (cut long work into calls). */
typedef int (*orbivane_sgp4_propagate_many_fn)(const orbivane_sgp4_satellite *satellites, Py_ssize_t n,
                                               const double *minutes, Py_ssize_t m, double *r, double *v,
                                               signed char *codes, int threads);

typedef struct orbivane_sgp4_api {
    orbivane_sgp4_init_fn init;
    orbivane_sgp4_propagate_fn propagate;
    orbivane_sgp4_propagate_many_fn propagate_many;
} orbivane_sgp4_api;

/* Imports the propagator module and fills *api from its capsules, each
 * taken by name and signature. Returns 0, or -1 with a Python exception
 * set. Call with the interpreter lock held, typically from PyInit. */
static inline int orbivane_import_sgp4(orbivane_sgp4_api *api) {
    static const orbivane_capsule_entry entries[] = {
        {"sgp4_init", ORBIVANE_SGP4_SIG_INIT, offsetof(orbivane_sgp4_api, init)},
        {"sgp4_propagate", ORBIVANE_SGP4_SIG_PROPAGATE, offsetof(orbivane_sgp4_api, propagate)},
        {"sgp4_propagate_many", ORBIVANE_SGP4_SIG_PROPAGATE_MANY, offsetof(orbivane_sgp4_api, propagate_many)},
    };
    orbivane_sgp4_api bound;
    if (orbivane_bind_capsules(ORBIVANE_SGP4_MODULE, entries, sizeof entries / sizeof entries[0], &bound) < 0)
        return -1;
    *api = bound;
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* ORBIVANE_SGP4_H */
