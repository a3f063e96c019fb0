"""TLE construction per call: the compiled type against a pure-Python
version of the same steps that uses the same Time (medians of alternating
runs).

    python benchmarks/bench_tle.py
"""

import re

from orbivane.propagators.analytical.sgp4.tle import TLE
from orbivane.time.time import Time

from alternating import alternating_medians

LINE1 = "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927"
LINE2 = "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537"

_ATOI = re.compile(rb"\s*([+-]?\d+)")
_STRTOD = re.compile(rb"\s*([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)")


def _field(text, start, length):
    return text[start:start + length].split(b"\0", 1)[0]


class PyTLE:
    """The same normalisation, storage and line-1 decoding, in Python."""

    __slots__ = ("_line1", "_line2", "strict_validation", "_satno", "epoch")

    def __init__(self, line1, line2, strict_validation=False):
        if type(line1) is not str or type(line2) is not str:
            raise TypeError("lines must be str")
        self.strict_validation = bool(strict_validation)
        self._line1 = line1.strip().upper().encode("ascii").split(b"\0", 1)[0][:69]
        self._line2 = line2.strip().upper().encode("ascii").split(b"\0", 1)[0][:69]
        self.parse_line1()

    def parse_line1(self):
        line = self._line1
        self._satno = _field(line, 2, 5)
        m = _ATOI.match(_field(line, 18, 2))
        year = int(m.group(1)) if m else 0
        year += 2000 if year < 57 else 1900
        m = _STRTOD.match(_field(line, 20, 12))
        day = float(m.group(1)) if m else 0.0
        jd = Time(str(year)).jd
        self.epoch = Time((jd - 1.0) + day, format="jd")


def main():
    assert PyTLE(LINE1, LINE2).epoch.jd == TLE(LINE1, LINE2).epoch.jd
    ns = alternating_medians({
        "TLE(line1, line2)": lambda: TLE(LINE1, LINE2),
        "pure-Python TLE, same Time": lambda: PyTLE(LINE1, LINE2),
        "  of which the two Time calls": lambda: (Time("2008").jd, Time(2454730.0, format="jd")),
        "one Time, made and dropped": lambda: Time(2454730.01782528, format="jd"),
    })
    print(f"{'what':<34}{'ns/call':>10}")
    for name, value in ns.items():
        print(f"{name:<34}{value:>10.0f}")
    speed_up = ns["pure-Python TLE, same Time"] / ns["TLE(line1, line2)"]
    print(f"speed-up: {speed_up:.1f}x (goal: at least 5x)")


if __name__ == "__main__":
    main()
