// Internal header of orbivane.mathtools.quiverel.quiverel: what its two
// source files share.
//
// quiverel.cpp holds the module itself (its state, initialisation and
// exported table) and the 3-vector kernels; quiverel_batch.cpp holds the
// batch kernels, their result arrays and the checks on them.
#pragma once

#include "capi_support.hpp"
#include "quiverel.h"

namespace orbivane::quiverel {

// The source path that traceback entries and profiler frames show.
inline constexpr const char* kSource = "orbivane/mathtools/quiverel/quiverel";

// Defined in quiverel.cpp.

// The module's state; its dictionary is the globals of every traceback
// entry and profiler frame.
extern orbivane::ModuleState module_state;

// normalize's traceback entry, which normalize_array appends when the row
// kernel fails.
extern orbivane::CodeSite tb_normalize;

// Defined in quiverel_batch.cpp.

// The two batch kernels, as the table exports them. They need the
// interpreter lock.
orbivane_memviewslice norm_array(orbivane_memviewslice a);
orbivane_memviewslice normalize_array(orbivane_memviewslice a);

// Initialisation steps of the batch kernels, in the order the module's exec
// runs them. make_batch_constants: the interned names and the shape pieces
// of the numpy.zeros call, all or nothing. ready_batch_types: the profiler's
// code objects and the result owner type, ready before any kernel is
// published. choose_row_path: the fastest row loops the processor runs.
int make_batch_constants();
int ready_batch_types();
void choose_row_path();

}  // namespace orbivane::quiverel
