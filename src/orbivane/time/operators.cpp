// Arithmetic, comparisons and hashing of Times, element by element for
// array Times with NumPy's broadcasting of one dimension.
//
// Operations take a Time and a number of days (an int, a float, a NumPy
// integer or floating scalar or array, or a timedelta), or two Times. Times
// of one scale compare and subtract as they are; Times of different scales
// that convert (utc, tai, tt, gps) are first converted to TAI. Anything
// else is NotImplemented, so Python raises its usual TypeError (or, for ==,
// compares identities): bools too, as NumPy's datetime64 refuses them.
#include "time_object.hpp"

#include "two_part.hpp"

#include <bit>
#include <cmath>

namespace orbivane::time {

namespace {

// ---------------------------------------------------------------------------
// Operands
// ---------------------------------------------------------------------------

bool is_numpy_real(PyObject* x) {
    if (PyObject_TypeCheck(x, &PyFloatingArrType_Type)) return true;
    return PyObject_TypeCheck(x, &PyIntegerArrType_Type) && !PyObject_TypeCheck(x, &PyTimedeltaArrType_Type);
}

// A number of days: one (whole + rest, whole a whole number or 0), or an
// array of them (float64, contiguous).
struct Days {
    double whole = 0.0, rest = 0.0;
    Ref array;
    const double* values = nullptr;
    Py_ssize_t n = 1;
    bool is_array() const { return values != nullptr; }
    double at(Py_ssize_t i) const { return values ? values[i] : whole + rest; }
};

// 1 when `x` is a number of days (filled in), 0 when it is not, -1 when the
// conversion failed.
int days_of(PyObject* x, Days* d) {
    if (PyFloat_Check(x)) {
        d->rest = PyFloat_AS_DOUBLE(x);
        return 1;
    }
    if (PyBool_Check(x)) return 0;
    if (PyLong_Check(x) || is_numpy_real(x)) {
        d->rest = PyLong_Check(x) ? PyLong_AsDouble(x) : PyFloat_AsDouble(x);
        return d->rest == -1.0 && PyErr_Occurred() ? -1 : 1;
    }
    if (timedelta_days(x, &d->whole, &d->rest)) return 1;
    if (!PyArray_Check(x)) return 0;
    const char kind = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(x))->kind;
    if (kind != 'i' && kind != 'u' && kind != 'f') return 0;
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(x)) > 1) {
        PyErr_Format(PyExc_ValueError, "a Time holds one dimension of instants; days of shape %R do not fit",
                     Ref::steal(PyObject_GetAttrString(x, "shape")).get());
        return -1;
    }
    d->array = Ref::steal(PyArray_FROMANY(x, NPY_DOUBLE, 0, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    if (!d->array) return -1;
    auto* a = reinterpret_cast<PyArrayObject*>(d->array.get());
    if (PyArray_NDIM(a) == 0) {
        d->rest = *static_cast<const double*>(PyArray_DATA(a));
        d->array.reset();
        return 1;
    }
    d->values = static_cast<const double*>(PyArray_DATA(a));
    d->n = PyArray_DIM(a, 0);
    return 1;
}

// The length of the result of broadcasting n and m items (scalars count
// as 1 and `scalar`), or -1 with ValueError.
Py_ssize_t broadcast(Py_ssize_t n, bool n_array, Py_ssize_t m, bool m_array, const char* operation) {
    if (!n_array) return m;
    if (!m_array) return n;
    if (n == m || m == 1) return n;
    if (n == 1) return m;
    PyErr_Format(PyExc_ValueError, "%s: a Time of %zd instants and %zd operands do not broadcast together",
                 operation, n, m);
    return -1;
}

// ---------------------------------------------------------------------------
// Time + days
// ---------------------------------------------------------------------------

void raise_not_finite(const char* operation, PyObject* x, const Days& d, Py_ssize_t i, Pair p) {
    Ref jd = Ref::steal(PyFloat_FromDouble(p.jd1 + p.jd2));
    if (!jd) return;
    if (!d.is_array()) {
        PyErr_Format(PyExc_ValueError, "%s: days=%R gives no finite Julian date (the Time is JD %R)", operation, x,
                     jd.get());
        return;
    }
    Ref day = Ref::steal(PyFloat_FromDouble(d.at(d.n == 1 ? 0 : i)));
    if (day)
        PyErr_Format(PyExc_ValueError, "%s: days[%zd]=%R gives no finite Julian date (the Time is JD %R there)",
                     operation, d.n == 1 ? Py_ssize_t{0} : i, day.get(), jd.get());
}

// time + days, days + time or time - days (`operation`, as written).
PyObject* shifted(PyObject* time, PyObject* x, double sign, const char* operation) {
    Days d;
    const int r = days_of(x, &d);
    if (r <= 0) {
        if (r < 0) return nullptr;
        Py_RETURN_NOTIMPLEMENTED;
    }
    const Column c = column(time);
    const Scale scale = scale_of(time);
    if (is_scalar(time) && !d.is_array()) {
        const Pair p = c.at(0);
        PyObject* result = new_scalar_split(&Time_Type, p.jd1 + sign * d.whole, p.jd2 + sign * d.rest, scale);
        if (!result && !PyErr_Occurred()) raise_not_finite(operation, x, d, 0, p);
        return result;
    }
    const Py_ssize_t n = broadcast(c.n, !is_scalar(time), d.n, d.is_array(), operation);
    if (n < 0) return nullptr;
    double *jd1, *jd2;
    Ref result = Ref::steal(new_array(&Time_Type, n, scale, &jd1, &jd2));
    if (!result) return nullptr;
    const Py_ssize_t tstep = c.n == 1 ? 0 : 1, dstep = d.n == 1 ? 0 : 1;
    Py_ssize_t bad = -1;
    const int stopped = in_chunks(n, [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t i = begin; i < end; ++i) {
            const Pair p = c.at(i * tstep);
            const double days = d.is_array() ? d.values[i * dstep] : d.rest;
            const two_part::Split s = two_part::split(p.jd2 + sign * days);
            jd1[i] = p.jd1 + sign * d.whole + s.whole;
            jd2[i] = s.rest;
            if (!std::isfinite(jd1[i]) && bad < 0) bad = i;
        }
        return true;
    });
    if (stopped < 0) return nullptr;
    if (bad >= 0) {
        raise_not_finite(operation, x, d, bad, c.at(bad * tstep));
        return nullptr;
    }
    return result.release();
}

