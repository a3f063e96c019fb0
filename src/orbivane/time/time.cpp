// orbivane.time.time: the epoch type of the package.
//
// A Time is one instant, held as a two-part Julian date (jd1 + jd2) with a
// time-scale label. It is built from a year text ("2021" is 00:00 on
// 1 January 2021, proleptic Gregorian) or from a Julian date
// (format="jd"). Compiled modules that embed a Time reference in their own
// records are built against the instance record below, so its layout is
// fixed.
//
// The split is canonical: jd1 is the whole number nearest to the Julian
// date (halves go up) and jd2 the rest, in [-0.5, 0.5). Splitting off the
// nearest whole number is exact, so jd1 + jd2 is the float a Time was made
// from, and each instant has one pair: comparisons and the hash use it
// as it is.
#include "capi_support.hpp"
#include "two_part.hpp"
#include "view_owner.hpp"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <datetime.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

using orbivane::ExecResult;
using orbivane::Ref;

orbivane::ModuleState module_state{"time", "orbivane.time.time", "orbivane/time/time", "init orbivane.time.time"};

// The instance record. `_jd12` views the two parts of the Julian date as a
// read-only (2, 1) array of doubles. Its owner, of the module's own type
// orbivane.time.time.memoryview, keeps the two doubles in its own
// allocation, and the record holds one acquisition of it. The owner refers
// to nothing (its `obj` is None), so a Time and its owner never form a
// cycle: the Time releases the acquisition when it dies, and copies of the
// view that clients keep hold the owner, not the Time.
struct TimeObject {
    PyObject_HEAD
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
    Py_ssize_t length;
    PyObject* _scale;
    int _is_scalar;
    orbivane_memviewslice _jd12;
};
static_assert(sizeof(TimeObject) == 280, "the Time record is part of the binary interface");

TimeObject* as_time(PyObject* o) { return reinterpret_cast<TimeObject*>(o); }
const double* jd_parts(PyObject* o) { return reinterpret_cast<const double*>(as_time(o)->_jd12.data); }

PyTypeObject Time_Type;
orbivane::view_owner::StorageOwnerType<2> owner_type{"orbivane.time.time.memoryview"};

// The shape and strides of every `_jd12` and its owner's buffer.
Py_ssize_t jd12_shape[2] = {2, 1};
Py_ssize_t jd12_strides[2] = {sizeof(double), sizeof(double)};

bool is_time(PyObject* o) { return PyObject_TypeCheck(o, &Time_Type); }

// Interned names, made at module execution.
PyObject* s_jd;
PyObject* s_year;
PyObject* s_format;
PyObject* s_scale;
PyObject* s_utc;
PyObject* known_scales;  // {name: name}, interned: a Time holds the interned name

constexpr double kUnixEpochJd = 2440587.5;
constexpr double kMsPerDay = 86400000.0;

// Julian date of 00:00 on 1 January of a proleptic Gregorian year >= 0.
double jd_of_year_start(long year) {
    const long y = year + 4799;  // year + 4800 - 1 for January
    const long jdn = 1 + (153 * 10 + 2) / 5 + 365 * y + y / 4 - y / 100 + y / 400 - 32045;
    return static_cast<double>(jdn) - 0.5;
}

// Parses a year text of one to four ASCII digits.
int parse_year_text(PyObject* text, long* year) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_IS_ASCII(text) ? PyUnicode_AsUTF8AndSize(text, &n) : nullptr;
    bool ok = s && n >= 1 && n <= 4;
    long value = 0;
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') ok = false;
        value = value * 10 + (s[i] - '0');
    }
    if (!ok) {
        PyErr_Format(PyExc_ValueError,
                     "Time() expects a year of one to four digits, such as '2021'; got %R", text);
        return -1;
    }
    *year = value;
    return 0;
}

// The interned name of a known scale (borrowed), so that Times of one scale
// share one name object; null with an exception for anything else.
PyObject* check_scale(PyObject* scale) {
    if (!scale || scale == Py_None) return s_utc;
    if (!PyUnicode_Check(scale)) {
        PyErr_Format(PyExc_TypeError, "Time() scale must be a str, not '%.200s'", Py_TYPE(scale)->tp_name);
        return nullptr;
    }
    PyObject* known = PyDict_GetItemWithError(known_scales, scale);
    if (!known && !PyErr_Occurred())
        PyErr_Format(PyExc_ValueError,
                     "unknown time scale %R; expected one of 'tai', 'tcb', 'tcg', 'tdb', 'tt', 'ut1', 'utc'",
                     scale);
    return known;
}

