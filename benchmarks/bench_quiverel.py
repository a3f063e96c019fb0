"""Vector toolkit speed: the 3-vector kernels called from C in a tight loop,
and the batch kernels against their NumPy peers, as ratios measured in the
same run.

    python benchmarks/bench_quiverel.py [--quick] [--plot]

Batch timings are medians of RUNS runs that alternate between our kernels and
each peer, so that a slow spell of the machine falls on all of them alike.
--plot also writes docs/performance.png (nanoseconds per row against N; needs
matplotlib, from the `bench` extra).

The C timing loops (benchmarks/quiverel_bench.cpp) are compiled with the
test clients' builder against the installed headers.
"""

import platform
import random
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from native_build import compile_extension, load_extension  # noqa: E402

from orbivane.mathtools.quiverel import vectors  # noqa: E402

bench = load_extension(compile_extension(Path(__file__).with_name("quiverel_bench.cpp"),
                                         "quiverel_bench"), "quiverel_bench")


KERNELS = ("scale", "add", "sub", "dot", "cross", "norm", "normalize", "angle", "acos")


def kernels(runs):
    """Medians over `runs` rounds; each round times every kernel once, in
    turn, so that norm and normalize alternate under the same load."""
    calls = 2_000_000
    ns = {k: [] for k in KERNELS}
    for _ in range(runs):
        for k in KERNELS:
            ns[k].append(bench.kernel_ns(k, calls))
    median = {k: statistics.median(v) for k, v in ns.items()}
    print(f"3-vector kernels called from C (interpreter lock held), ns per call, {runs} alternating runs")
    print(f"{'kernel':<12}{'median':>8}{'min':>8}")
    for k in KERNELS:
        label = "bare acos" if k == "acos" else k
        print(f"{label:<12}{median[k]:>8.2f}{min(ns[k]):>8.2f}")
    extra = statistics.median(u - n for u, n in zip(ns["normalize"], ns["norm"]))
    print(f"normalize - norm: {extra:.2f} ns, median of the runs' differences (goal: at most 5 ns;"
          " its division and its check point)")
    print(f"angle - acos:     {median['angle'] - median['acos']:.2f} ns")
    print()


RUNS = 7

# The batch contenders, each timed as a function of (a, calls) -> seconds per
# call: our kernels from C and through the Python client, the NumPy peers, and
# a.copy(), which moves as many bytes as normalize_array and so shows what the
# memory allows.
NORM_PEERS = {
    "linalg.norm": lambda a: np.linalg.norm(a, axis=1),
    "sqrt(einsum)": lambda a: np.sqrt(np.einsum("ij,ij->i", a, a)),
}
UNIT_PEERS = {"a / norm": lambda a: a / np.linalg.norm(a, axis=1)[:, None]}


