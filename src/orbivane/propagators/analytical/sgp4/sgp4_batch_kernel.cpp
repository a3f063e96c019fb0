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

// flatten: the model and its elementary functions are inlined into the
// loop, so that lane values stay in registers across calls (a vector
// passed to a function that is not inlined goes through memory) and the
// independent polynomial chains of one step can be interleaved.
template <class L>
[[gnu::flatten]] bool propagate_tile(const double* record, const std::ptrdiff_t* sources, int used, const TimeGrid& times,
                    std::ptrdiff_t j0, std::ptrdiff_t j1, const Results& out) noexcept {
    constexpr int W = lane_count<L>;
    static_assert(sizeof(LaneGroup<L>) == kLaneGroupFields * sizeof(L), "a lane group is a flat record");
    const auto& g = *reinterpret_cast<const LaneGroup<L>*>(record);
    if (times.each) {
        j0 = 0;
        j1 = 1;
    }
    for (std::ptrdiff_t j = j0; j < j1; ++j) {
        L t;
        if (times.each)
            t = own_times(g, sources, times);
        else if (times.minutes)
            t = L(times.minutes[j]);
        else
            t = ((L(times.jd1[j]) - g.epoch_jd1) + (L(times.jd2[j]) - g.epoch_jd2)) * L(1440.0);
        if (!simd::all(simd::abs(t) <= L(kMaxMinutesFromEpoch))) return false;

        L r[3], v[3], code;
        propagate(g.satellite, t, r, v, code);
        alignas(64) double lanes[7][W];
        for (int c = 0; c < 3; ++c) {
            simd::store(lanes[c], r[c]);
            simd::store(lanes[3 + c], v[c]);
        }
        simd::store(lanes[6], code);
        for (int k = 0; k < used; ++k) {
            const std::ptrdiff_t row = times.each ? sources[k] : sources[k] * times.count + j;
            double* rk = out.r + 3 * row;
            double* vk = out.v + 3 * row;
            for (int c = 0; c < 3; ++c) {
                rk[c] = lanes[c][k];
                vk[c] = lanes[3 + c][k];
            }
            out.code[row] = static_cast<std::int8_t>(lanes[6][k]);
        }
    }
    return true;
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
