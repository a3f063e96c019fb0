"""Creating TLE objects: argument binding, normalisation, line-1 decoding,
the read-only properties, pickling refusal, profiler events and leaks."""

import copy
import gc
import pickle
import sys
import traceback
import tracemalloc

import pytest

from orbivane.propagators.analytical.sgp4.tle import TLE
from orbivane.time.time import Time
from conftest import run_python, traced_growth
from libc_numbers import c_strtod
from native_build import native_client

MODULE = "orbivane.propagators.analytical.sgp4.tle"
CINIT = f"{MODULE}.TLE.__cinit__"
PARSE = f"{MODULE}.TLE.parse_line1"
ISS1 = "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927"
ISS2 = "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537"


def line1(satno="25544", year="08", day="264.51782528"):
    """A line 1 with the decoded columns at their offsets (2, 18, 20)."""
    assert len(satno) == 5 and len(year) == 2 and len(day) == 12
    return f"1 {satno}U 98067A   {year}{day} -.00002182  00000-0 -11606-4 0  2927"


def tb_names(exc):
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__)]


class StrSub(str):
    pass


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


TOO_FEW = "__cinit__() takes at least 2 positional arguments ({} given)"
TOO_MANY = "__cinit__() takes at most 3 positional arguments (4 given)"
TYPE = "Argument '{}' has incorrect type (expected str, got {})"


# (args, kwargs, exception, message, has the __cinit__ traceback entry)
BINDING_CASES = [
    ((), {}, TypeError, TOO_FEW.format(0), True),
    (("a",), {}, TypeError, TOO_FEW.format(1), True),
    ((), {"line2": "b"}, TypeError, TOO_FEW.format(0), True),
    ((), {"line1": "a"}, TypeError, TOO_FEW.format(1), True),
    (("a",), {"strict_validation": 1}, TypeError, TOO_FEW.format(1), True),
    (("a",), {"bogus": 1}, TypeError, TOO_FEW.format(1), True),
    (("a", "b", 1, 2), {"bogus": 1}, TypeError, TOO_MANY, True),
    (("a", "b", 1, 2), {}, TypeError, TOO_MANY, True),
    ((1, 2), {"bogus": 1}, TypeError, "__cinit__() got an unexpected keyword argument 'bogus'", True),
    (("a", "b"), {"line1": "c"}, TypeError, "__cinit__() got multiple values for keyword argument 'line1'", True),
    (("a", "b", 0), {"strict_validation": 1}, TypeError,
     "__cinit__() got multiple values for keyword argument 'strict_validation'", True),
    ((1, 2, BadBool()), {}, ZeroDivisionError, "no truth", True),
    ((1, 2), {}, TypeError, TYPE.format("line1", "int"), False),
    (("a", None), {}, TypeError, TYPE.format("line2", "NoneType"), False),
    ((None, "b"), {}, TypeError, TYPE.format("line1", "NoneType"), False),
    ((StrSub("a"), "b"), {}, TypeError, TYPE.format("line1", "StrSub"), False),
    (("\u00e9", StrSub("b")), {}, TypeError, TYPE.format("line2", "StrSub"), False),
    (("\u00e9", "\u00e8"), {}, UnicodeEncodeError,
     "'ascii' codec can't encode character '\\xc9' in position 0: ordinal not in range(128)", True),
    ((ISS1, " x\u00e8"), {}, UnicodeEncodeError,
     "'ascii' codec can't encode character '\\xc8' in position 1: ordinal not in range(128)", True),
]


@pytest.mark.parametrize("args, kwargs, exc, message, entry", BINDING_CASES)
def test_creation_errors_and_their_order(args, kwargs, exc, message, entry):
    with pytest.raises(exc) as info:
        TLE(*args, **kwargs)
    assert str(info.value) == message
    assert (CINIT in tb_names(info.value)) == entry


@pytest.mark.parametrize("kwargs", [
    {"line1": ISS1, "line2": ISS2},
    {"line2": ISS2, "line1": ISS1, "strict_validation": []},
])
def test_keywords_bind_like_positions(kwargs):
    t = TLE(**kwargs)
    assert (t.line1, t.line2, t.satno) == (ISS1, ISS2, 25544)


