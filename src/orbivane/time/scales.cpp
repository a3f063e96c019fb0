// Conversions of Times between scales (the kernels are in leap_seconds.cpp).
#include "time_object.hpp"

#include "iso_text.hpp"

namespace orbivane::time {

namespace {

bool warned_beyond_table = false;

// Warns, once in the process, that a UTC instant lies beyond the table.
int warn_beyond_table() {
    if (warned_beyond_table) return 0;
    if (PyErr_WarnFormat(PyExc_UserWarning, 1,
                         "orbivane.time: the leap-second table holds until %s (IERS Bulletin C 72); a UTC "
                         "instant from then on is converted as if no leap second followed",
                         scales::kValidUntilText) < 0)
        return -1;
    warned_beyond_table = true;
    return 0;
}

void raise_not_convertible(Scale from, Scale to) {
    PyErr_Format(PyExc_ValueError,
                 "cannot convert a Time in scale %R to %R: only 'utc', 'tai', 'tt' and 'gps' convert",
                 scale_name(from), scale_name(to));
}

void raise_before_utc(Scale from, Scale to, Pair p) {
    Ref jd = Ref::steal(PyFloat_FromDouble(p.jd1 + p.jd2));
    if (jd)
        PyErr_Format(PyExc_ValueError,
                     "cannot convert the %U instant JD %R to %U: UTC before 1972-01-01, when it took whole "
                     "seconds, is not converted",
                     scale_name(from), jd.get(), scale_name(to));
}

}  // namespace

int convert_pair(Scale from, Scale to, Pair in, Pair* out) {
    if (from == to) {
        *out = in;
        return 0;
    }
    if (!scales::converts(from) || !scales::converts(to)) {
        raise_not_convertible(from, to);
        return -1;
    }
    switch (scales::convert(from, to, in, out)) {
        case scales::Status::ok: return 0;
        case scales::Status::beyond_table: return warn_beyond_table();
        case scales::Status::before_utc: raise_before_utc(from, to, in); return -1;
    }
    return 0;
}

PyObject* converted(PyObject* t, Scale to) {
    const Scale from = scale_of(t);
    if (from == to) return Py_NewRef(t);
    const Column c = column(t);
    if (is_scalar(t)) {
        Pair p;
        if (convert_pair(from, to, c.at(0), &p) < 0) return nullptr;
        return new_scalar(&Time_Type, p, to);
    }
    if (!scales::converts(from) || !scales::converts(to)) {
        raise_not_convertible(from, to);
        return nullptr;
    }
    double *jd1, *jd2;
    Ref result = Ref::steal(new_array(&Time_Type, c.n, to, &jd1, &jd2));
    if (!result) return nullptr;
    long long refused = -1;
    scales::Status status = scales::Status::ok;
    const int stopped = in_chunks(c.n, [&](Py_ssize_t begin, Py_ssize_t end) {
        long long at = -1;
        const scales::Status s = scales::convert_many(from, to, c.jd1 + begin * c.step, c.jd2 + begin * c.step,
                                                      end - begin, c.step, jd1 + begin, jd2 + begin, &at);
        if (s == scales::Status::before_utc) refused = begin + at;
        if (s != scales::Status::ok) status = s;
        return s != scales::Status::before_utc;
    });
    if (stopped < 0) return nullptr;
    if (status == scales::Status::before_utc) {
        raise_before_utc(from, to, c.at(static_cast<Py_ssize_t>(refused)));
        return nullptr;
    }
    const bool beyond = status == scales::Status::beyond_table;
    if (beyond && warn_beyond_table() < 0) return nullptr;
    return result.release();
}

PyObject* Time_get_utc(PyObject* self, void*) { return converted(self, Scale::utc); }
PyObject* Time_get_tai(PyObject* self, void*) { return converted(self, Scale::tai); }
PyObject* Time_get_tt(PyObject* self, void*) { return converted(self, Scale::tt); }
PyObject* Time_get_gps(PyObject* self, void*) { return converted(self, Scale::gps); }

}  // namespace orbivane::time