def seconds(fn, a, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn(a)
    return (time.perf_counter() - start) / calls


def contenders(python=True):
    """name -> timer(a, calls): ours from C (and through Python), the NumPy
    peers and a.copy()."""
    timers = {
        "norm_array C": lambda a, k: bench.batch_ns("norm_array", a, k) * 1e-9,
        "normalize_array C": lambda a, k: bench.batch_ns("normalize_array", a, k) * 1e-9,
        "a.copy()": lambda a, k: seconds(np.ndarray.copy, a, k),
    }
    for name, fn in NORM_PEERS.items():
        timers[name] = lambda a, k, fn=fn: seconds(fn, a, k)
    if python:
        timers["norm_array Python"] = lambda a, k: seconds(vectors.norm_array, a, k)
    for name, fn in UNIT_PEERS.items():
        timers[name] = lambda a, k, fn=fn: seconds(fn, a, k)
    if python:
        timers["normalize_array Python"] = lambda a, k: seconds(vectors.normalize_array, a, k)
    return timers


def medians(a, timers, runs=RUNS):
    """Median seconds per call of each timer over `runs` alternating runs.
    A run makes enough calls to last about a millisecond. The order changes
    from round to round: what a contender finds (memory the allocator has
    just released, or fresh pages) depends on who ran before it."""
    calls = {name: max(1, int(1e-3 / max(t(a, 1), 1e-7))) for name, t in timers.items()}
    times = {name: [] for name in timers}
    order = list(timers)
    for r in range(runs):
        random.Random(r).shuffle(order)
        for name in order:
            times[name].append(timers[name](a, calls[name]))
    return {name: statistics.median(v) for name, v in times.items()}


def layouts(n):
    c = np.random.default_rng(1).normal(size=(n, 3))
    step2 = np.zeros((n, 6))
    step2[:, ::2] = c
    return {"C": c, "Fortran": np.asfortranarray(c), "col step 2": step2[:, ::2]}


def batch(sizes):
    print("Batch kernels: us per call; NumPy peers as peer time / ours (higher is faster); "
          f"/copy = our time / a.copy() time. Medians of {RUNS} alternating runs.")
    print(f"{'N':>10} {'layout':<11}{'caller':<7}{'norm_array us':>14}{'linalg.norm':>12}{'sqrt(einsum)':>13}"
          f"{'/copy':>7}  {'normalize_array us':>19}{'a/norm':>8}{'/copy':>7}")
    for n in sizes:
        c_order = None
        for layout, a in layouts(n).items():
            m = medians(a, contenders(python=layout == "C"))
            for caller in ("C", "Python") if layout == "C" else ("C",):
                t_norm, t_unit = m[f"norm_array {caller}"], m[f"normalize_array {caller}"]
                print(f"{n:>10} {layout:<11}{caller:<7}{t_norm * 1e6:>14.1f}"
                      f"{m['linalg.norm'] / t_norm:>12.2f}{m['sqrt(einsum)'] / t_norm:>13.2f}"
                      f"{t_norm / m['a.copy()']:>7.2f}  {t_unit * 1e6:>19.1f}"
                      f"{m['a / norm'] / t_unit:>8.2f}{t_unit / m['a.copy()']:>7.2f}")
            if c_order is None:
                c_order = m
            else:
                print(f"{'':>10} {'':<11}{'vs C':<7}{m['norm_array C'] / c_order['norm_array C']:>14.2f}"
                      f"{'':>32}  {m['normalize_array C'] / c_order['normalize_array C']:>19.2f}")
    print()


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{model}, NumPy {np.__version__}, Python {platform.python_version()}"


def plot(path, sizes):
    """ns per row against N, C order: ours from C and through Python, the
    NumPy peers and a.copy()."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    curves = {}
    for n in sizes:
        for name, t in medians(layouts(n)["C"], contenders()).items():
            curves.setdefault(name, []).append(t / n * 1e9)
    style = {
        "norm_array C": ("tab:blue", "-", "o"), "norm_array Python": ("tab:blue", "--", "o"),
        "normalize_array C": ("tab:red", "-", "s"), "normalize_array Python": ("tab:red", "--", "s"),
        "linalg.norm": ("tab:cyan", ":", "^"), "sqrt(einsum)": ("tab:green", ":", "v"),
        "a / norm": ("tab:orange", ":", "D"), "a.copy()": ("black", "-.", None),
    }
    fig, ax = plt.subplots(figsize=(8, 5.2), dpi=100)
    for name, (color, line, marker) in style.items():
        label = name if name.startswith(("norm", "a.copy")) else f"NumPy {name}"
        ax.plot(sizes, curves[name], color=color, linestyle=line, marker=marker, markersize=4, label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("N (rows of 3 doubles, C order)")
    ax.set_ylabel("ns per row")
    ax.set_title(f"Batch kernels against NumPy, medians of {RUNS} alternating runs", fontsize=10)
    ax.text(0.01, 0.01, machine(), transform=ax.transAxes, fontsize=7, color="0.35")
    ax.grid(True, which="both", color="0.9")
    ax.legend(fontsize=8, ncol=4, loc="upper center", bbox_to_anchor=(0.5, -0.13))
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, bbox_inches="tight")
    print(f"wrote {path}")


def main():
    quick = "--quick" in sys.argv
    print(machine())
    kernels(7 if quick else 15)
    batch([10**3, 10**5] if quick else [10**3, 10**5, 10**7])
    if "--plot" in sys.argv:
        # 1e2 to 1e7 rows, three sizes a decade (one a decade with --quick).
        sizes = [10**e for e in range(2, 8)] if quick else [round(10 ** (e / 3)) for e in range(6, 22)]
        plot(Path(__file__).resolve().parent.parent / "docs" / "performance.png", sizes)


if __name__ == "__main__":
    main()
