// Lane operations that the model needs and elementary.hpp does not offer
// yet.
//
// TEMPORARY: cbrt is to be removed as soon as elementary.hpp provides it
// for every lane type; the model calls it qualified, so nothing else has to
// change then.
#pragma once

#include "simd/elementary.hpp"

#include <cmath>

namespace orbivane::simd {

inline double cbrt(double x) noexcept { return std::cbrt(x); }

}  // namespace orbivane::simd
