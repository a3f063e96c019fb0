"""Decoding two-line element sets: every field against the sgp4 package's
Satrec (the oracle) on the verification set and on random valid lines, the
values against correctly rounded decimal conversion (Python's float and
Fraction), and each refusal with its message."""

import datetime
import math
import os
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

sgp4 = pytest.importorskip("sgp4")
from sgp4.api import Satrec  # noqa: E402

from orbivane.propagators.analytical.sgp4.elements import Elements  # noqa: E402
from orbivane.propagators.analytical.sgp4.tle import TLE  # noqa: E402
from elements_text import (ISS1, ISS2, LINE1, LINE2, catalogue_text, checksum, day_texts,  # noqa: E402
                           valid_lines, write_lines)

VERIFICATION_FILE = os.path.join(os.path.dirname(sgp4.__file__), "SGP4-VER.TLE")
DEG = math.pi / 180.0
MINUTES_PER_REV = 1440.0 / (2.0 * math.pi)  # (rev/day) / (rad/min)
MICROSECOND = Fraction(1, 86400 * 10**6)


def verification_sets():
    """The (line1, line2) pairs of the verification file, comments skipped;
    each line 2 keeps its extra columns (start, stop and step times)."""
    with open(VERIFICATION_FILE) as f:
        lines = [line.rstrip("\r\n") for line in f if line.strip() and not line.startswith("#")]
    return list(zip(lines[0::2], lines[1::2]))


def field(line, layout, name):
    first, last = layout[name]
    return line[first - 1:last]


def exponent_value(text):
    """The exact value of a ' 12345-4' field: 0.12345e-4."""
    sign = -1 if text[0] == "-" else 1
    return sign * Fraction(int(text[1:6]), 10**5) * Fraction(10) ** int(text[6:8])


def jd_of_day_start(year, day):
    return datetime.date(year, 1, 1).toordinal() + 1721424.5 + (day - 1)


def assert_matches_satrec(e, line1, line2):
    """Every field as sgp4 reads it, through the unit conversions of its
    attributes (radians, rad/min)."""
    s = Satrec.twoline2rv(line1[:69], line2[:69])
    assert e.norad_cat_id == s.satnum
    assert e.classification_type == s.classification
    designator = s.intldesg.strip()
    century = "19" if designator[:2] >= "57" else "20"
    assert e.object_id == (f"{century}{designator[:2]}-{designator[2:]}" if designator else None)
    assert e.epoch_jd1 == s.jdsatepoch
    assert abs(e.epoch_jd2 - s.jdsatepochF) < 1e-12
    assert e.inclination * DEG == s.inclo
    assert e.ra_of_asc_node * DEG == s.nodeo
    assert e.arg_of_pericenter * DEG == s.argpo
    assert e.mean_anomaly * DEG == s.mo
    assert e.eccentricity == s.ecco
    assert e.mean_motion / MINUTES_PER_REV == s.no_kozai
    assert e.mean_motion_dot / (MINUTES_PER_REV * 1440.0) == s.ndot
    # sgp4 scales the exponent fields its own way, within an ulp or so of
    # the correctly rounded values checked below.
    assert e.mean_motion_ddot / (MINUTES_PER_REV * 1440.0**2) == pytest.approx(s.nddot, rel=5e-16, abs=0)
    assert e.bstar == pytest.approx(s.bstar, rel=5e-16, abs=0)
    assert (e.ephemeris_type, e.element_set_no, e.rev_at_epoch) == (s.ephtype, s.elnum, s.revnum)


def assert_correctly_rounded(e, line1, line2):
    """Each value is its text's exact decimal value, rounded once."""
    decimals = {"inclination": "inclination", "ra_of_asc_node": "raan", "arg_of_pericenter": "argp",
                "mean_anomaly": "anomaly", "mean_motion": "mean_motion"}
    for attribute, name in decimals.items():
        assert getattr(e, attribute) == float(field(line2, LINE2, name))
    assert e.eccentricity == float("." + field(line2, LINE2, "eccentricity"))
    assert e.mean_motion_dot == float(field(line1, LINE1, "ndot").replace(" ", ""))
    assert e.mean_motion_ddot == float(exponent_value(field(line1, LINE1, "nddot")))
    assert e.bstar == float(exponent_value(field(line1, LINE1, "bstar")))


