"""SGP4Array against its peers, measured in the same run (medians of
alternating runs), double precision, on catalogues of element sets made up
as two-line text that every contender reads:

  (a) 1,000 low-orbit satellites x 1,440 one-minute times on one core (the
      process pinned to it): SGP4Array.propagate against heyoka's vectorised
      SGP4 propagator (its compilation not counted; goal: at least 1.5 times
      faster), the sgp4 package's SatrecArray.sgp4 (goal: 6 times) and
      satkit.sgp4;
  (b) the same on every core: SGP4Array with 1, 2 and all threads (goal:
      1.8 times the one-thread speed on 2 cores), making its results and
      into out= arrays made once (a screening loop's way: the results of a
      call are 70 MB, whose pages the kernel zeroes on first touch, a cost
      that two threads share badly), heyoka with its own pool;
  (c) a mixed catalogue of 1,000, a third of it deep space (a third of
      those in each resonance), on one core: against SatrecArray.sgp4 (goal:
      3 times faster) and satkit (heyoka has no deep-space model);
  (d) memory: the peak of traced allocations during a propagation against
      the size of its results (goal: within 10%).

    python benchmarks/bench_sgp4_batch.py [--plot]

--plot writes docs/sgp4_batch.png: ns per satellite-time against the number
of satellites for every contender, on one core. Each phase runs in a fresh
interpreter, so that a peer's thread pool is sized by the cores that phase
allows.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path

import numpy as np

EPOCH = "24180.50000000"  # 2024 June 28, 12h UTC
EPOCH_JD, EPOCH_FR = 2460489.5, 0.5


def checksum(line):
    return sum(int(c) if c.isdigit() else c == "-" for c in line) % 10


def tle_lines(number, mean_motion, e, i, node, perigee, anomaly, bstar):
    """Two lines of fixed-width text with their checksums."""
    mantissa, exponent = f"{bstar:.4e}".split("e")
    power = int(exponent) + 1
    drag = f"{'-' if bstar < 0 else ' '}{abs(float(mantissa)) * 10000:05.0f}{'-' if power < 0 else '+'}{abs(power)}"
    line1 = f"1 {number:05d}U 24001A   {EPOCH}  .00000000  00000-0 {drag} 0  999"
    line2 = (f"2 {number:05d} {i:8.4f} {node:8.4f} {round(e * 1e7):07d} {perigee:8.4f} {anomaly:8.4f} "
             f"{mean_motion:11.8f}    1")
    return line1 + str(checksum(line1)), line2 + str(checksum(line2))


def catalogue(n, deep_fraction, seed=1):
    """n element sets as text: low orbits, and a deep_fraction of deep-space
    ones, a third each of them near the one-day and the half-day resonances."""
    rng = np.random.default_rng(seed)
    sets = []
    for k in range(n):
        angles = rng.uniform(0.0, 360.0, 3)
        bstar = rng.uniform(1e-5, 5e-4)
        if k < round(n * deep_fraction):
            kind = k % 3
            mean_motion, e, i = ((rng.uniform(0.99, 1.01), rng.uniform(0.0, 0.01), rng.uniform(0.0, 15.0)),
                                 (rng.uniform(2.0, 2.01), rng.uniform(0.6, 0.74), rng.uniform(60.0, 66.0)),
                                 (rng.uniform(1.5, 6.0), rng.uniform(0.0, 0.3), rng.uniform(0.0, 90.0)))[kind]
            bstar = 1e-4
        else:
            mean_motion, e, i = rng.uniform(14.0, 16.0), rng.uniform(0.0, 0.02), rng.uniform(0.0, 100.0)
        sets.append(tle_lines(k + 1, mean_motion, e, i, *angles, bstar))
    order = rng.permutation(n)
    return [sets[k] for k in order]


def alternating_medians(contenders, rounds):
    """Seconds per call of each contender: the median over rounds in which
    the contenders take turns."""
    times = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, call in contenders.items():
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def contenders(lines, minutes, *, peers, threads_list=(1,), into_out=False):
    """Callables that propagate every element set to every time (ours also
    into arrays made once, with into_out)."""
    from sgp4.api import WGS72, Satrec, SatrecArray

    from orbivane.propagators.analytical.sgp4.elements import Elements
    from orbivane.propagators.analytical.sgp4.propagator import SGP4Array

    ours = SGP4Array([Elements.from_lines(*pair) for pair in lines])
    calls = {}
    out = tuple(np.empty(shape, dtype) for shape, dtype in [((len(lines), len(minutes), 3), float)] * 2
                + [((len(lines), len(minutes)), np.int8)]) if into_out else None
    for threads in threads_list:
        name = f"orbivane ({threads} thread{'s' * (threads > 1)})"
        calls[name] = lambda t=threads: ours.propagate(minutes, threads=t)
        if into_out:
            calls[name + ", out="] = lambda t=threads: ours.propagate(minutes, threads=t, out=out)
    satrecs = [Satrec.twoline2rv(*pair, WGS72) for pair in lines]
    if "sgp4" in peers:
        array = SatrecArray(satrecs)
        jd = np.full(len(minutes), EPOCH_JD)
        fr = EPOCH_FR + minutes / 1440.0
        calls["sgp4 SatrecArray"] = lambda: array.sgp4(jd, fr)
        # The contenders compute the same states.
        _, r_sgp4, _ = array.sgp4(jd, fr)
        r_ours = ours.propagate(minutes)[0]
        assert np.nanmax(np.abs(r_ours - r_sgp4)) < 1e-5
    if "heyoka" in peers:
        import heyoka

        propagator = heyoka.model.sgp4_propagator(satrecs)  # compiled here, not counted
        grid = np.ascontiguousarray(np.broadcast_to(minutes[:, None], (len(minutes), len(lines))))
        calls["heyoka"] = lambda: propagator(grid)
    if "satkit" in peers:
        import satkit

        tles = satkit.TLE.from_lines([line for pair in lines for line in pair])
        instants = [satkit.time.from_jd(EPOCH_JD + (EPOCH_FR + m / 1440.0)) for m in minutes]
        calls["satkit"] = lambda: satkit.sgp4(tles, instants, gravconst=satkit.sgp4_gravconst.wgs72,
                                              opsmode=satkit.sgp4_opsmode.improved)
    return calls


def per_satellite_time(seconds, n, m):
    return {name: s / (n * m) * 1e9 for name, s in seconds.items()}


def phase_one_core(rounds):
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    minutes = np.arange(1440.0)
    low = catalogue(1000, 0.0)
    out = {"low": per_satellite_time(alternating_medians(
        contenders(low, minutes, peers={"sgp4", "heyoka", "satkit"}), rounds), 1000, 1440)}
    mixed = catalogue(1000, 1 / 3)
    out["mixed"] = per_satellite_time(alternating_medians(
        contenders(mixed, minutes, peers={"sgp4", "satkit"}), rounds), 1000, 1440)

    # Memory: traced allocations during one call, against its results.
    from orbivane.propagators.analytical.sgp4.elements import Elements
    from orbivane.propagators.analytical.sgp4.propagator import SGP4Array
    ours = SGP4Array([Elements.from_lines(*pair) for pair in mixed])
    ours.propagate(minutes[:10])
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    results = ours.propagate(minutes)
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    out["memory"] = {"peak": peak, "results": sum(a.nbytes for a in results)}
    return out


def phase_all_cores(rounds):
    # Ours alone: a peer's pool spins on the cores for a while after its
    # call, and would take them from the next contender's threads.
    cores = len(os.sched_getaffinity(0))
    minutes = np.arange(1440.0)
    calls = contenders(catalogue(1000, 0.0), minutes, peers=set(),
                       threads_list=sorted({1, min(2, cores), cores}), into_out=True)
    return {"cores": cores, "low": per_satellite_time(alternating_medians(calls, rounds), 1000, 1440)}


def phase_heyoka_all_cores(rounds):
    calls = contenders(catalogue(1000, 0.0), np.arange(1440.0), peers={"heyoka"})
    return {"heyoka": per_satellite_time(alternating_medians({"heyoka": calls["heyoka"]}, rounds), 1000, 1440)["heyoka"]}


def phase_plot(rounds):
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    minutes = np.arange(360.0)
    sizes = [8, 64, 512, 4096]
    curves = {}
    for n in sizes:
        calls = contenders(catalogue(n, 0.0, seed=n), minutes, peers={"sgp4", "heyoka", "satkit"})
        for name, ns in per_satellite_time(alternating_medians(calls, rounds), n, len(minutes)).items():
            curves.setdefault(name, []).append(ns)
    return {"sizes": sizes, "curves": curves}


def run_phase(name, rounds):
    proc = subprocess.run([sys.executable, __file__, "--phase", name, "--rounds", str(rounds)],
                          capture_output=True, text=True, check=True)
    return json.loads(proc.stdout.splitlines()[-1])


def machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 platform.processor())
    from orbivane.propagators.analytical.sgp4 import _sgp4
    return f"{model}, {os.cpu_count()} cores, SIMD path {_sgp4._simd_path()}"


def table(title, ns, reference, goals=None):
    print(f"\n{title}")
    print(f"  {'contender':<24}{'ns/sat-time':>12}{'vs ' + reference:>22}  goal")
    for name, value in ns.items():
        ratio = value / ns[reference]
        print(f"  {name:<24}{value:>12.1f}{ratio:>22.2f}  {(goals or {}).get(name, '')}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--plot", action="store_true", help="write docs/sgp4_batch.png")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--phase", choices=["one-core", "all-cores", "heyoka-all-cores", "plot"],
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.phase:
        print(json.dumps({"one-core": phase_one_core, "all-cores": phase_all_cores,
                          "heyoka-all-cores": phase_heyoka_all_cores,
                          "plot": phase_plot}[args.phase](args.rounds)))
        return

    print(f"Machine: {machine()}")
    one = run_phase("one-core", args.rounds)
    ours = "orbivane (1 thread)"
    table("(a) 1,000 low orbits x 1,440 minutes, one core (ratio: time over ours)", one["low"], ours,
          {"heyoka": ">= 1.5", "sgp4 SatrecArray": ">= 6"})
    table("(c) 1,000 mixed (1/3 deep space) x 1,440 minutes, one core", one["mixed"], ours,
          {"sgp4 SatrecArray": ">= 3"})
    every = run_phase("all-cores", args.rounds)
    low = every["low"]
    low["heyoka (its own process)"] = run_phase("heyoka-all-cores", args.rounds)["heyoka"]
    print(f"\n(b) the same on {every['cores']} cores: speed-up over one thread (goal: 1.8 on 2 cores)")
    widest = f"orbivane ({every['cores']} threads)"
    for name, value in low.items():
        if name.startswith("orbivane"):
            single = low[ours + ", out=" if name.endswith("out=") else ours]
            print(f"  {name:<30}{value:>8.1f} ns{single / value:>8.2f}x")
        else:
            print(f"  {name:<30}{value:>8.1f} ns  ({value / low[widest]:.2f} times ours on every core)")
    memory = one["memory"]
    print(f"\n(d) memory: traced peak {memory['peak'] / 1e6:.1f} MB for {memory['results'] / 1e6:.1f} MB of results "
          f"({memory['peak'] / memory['results']:.3f}; goal <= 1.10)")

    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        data = run_phase("plot", max(3, args.rounds // 2))
        fig, ax = plt.subplots(figsize=(7, 4.5))
        for name, values in data["curves"].items():
            ax.loglog(data["sizes"], values, marker="o", label=name)
        ax.set_xlabel("satellites N (low orbits), 360 one-minute times each")
        ax.set_ylabel("ns per satellite-time")
        ax.set_title(f"SGP4 on one core\n{machine()}", fontsize=9)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
        fig.tight_layout()
        target = Path(__file__).resolve().parent.parent / "docs" / "sgp4_batch.png"
        fig.savefig(target, dpi=110)
        print(f"\nwrote {target}")


if __name__ == "__main__":
    main()
