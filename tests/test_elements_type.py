"""The Elements type: construction from named fields (epochs as Time or ISO
text, read exactly), the checks that construction shares with decoding,
repr, equality and hashing, pickling, from_tle, and leaks."""

import copy
import datetime
import math
import pickle
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

from orbivane.propagators.analytical.sgp4.elements import Elements
from orbivane.propagators.analytical.sgp4.tle import TLE
from orbivane.time.time import Time
from conftest import traced_growth
from elements_text import ISS1, ISS2, write_lines

FIELDS = ["norad_cat_id", "classification_type", "object_id", "epoch", "mean_motion_dot", "mean_motion_ddot",
          "bstar", "ephemeris_type", "element_set_no", "inclination", "ra_of_asc_node", "eccentricity",
          "arg_of_pericenter", "mean_anomaly", "mean_motion", "rev_at_epoch", "object_name"]
ISS = Elements.from_lines(ISS1, ISS2)


def fields_of(e, **changes):
    fields = {name: getattr(e, name) for name in FIELDS}
    fields.update(changes)
    return fields


def exact(*parts):
    return sum(map(Fraction, parts))


def test_fields_as_keywords_rebuild_the_element_set():
    rebuilt = Elements(**fields_of(ISS))
    assert fields_of(rebuilt, epoch=None) == fields_of(ISS, epoch=None)
    # The epoch comes from the Time, which keeps its instant in its two parts.
    assert exact(rebuilt.epoch_jd1, rebuilt.epoch_jd2) - exact(ISS.epoch.jd1, ISS.epoch.jd2) < Fraction(1, 2**52)
    assert rebuilt.epoch_jd1 % 1 == 0.5 and 0 <= rebuilt.epoch_jd2 < 1


@given(st.datetimes(datetime.datetime(1957, 1, 1), datetime.datetime(2056, 12, 31, 23, 59, 59, 999999)),
       st.integers(0, 11), st.data())
def test_iso_epochs_are_read_exactly(when, decimals, data):
    """jd1 is the day's 0h; jd2 the correctly rounded fraction of the day."""
    units = data.draw(st.integers(0, 10**decimals - 1))
    text = when.strftime("%Y-%m-%dT%H:%M:%S") + (f".{units:0{decimals}d}" if decimals else "")
    ordinal = when.strftime("%Y-%jT%H:%M:%S") + text[19:]
    seconds = Fraction(when.hour * 3600 + when.minute * 60 + when.second) + Fraction(units, 10**decimals)
    for form in (text, text + "Z", text.replace("T", " "), ordinal):
        e = Elements(**fields_of(ISS, epoch=form))
        assert e.epoch_jd1 == when.date().toordinal() + 1721424.5
        assert e.epoch_jd2 == float(seconds / 86400)


def test_repr():
    assert repr(ISS) == "Elements(norad_cat_id=25544, object_id='1998-067A', epoch='2008-09-20T12:25:40.104')"
    named = Elements(**fields_of(ISS, object_name="ISS (ZARYA)", object_id=None,
                                 epoch="2008-12-31T23:59:59.9996"))
    assert repr(named) == "Elements(norad_cat_id=25544, object_name='ISS (ZARYA)', epoch='2009-01-01T00:00:00.000')"


BASE = fields_of(ISS)

