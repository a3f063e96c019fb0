// Building blocks of the elementary functions, over any lane type: sums and
// products whose rounding error is recovered exactly, and polynomials.
#pragma once

#include "lanes.hpp"

#include <cstddef>

namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail {

inline constexpr double kMaxFinite = 1.7976931348623157e308;
inline constexpr double kInfinity = __builtin_inf();

// A value held as hi + lo, |lo| at most half an ulp of hi (or less exact
// pairs, where a function says so).
template <class L> struct pair {
    L hi, lo;
};

// a + b = hi + lo exactly, for any a and b (Knuth), barring overflow.
template <Lane L> inline pair<L> two_sum(L a, L b) noexcept {
    const L s = a + b;
    const L bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// a + b = hi + lo exactly, where a is zero or the exponent of a is not below
// that of b (Dekker).
template <Lane L> inline pair<L> fast_two_sum(L a, L b) noexcept {
    const L s = a + b;
    return {s, b - (s - a)};
}

// a * b = hi + lo exactly, barring underflow of lo and overflow.
template <Lane L> inline pair<L> two_product(L a, L b) noexcept {
    const L p = a * b;
    return {p, fma(a, b, -p)};
}

// c[0] + c[1] z + ... + c[N-1] z^(N-1), by Horner's rule with one rounding
// a step (fused multiply-adds).
template <Lane L, std::size_t N> inline L horner(L z, const double (&c)[N]) noexcept {
    L p = c[N - 1];
    for (std::size_t i = N - 1; i-- > 0;) p = fma(p, z, L(c[i]));
    return p;
}

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail
