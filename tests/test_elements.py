"""Elements: every field of two-line element sets, against the sgp4 package's
Satrec as the oracle, and exact decimal arithmetic for the values sgp4 rounds
its own way."""

import math
import os
from fractions import Fraction

import pytest

sgp4 = pytest.importorskip("sgp4")
from sgp4.api import Satrec  # noqa: E402

from orbivane.propagators.analytical.sgp4.elements import Elements  # noqa: E402

VERIFICATION_FILE = os.path.join(os.path.dirname(sgp4.__file__), "SGP4-VER.TLE")
DEG = math.pi / 180.0
MINUTES_PER_REV = 1440.0 / (2.0 * math.pi)  # (rev/day) / (rad/min)


def verification_sets():
    """The (line1, line2) pairs of the verification file, comments skipped;
    each line 2 keeps its extra columns (start, stop and step times)."""
    with open(VERIFICATION_FILE) as f:
        lines = [line.rstrip("\r\n") for line in f if line.strip() and not line.startswith("#")]
    return list(zip(lines[0::2], lines[1::2]))


def exponent_field(text):
    """The exact value of a ' 12345-4' field: 0.12345e-4."""
    sign = -1 if text[0] == "-" else 1
    return sign * Fraction(int(text[1:6]), 10**5) * Fraction(10) ** int(text[6:8])


def assert_matches_satrec(e, line1, line2):
    s = Satrec.twoline2rv(line1[:69], line2[:69])
    assert e.norad_cat_id == s.satnum
    assert e.classification_type == s.classification
    intldesg = s.intldesg.strip()
    assert e.object_id == (None if not intldesg else
                           f"{19 if intldesg[:2] >= '57' else 20}{intldesg[:2]}-{intldesg[2:]}")
    assert e.epoch_jd1 == s.jdsatepoch
    assert abs(e.epoch_jd2 - s.jdsatepochF) < 1e-12
    # sgp4 keeps the angles in radians and the mean motion in rad/min.
    assert e.inclination * DEG == s.inclo
    assert e.ra_of_asc_node * DEG == s.nodeo
    assert e.arg_of_pericenter * DEG == s.argpo
    assert e.mean_anomaly * DEG == s.mo
    assert e.eccentricity == s.ecco
    assert e.mean_motion / MINUTES_PER_REV == s.no_kozai
    assert e.mean_motion_dot / (MINUTES_PER_REV * 1440.0) == s.ndot
    assert e.mean_motion_ddot / (MINUTES_PER_REV * 1440.0**2) == pytest.approx(s.nddot, rel=4e-16, abs=0)
    assert e.bstar == pytest.approx(s.bstar, rel=4e-16, abs=0)
    assert (e.ephemeris_type, e.element_set_no, e.rev_at_epoch) == (s.ephtype, s.elnum, s.revnum)
    # The exponent fields, exactly: correctly rounded from their digits.
    assert Fraction(e.bstar) == closest_double(exponent_field(line1[53:61]))
    assert Fraction(e.mean_motion_ddot) == closest_double(exponent_field(line1[44:52]))


def closest_double(q):
    return Fraction(float(q))  # float(Fraction) rounds correctly


@pytest.mark.parametrize("line1, line2", verification_sets())
def test_verification_sets_decode_as_sgp4_reads_them(line1, line2):
    e = Elements.from_lines(line1, line2)
    assert_matches_satrec(e, line1, line2)
    assert e.object_name is None
    assert e.epoch.jd == e.epoch_jd1 + e.epoch_jd2
