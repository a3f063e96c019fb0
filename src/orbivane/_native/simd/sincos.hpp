// sin, cos and sincos over any lane type.
//
// x = k pi/2 + r (reduce_half_pi.hpp), then both sin r and cos r from their
// minimax polynomials on |r| <= pi/4, and the quadrant k mod 4 picks and
// signs them. With r = hi + lo:
//   sin r = hi + (hi z S(z) + lo (1 - z/2)),   z = hi^2
//   cos r = w + ((1 - w - z/2) - z_lo/2 - hi lo + z^2 C(z)),   w = 1 - z/2
// where z_lo = hi^2 - z exactly: the part added to hi (or to w) is below a
// tenth of the result, so its roundings cost hundredths of an ulp, and the
// result is within 0.6 ulp of the true one. |x| < 2^-26 gives sin x = x, its
// correct rounding (this also keeps the sign of -0).
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

template <Lane L> inline void sin_cos_reduced(const quadrant_reduced<L>& r, L& s, L& c) noexcept {
    const L hi = r.hi, lo = r.lo;
    const L z = hi * hi;
    s = hi + fma(hi * z, horner(z, kSinPoly), fma(-0.5 * z, lo, lo));
    const L half_z = 0.5 * z;
    const L w = 1.0 - half_z;
    const L w_err = (1.0 - w) - half_z;
    const L z_lo = fma(hi, hi, -z);
    c = w + fma(z * z, horner(z, kCosPoly), w_err - fma(L(0.5), z_lo, hi * lo));
}

// sin x and cos x from sin r and cos r in quadrant q.
template <Lane L> inline void sin_cos_quadrant(L x, L q, L sr, L cr, L& s, L& c) noexcept {
    const mask_t<L> odd = (q == 1.0) | (q == 3.0);
    const L sx = select(odd, cr, sr), cx = select(odd, sr, cr);
    s = select(q >= 2.0, -sx, sx);
    c = select((q == 1.0) | (q == 2.0), -cx, cx);
    s = select(abs(x) < kSinIsIdentity, x, s);
}

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail

namespace orbivane::simd::ORBIVANE_SIMD_TARGET {

template <Lane L> inline void sincos_lanes(L x, L& s, L& c) noexcept {
    const detail::quadrant_reduced<L> r = detail::reduce_half_pi(x);
    L sr, cr;
    detail::sin_cos_reduced(r, sr, cr);
    detail::sin_cos_quadrant(x, r.q, sr, cr, s, c);
}

// The scalar lane's functions are plain overloads: an unqualified call
// that also sees std::sin is then ambiguous, never silently the library's.
inline void sincos(double x, double& s, double& c) noexcept { sincos_lanes(x, s, c); }

inline double sin(double x) noexcept {
    double s, c;
    sincos_lanes(x, s, c);
    return s;
}

inline double cos(double x) noexcept {
    double s, c;
    sincos_lanes(x, s, c);
    return c;
}

template <VectorLane L> inline void sincos(L x, L& s, L& c) noexcept { sincos_lanes(x, s, c); }

template <VectorLane L> inline L sin(L x) noexcept {
    L s, c;
    sincos_lanes(x, s, c);
    return s;
}

template <VectorLane L> inline L cos(L x) noexcept {
    L s, c;
    sincos_lanes(x, s, c);
    return c;
}

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET
