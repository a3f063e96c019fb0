// Elementary functions over the lane types of lanes.hpp, written once over
// the lane operations: every width gives the bits of the scalar lane.
//
//   sin(x), cos(x), sincos(x, s, c)   within 0.6 ulp; any finite x (exact
//                                     reduction of huge arguments)
//   atan2(y, x)                       within 0.6 ulp; C's special cases
//   fmod(x, y)                        exact, as C's
//   cbrt(x)                           within 0.51 ulp
//
// For L = double these are plain overloads, orbivane::simd::sin(double) and
// so on; for the vector lanes, templates (atan2 and fmod take a double as
// their second argument too). Powers: x^(2/3) as cbrt(x * x), x^1.5 as
// x * sqrt(x).
//
// The functions use fused multiply-adds, explicitly and the same way in
// every width: in the plain translation unit std::fma is a call into the C
// library, which uses the FMA instruction where the processor has one and
// an exact software fma where it has not. The scalar path needs no FMA
// hardware; without it it is only slower.
#pragma once

#include "atan2.hpp"
#include "cbrt.hpp"
#include "fmod.hpp"
#include "sincos.hpp"
