"""Catalogues of two-line element sets: read_tle against the sgp4 package's
Satrec (the oracle) on the verification set laid out as real files are
(names in both forms, CR LF, blank lines, no final newline), write_tle
against sgp4's exporter and read back by sgp4, and each refusal with its
message."""

import io

import pytest
from hypothesis import given, strategies as st

sgp4 = pytest.importorskip("sgp4")
from sgp4.api import Satrec  # noqa: E402
from sgp4.exporter import export_tle  # noqa: E402

from orbivane.propagators.analytical.sgp4.elements import (Elements, ElementsList, read_tle,  # noqa: E402
                                                            write_tle)
from element_files_support import assert_same_satrec, fields_of, verification_sets  # noqa: E402
from elements_text import ISS1, ISS2, catalogue_text, valid_lines, write_lines  # noqa: E402

ISS = Elements.from_lines(ISS1, ISS2)
GOOD = f"{ISS1}\n{ISS2}\n"


def mixed_catalogue(sets):
    """The sets as a file people get: plain and "0 NAME" name lines, sets
    without one, CR LF and LF, blank lines, trailing blanks, no final
    newline. Returns (text, the names read from it)."""
    parts, names = [], []
    for i, (line1, line2) in enumerate(sets):
        name = [f"SAT {i} (A/B)", None, f"DEB-{i}  "][i % 3]
        end = "\r\n" if i % 2 else "\n"
        if name is not None:
            parts.append(("0 " if i % 6 == 0 else "") + name + end)
        parts.append(line1 + "   " * (i % 4 == 1) + end + line2 + end + "\n" * (i % 5 == 2))
        names.append(name.rstrip() if name else None)
    return "".join(parts).rstrip("\r\n"), names


def zero_as_plus(line):
    """Columns 1-68 with a zero second derivative written ' 00000+0', as
    current catalogues write it (the exporter writes ' 00000-0')."""
    return line[:44] + line[44:52].replace(" 00000-0", " 00000+0") + line[52:68]


def test_verification_catalogue_reads_as_sgp4_reads_it_and_writes_as_its_exporter_does():
    sets = verification_sets()
    text, names = mixed_catalogue(sets)
    elements = read_tle(text)
    assert isinstance(elements, ElementsList) and elements.skipped == []
    assert [e.object_name for e in elements] == names
    for e, (line1, line2) in zip(elements, sets, strict=True):
        s = Satrec.twoline2rv(line1, line2)
        assert (e.norad_cat_id, e.epoch_jd1, e.eccentricity, e.rev_at_epoch) == (s.satnum, s.jdsatepoch, s.ecco,
                                                                                  s.revnum)
        assert e == Elements(**fields_of(Elements.from_lines(line1, line2), object_name=e.object_name))

    written = [line for line in write_tle(elements).splitlines() if line[:2] in ("1 ", "2 ")]
    for (line1, line2), ours in zip(sets, zip(written[0::2], written[1::2]), strict=True):
        theirs = export_tle(Satrec.twoline2rv(line1, line2))
        assert list(map(zero_as_plus, ours)) == list(map(zero_as_plus, theirs))
        assert_same_satrec(Satrec.twoline2rv(*ours), Satrec.twoline2rv(line1, line2))
    assert read_tle(write_tle(elements)) == elements


@given(valid_lines(), st.sampled_from(["ISS (ZARYA)", "0 ZERO", "1 ONE", "2", "", None]))
def test_random_sets_written_read_back_by_sgp4_and_by_us(lines, name):
    e = Elements(**fields_of(read_tle("\n".join(lines))[0], object_name=name))
    text = write_tle(e)
    line1, line2 = text.splitlines()[-2:]
    assert_same_satrec(Satrec.twoline2rv(line1, line2), Satrec.twoline2rv(*lines))
    (back,) = read_tle(text)
    assert fields_of(back) == fields_of(e, object_name=name or None)


@pytest.mark.parametrize("number", [0, 5, 99999, 100000, 109999, 179999, 180000, 229999, 230000, 339999])
def test_alpha5_written_as_read(number):
    line1, line2 = write_lines({"catalogue": catalogue_text(number)}, {"catalogue": catalogue_text(number)})
    text = write_tle(Elements.from_lines(line1, line2))
    assert [zero_as_plus(line) for line in text.splitlines()] == [zero_as_plus(line1), zero_as_plus(line2)]
    assert read_tle(text)[0].norad_cat_id == number == Satrec.twoline2rv(*text.splitlines()).satnum


@pytest.mark.parametrize("kind", ["str", "bytes", "path", "pathlike", "text file", "binary file", "StringIO"])
def test_sources_and_their_names_in_messages(tmp_path, kind):
    text = f"ISS\n{ISS1}\n{ISS2[:28]}X{ISS2[29:]}\n"
    path = tmp_path / "catalogue.tle"
    path.write_text(text)
    with open(path) as text_file, open(path, "rb") as binary_file:
        source, name = {"str": (text, "<string>"), "bytes": (text.encode(), "<string>"),
                        "path": (str(path), str(path)), "pathlike": (path, str(path)),
                        "text file": (text_file, str(path)), "binary file": (binary_file, str(path)),
                        "StringIO": (io.StringIO(text), "<file>")}[kind]
        with pytest.raises(ValueError) as refusal:
            read_tle(source)
    assert str(refusal.value) == f"{name}, line 3, columns 27-33 (eccentricity): '00X6703' is not a number"