@pytest.mark.parametrize("given, stored", [
    ("  1 25544u  \r\n", "1 25544U"),
    ("\t\x0b\x0c\x1c1 abc\x1d\x1e\x1f ", "1 ABC"),       # str.strip's ASCII set
    ("\u3000\u00a01 abc\u2028", "1 ABC"),               # Unicode whitespace
    ("1 \u0131x", "1 IX"),                              # dotless i upper-cases to I
    ("1 \u00dfa", "1 SSA"),                             # sharp s becomes SS
    ("ab\x00cd", "AB"),
    ("", ""),
    ("x" * 100, "X" * 69),
    ("   " + "7" * 69 + "8   ", "7" * 69),
    ("\u00df" * 40, "S" * 69),
])
def test_lines_are_normalised_and_cut(given, stored):
    client = native_client("tle_client")
    t = TLE(given, given)
    assert t.line1 == stored and t.line2 == stored
    raw1, raw2, *_ = client.fields(t)
    expected = stored.encode().ljust(70, b"\0")
    assert raw1 == expected and raw2 == expected


def test_strict_validation_is_stored_as_truth_value():
    client = native_client("tle_client")
    assert client.fields(TLE(ISS1, ISS2))[2] == 0
    assert client.fields(TLE(ISS1, ISS2, [0]))[2] == 1
    assert client.fields(TLE(ISS1, ISS2, strict_validation=0.0))[2] == 0


def start_of(year):
    return Time(str(year)).jd


@pytest.mark.parametrize("year, full", [
    ("56", 2056), ("57", 1957), ("00", 2000), ("99", 1999), ("  ", 2000),
    (" 7", 2007), ("7 ", 2007), ("-1", 1999), ("x1", 2000), ("+5", 2005),
])
def test_year_columns_and_pivot(year, full):
    t = TLE(line1(year=year, day="001.00000000"), "")
    assert t.epoch.jd == start_of(full)


@pytest.mark.parametrize("day, value", [
    ("001.00000000", 1.0),
    ("123.50000000", 123.5),
    ("264.51782528", 264.51782528),
    ("1.235e2     ", 123.5),
    ("  12.5abc   ", 12.5),
    ("ABC         ", 0.0),
    ("            ", 0.0),
    ("0X1P4       ", 16.0),    # hexadecimal, as strtod reads it
    ("-3.5        ", -3.5),
])
def test_day_columns_read_as_strtod(day, value):
    t = TLE(line1(year="21", day=day), "")
    assert t.epoch.jd == (start_of(2021) - 1.0) + value


def test_real_element_set_epoch():
    t = TLE(ISS1, ISS2)
    assert t.satno == 25544
    assert t.epoch.jd == 2454730.01782528
    assert t.epoch.iso == "2008-09-20T12:25:40.104"
    assert t.epoch.scale == "utc"


def test_empty_line1_decodes_to_defaults():
    t = TLE("", "")
    assert t.satno == "" and t.epoch.jd == start_of(2000) - 1.0
    assert native_client("tle_client").fields(t)[3] == b"\0" * 6


@pytest.mark.parametrize("field, value", [
    ("12345", 12345), ("00005", 5), ("  123", 123), ("+1234", 1234), ("-0001", -1),
    ("1_234", 1234), ("A0001", "A0001"), ("     ", ""), ("1 234", "1 234"),
    ("1__34", "1__34"), (" 12  ", 12), ("0x1F ", "0X1F"),
])
def test_satno_int_or_text(field, value):
    t = TLE(line1(satno=field.lower()), "")
    assert t.satno == value and type(t.satno) is type(value)


def test_reads_are_fresh_and_epoch_is_shared():
    t = TLE(ISS1, ISS2)
    assert t.line1 == t.line1 and t.epoch is t.epoch
    assert gc.get_referents(t) == [t.epoch] or t.epoch in gc.get_referents(t)


def test_time_failure_fails_creation_with_both_entries():
    with pytest.raises(ValueError, match="finite Julian date") as info:
        TLE(line1(day="INF         "), "")
    names = tb_names(info.value)
    assert names[-2:] == [CINIT, PARSE]


# The epoch arithmetic is Python's own: whatever `jd` is decides the result.
FAKE_TIME = f"""
    import numpy
    import orbivane.time.time as tm
    calls = []
    class FakeTime(tm.Time):
        __slots__ = ()
        jd_value = None
        def __new__(cls, *args, **kwargs):
            calls.append((args, kwargs))
            return super().__new__(cls, "2000")
        @property
        def jd(self):
            return FakeTime.jd_value
    tm.Time = FakeTime
    from {MODULE} import TLE
"""


