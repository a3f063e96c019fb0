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
    assert t.scale == "utc" and (t.jd1, t.jd2) == (jd, 0.0)


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
