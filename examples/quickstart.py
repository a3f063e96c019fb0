"""Quick start: read two-line element sets and print what line 1 tells."""

from pathlib import Path

from orbivane.propagators.analytical.sgp4.tle import TLE


def read_element_sets(path):
    """Yields (name, TLE) for each three-line block of a file: a title line,
    then line 1 and line 2 of the element set."""
    lines = [line for line in Path(path).read_text().splitlines() if line.strip()]
    for title, line1, line2 in zip(lines[0::3], lines[1::3], lines[2::3]):
        yield title.strip(), TLE(line1, line2)


def main():
    data = Path(__file__).with_name("sample_elements.tle")
    print("Two-line element sets")
    for name, tle in read_element_sets(data):
        epoch = tle.epoch
        print(f"  {name:<12} satellite {tle.satno:>5}  epoch {epoch.iso} UTC  (JD {epoch.jd:.8f})")


if __name__ == "__main__":
    main()
