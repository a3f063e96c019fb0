# Declaration of the Time instance record for compiled modules that embed
# or inspect Time objects. The fields mirror the record in time.cpp, in
# order; Cython clients check the type's instance size against it at import.

cdef class Time:
    cdef Py_ssize_t shape[2]
    cdef Py_ssize_t strides[2]
    cdef Py_ssize_t length
    cdef object _scale
    cdef int _is_scalar
    # The two parts of the Julian date as a (2, 1) view of doubles:
    # _jd12[0, 0] is jd1 and _jd12[1, 0] is jd2. The memory is read-only and
    # belongs to the view's owner, so a copy of the view may outlive the Time.
    cdef double[:, :] _jd12
