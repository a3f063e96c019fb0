// Python face of the propagators: the SGP4 type.
//
// A scalar time takes a short path that makes nothing but the two 3-vector
// arrays and the result tuple. Arrays of times are propagated in chunks
// with the interpreter lock released, checking for signals between chunks.
#include "bindings.hpp"
#include "elements.hpp"
#include "model_options.hpp"
#include "numpy_arguments.hpp"
#include "sgp4_init.hpp"
#include "sgp4_propagate.hpp"
#include "time_arguments.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace orbivane::sgp4 {

namespace {

// Work per chunk of an array propagation, in propagations of one time; the
// interpreter lock is taken back between chunks to check for signals. A
// time of a resonant deep-space orbit counts one more for each 720-minute
// step of its integration.
constexpr double kChunkWork = 2048.0;

struct Propagator {
    Satellite<double> satellite;
    double epoch_jd1, epoch_jd2;
    Gravity gravity;
    Mode mode;
    std::int64_t satellite_number;
    nb::object elements;
};

// A Python float, int or NumPy real scalar as a double; false for anything
// else.
bool scalar_value(nb::handle h, double& out) {
    PyObject* o = h.ptr();
    if (PyFloat_Check(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_Check(o) || PyArray_IsScalar(o, Integer) || PyArray_IsScalar(o, Floating)) {
        out = PyFloat_AsDouble(o);
        if (out == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return true;
    }
    return false;
}

double minutes_since_epoch(const Propagator& p, double jd1, double jd2) {
    return ((jd1 - p.epoch_jd1) + (jd2 - p.epoch_jd2)) * 1440.0;
}

// The work of propagating to t, in propagations of one time: a resonant
// deep-space orbit integrates its resonance in 720-minute steps from the
// epoch.
double work_of(const Propagator& p, double t) {
    const double step_work = p.satellite.resonance != kNoResonance ? 1.0 / deep_space::kStep : 0.0;
    return 1.0 + std::fabs(t) * step_work;
}

nb::object propagate_one(const Propagator& p, double minutes) {
    if (!(std::fabs(minutes) <= kMaxMinutesFromEpoch)) raise_time_error(minutes);
    double r[3], v[3], code;
    if (work_of(p, minutes) > kChunkWork) {
        // A resonant orbit far from the epoch: up to a second of work.
        nb::gil_scoped_release unlocked;
        propagate(p.satellite, minutes, r, v, code);
    } else {
        propagate(p.satellite, minutes, r, v, code);
    }
    npy_intp three = 3;
    nb::object ro = steal_or_raise(PyArray_SimpleNew(1, &three, NPY_DOUBLE));
    nb::object vo = steal_or_raise(PyArray_SimpleNew(1, &three, NPY_DOUBLE));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ro.ptr())), r, sizeof r);
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(vo.ptr())), v, sizeof v);
    PyObject* result = PyTuple_New(3);
    if (!result) throw nb::python_error();
    PyTuple_SET_ITEM(result, 0, ro.release().ptr());
    PyTuple_SET_ITEM(result, 1, vo.release().ptr());
    PyTuple_SET_ITEM(result, 2, PyLong_FromLong(static_cast<long>(code)));
    return nb::steal(result);
}

// Propagates n times, minutes_at(i) giving the i-th, into results of
// shape (shape..., 3) for r and v and (shape...) for the codes.
template <class MinutesAt>
nb::object propagate_many(const Propagator& p, int nd, const npy_intp* shape, MinutesAt minutes_at) {
    npy_intp dims[NPY_MAXDIMS + 1];
    if (nd >= NPY_MAXDIMS) throw nb::value_error("times have too many dimensions");
    std::copy(shape, shape + nd, dims);
    dims[nd] = 3;
    nb::object ro = steal_or_raise(PyArray_SimpleNew(nd + 1, dims, NPY_DOUBLE));
    nb::object vo = steal_or_raise(PyArray_SimpleNew(nd + 1, dims, NPY_DOUBLE));
    nb::object co = steal_or_raise(PyArray_SimpleNew(nd, dims, NPY_INT8));
    const npy_intp n = PyArray_SIZE(as_array(co));
    double* r = static_cast<double*>(PyArray_DATA(as_array(ro)));
    double* v = static_cast<double*>(PyArray_DATA(as_array(vo)));
    auto* codes = static_cast<std::int8_t*>(PyArray_DATA(as_array(co)));

    for (npy_intp i = 0; i < n;) {
        bool bad = false;
        {
            nb::gil_scoped_release unlocked;
            for (double work = 0.0; i < n && work < kChunkWork; ++i) {
                const double t = minutes_at(i);
                if (!(std::fabs(t) <= kMaxMinutesFromEpoch)) {
                    bad = true;
                    break;
                }
                double code;
                propagate(p.satellite, t, r + 3 * i, v + 3 * i, code);
                codes[i] = static_cast<std::int8_t>(code);
                work += work_of(p, t);
            }
        }
        if (bad) raise_time_error(minutes_at(i));
        if (PyErr_CheckSignals() < 0) throw nb::python_error();
    }
    return nb::make_tuple(ro, vo, co);
}

