"""The epoch type: the two call forms the element module relies on, and
its readable forms."""

import pytest

from orbivane.time.time import Time


@pytest.mark.parametrize("year, jd, iso", [
    ("2021", 2459215.5, "2021-01-01T00:00:00.000"),
    ("2000", 2451544.5, "2000-01-01T00:00:00.000"),
    ("1957", 2435839.5, "1957-01-01T00:00:00.000"),
    ("1600", 2305447.5, "1600-01-01T00:00:00.000"),
    ("0", 1721059.5, "0000-01-01T00:00:00.000"),
])
def test_year_text_is_start_of_gregorian_year(year, jd, iso):
    t = Time(year)
    assert type(t.jd) is float and t.jd == jd and t.iso == iso and str(t) == iso
    assert t.scale == "utc" and (t.jd1, t.jd2) == (jd + 0.5, -0.5)   # the canonical split


@pytest.mark.parametrize("jd, iso", [
    (2459338.0, "2021-05-03T12:00:00.000"),
    (2454730.01782528, "2008-09-20T12:25:40.104"),
    (2451544.4999999, "1999-12-31T23:59:59.991"),
])
def test_julian_date_form(jd, iso):
    t = Time(jd, format="jd", scale="tt")
    assert t.jd == jd and t.iso == iso and t.scale == "tt"
    assert repr(t) == f"<Time tt {iso} (JD {jd!r})>"


def test_numbers_of_other_types_are_taken_as_floats():
    import numpy
    assert Time(2451545, format="jd").jd == 2451545.0
    assert Time(numpy.float32(10.5), format="jd").jd == 10.5


@pytest.mark.parametrize("args, kwargs, exc, match", [
    (("20x1",), {}, ValueError, "year of one to four digits"),
    (("",), {}, ValueError, "year of one to four digits"),
    (("12345",), {}, ValueError, "year of one to four digits"),
    (("\u0662\u0660",), {}, ValueError, "year of one to four digits"),   # non-ASCII digits
    ((2021,), {}, TypeError, "format='jd'"),
    (("2021",), {"format": "mjd"}, ValueError, "unknown Time format 'mjd'"),
    (("2451545.0",), {"format": "jd"}, TypeError, "needs a real number, not 'str'"),
    ((None,), {"format": "jd"}, TypeError, "needs a real number, not 'NoneType'"),
    ((float("nan"),), {"format": "jd"}, ValueError, "finite Julian date"),
    (("2021",), {"scale": "gps"}, ValueError, "unknown time scale 'gps'"),
    (("2021",), {"scale": 1}, TypeError, "scale must be a str"),
    ((), {}, TypeError, r"Time\(\) takes at least 1 positional argument \(0 given\)"),
    (("2021", "jd", "utc", 4), {}, TypeError, r"Time\(\) takes at most 3 positional arguments"),
    (("2021",), {"fmt": "jd"}, TypeError, "unexpected keyword argument 'fmt'"),
])
def test_refused_values(args, kwargs, exc, match):
    with pytest.raises(exc, match=match):
        Time(*args, **kwargs)


def test_subclass_goes_through_new():
    class Epoch(Time):
        pass

    e = Epoch("2021")
    assert type(e) is Epoch and e.jd == 2459215.5


# ---------------------------------------------------------------------------
# The canonical split, operations and refusals
# ---------------------------------------------------------------------------

import ctypes
import datetime as dt
import decimal
import math
import sys
import time
import tracemalloc
from fractions import Fraction

import numpy as np

from conftest import request_buffer

UTC = dt.timezone.utc
NEXT_BELOW_HALF = math.nextafter(0.5, 0.0)


def canonical(value: Fraction) -> tuple[Fraction, Fraction]:
    """The nearest whole number (halves up) and the rest, exactly."""
    whole = math.floor(value + Fraction(1, 2))
    return Fraction(whole), value - whole


def assert_canonical(t, value):
    """t holds the exact value (a float or a Fraction) as the canonical pair."""
    assert (Fraction(t.jd1), Fraction(t.jd2)) == canonical(Fraction(value))
    assert -0.5 <= t.jd2 < 0.5 and t.jd1 == int(t.jd1)


@pytest.mark.parametrize("jd", [
    2459215.5, 2459215.5 - 2 ** -32, 2459216.5 - 2 ** -33, -2.5, -3.5, 0.5, -0.5,
    NEXT_BELOW_HALF, -NEXT_BELOW_HALF, 2 ** 52 + 1.0, 2 ** 52 - 0.5, 1e300, -0.0,
    2454730.01782528, 5e-324,
])
def test_canonical_split_near_halves(jd):
    t = Time(jd, format="jd")
    assert_canonical(t, jd)
    assert t.jd == jd and (jd != 0.0 or math.copysign(1.0, t.jd1 + t.jd2) == 1.0)


def test_canonical_split_of_random_dates():
    rng = np.random.default_rng(11)
    halves = rng.integers(-2 ** 40, 2 ** 40, 200) + 0.5
    for jd in [*rng.uniform(-1e7, 1e7, 300), *halves, *np.nextafter(halves, 0), *np.nextafter(halves, 1e9)]:
        assert_canonical(Time(float(jd), format="jd"), float(jd))


@pytest.mark.parametrize("jd, days", [
    (2459215.4, 0.2), (2459215.6, -0.2), (2459215.0, 0.5), (2459215.0, -0.5),
    (2459215.9999999, 1e-7), (2451545.25, -3.75), (2451545.0, 1e6), (2451545.0, 2 ** -40),
])
@pytest.mark.parametrize("convert", [float, np.float64, np.float32, Fraction], ids=["float", "f64", "f32", "int"])
def test_sums_are_split_anew(jd, days, convert):
    if convert is Fraction:                # whole days as int and numpy.int64
        days, convert = round(days) or 1, int
    x = convert(days)
    t = Time(jd, format="jd", scale="tai")
    later, earlier = t + x, t - x
    for result, rest in ((later, t.jd2 + float(x)), (x + t, t.jd2 + float(x)), (earlier, t.jd2 - float(x))):
        assert type(result) is Time and result.scale == "tai"
        assert_canonical(result, Fraction(t.jd1) + Fraction(rest))
    assert t + np.int64(2) == t + 2 == 2 + t


def test_difference_comparisons_and_hash():
    a = Time(2459215.5, format="jd")
    b = Time(2459215.5 + 2 ** -30, format="jd")
    assert b - a == (b.jd1 - a.jd1) + (b.jd2 - a.jd2) == 2 ** -30 and a - b == -(b - a)
    assert a == Time("2021") and hash(a) == hash(Time("2021")) and a != b
    assert a < b <= b and b > a >= a and not a < a
    # jd1 decides first: the pair orders the instants across a day boundary
    times = [Time(jd, format="jd") for jd in (10.5, 10.499999999, 9.5, 11.0, -0.5, -0.0, 0.0)]
    assert [t.jd for t in sorted(times)] == sorted(t.jd for t in times)
    assert len({*times, Time(0.0, format="jd")}) == 6
    assert hash(a + 0.25 - 0.25) == hash(a)


@pytest.mark.parametrize("shift, shown", [
    (lambda t: t + math.nan, "nan"), (lambda t: math.inf + t, "inf"), (lambda t: t - math.inf, "-inf"),
    (lambda t: t + np.float64("nan"), "nan"), (lambda t: np.float32("-inf") + t, "-inf"),
    (lambda t: Time(1.7e308, format="jd") + 1.7e308, "inf"),          # finite, but the sum is not
    (lambda t: Time(-1.7e308, format="jd") - 1.7e308, "-inf"),
])
def test_non_finite_results_raise_the_constructor_error(shift, shown):
    with pytest.raises(ValueError, match=rf"^Time\(\.\.\., format='jd'\) needs a finite Julian date, got {shown}$"):
        shift(Time("2021"))


def test_huge_int_fails_as_in_the_constructor():
    with pytest.raises(OverflowError):
        Time("2021") + 10 ** 400


REFUSED = ["1", None, decimal.Decimal(1), Fraction(1, 2), 1j, np.complex128(1), np.timedelta64(1, "D"),
           dt.timedelta(days=1), np.array([1.0]), [1.0], Time("2021", scale="tt")]


@pytest.mark.parametrize("other", REFUSED, ids=lambda o: type(o).__name__)
def test_other_operands_are_refused(other):
    t = Time("2021")
    ops = [lambda: t + other, lambda: other + t, lambda: other - t, lambda: t < other, lambda: other >= t]
    if not isinstance(other, Time):
        ops.append(lambda: t - other)
    for op in ops:
        with pytest.raises(TypeError):
            op()
    assert (t == other, t != other) == (False, True)
    assert Time.__add__(t, other) is NotImplemented and Time.__sub__(t, other) is NotImplemented
    assert Time.__eq__(t, other) is NotImplemented


def test_times_of_another_scale_still_add_days():
    tt = Time("2021", scale="tt")
    assert (tt + 1).scale == "tt" and tt + 1 - tt == 1.0


US = 1 / 86400e6     # a microsecond, in days


@pytest.mark.parametrize("jd, offset, expected", [
    (2459215.5, 0.0, dt.datetime(2021, 1, 1, tzinfo=UTC)),
    (2454730.01782528, 0.0, dt.datetime(2008, 9, 20, 12, 25, 40, 104179, tzinfo=UTC)),
    (1721425.5, 0.0, dt.datetime(1, 1, 1, tzinfo=UTC)),
    (2451545.0, 0.51 * US, dt.datetime(2000, 1, 1, 12, 0, 0, 1, tzinfo=UTC)),
    (2451545.0, -0.49 * US, dt.datetime(2000, 1, 1, 12, tzinfo=UTC)),
    (5373484.5, -0.51 * US, dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)),
])
def test_datetime_to_the_nearest_microsecond(jd, offset, expected):
    got = (Time(jd, format="jd") + offset).datetime
    assert got == expected and got.tzinfo is UTC and got.microsecond == expected.microsecond


@pytest.mark.parametrize("t, message", [
    (Time("2021", scale="tt"), "needs a Time in scale 'utc', not 'tt'"),
    (Time("1") - US, r"years 1 to 9999; this Time \(jd1 1721425.0, jd2 0.49999999998\d*\) is outside"),
    (Time(5373484.5, format="jd") - 0.49 * US, "years 1 to 9999"),     # rounds up to the year 10000
    (Time(1e300, format="jd"), r"\(jd1 1e\+300, jd2 0.0\) is outside"),
])
def test_datetime_refusals(t, message):
    with pytest.raises(ValueError, match=message):
        t.datetime


def test_now_falls_between_two_clock_reads():
    def pair(ns):
        days, within = divmod(ns, 86400 * 10 ** 9)
        return 2440588.0 + days, within / 86400e9 - 0.5

    before = pair(time.time_ns())
    now = Time.now()
    after = pair(time.time_ns())
    assert type(now) is Time and now.scale == "utc"
    assert before <= (now.jd1, now.jd2) <= after
    assert abs(now.datetime - dt.datetime.now(UTC)) < dt.timedelta(seconds=5)


# ---------------------------------------------------------------------------
# The view of jd1 and jd2, and its owner
# ---------------------------------------------------------------------------

def jd12_owner(t):
    """The owner of t._jd12 (the record's view starts at byte 72)."""
    return ctypes.py_object.from_address(id(t) + 72).value


def owner_count(owner):
    return ctypes.c_int.from_address(id(owner) + 56).value


def test_jd12_view_and_its_owner():
    t = Time(2454730.01782528, format="jd")
    owner = jd12_owner(t)
    assert type(owner).__name__ == "memoryview" and type(owner).__module__ == "orbivane.time.time"
    assert type(owner).__basicsize__ == 160 and ctypes.py_object.from_address(id(owner) + 24).value is None
    # The Time's record holds the one acquisition, and the reference for it.
    assert owner_count(owner) == 1 and sys.getrefcount(owner) == 3
    m = memoryview(owner)
    assert m.readonly and m.format == "d" and m.shape == (2, 1) and m.tolist() == [[t.jd1], [t.jd2]]
    assert request_buffer(owner, 0x1) == (ValueError, "buffer source array is read-only")
    del t
    assert owner_count(owner) == 0 and m.tolist()[0] == [2454730.0]


def test_times_and_owners_are_freed_with_the_last_reference():
    Time("2021").jd1
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for i in range(100_000):
            Time(float(i), format="jd") + 1
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20_000        # kept owner blocks for reuse at most, no cycles
