"""Vector toolkit speed: the 3-vector kernels called from C in a tight loop,
and the batch kernels against their NumPy peers, as ratios measured in the
same run.

    python benchmarks/bench_quiverel.py [--quick]

The C timing loops (benchmarks/quiverel_bench.cpp) are compiled with the
test clients' builder against the installed headers.
"""

import sys
import timeit
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from native_build import compile_extension, load_extension  # noqa: E402

from orbivane.mathtools.quiverel import vectors  # noqa: E402

bench = load_extension(compile_extension(Path(__file__).with_name("quiverel_bench.cpp"),
                                         "quiverel_bench"), "quiverel_bench")


def best(stmt, repeat):
    """Best seconds per call of stmt over `repeat` single calls."""
    return min(timeit.repeat(stmt, number=1, repeat=repeat))


def kernels():
    calls = 2_000_000
    ns = {k: bench.kernel_ns(k, calls) for k in
          ("scale", "add", "sub", "dot", "cross", "norm", "normalize", "angle", "acos")}
    print("3-vector kernels called from C (interpreter lock held), ns per call")
    print(f"{'kernel':<12}{'ns':>8}")
    for k, v in ns.items():
        label = "bare acos" if k == "acos" else k
        print(f"{label:<12}{v:>8.2f}")
    print(f"normalize - norm: {ns['normalize'] - ns['norm']:.2f} ns (its per-call lock check)")
    print(f"angle - acos:     {ns['angle'] - ns['acos']:.2f} ns")
    print()


def batch(sizes):
    header = (f"{'N':>10} {'layout':<10} {'caller':<7}{'norm_array us':>14}{'linalg.norm':>12}"
              f"{'sqrt(einsum)':>13}{'copy':>7}  {'normalize_array us':>19}{'a/norm':>8}{'copy':>7}")
    print("Batch kernels: time per call in us, then NumPy peer time / ours (higher is faster)")
    print(header)
    for n in sizes:
        rng = np.random.default_rng(1)
        c = rng.normal(size=(n, 3))
        repeat = 5 if n >= 10**7 else 50 if n >= 10**5 else 2000
        layouts = {"C": c, "Fortran": np.asfortranarray(c)}
        step2 = np.zeros((n, 6))
        step2[:, ::2] = c
        layouts["col step 2"] = step2[:, ::2]
        for name, a in layouts.items():
            t_copy = best(lambda: a.copy(), repeat)
            t_lnorm = best(lambda: np.linalg.norm(a, axis=1), repeat)
            t_einsum = best(lambda: np.sqrt(np.einsum("ij,ij->i", a, a)), repeat)
            t_div = best(lambda: a / np.linalg.norm(a, axis=1)[:, None], repeat)
            rows = [("C", bench.batch_ns("norm_array", a, repeat) * 1e-9,
                     bench.batch_ns("normalize_array", a, repeat) * 1e-9)]
            if name == "C":
                rows.append(("Python", best(lambda: vectors.norm_array(a), repeat),
                             best(lambda: vectors.normalize_array(a), repeat)))
            for caller, t_norm, t_unit in rows:
                print(f"{n:>10} {name:<10} {caller:<7}{t_norm * 1e6:>14.1f}{t_lnorm / t_norm:>12.2f}"
                      f"{t_einsum / t_norm:>13.2f}{t_copy / t_norm:>7.2f}  {t_unit * 1e6:>19.1f}"
                      f"{t_div / t_unit:>8.2f}{t_copy / t_unit:>7.2f}")
    print()


def main():
    quick = "--quick" in sys.argv
    kernels()
    batch([10**3, 10**5] if quick else [10**3, 10**5, 10**7])


if __name__ == "__main__":
    main()
