# The vector toolkit's kernels as its __pyx_capi__ table publishes them.
# Cython derives the signature string it binds each kernel with from these
# declarations; the exception clauses are not part of that string and
# only tell Cython callers how the kernels report failure:
#   - scale, add, sub and cross never fail;
#   - dot, norm and angle return -1.0 with an exception pending on failure,
#     and -1.0 without one is a genuine result;
#   - normalize fails only by leaving an exception pending;
#   - a batch kernel fails by returning a view without an owner.
# A 3-vector is a pointer to three contiguous doubles (x, y, z). The 3-vector
# kernels may be called without the interpreter lock; the batch kernels need
# it.

cdef void scale(const double scalar, double* a, double* c) noexcept nogil
cdef void add(double* a, double* b, double* c) noexcept nogil
cdef void sub(double* a, double* b, double* c) noexcept nogil
cdef double dot(double* a, double* b) except? -1 nogil
cdef void cross(double* a, double* b, double* c) noexcept nogil
cdef double norm(double* a) except? -1 nogil
cdef double[:] norm_array(double[:, :] a)
cdef double angle(double* a, double* b) except? -1 nogil
cdef void normalize(double* a, double* u) except * nogil
cdef double[:, :] normalize_array(double[:, :] a)
