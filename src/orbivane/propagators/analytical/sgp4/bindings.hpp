// The parts of the _sgp4 extension module, each bound by its own file.
#pragma once

#include <nanobind/nanobind.h>

namespace orbivane::sgp4 {

void bind_elements(nanobind::module_& m);
void bind_propagator(nanobind::module_& m);

}  // namespace orbivane::sgp4
