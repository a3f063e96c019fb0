"""The SGP4 type's interface: the forms a time may take and the shapes and
types of what comes back, the attributes, what is refused, threads and
interruption. The model's numbers are tested against the verification set
and the sgp4 package (test_sgp4_verification.py, test_sgp4_oracle.py)."""

import math
import threading
import time

import numpy as np
import pytest

pytest.importorskip("sgp4")
from sgp4.api import WGS72, WGS84, Satrec  # noqa: E402

from conftest import run_python, traced_growth  # noqa: E402
from orbivane.propagators.analytical.sgp4.elements import Elements  # noqa: E402
from orbivane.propagators.analytical.sgp4.propagator import SGP4  # noqa: E402
from orbivane.propagators.analytical.sgp4.tle import TLE  # noqa: E402
from orbivane.time.time import Time  # noqa: E402

LINES = {
    "near_earth": ("1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991",
                   "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482"),
    "half_day": ("1 09880U 77021A   06176.56157475  .00000421  00000-0  10000-3 0  9814",
                 "2 09880  64.5968 349.3786 7069051 270.0229  16.3320  2.00813614112380"),
}
class TimeLike:
    """An object with the attributes given; one given as an exception raises it."""

    def __init__(self, **attributes):
        self.attributes = attributes

    def __getattr__(self, name):
        value = self.attributes.get(name, AttributeError(name))
        if isinstance(value, BaseException):
            raise value
        return value


MINUTES = np.array([[-90.5, 0.0, 1.25], [700.0, 1440.0, 43200.0]])


def same_bits(a, b):
    return np.array_equal(np.asarray(a), np.asarray(b), equal_nan=True)


@pytest.mark.parametrize("orbit", sorted(LINES))
def test_every_form_of_time_gives_the_scalar_states(orbit):
    sat = SGP4(Elements.from_lines(*LINES[orbit]))
    one = {float(t): sat.propagate(float(t)) for t in MINUTES.ravel()}
    for t, (r, v, code) in one.items():
        assert r.shape == v.shape == (3,) and r.dtype == v.dtype == np.float64 and type(code) is int

    # Arrays of any shape, and array-likes.
    for times in (MINUTES, MINUTES.T, MINUTES[:1, :1, None], list(MINUTES[1])):
        times = np.asarray(times)
        r, v, code = sat.propagate(times)
        assert r.shape == v.shape == times.shape + (3,) and code.shape == times.shape
        assert code.dtype == np.int8
        for index, t in np.ndenumerate(times):
            assert same_bits(r[index], one[t][0]) and same_bits(v[index], one[t][1])
            assert code[index] == one[t][2]
    r, v, code = sat.propagate(np.array(1440.0))
    assert r.shape == (3,) and code.shape == () and same_bits(r, one[1440.0][0])

    # Other scalars: ints and NumPy scalars.
    for t in (1440, np.float64(1440.0), np.int64(1440), np.float32(1440.0)):
        r, v, code = sat.propagate(t)
        assert same_bits(r, one[1440.0][0]) and same_bits(v, one[1440.0][1]) and type(code) is int

    # Julian dates: two parts, broadcast together, as the sgp4 package
    # takes them.
    el = sat.elements
    days = np.array([-1.0, 0.0, 2.0, 30.0])[:, None]
    fractions = el.epoch_jd2 + np.array([0.0, 0.123456789, 0.75])
    r, v, code = sat.propagate_jd(el.epoch_jd1 + days, fractions)
    assert r.shape == (4, 3, 3) and code.shape == (4, 3)
    oracle = Satrec.twoline2rv(*LINES[orbit], WGS72)
    jd, fr = np.broadcast_arrays(el.epoch_jd1 + days, fractions)
    codes, r_expected, v_expected = oracle.sgp4_array(jd.ravel(), fr.ravel())
    assert np.array_equal(code.ravel(), codes)
    assert np.abs(r.reshape(-1, 3) - r_expected).max() < 1e-6
    assert np.abs(v.reshape(-1, 3) - v_expected).max() < 1e-9
    r1, v1, code1 = sat.propagate_jd(el.epoch_jd1 + 2.0, el.epoch_jd2 + 0.75)
    assert same_bits(r1, r[2, 2]) and same_bits(v1, v[2, 2]) and type(code1) is int

    # A Time is its two-part UTC Julian date, whatever its scale and shape.
    time = Time(el.epoch_jd1 + 1.5, format="jd")
    expected = sat.propagate_jd(time.jd1, time.jd2)
    # Without a scale, UTC is taken.
    for form in (time, time.tai, time.tt, time.gps, TimeLike(jd1=time.jd1, jd2=time.jd2)):
        got = sat.propagate(form)
        assert same_bits(got[0], expected[0]) and same_bits(got[1], expected[1]) and got[2] == expected[2]
    times = Time.range(time, 0.25, 5)
    got = sat.propagate(times.tt)
    expected = sat.propagate_jd(times.jd1, times.jd2)
    assert all(same_bits(a, b) for a, b in zip(got, expected)) and got[0].shape == (5, 3)