# (text, strict, message); each is the first record, and the good set
# added after it is read when skipping.
READ_REFUSALS = {
    "field": (f"ISS\n{ISS1}\n{ISS2[:26]}00067A3{ISS2[33:]}\n", False,
              "line 3, columns 27-33 (eccentricity): '00067A3' is not a number"),
    "line 1 without line 2": (f"ISS\n{ISS1}\nMIR\n", False,
                              f"line 2: '{ISS1}' is line 1 of an element set without its line 2"),
    "line 2 without line 1": (f"\n{ISS2}\n", False, f"line 2: '{ISS2}' is line 2 of an element set without its line 1"),
    "stray line": ("ISS\nMIR\n", False, "line 1: 'ISS' is neither line 1 of an element set nor a name line above one"),
    "non-ASCII column": (f"{ISS1[:24]}\u00e9{ISS1[25:]}\r\n{ISS2}\r\n", False,
                         "line 1, column 25: '\u00e9' is not an ASCII character"),
    "name not UTF-8": (b"SAT \xe9\n" + f"{ISS1[:68]}\n{ISS2}\n".encode(), False, "line 1: 'SAT \\xe9' is not UTF-8 text"),
    "strict checksum": (f"{ISS1[:68]}8\n{ISS2}\n", True,
                        "line 1, column 69 (checksum): '8' is not the checksum of columns 1-68, 7"),
}


@pytest.mark.parametrize("case", READ_REFUSALS)
def test_read_refusals_name_source_line_field_and_text(case):
    text, strict, message = READ_REFUSALS[case]
    with pytest.raises(ValueError) as refusal:
        read_tle(text, strict=strict)
    assert str(refusal.value) == f"<string>, {message}"
    good = GOOD.encode() if isinstance(text, bytes) else GOOD
    result = read_tle(text + good, strict=strict, errors="skip")
    assert result.skipped == [(1, f"<string>, {message}")]
    assert [fields_of(e, object_name=None) for e in result] == [fields_of(ISS)]


def test_skipping_keeps_every_good_set_and_lists_every_bad_record():
    bad = f"{ISS1}\n{ISS2[:26]}00067A3{ISS2[33:]}\n"
    result = read_tle("\n".join([GOOD, bad, "1 junk", GOOD, bad, GOOD]), errors="skip")
    assert result == [ISS] * 3
    assert [number for number, _ in result.skipped] == [2, 3, 5]
    assert read_tle(GOOD * 2, errors="raise").skipped == []
    with pytest.raises(ValueError, match="errors must be 'raise' or 'skip', not 'ignore'"):
        read_tle(GOOD, errors="ignore")


# Element sets that two-line text cannot carry, and what the refusal says.
WRITE_REFUSALS = {
    "catalogue number above Z9999": ({"norad_cat_id": 340000}, "norad_cat_id 340000 is above 339999 (Z9999)"),
    "nine digits": ({"norad_cat_id": 999999999}, "norad_cat_id 999999999 is above 339999 (Z9999)"),
    "epoch after 2056": ({"epoch": "2057-01-01T00:00:00"}, "epoch year 2057 is outside 1957-2056"),
    "launch before 1957": ({"object_id": "1956-001A"}, "object_id '1956-001A' has a launch year outside 1957-2056"),
    "mean motion of three digits": ({"mean_motion": 100.0}, "mean_motion 100.0 does not fit columns 53-63"),
    "angle below -99.9999": ({"inclination": -100.0}, "inclination -100.0 does not fit columns 9-16"),
    "derivative rounding to 1": ({"mean_motion_dot": 0.999999999}, "mean_motion_dot 0.999999999 does not fit"),
    "B* of 1e9": ({"bstar": -1e9}, "bstar -1000000000.0 does not fit columns 54-61"),
    "eccentricity rounding to 1": ({"eccentricity": 0.99999996}, "eccentricity 0.99999996 does not fit"),
    "name with a line break": ({"object_name": "A\nB"}, "object_name 'A\\nB' holds a line break"),
}


@pytest.mark.parametrize("case", WRITE_REFUSALS)
def test_write_refusals_name_the_set_field_and_value(case):
    changes, message = WRITE_REFUSALS[case]
    with pytest.raises(ValueError) as refusal:
        write_tle([ISS, Elements(**fields_of(ISS, **changes))])
    assert str(refusal.value).startswith(f"element set 2: {message}")


def test_writing_to_files(tmp_path):
    path = tmp_path / "out.tle"
    assert write_tle(ISS, path) is None
    binary, text = io.BytesIO(), io.StringIO()
    write_tle([ISS], binary)
    write_tle(iter([ISS]), text)
    assert path.read_bytes() == binary.getvalue() == text.getvalue().encode() == write_tle(ISS).encode()
    with pytest.raises(TypeError, match="element set 2 is not an Elements, but 'str'"):
        write_tle([ISS, ISS1])


@given(st.lists(st.sampled_from([ISS1, ISS2, "ISS", "0 MIR", "", "  \t", ISS1[:40], "1 x", "2", "0"]), max_size=12),
       st.sampled_from(["\n", "\r\n", "\r"]))
def test_any_arrangement_of_lines_loses_no_set(lines, end):
    text = end.join(lines).encode()  # bytes are content, even without a line break
    result = read_tle(text, errors="skip")
    kept = [line for line in lines if line.strip()]
    pairs = sum(kept[i:i + 2] == [ISS1, ISS2] for i in range(len(kept)))
    assert len(result) == pairs and all(fields_of(e, object_name=None) == fields_of(ISS) for e in result)
    numbers = [number for number, _ in result.skipped]
    assert numbers == sorted(set(numbers))
    try:
        assert read_tle(text) == result and not result.skipped
    except ValueError as refusal:
        assert str(refusal) == result.skipped[0][1]