PyObject* Time_add(PyObject* a, PyObject* b) {
    const bool ta = is_time(a);
    if (ta == is_time(b)) Py_RETURN_NOTIMPLEMENTED;
    if (ta && PyFloat_CheckExact(b) && is_scalar(a)) {  // the usual case
        const Pair p = column(a).at(0);
        PyObject* r = new_scalar_split(&Time_Type, p.jd1, p.jd2 + PyFloat_AS_DOUBLE(b), scale_of(a));
        if (r || PyErr_Occurred()) return r;
    }
    return ta ? shifted(a, b, 1.0, "Time + days") : shifted(b, a, 1.0, "days + Time");
}

// ---------------------------------------------------------------------------
// Two Times: both in one scale
// ---------------------------------------------------------------------------

// The instants of two Times in one scale: as they are when they share one,
// else both in TAI. 1 when done, 0 when they do not convert (nothing
// raised), -1 with an exception.
struct Common {
    Ref a, b;
};

// The same for two scalar Times, as pairs, without making Times.
int pairs_in_common_scale(PyObject* a, PyObject* b, Pair* x, Pair* y) {
    const Scale sa = scale_of(a), sb = scale_of(b);
    if (!scales::converts(sa) || !scales::converts(sb)) return 0;
    if (convert_pair(sa, Scale::tai, column(a).at(0), x) < 0 || convert_pair(sb, Scale::tai, column(b).at(0), y) < 0)
        return -1;
    return 1;
}

int in_common_scale(PyObject* a, PyObject* b, Common* out) {
    const Scale sa = scale_of(a), sb = scale_of(b);
    if (sa == sb) {
        out->a = Ref::borrow(a);
        out->b = Ref::borrow(b);
        return 1;
    }
    if (!scales::converts(sa) || !scales::converts(sb)) return 0;
    out->a = Ref::steal(converted(a, Scale::tai));
    if (!out->a) return -1;
    out->b = Ref::steal(converted(b, Scale::tai));
    return out->b ? 1 : -1;
}

bool compare(Pair x, Pair y, int op) {
    const bool first = x.jd1 != y.jd1;
    const double u = first ? x.jd1 : x.jd2, v = first ? y.jd1 : y.jd2;
    switch (op) {
        case Py_LT: return u < v;
        case Py_LE: return u <= v;
        case Py_EQ: return u == v;
        case Py_NE: return u != v;
        case Py_GT: return u > v;
        default: return u >= v;
    }
}

// f(x, y) over two Times with broadcasting, into a new NumPy array of `type`.
template <class T, class F>
PyObject* pairwise(PyObject* a, PyObject* b, int type, const char* operation, F f) {
    const Column x = column(a), y = column(b);
    const Py_ssize_t n = broadcast(x.n, !is_scalar(a), y.n, !is_scalar(b), operation);
    if (n < 0) return nullptr;
    npy_intp dims[1] = {n};
    PyObject* result = PyArray_SimpleNew(1, dims, type);
    if (!result) return nullptr;
    T* out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result)));
    const Py_ssize_t xs = x.n == 1 ? 0 : 1, ys = y.n == 1 ? 0 : 1;
    const int stopped = in_chunks(n, [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t i = begin; i < end; ++i) out[i] = f(x.at(i * xs), y.at(i * ys));
        return true;
    });
    if (stopped < 0) Py_CLEAR(result);
    return result;
}

}  // namespace