def test_attributes_and_repr():
    line1, line2 = LINES["half_day"]
    tle = TLE(line1, line2)
    elements = Elements.from_lines(line1, line2)
    for source, gravity, mode in ((elements, "wgs72", "improved"), (tle, "wgs84", "afspc")):
        sat = SGP4(source, gravity=gravity, mode=mode) if gravity != "wgs72" else SGP4(source)
        oracle = Satrec.twoline2rv(line1, line2, WGS72 if gravity == "wgs72" else WGS84)
        assert (sat.gravity, sat.mode) == (gravity, mode)
        assert sat.elements == elements and (sat.elements is elements) == (source is elements)
        assert sat.deep_space == (oracle.method == "d") is True
        assert sat.mean_motion == pytest.approx(oracle.xke / oracle.a ** 1.5, rel=1e-14)
        assert sat.semimajor_axis == pytest.approx(oracle.a * oracle.radiusearthkm, rel=1e-15)
        assert "satellite 9880" in repr(sat) and f"gravity='{gravity}'" in repr(sat)
        with pytest.raises(AttributeError):
            sat.gravity = "wgs84"
    assert not SGP4(Elements.from_lines(*LINES["near_earth"])).deep_space


@pytest.mark.parametrize("call, error, message", [
    (lambda sat, el: SGP4(el, gravity="wgs99"), ValueError, "gravity must be"),
    (lambda sat, el: SGP4(el, mode="AFSPC"), ValueError, "^mode must be 'improved' or 'afspc', not 'AFSPC'$"),
    (lambda sat, el: SGP4(el, gravity="wgs72\0"), ValueError, r"^gravity must be .*, not 'wgs72\\x00'$"),
    (lambda sat, el: SGP4(el, "wgs84"), TypeError, ""),
    (lambda sat, el: SGP4(42), TypeError, "expected an Elements or a TLE"),
    (lambda sat, el: sat.propagate(math.nan), ValueError, "finite"),
    (lambda sat, el: sat.propagate(-math.inf), ValueError, "finite"),
    (lambda sat, el: sat.propagate([0.0, math.nan]), ValueError, "finite"),
    (lambda sat, el: sat.propagate(2e9), ValueError, "within 1e9 minutes"),
    (lambda sat, el: sat.propagate_jd(el.epoch_jd1 + 1e6, 0.0), ValueError, "within 1e9 minutes"),
    (lambda sat, el: sat.propagate("soon"), ValueError, ""),
    (lambda sat, el: sat.propagate(1j), TypeError, ""),
    (lambda sat, el: sat.propagate_jd([1.0, 2.0], [1.0, 2.0, 3.0]), ValueError, "broadcast"),
    (lambda sat, el: sat.propagate(Time(el.epoch_jd1, format="jd", scale="tdb")), ValueError, "'tdb' to 'utc'"),
    (lambda sat, el: sat.propagate(TimeLike(jd1=RuntimeError("no jd1"), jd2=0.0)), RuntimeError, "^no jd1$"),
    (lambda sat, el: sat.propagate(TimeLike(jd1=el.epoch_jd1, jd2=0.0, scale=RuntimeError("no scale"))),
     RuntimeError, "^no scale$"),
    (lambda sat, el: sat.propagate(TimeLike(jd1=el.epoch_jd1, jd2=0.0, scale="tai")), ValueError, "not 'tai'"),
])
def test_refused(call, error, message):
    elements = Elements.from_lines(*LINES["near_earth"])
    with pytest.raises(error, match=message or None):
        call(SGP4(elements), elements)


def test_threads_share_a_propagator():
    sat = SGP4(Elements.from_lines(*LINES["half_day"]))
    times = np.linspace(-43200.0, 43200.0, 5001)
    expected = sat.propagate(times)
    results = [None] * 4

    def work(k):
        results[k] = sat.propagate(times)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        assert all(same_bits(a, b) for a, b in zip(result, expected))


def test_a_long_propagation_lets_other_threads_run():
    """A resonant orbit far from the epoch integrates for long, for one time
    as for many: a timer thread fires meanwhile."""
    sat = SGP4(Elements.from_lines(*LINES["half_day"]))
    for t in (1e9, Time(sat.elements.epoch_jd1 + 6e5, format="jd"), np.array([1e9])):
        fired = []
        timer = threading.Timer(0.01, lambda: fired.append(time.perf_counter()))
        timer.start()
        start = time.perf_counter()
        sat.propagate(t)
        end = time.perf_counter()
        timer.join()
        assert fired[0] < (start + end) / 2, t


def test_a_long_propagation_stops_at_a_signal():
    # Half-day resonance far from the epoch: about a minute of work, stopped
    # by a timer after a tenth of a second.
    proc = run_python(f"""
        import signal, time
        import numpy as np
        from orbivane.propagators.analytical.sgp4.elements import Elements
        from orbivane.propagators.analytical.sgp4.propagator import SGP4
        sat = SGP4(Elements.from_lines(*{LINES["half_day"]!r}))
        def stop(*args):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        start = time.perf_counter()
        try:
            sat.propagate(np.full(200_000, 1e6))
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - start < 30)
    """)
    assert proc.stdout.split() == ["interrupted", "True"]


def test_no_leaks():
    growth = traced_growth("""
        import numpy as np
        from orbivane.propagators.analytical.sgp4.elements import Elements
        from orbivane.propagators.analytical.sgp4.propagator import SGP4
        from orbivane.propagators.analytical.sgp4.tle import TLE
        lines = ("1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991",
                 "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482")
        elements = Elements.from_lines(*lines)
        sat = SGP4(elements)
        times = np.arange(10.0)
    """, """
        SGP4(TLE(*lines), mode="afspc")
        sat.propagate(90.0)
        sat.propagate(times)
        sat.propagate_jd(elements.epoch_jd1 + times[:, None], times / 1440.0)
        sat.propagate(elements.epoch)
        for bad in (lambda: SGP4(elements, gravity="x"), lambda: sat.propagate(np.array([0.0, np.nan])),
                    lambda: sat.propagate_jd([1.0, 2.0], [1.0, 2.0, 3.0])):
            try:
                bad()
            except ValueError:
                pass
    """, rounds=500)
    assert int(growth[0]) < 1000
