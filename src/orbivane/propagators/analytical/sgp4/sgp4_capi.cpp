// The functions that compiled modules call (orbivane/sgp4.h,
// propagator.pxd), published in the module's __pyx_capi__ table: one
// capsule a function, named by the signature string that Cython derives
// from propagator.pxd. The public module propagator.py re-exports the
// table, which is where clients look for it.
#include "bindings.hpp"
#include "sgp4.h"
#include "sgp4_batch.hpp"
#include "sgp4_init.hpp"
#include "sgp4_propagate.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace nb = nanobind;

namespace orbivane::sgp4 {

namespace {

// What the opaque orbivane_sgp4_satellite holds.
struct ClientRecord {
    Satellite<double> satellite;
    double epoch_jd1, epoch_jd2;
    double reserved[96 - kSatelliteFields - 2];
};
static_assert(sizeof(ClientRecord) == sizeof(orbivane_sgp4_satellite) && alignof(ClientRecord) == alignof(double),
              "the client record keeps its size");

const ClientRecord& record_of(const orbivane_sgp4_satellite* s) { return *reinterpret_cast<const ClientRecord*>(s); }

bool gravity_of(int code, Gravity& g) {
    switch (code) {
        case ORBIVANE_SGP4_WGS72: g = Gravity::wgs72; return true;
        case ORBIVANE_SGP4_WGS72OLD: g = Gravity::wgs72old; return true;
        case ORBIVANE_SGP4_WGS84: g = Gravity::wgs84; return true;
        default: return false;
    }
}

int init(PyObject* source, int gravity, int mode, orbivane_sgp4_satellite* satellite) {
    Gravity g;
    if (!gravity_of(gravity, g)) {
        PyErr_Format(PyExc_ValueError, "gravity must be 0 (wgs72), 1 (wgs72old) or 2 (wgs84), not %d", gravity);
        return -1;
    }
    if (mode != ORBIVANE_SGP4_IMPROVED && mode != ORBIVANE_SGP4_AFSPC) {
        PyErr_Format(PyExc_ValueError, "mode must be 0 (improved) or 1 (afspc), not %d", mode);
        return -1;
    }
    try {
        const ElementSet set = element_set_of(source);
        ClientRecord r{initialise(set, g, mode == ORBIVANE_SGP4_AFSPC ? Mode::afspc : Mode::improved),
                       set.epoch_jd1, set.epoch_jd2, {}};
        std::memcpy(satellite, &r, sizeof r);
        return 0;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        PyErr_SetString(e.type() == nb::exception_type::type_error ? PyExc_TypeError : PyExc_ValueError, e.what());
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return -1;
}

int propagate_one(const orbivane_sgp4_satellite* satellite, double minutes, double* r, double* v) noexcept {
    if (!(std::fabs(minutes) <= kMaxMinutesFromEpoch)) {
        for (int c = 0; c < 3; ++c) r[c] = v[c] = std::numeric_limits<double>::quiet_NaN();
        return ORBIVANE_SGP4_TIME_OUT_OF_RANGE;
    }
    double code;
    propagate(record_of(satellite).satellite, minutes, r, v, code);
    return static_cast<int>(code);
}

int propagate_many(const orbivane_sgp4_satellite* satellites, Py_ssize_t n, const double* minutes, Py_ssize_t m,
                   double* r, double* v, signed char* codes, int threads) noexcept {
    if (n <= 0 || m <= 0) return 0;
    try {
        std::vector<Satellite<double>> records(static_cast<std::size_t>(n));
        std::vector<double> jd1(records.size()), jd2(records.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            const ClientRecord& c = record_of(satellites + i);
            records[i] = c.satellite;
            jd1[i] = c.epoch_jd1;
            jd2[i] = c.epoch_jd2;
        }
        const Catalogue catalogue(records.data(), jd1.data(), jd2.data(), n);
        TimeGrid times;
        times.minutes = minutes;
        times.count = m;
        const BatchStatus status = catalogue.propagate(times, {r, v, reinterpret_cast<std::int8_t*>(codes)},
                                                       threads > 0 ? threads : default_thread_count());
        return status == BatchStatus::done ? 0 : ORBIVANE_SGP4_TIME_OUT_OF_RANGE;
    } catch (std::bad_alloc&) {
        return ORBIVANE_SGP4_NO_MEMORY;
    }
}

}  // namespace

void bind_capi(nb::module_& m) {
    // Each pointer is checked against its typedef in sgp4.h.
    const orbivane_sgp4_api api{&init, &propagate_one, &propagate_many};
    const struct {
        const char* name;
        const char* signature;
        void* pointer;
    } entries[] = {
        {"sgp4_init", ORBIVANE_SGP4_SIG_INIT, reinterpret_cast<void*>(api.init)},
        {"sgp4_propagate", ORBIVANE_SGP4_SIG_PROPAGATE, reinterpret_cast<void*>(api.propagate)},
        {"sgp4_propagate_many", ORBIVANE_SGP4_SIG_PROPAGATE_MANY, reinterpret_cast<void*>(api.propagate_many)},
    };
    nb::dict table;
    for (const auto& e : entries) table[e.name] = nb::steal(PyCapsule_New(e.pointer, e.signature, nullptr));
    m.attr("__pyx_capi__") = table;
}

}  // namespace orbivane::sgp4
