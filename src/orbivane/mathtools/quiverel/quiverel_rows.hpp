// Internal header of the vector toolkit: the per-row arithmetic shared by
// the 3-vector kernels and the batch kernels, and the row loops of the
// batch kernels (quiverel_rows.cpp).
//
// Every result is fixed to the bit: each operation rounds on its own, in the
// order written, with no fused multiply-add and no reassociation. The vector
// row loops compute, lane by lane, exactly the operations of the scalar
// per-row kernels, so every path gives the same bits.
//
// Nothing here needs the interpreter: the row loops work on raw memory.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace orbivane::quiverel {

inline void scale_inline(double scalar, const double* a, double* c) {
    c[0] = a[0] * scalar;
    c[1] = a[1] * scalar;
    c[2] = a[2] * scalar;
}

inline double dot_inline(const double* a, const double* b) {
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2];
}

// A sum of squares (or a dot product) that is a normal finite number: the
// plain formulas then had neither overflow nor underflow worth mending.
// One unsigned comparison on the exponent field: 1 to 0x7fe.
inline bool is_plain(double s) {
    const uint64_t magnitude = std::bit_cast<uint64_t>(s) & 0x7fffffffffffffffULL;
    return magnitude - 0x0010000000000000ULL < 0x7fe0000000000000ULL;
}

// Scales a by the power of two that brings its largest absolute component
// into [0.5, 1), as frexp gives it, into b; e receives the exponent. False
// when a component is not finite or all are zero: such vectors keep their
// IEEE results from the plain formulas.
bool rescale(const double* a, double* b, int& e);

// norm of a vector whose sum of squares s over- or underflowed. Out of
// line, like normalize_rescaled: the kernels' plain path stays small.
[[gnu::noinline]] double norm_rescaled(const double* a, double s);

// u = a / |a| for a vector whose sum of squares s over- or underflowed: the
// whole computation runs on the rescaled vector, never through an unscaled
// length. u may be a.
[[gnu::noinline]] void normalize_rescaled(const double* a, double* u, double s);

// ---------------------------------------------------------------------------
// Row loops
// ---------------------------------------------------------------------------

// The rows of an input view: row i starts at data + i * s0, its three
// components lie s1 apart. Any strides, negative ones included.
struct Rows {
    const char* data;
    std::ptrdiff_t s0, s1;
};

// A result view: entry (i, j) at data + i * s0 + j * s1 (s1 unused for the
// lengths of norm_array).
struct Results {
    char* data;
    std::ptrdiff_t s0, s1;
};

// The implementations of the row loops. The vector path handles blocks of
// rows whose sums of squares are all plain, and hands any other block, and
// the rows after the last whole block, to the scalar per-row kernels.
enum class RowPath { scalar, avx2 };

// Whether the processor runs a path's instructions.
bool path_supported(RowPath path);

// The fastest path the processor supports; asked once, at initialisation.
RowPath fastest_path();

// Lengths of rows 0 to n - 1 of `in` into `out`; the path must be supported.
void norm_rows(RowPath path, const Rows& in, const Results& out, std::ptrdiff_t n);

// Rows 0 to n - 1 of `in` scaled to unit length into `out`.
void normalize_rows(RowPath path, const Rows& in, const Results& out, std::ptrdiff_t n);

}  // namespace orbivane::quiverel
