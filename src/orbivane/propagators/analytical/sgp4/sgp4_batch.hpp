// Batch propagation: a catalogue of satellites, transposed once into lane
// groups, propagated to many times on every core.
//
// A Catalogue sorts its satellites by kind (near-Earth with the full or the
// truncated drag terms, deep-space by resonance), so that the lanes of one
// group take the same branches of the model, and packs each run of one
// kind into groups of `width` satellites: a Satellite<V> record for a lane
// type V of that width, followed by the lanes' epochs. The last group of a
// kind is padded by repeating its last satellite; padding lanes are
// computed and never written out.
//
// The lane width is that of the SIMD path in force when the catalogue is
// made (simd_path()): 8 with AVX-512, 4 with AVX2, 1 for plain code. Every
// path gives the bits of the scalar propagate() for every satellite and
// time, so results depend neither on the path nor on a satellite's place in
// the catalogue, nor on the number of threads.
//
// Nothing here touches the interpreter: a caller that holds the GIL passes
// a Poll that takes it back briefly to look for signals.
#pragma once

#include "sgp4_satellite.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

namespace orbivane::sgp4 {

// Times further than this from the epoch are refused (about 1,900 years):
// the deep-space resonance integration steps 720 minutes at a time from
// the epoch, and the model means nothing that far out.
inline constexpr double kMaxMinutes = 1.0e9;

// The record of a lane group: the satellites, then their epochs (UTC,
// two-part Julian dates) lane by lane. Flat like Satellite<L>.
template <class L> struct LaneGroup {
    Satellite<L> satellite;
    L epoch_jd1, epoch_jd2;
};

inline constexpr int kLaneGroupFields = kSatelliteFields + 2;

// The code paths, named by their instruction sets; the value is the width.
enum class SimdPath : int { scalar = 1, avx2 = 4, avx512 = 8 };

std::string_view simd_path_name(SimdPath path);

// The path new catalogues use: the widest that this processor runs and
// this build has, unless set_simd_path() chose another.
SimdPath simd_path();

// Whether `path` can run here (processor and build).
bool simd_path_available(SimdPath path);

// Makes new catalogues use `path`; false (and nothing changed) when it
// cannot run here. For tests and benchmarks.
bool set_simd_path(SimdPath path);

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

// Asked by the calling thread about every 50 ms while a call runs: true
// stops the call (workers finish the tile they are in, and stop).
struct Poll {
    bool (*stop)(void* context) = nullptr;
    void* context = nullptr;
};

enum class BatchStatus { done, time_out_of_range, stopped };

// Tile kernel of one width: the lanes of one group over times [j0, j1) of
// `times` (ignored when times.each: then the one time of each lane).
// sources holds the catalogue index of each lane, used the number of lanes
// that are not padding. False, with some rows unwritten, when a time is not
// within kMaxMinutes of an epoch.
using TileKernel = bool (*)(const double* group, const std::ptrdiff_t* sources, int used, const TimeGrid& times,
                            std::ptrdiff_t j0, std::ptrdiff_t j1, const Results& out);

// The kernels, one a translation unit, each compiled for its instruction
// set.
namespace batch_scalar {
bool propagate_tile(const double*, const std::ptrdiff_t*, int, const TimeGrid&, std::ptrdiff_t, std::ptrdiff_t,
                    const Results&);
}
namespace batch_avx2 {
bool propagate_tile(const double*, const std::ptrdiff_t*, int, const TimeGrid&, std::ptrdiff_t, std::ptrdiff_t,
                    const Results&);
}
namespace batch_avx512 {
bool propagate_tile(const double*, const std::ptrdiff_t*, int, const TimeGrid&, std::ptrdiff_t, std::ptrdiff_t,
                    const Results&);
}

// The number of threads a call uses by default: the cores this process may
// run on.
int default_thread_count();

class Catalogue {
public:
    // The satellites with their epochs (epoch_jd1[i] + epoch_jd2[i]), in
    // the lane width of the current SIMD path.
    Catalogue(const Satellite<double>* satellites, const double* epoch_jd1, const double* epoch_jd2, std::ptrdiff_t n);

    std::ptrdiff_t size() const { return size_; }
    SimdPath path() const { return path_; }
    std::ptrdiff_t group_count() const { return static_cast<std::ptrdiff_t>(used_.size()); }

    // Propagates to `times` into `out` on up to `threads` threads. Call
    // without the interpreter lock; poll (when given) runs on the calling
    // thread only. After a status other than done, rows of out may be left
    // unwritten or half-written.
    BatchStatus propagate(const TimeGrid& times, const Results& out, int threads, Poll poll = {}) const;

private:
    struct AlignedFree {
        void operator()(double* p) const { ::operator delete[](p, std::align_val_t{64}); }
    };

    const double* group(std::ptrdiff_t g) const { return groups_.get() + g * kLaneGroupFields * width(); }
    int width() const { return static_cast<int>(path_); }

    std::ptrdiff_t size_;
    SimdPath path_;
    TileKernel kernel_;
    std::unique_ptr<double[], AlignedFree> groups_;  // group_count() LaneGroup<V> records
    std::vector<std::ptrdiff_t> sources_;            // catalogue index of each lane, padding repeating one
    std::vector<int> used_;                          // lanes of each group that are not padding
};

}  // namespace orbivane::sgp4
