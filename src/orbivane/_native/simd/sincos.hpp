// sin, cos and sincos over any lane type.
//
// x = k pi/2 + r (reduce_half_pi.hpp), then both sin r and cos r from their
// minimax polynomials on |r| <= pi/4, and the quadrant k mod 4 picks and
// signs them. With r = hi + lo:
//   sin r = hi + (hi z S(z) + lo (1 - z/2)),   z = hi^2
//   cos r = w + ((1 - w - z/2) - z_lo/2 - hi lo + z^2 C(z)),   w = 1 - z/2
// where z_lo = hi^2 - z exactly: the part added to hi (or to w) is below a
// tenth of the result, so its roundings cost a few tenths of an ulp at
// most, and the result is within 0.7 ulp of the true one. |x| < 2^-26 gives
// sin x = x, its correct rounding (this also keeps the sign of -0). The
// scalar lane evaluates only the polynomial that its quadrant needs.
#pragma once

#include "reduce_half_pi.hpp"

namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail {

// Minimax polynomials from tools/elementary_constants.py.
// sin r = r + r z S(z), z = r^2, |r| <= pi/4: error below 2^-63.2 of sin r.
inline constexpr double kSinPoly[] = {
    -0.16666666666666666,    0.00833333333333304,    -0.00019841269840959285, 2.7557319071880154e-06,
    -2.505207028342978e-08, 1.605422047958246e-10, -7.384541030031208e-13,
};

// cos r = 1 - z/2 + z^2 C(z): error below 2^-63.9 of cos r.
inline constexpr double kCosPoly[] = {
    0.041666666666666595,    -0.0013888888888873342, 2.480158728900208e-05,
    -2.7557314217038924e-07, 2.0875705396055614e-09, -1.1358749242542681e-11,
};

inline constexpr double kSinIsIdentity = 0x1p-26;

template <Lane L> inline L sin_reduced(L hi, L lo) noexcept {
    const L z = hi * hi;
    return hi + fma(hi * z, horner(z, kSinPoly), fma(-0.5 * z, lo, lo));
}

template <Lane L> inline L cos_reduced(L hi, L lo) noexcept {
    const L z = hi * hi;
    const L half_z = 0.5 * z;
    const L w = 1.0 - half_z;
    const L w_err = (1.0 - w) - half_z;
    const L z_lo = fma(hi, hi, -z);
    return w + fma(z * z, horner(z, kCosPoly), w_err - fma(L(0.5), z_lo, hi * lo));
}

// The polynomial that `odd` picks: the scalar lane evaluates only that one.
template <Lane L> inline L sin_or_cos(mask_t<L> odd, L hi, L lo, bool cos_if_odd) noexcept {
    if constexpr (width_v<L> == 1)
        return odd == cos_if_odd ? cos_reduced(hi, lo) : sin_reduced(hi, lo);
    else
        return cos_if_odd ? select(odd, cos_reduced(hi, lo), sin_reduced(hi, lo))
                          : select(odd, sin_reduced(hi, lo), cos_reduced(hi, lo));
}

// sin x = (sin r, cos r, -sin r, -cos r) and cos x = (cos r, -sin r,
// -cos r, sin r) in quadrants 0 to 3.
template <Lane L> inline L sin_lanes(L x) noexcept {
    const quadrant_reduced<L> r = reduce_half_pi(x);
    const L v = sin_or_cos(mask_t<L>((r.q == 1.0) | (r.q == 3.0)), r.hi, r.lo, true);
    return select(abs(x) < kSinIsIdentity, x, select(r.q >= 2.0, -v, v));
}

template <Lane L> inline L cos_lanes(L x) noexcept {
    const quadrant_reduced<L> r = reduce_half_pi(x);
    const L v = sin_or_cos(mask_t<L>((r.q == 1.0) | (r.q == 3.0)), r.hi, r.lo, false);
    return select((r.q == 1.0) | (r.q == 2.0), -v, v);
}

template <Lane L> inline void sincos_lanes(L x, L& s, L& c) noexcept {
    const quadrant_reduced<L> r = reduce_half_pi(x);
    const L sr = sin_reduced(r.hi, r.lo), cr = cos_reduced(r.hi, r.lo);
    const mask_t<L> odd = (r.q == 1.0) | (r.q == 3.0);
    const L sx = select(odd, cr, sr), cx = select(odd, sr, cr);
    s = select(abs(x) < kSinIsIdentity, x, select(r.q >= 2.0, -sx, sx));
    c = select((r.q == 1.0) | (r.q == 2.0), -cx, cx);
}

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail

namespace orbivane::simd::ORBIVANE_SIMD_TARGET {

// The scalar lane's functions are plain overloads: an unqualified call
// that also sees std::sin is then ambiguous, never silently the library's.
inline double sin(double x) noexcept { return detail::sin_lanes(x); }
inline double cos(double x) noexcept { return detail::cos_lanes(x); }
inline void sincos(double x, double& s, double& c) noexcept { detail::sincos_lanes(x, s, c); }

template <VectorLane L> inline L sin(L x) noexcept { return detail::sin_lanes(x); }
template <VectorLane L> inline L cos(L x) noexcept { return detail::cos_lanes(x); }
template <VectorLane L> inline void sincos(L x, L& s, L& c) noexcept { detail::sincos_lanes(x, s, c); }

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET
