"""Time operations against astropy's Time, measured in the same run: ns per
scalar operation, and ns per instant of operations on 10**6 instants
(medians of runs that alternate between the contenders).

    python benchmarks/bench_time.py [--scalar-only]
"""

import statistics
import sys
import timeit
import warnings

import numpy as np
from astropy.time import Time as AstropyTime

from orbivane.time.time import Time

HAS_ARRAYS = hasattr(Time, "range")


def alternating_medians(contenders, rounds):
    """Seconds per run of each contender, a (statement, namespace, number)
    triple: the median over rounds in which the contenders take turns, so
    that a change in the machine's load during the run falls on all of them
    alike."""
    times = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, (stmt, namespace, number) in contenders.items():
            times[name].append(timeit.timeit(stmt, number=number, globals=namespace) / number)
    return {name: statistics.median(t) for name, t in times.items()}


def scalar_cases():
    ours = {"Time": Time, "t": Time("2021"), "u": Time(2459338.25, format="jd")}
    theirs = {"Time": AstropyTime, "t": AstropyTime("2021-01-01", scale="utc"),
              "u": AstropyTime(2459338.25, format="jd", scale="utc")}
    cases = [
        ("Time('2021')", "Time('2021-01-01', scale='utc')"),
        ("Time(2459338.25, format='jd')", "Time(2459338.25, format='jd', scale='utc')"),
        ("t.jd", "del t.cache; t.jd"),
        ("t + 0.5", "t + 0.5"),
        ("t - u", "t - u"),
        ("t < u", "t < u"),
        ("hash(t)", None),
        ("t.iso", "del t.cache; t.iso"),
        ("t.datetime", "del t.cache; t.datetime"),
    ]
    if HAS_ARRAYS:
        cases += [
            ("Time('2021-05-03T12:00:00Z')", "Time('2021-05-03T12:00:00', scale='utc')"),
            ("t.mjd", "del t.cache; t.mjd"),
            ("t.tai", "del t.cache; t.tai"),
            ("t.tai - u", "del t.cache; t.tai - u"),
        ]
    return ours, theirs, cases, 20000, 200


def array_cases(n):
    rng = np.random.default_rng(1)
    jd = 2451545.0 + rng.uniform(0, 9000, n)
    days = rng.uniform(-1, 1, n)
    namespace = {"jd": jd, "days": days, "n": n}
    ours = {**namespace, "Time": Time, "t": Time(jd, format="jd"), "u": Time(jd[::-1].copy(), format="jd")}
    theirs = {**namespace, "Time": AstropyTime, "t": AstropyTime(jd, format="jd", scale="utc"),
              "u": AstropyTime(jd[::-1].copy(), format="jd", scale="utc")}
    # astropy keeps what a property computed in a cache: each of its runs
    # starts with an empty one, so that it computes as ours does.
    cases = [
        ("Time(jd, format='jd')", "Time(jd, format='jd', scale='utc')"),
        ("Time(jd, days, format='jd')", "Time(jd, days, format='jd', scale='utc')"),
        ("t.jd", "del t.cache; t.jd"),
        ("t.jd1", "del t.cache; t.jd1"),
        ("t + days", "t + days"),
        ("t - u", "t - u"),
        ("t < u", "t < u"),
        ("t.mjd", "del t.cache; t.mjd"),
        ("t.unix", "del t.cache; t.unix"),
        ("t.tai", "del t.cache; t.tai"),
        ("t.tt", "del t.cache; t.tt"),
        ("t.tai.utc", "del t.cache; t.tai.utc"),
        ("t.iso", "del t.cache; t.iso"),
        ("t[::2]", "t[::2]"),
        ("Time.range(t[0], 1e-3, n)", None),
    ]
    return ours, theirs, cases, 1, 5


def report(title, ours, theirs, cases, number, their_number, unit, scale):
    contenders = {}
    for mine, other in cases:
        contenders[("ours", mine)] = (mine, ours, number)
        if other is not None:
            contenders[("astropy", mine)] = (other, theirs, their_number)
    medians = alternating_medians(contenders, rounds=15 if number > 1 else 5)
    print(f"\n{title}\n")
    print(f"| operation | orbivane ({unit}) | astropy ({unit}) | astropy / orbivane |")
    print("|---|---:|---:|---:|")
    for mine, _ in cases:
        a = medians[("ours", mine)] * scale
        b = medians.get(("astropy", mine))
        if b is None:
            print(f"| `{mine}` | {a:.3g} | - | - |")
        else:
            print(f"| `{mine}` | {a:.3g} | {b * scale:.3g} | {b * scale / a:.0f} |")


def main():
    warnings.simplefilter("ignore")     # ERFA's warnings about dubious years
    ours, theirs, cases, number, their_number = scalar_cases()
    report("Scalar operations", ours, theirs, cases, number, their_number, "ns", 1e9)
    if HAS_ARRAYS and "--scalar-only" not in sys.argv:
        n = 10 ** 6
        ours, theirs, cases, number, their_number = array_cases(n)
        report(f"Operations on {n:,} instants", ours, theirs, cases, number, their_number,
               "ns per instant", 1e9 / n)


if __name__ == "__main__":
    main()
