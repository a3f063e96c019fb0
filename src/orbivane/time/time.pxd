# Declaration of the Time instance record for compiled modules that embed
# or inspect Time objects. The fields mirror the record in time.cpp, in
# order; Cython clients check the type's instance size against it at import.

cdef class Time:
    cdef Py_ssize_t shape[2]
    cdef Py_ssize_t strides[2]
    cdef Py_ssize_t length
    cdef object _scale
    cdef int _is_scalar
    # The two parts of the Julian date as a (2, 1) view of doubles. The view
    # has no owner object (its memview is NULL): it describes memory the Time
    # itself owns, so it must not be copied out of the object or indexed as a
    # live memoryview.
    cdef double[:, :] _jd12
