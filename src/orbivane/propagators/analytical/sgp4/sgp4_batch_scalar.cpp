// The tile kernel of plain x86-64 code: lane groups of one satellite.
#include "sgp4_batch_kernel.hpp"

namespace orbivane::sgp4::batch_scalar {

bool propagate_tile(const double* group, const std::ptrdiff_t* sources, int used, const TimeGrid& times,
                    std::ptrdiff_t j0, std::ptrdiff_t j1, const Results& out) {
    return sgp4::propagate_tile<double>(group, sources, used, times, j0, j1, out);
}

}  // namespace orbivane::sgp4::batch_scalar
