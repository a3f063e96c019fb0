// cbrt over any lane type: the real cube root, within 0.501 ulp.
//
// |x| = m 8^e with m in [1, 8), by exact scalings with powers of 8 chosen by
// comparisons (a binary search over e, levels that no lane needs skipped);
// cbrt x = cbrt(m) 2^e. On m, with no division:
//   y ~ m^(-1/3) from a minimax polynomial on [1, 2] (m brought there by
//     1/2 or 1/4, y scaled back by 2^(-1/3) or 2^(-2/3): a first guess only,
//     good to 2^-17)
//   two Newton steps y += y (1 - m y^3) / 3: good to the rounding, ~2^-52
//   c = m y^2 ~ m^(1/3), then one last Newton step on c with c^3 - m exact
//     (c^2 and c^3 as product pairs, and c^3 - m exact as they are within a
//     factor of two): c - (c^3 - m) y^2/3, whose error before its one
//     rounding is some 2^-100 of c.
// cbrt(+-0) = +-0, cbrt(+-inf) = +-inf, cbrt(NaN) = NaN.
#pragma once

#include "error_free.hpp"

namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail {

// Minimax polynomial from tools/elementary_constants.py: u^(-1/3) on
// [1, 2], relative error below 2^-17.4.
inline constexpr double kRcbrtPoly[] = {
    1.7810571250218696,  -1.566026588574098,   1.2437824223698601,
    -0.5978705393703201, 0.15607075186816205, -0.017018918400276185,
};

inline constexpr double kCbrtHalf = 0.7937005259840998;     // 2^(-1/3), a first guess only
inline constexpr double kCbrtQuarter = 0.6299605249474366;  // 2^(-2/3)
inline constexpr double kThird = 0.3333333333333333;

// One level of the search: where a >= 8^j, a /= 8^j and scale *= 2^j;
// where a < 8^(1-j), a *= 8^j and scale /= 2^j.
template <int J, Lane L> inline void cbrt_level(L& a, L& scale) noexcept {
    constexpr double up = __builtin_ldexp(1.0, 3 * J), down = __builtin_ldexp(1.0, -3 * J);
    const mask_t<L> big = a >= up, small = a < 8.0 * down;
    if (any(big | small)) {
        a = a * select(big, L(down), select(small, L(up), L(1.0)));
        scale = scale * select(big, L(__builtin_ldexp(1.0, J)), select(small, L(__builtin_ldexp(1.0, -J)), L(1.0)));
    }
}

template <Lane L> inline L cbrt_lanes(L x) noexcept {
    L m = abs(x);
    const mask_t<L> special = (m == 0.0) | !(m <= kMaxFinite);
    m = select(special, L(1.0), m);
    L scale = 1.0;
    // Every level above the last leaves a value in [1/8, 8) as it is.
    if (!all((m >= 0.125) & (m < 8.0))) {
        cbrt_level<256>(m, scale);
        cbrt_level<128>(m, scale);
        cbrt_level<64>(m, scale);
        cbrt_level<32>(m, scale);
        cbrt_level<16>(m, scale);
        cbrt_level<8>(m, scale);
        cbrt_level<4>(m, scale);
        cbrt_level<2>(m, scale);
    }
    cbrt_level<1>(m, scale);
    const mask_t<L> four = m >= 4.0, two = m >= 2.0;
    const L u = m * select(four, L(0.25), select(two, L(0.5), L(1.0)));
    L y = horner(u, kRcbrtPoly) * select(four, L(kCbrtQuarter), select(two, L(kCbrtHalf), L(1.0)));
    for (int i = 0; i < 2; ++i) y = fma(y * kThird, fma(-m, y * y * y, L(1.0)), y);
    const L y2 = y * y;
    L c = m * y2;
    const pair<L> c2 = two_product(c, c);
    const pair<L> c3 = two_product(c2.hi, c);
    const L residual = (c3.hi - m) + fma(c2.lo, c, c3.lo);
    c = fma(-residual, y2 * kThird, c) * scale;
    return select(special, x, select(x < 0.0, -c, c));
}

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail

namespace orbivane::simd::ORBIVANE_SIMD_TARGET {

inline double cbrt(double x) noexcept { return detail::cbrt_lanes(x); }

template <VectorLane L> inline L cbrt(L x) noexcept { return detail::cbrt_lanes(x); }

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET
