# Declaration of the TLE record and its method table for compiled modules
# that work with two-line element sets directly. Field order and widths are
# those of the record in tle.h; Cython clients check the instance size and
# fetch the method table from the type's "__pyx_vtable__" capsule at import.

from orbivane.time.time cimport Time

cdef class TLE:
    cdef char _line1[70]       # normalised line 1, NUL-padded; byte 69 is NUL
    cdef char _line2[70]       # normalised line 2, same rules
    cdef int strict_validation
    cdef char _satno[6]        # satellite-number columns of line 1 plus NUL
    cdef Time epoch            # None until line 1 has been decoded

    # Decodes _line1 into _satno and epoch. Failure leaves a Python exception
    # pending, which the default exception clause of a void method
    # makes Cython callers test after every call.
    cdef void parse_line1(self)
