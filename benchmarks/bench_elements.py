"""Element-set decoding per call (medians of alternating runs):

- Elements.from_lines and Elements.from_tle against a pure-Python decoder of
  the same fields and against sgp4's Satrec.twoline2rv (which also
  initialises its model, so it does more than decode);
- the C++ decoder alone, timed in a loop of its own (needs g++).

    python benchmarks/bench_elements.py
"""

import datetime
import subprocess
import sys
import tempfile
from pathlib import Path

from orbivane.propagators.analytical.sgp4.elements import Elements
from orbivane.propagators.analytical.sgp4.tle import TLE

from alternating import alternating_medians

LINE1 = "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927"
LINE2 = "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537"
SOURCES = Path(__file__).resolve().parents[1] / "src" / "orbivane"


def py_decode(line1, line2):
    """The same fields from the same columns, in Python (no checks beyond
    what int() and float() do)."""
    two = int(line1[18:20])
    year = 1900 + two if two >= 57 else 2000 + two
    day = line1[20:32]
    point = day.index(".")
    jd1 = datetime.date(year, 1, 1).toordinal() + 1721423.5 + int(day[:point])
    return (int(line1[2:7]), line1[7], line1[9:17].strip(), jd1, float(day[point:]),
            float(line1[33:43]), float(line1[44:50] + "e" + line1[50:52]) / 1e5,
            float(line1[53:59] + "e" + line1[59:61]) / 1e5, int(line1[62]), int(line1[64:68]),
            float(line2[8:16]), float(line2[17:25]), float("." + line2[26:33]), float(line2[34:42]),
            float(line2[43:51]), float(line2[52:63]), int(line2[63:68]))


DECODE_LOOP = r"""
#include "element_decoding.hpp"
#include <algorithm>
#include <chrono>
#include <cstdio>
using namespace orbivane::sgp4;
int main() {
    const std::string_view line1 = "%s", line2 = "%s";
    for (int strict = 0; strict < 2; ++strict) {
        double best = 1e30, sink = 0.0;
        for (int round = 0; round < 15; ++round) {
            const int n = 200000;
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < n; ++i) {
                ElementSet set;
                DecodeError error;
                std::string_view a = line1;
                asm volatile("" : "+r"(a));  // the text is not known at compile time
                decode_element_lines(a, line2, strict != 0, set, error);
                sink += set.mean_motion;
            }
            const std::chrono::duration<double, std::nano> t = std::chrono::steady_clock::now() - start;
            best = std::min(best, t.count() / n);
        }
        std::printf("%%s %%.0f\n", strict ? "strict" : "default", sink > 0 ? best : 0.0);
    }
}
"""


def cpp_decode_ns():
    """Best-of-rounds ns per decode of the C++ decoder, by mode; {} without g++."""
    sgp4_dir = SOURCES / "propagators" / "analytical" / "sgp4"
    with tempfile.TemporaryDirectory() as tmp:
        source = Path(tmp) / "decode_loop.cpp"
        source.write_text(DECODE_LOOP % (LINE1, LINE2))
        program = Path(tmp) / "decode_loop"
        try:
            subprocess.run(["g++", "-std=c++20", "-O3", "-ffp-contract=off", f"-I{SOURCES / '_native'}",
                            f"-I{sgp4_dir}", str(source), str(sgp4_dir / "element_decoding.cpp"),
                            str(sgp4_dir / "epoch_text.cpp"), "-o", str(program)], check=True)
        except (OSError, subprocess.CalledProcessError) as e:
            print(f"C++ decoder not timed: {e}", file=sys.stderr)
            return {}
        out = subprocess.run([str(program)], check=True, capture_output=True, text=True).stdout
    return {mode: float(ns) for mode, ns in (line.split() for line in out.splitlines())}


def main():
    from sgp4.api import Satrec

    e = Elements.from_lines(LINE1, LINE2)
    assert py_decode(LINE1, LINE2)[10:] == (e.inclination, e.ra_of_asc_node, e.eccentricity,
                                            e.arg_of_pericenter, e.mean_anomaly, e.mean_motion, e.rev_at_epoch)
    tle = TLE(LINE1, LINE2)
    ns = alternating_medians({
        "Elements.from_lines": lambda: Elements.from_lines(LINE1, LINE2),
        "Elements.from_lines, strict": lambda: Elements.from_lines(LINE1, LINE2, strict=True),
        "Elements.from_tle": lambda: Elements.from_tle(tle),
        "pure-Python decoding": lambda: py_decode(LINE1, LINE2),
        "sgp4 Satrec.twoline2rv (+ model)": lambda: Satrec.twoline2rv(LINE1, LINE2),
    })
    for mode, value in cpp_decode_ns().items():
        ns[f"C++ decoder alone, {mode}"] = value
    print(f"{'what':<36}{'ns/call':>10}")
    for name, value in ns.items():
        print(f"{name:<36}{value:>10.0f}")
    base = ns["Elements.from_lines"]
    print(f"from_lines is {ns['pure-Python decoding'] / base:.1f}x faster than pure-Python decoding, "
          f"{ns['sgp4 Satrec.twoline2rv (+ model)'] / base:.1f}x faster than Satrec.twoline2rv")


if __name__ == "__main__":
    main()
