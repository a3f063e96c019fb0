"""Elementary functions over the lane types (src/orbivane/_native/simd): ns
per value at each SIMD width, against the C library's scalar functions over
the same values in the same run. "scalar" is the plain build (every fused
multiply-add a call into the C library); "avx2:double" the scalar lane
compiled with the AVX2 flags.

    python benchmarks/bench_elementary.py [--quick]

Each figure is the median of RUNS runs; a round times every contender of
every function once, in a shuffled order, so that a slow spell of the
machine falls on all of them alike. Arguments: sin and cos on [-50, 50],
atan2 on normal deviates, fmod(x, 2 pi) for x on [-1e4, 1e4], cbrt on
[1e-3, 1e3] (log-uniform). The C timing loops (benchmarks/elementary_bench.cpp)
and the width kernels of the tests are compiled with the test clients'
builder.
"""

import random
import statistics
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from native_build import (INTERNAL_INCLUDE, NATIVE_DIR, PACKAGE_SOURCE, PACKAGE_WARNINGS,  # noqa: E402
                          SIMD_WIDTH_FLAGS, compile_extension, load_extension)

bench = load_extension(compile_extension(
    Path(__file__).with_name("elementary_bench.cpp"), "elementary_bench",
    [f"-I{INTERNAL_INCLUDE}", f"-I{NATIVE_DIR}", *PACKAGE_WARNINGS],
    [PACKAGE_SOURCE / "_native/simd/dispatch.cpp"],
    [(NATIVE_DIR / "elementary_width.cpp", flags) for flags in SIMD_WIDTH_FLAGS.values()]), "elementary_bench")

N = 2048  # values per pass: three arrays of them stay in L1


def arguments(rng):
    return {
        "sin": (rng.uniform(-50, 50, N), np.ones(N)),
        "cos": (rng.uniform(-50, 50, N), np.ones(N)),
        "sincos": (rng.uniform(-50, 50, N), np.ones(N)),
        "atan2": (rng.normal(size=N), rng.normal(size=N)),
        "fmod": (rng.uniform(-1e4, 1e4, N), np.full(N, 2 * np.pi)),
        "cbrt": (np.exp(rng.uniform(np.log(1e-3), np.log(1e3), N)), np.ones(N)),
    }


def main():
    quick = "--quick" in sys.argv
    runs, repeats = (3, 100) if quick else (11, 1000)
    contenders = ["libm"]
    for w in ("scalar", "avx2:double", "avx2", "avx512"):
        try:
            bench.ns_per_value("sin", w, np.ones(8).tobytes(), np.ones(8).tobytes(), 1)
            contenders.append(w)
        except ValueError:
            pass
    args = {f: tuple(v.tobytes() for v in a) for f, a in arguments(np.random.default_rng(3)).items()}
    times = {(f, c): [] for f in args for c in contenders}
    order = list(times)
    for r in range(runs):
        random.Random(r).shuffle(order)
        for f, c in order:
            times[f, c].append(bench.ns_per_value(f, c, *args[f], repeats))
    median = {k: statistics.median(v) for k, v in times.items()}
    print(f"ns per value, median of {runs} alternating runs of {repeats} passes over {N} values;")
    print("in brackets: libm's time / ours (higher is faster)")
    print(f"{'function':<10}" + "".join(f"{c:>18}" for c in contenders))
    for f in args:
        cells = [f"{median[f, 'libm']:>18.2f}"]
        cells += [f"{median[f, c]:>8.2f} ({median[f, 'libm'] / median[f, c]:>5.2f}x)" for c in contenders[1:]]
        print(f"{f:<10}" + "".join(cells))


if __name__ == "__main__":
    main()
