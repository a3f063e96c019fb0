// Batch propagation: the choice of the SIMD path, the packing of a
// catalogue into lane groups, and the threads.
//
// Threads are OpenMP's: the runtime ships with the compiler (libgomp with
// g++), is well kept, keeps its pool between calls, and a static schedule
// of tiles is a single pragma; no pool of our own to maintain. A call cuts
// its work into tiles of one lane group by one block of times and deals
// them round-robin to the threads (a static schedule with chunks of one
// tile: deep-space groups, which cost several times more, sit together at
// the end of the catalogue and are shared out evenly). Which thread
// computes a tile changes no bit of it.
#include "sgp4_batch.hpp"

#include <omp.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <numeric>

namespace orbivane::sgp4 {

namespace {

// Times a tile: enough work to amortise the scheduling (about 30 us for an
// 8-lane group of near-Earth satellites), little enough that the thread
// that polls for signals does so every 50 ms or so.
constexpr std::ptrdiff_t kTimeBlock = 64;

// Time blocks a chunk, the share that a thread takes at a time: large
// enough for long runs of writes to the same rows, small enough that a few
// groups over many times still give every thread work.
constexpr std::ptrdiff_t kBlocksPerChunk = 16;
constexpr auto kPollInterval = std::chrono::milliseconds(50);

// Propagations (lanes times times) a thread must have before another one
// is started: a call smaller than about 50 us a thread is not worth the
// wake-up of a second thread.
constexpr std::ptrdiff_t kWorkPerThread = 2048;

TileKernel kernel_of(simd::Width w) {
    switch (w) {
        case simd::Width::avx512: return avx512::propagate_tile;
        case simd::Width::avx2: return avx2::propagate_tile;
        default: return generic::propagate_tile;
    }
}

// Chosen once, when the module is loaded.
std::atomic<simd::Width> current_width{simd::chosen_width()};

// The process that started OpenMP's threads. The runtime keeps them
// between calls and does not survive fork(): a forked child that starts a
// team of more than one thread waits forever for threads it does not have.
// So only the process that owns the pool (or the first to start one) starts
// threads; a forked child computes on its calling thread alone.
std::atomic<pid_t> pool_owner{0};

bool may_start_threads() {
    const pid_t self = getpid();
    pid_t owner = 0;
    return pool_owner.compare_exchange_strong(owner, self) || owner == self;
}

// The order of kinds in a catalogue; lanes of one group are of one kind.
int kind_of(const Satellite<double>& s) {
    if (s.deep_space == 0.0) return s.simple_drag == 0.0 ? 0 : 1;
    return 2 + static_cast<int>(s.resonance);
}

}  // namespace

simd::Width simd_width() { return current_width.load(); }

bool set_simd_width(simd::Width w) {
    if (!simd::width_supported(w)) return false;
    current_width.store(w);
    return true;
}

int default_thread_count() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return std::max(1, omp_get_num_procs());
    return std::max(1, CPU_COUNT(&set));
}

Catalogue::Catalogue(const Satellite<double>* satellites, const double* epoch_jd1, const double* epoch_jd2,
                     std::ptrdiff_t n)
    : size_(n), width_(simd_width()), kernel_(kernel_of(width_)) {
    const int w = lanes();
    std::vector<std::ptrdiff_t> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), std::ptrdiff_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::ptrdiff_t a, std::ptrdiff_t b) { return kind_of(satellites[a]) < kind_of(satellites[b]); });

    // Lanes: each run of one kind, padded to whole groups with its last
    // satellite.
    for (std::ptrdiff_t start = 0; start < n;) {
        const int kind = kind_of(satellites[order[start]]);
        std::ptrdiff_t stop = start;
        while (stop < n && kind_of(satellites[order[stop]]) == kind) ++stop;
        for (std::ptrdiff_t first = start; first < stop; first += w) {
            const int used = static_cast<int>(std::min<std::ptrdiff_t>(w, stop - first));
            for (int k = 0; k < w; ++k) sources_.push_back(order[first + std::min(k, used - 1)]);
            used_.push_back(used);
        }
        start = stop;
    }

    // Transpose: field f of lane k of group g is double (g * fields + f) * w + k.
    const std::size_t doubles = used_.size() * kLaneGroupFields * static_cast<std::size_t>(w);
    if (doubles == 0) return;
    groups_.reset(static_cast<double*>(::operator new[](doubles * sizeof(double), std::align_val_t{64})));
    double fields[kLaneGroupFields];
    for (std::size_t lane = 0; lane < sources_.size(); ++lane) {
        const std::ptrdiff_t i = sources_[lane];
        std::memcpy(fields, &satellites[i], sizeof(Satellite<double>));
        fields[kSatelliteFields] = epoch_jd1[i];
        fields[kSatelliteFields + 1] = epoch_jd2[i];
        double* record = groups_.get() + (lane / w) * kLaneGroupFields * w;
        for (int f = 0; f < kLaneGroupFields; ++f) record[f * w + lane % w] = fields[f];
    }
}

