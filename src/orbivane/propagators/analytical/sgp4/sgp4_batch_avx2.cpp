// The tile kernel of AVX2 and FMA: lane groups of four satellites.
// Compiled with the instruction set's flags (CMakeLists.txt); called only
// once the processor is known to run them.
#include "sgp4_batch_kernel.hpp"

static_assert(ORBIVANE_SIMD_AVX2, "built without the avx2 flags");

namespace orbivane::sgp4::batch_avx2 {

bool propagate_tile(const double* group, const std::ptrdiff_t* sources, int used, const TimeGrid& times,
                    std::ptrdiff_t j0, std::ptrdiff_t j1, const Results& out) {
    return sgp4::propagate_tile<simd::lane4>(group, sources, used, times, j0, j1, out);
}

}  // namespace orbivane::sgp4::batch_avx2
