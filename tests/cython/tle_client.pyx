# cython: language_level=3
# A Cython client of the element module and the Time type: it works on the
# records directly through the installed declarations, and derives its own
# element-set type with its own line-1 decoding.

from cpython.object cimport PyObject
from libc.string cimport memcpy, memset

from orbivane.propagators.analytical.sgp4.tle cimport TLE
from orbivane.time.time cimport Time

# Sizes and offsets of the records exactly as the generated code declares
# them (Cython does not take the address of object or view fields).
cdef extern from *:
    """
    #define ORBIVANE_TLE_STRUCT struct __pyx_obj_8orbivane_11propagators_10analytical_4sgp4_3tle_TLE
    #define ORBIVANE_TIME_STRUCT struct __pyx_obj_8orbivane_4time_4time_Time
    #define TLE_SIZE sizeof(ORBIVANE_TLE_STRUCT)
    #define TLE_EPOCH_OFFSET offsetof(ORBIVANE_TLE_STRUCT, epoch)
    #define TIME_SIZE sizeof(ORBIVANE_TIME_STRUCT)
    #define TIME_JD12_OFFSET offsetof(ORBIVANE_TIME_STRUCT, _jd12)
    #define VIEW_SIZE sizeof(__Pyx_memviewslice)
    """
    const size_t TLE_SIZE
    const size_t TLE_EPOCH_OFFSET
    const size_t TIME_SIZE
    const size_t TIME_JD12_OFFSET
    const size_t VIEW_SIZE


# The owner of a view, read at the offsets that the toolkit's client header
# and Cython's memoryview runtime share: the acquisition count is a 32-bit
# int at byte 56.
cdef extern from *:
    """
    #define VIEW_ACQUISITIONS(view) (*(volatile int *)((char *)(view).memview + 56))
    #define VIEW_OWNER_REFS(view) Py_REFCNT((PyObject *)(view).memview)
    """
    int view_acquisitions "VIEW_ACQUISITIONS"(double[:, :] view)
    Py_ssize_t view_owner_refs "VIEW_OWNER_REFS"(double[:, :] view)


def record_sizes():
    return {"TLE": TLE_SIZE, "Time": TIME_SIZE, "view": VIEW_SIZE}


def fields(TLE t not None):
    """(line1[70], line2[70], strict_validation, satno[6], epoch)."""
    return (t._line1[:70], t._line2[:70], t.strict_validation, t._satno[:6], t.epoch)


def offsets(TLE t not None):
    """Byte offsets of the fields as this client's record declares them."""
    cdef char* base = <char*><void*>t
    return {
        "_line1": <char*>&t._line1[0] - base,
        "_line2": <char*>&t._line2[0] - base,
        "strict_validation": <char*>&t.strict_validation - base,
        "_satno": <char*>&t._satno[0] - base,
        "epoch": TLE_EPOCH_OFFSET,
    }


def reparse(TLE t not None, bytes line1):
    """Rewrites _line1 in place and decodes it again through the method
    table of the record (whatever type the record has)."""
    cdef Py_ssize_t n = min(len(line1), 69)
    memset(t._line1, 0, 70)
    memcpy(t._line1, <char*>line1, n)
    t.parse_line1()


def time_fields(Time t not None):
    """The scalar fields of a Time record and the raw parts of its view."""
    return {
        "shape": (t.shape[0], t.shape[1]),
        "strides": (t.strides[0], t.strides[1]),
        "length": t.length,
        "_scale": t._scale,
        "_is_scalar": t._is_scalar,
        "_jd12": TIME_JD12_OFFSET,
    }


def jd_through_view(Time t not None):
    """jd1 + jd2, read through the Time's _jd12 view."""
    return t._jd12[0, 0] + t._jd12[1, 0]


def view_outliving_time(double jd):
    """Makes a Time, keeps a copy of its _jd12 view and lets the Time go;
    then reads the copy and hands it to Python. Returns the sum read, the
    view as a Python object and (acquisitions, owner references) on the
    way."""
    cdef Time t = Time(jd, format="jd")
    cdef double[:, :] kept = t._jd12
    log = [("copied", view_acquisitions(kept), view_owner_refs(kept))]
    t = None
    log.append(("time gone", view_acquisitions(kept), view_owner_refs(kept)))
    total = kept[0, 0] + kept[1, 0]
    obj = kept
    log.append(("as object", view_acquisitions(kept), view_owner_refs(kept)))
    return total, obj, log


override_calls = 0


cdef class SubTLE(TLE):
    """An element set whose decoding is this client's own: it counts its
    calls, refuses a line 1 that starts with "X", and otherwise decodes with
    TLE's own parse_line1 and marks the satellite number."""

    cdef void parse_line1(self):
        global override_calls
        override_calls += 1
        if self._line1[0] == b'X':
            raise ValueError("SubTLE refuses this line 1")
        TLE.parse_line1(self)
        self._satno[0] = b'S'


def vtable_of(TLE t not None):
    """Address of the method table a record points at (the first field after
    the object header)."""
    return <size_t>(<void**>(<char*><void*>t + sizeof(PyObject)))[0]
