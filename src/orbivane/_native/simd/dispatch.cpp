// Run-time choice of the SIMD width (dispatch.hpp). Compiled plain.
#include "dispatch.hpp"

#include <cstdlib>
#include <cstring>

namespace orbivane::simd {

bool width_supported(Width w) noexcept {
    __builtin_cpu_init();
    switch (w) {
        case Width::scalar:
            return true;
        case Width::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Width::avx512:
            return width_supported(Width::avx2) && __builtin_cpu_supports("avx512f") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    }
    return false;
}

Width widest_width() noexcept {
    Width widest = Width::scalar;
    for (Width w : kWidths)
        if (width_supported(w)) widest = w;
    return widest;
}

const char* width_name(Width w) noexcept {
    switch (w) {
        case Width::scalar:
            return "scalar";
        case Width::avx2:
            return "avx2";
        case Width::avx512:
            return "avx512";
    }
    return "?";
}

bool width_from_name(const char* name, Width& w) noexcept {
    for (Width candidate : kWidths) {
        if (std::strcmp(name, width_name(candidate)) == 0) {
            w = candidate;
            return true;
        }
    }
    return false;
}

Width chosen_width() noexcept {
    static const Width chosen = [] {
        const char* requested = std::getenv("ORBIVANE_SIMD");
        Width w;
        if (requested && width_from_name(requested, w) && width_supported(w)) return w;
        return widest_width();
    }();
    return chosen;
}

}  // namespace orbivane::simd
