# A Cython client of the propagators: it cimports the functions that
# propagator.pxd declares, makes satellite records from TLE or Elements
# objects and propagates them without the interpreter lock.

from libc.stdlib cimport free, malloc

import numpy

from orbivane.propagators.analytical.sgp4.propagator cimport (
    orbivane_sgp4_satellite, sgp4_init, sgp4_propagate, sgp4_propagate_many)


def propagate_one(source, double minutes, int gravity=0, int mode=0):
    """(code, r, v) of one source at one time."""
    cdef orbivane_sgp4_satellite satellite
    cdef double r[3]
    cdef double v[3]
    cdef int code
    sgp4_init(source, gravity, mode, &satellite)
    with nogil:
        code = sgp4_propagate(&satellite, minutes, r, v)
    return code, (r[0], r[1], r[2]), (v[0], v[1], v[2])


def propagate_many(sources, double[::1] minutes, int threads=0):
    """(status, r, v, codes) of every source at every time, as arrays of
    shapes (n, m, 3), (n, m, 3) and (n, m)."""
    cdef Py_ssize_t n = len(sources), m = minutes.shape[0], i
    cdef orbivane_sgp4_satellite* satellites = <orbivane_sgp4_satellite*>malloc(
        max(n, 1) * sizeof(orbivane_sgp4_satellite))
    if satellites == NULL:
        raise MemoryError()
    r = numpy.empty((n, m, 3))
    v = numpy.empty((n, m, 3))
    codes = numpy.empty((n, m), numpy.int8)
    cdef double[:, :, ::1] rv = r
    cdef double[:, :, ::1] vv = v
    cdef signed char[:, ::1] cv = codes
    cdef int status
    try:
        for i in range(n):
            sgp4_init(sources[i], 0, 0, &satellites[i])
        with nogil:
            status = sgp4_propagate_many(satellites, n, &minutes[0] if m else NULL, m,
                                         &rv[0, 0, 0] if n and m else NULL, &vv[0, 0, 0] if n and m else NULL,
                                         &cv[0, 0] if n and m else NULL, threads)
    finally:
        free(satellites)
    return status, r, v, codes
