// orbivane.time.time: the epoch type of the package, Time.
//
// A Time holds one instant, or a 1-D array of them, as two-part Julian
// dates (jd1 + jd2) with a time-scale label. The split is canonical: jd1 is
// the whole number nearest to the Julian date (halves go up) and jd2 the
// rest, in [-0.5, 0.5). Splitting off the nearest whole number is exact, so
// jd1 + jd2 is the float a Time was made from, and each instant has one
// pair: comparisons and the hash use it as it is. The one exception is a
// UTC instant inside a leap second, 23:59:60, whose jd2 runs on from 0.5
// (leap_seconds.hpp).
//
// The files of the module:
//   time_object.hpp/.cpp   the record, its storage and views
//   forms.hpp/.cpp         Time(...) from numbers and arrays of them, the arguments
//   text_forms.cpp         ... from year and ISO 8601 text and from datetimes
//   range.cpp              Time.range
//   outputs.cpp            jd, mjd, unix, iso, str and repr
//   datetimes.cpp          datetime and timedelta in and out
//   scales.cpp             .utc, .tai, .tt, .gps
//   leap_seconds.hpp/.cpp  scale offsets and the leap-second table
//   operators.cpp          arithmetic, comparisons, hash
//   indexing.cpp           len, indexing, slicing, iteration
//   pickling.cpp           pickling
//   iso_text.hpp/.cpp      ISO 8601 text (the calendar: _native/calendar.hpp)
//   two_part.hpp           exact arithmetic on pairs
//   time.cpp               the type and the module
#define ORBIVANE_TIME_IMPORTS_NUMPY
#include "time_object.hpp"

#include "iso_text.hpp"

#include <ctime>

namespace orbivane::time {

int ready_owner_type();

namespace {

using orbivane::ExecResult;

orbivane::ModuleState module_state{"time", "orbivane.time.time", "orbivane/time/time", "init orbivane.time.time"};

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
    return new_scalar_split(reinterpret_cast<PyTypeObject*>(cls), static_cast<double>(days) + calendar::kNoonOfDayZero,
                            static_cast<double>(within) / static_cast<double>(kNsPerDay) - 0.5, Scale::utc);
}

PyObject* Time_get_scale(PyObject* self, void*) { return Py_NewRef(as_time(self)->_scale); }

PyObject* Time_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyGetSetDef Time_getset[] = {
    {"jd", Time_get_jd, nullptr, "Julian date (jd1 + jd2) as a float; an array for an array Time.", nullptr},
    {"jd1", Time_get_jd1, nullptr,
     "The whole number nearest to the Julian date (halves go up); for an array Time, a read-only view.", nullptr},
    {"jd2", Time_get_jd2, nullptr,
     "The rest of the Julian date, in [-0.5, 0.5) (from 0.5 on inside a UTC leap second); for an array Time, "
     "a read-only view.",
     nullptr},
    {"mjd", Time_get_mjd, nullptr, "Modified Julian date, JD - 2400000.5, in the Time's scale.", nullptr},
    {"unix", Time_get_unix, nullptr,
     "Seconds since 1970-01-01T00:00:00 UTC without leap seconds, as POSIX counts them (scale 'utc' only).",
     nullptr},
    {"scale", Time_get_scale, nullptr, "Time scale label, such as 'utc'.", nullptr},
    {"iso", Time_get_iso, nullptr, "ISO 8601 calendar text, to the millisecond; an array of str for an array Time.",
     nullptr},
    {"datetime", Time_get_datetime, nullptr,
     "A timezone-aware datetime.datetime in UTC, to the nearest microsecond (scale 'utc' only).", nullptr},
    {"utc", Time_get_utc, nullptr, "The same instants in UTC.", nullptr},
    {"tai", Time_get_tai, nullptr, "The same instants in TAI.", nullptr},
    {"tt", Time_get_tt, nullptr, "The same instants in TT (TAI + 32.184 s).", nullptr},
    {"gps", Time_get_gps, nullptr, "The same instants in GPS time (TAI - 19 s).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Time_methods[] = {
    {"now", Time_now, METH_CLASS | METH_NOARGS, PyDoc_STR("now()\n--\n\nThe current time, in scale 'utc'.")},
    {"range", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Time_range)),
     METH_CLASS | METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("range(start, step, count)\n--\n\n"
               "An array Time of `count` instants from `start` (a Time, or what Time() takes), `step`\n"
               "apart: a number of days or a timedelta. Each instant is start + i * step, rounded once.")},
    {"__reduce__", Time_reduce, METH_NOARGS, PyDoc_STR("__reduce__($self, /)\n--\n\nPickles the pairs as they are.")},
    {"__copy__", Time_copy, METH_NOARGS, PyDoc_STR("__copy__($self, /)\n--\n\nA Time is immutable: itself.")},
    {nullptr, nullptr, 0, nullptr},
};

