// The parts of the _sgp4 extension module, each bound by its own file, and
// what they share.
#pragma once

#include "element_set.hpp"

#include <nanobind/nanobind.h>

#include <string_view>

namespace orbivane::sgp4 {

void bind_elements(nanobind::module_& m);
void bind_propagator(nanobind::module_& m);
void bind_element_files(nanobind::module_& m);
void bind_batch(nanobind::module_& m);
void bind_capi(nanobind::module_& m);

// The element set of an Elements object, or of a TLE decoded as the TLE was
// made (strict or not). Raises TypeError for anything else, and ValueError
// (naming the line, columns and field) for a TLE whose text is refused.
ElementSet element_set_of(nanobind::handle source);

// The state (sources, gravity, mode) that a pickled propagator of type
// `type` gives back to __setstate__: TypeError unless a tuple of three with
// two str; the constructor checks the rest.
struct PropagatorState {
    nanobind::handle sources;
    std::string_view gravity, mode;
};
PropagatorState propagator_state(const nanobind::handle& state, const char* type);

}  // namespace orbivane::sgp4