void raise_not_finite(PyObject* value) {
    PyErr_Format(PyExc_ValueError, "Time(..., format='jd') needs a finite Julian date, got %R", value);
}

using orbivane::two_part::split;
using orbivane::two_part::Split;

// A new Time for the Julian date `whole + rest`, where `whole` is a whole
// number, split canonically, or null with nothing raised when that is not
// finite: the caller says what was not.
PyObject* new_time_or_null(PyTypeObject* type, double whole, double rest, PyObject* scale) {
    const Split s = split(rest);
    const double jd1 = whole + s.whole;
    if (!std::isfinite(jd1)) return nullptr;
    orbivane_view_owner* owner = owner_type.make(2, jd12_shape, jd12_strides);
    if (!owner) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) {
        Py_DECREF(owner);
        return nullptr;
    }
    TimeObject* t = as_time(obj);
    auto* parts = static_cast<double*>(owner->view.buf);
    parts[0] = jd1;
    parts[1] = s.rest;
    t->length = 1;
    t->_scale = Py_NewRef(scale);
    t->_is_scalar = 1;
    // The owner's one acquisition goes to this record.
    t->_jd12.memview = owner;
    t->_jd12.data = static_cast<char*>(owner->view.buf);
    for (int d = 0; d < 2; ++d) {
        t->_jd12.shape[d] = jd12_shape[d];
        t->_jd12.strides[d] = jd12_strides[d];
        t->_jd12.suboffsets[d] = -1;
    }
    return obj;
}

// The same, with ValueError for a Julian date that is not finite.
PyObject* new_time(PyTypeObject* type, double whole, double rest, PyObject* scale) {
    PyObject* t = new_time_or_null(type, whole, rest, scale);
    if (!t && !PyErr_Occurred()) {
        Ref value = Ref::steal(PyFloat_FromDouble(whole + rest));
        if (value) raise_not_finite(value.get());
    }
    return t;
}

int parse_jd(PyObject* value, double* jd) {
    // The usual case first: a finite float, taken as it is.
    if (PyFloat_CheckExact(value) && std::isfinite(PyFloat_AS_DOUBLE(value))) {
        *jd = PyFloat_AS_DOUBLE(value);
        return 0;
    }
    if (PyUnicode_Check(value) || PyBytes_Check(value) || !PyNumber_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Time(..., format='jd') needs a real number, not '%.200s'",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) return -1;
    if (!std::isfinite(v)) {
        raise_not_finite(value);
        return -1;
    }
    *jd = v;
    return 0;
}

// Time(value, format=None, scale=None)
PyObject* build(PyTypeObject* type, PyObject* value, PyObject* format, PyObject* scale_arg) {
    PyObject* scale = check_scale(scale_arg);
    if (!scale) return nullptr;
    if (format == s_jd || (format && PyUnicode_Check(format) && PyUnicode_Compare(format, s_jd) == 0)) {
        double jd;
        if (parse_jd(value, &jd) < 0) return nullptr;
        return new_time(type, 0.0, jd, scale);
    }
    const bool year_format = format == s_year ||
        (format && PyUnicode_Check(format) && PyUnicode_Compare(format, s_year) == 0);
    if (format && format != Py_None && !year_format) {
        PyErr_Format(PyExc_ValueError, "unknown Time format %R; expected 'jd' or 'year'", format);
        return nullptr;
    }
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError,
                     "Time() takes a year text such as '2021', or a Julian date with format='jd'; "
                     "got '%.200s'",
                     Py_TYPE(value)->tp_name);
        return nullptr;
    }
    long year;
    if (parse_year_text(value, &year) < 0) return nullptr;
    return new_time(type, 0.0, jd_of_year_start(year), scale);
}

PyObject* bind_and_build(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs,
                         const orbivane::Keywords& kw) {
    static PyObject* value_name = nullptr;
    if (!value_name && !(value_name = orbivane::intern("value"))) return nullptr;
    PyObject* names[3] = {value_name, s_format, s_scale};
    PyObject* values[3];
    const orbivane::Signature sig{"Time", names, 3, 1};
    if (orbivane::bind_arguments(sig, args, nargs, kw, values) < 0) return nullptr;
    return build(type, values[0], values[1], values[2]);
}

PyObject* Time_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return bind_and_build(type, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                          orbivane::Keywords::from_dict(kwds));
}

// Calls of Time itself skip the argument tuple and dictionary.
PyObject* Time_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return bind_and_build(reinterpret_cast<PyTypeObject*>(type), args, nargs,
                          orbivane::Keywords::from_vectorcall(kwnames, args + nargs));
}

// Releases the acquisition of a dying Time's `_jd12`. A count of 1 is then
// this record's own: every other live copy of the view holds an acquisition
// of its own, and nobody can copy the record of a Time that has no
// references left. The release then needs no locked read-modify-write,
// which spares the common case its most expensive instruction; the
// acquiring load orders the reads of a copy released on another thread
// before the free.
void release_jd12(TimeObject* t) {
    orbivane_memviewslice& v = t->_jd12;
    if (orbivane_view_is_counted(&v) && __atomic_load_n(&v.memview->acquisition_count, __ATOMIC_ACQUIRE) == 1) {
        __atomic_store_n(&v.memview->acquisition_count, 0, __ATOMIC_RELAXED);
        Py_DECREF(reinterpret_cast<PyObject*>(v.memview));
        v.memview = nullptr;
        v.data = nullptr;
        return;
    }
    orbivane_view_release(&v, 1);
}

void Time_dealloc(PyObject* self) {
    TimeObject* t = as_time(self);
    Py_CLEAR(t->_scale);
    release_jd12(t);
    Py_TYPE(self)->tp_free(self);
}

// Time.now(): the current UTC time, from the clock that time.time_ns() reads.
PyObject* Time_now(PyObject* cls, PyObject*) {
    constexpr int64_t kNsPerDay = 86400LL * 1000000000LL;
    timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return PyErr_SetFromErrno(PyExc_OSError);
    const int64_t ns = static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    int64_t days = ns / kNsPerDay;
    int64_t within = ns % kNsPerDay;
    if (within < 0) {
        within += kNsPerDay;
        days -= 1;
    }
    // Noon of the day is a whole Julian date; the day's start is half a day before it.
    return new_time(reinterpret_cast<PyTypeObject*>(cls), static_cast<double>(days) + (kUnixEpochJd + 0.5),
                    static_cast<double>(within) / static_cast<double>(kNsPerDay) - 0.5, s_utc);
}

double jd_value(PyObject* self) {
    const double* p = jd_parts(self);
    return p[0] + p[1];
}

PyObject* Time_get_jd(PyObject* self, void*) { return PyFloat_FromDouble(jd_value(self)); }
PyObject* Time_get_jd1(PyObject* self, void*) { return PyFloat_FromDouble(jd_parts(self)[0]); }
PyObject* Time_get_jd2(PyObject* self, void*) { return PyFloat_FromDouble(jd_parts(self)[1]); }
PyObject* Time_get_scale(PyObject* self, void*) { return Py_NewRef(as_time(self)->_scale); }

// Proleptic Gregorian calendar date of a count of days since 1970-01-01.
struct CivilDate {
    long long year, month, day;
};

CivilDate civil_from_days(long long days) {
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long d = doy - (153 * mp + 2) / 5 + 1;
    const long long m = mp < 10 ? mp + 3 : mp - 9;
    return {yoe + era * 400 + (m <= 2), m, d};
}

// ISO 8601 calendar text with milliseconds, "2021-05-03T12:00:00.000", or
// null with nothing raised when no calendar date of this form fits.
PyObject* iso_text_or_null(PyObject* self) {
    const double* p = jd_parts(self);
    const double ms = std::nearbyint(((p[0] - kUnixEpochJd) + p[1]) * kMsPerDay);
    if (!(std::fabs(ms) < 1e17)) return nullptr;
    long long total = static_cast<long long>(ms);
    long long days = total / 86400000LL;
    long long msec = total % 86400000LL;
    if (msec < 0) {
        msec += 86400000LL;
        days -= 1;
    }
    const CivilDate c = civil_from_days(days);
    char buf[64];
    std::snprintf(buf, sizeof buf,
                  (c.year >= 0 && c.year <= 9999) ? "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lld"
                                                  : "%+lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lld",
                  c.year, c.month, c.day, msec / 3600000, msec / 60000 % 60, msec / 1000 % 60, msec % 1000);
    return PyUnicode_FromString(buf);
}

PyObject* Time_get_iso(PyObject* self, void*) {
    PyObject* text = iso_text_or_null(self);
    if (!text && !PyErr_Occurred()) {
        Ref jd = Ref::steal(PyFloat_FromDouble(jd_value(self)));
        if (jd)
            PyErr_Format(PyExc_ValueError,
                         "Time.iso: JD %R is out of range for a calendar text", jd.get());
    }
    return text;
}

// The calendar text, or "JD <Julian date>" for a Time that has none.
PyObject* Time_str(PyObject* self) {
    PyObject* text = iso_text_or_null(self);
    if (text || PyErr_Occurred()) return text;
    Ref jd = Ref::steal(PyFloat_FromDouble(jd_value(self)));
    return jd ? PyUnicode_FromFormat("JD %R", jd.get()) : nullptr;
}

// A timezone-aware datetime in UTC, to the nearest microsecond. The whole
// days and the fraction are converted apart, so the microseconds keep the
// precision of jd2.
PyObject* Time_get_datetime(PyObject* self, void*) {
    constexpr long long kUsPerDay = 86400000000LL;
    constexpr double kFirstNoon = 1721426.0;  // 0001-01-01T12:00
    constexpr double kLastNoon = 5373484.0;   // 9999-12-31T12:00
    constexpr long long kDaysTo1970 = 719162;  // from 0001-01-01
    PyObject* scale = as_time(self)->_scale;
    if (scale != s_utc) {
        PyErr_Format(PyExc_ValueError, "Time.datetime needs a Time in scale 'utc', not %R", scale);
        return nullptr;
    }
    const double* p = jd_parts(self);
    // Microseconds since 0001-01-01T00:00, when jd1 is a noon of the years 1
    // to 9999 or the day before them (whose last half microsecond rounds
    // into the year 1).
    long long us = -1;
    if (p[0] >= kFirstNoon - 1.0 && p[0] <= kLastNoon)
        us = static_cast<long long>(p[0] - kFirstNoon) * kUsPerDay + kUsPerDay / 2 +
             static_cast<long long>(std::nearbyint(p[1] * static_cast<double>(kUsPerDay)));
    if (us < 0 || us >= static_cast<long long>(kLastNoon - kFirstNoon + 1.0) * kUsPerDay) {
        Ref jd1 = Ref::steal(PyFloat_FromDouble(p[0]));
        Ref jd2 = Ref::steal(PyFloat_FromDouble(p[1]));
        if (jd1 && jd2)
            PyErr_Format(PyExc_ValueError,
                         "Time.datetime covers the years 1 to 9999; this Time (jd1 %R, jd2 %R) is outside them",
                         jd1.get(), jd2.get());
        return nullptr;
    }
    const CivilDate c = civil_from_days(us / kUsPerDay - kDaysTo1970);
    const long long in_day = us % kUsPerDay;
    const long long sec = in_day / 1000000;
    return PyDateTimeAPI->DateTime_FromDateAndTime(
        static_cast<int>(c.year), static_cast<int>(c.month), static_cast<int>(c.day),
        static_cast<int>(sec / 3600), static_cast<int>(sec / 60 % 60), static_cast<int>(sec % 60),
        static_cast<int>(in_day % 1000000), PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType);
}

// "<Time utc 2021-05-03T12:00:00.000 (JD 2459338.0)>", and without the
// calendar text for a Time that has none.
PyObject* Time_repr(PyObject* self) {
    Ref iso = Ref::steal(iso_text_or_null(self));
    if (!iso && PyErr_Occurred()) return nullptr;
    Ref jd = Ref::steal(PyFloat_FromDouble(jd_value(self)));
    if (!jd) return nullptr;
    if (!iso) return PyUnicode_FromFormat("<Time %U (JD %R)>", as_time(self)->_scale, jd.get());
    return PyUnicode_FromFormat("<Time %U %U (JD %R)>", as_time(self)->_scale, iso.get(), jd.get());
}

// ---------------------------------------------------------------------------
// Comparisons, hash and arithmetic. Operations need Times of one scale, or a
// Time and a number of days; anything else is NotImplemented, so Python
// raises its usual TypeError (or, for ==, compares identities).
// ---------------------------------------------------------------------------

// Two Times of one scale (scale names are interned, see check_scale).
bool same_scale(PyObject* a, PyObject* b) {
    return is_time(a) && is_time(b) && as_time(a)->_scale == as_time(b)->_scale;
}

PyObject* Time_richcompare(PyObject* a, PyObject* b, int op) {
    if (!same_scale(a, b)) Py_RETURN_NOTIMPLEMENTED;
    const double* x = jd_parts(a);
    const double* y = jd_parts(b);
    if (x[0] != y[0]) Py_RETURN_RICHCOMPARE(x[0], y[0], op);
    Py_RETURN_RICHCOMPARE(x[1], y[1], op);
}

