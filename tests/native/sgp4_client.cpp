// A compiled client of the propagators, built the way any compiled module
// would use <orbivane/sgp4.h>: it binds the functions at import, makes
// satellite records from TLE records, and propagates them on threads of
// its own, without the interpreter lock.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <orbivane/sgp4.h>
#include <orbivane/tle.h>

#include <thread>
#include <vector>

namespace {

orbivane_sgp4_api sgp4;

// The records of a sequence of sources; false with an exception set.
bool records_of(PyObject* sources, int gravity, int mode, std::vector<orbivane_sgp4_satellite>& out) {
    PyObject* seq = PySequence_Fast(sources, "sources must be a sequence");
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (sgp4.init(PySequence_Fast_GET_ITEM(seq, i), gravity, mode, &out[static_cast<size_t>(i)]) < 0) {
            Py_DECREF(seq);
            return false;
        }
    }
    Py_DECREF(seq);
    return true;
}

PyObject* bytes_of(const void* p, size_t size) {
    return PyBytes_FromStringAndSize(static_cast<const char*>(p), static_cast<Py_ssize_t>(size));
}

// propagate_each_thread(sources, minutes, gravity, mode) -> (r, v, codes)
// as bytes: satellite i at every time, on a std::thread of its own through
// propagate(); rows i * m + j.
PyObject* propagate_each_thread(PyObject*, PyObject* args) {
    PyObject *sources, *times;
    int gravity, mode;
    if (!PyArg_ParseTuple(args, "OOii", &sources, &times, &gravity, &mode)) return nullptr;
    std::vector<orbivane_sgp4_satellite> sats;
    if (!records_of(sources, gravity, mode, sats)) return nullptr;
    std::vector<double> minutes;
    PyObject* seq = PySequence_Fast(times, "times must be a sequence");
    if (!seq) return nullptr;
    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(seq); ++j)
        minutes.push_back(PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq, j)));
    Py_DECREF(seq);
    if (PyErr_Occurred()) return nullptr;
    const size_t n = sats.size(), m = minutes.size();
    std::vector<double> r(3 * n * m), v(3 * n * m);
    std::vector<signed char> codes(n * m);
    Py_BEGIN_ALLOW_THREADS
    std::vector<std::thread> threads;
    for (size_t i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            for (size_t j = 0; j < m; ++j) {
                const size_t row = i * m + j;
                codes[row] = static_cast<signed char>(sgp4.propagate(&sats[i], minutes[j], &r[3 * row], &v[3 * row]));
            }
        });
    for (auto& t : threads) t.join();
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(NNN)", bytes_of(r.data(), r.size() * 8), bytes_of(v.data(), v.size() * 8),
                         bytes_of(codes.data(), codes.size()));
}

// propagate_many(sources, minutes bytes, gravity, mode, threads) ->
// (status, r, v, codes), the call made without the interpreter lock.
PyObject* propagate_many(PyObject*, PyObject* args) {
    PyObject* sources;
    const char* times;
    Py_ssize_t size;
    int gravity, mode, threads;
    if (!PyArg_ParseTuple(args, "Oy#iii", &sources, &times, &size, &gravity, &mode, &threads)) return nullptr;
    std::vector<orbivane_sgp4_satellite> sats;
    if (!records_of(sources, gravity, mode, sats)) return nullptr;
    const auto m = static_cast<size_t>(size) / 8;
    std::vector<double> minutes(m);
    if (m) memcpy(minutes.data(), times, m * 8);
    const size_t n = sats.size();
    std::vector<double> r(3 * n * m), v(3 * n * m);
    std::vector<signed char> codes(n * m);
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = sgp4.propagate_many(sats.data(), static_cast<Py_ssize_t>(n), minutes.data(), static_cast<Py_ssize_t>(m),
                                 r.data(), v.data(), codes.data(), threads);
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(iNNN)", status, bytes_of(r.data(), r.size() * 8), bytes_of(v.data(), v.size() * 8),
                         bytes_of(codes.data(), codes.size()));
}

// record_size() -> the size of the satellite record
PyObject* record_size(PyObject*, PyObject*) { return PyLong_FromSize_t(sizeof(orbivane_sgp4_satellite)); }

PyMethodDef methods[] = {
    {"propagate_each_thread", propagate_each_thread, METH_VARARGS, nullptr},
    {"propagate_many", propagate_many, METH_VARARGS, nullptr},
    {"record_size", record_size, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec_client(PyObject*) { return orbivane_import_sgp4(&sgp4); }

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_client)}, {0, nullptr}};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "sgp4_client", nullptr, 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_sgp4_client(void) { return PyModuleDef_Init(&def); }