BatchStatus Catalogue::propagate(const TimeGrid& times, const Results& out, int threads, Poll poll) const {
    using clock = std::chrono::steady_clock;
    const std::ptrdiff_t blocks = times.each ? 1 : (times.count + kTimeBlock - 1) / kTimeBlock;
    const std::ptrdiff_t tiles = group_count() * blocks;
    if (tiles == 0) return BatchStatus::done;
    const int w = lanes();
    const std::ptrdiff_t work = static_cast<std::ptrdiff_t>(sources_.size()) * (times.each ? 1 : times.count);
    const std::ptrdiff_t most = std::max<std::ptrdiff_t>(1, std::min(tiles, work / kWorkPerThread));
    int team = static_cast<int>(std::clamp<std::ptrdiff_t>(threads, 1, most));
    if (team > 1 && !may_start_threads()) team = 1;

    enum : int { running, bad_time, stopped };
    std::atomic<int> status{running};

    // Threads take chunks of tiles in turn, each a run of consecutive time
    // blocks of one group: a thread writes long runs of the same rows, and
    // two threads seldom write near each other. Thread 0, the calling
    // thread, polls between its tiles.
    const std::ptrdiff_t per_group = (blocks + kBlocksPerChunk - 1) / kBlocksPerChunk;
    const std::ptrdiff_t chunks = group_count() * per_group;
    std::atomic<std::ptrdiff_t> next_chunk{0};
    auto compute = [&](int id, clock::time_point& next_poll) {
        for (std::ptrdiff_t chunk; (chunk = next_chunk.fetch_add(1, std::memory_order_relaxed)) < chunks;) {
            const std::ptrdiff_t g = chunk / per_group;
            const std::ptrdiff_t first = (chunk % per_group) * kBlocksPerChunk;
            for (std::ptrdiff_t b = first; b < std::min(blocks, first + kBlocksPerChunk); ++b) {
                if (status.load(std::memory_order_relaxed) != running) return;
                const std::ptrdiff_t j0 = b * kTimeBlock;
                const std::ptrdiff_t j1 = std::min(times.count, j0 + kTimeBlock);
                if (!kernel_(group(g), &sources_[static_cast<std::size_t>(g * w)],
                             used_[static_cast<std::size_t>(g)], times, j0, j1, out)) {
                    int expected = running;
                    status.compare_exchange_strong(expected, bad_time);
                    return;
                }
                if (id == 0 && poll.stop && clock::now() >= next_poll) {
                    next_poll = clock::now() + kPollInterval;
                    int expected = running;
                    if (poll.stop(poll.context)) status.compare_exchange_strong(expected, stopped);
                }
            }
        }
    };

    if (team == 1) {
        auto next_poll = clock::now() + kPollInterval;
        compute(0, next_poll);
    } else {
        std::mutex mutex;
        std::condition_variable worker_done;
        int finished = 0;
        // Once done, thread 0 polls on until the other threads are.
#pragma omp parallel num_threads(team)
        {
            const int id = omp_get_thread_num();
            const int count = omp_get_num_threads();
            auto next_poll = clock::now() + kPollInterval;
            compute(id, next_poll);
            if (id != 0) {
                std::lock_guard lock(mutex);
                ++finished;
                worker_done.notify_one();
            } else {
                std::unique_lock lock(mutex);
                const auto all_done = [&] { return finished == count - 1; };
                while (!all_done()) {
                    if (!poll.stop || status.load() != running) {
                        worker_done.wait(lock, all_done);
                        break;
                    }
                    if (worker_done.wait_until(lock, next_poll, all_done)) break;
                    lock.unlock();
                    next_poll = clock::now() + kPollInterval;
                    int expected = running;
                    if (poll.stop(poll.context)) status.compare_exchange_strong(expected, stopped);
                    lock.lock();
                }
            }
        }
    }
    switch (status.load()) {
        case bad_time: return BatchStatus::time_out_of_range;
        case stopped: return BatchStatus::stopped;
        default: return BatchStatus::done;
    }
}

}  // namespace orbivane::sgp4
