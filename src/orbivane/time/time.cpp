// orbivane.time.time: the epoch type of the package.
//
// A Time is one instant, held as a two-part Julian date (jd1 + jd2) with a
// time-scale label. It is built from a year text ("2021" is 00:00 on
// 1 January 2021, proleptic Gregorian) or from a Julian date
// (format="jd"). Compiled modules that embed a Time reference in their own
// records are built against the instance record below, so its layout is
// fixed.
#include "capi_support.hpp"

#include <cmath>
#include <cstring>

namespace {

using orbivane::Ref;

// The strided array view record that compiled clients share.
struct ArrayView {
    PyObject* memview;
    char* data;
    Py_ssize_t shape[8];
    Py_ssize_t strides[8];
    Py_ssize_t suboffsets[8];
};

// The instance record. `_jd12` describes the two parts of the Julian date
// as a (2, 1) array of doubles in a small block that the Time owns; it has
// no owner object (`memview` is null), so nothing outside may keep it.
struct TimeObject {
    PyObject_HEAD
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
    Py_ssize_t length;
    PyObject* _scale;
    int _is_scalar;
    ArrayView _jd12;
};
static_assert(sizeof(TimeObject) == 280, "the Time record is part of the binary interface");

double* jd_parts(TimeObject* t) { return reinterpret_cast<double*>(t->_jd12.data); }

PyTypeObject Time_Type;

// Interned names, made at module execution.
PyObject* s_jd;
PyObject* s_year;
PyObject* s_format;
PyObject* s_scale;
PyObject* s_utc;
PyObject* known_scales;  // frozenset of accepted scale names

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

int parse_jd(PyObject* value, double* jd) {
    if (PyUnicode_Check(value) || PyBytes_Check(value) || !PyNumber_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Time(..., format='jd') needs a real number, not '%.200s'",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) return -1;
    if (!std::isfinite(v)) {
        PyErr_Format(PyExc_ValueError, "Time(..., format='jd') needs a finite Julian date, got %R", value);
        return -1;
    }
    *jd = v;
    return 0;
}

PyObject* check_scale(PyObject* scale) {
    if (!scale || scale == Py_None) return s_utc;
    if (!PyUnicode_Check(scale)) {
        PyErr_Format(PyExc_TypeError, "Time() scale must be a str, not '%.200s'", Py_TYPE(scale)->tp_name);
        return nullptr;
    }
    const int known = PySet_Contains(known_scales, scale);
    if (known < 0) return nullptr;
    if (!known) {
        PyErr_Format(PyExc_ValueError,
                     "unknown time scale %R; expected one of 'tai', 'tcb', 'tcg', 'tdb', 'tt', 'ut1', 'utc'",
                     scale);
        return nullptr;
    }
    return scale;
}

PyObject* make_time(PyTypeObject* type, double jd1, double jd2, PyObject* scale) {
    auto* parts = static_cast<double*>(PyMem_Malloc(2 * sizeof(double)));
    if (!parts) return PyErr_NoMemory();
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) {
        PyMem_Free(parts);
        return nullptr;
    }
    auto* t = reinterpret_cast<TimeObject*>(obj.get());
    parts[0] = jd1;
    parts[1] = jd2;
    t->length = 1;
    t->_scale = Py_NewRef(scale);
    t->_is_scalar = 1;
    t->_jd12.data = reinterpret_cast<char*>(parts);
    t->_jd12.shape[0] = 2;
    t->_jd12.shape[1] = 1;
    t->_jd12.strides[0] = sizeof(double);
    t->_jd12.strides[1] = sizeof(double);
    t->_jd12.suboffsets[0] = t->_jd12.suboffsets[1] = -1;
    return obj.release();
}

// Time(value, format=None, scale=None)
PyObject* build(PyTypeObject* type, PyObject* value, PyObject* format, PyObject* scale_arg) {
    PyObject* scale = check_scale(scale_arg);
    if (!scale) return nullptr;
    if (format == s_jd || (format && PyUnicode_Check(format) && PyUnicode_Compare(format, s_jd) == 0)) {
        double jd;
        if (parse_jd(value, &jd) < 0) return nullptr;
        return make_time(type, jd, 0.0, scale);
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
    return make_time(type, jd_of_year_start(year), 0.0, scale);
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

void Time_dealloc(PyObject* self) {
    auto* t = reinterpret_cast<TimeObject*>(self);
    Py_CLEAR(t->_scale);
    PyMem_Free(t->_jd12.data);
    t->_jd12.data = nullptr;
    Py_TYPE(self)->tp_free(self);
}

double jd_value(PyObject* self) {
    const double* p = jd_parts(reinterpret_cast<TimeObject*>(self));
    return p[0] + p[1];
}

PyObject* Time_get_jd(PyObject* self, void*) { return PyFloat_FromDouble(jd_value(self)); }
PyObject* Time_get_jd1(PyObject* self, void*) {
    return PyFloat_FromDouble(jd_parts(reinterpret_cast<TimeObject*>(self))[0]);
}
PyObject* Time_get_jd2(PyObject* self, void*) {
    return PyFloat_FromDouble(jd_parts(reinterpret_cast<TimeObject*>(self))[1]);
}
PyObject* Time_get_scale(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<TimeObject*>(self)->_scale);
}

// ISO 8601 calendar text with milliseconds, "2021-05-03T12:00:00.000".
PyObject* iso_text(PyObject* self) {
    const double* p = jd_parts(reinterpret_cast<TimeObject*>(self));
    const double ms = std::nearbyint(((p[0] - kUnixEpochJd) + p[1]) * kMsPerDay);
    if (!(std::fabs(ms) < 1e17)) {
        PyErr_SetString(PyExc_ValueError, "Julian date out of range for a calendar text");
        return nullptr;
    }
    long long total = static_cast<long long>(ms);
    long long days = total / 86400000LL;
    long long msec = total % 86400000LL;
    if (msec < 0) {
        msec += 86400000LL;
        days -= 1;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long d = doy - (153 * mp + 2) / 5 + 1;
    const long long m = mp < 10 ? mp + 3 : mp - 9;
    const long long y = yoe + era * 400 + (m <= 2);
    char buf[64];
    std::snprintf(buf, sizeof buf, (y >= 0 && y <= 9999) ? "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lld"
                                                         : "%+lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lld",
                  y, m, d, msec / 3600000, msec / 60000 % 60, msec / 1000 % 60, msec % 1000);
    return PyUnicode_FromString(buf);
}

PyObject* Time_get_iso(PyObject* self, void*) { return iso_text(self); }
PyObject* Time_str(PyObject* self) { return iso_text(self); }

PyObject* Time_repr(PyObject* self) {
    Ref iso = Ref::steal(iso_text(self));
    if (!iso) return nullptr;
    Ref jd = Ref::steal(PyFloat_FromDouble(jd_value(self)));
    if (!jd) return nullptr;
    return PyUnicode_FromFormat("<Time %U %U (JD %R)>", reinterpret_cast<TimeObject*>(self)->_scale,
                                iso.get(), jd.get());
}

PyGetSetDef Time_getset[] = {
    {"jd", Time_get_jd, nullptr, "Julian date (jd1 + jd2) as a float.", nullptr},
    {"jd1", Time_get_jd1, nullptr, "First part of the two-part Julian date.", nullptr},
    {"jd2", Time_get_jd2, nullptr, "Second part of the two-part Julian date.", nullptr},
    {"scale", Time_get_scale, nullptr, "Time scale label, such as 'utc'.", nullptr},
    {"iso", Time_get_iso, nullptr, "ISO 8601 calendar text, to the millisecond.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int exec_time(PyObject* module) {
    if (!s_jd) {
        if (!(s_jd = orbivane::intern("jd")) || !(s_year = orbivane::intern("year")) ||
            !(s_format = orbivane::intern("format")) || !(s_scale = orbivane::intern("scale")) ||
            !(s_utc = orbivane::intern("utc")))
            return -1;
        Ref names = Ref::steal(Py_BuildValue("(sssssss)", "tai", "tcb", "tcg", "tdb", "tt", "ut1", "utc"));
        if (!names || !(known_scales = PyFrozenSet_New(names.get()))) return -1;
    }
    Time_Type.tp_name = "orbivane.time.time.Time";
    Time_Type.tp_basicsize = sizeof(TimeObject);
    Time_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    Time_Type.tp_doc = PyDoc_STR(
        "Time(value, format=None, scale='utc')\n--\n\n"
        "One instant as a two-part Julian date.\n\n"
        "``Time('2021')`` is 00:00 on 1 January 2021 (proleptic Gregorian);\n"
        "``Time(2459215.5, format='jd')`` is that Julian date.");
    Time_Type.tp_new = Time_new;
    Time_Type.tp_vectorcall = Time_vectorcall;
    Time_Type.tp_dealloc = Time_dealloc;
    Time_Type.tp_repr = Time_repr;
    Time_Type.tp_str = Time_str;
    Time_Type.tp_getset = Time_getset;
    if (PyType_Ready(&Time_Type) < 0) return -1;
    return PyModule_AddObjectRef(module, "Time", reinterpret_cast<PyObject*>(&Time_Type));
}

PyModuleDef_Slot time_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_time)},
    {0, nullptr},
};

PyModuleDef time_module = {
    PyModuleDef_HEAD_INIT, "time", "The epoch type of orbivane: Time.", 0, nullptr, time_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_time(void) { return PyModuleDef_Init(&time_module); }
