// The tile kernel of batch propagation, written once over the lane type L:
// one lane group (a Satellite<L> and its epochs) over a run of times, each
// lane's results written to its satellite's rows.
//
// Compiled once a SIMD width (CMakeLists.txt: orbivane_simd_sources), with
// lane groups of one satellite in plain code, four with AVX2 and eight
// with AVX-512. Its entry point lives in the namespace of the width's
// instruction set (simd/target.hpp), the rest has internal linkage.

#include "sgp4_propagate.hpp"
#include "sgp4_tiles.hpp"
#include "simd/lanes.hpp"

#include <cstddef>
#include <cstdint>

namespace orbivane::sgp4 {

namespace {

template <class L> inline constexpr int lane_count = simd::width_v<L>;

// The minutes since each lane's epoch of the times of lane k, the catalogue
// index of which is sources[k]: the computation of the scalar propagator,
// lane by lane.
template <class L>
inline L own_times(const LaneGroup<L>& g, const std::ptrdiff_t* sources, const TimeGrid& times) noexcept {
    constexpr int W = lane_count<L>;
    alignas(64) double a[W], b[W];
    if (times.minutes) {
        for (int k = 0; k < W; ++k) a[k] = times.minutes[sources[k]];
        return simd::load<L>(a);
    }
    for (int k = 0; k < W; ++k) {
        a[k] = times.jd1[sources[k]];
        b[k] = times.jd2[sources[k]];
    }
    return ((simd::load<L>(a) - g.epoch_jd1) + (simd::load<L>(b) - g.epoch_jd2)) * L(1440.0);
}

// The minutes since each lane's epoch of time j of the grid.
template <class L> inline L grid_time(const LaneGroup<L>& g, const TimeGrid& times, std::ptrdiff_t j) noexcept {
    return times.minutes ? L(times.minutes[j])
                         : ((L(times.jd1[j]) - g.epoch_jd1) + (L(times.jd2[j]) - g.epoch_jd2)) * L(1440.0);
}

// The results of the lanes of one group at one time to their rows.
template <int W>
inline void store_rows(const double (&lanes)[7][W], int offset, const std::ptrdiff_t* sources, int used,
                       const TimeGrid& times, std::ptrdiff_t j, const Results& out) noexcept {
    for (int k = 0; k < used; ++k) {
        const std::ptrdiff_t row = times.each ? sources[k] : sources[k] * times.count + j;
        double* rk = out.r + 3 * row;
        double* vk = out.v + 3 * row;
        for (int c = 0; c < 3; ++c) {
            rk[c] = lanes[c][offset + k];
            vk[c] = lanes[3 + c][offset + k];
        }
        out.code[row] = static_cast<std::int8_t>(lanes[6][offset + k]);
    }
}

template <class L> inline void spill(L (&r)[3], L (&v)[3], L code, double (&lanes)[7][simd::width_v<L>]) noexcept {
    for (int c = 0; c < 3; ++c) {
        simd::store(lanes[c], r[c]);
        simd::store(lanes[3 + c], v[c]);
    }
    simd::store(lanes[6], code);
}

// flatten: the model and its elementary functions are inlined into the
// loop, so that lane values stay in registers across calls (a vector
// passed to a function that is not inlined goes through memory) and the
// independent polynomial chains of one step can be interleaved.
//
// Each lane its own time (times.each): one step of the group.
template <class L>
[[gnu::flatten]] bool propagate_own_times(const LaneGroup<L>& g, const std::ptrdiff_t* sources, int used,
                                          const TimeGrid& times, const Results& out) noexcept {
    const L t = own_times(g, sources, times);
    if (!simd::all(simd::abs(t) <= L(kMaxMinutesFromEpoch))) return false;
    L r[3], v[3], code;
    propagate(g.satellite, t, r, v, code);
    alignas(64) double lanes[7][lane_count<L>];
    spill(r, v, code, lanes);
    store_rows(lanes, 0, sources, used, times, 0, out);
    return true;
}

// Every lane at times j0 to j1 of the grid, one time a step.
template <class L>
[[gnu::flatten]] bool propagate_grid_times(const LaneGroup<L>& g, const std::ptrdiff_t* sources, int used,
                                           const TimeGrid& times, std::ptrdiff_t j0, std::ptrdiff_t j1,
                                           const Results& out) noexcept {
    for (std::ptrdiff_t j = j0; j < j1; ++j) {
        const L t = grid_time(g, times, j);
        if (!simd::all(simd::abs(t) <= L(kMaxMinutesFromEpoch))) return false;
        L r[3], v[3], code;
        propagate(g.satellite, t, r, v, code);
        alignas(64) double lanes[7][lane_count<L>];
        spill(r, v, code, lanes);
        store_rows(lanes, 0, sources, used, times, j, out);
    }
    return true;
}

#if ORBIVANE_SIMD_AVX512
// The 8 x 8 transpose: row k of the result holds lane k of a[0] ... a[7].
inline void transpose(__m512d (&a)[8]) noexcept {
    __m512d t[8], u[8];
    for (int i = 0; i < 4; ++i) {
        t[2 * i] = _mm512_unpacklo_pd(a[2 * i], a[2 * i + 1]);      // lanes 0, 2, 4, 6 paired
        t[2 * i + 1] = _mm512_unpackhi_pd(a[2 * i], a[2 * i + 1]);  // lanes 1, 3, 5, 7 paired
    }
    for (int i = 0; i < 2; ++i)
        for (int odd = 0; odd < 2; ++odd) {
            // Pairs of lanes 0 and 4 (1 and 5) of four inputs, and of 2 and 6 (3 and 7).
            u[4 * i + odd] = _mm512_shuffle_f64x2(t[4 * i + odd], t[4 * i + 2 + odd], 0x88);
            u[4 * i + 2 + odd] = _mm512_shuffle_f64x2(t[4 * i + odd], t[4 * i + 2 + odd], 0xDD);
        }
    for (int k = 0; k < 4; ++k) {
        a[k] = _mm512_shuffle_f64x2(u[k], u[4 + k], 0x88);
        a[4 + k] = _mm512_shuffle_f64x2(u[k], u[4 + k], 0xDD);
    }
}

// The results of an 8-lane group at times j and j + 1 to their rows, where
// the two times' 3-vectors of a satellite lie side by side: r and v
// transposed in the registers, six doubles a lane and vector, the codes one
// by one.
inline void store_pairs(const simd::twice<simd::lane8> (&r)[3], const simd::twice<simd::lane8> (&v)[3],
                        simd::twice<simd::lane8> code, const std::ptrdiff_t* sources, int used,
                        const TimeGrid& times, std::ptrdiff_t j, const Results& out) noexcept {
    const __m512d zero = _mm512_setzero_pd();
    __m512d rows_r[8] = {r[0].lo.v, r[1].lo.v, r[2].lo.v, r[0].hi.v, r[1].hi.v, r[2].hi.v, zero, zero};
    __m512d rows_v[8] = {v[0].lo.v, v[1].lo.v, v[2].lo.v, v[0].hi.v, v[1].hi.v, v[2].hi.v, zero, zero};
    transpose(rows_r);
    transpose(rows_v);
    alignas(64) double codes[16];
    simd::store(codes, code);
    for (int k = 0; k < used; ++k) {
        const std::ptrdiff_t row = sources[k] * times.count + j;
        _mm512_mask_storeu_pd(out.r + 3 * row, 0x3F, rows_r[k]);
        _mm512_mask_storeu_pd(out.v + 3 * row, 0x3F, rows_v[k]);
        out.code[row] = static_cast<std::int8_t>(codes[k]);
        out.code[row + 1] = static_cast<std::int8_t>(codes[8 + k]);
    }
}
#endif

#if ORBIVANE_SIMD_AVX2
// The same two times a step: the group is laid out twice side by side, a
// lane type of twice the width holds the group at times j and j + 1, and
// the two halves of every step are independent instructions that the
// processor overlaps (one step of the model is a long chain of dependent
// operations).
template <simd::VectorLane L>
[[gnu::flatten]] bool propagate_grid_times(const LaneGroup<L>& g, const std::ptrdiff_t* sources, int used,
                                           const TimeGrid& times, std::ptrdiff_t j0, std::ptrdiff_t j1,
                                           const Results& out) noexcept {
    using P = simd::twice<L>;
    constexpr int W = lane_count<L>;
    alignas(64) double doubled[kLaneGroupFields][2 * W];
    const double* fields = reinterpret_cast<const double*>(&g);
    for (int f = 0; f < kLaneGroupFields; ++f)
        for (int k = 0; k < W; ++k) doubled[f][k] = doubled[f][W + k] = fields[f * W + k];
    const auto& both = *reinterpret_cast<const LaneGroup<P>*>(doubled);
    for (std::ptrdiff_t j = j0; j < j1; j += 2) {
        // An odd last time is computed twice and written once.
        const std::ptrdiff_t next = j + 1 < j1 ? j + 1 : j;
        const P t(grid_time(g, times, j), grid_time(g, times, next));
        if (!simd::all(simd::abs(t) <= P(kMaxMinutesFromEpoch))) return false;
        P r[3], v[3], code;
        propagate(both.satellite, t, r, v, code);
#if ORBIVANE_SIMD_AVX512
        if (next != j) {
            store_pairs(r, v, code, sources, used, times, j, out);
            continue;
        }
#endif
        alignas(64) double lanes[7][2 * W];
        spill(r, v, code, lanes);
        store_rows(lanes, 0, sources, used, times, j, out);
        if (next != j) store_rows(lanes, W, sources, used, times, next, out);
    }
    return true;
}
#endif

template <class L>
bool propagate_tile(const double* record, const std::ptrdiff_t* sources, int used, const TimeGrid& times,
                    std::ptrdiff_t j0, std::ptrdiff_t j1, const Results& out) noexcept {
    static_assert(sizeof(LaneGroup<L>) == kLaneGroupFields * sizeof(L), "a lane group is a flat record");
    const auto& g = *reinterpret_cast<const LaneGroup<L>*>(record);
    return times.each ? propagate_own_times(g, sources, used, times, out)
                      : propagate_grid_times(g, sources, used, times, j0, j1, out);
}

}  // namespace

namespace ORBIVANE_SIMD_TARGET {

#if ORBIVANE_SIMD_AVX512
using Lane = simd::lane8;
#elif ORBIVANE_SIMD_AVX2
using Lane = simd::lane4;
#else
using Lane = double;
#endif

bool propagate_tile(const double* group, const std::ptrdiff_t* sources, int used, const TimeGrid& times,
                    std::ptrdiff_t j0, std::ptrdiff_t j1, const Results& out) {
    return sgp4::propagate_tile<Lane>(group, sources, used, times, j0, j1, out);
}

}  // namespace ORBIVANE_SIMD_TARGET

}  // namespace orbivane::sgp4