PyObject* Time_richcompare(PyObject* a, PyObject* b, int op) {
    if (!is_time(a) || !is_time(b)) Py_RETURN_NOTIMPLEMENTED;
    if (as_time(a)->_scale == as_time(b)->_scale && is_scalar(a) && is_scalar(b)) {  // the usual case
        if (compare(column(a).at(0), column(b).at(0), op)) Py_RETURN_TRUE;
        Py_RETURN_FALSE;
    }
    Common c;
    Pair p, q;
    const bool scalars = is_scalar(a) && is_scalar(b);
    const int r = scalars ? pairs_in_common_scale(a, b, &p, &q) : in_common_scale(a, b, &c);
    if (r <= 0) {
        // An instant that does not convert equals nothing of another scale.
        if (r < 0 && !((op == Py_EQ || op == Py_NE) && PyErr_ExceptionMatches(PyExc_ValueError))) return nullptr;
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (scalars) {
        if (compare(p, q, op)) Py_RETURN_TRUE;
        Py_RETURN_FALSE;
    }
    // One loop for each operator, without branches in it.
    const auto less = [](Pair x, Pair y) -> npy_bool { return (x.jd1 < y.jd1) | ((x.jd1 == y.jd1) & (x.jd2 < y.jd2)); };
    const auto equal = [](Pair x, Pair y) -> npy_bool { return (x.jd1 == y.jd1) & (x.jd2 == y.jd2); };
    PyObject* x = c.a.get();
    PyObject* y = c.b.get();
    const char* what = "comparing Times";
    switch (op) {
        case Py_LT: return pairwise<npy_bool>(x, y, NPY_BOOL, what, less);
        case Py_GT: return pairwise<npy_bool>(y, x, NPY_BOOL, what, less);
        case Py_LE: return pairwise<npy_bool>(y, x, NPY_BOOL, what, [&](Pair u, Pair v) -> npy_bool { return !less(u, v); });
        case Py_GE: return pairwise<npy_bool>(x, y, NPY_BOOL, what, [&](Pair u, Pair v) -> npy_bool { return !less(u, v); });
        case Py_EQ: return pairwise<npy_bool>(x, y, NPY_BOOL, what, equal);
        default: return pairwise<npy_bool>(x, y, NPY_BOOL, what, [&](Pair u, Pair v) -> npy_bool { return !equal(u, v); });
    }
}

namespace {

// time - time: the days between them, a float (an array for array Times),
// rounded once from the exact difference; time - days: a Time.
PyObject* Time_subtract(PyObject* a, PyObject* b) {
    if (!is_time(a)) Py_RETURN_NOTIMPLEMENTED;
    if (!is_time(b)) return shifted(a, b, -1.0, "Time - days");
    if (as_time(a)->_scale == as_time(b)->_scale && is_scalar(a) && is_scalar(b)) {  // the usual case
        const Pair x = column(a).at(0), y = column(b).at(0);
        return PyFloat_FromDouble(two_part::difference(x.jd1, x.jd2, y.jd1, y.jd2));
    }
    Common c;
    Pair x, y;
    const bool scalars = is_scalar(a) && is_scalar(b);
    const int r = scalars ? pairs_in_common_scale(a, b, &x, &y) : in_common_scale(a, b, &c);
    if (r <= 0) {
        if (r < 0) return nullptr;
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (scalars) return PyFloat_FromDouble(two_part::difference(x.jd1, x.jd2, y.jd1, y.jd2));
    return pairwise<double>(c.a.get(), c.b.get(), NPY_DOUBLE, "Time - Time",
                            [](Pair x, Pair y) { return two_part::difference(x.jd1, x.jd2, y.jd1, y.jd2); });
}

int Time_bool(PyObject* self) {
    if (is_scalar(self)) return 1;
    PyErr_SetString(PyExc_ValueError,
                     "the truth value of an array Time is ambiguous; use len() to ask whether it holds instants");
    return -1;
}

// Mixes the bits of two doubles and a seed (both halves of the 128 bits
// reach every bit of the result).
Py_hash_t hash_pair(Pair p, Py_hash_t seed) {
    const uint64_t a = std::bit_cast<uint64_t>(p.jd1 + 0.0);
    const uint64_t b = std::bit_cast<uint64_t>(p.jd2 + 0.0);
    uint64_t h = (a ^ static_cast<uint64_t>(seed)) * 0x9e3779b97f4a7c15ULL + ((b << 29) | (b >> 35));
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ULL;
    h ^= h >> 32;
    const auto hash = static_cast<Py_hash_t>(h);
    return hash == -1 ? -2 : hash;
}

}  // namespace

// Equal Times have equal pairs in a common scale. Times that convert hash
// by their instant in TAI, as the nearest double to its Julian date and the
// exact rest, which depend on the instant alone (not on how its pair is
// split, so the conversion need not split it): equal Times of different
// scales hash alike. UTC before 1972, which does not convert, and the scales
// that are labels only hash by their own pair and scale; zeros of either
// sign are made +0.0.
Py_hash_t Time_hash(PyObject* self) {
    if (!is_scalar(self)) {
        PyErr_SetString(PyExc_TypeError, "unhashable type: an array Time (a scalar Time is hashable)");
        return -1;
    }
    const Scale scale = scale_of(self);
    const Pair p = column(self).at(0);
    Pair tai;
    if (scales::converts(scale) && scales::tai_value(scale, p, &tai.jd1, &tai.jd2)) return hash_pair(tai, 0x7a1);
    const Py_hash_t scale_hash = PyObject_Hash(as_time(self)->_scale);
    return scale_hash == -1 ? -1 : hash_pair(p, scale_hash);
}

PyNumberMethods Time_as_number = [] {
    PyNumberMethods m{};
    m.nb_add = Time_add;
    m.nb_subtract = Time_subtract;
    m.nb_bool = Time_bool;
    return m;
}();

}  // namespace orbivane::time
