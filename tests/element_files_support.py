"""What the tests of element-set files share: the verification sets, the
fields of Elements as keywords for Elements(**fields), and the fields sgp4's
Satrec keeps, in our units."""

import datetime
import math
import os

import pytest
import sgp4

VERIFICATION_FILE = os.path.join(os.path.dirname(sgp4.__file__), "SGP4-VER.TLE")
FIELDS = ("norad_cat_id", "classification_type", "object_id", "epoch", "mean_motion_dot", "mean_motion_ddot",
          "bstar", "ephemeris_type", "element_set_no", "inclination", "ra_of_asc_node", "eccentricity",
          "arg_of_pericenter", "mean_anomaly", "mean_motion", "rev_at_epoch", "object_name")
DEG = math.pi / 180.0
MINUTES_PER_REV = 1440.0 / (2.0 * math.pi)  # (rev/day) / (rad/min)


def verification_sets():
    """The (line1, line2) pairs of the verification file: '#' lines are its
    comments, and line 2 carries the file's own columns after column 69
    (start, stop and step times), which are cut off here."""
    with open(VERIFICATION_FILE) as f:
        lines = [line.rstrip("\r\n")[:69] for line in f if line.strip() and not line.startswith("#")]
    return list(zip(lines[0::2], lines[1::2]))


def iso_epoch(e):
    """The epoch as ISO text to the microsecond (exact for two-line epochs,
    whose unit, 1e-8 day, is 864 us)."""
    day = datetime.date.fromordinal(int(e.epoch_jd1 - 1721424.5))
    moment = datetime.datetime.combine(day, datetime.time()) + datetime.timedelta(
        microseconds=round(e.epoch_jd2 * 86400e6))
    return moment.isoformat(timespec="microseconds")


def fields_of(e, **changes):
    """Keywords that make Elements(**fields) equal to e, with changes."""
    fields = {name: iso_epoch(e) if name == "epoch" else getattr(e, name) for name in FIELDS}
    return {**fields, **changes}


def assert_same_satrec(a, b):
    """Two Satrecs hold the same element set: every field equal, but for
    the exponent fields, which sgp4 scales by powers of ten its own way
    (within an ulp or so; ours are correctly rounded)."""
    fields = ("satnum", "classification", "jdsatepoch", "jdsatepochF", "ndot", "ephtype", "elnum", "inclo",
              "nodeo", "ecco", "argpo", "mo", "no_kozai", "revnum")
    assert [getattr(a, f) for f in fields] == [getattr(b, f) for f in fields]
    assert a.intldesg.strip() == b.intldesg.strip()
    assert a.nddot == pytest.approx(b.nddot, rel=5e-16, abs=0)
    assert a.bstar == pytest.approx(b.bstar, rel=5e-16, abs=0)
