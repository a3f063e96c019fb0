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
// The lane width is the SIMD width in force when the catalogue is made
// (simd_width()): 8 with AVX-512, 4 with AVX2, 1 for plain code. Every
// width gives the bits of the scalar propagate() for every satellite and
// time, so results depend neither on the width nor on a satellite's place
// in the catalogue, nor on the number of threads.
//
// Nothing here touches the interpreter: a caller that holds the GIL passes
// a Poll that takes it back briefly to look for signals.
#pragma once

#include "sgp4_satellite.hpp"
#include "sgp4_tiles.hpp"
#include "simd/dispatch.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace orbivane::sgp4 {

// The SIMD width new catalogues use (simd/dispatch.hpp): the widest that
// this processor runs, or the width that ORBIVANE_SIMD names, unless
// set_simd_width() chose another.
simd::Width simd_width();

// Makes new catalogues use width `w`; false (and nothing changed) when the
// processor cannot run it. For tests and benchmarks.
bool set_simd_width(simd::Width w);

// Asked by the calling thread about every 50 ms while a call runs: true
// stops the call (workers finish the tile they are in, and stop).
struct Poll {
    bool (*stop)(void* context) = nullptr;
    void* context = nullptr;
};

enum class BatchStatus { done, time_out_of_range, stopped };

// The number of threads a call uses by default: the cores this process may
// run on.
int default_thread_count();

class Catalogue {
public:
    // The satellites with their epochs (epoch_jd1[i] + epoch_jd2[i]), in
    // the current SIMD width.
    Catalogue(const Satellite<double>* satellites, const double* epoch_jd1, const double* epoch_jd2, std::ptrdiff_t n);

    std::ptrdiff_t size() const { return size_; }
    simd::Width width() const { return width_; }
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

    const double* group(std::ptrdiff_t g) const { return groups_.get() + g * kLaneGroupFields * lanes(); }
    int lanes() const { return static_cast<int>(width_); }

    std::ptrdiff_t size_;
    simd::Width width_;
    TileKernel kernel_;
    std::unique_ptr<double[], AlignedFree> groups_;  // group_count() LaneGroup<V> records
    std::vector<std::ptrdiff_t> sources_;            // catalogue index of each lane, padding repeating one
    std::vector<int> used_;                          // lanes of each group that are not padding
};

}  // namespace orbivane::sgp4
