// fmod over any lane type: exact, as C's fmod is, so every width and the C
// library give the same bits.
//
// Where |x/y| < 2^52 (angles against 2 pi up to 2.8e16, say), in the lanes:
// q = trunc(|x| / |y|) is the integral part of the exact quotient or one
// more (the division rounds to a double, which trunc cannot take below an
// integer under the exact quotient), and r = |x| - q |y| is then exact in
// one fused multiply-add: a multiple of |y|'s ulp below |y| in magnitude.
// If q was one too many, r < 0, and r + |y| is again exact. The result has
// x's sign. |x| < |y| gives x. Every other lane (a larger quotient, a zero
// or non-finite operand, a NaN) is left to the C library, one at a time.
#pragma once

#include "error_free.hpp"

#include <cmath>
#include <type_traits>

namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail {

template <Lane L> [[gnu::noinline]] L fmod_by_lane(L x, L y, mask_t<L> which, L result) noexcept {
    constexpr int w = width_v<L>;
    double xs[w], ys[w], rs[w];
    store(xs, x);
    store(ys, y);
    store(rs, result);
    for (int i = 0; i < w; ++i)
        if (lane(which, i)) rs[i] = std::fmod(xs[i], ys[i]);
    return load<L>(rs);
}

template <Lane L> inline L fmod_lanes(L x, L y) noexcept {
    const L ax = abs(x), ay = abs(y);
    const L q = trunc(ax / ay);
    L r = fma(-q, ay, ax);
    r = select(r < 0.0, r + ay, r);
    const mask_t<L> below = ax < ay;
    L result = select(below, x, select(x < 0.0, -r, r));
    // ay * 2^52 may overflow: |x/y| is then below 2^53, which the argument
    // above also covers.
    const mask_t<L> in_lanes = below | ((ax < ay * 0x1p52) & (ay <= kMaxFinite));
    if (!all(in_lanes)) [[unlikely]]
        result = fmod_by_lane(x, y, !in_lanes, result);
    return result;
}

// fmod(x, y) for a positive finite y whose reciprocal the caller gives,
// inv_y = RN(1/y): the same exact result, with a multiplication for the
// division. Where |x| < 2^50 y, q = trunc(|x| inv_y) is the integral part of
// the exact quotient, one less or one more (the product is within 2^-51 of
// the quotient, relatively). r = |x| - q y is then computed exactly by one
// fused multiply-add where it lies below y: a multiple of y's ulp, of
// magnitude below y; where it is not (q one less), the same is exact with
// q + 1; and a negative r (q one more) plus y is exact as above.
template <Lane L> inline L fmod_reciprocal_lanes(L x, double y, double inv_y) noexcept {
    const L ax = abs(x), ly(y);
    const L q = trunc(ax * L(inv_y));
    L r = fma(-q, ly, ax);
    r = select(r >= ly, fma(-(q + L(1.0)), ly, ax), r);
    r = select(r < L(0.0), r + ly, r);
    const mask_t<L> below = ax < ly;
    L result = select(below, x, select(x < L(0.0), -r, r));
    const mask_t<L> in_lanes = ax < L(y * 0x1p50);
    if (!all(in_lanes)) [[unlikely]]
        result = fmod_by_lane(x, ly, !in_lanes, result);
    return result;
}

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail

namespace orbivane::simd::ORBIVANE_SIMD_TARGET {

// fmod(x, y), exactly, for a constant positive finite y and its reciprocal
// inv_y = RN(1/y).
template <Lane L> inline L fmod_reciprocal(L x, double y, double inv_y) noexcept {
    return detail::fmod_reciprocal_lanes(x, y, inv_y);
}

inline double fmod(double x, double y) noexcept { return detail::fmod_lanes(x, y); }

template <VectorLane L> inline L fmod(L x, std::type_identity_t<L> y) noexcept { return detail::fmod_lanes(x, y); }

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET
