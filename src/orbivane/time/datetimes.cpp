// datetime and timedelta in and out. The interpreter's datetime API is
// bound once, at the module's execution, in the one interpreter that may
// load the module.
#include "time_object.hpp"

#include "iso_text.hpp"

#include <datetime.h>

#include <cmath>

namespace orbivane::time {

namespace {

constexpr long long kUsPerDay = 86400000000LL;

}  // namespace

int bind_datetime_api() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI ? 0 : -1;
}

bool is_datetime(PyObject* o) { return PyDateTime_Check(o); }

int timedelta_days(PyObject* o, double* whole, double* rest) {
    if (!PyDelta_Check(o)) return 0;
    // A timedelta is normalised: 0 <= seconds < 86400, 0 <= microseconds < 10**6.
    const long long us = PyDateTime_DELTA_GET_SECONDS(o) * 1000000LL + PyDateTime_DELTA_GET_MICROSECONDS(o);
    *whole = static_cast<double>(PyDateTime_DELTA_GET_DAYS(o));
    *rest = static_cast<double>(us) / static_cast<double>(kUsPerDay);
    return 1;
}

int pair_of_datetime(PyObject* o, const char* argument, Pair* out) {
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(o);  // borrowed
    long long offset_us = 0;
    if (tz != PyDateTime_TimeZone_UTC) {
        if (tz == Py_None) {
            PyErr_Format(PyExc_ValueError,
                         "Time() argument '%s' is a naive datetime (%R): it names no time zone, so the "
                         "instant it stands for is unknown; give it a tzinfo, such as datetime.timezone.utc",
                         argument, o);
            return -1;
        }
        Ref offset = Ref::steal(PyObject_CallMethod(o, "utcoffset", nullptr));
        if (!offset) return -1;
        if (offset.get() == Py_None) {
            PyErr_Format(PyExc_ValueError,
                         "Time() argument '%s' is a datetime (%R) whose tzinfo gives no UTC offset, so the "
                         "instant it stands for is unknown",
                         argument, o);
            return -1;
        }
        if (!PyDelta_Check(offset.get())) {
            PyErr_Format(PyExc_TypeError, "Time() argument '%s': utcoffset() of %R is not a timedelta", argument, o);
            return -1;
        }
        offset_us = (PyDateTime_DELTA_GET_DAYS(offset.get()) * 86400LL + PyDateTime_DELTA_GET_SECONDS(offset.get())) *
                        1000000LL +
                    PyDateTime_DELTA_GET_MICROSECONDS(offset.get());
    }
    const long long day = calendar::days_from_civil(PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o));
    long long us = ((PyDateTime_DATE_GET_HOUR(o) * 60LL + PyDateTime_DATE_GET_MINUTE(o)) * 60LL +
                    PyDateTime_DATE_GET_SECOND(o)) * 1000000LL +
                   PyDateTime_DATE_GET_MICROSECOND(o) - offset_us;
    // Microseconds from the day's noon, less the whole days that bring them
    // into [-half a day, half a day).
    const long long from_midnight = us;
    const long long shift = from_midnight >= 0 ? from_midnight / kUsPerDay : -((kUsPerDay - 1 - from_midnight) / kUsPerDay);
    const long long days = day + shift;
    us = from_midnight - shift * kUsPerDay - kUsPerDay / 2;
    *out = {static_cast<double>(days) + calendar::kNoonOfDayZero, static_cast<double>(us) / static_cast<double>(kUsPerDay)};
    return 0;
}

namespace {

// A timezone-aware datetime in UTC, to the nearest microsecond. The whole
// days and the fraction are converted apart, so the microseconds keep the
// precision of jd2.
PyObject* datetime_of(Pair p) {
    constexpr double kFirstNoon = 1721426.0;  // 0001-01-01T12:00
    constexpr double kLastNoon = 5373484.0;   // 9999-12-31T12:00
    constexpr long long kDaysTo1970 = 719162;  // from 0001-01-01
    if (p.jd2 >= 0.5) {
        char text[48];
        calendar::format_iso(text, scales::day_of(p.jd1),
                             86400000 + static_cast<long long>(std::floor((p.jd2 - 0.5) * 86400000.0)));
        PyErr_Format(PyExc_ValueError,
                     "Time.datetime: %s falls in a leap second, which a datetime cannot hold", text);
        return nullptr;
    }
    // Microseconds since 0001-01-01T00:00, when jd1 is a noon of the years 1
    // to 9999 or the day before them (whose last half microsecond rounds
    // into the year 1).
    long long us = -1;
    if (p.jd1 >= kFirstNoon - 1.0 && p.jd1 <= kLastNoon)
        us = static_cast<long long>(p.jd1 - kFirstNoon) * kUsPerDay + kUsPerDay / 2 +
             static_cast<long long>(std::nearbyint(p.jd2 * static_cast<double>(kUsPerDay)));
    if (us < 0 || us >= static_cast<long long>(kLastNoon - kFirstNoon + 1.0) * kUsPerDay) {
        Ref jd1 = Ref::steal(PyFloat_FromDouble(p.jd1));
        Ref jd2 = Ref::steal(PyFloat_FromDouble(p.jd2));
        if (jd1 && jd2)
            PyErr_Format(PyExc_ValueError,
                         "Time.datetime covers the years 1 to 9999; this Time (jd1 %R, jd2 %R) is outside them",
                         jd1.get(), jd2.get());
        return nullptr;
    }
    const calendar::CivilDate c = calendar::civil_from_days(us / kUsPerDay - kDaysTo1970);
    const long long in_day = us % kUsPerDay;
    const long long sec = in_day / 1000000;
    return PyDateTimeAPI->DateTime_FromDateAndTime(
        static_cast<int>(c.year), static_cast<int>(c.month), static_cast<int>(c.day),
        static_cast<int>(sec / 3600), static_cast<int>(sec / 60 % 60), static_cast<int>(sec % 60),
        static_cast<int>(in_day % 1000000), PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType);
}

}  // namespace

// A datetime for a scalar UTC Time; an array of them (dtype object) for an
// array Time.
PyObject* Time_get_datetime(PyObject* self, void*) {
    if (scale_of(self) != Scale::utc) {
        PyErr_Format(PyExc_ValueError, "Time.datetime needs a Time in scale 'utc', not %R (convert with .utc)",
                     as_time(self)->_scale);
        return nullptr;
    }
    const Column c = column(self);
    if (is_scalar(self)) return datetime_of(c.at(0));
    npy_intp dims[1] = {c.n};
    Ref a = Ref::steal(PyArray_SimpleNew(1, dims, NPY_OBJECT));
    if (!a) return nullptr;
    auto* items = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
    for (Py_ssize_t i = 0; i < c.n; ++i) {
        PyObject* d = datetime_of(c.at(i));
        if (!d) return nullptr;
        Py_XSETREF(items[i], d);
    }
    return a.release();
}

}  // namespace orbivane::time