def assert_exact_epoch(e, year, day, fraction_digits):
    """jd1 is the day's 0h; jd2 the correctly rounded fraction; their sum
    is within 1 us of the text's instant."""
    assert e.epoch_jd1 == jd_of_day_start(year, day)
    exact_fraction = Fraction(int(fraction_digits), 10 ** len(fraction_digits))
    assert e.epoch_jd2 == float(exact_fraction)
    exact = Fraction(e.epoch_jd1) + exact_fraction
    assert abs(Fraction(e.epoch_jd1) + Fraction(e.epoch_jd2) - exact) < MICROSECOND


@pytest.mark.parametrize("line1, line2", verification_sets())
def test_verification_sets_decode_as_sgp4_reads_them(line1, line2):
    e = Elements.from_lines(line1, line2)
    assert_matches_satrec(e, line1, line2)
    assert_correctly_rounded(e, line1, line2)
    assert e.object_name is None
    two = int(line1[18:20])
    assert_exact_epoch(e, 1900 + two if two >= 57 else 2000 + two, int(line1[20:23]), line1[24:32])
    # Strict decoding refuses only the sets whose checksums are wrong.
    lines_ok = all(line[68] == checksum(line) for line in (line1, line2))
    if lines_ok:
        assert Elements.from_lines(line1, line2, strict=True) == e
    else:
        with pytest.raises(ValueError, match=r"\(checksum\)"):
            Elements.from_lines(line1, line2, strict=True)


@given(valid_lines())
def test_random_valid_lines_decode_as_sgp4_reads_them(lines):
    e = Elements.from_lines(*lines, strict=True)
    assert_matches_satrec(e, *lines)
    assert_correctly_rounded(e, *lines)
    assert Elements.from_tle(TLE(*lines)) == e


@given(day_texts())
def test_epoch_is_exact(day):
    two, year, text, number, fraction = day
    e = Elements.from_lines(*write_lines({"year": two, "day": text}), strict=True)
    assert_exact_epoch(e, year, number, f"{fraction:08d}")


@pytest.mark.parametrize("text, number", [
    ("00000", 0), ("00001", 1), ("99999", 99999), ("    7", 7),
    ("A0000", 100000), ("A9999", 109999), ("H9999", 179999), ("J0000", 180000),
    ("N9999", 229999), ("P0000", 230000), ("Z9999", 339999),
])
def test_catalogue_numbers_and_alpha5(text, number):
    lines = write_lines({"catalogue": text}, {"catalogue": text})
    assert Elements.from_lines(*lines).norad_cat_id == number == Satrec.twoline2rv(*lines).satnum
    if text[0] != " ":
        assert catalogue_text(number) == text


# Forms the default mode reads as sgp4 does: left-aligned decimals, blank
# counters, line terminators, text after column 69.
@pytest.mark.parametrize("line1, line2", [
    (ISS1 + "\r\n", ISS2 + "   \n"),
    (ISS1[:68], ISS2[:68]),
    (ISS1, ISS2 + "     0.00      4320.0        360.00"),
    write_lines({"ephemeris": " ", "element_set": "    ", "designator": " " * 8}),
    write_lines({"designator": "85108AAA"}, {"revolution": "    0"}),
    write_lines({}, {"inclination": "51.6416 ", "mean_motion": "15.7212539 "}),
])
def test_lenient_forms_decode_as_sgp4_reads_them(line1, line2):
    assert_matches_satrec(Elements.from_lines(line1, line2), line1, line2)


def replaced(line, column, text):
    return line[:column - 1] + text + line[column - 1 + len(text):]


L1, L2 = write_lines()
SHORT = "is too short: its fields take columns 1-68"
NOT_NUMBER = "is not a number"
STRICT_ONLY = True

