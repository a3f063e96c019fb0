// The instruction set a translation unit is compiled for, and the namespace
// that keeps its code apart from the code of the other widths.
//
// A model written once over the lane types is compiled several times into
// one library: a plain translation unit (no -m flags; the scalar lane), one
// built with -mavx2 -mfma (the 4-wide lane) and one built with -mavx512f
// -mavx512dq -mavx512vl (the 8-wide lane). Each of them instantiates the
// same inline functions and templates, and the linker keeps one copy of each
// inline symbol for the whole library: were the scalar lane's sin(double)
// one symbol in all three, the linker could keep the AVX-512 copy and the
// plain path would run AVX-512 instructions on a processor without them.
//
// So every definition in these headers lives in a namespace named after the
// instruction set of the translation unit that compiles it:
//
//   orbivane::simd::generic   plain x86-64 (SSE2)
//   orbivane::simd::avx2      AVX2 and FMA
//   orbivane::simd::avx512    AVX-512 F, DQ and VL (and AVX2, FMA)
//
// and a using-directive makes that namespace's names the names of
// orbivane::simd itself: code calls orbivane::simd::sin(x), and gets the copy
// compiled with its own flags, under a mangled name of its own. Code of
// another width is reached only through functions that a width's
// translation unit defines in its own namespace and that the others declare
// under that name, e.g. orbivane::simd::avx512::propagate(...), called by the
// dispatcher once it knows that the processor runs AVX-512 (dispatch.hpp).
//
// Code built on these headers and compiled in more than one width (a model
// over L) follows the same rule: its definitions go in
// `namespace <its namespace>::ORBIVANE_SIMD_TARGET`, with a using-directive
// in <its namespace>. A width's translation unit instantiates no library
// template that emits code of its own (containers, algorithms): such code
// would be shared across the widths in the same way. Type traits and
// constants evaluated at compile time are harmless.
//
// The lane types themselves exist only where their instructions may be
// used: the 4-wide lane (lanes_avx2.hpp) where ORBIVANE_SIMD_AVX2 is 1, the
// 8-wide lane (lanes_avx512.hpp) where ORBIVANE_SIMD_AVX512 is 1. A partial
// set of flags (-mavx alone, -mavx2 without -mfma, ...) would put code that
// needs more than plain x86-64 in the generic namespace: it is refused.
#pragma once

#if defined(__AVX512F__) && defined(__AVX512DQ__) && defined(__AVX512VL__) && defined(__AVX2__) && \
    defined(__FMA__)
#define ORBIVANE_SIMD_TARGET avx512
#define ORBIVANE_SIMD_AVX2 1
#define ORBIVANE_SIMD_AVX512 1
#elif defined(__AVX512F__)
#error "lane code needs all of -mavx512f -mavx512dq -mavx512vl -mavx2 -mfma, or none of them"
#elif defined(__AVX2__) && defined(__FMA__)
#define ORBIVANE_SIMD_TARGET avx2
#define ORBIVANE_SIMD_AVX2 1
#define ORBIVANE_SIMD_AVX512 0
#elif defined(__AVX__) || defined(__FMA__)
#error "lane code needs both -mavx2 and -mfma, or neither"
#else
#define ORBIVANE_SIMD_TARGET generic
#define ORBIVANE_SIMD_AVX2 0
#define ORBIVANE_SIMD_AVX512 0
#endif

namespace orbivane::simd {

namespace ORBIVANE_SIMD_TARGET {}
using namespace ORBIVANE_SIMD_TARGET;

}  // namespace orbivane::simd
