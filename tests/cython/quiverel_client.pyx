# cython: language_level=3
# A Cython client of the vector toolkit: it binds all ten kernels from the
# toolkit's __pyx_capi__ through the installed declarations and calls them
# the way Cython code does, without Python in between.

import weakref

import numpy

from orbivane.mathtools.quiverel.quiverel cimport (
    add, angle, cross, dot, norm, norm_array, normalize, normalize_array, scale, sub)

# A result's owner, read through this client's own idea of it: the owner's
# acquisition count is a 32-bit int at byte offset 56, as both the toolkit
# and Cython's memoryview runtime lay it out.
cdef extern from *:
    """
    #define OWNER_ACQUISITIONS(view) (*(volatile int *)((char *)(view).memview + 56))
    #define OWNER_REFS(view) Py_REFCNT((PyObject *)(view).memview)
    #define OWNER_TYPE_NAME(view) (Py_TYPE((PyObject *)(view).memview)->tp_name)
    #define OWNER_IS_NULL(view) ((view).memview == NULL)
    #define CLIENT_ACQUISITION_OFFSET offsetof(struct __pyx_memoryview_obj, acquisition_count)
    """
    int acquisitions1 "OWNER_ACQUISITIONS"(double[:] view) nogil
    int acquisitions2 "OWNER_ACQUISITIONS"(double[:, :] view) nogil
    Py_ssize_t owner_refs1 "OWNER_REFS"(double[:] view)
    Py_ssize_t owner_refs2 "OWNER_REFS"(double[:, :] view)
    const char* owner_type_name "OWNER_TYPE_NAME"(double[:] view)
    const size_t CLIENT_ACQUISITION_OFFSET


def client_acquisition_offset():
    return CLIENT_ACQUISITION_OFFSET


cdef void load(object seq, double* v) except *:
    v[0] = seq[0]
    v[1] = seq[1]
    v[2] = seq[2]


cdef tuple vec(double* v):
    return (v[0], v[1], v[2])


# ---------------------------------------------------------------------------
# 3-vector kernels
# ---------------------------------------------------------------------------

def k_scale(double s, a):
    cdef double va[3]
    cdef double c[3]
    load(a, va)
    scale(s, va, c)
    return vec(c)


def k_add(a, b):
    cdef double va[3]
    cdef double vb[3]
    cdef double c[3]
    load(a, va); load(b, vb)
    add(va, vb, c)
    return vec(c)


def k_sub(a, b):
    cdef double va[3]
    cdef double vb[3]
    cdef double c[3]
    load(a, va); load(b, vb)
    sub(va, vb, c)
    return vec(c)


def k_cross(a, b):
    cdef double va[3]
    cdef double vb[3]
    cdef double c[3]
    load(a, va); load(b, vb)
    cross(va, vb, c)
    return vec(c)


def k_dot(a, b):
    cdef double va[3]
    cdef double vb[3]
    load(a, va); load(b, vb)
    return dot(va, vb)


def k_norm(a):
    cdef double va[3]
    load(a, va)
    return norm(va)


def k_angle(a, b):
    cdef double va[3]
    cdef double vb[3]
    load(a, va); load(b, vb)
    return angle(va, vb)


def k_normalize(a):
    cdef double va[3]
    cdef double u[3]
    load(a, va)
    normalize(va, u)
    return vec(u)


def k_in_place(str kernel, a, b=(0.0, 0.0, 0.0), double s=0.0):
    """The kernels whose output may be one of their inputs, called that way:
    the result is written over the first vector ("add_b" over the second)."""
    cdef double va[3]
    cdef double vb[3]
    load(a, va); load(b, vb)
    if kernel == "scale":
        scale(s, va, va)
    elif kernel == "add":
        add(va, vb, va)
    elif kernel == "add_b":
        add(va, vb, vb)
        return vec(vb)
    elif kernel == "sub":
        sub(va, vb, va)
    elif kernel == "normalize":
        normalize(va, va)
    else:
        raise ValueError(kernel)
    return vec(va)


def k_without_lock(a, b):
    """All eight kernels called from a block that has released the
    interpreter lock."""
    cdef double va[3]
    cdef double vb[3]
    cdef double c[3]
    cdef double d[3]
    cdef double e[3]
    cdef double f[3]
    cdef double u[3]
    cdef double rd, rn, ra
    load(a, va); load(b, vb)
    with nogil:
        scale(2.5, va, c)
        add(va, vb, d)
        sub(va, vb, e)
        cross(va, vb, f)
        rd = dot(va, vb)
        rn = norm(va)
        ra = angle(va, vb)
        normalize(vb, u)
    return vec(c), vec(d), vec(e), vec(f), rd, rn, ra, vec(u)


# ---------------------------------------------------------------------------
# Batch kernels
# ---------------------------------------------------------------------------

def norms(double[:, :] a):
    """norm_array's result, returned to Python as a NumPy array."""
    cdef double[:] r = norm_array(a)
    return numpy.asarray(r)


def normalized(double[:, :] a):
    cdef double[:, :] u = normalize_array(a)
    return numpy.asarray(u)


