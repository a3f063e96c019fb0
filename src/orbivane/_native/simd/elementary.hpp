// Elementary functions over the lane types of lanes.hpp, written once over
// the lane operations: every width gives the bits of the scalar lane.
//
//   sin(x), cos(x), sincos(x, s, c)   any x (exact reduction of huge ones)
//   atan2(y, x)                       C's special cases, signed zeros included
//   fmod(x, y)                        exact, as C's
//   cbrt(x)
//
// Largest errors measured against mpmath (tests/test_simd_elementary.py
// checks 1 ulp): sin 0.69 ulp, cos 0.67, atan2 0.61, cbrt 0.50 (correctly
// rounded in all but a few cases), over 4e5 random arguments of each, from
// 2^-30 to 2^1024 (atan2, cbrt: from 2^-1074).
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