int ready_time_type() {
    Time_Type.tp_name = "orbivane.time.time.Time";
    Time_Type.tp_basicsize = sizeof(TimeObject);
    Time_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    Time_Type.tp_doc = PyDoc_STR(
        "Time(val, val2=None, *, format=None, scale='utc')\n--\n\n"
        "An instant, or a 1-D array of instants, as two-part Julian dates.\n\n"
        "``Time('2021')`` is 00:00 on 1 January 2021 (proleptic Gregorian);\n"
        "``Time('2021-05-03T12:00:00.5Z')`` reads ISO 8601 text, ``Time(datetime)``\n"
        "an aware datetime; numbers need a format: ``Time(2459215.5, format='jd')``,\n"
        "``format='mjd'`` or ``format='unix'``, optionally in two parts (val + val2).\n"
        "Lists, tuples and 1-D arrays of these make an array Time. As before, format\n"
        "and scale may also follow val by position: ``Time('2021', 'year', 'tt')``.\n\n"
        "Scales: 'utc', 'tai', 'tt' and 'gps' convert (.utc, .tai, .tt, .gps) through\n"
        "the leap-second table; 'tcb', 'tcg', 'tdb' and 'ut1' are labels only.\n\n"
        "Times compare, sort and hash by their instant (Times of different scales\n"
        "after conversion to TAI), and their difference is a float in days; a Time\n"
        "plus or minus a number of days or a timedelta is a Time. Array Times work\n"
        "element by element, with NumPy's broadcasting.");
    Time_Type.tp_new = Time_new;
    Time_Type.tp_vectorcall = Time_vectorcall;
    Time_Type.tp_dealloc = release_time;
    Time_Type.tp_repr = Time_repr;
    Time_Type.tp_str = Time_str;
    Time_Type.tp_hash = Time_hash;
    Time_Type.tp_richcompare = Time_richcompare;
    Time_Type.tp_iter = Time_iter;
    Time_Type.tp_as_number = &Time_as_number;
    Time_Type.tp_as_sequence = &Time_as_sequence;
    Time_Type.tp_as_mapping = &Time_as_mapping;
    Time_Type.tp_methods = Time_methods;
    Time_Type.tp_getset = Time_getset;
    if (PyType_Ready(&Time_Type) < 0) return -1;
    // NumPy arrays and scalars then leave operations with a Time to Time's
    // own operators, instead of applying them element by element.
    if (PyDict_SetItemString(Time_Type.tp_dict, "__array_ufunc__", Py_None) < 0) return -1;
    PyType_Modified(&Time_Type);
    return 0;
}

int make_names() {
    if (names.val) return 0;
    const char* scale_names[scales::kScaleCount] = {"utc", "tai", "tt", "gps", "tcb", "tcg", "tdb", "ut1"};
    for (int i = 0; i < scales::kScaleCount; ++i)
        if (!(names.scales[i] = orbivane::intern(scale_names[i]))) return -1;
    struct {
        PyObject** slot;
        const char* text;
    } others[] = {{&names.value, "value"}, {&names.val2, "val2"}, {&names.format, "format"},
                  {&names.scale, "scale"}, {&names.jd, "jd"},       {&names.mjd, "mjd"},
                  {&names.unix, "unix"},   {&names.iso, "iso"},     {&names.year, "year"},
                  {&names.datetime, "datetime"}, {&names.val, "val"}};
    for (auto& o : others)
        if (!(*o.slot = orbivane::intern(o.text))) return -1;
    return 0;
}

PyMethodDef module_methods[] = {
    {"_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restore)), METH_FASTCALL,
     PyDoc_STR("_restore(cls, jd1, jd2, scale, /)\n--\n\nA pickled Time.")},
    {nullptr, nullptr, 0, nullptr},
};

// The module's execution. The interpreter's datetime API and NumPy's C API
// (whose scalar types are numbers of days) are bound here, from the one
// interpreter that may load this module, and kept.
ExecResult exec_steps(PyObject* module) {
    if (orbivane::exec_bind_instance(module, module_state) < 0 ||
        orbivane::exec_check_version(module_state) < 0 || make_names() < 0)
        return ExecResult::failed_without_entry();
    if (orbivane::exec_register_in_sys_modules(module, module_state) < 0) return ExecResult::failed_at(1);
    if (_import_array() < 0 || bind_datetime_api() < 0) return ExecResult::failed_at(1);
    scales::prepare();
    if (ready_owner_type() < 0 || ready_time_type() < 0 ||
        PyModule_AddObjectRef(module, "Time", reinterpret_cast<PyObject*>(&Time_Type)) < 0 ||
        PyModule_AddFunctions(module, module_methods) < 0)
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

}  // namespace orbivane::time

PyMODINIT_FUNC PyInit_time(void) { return PyModuleDef_Init(&orbivane::time::time_module); }
