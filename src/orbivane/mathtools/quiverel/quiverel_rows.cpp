// Row loops of the batch kernels norm_array and normalize_array, and the
// rescaled per-row kernels that the 3-vector kernels share.
//
// Two paths give the same bits: the scalar per-row kernels, and AVX2 four
// rows at a time. The lanes compute exactly the scalar operations (IEEE
// multiply, add, divide and square root, no fused multiply-add); a block
// with any row outside the plain range is redone by the scalar per-row
// kernels, rescaling included.
//
// There is no wider path: the square roots and divisions that bound the
// loops run at the same rate per value in 512-bit registers, and an AVX-512
// version of these loops measured slower than this one.
#include "quiverel_rows.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>

#include <immintrin.h>

namespace orbivane::quiverel {

bool rescale(const double* a, double* b, int& e) {
    if (!(std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]))) return false;
    const double m = std::fmax(std::fabs(a[0]), std::fmax(std::fabs(a[1]), std::fabs(a[2])));
    if (m == 0.0) return false;
    std::frexp(m, &e);
    for (int i = 0; i < 3; ++i) b[i] = std::ldexp(a[i], -e);
    return true;
}

double norm_rescaled(const double* a, double s) {
    double b[3];
    int e;
    if (!rescale(a, b, e)) return std::sqrt(s);
    return std::ldexp(std::sqrt(dot_inline(b, b)), e);
}

void normalize_rescaled(const double* a, double* u, double s) {
    double b[3];
    int e;
    if (!rescale(a, b, e)) {
        const double f = 1.0 / std::sqrt(s);
        scale_inline(f, a, u);
        return;
    }
    const double f = 1.0 / std::sqrt(dot_inline(b, b));
    scale_inline(f, b, u);
}

