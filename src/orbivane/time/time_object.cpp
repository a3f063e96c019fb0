// Making and releasing Time records (see time_object.hpp).
#include "time_object.hpp"

#include "two_part.hpp"

#include <cmath>

namespace orbivane::time {

PyTypeObject Time_Type;
Names names;

namespace {

view_owner::StorageOwnerType<2> owner_type{"orbivane.time.time.memoryview"};

// The shape and strides of every scalar `_jd12` and its owner's buffer.
Py_ssize_t scalar_shape[2] = {2, 1};
Py_ssize_t scalar_strides[2] = {sizeof(double), sizeof(double)};

PyObject* alloc_record(PyTypeObject* type, orbivane_view_owner* owner, Scale scale) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) {
        Py_DECREF(owner);
        return nullptr;
    }
    TimeObject* t = as_time(obj);
    t->_scale = Py_NewRef(scale_name(scale));
    // The owner's one acquisition goes to this record.
    t->_jd12.memview = owner;
    t->_jd12.data = static_cast<char*>(owner->view.buf);
    for (int d = 0; d < 2; ++d) {
        t->_jd12.shape[d] = owner->view.shape[d];
        t->_jd12.strides[d] = owner->view.strides[d];
        t->_jd12.suboffsets[d] = -1;
    }
    return obj;
}

}  // namespace

int ready_owner_type() { return owner_type.ready(); }

int parse_scale(PyObject* scale, Scale* out) {
    if (!scale || scale == Py_None) {
        *out = Scale::utc;
        return 0;
    }
    if (!PyUnicode_Check(scale)) {
        PyErr_Format(PyExc_TypeError, "Time() scale must be a str, not '%.200s'",
                     Py_TYPE(scale)->tp_name);
        return -1;
    }
    for (int i = 0; i < scales::kScaleCount; ++i) {
        if (names.scales[i] == scale || PyUnicode_Compare(names.scales[i], scale) == 0) {
            *out = static_cast<Scale>(i);
            return 0;
        }
    }
    if (PyErr_Occurred()) return -1;
    PyErr_Format(PyExc_ValueError,
                 "Time() argument 'scale': unknown time scale %R; expected one of 'utc', 'tai', 'tt', "
                 "'gps' (which convert) or 'tcb', 'tcg', 'tdb', 'ut1' (labels only)",
                 scale);
    return -1;
}

PyObject* new_scalar(PyTypeObject* type, Pair p, Scale scale) {
    orbivane_view_owner* owner = owner_type.make(2, scalar_shape, scalar_strides);
    if (!owner) return nullptr;
    auto* parts = static_cast<double*>(owner->view.buf);
    parts[0] = p.jd1;
    parts[1] = p.jd2;
    PyObject* obj = alloc_record(type, owner, scale);
    if (obj) {
        as_time(obj)->length = 1;
        as_time(obj)->_is_scalar = 1;
    }
    return obj;
}

PyObject* new_scalar_split(PyTypeObject* type, double whole, double rest, Scale scale) {
    const two_part::Split s = two_part::split(rest);
    const double jd1 = whole + s.whole;
    if (!std::isfinite(jd1)) return nullptr;
    return new_scalar(type, {jd1, s.rest}, scale);
}

PyObject* new_array(PyTypeObject* type, Py_ssize_t n, Scale scale, double** jd1, double** jd2) {
    orbivane_view_owner* owner = owner_type.make_table(2, n);
    if (!owner) return nullptr;
    auto* storage = static_cast<double*>(owner->view.buf);
    *jd1 = storage;
    *jd2 = storage + n;
    PyObject* obj = alloc_record(type, owner, scale);
    if (obj) {
        TimeObject* t = as_time(obj);
        t->length = n;
        t->_is_scalar = 0;
        t->shape[0] = n;
        t->strides[0] = sizeof(double);
    }
    return obj;
}

PyObject* new_view(PyObject* base, Py_ssize_t start, Py_ssize_t step, Py_ssize_t n) {
    PyTypeObject* type = &Time_Type;
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    const TimeObject* b = as_time(base);
    TimeObject* t = as_time(obj);
    t->_scale = Py_NewRef(b->_scale);
    t->_jd12 = b->_jd12;
    orbivane_view_acquire(&t->_jd12, 1);
    t->_jd12.data += start * b->_jd12.strides[1];
    t->_jd12.shape[1] = n;
    t->_jd12.strides[1] *= step;
    t->length = n;
    t->_is_scalar = 0;
    t->shape[0] = n;
    t->strides[0] = t->_jd12.strides[1];
    return obj;
}

// Releases the acquisition of a dying Time's `_jd12`. A count of 1 is then
// this record's own: every other live copy of the view holds an acquisition
// of its own, and nobody can copy the record of a Time that has no
// references left. The release then needs no locked read-modify-write,
// which spares the common case its most expensive instruction; the
// acquiring load orders the reads of a copy released on another thread
// before the free.
void release_time(PyObject* self) {
    TimeObject* t = as_time(self);
    Py_CLEAR(t->_scale);
    orbivane_memviewslice& v = t->_jd12;
    if (orbivane_view_is_counted(&v) && __atomic_load_n(&v.memview->acquisition_count, __ATOMIC_ACQUIRE) == 1) {
        __atomic_store_n(&v.memview->acquisition_count, 0, __ATOMIC_RELAXED);
        Py_DECREF(reinterpret_cast<PyObject*>(v.memview));
        v.memview = nullptr;
        v.data = nullptr;
    } else {
        orbivane_view_release(&v, 1);
    }
    Py_TYPE(self)->tp_free(self);
}

}  // namespace orbivane::time
