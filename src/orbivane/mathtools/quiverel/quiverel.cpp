// placeholder
#include "capi_support.hpp"
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "quiverel", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_quiverel(void) { return PyModuleDef_Init(&def); }