nb::object propagate_jd(const Propagator& p, nb::handle jd1, nb::handle jd2) {
    double d1, d2;
    if (scalar_value(jd1, d1) && scalar_value(jd2, d2)) return propagate_one(p, minutes_since_epoch(p, d1, d2));
    const auto [a1, a2] = broadcast_pair(jd1, jd2);
    const double* j1 = data_of(a1);
    const double* j2 = data_of(a2);
    return propagate_many(p, PyArray_NDIM(as_array(a1)), PyArray_DIMS(as_array(a1)),
                          [&](npy_intp i) { return minutes_since_epoch(p, j1[i], j2[i]); });
}

// The attribute `name` of h, or a null object when h has none; any other
// error the lookup raises propagates.
nb::object propagate_any(const Propagator& p, nb::handle t) {
    double minutes;
    if (scalar_value(t, minutes)) return propagate_one(p, minutes);
    nb::object jd1, jd2;
    if (!PyArray_Check(t.ptr()) && utc_parts(t, jd1, jd2)) return propagate_jd(p, jd1, jd2);
    nb::object a = double_array(t);
    const double* data = static_cast<const double*>(PyArray_DATA(as_array(a)));
    return propagate_many(p, PyArray_NDIM(as_array(a)), PyArray_DIMS(as_array(a)),
                          [data](npy_intp i) { return data[i]; });
}

void construct(Propagator* self, nb::handle source, std::string_view gravity, std::string_view mode) {
    const Gravity g = parse_gravity(gravity);
    const Mode m = parse_mode(mode);
    const ElementSet elements = element_set_of(source);
    nb::object kept = nb::isinstance<Elements>(source) ? nb::borrow(source) : nb::cast(Elements{elements, nb::none()});
    new (self) Propagator{initialise(elements, g, m), elements.epoch_jd1, elements.epoch_jd2, g, m,
                          elements.norad_cat_id, std::move(kept)};
}

// The shortest text that reads back as x.
std::string shortest(double x) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, x).ptr;
    return std::string(text, end);
}

std::string repr(const Propagator& p) {
    return "<SGP4 satellite " + std::to_string(p.satellite_number) + ", epoch JD " + shortest(p.epoch_jd1) +
           " + " + shortest(p.epoch_jd2) + " UTC, " +
           (p.satellite.deep_space != 0.0 ? "deep space" : "near Earth") + ", gravity='" +
           std::string(gravity_name(p.gravity)) + "', mode='" + std::string(mode_name(p.mode)) + "'>";
}

}  // namespace

PropagatorState propagator_state(const nb::handle& state, const char* type) {
    PyObject* t = state.ptr();
    if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != 3 || !PyUnicode_Check(PyTuple_GET_ITEM(t, 1)) ||
        !PyUnicode_Check(PyTuple_GET_ITEM(t, 2)))
        throw nb::type_error((std::string(type) + " state must be a tuple (sources, gravity, mode) with two str").c_str());
    return {PyTuple_GET_ITEM(t, 0), nb::cast<std::string_view>(nb::handle(PyTuple_GET_ITEM(t, 1))),
            nb::cast<std::string_view>(nb::handle(PyTuple_GET_ITEM(t, 2)))};
}