namespace {

using std::ptrdiff_t;

inline double load(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(char* p, double v) { std::memcpy(p, &v, sizeof v); }

// ---------------------------------------------------------------------------
// Scalar per-row kernels: norm and normalize on a row gathered into three
// contiguous doubles. Nothing in them can fail: a sum of squares is never
// -1.0, so the error checks of the 3-vector kernels have nothing to find.
// ---------------------------------------------------------------------------

inline double norm_row(const double* a) {
    const double s = dot_inline(a, a);
    if (is_plain(s)) [[likely]]
        return std::sqrt(s);
    return norm_rescaled(a, s);
}

inline void normalize_row(const double* a, double* u) {
    const double s = dot_inline(a, a);
    if (is_plain(s)) [[likely]] {
        const double f = 1.0 / std::sqrt(s);
        scale_inline(f, a, u);
    } else {
        normalize_rescaled(a, u, s);
    }
}

inline void gather(const Rows& in, ptrdiff_t i, double* a) {
    const char* row = in.data + i * in.s0;
    a[0] = load(row);
    a[1] = load(row + in.s1);
    a[2] = load(row + 2 * in.s1);
}

void norm_rows_scalar(const Rows& in, const Results& out, ptrdiff_t begin, ptrdiff_t end) {
    for (ptrdiff_t i = begin; i < end; ++i) {
        double a[3];
        gather(in, i, a);
        store(out.data + i * out.s0, norm_row(a));
    }
}

void normalize_rows_scalar(const Rows& in, const Results& out, ptrdiff_t begin, ptrdiff_t end) {
    for (ptrdiff_t i = begin; i < end; ++i) {
        double a[3], u[3];
        gather(in, i, a);
        normalize_row(a, u);
        char* row = out.data + i * out.s0;
        store(row, u[0]);
        store(row + out.s1, u[1]);
        store(row + 2 * out.s1, u[2]);
    }
}

// Input layouts with a vector load of their own.
enum class Layout {
    packed,   // rows of three contiguous doubles, one after the other
    columns,  // consecutive rows are consecutive doubles in each column
    strided,  // anything else: one load per value
};

Layout layout_of(const Rows& in) {
    if (in.s1 == 8 && in.s0 == 24) return Layout::packed;
    if (in.s0 == 8) return Layout::columns;
    return Layout::strided;
}

// A packed input is requested this many bytes (some 20 blocks) ahead of
// its use: the loads of a block would otherwise wait behind the square
// roots and divisions of the blocks before it, and the memory traffic would
// not overlap the computation. The other layouts leave it to the hardware.
constexpr ptrdiff_t kPrefetchBytes = 2048;

// ---------------------------------------------------------------------------
// AVX2: four rows a block
// ---------------------------------------------------------------------------

template <Layout L>
[[gnu::target("avx2")]] inline void load4(const Rows& in, ptrdiff_t i, __m256d& x, __m256d& y, __m256d& z) {
    const char* p = in.data + i * in.s0;
    if constexpr (L == Layout::packed) {
        // 12 values, de-interleaved.
        const __m256d m0 = _mm256_loadu_pd(reinterpret_cast<const double*>(p));
        const __m256d m1 = _mm256_loadu_pd(reinterpret_cast<const double*>(p + 32));
        const __m256d m2 = _mm256_loadu_pd(reinterpret_cast<const double*>(p + 64));
        const __m256d a = _mm256_blend_pd(m0, m1, 0b1100);       // x0 y0 x2 y2
        const __m256d b = _mm256_permute2f128_pd(m0, m2, 0x21);  // z0 x1 z2 x3
        const __m256d c = _mm256_permute2f128_pd(m1, m2, 0x30);  // y1 z1 y3 z3
        x = _mm256_blend_pd(a, b, 0b1010);
        y = _mm256_shuffle_pd(a, c, 0b0101);
        z = _mm256_blend_pd(b, c, 0b1010);
    } else if constexpr (L == Layout::columns) {
        x = _mm256_loadu_pd(reinterpret_cast<const double*>(p));
        y = _mm256_loadu_pd(reinterpret_cast<const double*>(p + in.s1));
        z = _mm256_loadu_pd(reinterpret_cast<const double*>(p + 2 * in.s1));
    } else {
        const ptrdiff_t s0 = in.s0, s1 = in.s1;
        x = _mm256_set_pd(load(p + 3 * s0), load(p + 2 * s0), load(p + s0), load(p));
        y = _mm256_set_pd(load(p + 3 * s0 + s1), load(p + 2 * s0 + s1), load(p + s0 + s1), load(p + s1));
        z = _mm256_set_pd(load(p + 3 * s0 + 2 * s1), load(p + 2 * s0 + 2 * s1), load(p + s0 + 2 * s1),
                          load(p + 2 * s1));
    }
}

// The 96 bytes of a packed block, kPrefetchBytes ahead.
template <Layout L>
[[gnu::target("avx2")]] inline void prefetch4(const Rows& in, ptrdiff_t i) {
    if constexpr (L == Layout::packed) {
        const char* ahead = in.data + i * 24 + kPrefetchBytes;
        _mm_prefetch(ahead, _MM_HINT_T0);
        _mm_prefetch(ahead + 64, _MM_HINT_T0);
    }
}

// Lanes whose sum of squares is a normal finite number, as a 4-bit mask.
[[gnu::target("avx2")]] inline int plain4(__m256d s) {
    const __m256d lo = _mm256_cmp_pd(s, _mm256_set1_pd(DBL_MIN), _CMP_GE_OQ);
    const __m256d hi = _mm256_cmp_pd(s, _mm256_set1_pd(DBL_MAX), _CMP_LE_OQ);
    return _mm256_movemask_pd(_mm256_and_pd(lo, hi));
}

[[gnu::target("avx2")]] inline __m256d sum_of_squares(__m256d x, __m256d y, __m256d z) {
    return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(y, y)), _mm256_mul_pd(z, z));
}

// Results are stored through the caches, never streamed past them: every
// result is a new numpy.zeros array, whose lines the zeroing (by calloc, or
// by the kernel on the first touch of a fresh page) has just brought into
// the cache. Non-temporal stores would evict them and write each line twice.
[[gnu::target("avx2")]] inline void store4(char* p, __m256d v) {
    _mm256_storeu_pd(reinterpret_cast<double*>(p), v);
}

