// The readable forms of a Time: Julian date, MJD, Unix time and ISO 8601
// text, as floats and str for a scalar Time and as NumPy arrays for an
// array Time.
#include "time_object.hpp"

#include "iso_text.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace orbivane::time {

namespace {

using calendar::kMjdZero;
using calendar::kNoonOfDayZero;

// A new 1-D float64 array of n elements; its data in *data.
PyObject* new_doubles(Py_ssize_t n, double** data) {
    npy_intp dims[1] = {n};
    PyObject* a = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
    if (a) *data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
    return a;
}

// f(pair) for each instant: a float for a scalar Time, an array for an
// array Time.
template <class F>
PyObject* each_as_float(PyObject* self, F f) {
    const Column c = column(self);
    if (is_scalar(self)) return PyFloat_FromDouble(f(c.at(0)));
    double* out;
    PyObject* a = new_doubles(c.n, &out);
    if (!a) return nullptr;
    const int stopped = in_chunks(c.n, [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t i = begin; i < end; ++i) out[i] = f(c.at(i));
        return true;
    });
    if (stopped < 0) Py_CLEAR(a);
    return a;
}

// A read-only array viewing one row of `_jd12`, kept alive by its owner.
PyObject* row_view(PyObject* self, int row) {
    const orbivane_memviewslice& v = as_time(self)->_jd12;
    npy_intp dims[1] = {v.shape[1]};
    npy_intp strides[1] = {v.strides[1]};
    PyObject* a = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1, dims, strides,
                                       v.data + row * v.strides[0], 0, nullptr);
    if (!a) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(a), Py_NewRef(reinterpret_cast<PyObject*>(v.memview))) < 0) {
        Py_DECREF(a);
        return nullptr;
    }
    return a;
}

void raise_unix_scale(PyObject* self) {
    PyErr_Format(PyExc_ValueError, "Time.unix needs a Time in scale 'utc', not %R (convert with .utc)",
                 as_time(self)->_scale);
}

}  // namespace

PyObject* Time_get_jd(PyObject* self, void*) {
    return each_as_float(self, [](Pair p) { return p.jd1 + p.jd2; });
}

PyObject* Time_get_jd1(PyObject* self, void*) {
    if (is_scalar(self)) return PyFloat_FromDouble(column(self).jd1[0]);
    return row_view(self, 0);
}

PyObject* Time_get_jd2(PyObject* self, void*) {
    if (is_scalar(self)) return PyFloat_FromDouble(column(self).jd2[0]);
    return row_view(self, 1);
}

// jd1 - 2400000.5 is exact for the whole numbers that Julian dates hold.
PyObject* Time_get_mjd(PyObject* self, void*) {
    return each_as_float(self, [](Pair p) { return (p.jd1 - kMjdZero) + p.jd2; });
}

// Seconds since 1970-01-01T00:00:00 UTC, not counting leap seconds: a leap
// second repeats the first second of the next day, as POSIX time does.
PyObject* Time_get_unix(PyObject* self, void*) {
    if (scale_of(self) != Scale::utc) {
        raise_unix_scale(self);
        return nullptr;
    }
    return each_as_float(self, [](Pair p) { return (p.jd1 - kNoonOfDayZero) * 86400.0 + (p.jd2 * 86400.0 + 43200.0); });
}

int iso_of(Pair p, Scale scale, char* out) {
    const double days = p.jd1 - kNoonOfDayZero;
    if (!(std::fabs(days) < 1e9)) return 0;
    long long day = static_cast<long long>(days);
    long long ms = static_cast<long long>(std::nearbyint(p.jd2 * 86400000.0)) + 43200000;
    // Past the day's last millisecond: inside a leap second of a UTC day
    // that has one (jd2 from 0.5 on, or rounded up to it), else the next
    // day.
    const bool leap_day = scale == Scale::utc && ms >= 86400000 && scales::ends_with_leap_second(day);
    if (ms >= (leap_day ? 86401000 : 86400000)) {
        ms -= leap_day ? 86401000 : 86400000;
        day += 1;
    }
    return calendar::format_iso(out, day, ms);
}

namespace {

PyObject* iso_text_or_null(PyObject* self, Py_ssize_t i = 0) {
    char buf[48];
    const int n = iso_of(column(self).at(i), scale_of(self), buf);
    return n ? PyUnicode_FromStringAndSize(buf, n) : nullptr;
}

void raise_no_iso(PyObject* self, Py_ssize_t i) {
    const Pair p = column(self).at(i);
    Ref jd = Ref::steal(PyFloat_FromDouble(p.jd1 + p.jd2));
    if (!jd) return;
    if (is_scalar(self))
        PyErr_Format(PyExc_ValueError, "Time.iso: JD %R is out of range for a calendar text", jd.get());
    else
        PyErr_Format(PyExc_ValueError, "Time.iso: instant %zd, JD %R, is out of range for a calendar text", i,
                     jd.get());
}

PyObject* new_text_array(Py_ssize_t n, Py_ssize_t width, Py_UCS4** data) {
    PyArray_Descr* descr = PyArray_DescrNewFromType(NPY_UNICODE);
    if (!descr) return nullptr;
    PyDataType_SET_ELSIZE(descr, width * 4);
    npy_intp dims[1] = {n};
    PyObject* a = PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, 0, nullptr);
    if (a) *data = static_cast<Py_UCS4*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
    return a;
}

