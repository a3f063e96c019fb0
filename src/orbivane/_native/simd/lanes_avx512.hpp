// The 8-wide lane: eight doubles in an AVX-512 register (__m512d), with
// masks in a mask register (__mmask8, one bit a lane).
//
// Included by lanes.hpp in translation units built with -mavx512f
// -mavx512dq -mavx512vl -mavx2 -mfma. Every operation is the IEEE operation
// of the scalar lane, lane by lane; the roundings use the instruction's
// fixed modes with exceptions suppressed, as nearbyint, trunc and floor
// round in the default environment.
#pragma once

#include <immintrin.h>

namespace orbivane::simd::ORBIVANE_SIMD_TARGET {

struct mask8 {
    __mmask8 bits;

    friend mask8 operator&(mask8 a, mask8 b) noexcept { return {static_cast<__mmask8>(a.bits & b.bits)}; }
    friend mask8 operator|(mask8 a, mask8 b) noexcept { return {static_cast<__mmask8>(a.bits | b.bits)}; }
    friend mask8 operator!(mask8 a) noexcept { return {static_cast<__mmask8>(~a.bits)}; }
};

struct lane8 {
    __m512d v;

    lane8() noexcept = default;
    lane8(double x) noexcept : v(_mm512_set1_pd(x)) {}  // implicit: the broadcast
    explicit lane8(__m512d x) noexcept : v(x) {}

    friend lane8 operator+(lane8 a, lane8 b) noexcept { return lane8(_mm512_add_pd(a.v, b.v)); }
    friend lane8 operator-(lane8 a, lane8 b) noexcept { return lane8(_mm512_sub_pd(a.v, b.v)); }
    friend lane8 operator*(lane8 a, lane8 b) noexcept { return lane8(_mm512_mul_pd(a.v, b.v)); }
    friend lane8 operator/(lane8 a, lane8 b) noexcept { return lane8(_mm512_div_pd(a.v, b.v)); }
    friend lane8 operator-(lane8 a) noexcept { return lane8(_mm512_xor_pd(a.v, _mm512_set1_pd(-0.0))); }

    friend mask8 operator<(lane8 a, lane8 b) noexcept { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)}; }
    friend mask8 operator<=(lane8 a, lane8 b) noexcept { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)}; }
    friend mask8 operator>(lane8 a, lane8 b) noexcept { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)}; }
    friend mask8 operator>=(lane8 a, lane8 b) noexcept { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)}; }
    friend mask8 operator==(lane8 a, lane8 b) noexcept { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_EQ_OQ)}; }
    friend mask8 operator!=(lane8 a, lane8 b) noexcept { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_NEQ_UQ)}; }
};

template <> struct lane_traits<lane8> {
    using mask = mask8;
    static constexpr int width = 8;
    static lane8 load(const double* p) noexcept { return lane8(_mm512_loadu_pd(p)); }
    template <class F> static lane8 fill(F& f) noexcept {
        return lane8(_mm512_set_pd(f(7), f(6), f(5), f(4), f(3), f(2), f(1), f(0)));
    }
};

inline lane8 select(mask8 m, lane8 a, lane8 b) noexcept { return lane8(_mm512_mask_blend_pd(m.bits, b.v, a.v)); }
inline bool any(mask8 m) noexcept { return m.bits != 0; }
inline bool all(mask8 m) noexcept { return m.bits == 0xFF; }
// The square root and the roundings name the merge source of their masked
// forms (every lane is written): GCC 12's unmasked forms start from an
// undefined register that -Wuninitialized reports.
inline lane8 sqrt(lane8 x) noexcept { return lane8(_mm512_mask_sqrt_pd(x.v, 0xFF, x.v)); }
inline lane8 abs(lane8 x) noexcept { return lane8(_mm512_abs_pd(x.v)); }
inline lane8 fma(lane8 a, lane8 b, lane8 c) noexcept { return lane8(_mm512_fmadd_pd(a.v, b.v, c.v)); }
inline lane8 round_even(lane8 x) noexcept {
    return lane8(_mm512_mask_roundscale_pd(x.v, 0xFF, x.v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
}
inline lane8 trunc(lane8 x) noexcept {
    return lane8(_mm512_mask_roundscale_pd(x.v, 0xFF, x.v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));
}
inline lane8 floor(lane8 x) noexcept {
    return lane8(_mm512_mask_roundscale_pd(x.v, 0xFF, x.v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
}

inline void store(double* p, lane8 x) noexcept { _mm512_storeu_pd(p, x.v); }

inline double lane(lane8 x, int i) noexcept {
    alignas(64) double v[8];
    _mm512_store_pd(v, x.v);
    return v[i & 7];
}

inline bool lane(mask8 m, int i) noexcept { return (m.bits >> (i & 7)) & 1; }

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET
