// Exercises the shared module rules directly, for what an import on this
// interpreter cannot show: a module built for another Python version.
#include "capi_support.hpp"

namespace {

orbivane::ModuleState state{"probe", "orbivane.probe", "orbivane/probe", "init orbivane.probe"};

// check_version(built_major, built_minor) -> None; warns on a mismatch.
PyObject* check_version(PyObject*, PyObject* args) {
    int major, minor;
    if (!PyArg_ParseTuple(args, "ii", &major, &minor)) return nullptr;
    if (orbivane::exec_check_version(state, major, minor) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {{"check_version", check_version, METH_VARARGS, nullptr},
                         {nullptr, nullptr, 0, nullptr}};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "module_rules_client", nullptr, -1, methods,
                   nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_module_rules_client(void) { return PyModule_Create(&def); }
