# cython: language_level=3
"""A Cython client of orbivane: the vector toolkit's batch kernel on typed
memoryviews, and an element set's record read field by field.

The README ("Using them from Cython") shows how to build it.
"""

import numpy

from orbivane.mathtools.quiverel.quiverel cimport norm_array
from orbivane.propagators.analytical.sgp4.tle cimport TLE
from orbivane.time.time cimport Time


def lengths(double[:, :] rows):
    """The length of each row of an (N, 3) array of float64 (any strides),
    as a NumPy array of N lengths over the kernel's result."""
    cdef double[:] result = norm_array(rows)
    return numpy.asarray(result)


def satellite(TLE tle not None):
    """(satellite-number columns, jd1, jd2 of the epoch), read from the
    records of the element set and of its epoch."""
    cdef Time epoch = tle.epoch
    return tle._satno.decode("ascii"), epoch._jd12[0, 0], epoch._jd12[1, 0]
