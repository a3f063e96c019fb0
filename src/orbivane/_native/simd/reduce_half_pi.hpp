// Reduction of an argument of sin and cos by multiples of pi/2:
// x = k pi/2 + r with |r| <= pi/4 (a hair more where x * 2/pi rounds to the
// other side of a half), r given as hi + lo, and the quadrant k mod 4.
//
// Up to |x| = 2^30, in the lanes: k = x * 2/pi rounded to an integer, and
// r = x - k pi/2 against pi/2 in three doubles (Cody and Waite's split,
// 159 bits), with fused multiply-adds:
//   x - k P1        exact: both are multiples of ulp(P1) = 2^-52 (or k is 0
//                   or 1 and |x| < 1), and the difference is below 1
//   k P2            exact as a product pair
//   k P3            rounded; it and the other rounding errors stay below
//                   2^-120, where |r| >= 2^-61 for every double (the
//                   closest a double comes to a multiple of pi/2)
// Beyond 2^30 (rare: a lane that needs it leaves the others as they are),
// one value at a time, as Payne and Hanek reduce: the product of x's 53-bit
// significand with the 192 bits of 2/pi that matter at x's exponent gives
// the quadrant and 128 bits of the fraction, exactly. Both are plain C++ on
// doubles and integers, so every width gets the same bits.
#pragma once

#include "error_free.hpp"

#include <cstdint>
#include <cstring>

namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail {

inline constexpr double kTwoOverPi = 0.6366197723675814;
inline constexpr double kHalfPi1 = 1.5707963267948966;      // RN(pi/2)
inline constexpr double kHalfPi2 = 6.123233995736766e-17;   // RN(pi/2 - P1)
inline constexpr double kHalfPi3 = -1.4973849048591698e-33;  // RN(pi/2 - P1 - P2)
inline constexpr double kCodyWaiteLimit = 1073741824.0;     // 2^30

// The bits of 2/pi after the binary point, 64 a word, most significant
// first, after a word of zeros: word j holds bits 64 (j - 1) + 1 to 64 j.
// 1216 bits reach the window of the largest double. Derived with mpmath
// (tools/elementary_constants.py).
inline constexpr std::uint64_t kTwoOverPiBits[] = {
    0x0000000000000000, 0xa2f9836e4e441529, 0xfc2757d1f534ddc0, 0xdb6295993c439041,
    0xfe5163abdebbc561, 0xb7246e3a424dd2e0, 0x06492eea09d1921c, 0xfe1deb1cb129a73e,
    0xe88235f52ebb4484, 0xe99c7026b45f7e41, 0x3991d639835339f4, 0x9c845f8bbdf9283b,
    0x1ff897ffde05980f, 0xef2f118b5a0a6d1f, 0x6d367ecf27cb09b7, 0x4f463f669e5fea2d,
    0x7527bac7ebe5f17b, 0x3d0739f78a5292ea, 0x6bfb5fb11f8d5d08, 0x56033046fc7b6bab,
};

// x = k pi/2 + hi + lo; q = k mod 4, as a double 0, 1, 2 or 3.
template <class L> struct quadrant_reduced {
    L q, hi, lo;
};

__extension__ typedef unsigned __int128 u128;

// Payne-Hanek for one finite |x| > 2^30.
inline quadrant_reduced<double> reduce_half_pi_huge(double x) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    const std::uint64_t m = (bits & 0x000fffffffffffffULL) | 0x0010000000000000ULL;
    // |x| = m 2^e. Bits b_i of 2/pi with i < e - 1 add multiples of 4 to
    // x * 2/pi: the window starts at bit s = e - 1, and its 192 bits w give
    // x * 2/pi = m w 2^-190 (mod 4), short by less than 2^-137.
    const int e = biased - 1075;
    const int g = e - 1 + 63;  // position of b_s, counting from word 0's top bit
    const int j = g >> 6, sh = g & 63;
    std::uint64_t w[3];
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t a = kTwoOverPiBits[j + i], b = kTwoOverPiBits[j + i + 1];
        w[i] = sh == 0 ? a : (a << sh) | (b >> (64 - sh));
    }
    // p = m w, 245 bits in four words (the top one is not needed).
    u128 t = static_cast<u128>(m) * w[2];
    const std::uint64_t p0 = static_cast<std::uint64_t>(t);
    t = static_cast<u128>(m) * w[1] + (t >> 64);
    const std::uint64_t p1 = static_cast<std::uint64_t>(t);
    t = static_cast<u128>(m) * w[0] + (t >> 64);
    const std::uint64_t p2 = static_cast<std::uint64_t>(t);
    // Bits 190 and 191 are k mod 4; bits 62 to 189 the fraction f.
    std::uint64_t k = p2 >> 62;
    u128 f = (static_cast<u128>((p2 << 2) | (p1 >> 62)) << 64) | ((p1 << 2) | (p0 >> 62));
    // To the nearest k: f in [1/2, 1) becomes f - 1.
    const bool negative = (f >> 127) != 0;
    if (negative) {
        k += 1;
        f = -f;
    }
    // f 2^128 in three exact doubles: 53, 53 and 22 bits.
    const std::uint64_t f_hi = static_cast<std::uint64_t>(f >> 64), f_lo = static_cast<std::uint64_t>(f);
    const double a = static_cast<double>(f_hi >> 11) * 0x1p-53;
    const double b = static_cast<double>(((f_hi & 0x7ff) << 42) | (f_lo >> 22)) * 0x1p-106;
    const double c = static_cast<double>(f_lo & 0x3fffff) * 0x1p-128;
    const pair<double> fa = two_sum(a, b);
    const double fl = fa.lo + c;
    // r = f pi/2, with pi/2 = P1 + P2.
    const pair<double> r = two_product(fa.hi, kHalfPi1);
    const double r_lo = r.lo + (fa.hi * kHalfPi2 + fl * kHalfPi1);
    const pair<double> rr = fast_two_sum(r.hi, r_lo);
    double hi = negative ? -rr.hi : rr.hi, lo = negative ? -rr.lo : rr.lo;
    if (x < 0) {
        hi = -hi;
        lo = -lo;
        k = 0 - k;
    }
    return {static_cast<double>(k & 3), hi, lo};
}

