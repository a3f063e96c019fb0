"""Quick start: read a catalogue of element sets, and say where each satellite is."""

from pathlib import Path

import numpy as np

from orbivane.mathtools.quiverel import vectors
from orbivane.propagators.analytical.sgp4.elements import read_tle
from orbivane.propagators.analytical.sgp4.propagator import SGP4
from orbivane.time.time import Time

# Ages are counted from a fixed instant, so that the output is the same on
# every run; Time.now() would give the ages today.
REFERENCE = Time("2025")


def main():
    catalogue = read_tle(Path(__file__).with_name("sample_elements.tle"))
    print(f"Element sets, oldest first, with their age on {REFERENCE.iso} UTC")
    for e in sorted(catalogue, key=lambda e: e.epoch):
        print(f"  {e.object_name:<12} satellite {e.norad_cat_id:>5}  epoch {e.epoch.iso} UTC"
              f"  age {REFERENCE - e.epoch:10.3f} days")

    print("Where each satellite is a day after its epoch (TEME, km and km/s)")
    for e in catalogue:
        r, v, code = SGP4(e).propagate(1440.0)
        print(f"  {e.object_name:<12} r = ({r[0]:10.3f}, {r[1]:10.3f}, {r[2]:10.3f})"
              f"  |r| = {vectors.norm(r):9.3f}  |v| = {vectors.norm(v):6.3f}  code {code}")

    # One satellite over a day at one-minute steps: arrays in, arrays out.
    iss = SGP4(catalogue[0])
    day = Time.range(catalogue[0].epoch, 1 / 1440, 1440)
    r, v, code = iss.propagate(day)
    heights = vectors.norm_array(r) - 6378.135
    print(f"{catalogue[0].object_name} over the day after its epoch: height "
          f"{heights.min():.1f} to {heights.max():.1f} km, all codes {set(np.unique(code).tolist())}")


if __name__ == "__main__":
    main()
