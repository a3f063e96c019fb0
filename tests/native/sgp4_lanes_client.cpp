// The SGP4/SDP4 propagation template run on a two-lane type, one satellite
// and time a lane, with the lane operations written element by element on
// the scalar lane's functions. Satellites of different kinds share a call,
// so that every masked branch runs with lanes that take different ways
// through it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>

#include "simd/elementary.hpp"
#include "simd/lanes.hpp"

namespace two_lane {

struct Vec {
    double x[2];
    Vec() = default;
    Vec(double a) : x{a, a} {}
    Vec(double a, double b) : x{a, b} {}
};

struct Mask {
    bool m[2];
};

template <class F> Vec map(F f, Vec a) { return {f(a.x[0]), f(a.x[1])}; }
template <class F> Vec map(F f, Vec a, Vec b) { return {f(a.x[0], b.x[0]), f(a.x[1], b.x[1])}; }
template <class F> Mask test(F f, Vec a, Vec b) { return {{f(a.x[0], b.x[0]), f(a.x[1], b.x[1])}}; }

inline Vec operator+(Vec a, Vec b) { return map([](double p, double q) { return p + q; }, a, b); }
inline Vec operator-(Vec a, Vec b) { return map([](double p, double q) { return p - q; }, a, b); }
inline Vec operator*(Vec a, Vec b) { return map([](double p, double q) { return p * q; }, a, b); }
inline Vec operator/(Vec a, Vec b) { return map([](double p, double q) { return p / q; }, a, b); }
inline Vec operator-(Vec a) { return map([](double p) { return -p; }, a); }
inline Mask operator<(Vec a, Vec b) { return test([](double p, double q) { return p < q; }, a, b); }
inline Mask operator<=(Vec a, Vec b) { return test([](double p, double q) { return p <= q; }, a, b); }
inline Mask operator>(Vec a, Vec b) { return test([](double p, double q) { return p > q; }, a, b); }
inline Mask operator>=(Vec a, Vec b) { return test([](double p, double q) { return p >= q; }, a, b); }
inline Mask operator==(Vec a, Vec b) { return test([](double p, double q) { return p == q; }, a, b); }
inline Mask operator!=(Vec a, Vec b) { return test([](double p, double q) { return p != q; }, a, b); }
inline Mask operator&(Mask a, Mask b) { return {{a.m[0] && b.m[0], a.m[1] && b.m[1]}}; }
inline Mask operator|(Mask a, Mask b) { return {{a.m[0] || b.m[0], a.m[1] || b.m[1]}}; }
inline Mask operator!(Mask a) { return {{!a.m[0], !a.m[1]}}; }

}  // namespace two_lane

namespace orbivane::simd::ORBIVANE_SIMD_TARGET {

using two_lane::Mask;
using two_lane::Vec;

template <> struct lane_traits<Vec> {
    using mask = Mask;
    static constexpr int width = 2;
};

inline Vec select(Mask m, Vec a, Vec b) { return {m.m[0] ? a.x[0] : b.x[0], m.m[1] ? a.x[1] : b.x[1]}; }
inline bool any(Mask m) { return m.m[0] || m.m[1]; }
inline bool all(Mask m) { return m.m[0] && m.m[1]; }
inline Vec sqrt(Vec a) { return two_lane::map([](double p) { return std::sqrt(p); }, a); }
inline Vec abs(Vec a) { return two_lane::map([](double p) { return std::fabs(p); }, a); }
inline Vec cbrt(Vec a) { return two_lane::map([](double p) { return cbrt(p); }, a); }
inline Vec sin(Vec a) { return two_lane::map([](double p) { return sin(p); }, a); }
inline Vec cos(Vec a) { return two_lane::map([](double p) { return cos(p); }, a); }
inline void sincos(Vec a, Vec& s, Vec& c) {
    for (int k = 0; k < 2; ++k) sincos(a.x[k], s.x[k], c.x[k]);
}
inline Vec atan2(Vec y, Vec x) { return two_lane::map([](double p, double q) { return atan2(p, q); }, y, x); }
inline Vec fmod(Vec y, Vec x) { return two_lane::map([](double p, double q) { return fmod(p, q); }, y, x); }
inline Vec fmod_reciprocal(Vec y, double x, double inv_x) {
    return two_lane::map([=](double p) { return fmod_reciprocal(p, x, inv_x); }, y);
}

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET

#include "sgp4_init.hpp"
#include "sgp4_propagate.hpp"

namespace {

using namespace orbivane::sgp4;
using two_lane::Vec;

static_assert(is_flat_record<Vec>, "a two-lane record is the scalar records' fields, lane by lane");

// One lane's satellite from (epoch_jd1, epoch_jd2, bstar, inclination,
// ra_of_asc_node, eccentricity, arg_of_pericenter, mean_anomaly,
// mean_motion, gravity, mode), the gravity 0 wgs72old, 1 wgs72, 2 wgs84 and
// the mode 0 improved, 1 afspc.
bool satellite_of(PyObject* fields, Satellite<double>& out) {
    ElementSet e;
    int gravity, mode;
    if (!PyArg_ParseTuple(fields, "dddddddddii", &e.epoch_jd1, &e.epoch_jd2, &e.bstar, &e.inclination,
                          &e.ra_of_asc_node, &e.eccentricity, &e.arg_of_pericenter, &e.mean_anomaly,
                          &e.mean_motion, &gravity, &mode))
        return false;
    out = initialise(e, static_cast<Gravity>(gravity), static_cast<Mode>(mode));
    return true;
}

// propagate(fields0, t0, fields1, t1) -> ((r, v, code) of lane 0, (r, v, code) of lane 1)
PyObject* propagate_lanes(PyObject*, PyObject* args) {
    PyObject *f0, *f1;
    double t0, t1;
    if (!PyArg_ParseTuple(args, "O!dO!d", &PyTuple_Type, &f0, &t0, &PyTuple_Type, &f1, &t1)) return nullptr;
    Satellite<double> s[2];
    if (!satellite_of(f0, s[0]) || !satellite_of(f1, s[1])) return nullptr;

    // Transpose the two records into one of two lanes, field by field.
    Satellite<Vec> lanes;
    auto* to = reinterpret_cast<Vec*>(&lanes);
    for (int f = 0; f < kSatelliteFields; ++f)
        to[f] = Vec(reinterpret_cast<const double*>(&s[0])[f], reinterpret_cast<const double*>(&s[1])[f]);

    Vec r[3], v[3], code;
    propagate(lanes, Vec(t0, t1), r, v, code);
    return Py_BuildValue("((ddd)(ddd)i)((ddd)(ddd)i)", r[0].x[0], r[1].x[0], r[2].x[0], v[0].x[0], v[1].x[0],
                         v[2].x[0], static_cast<int>(code.x[0]), r[0].x[1], r[1].x[1], r[2].x[1], v[0].x[1],
                         v[1].x[1], v[2].x[1], static_cast<int>(code.x[1]));
}

PyMethodDef methods[] = {
    {"propagate", propagate_lanes, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sgp4_lanes_client", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_sgp4_lanes_client(void) { return PyModule_Create(&module_def); }
