# Declaration of the Time instance record for compiled modules that embed
# or inspect Time objects. The fields mirror the record in time_object.hpp,
# in order; Cython clients check the type's instance size against it at
# import.

cdef class Time:
    # An array Time of N instants: shape[0] is N and strides[0] the step in
    # bytes from one instant to the next (the second entries are 0). A
    # scalar Time has no dimension: all four are 0.
    cdef Py_ssize_t shape[2]
    cdef Py_ssize_t strides[2]
    # The number of instants: 1 for a scalar Time.
    cdef Py_ssize_t length
    cdef object _scale
    # 1 for a single instant, 0 for an array of them.
    cdef int _is_scalar
    # The two parts of the Julian dates as a (2, N) view of doubles (N is 1
    # for a scalar Time): _jd12[0, i] is jd1 and _jd12[1, i] jd2 of instant
    # i. The memory is read-only and belongs to the view's owner, so a copy
    # of the view may outlive the Time.
    cdef double[:, :] _jd12
