// Elementary functions over the lane types of lanes.hpp.
//
// Placeholder: forwards the scalar lane to the C library until the
// functions written on the lane operations replace it.
#pragma once

#include "lanes.hpp"

#include <cmath>

namespace orbivane::simd {

inline double sin(double x) noexcept { return std::sin(x); }
inline double cos(double x) noexcept { return std::cos(x); }
inline void sincos(double x, double& s, double& c) noexcept { s = std::sin(x); c = std::cos(x); }
inline double atan2(double y, double x) noexcept { return std::atan2(y, x); }
inline double fmod(double x, double y) noexcept { return std::fmod(x, y); }
inline double pow(double x, double y) noexcept { return std::pow(x, y); }

}  // namespace orbivane::simd
