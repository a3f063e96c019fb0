// placeholder
#include "capi_support.hpp"
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "vectors", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_vectors(void) { return PyModuleDef_Init(&def); }
