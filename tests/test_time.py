"""The epoch type: the two call forms the element module relies on, and
its readable forms."""

import ctypes
import datetime as dt
import decimal
import math
import re
import sys
import time
import tracemalloc
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from conftest import BUFFER_FLAGS, import_in_second_interpreter, request_buffer, run_python
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
    assert Time(2451545, format="jd").jd == 2451545.0
    assert Time(np.float32(10.5), format="jd").jd == 10.5


@pytest.mark.parametrize("args, kwargs, exc, match", [
    (("20x1",), {}, ValueError, "year of one to four digits"),
    (("",), {}, ValueError, "year of one to four digits"),
    (("12345",), {}, ValueError, "year of one to four digits"),
    (("\u0662\u0660",), {}, ValueError, "year of one to four digits"),   # non-ASCII digits
    ((2021,), {}, TypeError, "format='jd'"),
    (("2021",), {"format": "decimalyear"}, ValueError, "unknown Time format 'decimalyear'"),
    (("2451545.0",), {"format": "jd"}, TypeError, "needs a real number, not 'str'"),
    ((None,), {"format": "jd"}, TypeError, "needs a real number, not 'NoneType'"),
    ((float("nan"),), {"format": "jd"}, ValueError, "finite Julian date"),
    (("2021",), {"scale": "gmt"}, ValueError, "unknown time scale 'gmt'"),
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

UTC = dt.timezone.utc
US = 1 / 86400e6     # a microsecond, in days


def assert_canonical(t, value):
    """t holds `value` (a float or a Fraction) exactly, as the nearest
    whole number, halves up, and the rest."""
    whole = math.floor(Fraction(value) + Fraction(1, 2))
    assert (t.jd1, Fraction(t.jd2)) == (whole, Fraction(value) - whole)


def test_canonical_split_near_halves():
    rng = np.random.default_rng(11)
    halves = rng.integers(-2 ** 40, 2 ** 40, 100) + 0.5
    edges = [2459215.5, -2.5, 0.5, -0.5, math.nextafter(0.5, 0), math.nextafter(-0.5, 0), 2.0 ** 52 - 0.5,
             2.0 ** 52 + 1, 1e300, 5e-324, 2454730.01782528, *rng.uniform(-1e7, 1e7, 100)]
    for jd in [*edges, *halves, *np.nextafter(halves, 0), *np.nextafter(halves, 1e9)]:
        t = Time(float(jd), format="jd")
        assert_canonical(t, float(jd))
        assert t.jd == jd                                  # jd as before, bit for bit
    assert (Time(-0.0, format="jd").jd1, Time(-0.0, format="jd").jd2) == (0.0, 0.0)


@pytest.mark.parametrize("jd, days", [
    (2459215.4, 0.2), (2459215.6, -0.2), (2459215.0, 0.5), (2459215.0, -0.5),
    (2459215.9999999, 1e-7), (2451545.25, -3.75), (2451545.0, 2 ** -40), (2451545.0, 3),
])
def test_sums_are_split_anew(jd, days):
    t = Time(jd, format="jd", scale="tai")
    for result, rest in ((t + days, t.jd2 + days), (days + t, t.jd2 + days), (t - days, t.jd2 - days)):
        assert type(result) is Time and result.scale == "tai"
        assert_canonical(result, Fraction(t.jd1) + Fraction(rest))
    for x in (np.float64(days), np.float32(days), np.int64(3)):
        assert t + x == x + t == t + float(x) and t - x == t - float(x)


def test_difference_comparisons_and_hash():
    a = Time(2459215.5, format="jd")
    b = a + 2 ** -40
    assert b - a == (b.jd1 - a.jd1) + (b.jd2 - a.jd2) == 2 ** -40 and a - b == -(b - a)
    same = Time(2459215.5, format="jd", scale="".join(["u", "tc"]))     # a scale text of its own
    assert a == Time("2021") == same and hash(a) == hash(Time("2021")) == hash(same) and a != b
    assert a < b <= b and b > a >= a and not a < a
    # jd1 decides first: the pair orders instants across a day boundary
    times = [Time(jd, format="jd") for jd in (10.5, 10.499999999, 9.5, 11.0, -0.5, -0.0, 0.0)]
    assert [t.jd for t in sorted(times)] == sorted(t.jd for t in times)
    assert len({*times, a, a + 0.25 - 0.25}) == 7


@pytest.mark.parametrize("shift, shown", [
    (lambda t: t + math.nan, r"Time \+ days: days=nan"), (lambda t: math.inf + t, r"days \+ Time: days=inf"),
    (lambda t: t - math.inf, "Time - days: days=inf"),
    (lambda t: t + np.float64("nan"), r"Time \+ days: days=np.float64\(nan\)"),
    (lambda t: np.float32("-inf") + t, r"days \+ Time: days=np.float32\(-inf\)"),
    (lambda t: Time(1.7e308, format="jd") + 1.7e308, r"Time \+ days: days=1.7e\+308"),   # the sum overflows
])
def test_non_finite_results_name_the_operation_and_operands(shift, shown):
    # The message says what was added, to which Time, and names no call the
    # user did not make.
    with pytest.raises(ValueError, match=rf"^{shown} gives no finite Julian date \(the Time is JD [-+.\de]+\)$"):
        shift(Time("2021"))


@pytest.mark.parametrize("other", [
    "1", None, decimal.Decimal(1), Fraction(1, 2), 1j, np.complex128(1), np.timedelta64(1, "D"), True,
    np.True_,
    [1.0], np.array([True]), np.array(["1"]), Time("2021", scale="tdb"),
], ids=lambda o: type(o).__name__)
def test_other_operands_are_refused(other):
    t = Time("2021")
    ops = [lambda: t + other, lambda: other + t, lambda: other - t, lambda: t < other, lambda: other >= t]
    for op in ops + ([lambda: t - other] if not isinstance(other, Time) else []):
        with pytest.raises(TypeError):
            op()
    assert (t == other, t != other) == (False, True)
    assert Time.__add__(t, other) is Time.__sub__(t, other) is Time.__eq__(t, other) is NotImplemented


@pytest.mark.parametrize("jd, offset, expected", [
    (2459215.5, 0.0, dt.datetime(2021, 1, 1)),
    (2454730.01782528, 0.0, dt.datetime(2008, 9, 20, 12, 25, 40, 104179)),
    (1721425.5, 0.0, dt.datetime(1, 1, 1)),
    (1721425.5, -0.49 * US, dt.datetime(1, 1, 1)),
    (2451545.0, 0.51 * US, dt.datetime(2000, 1, 1, 12, 0, 0, 1)),
    (2451545.0, -0.49 * US, dt.datetime(2000, 1, 1, 12)),
    (5373484.5, -0.51 * US, dt.datetime(9999, 12, 31, 23, 59, 59, 999999)),
])
def test_datetime_to_the_nearest_microsecond(jd, offset, expected):
    got = (Time(jd, format="jd") + offset).datetime
    assert got == expected.replace(tzinfo=UTC) and got.tzinfo is UTC


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


# ---------------------------------------------------------------------------
# The view of jd1 and jd2, and its owner
# ---------------------------------------------------------------------------

def test_jd12_view_and_its_owner():
    t = Time(2454730.01782528, format="jd")
    owner = ctypes.py_object.from_address(id(t) + 72).value        # _jd12.memview
    count = ctypes.c_int.from_address(id(owner) + 56)
    assert f"{type(owner).__module__}.{type(owner).__name__}" == "orbivane.time.time.memoryview"
    assert type(owner).__basicsize__ == 160 and ctypes.py_object.from_address(id(owner) + 24).value is None
    # The Time's record holds the one acquisition, and the reference for it.
    assert count.value == 1 and sys.getrefcount(owner) == 3
    m = memoryview(owner)
    assert m.readonly and m.format == "d" and m.shape == (2, 1) and m.tolist() == [[t.jd1], [t.jd2]]
    assert request_buffer(owner, 0x1) == (ValueError, "buffer source array is read-only")
    del t
    assert count.value == 0 and m.tolist()[0] == [2454730.0]


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
    assert grown < 20_000        # at most the owner blocks kept for reuse: no cycles


def test_owner_honours_buffer_requests_as_an_ndarray():
    t = Time("2021")
    owner = ctypes.py_object.from_address(id(t) + 72).value
    like = np.zeros((2, 1))
    like.flags.writeable = False
    for flags in BUFFER_FLAGS.values():
        assert request_buffer(owner, flags) == request_buffer(like, flags)


# ---------------------------------------------------------------------------
# Hardening
# ---------------------------------------------------------------------------

MODULE_REFUSED = ("<class 'ImportError'>: Interpreter change detected - this module can only be loaded "
                  "into one interpreter per process.")


def test_second_interpreter_is_refused():
    assert import_in_second_interpreter("orbivane.time.time") == MODULE_REFUSED


def test_datetime_api_of_a_destroyed_interpreter_is_never_used():
    # A subinterpreter that loads the module first keeps it: once it is
    # gone, the main interpreter is refused instead of reading the datetime
    # API that the subinterpreter freed.
    proc = run_python("""
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "from orbivane.time.time import Time; Time('2021').datetime")
        except interpreters.RunFailedError:
            pass
        interpreters.destroy(sub)
        try:
            from orbivane.time.time import Time
        except ImportError as e:
            print(type(e), e, sep=": ")
        else:
            print(Time("2021").datetime)
    """)
    assert proc.stdout.strip() == MODULE_REFUSED


whole = st.integers(-2 ** 52 + 1, 2 ** 52 - 1)
power_of_two = st.builds(lambda sign, k: sign * 2.0 ** -k, st.sampled_from([-1.0, 1.0]), st.integers(2, 1074))
rest = st.one_of(st.floats(-0.5, 0.5, exclude_max=True), power_of_two)


# Rests that put the two-step sum on a tie that the exact value is not on.
@example(2459215, 2.0 ** -53, 1, -(2.0 ** -110))
@example(2459215, 2.0 ** -52, 3, -(2.0 ** -90))
@example(-7, -(2.0 ** -51), -5, 2.0 ** -1074)
@given(whole, rest, st.one_of(st.integers(-4, 4), whole), rest)
def test_difference_is_correctly_rounded(a1, a2, apart, b2):
    # Both Times hold (whole, rest) exactly; the whole parts lie `apart` days
    # apart, often a few, where the rests weigh most.
    b1 = a1 - apart if abs(a1 - apart) < 2 ** 52 else apart
    a = Time(float(a1), format="jd") + a2
    b = Time(float(b1), format="jd") + b2
    assert (a.jd1, a.jd2, b.jd1, b.jd2) == (a1, a2, b1, b2)
    exact = Fraction(a1) + Fraction(a2) - Fraction(b1) - Fraction(b2)
    assert a - b == float(exact) and b - a == -float(exact)


@pytest.mark.parametrize("jd", [1e20, -1e20, 1e300, 2 ** 53 + 0.0])
def test_far_instants_print_their_julian_date(jd):
    t = Time(jd, format="jd", scale="tai")
    assert str(t) == f"JD {jd!r}" and repr(t) == f"<Time tai (JD {jd!r})>"
    with pytest.raises(ValueError, match=re.escape(f"Time.iso: JD {jd!r} is out of range for a calendar text")):
        t.iso


def test_numpy_types_are_bound_from_numpy_at_import():
    # A stand-in that sits in sys.modules["numpy"] when a Time first meets an
    # operand is never taken for NumPy.
    proc = run_python("""
        import sys, types
        from fractions import Fraction
        from orbivane.time.time import Time
        real = sys.modules.pop("numpy")
        sys.modules["numpy"] = types.SimpleNamespace(integer=object, floating=object, timedelta64=type(None))
        t = Time("2021")
        for operand in (Fraction(1, 2), "x"):
            try:
                t + operand
            except TypeError:
                print("refused")
        sys.modules["numpy"] = real
        print((t + real.float64(0.5)).jd)
    """)
    assert proc.stdout.split() == ["refused", "refused", "2459216.0"]


def test_long_array_loops_stop_at_ctrl_c(fresh_python):
    # A SIGINT a third of the way through .iso of a million instants (a
    # fifth of a second here) raises KeyboardInterrupt after at most a chunk
    # of the loop, well before the loop would have ended.
    proc = fresh_python("""
        import signal, threading, time
        import numpy as np
        from orbivane.time.time import Time
        signal.signal(signal.SIGINT, signal.default_int_handler)
        t = Time(np.arange(1_000_000) * 0.001 + 2451545.0, format="jd")
        whole = []
        for _ in range(3):
            start = time.perf_counter()
            t.iso
            whole.append(time.perf_counter() - start)
        whole = min(whole)
        sent = []
        def interrupt():
            sent.append(time.perf_counter())
            signal.raise_signal(signal.SIGINT)
        threading.Timer(whole / 3, interrupt).start()
        try:
            t.iso
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - sent[0] < whole / 3)
    """)
    assert proc.stdout.split() == ["interrupted", "True"]