# (keyword changes, exception, message)
FIELD_REFUSALS = [
    ({"eccentricity": 1.0}, ValueError, "eccentricity: 1.0 is outside [0, 1)"),
    ({"eccentricity": -1e-9}, ValueError, "eccentricity: -1e-09 is outside [0, 1)"),
    ({"eccentricity": math.nan}, ValueError, "eccentricity: nan is not finite"),
    ({"mean_motion": 0}, ValueError, "mean_motion: 0.0 is not above zero"),
    ({"mean_motion": -15.5}, ValueError, "mean_motion: -15.5 is not above zero"),
    ({"bstar": math.inf}, ValueError, "bstar: inf is not finite"),
    ({"mean_anomaly": -math.inf}, ValueError, "mean_anomaly: -inf is not finite"),
    ({"inclination": 180.5, "strict": True}, ValueError, "inclination: 180.5 is outside [0, 180] degrees"),
    ({"ra_of_asc_node": -0.5, "strict": True}, ValueError, "ra_of_asc_node: -0.5 is outside [0, 360) degrees"),
    ({"arg_of_pericenter": 360, "strict": True}, ValueError,
     "arg_of_pericenter: 360.0 is outside [0, 360) degrees"),
    ({"mean_anomaly": 400, "strict": True}, ValueError, "mean_anomaly: 400.0 is outside [0, 360) degrees"),
    ({"norad_cat_id": 10**9}, ValueError, "norad_cat_id: 1000000000 is outside 0 to 999999999"),
    ({"norad_cat_id": -1}, ValueError, "norad_cat_id: -1 is outside 0 to 999999999"),
    ({"ephemeris_type": 10}, ValueError, "ephemeris_type: 10 is outside 0 to 9"),
    ({"element_set_no": 10000}, ValueError, "element_set_no: 10000 is outside 0 to 9999"),
    ({"rev_at_epoch": -1}, ValueError, "rev_at_epoch: -1 is outside 0 to 9223372036854775807"),
    ({"classification_type": "u"}, ValueError, "classification_type: 'u' is not a classification letter (U, C or S)"),
    ({"classification_type": "US"}, ValueError,
     "classification_type: 'US' is not a classification letter (U, C or S)"),
    ({"classification_type": 1}, TypeError, "classification_type must be a str, not 'int'"),
    ({"object_id": "98067A"}, ValueError,
     "object_id: '98067A' is not an international designator of the form 1998-067A"),
    ({"object_id": "1998-067ABCD"}, ValueError,
     "object_id: '1998-067ABCD' is not an international designator of the form 1998-067A"),
    ({"object_id": "1998-\u0660\u0660\u0660A"}, ValueError,
     "object_id: '1998-\u0660\u0660\u0660A' is not an international designator of the form 1998-067A"),
    ({"object_id": b"1998-067A"}, TypeError, "object_id must be a str or None, not 'bytes'"),
    ({"object_name": 7}, TypeError, "object_name must be a str or None, not 'int'"),
    ({"epoch": 2454730.0}, TypeError, "epoch must be a Time or ISO text (str), not 'float'"),
    ({"epoch": Time(2454730.0, format="jd", scale="tt")}, ValueError,
     "epoch: a Time in scale 'tt' is not UTC, the scale of element-set epochs"),
    ({"epoch": "2021-02-29T00:00:00"}, ValueError, "epoch: '2021-02-29T00:00:00' has no day 29 in its month"),
    ({"epoch": "2021-13-01T00:00:00"}, ValueError, "epoch: '2021-13-01T00:00:00' has no month 13"),
    ({"epoch": "2021-366T00:00:00"}, ValueError, "epoch: '2021-366T00:00:00' has no day 366 in 2021"),
    ({"epoch": "2021-01-01T24:00:00"}, ValueError,
     "epoch: '2021-01-01T24:00:00' is not a time of day (00:00:00 to 23:59:59.9...)"),
    ({"epoch": "2021-01-01T00:00:60"}, ValueError,
     "epoch: '2021-01-01T00:00:60' is not a time of day (00:00:00 to 23:59:59.9...)"),
    *[({"epoch": Time(jd, format="jd")}, ValueError, f"epoch: Julian date {jd!r} is outside the years 0000 to 9999")
      for jd in [1e20, -1e20, 1721059.0, 5373484.5]],
    ({"epoch": "2021-01-01T00:00:00.123456789012"}, ValueError,
     "epoch: '2021-01-01T00:00:00.123456789012' has more than 11 decimals of a second"),
    *[({"epoch": text}, ValueError, f"epoch: {text!r} is not an epoch of the form YYYY-MM-DDTHH:MM:SS.ffffff "
                                    "(or YYYY-DDDTHH:MM:SS.ffffff)")
      for text in ["2021-01-01", "2021-01-01T00:00:00.", "2021-01-01T00:00", "21-01-01T00:00:00",
                   "2021-01-01T00:00:00+00:00", " 2021-01-01T00:00:00", "2021-1-01T00:00:00", ""]],
]


@pytest.mark.parametrize("changes, exception, message", FIELD_REFUSALS)
def test_field_refusals_name_the_field_and_value(changes, exception, message):
    with pytest.raises(exception) as info:
        Elements(**{**BASE, **changes})
    assert str(info.value) == message
    if changes.pop("strict", False):  # angles are checked only when asked
        assert Elements(**{**BASE, **changes}).inclination == changes.get("inclination", ISS.inclination)


def test_field_limits_are_accepted():
    e = Elements(**fields_of(ISS, norad_cat_id=999999999, eccentricity=0.0, inclination=180.0,
                             ra_of_asc_node=0.0, mean_anomaly=359.9999999, element_set_no=9999,
                             ephemeris_type=9, object_id="2056-999ZZZ", classification_type="S", strict=True))
    assert (e.norad_cat_id, e.object_id, e.classification_type) == (999999999, "2056-999ZZZ", "S")


@pytest.mark.parametrize("name", [n for n in FIELDS if n != "epoch"])
def test_equality_and_hash_follow_every_field(name):
    value = getattr(ISS, name)
    if name == "object_id":
        other = "1998-067B"
    elif value is None or isinstance(value, str):
        other = "C"
    elif isinstance(value, int):
        other = value + 1
    else:
        other = value * 0.5 if value else 1e-5
    changed = Elements(**fields_of(ISS, epoch="2008-09-20T12:25:40.104192", **{name: other}))
    same = Elements(**fields_of(changed, epoch="2008-09-20T12:25:40.104192", **{name: value}))
    assert changed != same and not changed == same
    assert same == Elements(**fields_of(same, epoch="2008-09-20T12:25:40.104192"))
    assert hash(same) == hash(copy.copy(same))


