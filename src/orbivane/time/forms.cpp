// Time(val, val2=None, *, format=None, scale='utc'): the forms a Time is
// made from, and numbers and arrays of them (texts and datetimes are read
// in text_forms.cpp).
//
// A str is a year of one to four digits ("2021", 00:00 on 1 January) or
// ISO 8601 text; an aware datetime is a UTC instant; numbers need a format,
// "jd", "mjd" or "unix" (seconds since 1970 in UTC, without leap seconds),
// and may come in two parts, val + val2. A list, tuple or 1-D NumPy array
// of any of these makes an array Time. As before, format and scale may
// also follow val by position: Time("2021", "year", "tt").
#include "forms.hpp"

#include "iso_text.hpp"
#include "two_part.hpp"

#include <cmath>

namespace orbivane::time {

namespace {

int parse_format(PyObject* format, Format* out) {
    if (!format || format == Py_None) {
        *out = Format::none;
        return 0;
    }
    PyObject* known[] = {names.jd, names.mjd, names.unix, names.iso, names.year, names.datetime};
    const Format formats[] = {Format::jd, Format::mjd, Format::unix, Format::iso, Format::year, Format::datetime};
    for (int i = 0; i < 6; ++i) {
        if (format == known[i]) {
            *out = formats[i];
            return 0;
        }
    }
    if (PyUnicode_Check(format)) {
        for (int i = 0; i < 6; ++i) {
            if (PyUnicode_Compare(format, known[i]) == 0) {
                *out = formats[i];
                return 0;
            }
        }
    }
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError,
                     "unknown Time format %R; expected 'jd', 'mjd', 'unix', 'iso', 'year' or 'datetime'", format);
    return -1;
}

// ---------------------------------------------------------------------------
// Numbers
// ---------------------------------------------------------------------------

// Julian date pieces of a number in a format: whole days and a rest.
struct Days2 {
    double whole, rest;
};

Days2 days_of_number(Format f, double v) {
    if (f == Format::unix) {
        const double r = std::fmod(v, 86400.0);  // exact
        return {(v - r) / 86400.0, r / 86400.0};
    }
    const double w = two_part::nearest_whole(v);
    return {w, v - w};  // exact
}

// val + val2 in a format as a canonical pair, rounded once (or nearly) from
// the exact sum; a Julian date alone is split as it is.
Pair pair_of_numbers(Format f, double a, double b) {
    if (f == Format::jd && b == 0.0) {
        const two_part::Split s = two_part::split(a);
        return {s.whole, s.rest};
    }
    const Days2 x = days_of_number(f, a), y = days_of_number(f, b);
    // The format's zero: JD 0, MJD 0 = JD 2400000.5, Unix 0 = JD 2440587.5.
    const double zero_whole = f == Format::jd ? 0.0 : f == Format::mjd ? 2400000.0 : 2440588.0;
    const double zero_rest = f == Format::jd ? 0.0 : f == Format::mjd ? 0.5 : -0.5;
    const two_part::Sum s1 = two_part::two_sum(x.rest, y.rest);
    const two_part::Sum s2 = zero_rest == 0.0 ? two_part::Sum{s1.s, 0.0} : two_part::two_sum(s1.s, zero_rest);
    const two_part::Split head = two_part::split(s2.s);
    const two_part::Split tail = two_part::split(head.rest + (s1.e + s2.e));
    return {x.whole + y.whole + zero_whole + head.whole + tail.whole, tail.rest};
}

const char* number_meaning(Format f) {
    return f == Format::jd ? "a finite Julian date" : f == Format::mjd ? "a finite MJD" : "a finite number of seconds";
}

// A real number (not a bool, a str or bytes) as a double; -1 with the
// format's error.
int real_of(PyObject* v, Format f, double* out) {
    if (PyFloat_CheckExact(v)) {
        *out = PyFloat_AS_DOUBLE(v);
    } else {
        if (PyBool_Check(v) || PyUnicode_Check(v) || PyBytes_Check(v) || !PyNumber_Check(v) ||
            PyComplex_Check(v) || PyObject_TypeCheck(v, &PyComplexFloatingArrType_Type)) {
            PyErr_Format(PyExc_TypeError, "Time(..., format='%s') needs a real number, not '%.200s'", format_text(f),
                         Py_TYPE(v)->tp_name);
            return -1;
        }
        *out = PyFloat_AsDouble(v);
        if (*out == -1.0 && PyErr_Occurred()) return -1;
    }
    if (!std::isfinite(*out)) {
        PyErr_Format(PyExc_ValueError, "Time(..., format='%s') needs %s, got %R", format_text(f), number_meaning(f), v);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Arrays
// ---------------------------------------------------------------------------

// A real array (or sequence) as contiguous float64 of at most one
// dimension; bools, complex numbers and non-numbers refused.
Ref real_array(PyObject* v, Format f, const char* argument) {
    Ref natural = Ref::steal(PyArray_FROMANY(v, NPY_NOTYPE, 0, 0, 0));
    if (!natural) return {};
    auto* a = reinterpret_cast<PyArrayObject*>(natural.get());
    const char kind = PyArray_DESCR(a)->kind;
    if (kind != 'i' && kind != 'u' && kind != 'f') {
        PyErr_Format(PyExc_TypeError, "Time(..., format='%s') needs real numbers; argument '%s' holds dtype %R",
                     format_text(f), argument, reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
        return {};
    }
    if (PyArray_NDIM(a) > 1) {
        Ref shape = Ref::steal(PyObject_GetAttrString(natural.get(), "shape"));
        PyErr_Format(PyExc_ValueError, "Time() argument '%s' has shape %R; a Time holds one dimension of instants",
                     argument, shape.get());
        return {};
    }
    return Ref::steal(PyArray_FROMANY(natural.get(), NPY_DOUBLE, 0, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
}

PyObject* numbers_to_time(PyTypeObject* type, PyObject* val, PyObject* val2, Format f, Scale scale) {
    Ref a = real_array(val, f, "val");
    if (!a) return nullptr;
    Ref b;
    if (val2 && val2 != Py_None && !(b = real_array(val2, f, "val2"))) return nullptr;
    auto* pa = reinterpret_cast<PyArrayObject*>(a.get());
    auto* pb = b ? reinterpret_cast<PyArrayObject*>(b.get()) : nullptr;
    const bool scalar = PyArray_NDIM(pa) == 0 && (!pb || PyArray_NDIM(pb) == 0);
    const Py_ssize_t na = PyArray_NDIM(pa) ? PyArray_DIM(pa, 0) : 1;
    const Py_ssize_t nb = pb && PyArray_NDIM(pb) ? PyArray_DIM(pb, 0) : 1;
    const bool a_array = PyArray_NDIM(pa) == 1, b_array = pb && PyArray_NDIM(pb) == 1;
    Py_ssize_t n = a_array ? na : nb;
    if (a_array && b_array && na != nb && na != 1 && nb != 1) {
        PyErr_Format(PyExc_ValueError, "Time() arguments 'val' (%zd values) and 'val2' (%zd) do not broadcast together",
                     na, nb);
        return nullptr;
    }
    if (a_array && b_array) n = na == 1 ? nb : na;
    const auto* x = static_cast<const double*>(PyArray_DATA(pa));
    const double* y = pb ? static_cast<const double*>(PyArray_DATA(pb)) : nullptr;
    const Py_ssize_t xs = na == 1 ? 0 : 1, ys = nb == 1 ? 0 : 1;
    // The first value that is not finite, in val or else in val2.
    const auto refuse_first_not_finite = [&] {
        for (Py_ssize_t i = 0; i < n; ++i) {
            const double u = x[i * xs], v = y ? y[i * ys] : 0.0;
            if (std::isfinite(u) && std::isfinite(v)) continue;
            Ref bad = Ref::steal(PyFloat_FromDouble(std::isfinite(u) ? v : u));
            if (bad)
                PyErr_Format(PyExc_ValueError, "Time(..., format='%s') needs %ss; %s[%zd] is %R", format_text(f),
                             number_meaning(f) + 2, std::isfinite(u) ? "val2" : "val", std::isfinite(u) ? i * ys : i * xs,
                             bad.get());
            return;
        }
    };
    if (scalar) {
        if (!std::isfinite(x[0]) || (y && !std::isfinite(y[0]))) {
            refuse_first_not_finite();
            return nullptr;
        }
        return new_scalar(type, pair_of_numbers(f, x[0], y ? y[0] : 0.0), scale);
    }
    double *jd1, *jd2;
    Ref t = Ref::steal(new_array(type, n, scale, &jd1, &jd2));
    if (!t) return nullptr;
    bool finite = true;
    const int stopped = in_chunks(n, [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t i = begin; i < end; ++i) {
            const double u = x[i * xs], v = y ? y[i * ys] : 0.0;
            finite &= std::isfinite(u) & std::isfinite(v);
            const Pair p = pair_of_numbers(f, u, v);
            jd1[i] = p.jd1;
            jd2[i] = p.jd2;
        }
        return true;
    });
    if (stopped < 0) return nullptr;
    if (!finite) {
        refuse_first_not_finite();
        return nullptr;
    }
    return t.release();
}

bool is_numeric_array(PyObject* v) {
    if (!PyArray_Check(v)) return false;
    const char kind = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(v))->kind;
    return kind == 'i' || kind == 'u' || kind == 'f' || kind == 'b' || kind == 'c';
}

// A sequence of texts or datetimes.
PyObject* items_to_time(PyTypeObject* type, PyObject* val, Format f, Scale scale) {
    if (PyArray_Check(val) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(val)) != 1) {
        Ref shape = Ref::steal(PyObject_GetAttrString(val, "shape"));
        PyErr_Format(PyExc_ValueError, "Time() argument 'val' has shape %R; a Time holds one dimension of instants",
                     shape.get());
        return nullptr;
    }
    Ref items = Ref::steal(PySequence_Fast(val, "Time() argument 'val' is not a sequence"));
    if (!items) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    double *jd1, *jd2;
    Ref t = Ref::steal(new_array(type, n, scale, &jd1, &jd2));
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        char argument[40];
        std::snprintf(argument, sizeof argument, "val[%zd]", i);
        Pair p;
        if (pair_of_item(item[i], f, scale, argument, &p) < 0) return nullptr;
        jd1[i] = p.jd1;
        jd2[i] = p.jd2;
    }
    return t.release();
}

// ---------------------------------------------------------------------------
// Time(...)
// ---------------------------------------------------------------------------

PyObject* build(PyTypeObject* type, PyObject* val, PyObject* val2, PyObject* format_arg, PyObject* scale_arg) {
    Scale scale;
    Format f;
    if (parse_scale(scale_arg, &scale) < 0 || parse_format(format_arg, &f) < 0) return nullptr;
    const bool has_val2 = val2 && val2 != Py_None;
    if (has_val2 && !is_numeric(f)) {
        PyErr_Format(PyExc_TypeError,
                     "Time() argument 'val2' (%R) is a second part of a number: it needs format='jd', 'mjd' or "
                     "'unix'",
                     val2);
        return nullptr;
    }
    const bool sequence = PyList_Check(val) || PyTuple_Check(val) || PyArray_Check(val);
    if (is_numeric(f)) {
        if (!sequence && !(has_val2 && (PyList_Check(val2) || PyTuple_Check(val2) || PyArray_Check(val2)))) {
            double a, b = 0.0;
            if (real_of(val, f, &a) < 0) return nullptr;
            if (has_val2 && real_of(val2, f, &b) < 0) {
                if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
                    PyErr_Clear();
                    PyErr_Format(PyExc_TypeError, "Time() argument 'val2' needs a finite real number, got %R", val2);
                }
                return nullptr;
            }
            return new_scalar(type, pair_of_numbers(f, a, b), scale);
        }
        return numbers_to_time(type, val, has_val2 ? val2 : nullptr, f, scale);
    }
    if (sequence) {
        if (f == Format::none && is_numeric_array(val)) {
            PyErr_Format(PyExc_TypeError,
                         "Time() needs format='jd', 'mjd' or 'unix' to read numbers; argument 'val' is an array of "
                         "dtype %R",
                         reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(val))));
            return nullptr;
        }
        return items_to_time(type, val, f, scale);
    }
    Pair p;
    if (PyUnicode_Check(val) || is_datetime(val) || f != Format::none) {
        if (pair_of_item(val, f, scale, "val", &p) < 0) return nullptr;
        return new_scalar(type, p, scale);
    }
    if (PyNumber_Check(val) && !PyBool_Check(val)) {
        PyErr_Format(PyExc_TypeError,
                     "Time() needs format='jd', 'mjd' or 'unix' to read a number; argument 'val' is %R "
                     "('%.200s')",
                     val, Py_TYPE(val)->tp_name);
        return nullptr;
    }
    return pair_of_item(val, f, scale, "val", &p) < 0 ? nullptr : new_scalar(type, p, scale);
}