// Equal Times have the same scale object and equal pairs, whose zeros may
// differ only in sign: +0.0 is added to make them the same bits.
Py_hash_t Time_hash(PyObject* self) {
    const Py_hash_t scale_hash = PyObject_Hash(as_time(self)->_scale);
    if (scale_hash == -1) return -1;
    const double* p = jd_parts(self);
    uint64_t h = static_cast<uint64_t>(scale_hash);
    for (double part : {p[0] + 0.0, p[1] + 0.0}) {
        h ^= std::bit_cast<uint64_t>(part) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
    }
    const auto hash = static_cast<Py_hash_t>(h);
    return hash == -1 ? -2 : hash;
}

// The NumPy scalar types taken as numbers of days: integer and floating,
// but not timedelta64, which NumPy derives from its integers, nor bool_.
// The types come from NumPy's C API, bound at the module's execution.
bool is_numpy_real(PyObject* x) {
    if (PyObject_TypeCheck(x, &PyFloatingArrType_Type)) return true;
    return PyObject_TypeCheck(x, &PyIntegerArrType_Type) && !PyObject_TypeCheck(x, &PyTimedeltaArrType_Type);
}

// A number of days: an int, a float, or a NumPy integer or floating scalar;
// not a bool, which NumPy's datetime64 refuses too. 1 when `x` is one
// (converted into *days), 0 when it is not, -1 when the conversion failed.
int days_of(PyObject* x, double* days) {
    if (PyFloat_Check(x)) {
        *days = PyFloat_AS_DOUBLE(x);
        return 1;
    }
    if (PyBool_Check(x) || (!PyLong_Check(x) && !is_numpy_real(x))) return 0;
    *days = PyLong_Check(x) ? PyLong_AsDouble(x) : PyFloat_AsDouble(x);
    return *days == -1.0 && PyErr_Occurred() ? -1 : 1;
}

// time + days, days + time or time - days (`operation`, as written): a Time
// of the same scale, split anew. A sum that is not finite is refused with
// the operation and both operands.
PyObject* shifted(PyObject* time, PyObject* x, double sign, const char* operation) {
    double days;
    const int r = days_of(x, &days);
    if (r <= 0) {
        if (r < 0) return nullptr;
        Py_RETURN_NOTIMPLEMENTED;
    }
    const double* p = jd_parts(time);
    PyObject* result = new_time_or_null(&Time_Type, p[0], p[1] + sign * days, as_time(time)->_scale);
    if (!result && !PyErr_Occurred()) {
        Ref jd = Ref::steal(PyFloat_FromDouble(jd_value(time)));
        if (jd)
            PyErr_Format(PyExc_ValueError, "%s: days=%R gives no finite Julian date (the Time is JD %R)",
                         operation, x, jd.get());
    }
    return result;
}

PyObject* Time_add(PyObject* a, PyObject* b) {
    if (is_time(a) == is_time(b)) Py_RETURN_NOTIMPLEMENTED;
    return is_time(a) ? shifted(a, b, 1.0, "Time + days") : shifted(b, a, 1.0, "days + Time");
}

// time - time: the days between them, as a float; time - days: a Time.
PyObject* Time_subtract(PyObject* a, PyObject* b) {
    if (!is_time(a)) Py_RETURN_NOTIMPLEMENTED;
    if (!is_time(b)) return shifted(a, b, -1.0, "Time - days");
    if (!same_scale(a, b)) Py_RETURN_NOTIMPLEMENTED;
    const double* x = jd_parts(a);
    const double* y = jd_parts(b);
    return PyFloat_FromDouble(orbivane::two_part::difference(x[0], x[1], y[0], y[1]));
}

PyNumberMethods Time_as_number = [] {
    PyNumberMethods m{};
    m.nb_add = Time_add;
    m.nb_subtract = Time_subtract;
    return m;
}();

