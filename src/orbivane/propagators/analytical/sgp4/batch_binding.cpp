// Python face of batch propagation: the SGP4Array type, and the private
// functions that choose the SIMD path for tests and benchmarks.
//
// A call checks its arguments and makes (or checks) its result arrays with
// the interpreter lock held, then releases it for the whole computation;
// the calling thread takes it back about every 50 ms to look for signals,
// and a pending KeyboardInterrupt stops every thread after its tile.
#include "bindings.hpp"
#include "elements.hpp"
#include "model_options.hpp"
#include "numpy_arguments.hpp"
#include "sgp4_batch.hpp"
#include "sgp4_init.hpp"
#include "sgp4_propagate.hpp"
#include "time_arguments.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace orbivane::sgp4 {

namespace {

struct PropagatorArray {
    Catalogue catalogue;
    std::vector<double> epoch_jd1, epoch_jd2;
    nb::tuple elements;
    Gravity gravity;
    Mode mode;
    std::ptrdiff_t deep_space;
};

int thread_count(nb::handle threads) {
    if (threads.is_none()) return default_thread_count();
    if (!PyLong_Check(threads.ptr()) || PyBool_Check(threads.ptr()))
        throw nb::type_error(("threads must be an int or None, not '" + std::string(Py_TYPE(threads.ptr())->tp_name) +
                              "'")
                                 .c_str());
    const long n = PyLong_AsLong(threads.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (n < 1) throw nb::value_error(("threads must be at least 1, not " + std::to_string(n)).c_str());
    return static_cast<int>(std::min<long>(n, 1 << 16));
}

// ValueError for the first time out of range in minutes[0, count).
void check_minutes(const double* minutes, std::ptrdiff_t count) {
    for (std::ptrdiff_t j = 0; j < count; ++j)
        if (!(std::fabs(minutes[j]) <= kMaxMinutesFromEpoch)) raise_time_error(minutes[j]);
}

std::string shape_text(int nd, const npy_intp* dims) {
    std::string s = "(";
    for (int i = 0; i < nd; ++i) s += std::to_string(dims[i]) + (nd == 1 ? "," : i + 1 < nd ? ", " : "");
    return s + ")";
}

// The three result arrays of one call, made here or the caller's (out),
// and the row layout the catalogue writes them in.
struct ResultArrays {
    nb::object r, v, code;
    Results results() const {
        return {static_cast<double*>(PyArray_DATA(as_array(r))), static_cast<double*>(PyArray_DATA(as_array(v))),
                static_cast<std::int8_t*>(PyArray_DATA(as_array(code)))};
    }
};

// Byte range of an array, for the overlap checks.
std::pair<const char*, const char*> extent(PyArrayObject* a) {
    const char* p = static_cast<const char*>(PyArray_DATA(a));
    return {p, p + PyArray_NBYTES(a)};
}

// Checks the caller's arrays: a tuple (r, v, code) of C-contiguous,
// aligned, writable arrays of the result shapes and dtypes, which overlap
// neither each other nor the inputs.
ResultArrays caller_results(nb::handle out, int nd, const npy_intp* dims, std::initializer_list<nb::handle> inputs) {
    if (!PyTuple_Check(out.ptr()) || PyTuple_GET_SIZE(out.ptr()) != 3)
        throw nb::type_error("out must be a tuple (r, v, code) of three arrays");
    static const char* names[3] = {"out[0] (r)", "out[1] (v)", "out[2] (code)"};
    npy_intp shape[NPY_MAXDIMS + 1];
    std::copy(dims, dims + nd, shape);
    shape[nd] = 3;
    std::vector<std::pair<const char*, const char*>> extents;
    for (int k = 0; k < 3; ++k) {
        PyObject* o = PyTuple_GET_ITEM(out.ptr(), k);
        const char* name = names[k];
        if (!PyArray_Check(o))
            throw nb::type_error((std::string(name) + " must be a NumPy array, not '" + Py_TYPE(o)->tp_name + "'").c_str());
        auto* a = reinterpret_cast<PyArrayObject*>(o);
        const int type = k < 2 ? NPY_DOUBLE : NPY_INT8;
        if (PyArray_TYPE(a) != type || !PyArray_ISNBO(PyArray_DESCR(a)->byteorder))
            throw nb::type_error((std::string(name) + " must have dtype " + (k < 2 ? "float64" : "int8") + ", not " +
                                  nb::cast<std::string>(nb::str(nb::handle(reinterpret_cast<PyObject*>(PyArray_DESCR(a))))))
                                     .c_str());
        const int want_nd = k < 2 ? nd + 1 : nd;
        if (PyArray_NDIM(a) != want_nd || !PyArray_CompareLists(PyArray_DIMS(a), shape, want_nd))
            throw nb::value_error((std::string(name) + " must have shape " + shape_text(want_nd, shape) + ", not " +
                                   shape_text(PyArray_NDIM(a), PyArray_DIMS(a)))
                                      .c_str());
        if (!PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a))
            throw nb::value_error((std::string(name) + " must be C-contiguous and aligned").c_str());
        if (!PyArray_ISWRITEABLE(a)) throw nb::value_error((std::string(name) + " is read-only").c_str());
        extents.push_back(extent(a));
    }
    for (nb::handle in : inputs) extents.push_back(extent(reinterpret_cast<PyArrayObject*>(in.ptr())));
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = i + 1; j < extents.size(); ++j)
            if (extents[i].first < extents[j].second && extents[j].first < extents[i].second &&
                extents[i].first != extents[i].second && extents[j].first != extents[j].second)
                throw nb::value_error("the out arrays must not overlap each other or the times");
    return {nb::borrow(PyTuple_GET_ITEM(out.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(out.ptr(), 1)),
            nb::borrow(PyTuple_GET_ITEM(out.ptr(), 2))};
}

ResultArrays new_results(int nd, const npy_intp* dims) {
    npy_intp shape[NPY_MAXDIMS + 1];
    std::copy(dims, dims + nd, shape);
    shape[nd] = 3;
    return {steal_or_raise(PyArray_SimpleNew(nd + 1, shape, NPY_DOUBLE)),
            steal_or_raise(PyArray_SimpleNew(nd + 1, shape, NPY_DOUBLE)),
            steal_or_raise(PyArray_SimpleNew(nd, shape, NPY_INT8))};
}

// The interpreter lock released for the life of the object; stop() takes
// it back for a moment to run signal handlers, from the thread that
// released it.
class ReleasedLock {
public:
    ReleasedLock() : state_(PyEval_SaveThread()) {}
    ~ReleasedLock() { PyEval_RestoreThread(state_); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

    // True when a handler raised (the exception stays pending).
    static bool stop(void* context) {
        auto* self = static_cast<ReleasedLock*>(context);
        PyEval_RestoreThread(self->state_);
        const bool raised = PyErr_CheckSignals() < 0;
        self->state_ = PyEval_SaveThread();
        return raised;
    }

private:
    PyThreadState* state_;
};

// ValueError naming the first satellite and time out of range.
[[noreturn]] void raise_first_bad_time(const PropagatorArray& p, const TimeGrid& times) {
    const std::ptrdiff_t n = p.catalogue.size();
    for (std::ptrdiff_t i = 0; i < n; ++i)
        for (std::ptrdiff_t j = times.each ? i : 0; j < (times.each ? i + 1 : times.count); ++j) {
            const double t = times.minutes ? times.minutes[j]
                                           : ((times.jd1[j] - p.epoch_jd1[static_cast<std::size_t>(i)]) +
                                              (times.jd2[j] - p.epoch_jd2[static_cast<std::size_t>(i)])) *
                                                 1440.0;
            if (!(std::fabs(t) <= kMaxMinutesFromEpoch)) raise_time_error(t);
        }
    raise_time_error(NAN);
}

// Runs one call into `results` without the interpreter lock; raises what
// stopped it.
nb::object run(const PropagatorArray& p, const TimeGrid& times, const ResultArrays& arrays, nb::handle threads) {
    const int team = thread_count(threads);
    const Results results = arrays.results();
    BatchStatus status;
    {
        ReleasedLock released;
        status = p.catalogue.propagate(times, results, team, {&ReleasedLock::stop, &released});
    }
    if (status == BatchStatus::stopped) throw nb::python_error();
    if (status == BatchStatus::time_out_of_range) raise_first_bad_time(p, times);
    if (PyErr_CheckSignals() < 0) throw nb::python_error();
    return nb::make_tuple(arrays.r, arrays.v, arrays.code);
}

// Every satellite at every time of the arrays minutes, or jd1 and jd2 (of
// one shape): results of shape (N,) + that shape (+ (3,)).
nb::object propagate_grid(const PropagatorArray& p, const nb::object& minutes, const nb::object& jd1,
                          const nb::object& jd2, nb::handle threads, nb::handle out) {
    const nb::object& first = minutes.is_valid() ? minutes : jd1;
    const int nd = PyArray_NDIM(as_array(first));
    if (nd + 1 >= NPY_MAXDIMS) throw nb::value_error("times have too many dimensions");
    npy_intp dims[NPY_MAXDIMS];
    dims[0] = p.catalogue.size();
    std::copy(PyArray_DIMS(as_array(first)), PyArray_DIMS(as_array(first)) + nd, dims + 1);
    TimeGrid times;
    times.count = PyArray_SIZE(as_array(first));
    if (minutes.is_valid()) {
        times.minutes = data_of(minutes);
        check_minutes(times.minutes, times.count);
    } else {
        times.jd1 = data_of(jd1);
        times.jd2 = data_of(jd2);
    }
    const ResultArrays arrays = out.is_none() ? new_results(nd + 1, dims)
                                : minutes.is_valid() ? caller_results(out, nd + 1, dims, {minutes})
                                                     : caller_results(out, nd + 1, dims, {jd1, jd2});
    return run(p, times, arrays, threads);
}

// Satellite i at time i of arrays of shape (N,) (a scalar: every satellite
// at that time): results of shape (N,) (+ (3,)).
nb::object propagate_own(const PropagatorArray& p, const nb::object& minutes, const nb::object& jd1,
                         const nb::object& jd2, nb::handle threads, nb::handle out) {
    const nb::object& first = minutes.is_valid() ? minutes : jd1;
    const npy_intp n = p.catalogue.size();
    const int nd = PyArray_NDIM(as_array(first));
    if (nd > 1 || (nd == 1 && PyArray_DIM(as_array(first), 0) != n))
        throw nb::value_error(("times must be a scalar or of shape (" + std::to_string(n) + ",), one a satellite, not " +
                               shape_text(nd, PyArray_DIMS(as_array(first))))
                                  .c_str());
    TimeGrid times;
    times.each = nd == 1;
    times.count = times.each ? n : 1;
    if (minutes.is_valid()) {
        times.minutes = data_of(minutes);
        check_minutes(times.minutes, times.each ? n : 1);
    } else {
        times.jd1 = data_of(jd1);
        times.jd2 = data_of(jd2);
    }
    const ResultArrays arrays = out.is_none() ? new_results(1, &n)
                                : minutes.is_valid() ? caller_results(out, 1, &n, {minutes})
                                                     : caller_results(out, 1, &n, {jd1, jd2});
    return run(p, times, arrays, threads);
}

nb::object every_time(const PropagatorArray& p, nb::handle t, nb::handle threads, nb::handle out) {
    nb::object jd1, jd2;
    if (!PyArray_Check(t.ptr()) && utc_parts(t, jd1, jd2)) {
        auto [a1, a2] = broadcast_pair(jd1, jd2);
        return propagate_grid(p, {}, a1, a2, threads, out);
    }
    return propagate_grid(p, double_array(t), {}, {}, threads, out);
}

nb::object every_jd(const PropagatorArray& p, nb::handle jd1, nb::handle jd2, nb::handle threads, nb::handle out) {
    auto [a1, a2] = broadcast_pair(jd1, jd2);
    return propagate_grid(p, {}, a1, a2, threads, out);
}

nb::object each_time(const PropagatorArray& p, nb::handle t, nb::handle threads, nb::handle out) {
    nb::object jd1, jd2;
    if (!PyArray_Check(t.ptr()) && utc_parts(t, jd1, jd2)) {
        auto [a1, a2] = broadcast_pair(jd1, jd2);
        return propagate_own(p, {}, a1, a2, threads, out);
    }
    return propagate_own(p, double_array(t), {}, {}, threads, out);
}

nb::object each_jd(const PropagatorArray& p, nb::handle jd1, nb::handle jd2, nb::handle threads,
                             nb::handle out) {
    auto [a1, a2] = broadcast_pair(jd1, jd2);
    return propagate_own(p, {}, a1, a2, threads, out);
}

void construct(PropagatorArray* self, nb::handle sources, std::string_view gravity, std::string_view mode) {
    const Gravity g = parse_gravity(gravity);
    const Mode m = parse_mode(mode);
    if (PyUnicode_Check(sources.ptr()) || nb::isinstance<Elements>(sources))
        throw nb::type_error("sources must be an iterable of Elements or TLE objects");
    nb::list kept;
    std::vector<Satellite<double>> satellites;
    std::vector<double> jd1, jd2;
    std::ptrdiff_t deep = 0;
    for (nb::handle source : nb::iter(sources)) {
        const ElementSet set = element_set_of(source);
        kept.append(nb::isinstance<Elements>(source) ? nb::borrow(source) : nb::cast(Elements{set, nb::none()}));
        satellites.push_back(initialise(set, g, m));
        deep += satellites.back().deep_space != 0.0;
        jd1.push_back(set.epoch_jd1);
        jd2.push_back(set.epoch_jd2);
    }
    const auto n = static_cast<std::ptrdiff_t>(satellites.size());
    new (self) PropagatorArray{Catalogue(satellites.data(), jd1.data(), jd2.data(), n),
                               std::move(jd1),
                               std::move(jd2),
                               nb::tuple(kept),
                               g,
                               m,
                               deep};
}

std::string repr(const PropagatorArray& p) {
    return "<SGP4Array of " + std::to_string(p.catalogue.size()) + " satellites (" + std::to_string(p.deep_space) +
           " deep space), gravity='" + std::string(gravity_name(p.gravity)) + "', mode='" +
           std::string(mode_name(p.mode)) + "', simd='" + simd::width_name(p.catalogue.width()) + "'>";
}

nb::object item(const PropagatorArray& p, Py_ssize_t i) {
    const Py_ssize_t n = p.catalogue.size();
    if (i < 0) i += n;
    if (i < 0 || i >= n) throw nb::index_error("satellite index out of range");
    nb::object sgp4_type = nb::module_::import_("orbivane.propagators.analytical.sgp4._sgp4").attr("SGP4");
    return sgp4_type(p.elements[static_cast<std::size_t>(i)], "gravity"_a = gravity_name(p.gravity),
                     "mode"_a = mode_name(p.mode));
}

constexpr const char* kPropagateDoc =
    "propagate(t, *, threads=None, out=None) -> (r, v, code)\n\n"
    "Every satellite at every time: t is minutes since each satellite's own\n"
    "epoch (a float or an array of any shape), or a Time (UTC; scalar or\n"
    "array), whose instants are the same for every satellite. r (km) and v\n"
    "(km/s, TEME) have shape (N,) + t.shape + (3,), code (int8) shape\n"
    "(N,) + t.shape; satellite i's results are r[i], v[i], code[i], bit for bit\n"
    "those of SGP4(elements[i]).propagate(t). Codes are those of SGP4.\n\n"
    "threads: the number of threads (default: the cores this process may run\n"
    "on). The interpreter lock is released for the whole computation. A\n"
    "process forked after a call that started threads computes on one thread\n"
    "(OpenMP's threads do not survive fork).\n\n"
    "out: a tuple (r, v, code) of C-contiguous writable arrays of the result\n"
    "shapes, float64, float64 and int8, written and returned instead of new\n"
    "ones. After an exception (KeyboardInterrupt, or ValueError for a time not\n"
    "finite or further than 1e9 minutes from an epoch) their contents are\n"
    "unspecified.";

constexpr const char* kPropagateEachDoc =
    "propagate_each(t, *, threads=None, out=None) -> (r, v, code)\n\n"
    "Satellite i at time t[i] alone: t of shape (N,), minutes since that\n"
    "satellite's epoch, or a Time of N instants (a scalar t or Time puts\n"
    "every satellite at that time). r and v have shape (N, 3), code (N,).\n"
    "threads and out as for propagate().";

}  // namespace

void bind_batch(nb::module_& m) {
    // NumPy's C API table is a static of each translation unit that uses it.
    if (PyArray_ImportNumPyAPI() < 0) throw nb::python_error();

    nb::class_<PropagatorArray>(m, "SGP4Array",
                                "SGP4Array(sources, *, gravity='wgs72', mode='improved')\n\n"
                                "The SGP4/SDP4 model of a catalogue of element sets, propagated\n"
                                "together: several satellites at once in the lanes of the processor's\n"
                                "vector registers (8 with AVX-512, 4 with AVX2), on every core.\n\n"
                                "sources is an iterable of Elements or TLE objects; gravity and mode\n"
                                "are those of SGP4. Near-Earth and deep-space satellites may be mixed\n"
                                "in any order: the catalogue groups them itself. Results are bit for\n"
                                "bit those of SGP4 for each satellite, whatever the catalogue, the\n"
                                "thread count or the processor's vector width.")
        .def("__init__", &construct, "sources"_a, nb::kw_only(), "gravity"_a = "wgs72", "mode"_a = "improved")
        .def("propagate", &every_time, "t"_a, nb::kw_only(), "threads"_a = nb::none(), "out"_a = nb::none(),
             kPropagateDoc)
        .def("propagate_jd", &every_jd, "jd1"_a, "jd2"_a, nb::kw_only(), "threads"_a = nb::none(),
             "out"_a = nb::none(),
             "propagate_jd(jd1, jd2, *, threads=None, out=None) -> (r, v, code)\n\n"
             "As propagate(), at the UTC Julian dates jd1 + jd2 (floats, or arrays\n"
             "that broadcast together), the minutes since each epoch formed as SGP4\n"
             "forms them: ((jd1 - epoch_jd1) + (jd2 - epoch_jd2)) * 1440.")
        .def("propagate_each", &each_time, "t"_a, nb::kw_only(), "threads"_a = nb::none(), "out"_a = nb::none(),
             kPropagateEachDoc)
        .def("propagate_each_jd", &each_jd, "jd1"_a, "jd2"_a, nb::kw_only(), "threads"_a = nb::none(),
             "out"_a = nb::none(),
             "propagate_each_jd(jd1, jd2, *, threads=None, out=None) -> (r, v, code)\n\n"
             "As propagate_each(), at the UTC Julian dates jd1[i] + jd2[i].")
        .def("__len__", [](const PropagatorArray& p) { return p.catalogue.size(); })
        .def(
"__getitem__", &item, "i"_a, "The SGP4 propagator of satellite i.")
        .def_prop_ro(
            "elements", [](const PropagatorArray& p) { return p.elements; },
            "The element sets, in the order given (a tuple of Elements).")
        .def_prop_ro(
            "gravity", [](const PropagatorArray& p) { return gravity_name(p.gravity); },
            "The Earth model: 'wgs72', 'wgs72old' or 'wgs84'.")
        .def_prop_ro(
            "mode", [](const PropagatorArray& p) { return mode_name(p.mode); },
            "The operation mode: 'improved' or 'afspc'.")
        .def("__repr__", &repr)
        .def("__getstate__",
             [](const PropagatorArray& p) {
                 return nb::make_tuple(p.elements, gravity_name(p.gravity), mode_name(p.mode));
             })
        .def("__setstate__", [](PropagatorArray& self, nb::handle state) {
            const PropagatorState s = propagator_state(state, "SGP4Array");
            construct(&self, s.sources, s.gravity, s.mode);
        });

    m.def(
        "_simd_path", [] { return simd::width_name(simd_width()); },
        "The SIMD path that new SGP4Array objects use: 'avx512', 'avx2' or 'scalar'.");
    m.def(
        "_simd_paths",
        [] {
            nb::list paths;
            for (simd::Width w : {simd::Width::avx512, simd::Width::avx2, simd::Width::scalar})
                if (simd::width_supported(w)) paths.append(nb::str(simd::width_name(w)));
            return paths;
        },
        "The SIMD paths that this processor runs, widest first.");
    m.def(
        "_set_simd_path",
        [](const std::string& name) {
            simd::Width w;
            if (!simd::width_from_name(name.c_str(), w))
                throw nb::value_error(("SIMD path must be 'avx512', 'avx2' or 'scalar', not '" + name + "'").c_str());
            if (!set_simd_width(w))
                throw nb::value_error(("the SIMD path '" + name + "' cannot run on this processor").c_str());
        },
        "name"_a,
        "Makes new SGP4Array objects use the SIMD path name ('avx512', 'avx2' or\n"
        "'scalar'), for tests and benchmarks; ValueError if it cannot run here.");
}

}  // namespace orbivane::sgp4