def norms_indexed(double[:, :] a):
    """norm_array's entries read one by one, and their sum taken without
    the interpreter lock."""
    cdef double[:] r = norm_array(a)
    cdef Py_ssize_t i
    cdef double total = 0.0
    with nogil:
        for i in range(r.shape[0]):
            total += r[i]
    return [r[i] for i in range(r.shape[0])], total, r.shape[0], r.strides[0]


def normalized_indexed(double[:, :] a):
    cdef double[:, :] u = normalize_array(a)
    return ([tuple(u[i, j] for j in range(3)) for i in range(u.shape[0])],
            (u.shape[0], u.shape[1]), (u.strides[0], u.strides[1]))


def owner_type(double[:, :] a):
    cdef double[:] r = norm_array(a)
    return owner_type_name(r).decode()


def norms_as(double[:, :] a, str how):
    """norm_array's result handed to Python in one of the ways Cython code
    does, together with a weak reference to the NumPy array that the result
    views."""
    cdef double[:] r = norm_array(a)
    base = weakref.ref(r.base)
    if how == "asarray":
        return numpy.asarray(r), base
    if how == "memoryview":
        return memoryview(r), base
    if how == "object":
        return r, base
    if how == "copy":
        return numpy.asarray(r.copy()), base
    if how == "slice":
        return numpy.asarray(r[::-1]), base
    raise ValueError(how)


def normalized_as(double[:, :] a, str how):
    cdef double[:, :] u = normalize_array(a)
    base = weakref.ref(u.base)
    if how == "asarray":
        return numpy.asarray(u), base
    if how == "memoryview":
        return memoryview(u), base
    if how == "object":
        return u, base
    if how == "copy":
        return numpy.asarray(u.copy()), base
    if how == "slice":
        return numpy.asarray(u[::-1, 1:]), base
    if how == "copy_fortran":
        return numpy.asarray(u.copy_fortran()), base
    raise ValueError(how)


def norm_lifecycle(double[:, :] a):
    """Acquisition count and reference count of the result's owner at each
    step of a typical use; returns the log and the viewed NumPy array."""
    cdef double[:] r = norm_array(a)
    cdef double[:] r2
    cdef double[:] r3
    cdef double[:] c
    log = [("returned", acquisitions1(r), owner_refs1(r))]
    r2 = r
    log.append(("second record", acquisitions1(r), owner_refs1(r)))
    r3 = r[::2]
    log.append(("slice", acquisitions1(r), owner_refs1(r)))
    obj = r
    log.append(("as object", acquisitions1(r), owner_refs1(r)))
    arr = numpy.asarray(r)
    log.append(("as array", acquisitions1(r), owner_refs1(r)))
    mv = memoryview(r)
    log.append(("as memoryview", acquisitions1(r), owner_refs1(r)))
    c = r.copy()
    log.append(("copied", acquisitions1(r), owner_refs1(r)))
    base = r.base
    log.append(("base taken", acquisitions1(r), owner_refs1(r)))
    del obj
    log.append(("object dropped", acquisitions1(r), owner_refs1(r)))
    del arr
    log.append(("array dropped", acquisitions1(r), owner_refs1(r)))
    mv.release()
    del mv
    log.append(("memoryview dropped", acquisitions1(r), owner_refs1(r)))
    r2 = None
    log.append(("second record dropped", acquisitions1(r), owner_refs1(r)))
    r3 = r2
    log.append(("slice dropped", acquisitions1(r), owner_refs1(r)))
    log.append(("copy is its own", acquisitions1(c), owner_refs1(c)))
    return log, base


def normalize_lifecycle(double[:, :] a):
    cdef double[:, :] u = normalize_array(a)
    cdef double[:, :] t
    cdef double[:] row
    log = [("returned", acquisitions2(u), owner_refs2(u))]
    t = u.T
    log.append(("transposed", acquisitions2(u), owner_refs2(u)))
    # (an if statement: Cython 3.3.2 miscounts acquisitions of a memoryview
    # picked by a conditional expression)
    if u.shape[0]:
        row = u[0]
    else:
        row = u[:, 0]
    log.append(("row", acquisitions2(u), owner_refs2(u)))
    obj = numpy.asarray(u)
    log.append(("as array", acquisitions2(u), owner_refs2(u)))
    del obj
    t = None
    row = None
    log.append(("dropped", acquisitions2(u), owner_refs2(u)))
    return log, u.base


def chain(double[:, :] a):
    """normalize_array's result fed straight into norm_array."""
    cdef double[:, :] u = normalize_array(a)
    cdef double[:] r = norm_array(u)
    return numpy.asarray(r), acquisitions2(u), acquisitions1(r)


def norms_of_none():
    cdef double[:, :] a = None
    cdef double[:] r = norm_array(a)
    return numpy.asarray(r), acquisitions1(r)


def normalized_of_none():
    cdef double[:, :] a = None
    cdef double[:, :] u = normalize_array(a)
    return numpy.asarray(u), acquisitions2(u)
