"""Two-line element text for tests: lines written field by field from the
format's column layout, and hypothesis strategies for valid field texts."""

import calendar

from hypothesis import strategies as st

ISS1 = "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927"
ISS2 = "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537"

# (first column, last column) of each field, 1-based and inclusive.
LINE1 = {"line": (1, 1), "catalogue": (3, 7), "classification": (8, 8), "designator": (10, 17),
         "year": (19, 20), "day": (21, 32), "ndot": (34, 43), "nddot": (45, 52), "bstar": (54, 61),
         "ephemeris": (63, 63), "element_set": (65, 68), "checksum": (69, 69)}
LINE2 = {"line": (1, 1), "catalogue": (3, 7), "inclination": (9, 16), "raan": (18, 25),
         "eccentricity": (27, 33), "argp": (35, 42), "anomaly": (44, 51), "mean_motion": (53, 63),
         "revolution": (64, 68), "checksum": (69, 69)}

ALPHA5_LETTERS = "ABCDEFGHJKLMNPQRSTUVWXYZ"  # 10 to 33: no I, no O


def checksum(text):
    """Modulo-10 sum of columns 1-68: digits their value, '-' one."""
    return str(sum(int(c) if c.isdigit() else c == "-" for c in text[:68]) % 10)


def with_field(line, layout, name, text):
    """The line with the field's columns replaced by text of their width."""
    first, last = layout[name]
    assert len(text) == last - first + 1, (name, text)
    return line[:first - 1] + text + line[last:]


def with_checksum(line):
    return line[:68] + checksum(line)


def write_lines(layout1=(), layout2=()):
    """ISS lines with some fields replaced, checksums recomputed."""
    line1, line2 = ISS1, ISS2
    for name, text in dict(layout1).items():
        line1 = with_field(line1, LINE1, name, text)
    for name, text in dict(layout2).items():
        line2 = with_field(line2, LINE2, name, text)
    return with_checksum(line1), with_checksum(line2)


def catalogue_text(number):
    if number < 100000:
        return f"{number:05d}"
    return ALPHA5_LETTERS[number // 10000 - 10] + f"{number % 10000:04d}"


@st.composite
def day_texts(draw, year=None):
    """(two-digit year text, full year, day text, day number, fraction digits)."""
    two = draw(st.integers(0, 99)) if year is None else year % 100
    full = 1900 + two if two >= 57 else 2000 + two
    last = 366 if calendar.isleap(full) else 365
    day = draw(st.one_of(st.integers(1, last), st.sampled_from([1, last])))
    fraction = draw(st.one_of(st.integers(0, 10**8 - 1), st.sampled_from([0, 10**8 - 1, 5 * 10**7])))
    return f"{two:02d}", full, f"{day:03d}.{fraction:08d}", day, fraction


def exponent_texts():
    return st.builds(lambda s, m, es, e: f"{s}{m:05d}{es}{e}", st.sampled_from(" +-"),
                     st.integers(0, 99999), st.sampled_from("+-"), st.integers(0, 9))


def degrees(high):
    """Angle texts of the form 'DDD.DDDD' in [0, high] ten-thousandths."""
    return st.integers(0, high).map(lambda v: f"{v / 10**4:8.4f}")


@st.composite
def valid_lines(draw):
    """Two lines with every field drawn from its valid texts."""
    number = draw(st.one_of(st.integers(0, 339999), st.sampled_from([0, 99999, 100000, 339999])))
    piece = draw(st.text("ABCDEFGHJKLMNPQRSTUVWXYZ", min_size=1, max_size=3))
    designator = draw(st.one_of(
        st.just(" " * 8),
        st.builds(lambda y, n: f"{y:02d}{n:03d}{piece:<3}", st.integers(0, 99), st.integers(1, 999))))
    two, _, day, _, _ = draw(day_texts())
    ndot = draw(st.builds(lambda s, v: f"{s}.{v:08d}", st.sampled_from(" -"), st.integers(0, 10**8 - 1)))
    mean_motion = draw(st.integers(1, 17 * 10**8).map(lambda v: f"{v / 10**8:11.8f}"))
    line1 = {"catalogue": catalogue_text(number), "classification": draw(st.sampled_from("UCS")),
             "designator": designator, "year": two, "day": day, "ndot": ndot,
             "nddot": draw(exponent_texts()), "bstar": draw(exponent_texts()),
             "ephemeris": "0", "element_set": f"{draw(st.integers(0, 9999)):4d}"}
    line2 = {"catalogue": catalogue_text(number), "inclination": draw(degrees(180 * 10**4)),
             "raan": draw(degrees(360 * 10**4 - 1)), "eccentricity": f"{draw(st.integers(0, 10**7 - 1)):07d}",
             "argp": draw(degrees(360 * 10**4 - 1)), "anomaly": draw(degrees(360 * 10**4 - 1)),
             "mean_motion": mean_motion, "revolution": f"{draw(st.integers(0, 99999)):5d}"}
    return write_lines(line1, line2)
