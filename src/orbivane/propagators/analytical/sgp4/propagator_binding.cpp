// Python face of the propagators.
#include "bindings.hpp"

namespace orbivane::sgp4 {

void bind_propagator(nanobind::module_&) {}

}  // namespace orbivane::sgp4
