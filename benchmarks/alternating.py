"""Timing shared by the benchmarks of single calls."""

import statistics
import timeit


def alternating_medians(contenders, number=20000, rounds=15):
    """ns per call of each contender (a statement or a callable): the median
    over rounds in which the contenders take turns, so that a change in the
    machine's load during the run falls on all of them alike."""
    times = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, stmt in contenders.items():
            times[name].append(timeit.timeit(stmt, number=number) / number * 1e9)
    return {name: statistics.median(t) for name, t in times.items()}