PyGetSetDef Time_getset[] = {
    {"jd", Time_get_jd, nullptr, "Julian date (jd1 + jd2) as a float.", nullptr},
    {"jd1", Time_get_jd1, nullptr, "The whole number nearest to the Julian date (halves go up).", nullptr},
    {"jd2", Time_get_jd2, nullptr, "The rest of the Julian date, in [-0.5, 0.5).", nullptr},
    {"scale", Time_get_scale, nullptr, "Time scale label, such as 'utc'.", nullptr},
    {"iso", Time_get_iso, nullptr, "ISO 8601 calendar text, to the millisecond.", nullptr},
    {"datetime", Time_get_datetime, nullptr,
     "A timezone-aware datetime.datetime in UTC, to the nearest microsecond (scale 'utc' only).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Time_methods[] = {
    {"now", Time_now, METH_CLASS | METH_NOARGS, PyDoc_STR("now()\n--\n\nThe current time, in scale 'utc'.")},
    {nullptr, nullptr, 0, nullptr},
};

int ready_time_type() {
    Time_Type.tp_name = "orbivane.time.time.Time";
    Time_Type.tp_basicsize = sizeof(TimeObject);
    Time_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    Time_Type.tp_doc = PyDoc_STR(
        "Time(value, format=None, scale='utc')\n--\n\n"
        "One instant as a two-part Julian date.\n\n"
        "``Time('2021')`` is 00:00 on 1 January 2021 (proleptic Gregorian);\n"
        "``Time(2459215.5, format='jd')`` is that Julian date.\n\n"
        "Times of one scale compare and hash by their instant, and their\n"
        "difference is a float in days; a Time plus or minus a number of days\n"
        "is a Time.");
    Time_Type.tp_new = Time_new;
    Time_Type.tp_vectorcall = Time_vectorcall;
    Time_Type.tp_dealloc = Time_dealloc;
    Time_Type.tp_repr = Time_repr;
    Time_Type.tp_str = Time_str;
    Time_Type.tp_hash = Time_hash;
    Time_Type.tp_richcompare = Time_richcompare;
    Time_Type.tp_as_number = &Time_as_number;
    Time_Type.tp_methods = Time_methods;
    Time_Type.tp_getset = Time_getset;
    if (PyType_Ready(&Time_Type) < 0) return -1;
    // NumPy arrays and scalars then leave operations with a Time to Time's
    // own operators, instead of applying them element by element: an array
    // is refused like any other operand that is not a number of days.
    if (PyDict_SetItemString(Time_Type.tp_dict, "__array_ufunc__", Py_None) < 0) return -1;
    PyType_Modified(&Time_Type);
    return 0;
}

int make_names() {
    if (s_jd) return 0;
    if (!(s_jd = orbivane::intern("jd")) || !(s_year = orbivane::intern("year")) ||
        !(s_format = orbivane::intern("format")) || !(s_scale = orbivane::intern("scale")) ||
        !(s_utc = orbivane::intern("utc")))
        return -1;
    Ref names = Ref::steal(PyDict_New());
    if (!names) return -1;
    for (const char* name : {"tai", "tcb", "tcg", "tdb", "tt", "ut1", "utc"}) {
        Ref key = Ref::steal(orbivane::intern(name));
        if (!key || PyDict_SetItem(names.get(), key.get(), key.get()) < 0) return -1;
    }
    known_scales = names.release();
    return 0;
}

// The module's execution. The interpreter's datetime API and NumPy's C API
// (whose scalar types are numbers of days) are bound here, from the one
// interpreter that may load this module, and kept.
ExecResult exec_steps(PyObject* module) {
    if (orbivane::exec_bind_instance(module, module_state) < 0 ||
        orbivane::exec_check_version(module_state) < 0 || make_names() < 0)
        return ExecResult::failed_without_entry();
    if (orbivane::exec_register_in_sys_modules(module, module_state) < 0) return ExecResult::failed_at(1);
    if (_import_array() < 0) return ExecResult::failed_at(1);
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return ExecResult::failed_at(1);
    if (owner_type.ready() < 0 || ready_time_type() < 0 ||
        PyModule_AddObjectRef(module, "Time", reinterpret_cast<PyObject*>(&Time_Type)) < 0)
        return ExecResult::failed_at(1);
    return ExecResult::ok();
}

PyObject* time_create(PyObject* spec, PyModuleDef*) { return orbivane::create_module(spec, module_state); }

int time_exec(PyObject* module) {
    return orbivane::exec_module(module, module_state, [&] { return exec_steps(module); });
}

PyModuleDef_Slot time_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(time_create)},
    {Py_mod_exec, reinterpret_cast<void*>(time_exec)},
    {0, nullptr},
};

PyModuleDef time_module = {
    PyModuleDef_HEAD_INIT, "time", "The epoch type of orbivane: Time.", 0, nullptr, time_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_time(void) { return PyModuleDef_Init(&time_module); }