def test_equality_with_other_types_and_signed_zeros():
    assert ISS != ISS1 and not ISS == 5 and ISS.__eq__(5) is NotImplemented
    zero = Elements(**fields_of(ISS, mean_anomaly=0.0, epoch="2008-09-20T00:00:00"))
    negative_zero = Elements(**fields_of(ISS, mean_anomaly=-0.0, epoch="2008-09-20T00:00:00"))
    assert zero == negative_zero and hash(zero) == hash(negative_zero)
    assert len({ISS, Elements.from_tle(TLE(ISS1, ISS2)), zero}) == 2


def test_pickling_and_copying_keep_every_field():
    named = Elements(**fields_of(ISS, object_name="ISS (ZARYA)", epoch="2008-09-20T12:25:40.104192"))
    extremes = [Elements(**fields_of(ISS, epoch=text)) for text in ("0000-01-01T00:00:00", "9999-365T23:59:59.99999999999")]
    for e in (ISS, named, Elements.from_lines(*write_lines({"designator": " " * 8})), *extremes):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            data = pickle.dumps(e, protocol=protocol)
            assert b"orbivane.propagators.analytical.sgp4.elements" in data
            back = pickle.loads(data)
            assert back == e and (back.epoch_jd1, back.epoch_jd2) == (e.epoch_jd1, e.epoch_jd2)
        assert copy.copy(e) == e and copy.deepcopy(e) == e


@pytest.mark.parametrize("index, value, exception, message", [
    (None, None, TypeError, "an Elements state is a tuple of 18 fields"),
    (12, 1.5, ValueError, "eccentricity: 1.5 is outside [0, 1)"),
    (3, 2454729.25, ValueError, "the epoch of an Elements state is a day's 0h and a fraction in [0, 1)"),
    (4, 1.0, ValueError, "the epoch of an Elements state is a day's 0h and a fraction in [0, 1)"),
    (4, math.nan, ValueError, "the epoch of an Elements state is a day's 0h and a fraction in [0, 1)"),
    (3, 2**51 + 0.5, ValueError, f"epoch: Julian date {2**51 + 0.5 + ISS.epoch_jd2!r} is outside the years 0000 to 9999"),
    (0, "25544", TypeError, "'str' object cannot be interpreted as an integer"),
    (3, "2454729.5", TypeError, "must be real number, not str"),
    (17, b"ISS", TypeError, "object_name must be a str or None, not 'bytes'"),
])
def test_tampered_pickle_states_are_refused(index, value, exception, message):
    function, arguments, state = ISS.__reduce__()
    state = state[:-1] if index is None else state[:index] + (value,) + state[index + 1:]
    with pytest.raises(exception) as info:
        function(*arguments).__setstate__(state)
    assert str(info.value) == message


def test_from_tle_follows_the_tle():
    lower = (ISS1.lower() + "  ", "  " + ISS2.lower())
    assert Elements.from_tle(TLE(*lower)) == ISS
    broken = (ISS1[:68] + "0", ISS2)
    assert Elements.from_tle(TLE(*broken)) == ISS
    with pytest.raises(ValueError, match=r"^line 1, column 69 \(checksum\)"):
        Elements.from_tle(TLE(*broken, strict_validation=True))
    with pytest.raises(TypeError, match="^expected a TLE, not 'Elements'$"):
        Elements.from_tle(ISS)


def test_fields_are_read_only_and_the_type_final():
    for name in FIELDS + ["epoch_jd1", "epoch_jd2"]:
        with pytest.raises(AttributeError):
            setattr(ISS, name, getattr(ISS, name))
    with pytest.raises(TypeError):
        type("Derived", (Elements,), {})
    assert Elements.__module__ == "orbivane.propagators.analytical.sgp4.elements"


def test_no_leaks_on_success_and_failure():
    growth, = traced_growth(f"""
        import pickle
        from orbivane.propagators.analytical.sgp4.elements import Elements
        from orbivane.propagators.analytical.sgp4.tle import TLE
        lines = {(ISS1, ISS2)!r}
        tle = TLE(*lines, True)
        fields = dict(norad_cat_id=5, epoch="2008-09-20T12:25:40.104192", mean_motion=15.0,
                      eccentricity=0.1, inclination=1.0, ra_of_asc_node=2.0, arg_of_pericenter=3.0,
                      mean_anomaly=4.0, object_name="X", object_id="1998-067A")
    """, """
        e = Elements.from_lines(*lines)
        e.epoch, e.object_id, e.classification_type, repr(e), hash(e)
        pickle.loads(pickle.dumps(Elements.from_tle(tle)))
        Elements(**fields)
        for bad in ((lines[0], lines[1][:50]), (lines[0], "\u00e9")):
            try:
                Elements.from_lines(*bad)
            except ValueError:
                pass
        for change in ({"eccentricity": 2.0}, {"object_id": "x"}, {"epoch": "2021"}, {"epoch": 1}):
            try:
                Elements(**{**fields, **change})
            except (TypeError, ValueError):
                pass
    """, rounds=2000)
    assert int(growth) < 8 * 2000
