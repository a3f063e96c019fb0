// atan2 over any lane type.
//
// The point (|x|, |y|) is folded into the first octant: t = n/d with
// n = min(|x|, |y|), d = max. Beyond t = tan(pi/8) the quotient becomes
// (n - d)/(n + d) = tan(atan t - pi/4), so that atan is only ever needed on
// |t| <= tan(pi/8), where a minimax polynomial gives it. The quotient is
// carried as q + c, c its rounding error (from the exact remainder of the
// division, a fused multiply-add), with n - d and n + d as exact pairs; the
// octant's multiple of pi/4 (pi/4 in two parts, the first of 50 bits, so
// that 3 pi/4 and pi are exact) is then added to q with its error kept, and
// the result is one rounding away from a sum whose error is about a tenth
// of an ulp: within 0.62 ulp.
//
// Special cases are those of C (C99 Annex F): signed zeros and infinities
// give +-0, +-pi/4, +-pi/2, +-3pi/4 and +-pi, and a NaN gives a NaN. The
// sign of a zero shows only through a division (1/-0 = -inf); that division
// runs only when a lane holds a zero.
#pragma once

#include "error_free.hpp"

#include <type_traits>

namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail {

// Minimax polynomial from tools/elementary_constants.py:
// atan t = t + t z P(z), z = t^2, |t| <= tan(pi/8): error below 2^-59.4.
inline constexpr double kAtanPoly[] = {
    -0.333333333333332,   0.19999999999953677,  -0.14285714280200415, 0.11111110783554748,
    -0.09090897759752499, 0.07692060256668681,  -0.06663104687938924, 0.05847895470188926,
    -0.05039339974282523, 0.038065654169247204, -0.01790862445657064,
};

inline constexpr double kTanPiOver8 = 0.41421356237309503;
inline constexpr double kPiOver4Hi = 0.7853981633974483;  // 50 significant bits
inline constexpr double kPiOver4Lo = 3.061616997868383e-17;

// The sign bits of x and y, zeros included.
template <Lane L> inline void sign_bits(L x, L y, mask_t<L>& x_neg, mask_t<L>& y_neg) noexcept {
    x_neg = x < 0.0;
    y_neg = y < 0.0;
    const mask_t<L> x_zero = x == 0.0, y_zero = y == 0.0;
    if (any(x_zero | y_zero)) [[unlikely]] {
        x_neg = x_neg | (x_zero & (1.0 / x < 0.0));
        y_neg = y_neg | (y_zero & (1.0 / y < 0.0));
    }
}

template <Lane L> inline L atan2_lanes(L y, L x) noexcept {
    const L ax = abs(x), ay = abs(y);
    const mask_t<L> swap = ay > ax;
    L n = select(swap, ax, ay), d = select(swap, ay, ax);
    // Infinite or zero d: (inf, inf) counts as (1, 1), (finite, inf) and
    // (0, 0) as (0, 1).
    const mask_t<L> d_inf = d == kInfinity;
    n = select(d_inf, select(n == kInfinity, L(1.0), L(0.0)), n);
    d = select(d_inf | (d == 0.0), L(1.0), d);
    // Scaled, exactly, so that n + d cannot overflow and the remainder of
    // a division whose quotient is not negligible cannot underflow.
    const L scale = select(d < 0x1p800, L(0x1p200), select(d > 0x1p1022, L(0.5), L(1.0)));
    n = n * scale;
    d = d * scale;
    // t = n/d, or (n - d)/(n + d) beyond tan(pi/8), as q + c.
    const mask_t<L> fold = n > kTanPiOver8 * d;
    const pair<L> sum = fast_two_sum(d, n), diff = fast_two_sum(d, -n);
    const L a_hi = select(fold, -diff.hi, n), a_lo = select(fold, -diff.lo, L(0.0));
    const L b_hi = select(fold, sum.hi, d), b_lo = select(fold, sum.lo, L(0.0));
    const L q = a_hi / b_hi;
    // Below 2^-1000, c would be a subnormal whose rounding is no longer
    // small against q's ulp; q itself, the correctly rounded t, is then
    // atan t correctly rounded (t^3 is far below its ulp).
    const L c = select(abs(q) < 0x1p-1000, L(0.0), (fma(-q, b_hi, a_hi) + (a_lo - q * b_lo)) / b_hi);
    // atan(q + c) = q + tail, c / (1 + z) taken as c - c z.
    const L z = q * q;
    const L tail = fma(q * z, horner(z, kAtanPoly), c - c * z);
    // The angle is k pi/4 + sign (q + tail).
    mask_t<L> x_neg, y_neg;
    sign_bits(x, y, x_neg, y_neg);
    L k = select(fold, L(1.0), L(0.0));
    k = select(swap, 2.0 - k, k);
    k = select(x_neg, 4.0 - k, k);
    L sign = select(swap, L(-1.0), L(1.0));
    sign = select(x_neg, -sign, sign);
    const pair<L> s = fast_two_sum(k * kPiOver4Hi, sign * q);
    const L angle = s.hi + (s.lo + fma(k, L(kPiOver4Lo), sign * tail));
    const L result = select(y_neg, -angle, angle);
    return select((x != x) | (y != y), x + y, result);
}

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail

namespace orbivane::simd::ORBIVANE_SIMD_TARGET {

inline double atan2(double y, double x) noexcept { return detail::atan2_lanes(y, x); }

template <VectorLane L> inline L atan2(L y, std::type_identity_t<L> x) noexcept { return detail::atan2_lanes(y, x); }

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET
