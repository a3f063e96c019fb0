// What the dispatcher of batch propagation and its tile kernels share: the
// lane-group record, the times and results of a call, and the kernels'
// entry points, one a SIMD width.
//
// The tile kernel (sgp4_batch_kernel.cpp) is compiled once a width, each
// build in the namespace of its instruction set (simd/target.hpp), so this
// header includes nothing but the satellite record and the C library.
#pragma once

#include "sgp4_satellite.hpp"

#include <cstddef>
#include <cstdint>

namespace orbivane::sgp4 {

// The record of a lane group: the satellites, then their epochs (UTC,
// two-part Julian dates) lane by lane. Flat like Satellite<L>.
template <class L> struct LaneGroup {
    Satellite<L> satellite;
    L epoch_jd1, epoch_jd2;
};

inline constexpr int kLaneGroupFields = kSatelliteFields + 2;

// The times of one call. Every satellite is propagated to every time
// (each = false; results row i * count + j for satellite i and time j), or
// satellite i to time i alone (each = true; count is the number of
// satellites, result row i). Times are minutes since each satellite's own
// epoch (minutes), or two-part UTC Julian dates (jd1, jd2), from which the
// minutes are ((jd1 - epoch_jd1) + (jd2 - epoch_jd2)) * 1440.
struct TimeGrid {
    const double* minutes = nullptr;
    const double* jd1 = nullptr;
    const double* jd2 = nullptr;
    std::ptrdiff_t count = 0;
    bool each = false;
};

// Where results go: rows of 3 doubles for r (km) and v (km/s), one code a
// row. Row numbers as in TimeGrid.
struct Results {
    double* r;
    double* v;
    std::int8_t* code;
};

// A tile kernel: the lanes of one group over times [j0, j1) of `times`
// (ignored when times.each: then the one time of each lane). sources holds
// the catalogue index of each lane, used the number of lanes that are not
// padding. False, with some rows unwritten, when a time is not within
// kMaxMinutesFromEpoch (sgp4_propagate.hpp) of an epoch.
using TileKernel = bool (*)(const double* group, const std::ptrdiff_t* sources, int used, const TimeGrid& times,
                            std::ptrdiff_t j0, std::ptrdiff_t j1, const Results& out);

// The kernel of each width, defined by that width's build of
// sgp4_batch_kernel.cpp.
#define ORBIVANE_SGP4_DECLARE_TILE_KERNEL(width)                                                                  \
    namespace width {                                                                                           \
    bool propagate_tile(const double* group, const std::ptrdiff_t* sources, int used, const TimeGrid& times,   \
                        std::ptrdiff_t j0, std::ptrdiff_t j1, const Results& out);                             \
    }
ORBIVANE_SGP4_DECLARE_TILE_KERNEL(generic)
ORBIVANE_SGP4_DECLARE_TILE_KERNEL(avx2)
ORBIVANE_SGP4_DECLARE_TILE_KERNEL(avx512)
#undef ORBIVANE_SGP4_DECLARE_TILE_KERNEL

}  // namespace orbivane::sgp4
