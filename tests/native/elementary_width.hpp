// The lane operations and elementary functions over arrays, compiled once
// for each width (elementary_width.cpp, built plain, with the AVX2 flags and
// with the AVX-512 flags): each build defines evaluate in the namespace of
// its instruction set, and the client calls the one it is asked for.
#pragma once

#include <cstddef>
#include <utility>

namespace orbivane::simd {

// What evaluate computes, value by value: out[i] = f(a[i], b[i], c[i]).
// Comparisons give 1.0 or 0.0; any and all give, for each group of `width`
// values, the reduction of a[i] < b[i] over the group, in every value of the
// group; sincos writes the sines to out and the cosines to out2; fill loads
// its lanes one by one and reads them back one by one; fmod_2pi is
// fmod(a, 2 pi) by the reciprocal of 2 pi.
enum class Op : int {
    add, sub, mul, div, neg, sqrt, abs, fma, round_even, trunc, floor,
    lt, le, gt, ge, eq, ne, logic, select, any, all, fill,
    sin, cos, sincos, atan2, fmod, fmod_2pi, cbrt,
    count
};

using EvaluateFn = void(Op op, const double* a, const double* b, const double* c, double* out, double* out2,
                        std::ptrdiff_t n);

// evaluate runs on the widest lane of the build; evaluate_scalar on the
// scalar lane, which the vector builds compile with their own flags (the
// fused multiply-add an instruction, not a call).
namespace generic { EvaluateFn evaluate, evaluate_scalar; }
namespace avx2 { EvaluateFn evaluate, evaluate_scalar; }
namespace avx512 { EvaluateFn evaluate, evaluate_scalar; }

}  // namespace orbivane::simd