// Binds Time's arguments: val (or value, as before), then val2 or, as
// before, a format text; a scale may follow a format by position.
PyObject* bind_and_build(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, const Keywords& kw) {
    if (nargs > 3) {
        raise_argtuple_invalid("Time", false, 1, 3, nargs);
        return nullptr;
    }
    PyObject* val = nargs > 0 ? args[0] : nullptr;
    PyObject* val2 = nullptr;
    PyObject* format = nullptr;
    PyObject* scale = nullptr;
    if (nargs > 1) {
        if (PyUnicode_Check(args[1])) {
            format = args[1];
            if (nargs > 2) scale = args[2];
        } else {
            val2 = args[1];
            if (nargs > 2) {
                PyErr_SetString(PyExc_TypeError,
                                "Time() takes val and val2 by position; format and scale are keywords");
                return nullptr;
            }
        }
    }
    if (kw.size()) {
        struct Slot {
            PyObject* name;
            PyObject** target;
        } slots[] = {{names.val, &val}, {names.value, &val}, {names.val2, &val2}, {names.format, &format},
                     {names.scale, &scale}};
        const int r = kw.for_each_key([&](PyObject* key) -> int {
            if (!PyUnicode_Check(key)) {
                raise_keywords_not_strings("Time");
                return -1;
            }
            const Slot* found = nullptr;
            for (const Slot& s : slots)  // interned keys, the usual case
                if (key == s.name) found = &s;
            for (const Slot& s : slots)
                if (!found && PyUnicode_Compare(key, s.name) == 0) found = &s;
            if (!found) {
                raise_unexpected_keyword("Time", key);
                return -1;
            }
            if (*found->target) {
                raise_double_keyword("Time", key);
                return -1;
            }
            *found->target = kw.find(found->name);
            if (!*found->target && !PyErr_Occurred()) raise_unexpected_keyword("Time", key);
            return *found->target ? 0 : -1;
        });
        if (r < 0) return nullptr;
    }
    if (!val) {
        raise_argtuple_invalid("Time", false, 1, 3, 0);
        return nullptr;
    }
    return build(type, val, val2, format, scale);
}

}  // namespace

PyObject* Time_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return bind_and_build(type, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), Keywords::from_dict(kwds));
}

// Calls of Time itself skip the argument tuple and dictionary; the two
// most common, Time(text) and Time(float, format='jd'), skip the binding.
PyObject* Time_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    if (nargs == 1 && !kwnames && PyUnicode_CheckExact(args[0])) {
        Pair p;
        return pair_of_text(args[0], Format::none, Scale::utc, "val", &p) < 0 ? nullptr : new_scalar(cls, p, Scale::utc);
    }
    if (nargs == 1 && kwnames && PyTuple_GET_SIZE(kwnames) == 1 && PyTuple_GET_ITEM(kwnames, 0) == names.format &&
        args[1] == names.jd && PyFloat_CheckExact(args[0]) && std::isfinite(PyFloat_AS_DOUBLE(args[0]))) {
        const two_part::Split s = two_part::split(PyFloat_AS_DOUBLE(args[0]));
        return new_scalar(cls, {s.whole, s.rest}, Scale::utc);
    }
    return bind_and_build(cls, args, nargs, Keywords::from_vectorcall(kwnames, args + nargs));
}

}  // namespace orbivane::time
