// The SIMD width that batch code runs at, chosen at run time.
//
// Batch code is compiled once per width (target.hpp); its entry points take
// the width as an argument, as the vector toolkit's row loops take their
// path, and a module asks once, at initialisation, which width to use:
// normally the widest that the processor runs. Tests call the entry points
// at every supported width directly.
//
// This header only declares; dispatch.cpp is compiled plain (it must run on
// any x86-64) into each module that dispatches.
#pragma once

namespace orbivane::simd {

enum class Width : int {
    scalar = 1,  // the scalar lane, plain x86-64 code
    avx2 = 4,    // 4 lanes: AVX2 and FMA
    avx512 = 8,  // 8 lanes: AVX-512 F, DQ and VL (with AVX2 and FMA)
};

// Every width, narrowest first.
inline constexpr Width kWidths[] = {Width::scalar, Width::avx2, Width::avx512};

// Whether the processor (and the operating system, for the AVX-512 state)
// runs a width's instructions.
bool width_supported(Width w) noexcept;

// The widest supported width.
Width widest_width() noexcept;

// "scalar", "avx2" or "avx512".
const char* width_name(Width w) noexcept;

// The width that `name` names; false if none.
bool width_from_name(const char* name, Width& w) noexcept;

// The width for a module to run at: widest_width(), unless the environment
// variable ORBIVANE_SIMD names a width that the processor supports (so that
// a whole test run can be repeated at a narrower width). Decided at the
// first call and the same ever after.
Width chosen_width() noexcept;

}  // namespace orbivane::simd
