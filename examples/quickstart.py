"""Quick start: read two-line element sets and print what line 1 tells."""

from pathlib import Path

import numpy as np

from orbivane.mathtools.quiverel import vectors
from orbivane.propagators.analytical.sgp4.tle import TLE
from orbivane.time.time import Time


def read_element_sets(path):
    """Yields (name, TLE) for each three-line block of a file: a title line,
    then line 1 and line 2 of the element set."""
    lines = [line for line in Path(path).read_text().splitlines() if line.strip()]
    for title, line1, line2 in zip(lines[0::3], lines[1::3], lines[2::3]):
        yield title.strip(), TLE(line1, line2)


# Ages are counted from a fixed epoch, so that the output is the same on
# every run; Time.now() would give the ages today.
REFERENCE = Time("2025")


def main():
    data = Path(__file__).with_name("sample_elements.tle")
    print(f"Two-line element sets, oldest first, with their age on {REFERENCE.iso} UTC")
    for name, tle in sorted(read_element_sets(data), key=lambda item: item[1].epoch):
        epoch = tle.epoch
        age = REFERENCE - epoch
        print(f"  {name:<12} satellite {tle.satno:>5}  epoch {epoch.iso} UTC  age {age:10.3f} days")


def show_position_vectors():
    """Lengths and unit vectors of a few position vectors (km), one at a
    time and as a whole array."""
    positions = np.array([
        [6524.834, 6862.875, 6448.296],
        [-4219.853, 4363.116, -3958.767],
        [42164.0, 0.0, 0.0],
    ])
    print("Position vectors (km)")
    lengths = vectors.norm_array(positions)
    units = vectors.normalize_array(positions)
    for r, length, unit in zip(positions, lengths, units):
        assert length == vectors.norm(r)
        print(f"  |r| = {length:10.3f}  unit = ({unit[0]:+.6f}, {unit[1]:+.6f}, {unit[2]:+.6f})")
    angle = vectors.angle(positions[0], positions[1])
    print(f"  angle between the first two: {np.degrees(angle):.3f} deg")


if __name__ == "__main__":
    main()
    show_position_vectors()