// The ISO texts of an array Time as a NumPy array of str, as wide as the
// longest: 23 characters when every year has four digits, which is
// written at once; otherwise measured first.
PyObject* iso_array(PyObject* self) {
    const Column c = column(self);
    const Scale scale = scale_of(self);
    constexpr double kFirstNoon = 1721060.0;  // 0000-01-01T12:00
    constexpr double kLastNoon = 5373483.0;   // 9999-12-30T12:00
    bool four_digits = true;
    for (Py_ssize_t i = 0; i < c.n; ++i) four_digits &= c.jd1[i * c.step] >= kFirstNoon && c.jd1[i * c.step] <= kLastNoon;
    if (four_digits) {
        constexpr Py_ssize_t kIso = 23;
        Py_UCS4* out;
        PyObject* a = new_text_array(c.n, kIso, &out);
        if (!a) return nullptr;
        const int stopped = in_chunks(c.n, [&](Py_ssize_t begin, Py_ssize_t end) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                char text[48];
                iso_of(c.at(i), scale, text);
                for (Py_ssize_t k = 0; k < kIso; ++k) out[i * kIso + k] = static_cast<unsigned char>(text[k]);
            }
            return true;
        });
        if (stopped < 0) Py_CLEAR(a);
        return a;
    }
    constexpr Py_ssize_t kWidth = 32;
    std::vector<char> text(static_cast<std::size_t>(c.n * kWidth));
    Py_ssize_t widest = 1, failed = -1;
    if (in_chunks(c.n, [&](Py_ssize_t begin, Py_ssize_t end) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                char* out = text.data() + i * kWidth;
                const int n = iso_of(c.at(i), scale, out);
                if (!n) {
                    failed = i;
                    return false;
                }
                std::memset(out + n, 0, static_cast<std::size_t>(kWidth - n));
                if (n > widest) widest = n;
            }
            return true;
        }) < 0)
        return nullptr;
    if (failed >= 0) {
        raise_no_iso(self, failed);
        return nullptr;
    }
    Py_UCS4* out;
    PyObject* a = new_text_array(c.n, widest, &out);
    if (!a) return nullptr;
    const int stopped = in_chunks(c.n, [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t i = begin; i < end; ++i)
            for (Py_ssize_t k = 0; k < widest; ++k)
                out[i * widest + k] = static_cast<unsigned char>(text[static_cast<std::size_t>(i * kWidth + k)]);
        return true;
    });
    if (stopped < 0) Py_CLEAR(a);
    return a;
}

// "[t0 t1 t2 ... tn-1]" for an array Time, at most six instants shown.
PyObject* array_text(PyObject* self, const char* separator) {
    const Py_ssize_t n = as_time(self)->length;
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (n > 6 && i == 3) {
            Ref dots = Ref::steal(PyUnicode_FromString("..."));
            if (!dots || PyList_Append(parts.get(), dots.get()) < 0) return nullptr;
            i = n - 3;
        }
        Ref text = Ref::steal(iso_text_or_null(self, i));
        if (!text) {
            if (PyErr_Occurred()) return nullptr;
            const Pair p = column(self).at(i);
            Ref jd = Ref::steal(PyFloat_FromDouble(p.jd1 + p.jd2));
            text = Ref::steal(jd ? PyUnicode_FromFormat("JD %R", jd.get()) : nullptr);
            if (!text) return nullptr;
        }
        if (PyList_Append(parts.get(), text.get()) < 0) return nullptr;
    }
    Ref sep = Ref::steal(PyUnicode_FromString(separator));
    if (!sep) return nullptr;
    Ref joined = Ref::steal(PyUnicode_Join(sep.get(), parts.get()));
    return joined ? PyUnicode_FromFormat("[%U]", joined.get()) : nullptr;
}

}  // namespace

PyObject* Time_get_iso(PyObject* self, void*) {
    if (!is_scalar(self)) return iso_array(self);
    PyObject* text = iso_text_or_null(self);
    if (!text && !PyErr_Occurred()) raise_no_iso(self, 0);
    return text;
}

// The calendar text, or "JD <Julian date>" for a Time that has none.
PyObject* Time_str(PyObject* self) {
    if (!is_scalar(self)) return array_text(self, " ");
    PyObject* text = iso_text_or_null(self);
    if (text || PyErr_Occurred()) return text;
    const Pair p = column(self).at(0);
    Ref jd = Ref::steal(PyFloat_FromDouble(p.jd1 + p.jd2));
    return jd ? PyUnicode_FromFormat("JD %R", jd.get()) : nullptr;
}

// "<Time utc 2021-05-03T12:00:00.000 (JD 2459338.0)>", without the calendar
// text for a Time that has none; "<Time utc [...] (N instants)>" for an
// array Time.
PyObject* Time_repr(PyObject* self) {
    PyObject* scale = as_time(self)->_scale;
    if (!is_scalar(self)) {
        Ref text = Ref::steal(array_text(self, ", "));
        return text ? PyUnicode_FromFormat("<Time %U %U (%zd instants)>", scale, text.get(), as_time(self)->length)
                    : nullptr;
    }
    Ref iso = Ref::steal(iso_text_or_null(self));
    if (!iso && PyErr_Occurred()) return nullptr;
    const Pair p = column(self).at(0);
    Ref jd = Ref::steal(PyFloat_FromDouble(p.jd1 + p.jd2));
    if (!jd) return nullptr;
    if (!iso) return PyUnicode_FromFormat("<Time %U (JD %R)>", scale, jd.get());
    return PyUnicode_FromFormat("<Time %U %U (JD %R)>", scale, iso.get(), jd.get());
}

}  // namespace orbivane::time
