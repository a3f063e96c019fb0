// A compiled client of the element module, built the way any compiled
// module of the package would use <orbivane/tle.h>: it binds the type and
// its method table at import and then works on records directly.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <orbivane/tle.h>

#include <cstring>

namespace {

PyTypeObject* TLE_type;
orbivane_TLE_vtable* TLE_vtab;

int check_tle(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, TLE_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a TLE");
        return -1;
    }
    return 0;
}

// fields(tle) -> (line1 bytes[70], line2 bytes[70], strict_validation, satno bytes[6], epoch)
PyObject* fields(PyObject*, PyObject* obj) {
    if (check_tle(obj) < 0) return nullptr;
    auto* t = reinterpret_cast<orbivane_TLE*>(obj);
    return Py_BuildValue("(y#y#iy#O)", t->_line1, Py_ssize_t{70}, t->_line2, Py_ssize_t{70},
                         t->strict_validation, t->_satno, Py_ssize_t{6}, t->epoch);
}

// reparse(tle, line1_bytes): rewrites _line1 in place and decodes it again
// through the method table. Returns None, or raises what parse_line1 left.
PyObject* reparse(PyObject*, PyObject* args) {
    PyObject* obj;
    const char* text;
    Py_ssize_t len;
    if (!PyArg_ParseTuple(args, "Oy#", &obj, &text, &len) || check_tle(obj) < 0) return nullptr;
    auto* t = reinterpret_cast<orbivane_TLE*>(obj);
    std::memset(t->_line1, 0, sizeof t->_line1);
    std::memcpy(t->_line1, text, static_cast<size_t>(len < 69 ? len : 69));
    TLE_vtab->parse_line1(t);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// blank() -> a TLE record as allocation leaves it (no line stored, epoch
// None, pointed at the type's table), made without running creation.
PyObject* blank(PyObject*, PyObject*) {
    PyObject* obj = TLE_type->tp_alloc(TLE_type, 0);
    if (!obj) return nullptr;
    auto* t = reinterpret_cast<orbivane_TLE*>(obj);
    t->vtab = TLE_vtab;
    t->epoch = Py_NewRef(Py_None);
    return obj;
}

// vtable_address() -> int, the table pointer the capsule carries.
PyObject* vtable_address(PyObject*, PyObject*) {
    return PyLong_FromVoidPtr(reinterpret_cast<void*>(TLE_vtab));
}

// record_vtable(tle) -> int, the table pointer stored in a record.
PyObject* record_vtable(PyObject*, PyObject* obj) {
    if (check_tle(obj) < 0) return nullptr;
    return PyLong_FromVoidPtr(reinterpret_cast<void*>(reinterpret_cast<orbivane_TLE*>(obj)->vtab));
}

// exec_on_fresh_module(module): runs a module's own definition on a new
// module object, as a second initialisation would.
PyObject* exec_on_fresh_module(PyObject*, PyObject* module) {
    PyModuleDef* def = PyModule_GetDef(module);
    if (!def) return nullptr;
    PyObject* fresh = PyModule_New("fresh");
    if (!fresh) return nullptr;
    int rc = PyModule_ExecDef(fresh, def);
    Py_DECREF(fresh);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"fields", fields, METH_O, nullptr},
    {"reparse", reparse, METH_VARARGS, nullptr},
    {"blank", blank, METH_NOARGS, nullptr},
    {"vtable_address", vtable_address, METH_NOARGS, nullptr},
    {"record_vtable", record_vtable, METH_O, nullptr},
    {"exec_on_fresh_module", exec_on_fresh_module, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec_client(PyObject*) {
    TLE_type = orbivane_import_TLE(&TLE_vtab);
    return TLE_type ? 0 : -1;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_client)}, {0, nullptr}};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "tle_client", nullptr, 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tle_client(void) { return PyModuleDef_Init(&def); }
