// The 4-wide lane: four doubles in an AVX2 register (__m256d).
//
// Included by lanes.hpp in translation units built with -mavx2 -mfma (and in
// the AVX-512 ones, where it lives in their own namespace). Every operation
// is the IEEE operation of the scalar lane, lane by lane: the arithmetic
// instructions round as the scalar ones do, fma is the fused instruction,
// the roundings use the rounding instruction's fixed modes, and a mask is a
// register of all-ones or all-zeros lanes, as the comparisons give it.
#pragma once

#include <immintrin.h>

namespace orbivane::simd::ORBIVANE_SIMD_TARGET {

struct mask4 {
    __m256d bits;

    friend mask4 operator&(mask4 a, mask4 b) noexcept { return {_mm256_and_pd(a.bits, b.bits)}; }
    friend mask4 operator|(mask4 a, mask4 b) noexcept { return {_mm256_or_pd(a.bits, b.bits)}; }
    friend mask4 operator!(mask4 a) noexcept {
        return {_mm256_xor_pd(a.bits, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)))};
    }
};

struct lane4 {
    __m256d v;

    lane4() noexcept = default;
    lane4(double x) noexcept : v(_mm256_set1_pd(x)) {}  // implicit: the broadcast
    explicit lane4(__m256d x) noexcept : v(x) {}

    friend lane4 operator+(lane4 a, lane4 b) noexcept { return lane4(_mm256_add_pd(a.v, b.v)); }
    friend lane4 operator-(lane4 a, lane4 b) noexcept { return lane4(_mm256_sub_pd(a.v, b.v)); }
    friend lane4 operator*(lane4 a, lane4 b) noexcept { return lane4(_mm256_mul_pd(a.v, b.v)); }
    friend lane4 operator/(lane4 a, lane4 b) noexcept { return lane4(_mm256_div_pd(a.v, b.v)); }
    friend lane4 operator-(lane4 a) noexcept { return lane4(_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))); }

    friend mask4 operator<(lane4 a, lane4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
    friend mask4 operator<=(lane4 a, lane4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
    friend mask4 operator>(lane4 a, lane4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
    friend mask4 operator>=(lane4 a, lane4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }
    friend mask4 operator==(lane4 a, lane4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)}; }
    friend mask4 operator!=(lane4 a, lane4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)}; }
};

template <> struct lane_traits<lane4> {
    using mask = mask4;
    static constexpr int width = 4;
    static lane4 load(const double* p) noexcept { return lane4(_mm256_loadu_pd(p)); }
    template <class F> static lane4 fill(F& f) noexcept { return lane4(_mm256_set_pd(f(3), f(2), f(1), f(0))); }
};

inline lane4 select(mask4 m, lane4 a, lane4 b) noexcept { return lane4(_mm256_blendv_pd(b.v, a.v, m.bits)); }
inline bool any(mask4 m) noexcept { return _mm256_movemask_pd(m.bits) != 0; }
inline bool all(mask4 m) noexcept { return _mm256_movemask_pd(m.bits) == 0xF; }
inline lane4 sqrt(lane4 x) noexcept { return lane4(_mm256_sqrt_pd(x.v)); }
inline lane4 abs(lane4 x) noexcept { return lane4(_mm256_andnot_pd(_mm256_set1_pd(-0.0), x.v)); }
inline lane4 fma(lane4 a, lane4 b, lane4 c) noexcept { return lane4(_mm256_fmadd_pd(a.v, b.v, c.v)); }
inline lane4 round_even(lane4 x) noexcept {
    return lane4(_mm256_round_pd(x.v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
}
inline lane4 trunc(lane4 x) noexcept { return lane4(_mm256_round_pd(x.v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC)); }
inline lane4 floor(lane4 x) noexcept { return lane4(_mm256_round_pd(x.v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC)); }

inline void store(double* p, lane4 x) noexcept { _mm256_storeu_pd(p, x.v); }

inline double lane(lane4 x, int i) noexcept {
    alignas(32) double v[4];
    _mm256_store_pd(v, x.v);
    return v[i & 3];
}

inline bool lane(mask4 m, int i) noexcept { return (_mm256_movemask_pd(m.bits) >> (i & 3)) & 1; }

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET
