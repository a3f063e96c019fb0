// Lane types: the arithmetic that the vectorised models are written in.
//
// A model written once as a template over a lane type L runs on one value
// (L = double, the scalar path) or on several at once (the SIMD lane types,
// one satellite a lane). Each lane type supplies the same small set of
// operations, and each operation rounds exactly as IEEE 754 binary64 does,
// so a lane of a vector type always holds the bits that the scalar type
// computes for it:
//
//   L(double)                 broadcast
//   + - * / and unary -       correctly rounded, element by element
//   < <= > >= == !=           comparisons, giving mask_t<L>
//   select(m, a, b)           a where m holds, else b
//   any(m), all(m)            reductions of a mask to bool
//   sqrt(x), abs(x)           correctly rounded square root, |x|
//   fma(a, b, c)              a * b + c with one rounding (explicit only:
//                             nothing is ever contracted)
//   round_even(x), trunc(x), floor(x)   rounding to an integral value
//
// Masks combine with &, | and !.
//
// Moving values in and out of lanes (width_v<L> values a lane):
//
//   load<L>(p)                lanes from p[0] ... p[width - 1]
//   store(p, x)               x's lanes to p[0] ... p[width - 1]
//   fill<L>(f)                lane i from f(i), i = 0 ... width - 1: one
//                             field of `width` records, say, read one by one
//                             (no gather instruction)
//   lane(x, i), lane(m, i)    lane i of a value or of a mask
//
// The comparisons are those of C: false when either side is NaN, except !=.
// The vector types: lanes_avx2.hpp (4 wide), lanes_avx512.hpp (8 wide),
// included here when the translation unit's flags allow them (target.hpp),
// and twice<B> (lanes_twice.hpp), two of a vector type side by side.
#pragma once

#include "target.hpp"

#include <cmath>

namespace orbivane::simd::ORBIVANE_SIMD_TARGET {

// Specialised by each lane type: mask, width, load(p), fill(f).
template <class L> struct lane_traits {};

template <class L> concept Lane = requires { lane_traits<L>::width; };

// Lane types of more than one value: the SIMD ones.
template <class L> concept VectorLane = Lane<L> && (lane_traits<L>::width > 1);

template <class L> using mask_t = typename lane_traits<L>::mask;

template <class L> inline constexpr int width_v = lane_traits<L>::width;

template <Lane L> inline L load(const double* p) noexcept { return lane_traits<L>::load(p); }

template <Lane L, class F> inline L fill(F&& f) noexcept { return lane_traits<L>::fill(f); }

// ---------------------------------------------------------------------------
// The scalar lane
// ---------------------------------------------------------------------------

template <> struct lane_traits<double> {
    using mask = bool;
    static constexpr int width = 1;
    static double load(const double* p) noexcept { return *p; }
    template <class F> static double fill(F& f) noexcept { return f(0); }
};

inline double select(bool m, double a, double b) noexcept { return m ? a : b; }
inline bool any(bool m) noexcept { return m; }
inline bool all(bool m) noexcept { return m; }
inline double sqrt(double x) noexcept { return std::sqrt(x); }
inline double abs(double x) noexcept { return std::fabs(x); }
inline double fma(double a, double b, double c) noexcept { return std::fma(a, b, c); }
#if ORBIVANE_SIMD_AVX2
// One rounding instruction each (SSE4.1).
inline double round_even(double x) noexcept { return std::nearbyint(x); }
inline double trunc(double x) noexcept { return std::trunc(x); }
inline double floor(double x) noexcept { return std::floor(x); }
#else
// Plain x86-64 has no rounding instruction, and the C library's functions
// are calls: below 2^52, adding and taking away 2^52 rounds |x| to an
// integer, to even on ties (the default rounding mode, which nearbyint
// would use too); larger values, infinities and NaN are their own rounding.
inline double round_even(double x) noexcept {
    const double a = std::fabs(x);
    return a < 0x1p52 ? std::copysign((a + 0x1p52) - 0x1p52, x) : x;
}
inline double floor(double x) noexcept {
    const double r = round_even(x);
    return r > x ? r - 1.0 : r;
}
inline double trunc(double x) noexcept { return std::copysign(floor(std::fabs(x)), x); }
#endif

inline void store(double* p, double x) noexcept { *p = x; }
inline double lane(double x, int) noexcept { return x; }
inline bool lane(bool m, int) noexcept { return m; }

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET

#if ORBIVANE_SIMD_AVX2
#include "lanes_avx2.hpp"
#endif
#if ORBIVANE_SIMD_AVX512
#include "lanes_avx512.hpp"
#endif
#if ORBIVANE_SIMD_AVX2
#include "lanes_twice.hpp"
#endif