template <Layout L>
[[gnu::target("avx2")]] ptrdiff_t norm_rows_avx2(const Rows& in, const Results& out, ptrdiff_t n) {
    ptrdiff_t i = 0;
    for (; i + 4 <= n; i += 4) {
        prefetch4<L>(in, i);
        __m256d x, y, z;
        load4<L>(in, i, x, y, z);
        const __m256d s = sum_of_squares(x, y, z);
        if (plain4(s) == 0xF) [[likely]]
            store4(out.data + i * 8, _mm256_sqrt_pd(s));
        else
            norm_rows_scalar(in, out, i, i + 4);
    }
    return i;
}

template <Layout L>
[[gnu::target("avx2")]] ptrdiff_t normalize_rows_avx2(const Rows& in, const Results& out, ptrdiff_t n) {
    ptrdiff_t i = 0;
    for (; i + 4 <= n; i += 4) {
        prefetch4<L>(in, i);
        __m256d x, y, z;
        load4<L>(in, i, x, y, z);
        const __m256d s = sum_of_squares(x, y, z);
        if (plain4(s) != 0xF) [[unlikely]] {
            normalize_rows_scalar(in, out, i, i + 4);
            continue;
        }
        const __m256d f = _mm256_div_pd(_mm256_set1_pd(1.0), _mm256_sqrt_pd(s));
        const __m256d ux = _mm256_mul_pd(x, f), uy = _mm256_mul_pd(y, f), uz = _mm256_mul_pd(z, f);
        // Back to rows of three: x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3 z3.
        const __m256d a = _mm256_unpacklo_pd(ux, uy);       // x0 y0 x2 y2
        const __m256d b = _mm256_blend_pd(uz, ux, 0b1010);  // z0 x1 z2 x3
        const __m256d c = _mm256_unpackhi_pd(uy, uz);       // y1 z1 y3 z3
        char* p = out.data + i * 24;
        store4(p, _mm256_permute2f128_pd(a, b, 0x20));
        store4(p + 32, _mm256_permute2f128_pd(c, a, 0x30));
        store4(p + 64, _mm256_permute2f128_pd(b, c, 0x31));
    }
    return i;
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

template <template <Layout> class Loop>
ptrdiff_t dispatch(const Rows& in, const Results& out, ptrdiff_t n) {
    switch (layout_of(in)) {
        case Layout::packed:
            return Loop<Layout::packed>::run(in, out, n);
        case Layout::columns:
            return Loop<Layout::columns>::run(in, out, n);
        case Layout::strided:
            break;
    }
    return Loop<Layout::strided>::run(in, out, n);
}

template <Layout L>
struct NormAvx2 {
    static ptrdiff_t run(const Rows& in, const Results& out, ptrdiff_t n) { return norm_rows_avx2<L>(in, out, n); }
};

template <Layout L>
struct NormalizeAvx2 {
    static ptrdiff_t run(const Rows& in, const Results& out, ptrdiff_t n) { return normalize_rows_avx2<L>(in, out, n); }
};

}  // namespace

bool path_supported(RowPath path) {
    __builtin_cpu_init();
    switch (path) {
        case RowPath::scalar:
            return true;
        case RowPath::avx2:
            return __builtin_cpu_supports("avx2");
    }
    return false;
}

RowPath fastest_path() { return path_supported(RowPath::avx2) ? RowPath::avx2 : RowPath::scalar; }

void norm_rows(RowPath path, const Rows& in, const Results& out, ptrdiff_t n) {
    ptrdiff_t done = 0;
    if (path == RowPath::avx2 && out.s0 == 8) done = dispatch<NormAvx2>(in, out, n);
    norm_rows_scalar(in, out, done, n);
}

void normalize_rows(RowPath path, const Rows& in, const Results& out, ptrdiff_t n) {
    ptrdiff_t done = 0;
    if (path == RowPath::avx2 && out.s0 == 24 && out.s1 == 8) done = dispatch<NormalizeAvx2>(in, out, n);
    normalize_rows_scalar(in, out, done, n);
}

}  // namespace orbivane::quiverel