// Replaces the reduction of the lanes of `huge` by Payne-Hanek's, one lane
// at a time.
template <Lane L>
[[gnu::noinline]] void reduce_huge_lanes(L x, mask_t<L> huge, quadrant_reduced<L>& r) noexcept {
    constexpr int w = width_v<L>;
    double xs[w], q[w], hi[w], lo[w];
    store(xs, x);
    store(q, r.q);
    store(hi, r.hi);
    store(lo, r.lo);
    for (int i = 0; i < w; ++i) {
        if (!lane(huge, i)) continue;
        const quadrant_reduced<double> one = reduce_half_pi_huge(xs[i]);
        q[i] = one.q;
        hi[i] = one.hi;
        lo[i] = one.lo;
    }
    r = {load<L>(q), load<L>(hi), load<L>(lo)};
}

template <Lane L> inline quadrant_reduced<L> reduce_half_pi(L x) noexcept {
    const L k = round_even(x * kTwoOverPi);
    const L a = fma(-k, L(kHalfPi1), x);
    const pair<L> p = two_product(k, L(kHalfPi2));
    const pair<L> b = two_sum(a, -p.hi);
    const L tail = (b.lo - p.lo) - k * kHalfPi3;
    const pair<L> r = fast_two_sum(b.hi, tail);
    quadrant_reduced<L> out{k - 4.0 * floor(k * 0.25), r.hi, r.lo};
    const L ax = abs(x);
    const mask_t<L> huge = (ax > kCodyWaiteLimit) & (ax <= kMaxFinite);
    if (any(huge)) [[unlikely]]
        reduce_huge_lanes(x, huge, out);
    return out;
}

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET::detail