@pytest.mark.parametrize("jd, shown", [
    ("2451544", "float 2451573.5"),
    ("numpy.float32(2451544.5)", "float32 2.451574e+06"),
    ("numpy.array([10.0, 20.0])", "ndarray [39.5 49.5]"),
    ("'2451544.5'", "TypeError unsupported operand type(s) for -: 'str' and 'float'"),
])
def test_epoch_value_uses_number_protocol(jd, shown):
    proc = run_python(FAKE_TIME + f"""
    FakeTime.jd_value = {jd}
    try:
        t = TLE("1 00005U 58002B   00030.50000000", "")
    except TypeError as e:
        print("TypeError", e)
    else:
        (year_args, year_kw), (epoch_args, epoch_kw) = calls
        assert year_args == ("2000",) and year_kw == {{}}, calls
        assert epoch_kw == {{"format": "jd"}} and len(epoch_args) == 1, calls
        assert type(t.epoch) is FakeTime
        print(type(epoch_args[0]).__name__, epoch_args[0])
    """)
    assert proc.stdout.strip() == shown


def test_pickling_and_copying_refused():
    t = TLE(ISS1, ISS2)
    refusal = "no default __reduce__ due to non-trivial __cinit__"
    attempts = [lambda p=p: pickle.dumps(t, protocol=p) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    attempts += [lambda: copy.copy(t), lambda: copy.deepcopy(t), lambda: t.__reduce__(),
                 lambda: t.__reduce_ex__(2), lambda: t.__setstate__({}),
                 lambda: t.__setstate__(__pyx_state=None)]
    for attempt in attempts:
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == refusal


@pytest.mark.parametrize("call, message", [
    (lambda t: t.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
    (lambda t: t.__reduce__(x=1), "__reduce__() got an unexpected keyword argument 'x'"),
    (lambda t: t.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
    (lambda t: t.__setstate__(1, 2), "__setstate__() takes exactly 1 positional argument (2 given)"),
    (lambda t: t.__setstate__({}, x=1), "__setstate__() got an unexpected keyword argument 'x'"),
    (lambda t: t.__setstate__(x=1), "__setstate__() takes exactly 1 positional argument (0 given)"),
    (lambda t: t.__setstate__({}, __pyx_state={}),
     "__setstate__() got multiple values for keyword argument '__pyx_state'"),
])
def test_pickling_function_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(TLE(ISS1, ISS2))
    assert str(info.value) == message


def profiled(action):
    """Runs action under a profile function; returns the native events."""
    events = []

    def profile(frame, event, arg):
        code = frame.f_code
        if event in ("call", "return") and code.co_filename.startswith("orbivane/"):
            events.append((event, code.co_name))

    sys.setprofile(profile)
    try:
        action()
    except TypeError:
        pass
    finally:
        sys.setprofile(None)
    return events


def pair(name):
    return [("call", name), ("return", name)]


def test_profiler_events():
    t = TLE(ISS1, ISS2)
    assert profiled(lambda: TLE(ISS1, ISS2)) == [
        ("call", "__cinit__"), ("call", "parse_line1"), ("return", "parse_line1"), ("return", "__cinit__")]
    for name in ("line1", "line2", "satno", "epoch"):
        assert profiled(lambda: getattr(t, name)) == pair("__get__")
    assert profiled(t.__reduce__) == pair("__reduce__")
    assert profiled(lambda: t.__setstate__({})) == pair("__setstate__")
    assert profiled(lambda: TLE(1, 2)) == []   # refused before the body starts


def test_raising_profile_function_fails_creation():
    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "__cinit__":
            raise KeyError("profiler")

    sys.setprofile(profile)
    try:
        with pytest.raises(KeyError) as info:
            TLE(ISS1, ISS2)
    finally:
        sys.setprofile(None)
    assert tb_names(info.value)[-2:] == [CINIT, "profile"]


def test_no_leaks_on_success_and_failure():
    lines = (ISS1, ISS2, "1 \u00dfx", "\u00e9")
    refcounts = [sys.getrefcount(s) for s in lines]

    def churn():
        for _ in range(3000):
            t = TLE(ISS1, ISS2, 1)
            t.line1, t.line2, t.satno, t.epoch
            TLE(lines[2], lines[2])
            for bad in ((lines[3], ISS2), (ISS1,), (1, 2), (ISS1, ISS2, BadBool())):
                try:
                    TLE(*bad)
                except Exception:
                    pass
            try:
                TLE(line1(day="INF         "), "")
            except ValueError:
                pass
            for attempt in (t.__reduce__, lambda: t.__setstate__({})):
                try:
                    attempt()
                except TypeError:
                    pass

    churn()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    churn()
    gc.collect()
    growth = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert growth < 20_000
    assert [sys.getrefcount(s) for s in lines] == refcounts


# Failures that need a fresh interpreter: a Time whose result has no `jd`,
# and a failed import (Time made to fail) with its retry.
FRESH_LEAK_LOOPS = {
    "Time result without jd": (f"""
        import orbivane.time.time as tm
        real = tm.Time
        class NoJd(real):
            __slots__ = ()
            def __new__(cls, *args, **kwargs):
                return object() if args == ("2001",) else real(*args, **kwargs)
        tm.Time = NoJd
        from {MODULE} import TLE
        line = "1 00005U 58002B   01179.78495062"
        held = sys.getrefcount(line)
    """, """
        try:
            TLE(line, "")
        except AttributeError:
            pass
    """, """
        print(sys.getrefcount(line) - held, TLE("1 00005U 58002B   00179.78495062", "").satno)
    """),
    "failed import and retry": ("""
        import importlib
        import orbivane.time.time as tm
        sys.modules["orbivane.time.time"] = None
    """, f"""
        try:
            importlib.import_module("{MODULE}")
        except ImportError:
            pass
    """, f"""
        sys.modules["orbivane.time.time"] = tm
        from {MODULE} import TLE
        print(0, TLE("1 00005U 58002B   00179.78495062", "").satno)
    """),
}


@pytest.mark.parametrize("case", FRESH_LEAK_LOOPS)
def test_no_leaks_in_fresh_interpreter(case):
    # Under 8 bytes a round: the smallest object leaked each round is 16.
    rounds = 2000
    growth, after = traced_growth(*FRESH_LEAK_LOOPS[case], rounds=rounds)
    assert int(growth) < 8 * rounds
    assert after == "0 5"


def test_native_client_reads_fields_and_redecodes():
    client = native_client("tle_client")
    t = TLE(ISS1, ISS2, True)
    assert client.record_vtable(t) == client.vtable_address()
    line1_raw, line2_raw, strict, satno, epoch = client.fields(t)
    assert line1_raw == ISS1.encode().ljust(70, b"\0") and line2_raw == ISS2.encode().ljust(70, b"\0")
    assert (strict, satno, epoch) == (1, b"25544\0", t.epoch)

    client.reparse(t, line1(satno="00042", year="21", day="123.50000000").encode())
    assert t.satno == 42 and t.epoch.jd == start_of(2021) + 122.5

    old_epoch = t.epoch
    with pytest.raises(ValueError) as info:
        client.reparse(t, line1(satno="99999", day="INF         ").encode())
    assert tb_names(info.value)[-1] == PARSE
    assert t.satno == 99999 and t.epoch is old_epoch


def test_day_field_bits_match_strtod():
    """The day value reaches Time unrounded: jd - 1.0 gives an object whose
    sum with the day is the day itself."""
    import random
    rng = random.Random(20261207)
    fields = ["-0.0        ", "+.5         ", "1.          ", ".           ", "-           ",
              "999999999999", "000000000001", "0.1234567891", "900719925474",
              "1e5         ", "1E-3        ", "  .000000001", "0x1.8P1     ", "INFINITY    ",
              # strtod skips only the C blanks, not the separators 0x1C-0x1F
              # that str.strip() removes, by either path of the reader.
              "\x1c12.5      ", "\x1f1e1       ", "\x1d\x1e7     ", "\t\n\x0b\x0c\r 3.25 ",
              "- 5         ", "+\x1c5       "]
    for _ in range(400):
        whole = rng.randrange(0, 10 ** rng.randrange(1, 6))
        fields.append(f"{whole}.{rng.randrange(10 ** 8):08d}"[:12].ljust(12))
        fields.append(f"{rng.random() * 10 ** rng.randrange(-3, 12):.{rng.randrange(0, 12)}f}"[:12].ljust(12))
    proc = run_python(FAKE_TIME + f"""
    class Identity:
        def __add__(self, day):
            return day
    class Jd:
        def __sub__(self, one):
            return Identity()
    FakeTime.jd_value = Jd()
    for day in {fields!r}:
        calls.clear()
        TLE("1 00005U 58002B   21" + day, "")
        print(repr(calls[1][0][0]))
    """)
    got = [float(v) for v in proc.stdout.split()]
    assert [str(v) for v in got] == [str(c_strtod(day.encode())) for day in fields]


def test_normalisation_matches_python_string_rules():
    """Random lines, ASCII controls and case-mapping letters included,
    stored exactly as str.strip().upper() and the ASCII codec give them."""
    import random
    rng = random.Random(7)
    alphabet = [chr(c) for c in range(0, 128)] + ["\u0131", "\u00df", "\u017f", "\u3000", "\u2029", "\u00a0"]
    for _ in range(2000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 90)))
        try:
            expected = text.strip().upper().encode("ascii").split(b"\0", 1)[0][:69].decode()
        except UnicodeEncodeError as e:
            with pytest.raises(UnicodeEncodeError) as info:
                TLE(text, text)
            assert str(info.value) == str(e)
            continue
        t = TLE(text, text)
        assert (t.line1, t.line2) == (expected, expected), repr(text)
