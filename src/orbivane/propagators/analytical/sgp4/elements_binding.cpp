// Python face of the element-set type.
#include "bindings.hpp"

namespace orbivane::sgp4 {

void bind_elements(nanobind::module_&) {}

}  // namespace orbivane::sgp4