# (line 1, line 2, refused only in strict mode, message)
REFUSALS = {
    "unreadable eccentricity": (L1, replaced(L2, 27, "00067A3"), False,
                                "line 2, columns 27-33 (eccentricity): '00067A3' is not a number"),
    "signed eccentricity": (L1, replaced(L2, 27, "-006703"), False,
                            "line 2, columns 27-33 (eccentricity): '-006703' is not a number"),
    "blank inside a decimal": (L1, replaced(L2, 9, " 51. 416"), False,
                               "line 2, columns 9-16 (inclination): ' 51. 416' is not a number"),
    "exponent in a decimal": (L1, replaced(L2, 53, "1.572125e01"), False,
                              "line 2, columns 53-63 (mean motion): '1.572125e01' is not a number"),
    "infinite decimal": (L1, replaced(L2, 35, "     inf"), False,
                         "line 2, columns 35-42 (argument of perigee): '     inf' is not a number"),
    "bare sign": (L1, replaced(L2, 44, "       -"), False,
                  "line 2, columns 44-51 (mean anomaly): '       -' is not a number"),
    "unreadable derivative": (replaced(L1, 34, "-.0000218x"), L2, False,
                              "line 1, columns 34-43 (mean motion derivative): '-.0000218x' is not a number"),
    "exponent field without its sign": (replaced(L1, 54, "-11606 4"), L2, False,
                                        "line 1, columns 54-61 (B*): '-11606 4' is not a number of the form "
                                        "' 12345-6' (0.12345e-6)"),
    "blank second derivative": (replaced(L1, 45, "        "), L2, False,
                                "line 1, columns 45-52 (mean motion second derivative): '        ' is not a "
                                "number of the form ' 12345-6' (0.12345e-6)"),
    "unreadable day": (replaced(L1, 21, "264.5178252x"), L2, False,
                       "line 1, columns 21-32 (epoch day): '264.5178252x' is not a day of the year"),
    "day without a point": (replaced(L1, 21, "264051782528"), L2, False,
                            "line 1, columns 21-32 (epoch day): '264051782528' is not a day of the year"),
    "day 366 of a common year": (replaced(replaced(L1, 19, "21"), 21, "366.00000000"), L2, False,
                                 "line 1, columns 21-32 (epoch day): '366.00000000' is not a day of 2021 "
                                 "(001 to 365.99999999)"),
    "day 0": (replaced(L1, 21, "000.50000000"), L2, False,
              "line 1, columns 21-32 (epoch day): '000.50000000' is not a day of 2008 (001 to 366.99999999)"),
    "one-digit year": (replaced(L1, 19, " 8"), L2, False,
                       "line 1, columns 19-20 (epoch year): ' 8' is not a two-digit year"),
    "lower-case designator": (replaced(L1, 10, "98067a"), L2, False,
                              "line 1, columns 10-17 (international designator): '98067a  ' is not an "
                              "international designator (YYNNNPPP, as 98067A)"),
    "designator without a piece": (replaced(L1, 10, "98067 "), L2, False,
                                   "line 1, columns 10-17 (international designator): '98067   ' is not an "
                                   "international designator (YYNNNPPP, as 98067A)"),
    "classification digit": (replaced(L1, 8, "1"), L2, False,
                             "line 1, column 8 (classification): '1' is not a classification letter (U, C or S)"),
    "unreadable catalogue number": (replaced(L1, 3, "25A44"), L2, False,
                                    "line 1, columns 3-7 (catalogue number): '25A44' is not a whole number"),
    "Alpha-5 letter I": (replaced(L1, 3, "I0000"), replaced(L2, 3, "I0000"), False,
                         "line 1, columns 3-7 (catalogue number): 'I0000' is not a catalogue number "
                         "(Alpha-5 letters skip I and O)"),
    "Alpha-5 letter O": (replaced(L1, 3, "O0000"), replaced(L2, 3, "O0000"), False,
                         "line 1, columns 3-7 (catalogue number): 'O0000' is not a catalogue number "
                         "(Alpha-5 letters skip I and O)"),
    "Alpha-5 with a blank": (replaced(L1, 3, "A 001"), replaced(L2, 3, "A 001"), False,
                             "line 1, columns 3-7 (catalogue number): 'A 001' is not a catalogue number"),
    "blank catalogue number": (replaced(L1, 3, "     "), L2, False,
                               "line 1, columns 3-7 (catalogue number): '     ' is blank"),
    "ephemeris type letter": (replaced(L1, 63, "X"), L2, False,
                              "line 1, column 63 (ephemeris type): 'X' is not a digit"),
    "unreadable element set number": (replaced(L1, 65, " 29a"), L2, False,
                                      "line 1, columns 65-68 (element set number): ' 29a' is not a whole number"),
    "unreadable revolution number": (L1, replaced(L2, 64, "5635x"), False,
                                     "line 2, columns 64-68 (revolution number): '5635x' is not a whole number"),
    "line 1 numbered 2": (replaced(L1, 1, "2"), L2, False, "line 1, column 1 (line number): '2' is not 1"),
    "line 2 numbered 1": (L1, replaced(L2, 1, "1"), False, "line 2, column 1 (line number): '1' is not 2"),
    "lines swapped": (L2, L1, False, "line 1, column 1 (line number): '2' is not 1"),
    "catalogue numbers differ": (L1, replaced(L2, 3, "25545"), False,
                                 "line 2, columns 3-7 (catalogue number): '25545' differs from line 1's "
                                 "catalogue number '25544'"),
    "short line 1": (L1[:60], L2, False, f"line 1, columns 1-60 (line): '{L1[:60]}' {SHORT}"),
    "short line 2": (L1, L2[:67] + "   ", False, f"line 2, columns 1-67 (line): '{L2[:67]}' {SHORT}"),
    "empty line 2": (L1, "", False, f"line 2 (line): '' {SHORT}"),
    "control character": (L1[:40] + "\x00", L2, False, f"line 1, columns 1-41 (line): '{L1[:40]}\\x00' {SHORT}"),
    "mean motion zero": (L1, replaced(L2, 53, " 0.00000000"), False,
                         "line 2, columns 53-63 (mean motion): ' 0.00000000' is not above zero"),
    "mean motion negative": (L1, replaced(L2, 53, "-1.00000000"), False,
                             "line 2, columns 53-63 (mean motion): '-1.00000000' is not above zero"),
    "non-ASCII character": (replaced(L1, 25, "\u00e9"), L2, False,
                            "line 1, column 25: '\u00e9' is not an ASCII character"),
    "wrong checksum": (replaced(L1, 69, "8"), L2, STRICT_ONLY,
                       "line 1, column 69 (checksum): '8' is not the checksum of columns 1-68, 7"),
    "checksum not a digit": (L1, replaced(L2, 69, "X"), STRICT_ONLY,
                             "line 2, column 69 (checksum): 'X' is not the checksum of columns 1-68, 7"),
    "no checksum": (L1[:68], L2, STRICT_ONLY, "line 1, column 69 (checksum): '' is missing "
                                              "(strict validation checks it)"),
    "no blank between fields": (L1, replaced(L2, 8, "0"), STRICT_ONLY,
                                "line 2, column 8 (separator): '0' is not the blank the format puts there"),
    "decimal point moved": (L1, replaced(L2, 9, "51.64160"), STRICT_ONLY,
                            "line 2, column 12 (inclination): '6' is not the decimal point the format puts there"),
    "day's point moved": (replaced(L1, 21, "64.51782528 "), L2, STRICT_ONLY,
                          "line 1, column 24 (epoch day): '5' is not the decimal point the format puts there"),
    "inclination above 180": (L1, replaced(L2, 9, "180.0001"), STRICT_ONLY,
                              "line 2, columns 9-16 (inclination): '180.0001' is outside [0, 180] degrees"),
    "node at 360": (L1, replaced(L2, 18, "360.0000"), STRICT_ONLY,
                    "line 2, columns 18-25 (right ascension of the ascending node): '360.0000' is outside "
                    "[0, 360) degrees"),
    "negative mean anomaly": (L1, replaced(L2, 44, "-10.0000"), STRICT_ONLY,
                              "line 2, columns 44-51 (mean anomaly): '-10.0000' is outside [0, 360) degrees"),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_refusals_name_line_columns_field_and_text(case):
    line1, line2, strict_only, message = REFUSALS[case]
    with pytest.raises(ValueError) as info:
        Elements.from_lines(line1, line2, strict=strict_only)
    assert str(info.value) == message
    if not strict_only:
        with pytest.raises(ValueError):
            Elements.from_lines(line1, line2, strict=True)
        return
    Elements.from_lines(line1, line2)
    # A TLE made strict refuses the same way.
    with pytest.raises(ValueError) as info:
        Elements.from_tle(TLE(line1, line2, strict_validation=True))
    assert str(info.value) == message


@given(st.text(st.characters(max_codepoint=127), max_size=80), st.text(st.characters(max_codepoint=127),
                                                                        max_size=80), st.booleans())
def test_any_text_decodes_or_is_refused_with_a_value_error(line1, line2, strict):
    try:
        e = Elements.from_lines(line1, line2, strict=strict)
    except ValueError as refusal:
        assert str(refusal).startswith(("line 1", "line 2"))
    else:
        assert 0 <= e.eccentricity < 1 and e.mean_motion > 0
