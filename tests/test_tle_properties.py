"""Property tests of TLE: whatever the arguments, creation succeeds or fails
with one of its documented exceptions, and the decoded fields follow a model
that reads the year with C's atoi and the day with C's strtod."""

import pytest
from hypothesis import given, strategies as st

from orbivane.propagators.analytical.sgp4.tle import TLE
from orbivane.time.time import Time
from libc_numbers import c_atoi, c_strtod
from native_build import native_client


class Refused(Exception):
    pass


class Truth:
    """A strict_validation flag whose truth test gives value, or raises."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if self.value is None:
            raise Refused("no truth value")
        return self.value


class StrSub(str):
    pass


# All of ASCII, and non-ASCII characters that strip away, upper-case into
# ASCII (one of them into two letters) or stay non-ASCII.
CHARS = st.one_of(st.characters(max_codepoint=127),
                  st.sampled_from("\u0131\u00df\u017f\u3000\u00a0\u2028\u00e9"))


def chars(n):
    return st.text(CHARS, min_size=n, max_size=n)


def days(column):
    """Day columns: arbitrary ones, and numbers in the forms strtod reads."""
    # Led by blanks of both kinds: the ones strtod skips, and the separators
    # 0x1C-0x1F that only str.strip() removes.
    number = st.from_regex(r"\A[ \t-\r\x1c-\x1f]{0,2}[+-]?[0-9]{0,4}\.?[0-9]{0,9}([eE][+-]?[0-9]{1,3})?\Z")
    return st.one_of(column, number.map(lambda s: s[:12].ljust(12)))


# A line 1 with its decoded columns (satellite number, year, day) filled
# with arbitrary characters at offsets 2, 18 and 20, between arbitrary
# blanks; or any text at all.
LINE = st.one_of(
    st.text(CHARS, max_size=80),
    st.tuples(st.sampled_from(["", " ", "\t\x1c"]), chars(5), chars(11), chars(2), days(chars(12)),
              st.text(CHARS, max_size=40)).map(lambda p: p[0] + "1 " + "".join(p[1:])),
)
RAW_LINE = st.one_of(
    st.binary(max_size=80),
    st.tuples(st.binary(min_size=18, max_size=18), st.binary(min_size=2, max_size=2),
              days(st.binary(min_size=12, max_size=12)).map(lambda d: d if isinstance(d, bytes) else d.encode()),
              st.binary(max_size=40)).map(b"".join),
)


def stored(line: str) -> bytes:
    """The stored text: str.strip, str.upper, strict ASCII, cut at a NUL
    and after 69 bytes."""
    return line.strip().upper().encode("ascii").split(b"\0", 1)[0][:69]


def field(line: bytes, offset: int, size: int) -> bytes:
    return line.ljust(70, b"\0")[offset:offset + size].split(b"\0", 1)[0]


def decoded(line: bytes):
    """The satellite-number bytes, and the epoch Time (or the exception that
    building it raises), that line 1 decodes to."""
    year = c_atoi(field(line, 18, 2))
    year += 2000 if year < 57 else 1900
    value = (Time(str(year)).jd - 1.0) + c_strtod(field(line, 20, 12))
    try:
        return field(line, 2, 5), Time(value, format="jd")
    except ValueError as e:
        return field(line, 2, 5), e


def satno_value(satno: bytes):
    text = satno.decode().strip()
    try:
        return int(text)
    except ValueError:
        return text


@given(LINE, LINE)
def test_creation_stores_and_decodes_as_the_model(line1, line2):
    try:
        lines = [stored(line1), stored(line2)]
    except UnicodeEncodeError as e:
        expected = e
    else:
        satno, expected = decoded(lines[0])
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as info:
            TLE(line1, line2)
        assert str(info.value) == str(expected)
        return
    t = TLE(line1, line2)
    assert (t.line1.encode(), t.line2.encode()) == tuple(lines)
    assert t.satno == satno_value(satno) and type(t.satno) is type(satno_value(satno))
    assert t.epoch.jd.hex() == expected.jd.hex()


@given(RAW_LINE)
def test_direct_decoding_of_any_bytes_follows_the_model(raw):
    """Bytes that only a compiled client can store (non-ASCII, NUL inside)
    decode by the same rules through the method table."""
    client = native_client("tle_client")
    record = client.blank()
    satno, expected = decoded(raw[:69])
    if isinstance(expected, Exception):
        with pytest.raises(ValueError) as info:
            client.reparse(record, raw)
        assert str(info.value) == str(expected)
        assert record.epoch is None
    else:
        client.reparse(record, raw)
        assert record.epoch.jd.hex() == expected.jd.hex()
    assert client.fields(record)[3] == satno.ljust(6, b"\0")


VALUES = st.one_of(LINE, st.none(), st.integers(), st.floats(), st.binary(max_size=8),
                   st.builds(StrSub, LINE), st.builds(Truth, st.sampled_from([True, False, None])),
                   st.lists(st.integers(), max_size=2))
KEYWORDS = st.one_of(st.sampled_from(["line1", "line2", "strict_validation"]), st.text(max_size=4))


@given(st.lists(VALUES, max_size=4), st.dictionaries(KEYWORDS, VALUES, max_size=3))
def test_any_arguments_succeed_or_fail_as_documented(args, kwargs):
    try:
        t = TLE(*args, **kwargs)
    except (TypeError, UnicodeEncodeError, Refused):
        return
    except ValueError as e:
        assert "finite Julian date" in str(e)
        return
    assert type(t.line1) is str and type(t.line2) is str
    assert type(t.satno) in (int, str) and type(t.epoch) is Time