void bind_propagator(nb::module_& m) {
    if (PyArray_ImportNumPyAPI() < 0) throw nb::python_error();

    nb::class_<Propagator>(m, "SGP4", nb::is_final(),
                           "SGP4(source, *, gravity='wgs72', mode='improved')\n\n"
                           "The SGP4/SDP4 model of one element set: SGP4 for orbits of periods under\n"
                           "225 minutes, SDP4 (with lunar-solar perturbations and the one-day and\n"
                           "half-day resonances) for longer ones.\n\n"
                           "source is an Elements or a TLE. gravity is the Earth model: 'wgs72'\n"
                           "(the default), 'wgs72old' or 'wgs84'. mode 'improved' runs the revised\n"
                           "model; 'afspc' the original operational one.\n\n"
                           "Elements the model cannot start from give no exception here: their\n"
                           "error code is returned by every propagation.")
        .def("__init__", &construct, "source"_a, nb::kw_only(), "gravity"_a = "wgs72", "mode"_a = "improved",
             nb::sig("def __init__(self, source: Elements | TLE, *, gravity: str = 'wgs72', mode: str = 'improved') -> None"))
        .def("propagate", &propagate_any, "t"_a,
             nb::sig("def propagate(self, t: float | numpy.typing.ArrayLike | Time) -> "
                     "tuple[numpy.ndarray, numpy.ndarray, int | numpy.ndarray]"),
             "Position r (km) and velocity v (km/s) in the TEME frame at t, and the\n"
             "model's error code. t is minutes since the epoch (a float, or an array\n"
             "of any shape) or a Time (UTC). r and v have the shape of t plus a last\n"
             "axis of 3; code is an int for a scalar t, otherwise an int8 array of\n"
             "t's shape.\n\n"
             "Codes: 0 none; 1 mean eccentricity out of range; 2 mean motion not\n"
             "above zero; 3 perturbed eccentricity out of range; 4 semi-latus rectum\n"
             "below zero; 6 the satellite has decayed (radius under one Earth\n"
             "radius). With codes 1 to 4 r and v are NaN; with 6 they are what the\n"
             "model gives.\n\n"
             "Raises ValueError for times that are not finite or further than 1e9\n"
             "minutes from the epoch.")
        .def("propagate_jd", &propagate_jd, "jd1"_a, "jd2"_a,
             nb::sig("def propagate_jd(self, jd1: float | numpy.typing.ArrayLike, jd2: float | numpy.typing.ArrayLike) -> "
                     "tuple[numpy.ndarray, numpy.ndarray, int | numpy.ndarray]"),
             "As propagate(), at the UTC Julian dates jd1 + jd2 (floats, or arrays\n"
             "that broadcast together). Times since the epoch are formed as\n"
             "((jd1 - epoch_jd1) + (jd2 - epoch_jd2)) * 1440, so that a whole-day jd1\n"
             "and a day-fraction jd2 keep their full precision.")
        .def_prop_ro(
            "elements", [](const Propagator& p) { return p.elements; }, "The element set propagated.")
        .def_prop_ro(
            "gravity", [](const Propagator& p) { return gravity_name(p.gravity); },
            "The Earth model: 'wgs72', 'wgs72old' or 'wgs84'.")
        .def_prop_ro(
            "mode", [](const Propagator& p) { return mode_name(p.mode); }, "The operation mode: 'improved' or 'afspc'.")
        .def_prop_ro(
            "deep_space", [](const Propagator& p) { return p.satellite.deep_space != 0.0; },
            "Whether the deep-space model (SDP4) applies: a period of 225 minutes or more.")
        .def_prop_ro(
            "mean_motion", [](const Propagator& p) { return p.satellite.n0; },
            "The model's mean motion at epoch, rad/min (recovered from the element set's\n"
            "Kozai mean motion); 0.0 when the elements are out of the model's range.")
        .def_prop_ro(
            "semimajor_axis",
            [](const Propagator& p) {
                const Satellite<double>& s = p.satellite;
                return s.n0 > 0.0 ? std::cbrt((s.ke / s.n0) * (s.ke / s.n0)) * s.radius_km : 0.0;
            },
            "The model's mean semimajor axis at epoch, km; 0.0 when the elements are out\n"
            "of the model's range.")
        .def("__repr__", &repr)
        .def("__getstate__",
             [](const Propagator& p) {
                 return nb::make_tuple(p.elements, gravity_name(p.gravity), mode_name(p.mode));
             })
        .def("__setstate__", [](Propagator& self, nb::handle state) {
            const PropagatorState s = propagator_state(state, "SGP4");
            construct(&self, s.sources, s.gravity, s.mode);
        });
}

}  // namespace orbivane::sgp4
