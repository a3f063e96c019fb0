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
#pragma once

#include <cmath>

namespace orbivane::simd {

template <class L> struct lane_traits;

template <> struct lane_traits<double> {
    using mask = bool;
    static constexpr int width = 1;
};

template <class L> using mask_t = typename lane_traits<L>::mask;

inline double select(bool m, double a, double b) noexcept { return m ? a : b; }
inline bool any(bool m) noexcept { return m; }
inline bool all(bool m) noexcept { return m; }
inline double sqrt(double x) noexcept { return std::sqrt(x); }
inline double abs(double x) noexcept { return std::fabs(x); }
inline double fma(double a, double b, double c) noexcept { return std::fma(a, b, c); }
inline double round_even(double x) noexcept { return std::nearbyint(x); }
inline double trunc(double x) noexcept { return std::trunc(x); }
inline double floor(double x) noexcept { return std::floor(x); }

}  // namespace orbivane::simd
