"""SGP4 against the sgp4 package's propagator (Satrec), measured in the same
run (medians of alternating runs):

  (a) element set and model from two lines: Elements.from_lines + SGP4
      against Satrec.twoline2rv (goal: at most half the time);
  (b) one propagation called from Python with a scalar time: SGP4.propagate
      against Satrec.sgp4 (goal: no slower);
  (c) the propagation step: SGP4.propagate over 1,440 one-minute times
      against Satrec.sgp4_array over the same times, per satellite-time
      (goal: at least 1.3 times faster), on a low orbit; a resonant
      deep-space orbit is shown beside it.

    python benchmarks/bench_sgp4.py
"""


import numpy as np
from sgp4.api import WGS72, Satrec

from orbivane.propagators.analytical.sgp4.elements import Elements
from orbivane.propagators.analytical.sgp4.propagator import SGP4

from alternating import alternating_medians

LOW = ("1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991",
       "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482")
MOLNIYA = ("1 09880U 77021A   06176.56157475  .00000421  00000-0  10000-3 0  9814",
           "2 09880  64.5968 349.3786 7069051 270.0229  16.3320  2.00813614112380")


def pair(lines):
    """The model and the oracle of an element set, checked to agree, and
    one day of one-minute times for each."""
    sat = SGP4(Elements.from_lines(*lines))
    oracle = Satrec.twoline2rv(*lines, WGS72)
    minutes = np.arange(1440.0)
    jd = np.full(1440, oracle.jdsatepoch)
    fr = oracle.jdsatepochF + minutes / 1440.0
    r, _, _ = sat.propagate(minutes)
    _, r_oracle, _ = oracle.sgp4_array(jd, fr)
    assert np.abs(r - r_oracle).max() < 1e-6
    return sat, oracle, minutes, jd, fr


def main():
    rows = []

    ns = alternating_medians({
        "ours": lambda: SGP4(Elements.from_lines(*LOW)),
        "sgp4": lambda: Satrec.twoline2rv(*LOW, WGS72),
    }, number=5000)
    rows.append(("(a) from two lines, low orbit", ns, "ns/call", "<= 0.5"))

    sat, oracle, minutes, jd, fr = pair(LOW)
    jd0, fr0 = oracle.jdsatepoch, oracle.jdsatepochF + 0.1
    ns = alternating_medians({
        "ours": lambda: sat.propagate(144.0),
        "sgp4": lambda: oracle.sgp4(jd0, fr0),
    }, number=20000)
    rows.append(("(b) one scalar time, low orbit", ns, "ns/call", "<= 1.0"))

    for name, lines, goal in (("(c) 1,440 times, low orbit", LOW, "<= 0.77"),
                              ("    1,440 times, Molniya (12 h resonance)", MOLNIYA, "")):
        sat, oracle, minutes, jd, fr = pair(lines)
        ns = alternating_medians({
            "ours": lambda: sat.propagate(minutes),
            "sgp4": lambda: oracle.sgp4_array(jd, fr),
        }, number=20)
        rows.append((name, {k: v / 1440 for k, v in ns.items()}, "ns/time", goal))

    print(f"{'what':<44}{'ours':>10}{'sgp4':>10}  {'unit':<8}{'ratio':>7}  goal")
    for name, ns, unit, goal in rows:
        ratio = ns["ours"] / ns["sgp4"]
        print(f"{name:<44}{ns['ours']:>10.0f}{ns['sgp4']:>10.0f}  {unit:<8}{ratio:>7.2f}  {goal}")
    print("ratio: our time over sgp4's; (c) 0.77 is 1.3 times faster")


if __name__ == "__main__":
    main()
