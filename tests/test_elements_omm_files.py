"""Orbit Mean-elements Messages: read_omm and write_omm in each encoding
against the sgp4 package's OMM reader and exporter (the oracle), round
trips of random element sets (nine-digit catalogue numbers included), and
each refusal with its message."""

import csv
import datetime
import io
import json
from xml.sax.saxutils import escape

import pytest
from hypothesis import given, strategies as st

sgp4 = pytest.importorskip("sgp4")
from sgp4 import omm  # noqa: E402
from sgp4.api import Satrec  # noqa: E402
from sgp4.exporter import export_omm  # noqa: E402

from orbivane.propagators.analytical.sgp4.elements import Elements, read_omm, write_omm, write_tle  # noqa: E402
from element_files_support import DEG, MINUTES_PER_REV, fields_of, verification_sets  # noqa: E402
from conftest import traced_growth  # noqa: E402
from elements_text import ISS1, ISS2  # noqa: E402

ENCODINGS = ("csv", "json", "xml", "kvn")
ISS = Elements.from_lines(ISS1, ISS2)


def sgp4_records(text, encoding):
    """The records of a file as sgp4 reads them; for JSON and KVN, which it
    has no reader of, as the standard library and the KEY = VALUE [unit]
    rule split them, for sgp4's omm.initialize to read."""
    if encoding == "csv":
        return list(omm.parse_csv(io.StringIO(text)))
    if encoding == "xml":
        return list(omm.parse_xml(io.StringIO(text)))
    if encoding == "json":
        return json.loads(text)
    return [{key.strip(): value.split(" [")[0].strip() for key, _, value in
             (line.partition("=") for line in block.splitlines())} for block in text.split("\n\n")]


def satrec_of(record):
    s = Satrec()
    omm.initialize(s, record)
    return s


def assert_reads_as_sgp4_does(e, s):
    """Every field as sgp4 keeps it, in radians and rad/min; the epoch
    within 1 us (sgp4 derives its day fraction its own way; ours is the
    correctly rounded fraction of the text's exact time)."""
    assert (e.norad_cat_id, e.classification_type, e.ephemeris_type, e.element_set_no, e.rev_at_epoch) == (
        s.satnum, s.classification, s.ephtype, s.elnum, s.revnum)
    assert (e.object_id or "")[2:].replace("-", "") == s.intldesg.strip()
    assert e.epoch_jd1 == s.jdsatepoch and abs(e.epoch_jd2 - s.jdsatepochF) < 1e-11
    assert [e.inclination * DEG, e.ra_of_asc_node * DEG, e.arg_of_pericenter * DEG, e.mean_anomaly * DEG,
            e.eccentricity, e.bstar] == [s.inclo, s.nodeo, s.argpo, s.mo, s.ecco, s.bstar]
    rates = [e.mean_motion / MINUTES_PER_REV, e.mean_motion_dot / (MINUTES_PER_REV * 1440.0),
             e.mean_motion_ddot / (MINUTES_PER_REV * 1440.0**2)]
    assert rates == pytest.approx([s.no_kozai, s.ndot, s.nddot], rel=5e-16, abs=0)


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_written_files_read_by_sgp4_and_by_us_to_the_same_fields(encoding):
    # sgp4 reads no blank designator, so the sets without one are left out.
    elements = [Elements(**fields_of(Elements.from_lines(*lines), object_name=f"SAT {i} <&>"))
                for i, lines in enumerate(verification_sets()) if lines[0][9:17].strip()]
    text = write_omm(elements, format=encoding)
    ours = read_omm(text)
    assert ours == elements and ours.skipped == []  # the epoch too: 1e-8 day is 864 us
    for e, record in zip(ours, sgp4_records(text, encoding), strict=True):
        assert record["OBJECT_NAME"] == e.object_name and record["EPOCH"].endswith(iso_tail(e))
        assert_reads_as_sgp4_does(e, satrec_of(record))


def iso_tail(e):
    return fields_of(e)["epoch"][10:]


# The two providers' forms of the records sgp4's exporter makes: CSV, JSON
# with numbers, JSON with every value a string.
PROVIDER_FORMS = {
    "csv": lambda records: csv_text(records),
    "json numbers": json.dumps,
    "json strings": lambda records: json.dumps([{k: str(v) for k, v in r.items()} for r in records], indent=1),
}


def csv_text(records):
    text = io.StringIO()
    writer = csv.DictWriter(text, list(records[0]), lineterminator="\r\n")
    writer.writeheader()
    writer.writerows(records)
    return text.getvalue()


@pytest.mark.parametrize("form", PROVIDER_FORMS)
def test_providers_files_read_as_sgp4_reads_them(form):
    records = [export_omm(Satrec.twoline2rv(*lines), f"OBJECT {i}")
               for i, lines in enumerate(verification_sets()) if lines[0][9:17].strip()]
    text = PROVIDER_FORMS[form](records)
    theirs = sgp4_records(text, "csv") if form == "csv" else records
    for e, record in zip(read_omm(text), theirs, strict=True):
        assert (e.object_name, e.object_id) == (record["OBJECT_NAME"], record["OBJECT_ID"])
        assert_reads_as_sgp4_does(e, satrec_of(record))


# Names any encoding carries: no control characters, nor what XML 1.0 has
# no room for.
names = st.text(st.characters(blacklist_categories=("Cs", "Cc"), blacklist_characters="\ufffe\uffff"), min_size=1,
                max_size=24).map(str.strip).filter(bool)
reals = st.floats(allow_nan=False, allow_infinity=False)


@st.composite
def element_fields(draw):
    """Any element set Elements(**fields) takes, the epoch to the microsecond."""
    epoch = draw(st.datetimes(datetime.datetime(1900, 1, 1), datetime.datetime(2199, 12, 31)))
    return {"norad_cat_id": draw(st.integers(0, 999999999)), "epoch": epoch.isoformat(timespec="microseconds"),
            "mean_motion": draw(st.floats(0, 20, exclude_min=True)),
            "eccentricity": draw(st.floats(0, 1, exclude_max=True)),
            "inclination": draw(reals), "ra_of_asc_node": draw(reals), "arg_of_pericenter": draw(reals),
            "mean_anomaly": draw(reals), "bstar": draw(reals), "mean_motion_dot": draw(reals),
            "mean_motion_ddot": draw(reals), "object_name": draw(st.none() | names),
            "object_id": draw(st.none() | st.from_regex(r"\A[0-9]{4}-[0-9]{3}[A-Z]{1,3}\Z")),
            "classification_type": draw(st.sampled_from("UCS")), "ephemeris_type": draw(st.integers(0, 9)),
            "element_set_no": draw(st.integers(0, 9999)), "rev_at_epoch": draw(st.integers(0, 10**12))}


@given(element_fields(), element_fields(), st.sampled_from(ENCODINGS + ("json, ASCII",)))
def test_any_element_sets_read_back_as_written(fields, other, encoding):
    elements = [Elements(**fields), Elements(**other)]
    if encoding == "json, ASCII":  # names with \\u escapes, surrogate pairs for characters above U+FFFF
        text = json.dumps(json.loads(write_omm(elements, format="json")), indent=2)
    else:
        text = write_omm(elements, format=encoding)
    assert read_omm(text) == elements


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_sources_formats_and_files(tmp_path, encoding):
    path = tmp_path / f"catalogue.{encoding}"
    assert write_omm(ISS, path, format=encoding) is None
    text = path.read_text()
    with open(path, "rb") as binary:
        sources = [path, str(path), text, text.encode(), io.StringIO(text), binary]
        assert all(read_omm(source) == [ISS] for source in sources)  # the format found by suffix or content
    other = tmp_path / "catalogue.txt"
    other.write_text(text)
    assert read_omm(other) == read_omm(other, format=encoding) == [ISS]


def xml_variants():
    """The NDM/XML forms: omm elements in an ndm root, an omm root, and
    either in the schema's namespace."""
    text = write_omm([ISS, ISS], format="xml")
    ndm = text[text.index("<ndm"):]
    single = ndm[ndm.index("<omm"):ndm.index("</omm>") + 6]
    return {"ndm": text, "omm root": single,
            "namespaced": ndm.replace("<ndm ", '<ndm xmlns="urn:ccsds:schema:ndmxml" ', 1)}


@pytest.mark.parametrize("variant", ["ndm", "omm root", "namespaced"])
def test_xml_variants(variant):
    text = xml_variants()[variant]
    assert read_omm(text) == [ISS] * (1 if variant == "omm root" else 2)


GOOD_RECORD = {"CCSDS_OMM_VERS": "2.0", **{k: str(v) for k, v in json.loads(write_omm(ISS))[0].items()},
               "TIME_SYSTEM": "UTC"}


def encoded(records, encoding):
    """Records of text values in the encoding, as a provider writes them."""
    if encoding == "csv":
        keys = dict.fromkeys(key for r in records for key in r)
        return csv_text([{key: r.get(key, "") for key in keys} for r in records])
    if encoding == "json":
        return json.dumps(records)
    if encoding == "xml":
        return "<ndm>" + "".join("<omm>" + "".join(f"<{k}>{escape(v)}</{k}>" for k, v in r.items()) + "</omm>"
                                 for r in records) + "</ndm>"
    return "\n".join(f"{k} = {v}" for r in records for k, v in r.items())


# (changes to a good record, the message after "<string>, record 2: ").
RECORD_REFUSALS = {
    "required field missing": ({"EPOCH": None}, "EPOCH is missing"),
    "number": ({"ECCENTRICITY": "0.0006A"}, "ECCENTRICITY: '0.0006A' is not a number"),
    "infinity": ({"BSTAR": "inf"}, "BSTAR: 'inf' is not a number"),
    "whole number": ({"NORAD_CAT_ID": "25544.0"}, "NORAD_CAT_ID: '25544.0' is not a whole number"),
    "epoch": ({"EPOCH": "2008-13-20T12:25:40"}, "EPOCH: '2008-13-20T12:25:40' has no month 13"),
    "time system": ({"TIME_SYSTEM": "TAI"}, "TIME_SYSTEM: 'TAI' is not UTC, the time system of element-set epochs"),
    "theory": ({"MEAN_ELEMENT_THEORY": "SGP4-XP"}, "MEAN_ELEMENT_THEORY: 'SGP4-XP' is not SGP4"),
    "eccentricity range": ({"ECCENTRICITY": "1.5"}, "eccentricity: 1.5 is outside [0, 1)"),
    "ten-digit catalogue number": ({"NORAD_CAT_ID": "1000000000"}, "norad_cat_id: 1000000000 is outside 0 to 999999999"),
    "designator": ({"OBJECT_ID": "98067A"}, "object_id: '98067A' is not an international designator"),
}


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("case", RECORD_REFUSALS)
def test_record_refusals_name_source_record_field_and_value(case, encoding):
    changes, message = RECORD_REFUSALS[case]
    bad = {k: v for k, v in {**GOOD_RECORD, **changes}.items() if v is not None}
    text = encoded([GOOD_RECORD, bad, GOOD_RECORD], encoding)
    with pytest.raises(ValueError) as refusal:
        read_omm(text, format=encoding)
    assert str(refusal.value).startswith(f"<string>, record 2: {message}")
    result = read_omm(text, format=encoding, errors="skip")
    assert result == [ISS, ISS] and result.skipped == [(2, str(refusal.value))]


# (text, format, message): files refused whole, or one record of them.
FILE_REFUSALS = {
    "not JSON": ('[{"NORAD_CAT_ID": 5,', "json", "<string>: not JSON (line 1, column 21: a key in double quotes"),
    "JSON after the document": ("[]\n[]", "json", "<string>: not JSON (line 2, column 1: extra data after the"),
    "JSON escape": ('[{"OBJECT_NAME": "\\x41"}]', "json", "<string>: not JSON (line 1, column 20: an unknown escape"),
    "JSON of no records": ("5\n", "json", "<string>: not an OMM in JSON: an array of objects, or one object, not a "
                                         "number"),
    "JSON record not an object": ("[true]", "json", "<string>, record 1: is not an object of OMM fields, but a "
                                                    "boolean"),
    "JSON value of no field's form": (json.dumps([{**GOOD_RECORD, "BSTAR": [1, 2]}]), "json",
                                      "<string>, record 1: BSTAR: [1, 2] is not a number"),
    "CSV quote": ('NORAD_CAT_ID\n"5"x\n', "csv", "<string>: not CSV (line 2: a quoted field is followed by 'x'"),
    "not XML": ("<ndm><omm></ndm>", "xml", "<string>: not XML (mismatched tag: line 1, column 12)"),
    "XML of no message": ("<opm/>", "xml", "<string>: not an OMM in XML: the root element is <opm>"),
    "CSV row too short": ("NORAD_CAT_ID,EPOCH\n5\n", "csv", "<string>, record 1: has 1 values for the header's 2"),
    "KVN line": ("CCSDS_OMM_VERS = 2.0\nOBJECT_NAME ISS\n", "kvn",
                 "<string>, record 1: line 2: 'OBJECT_NAME ISS' is not of the form KEY = VALUE"),
}


@pytest.mark.parametrize("case", FILE_REFUSALS)
def test_file_refusals_name_the_source(case):
    text, encoding, message = FILE_REFUSALS[case]
    with pytest.raises(ValueError) as refusal:
        read_omm(text, format=encoding)
    assert str(refusal.value).startswith(message)
    if ", record " in message:
        result = read_omm(text, format=encoding, errors="skip")
        assert result == [] and result.skipped == [(1, str(refusal.value))]
    else:
        with pytest.raises(ValueError):
            read_omm(text, format=encoding, errors="skip")


def test_numbers_above_alpha5_live_in_omm_only():
    e = Elements(**fields_of(ISS, norad_cat_id=999999999))
    assert read_omm(write_omm(e, format="kvn"))[0].norad_cat_id == 999999999
    with pytest.raises(ValueError, match="above 339999"):
        write_tle(e)


def test_no_leaks_reading_and_writing_files_good_or_bad():
    good = write_omm([ISS, ISS], format="json")
    growth, = traced_growth(f"""
        from orbivane.propagators.analytical.sgp4.elements import read_omm, read_tle, write_omm, write_tle
        tle = {ISS1 + chr(10) + ISS2 + chr(10)!r}
        bad_tle = "NAME" + chr(10) + tle[:100] + chr(10) + tle[70:] + "1 x" + chr(10) + tle
        good = {good!r}
        bad = good.replace('"BSTAR": ', '"BSTAR": 1e999, "X": ')
        # XML is parsed and written by ElementTree, then read as KVN is.
        files = {{f: write_omm(read_omm(good), format=f) for f in ("csv", "kvn")}}
        broken = {{f: text.replace("0.0006703", "0.0006A") for f, text in files.items()}}
    """, """
        elements = read_tle(tle * 2)
        write_tle(elements)
        read_tle(bad_tle, errors="skip")
        for text in (good, bad, *files.values(), *broken.values()):
            read_omm(text, errors="skip")
        write_omm(elements, format="json")
        for call in (lambda: read_tle(bad_tle), lambda: read_omm(bad), lambda: read_omm(good[:-5]),
                     lambda: write_tle([elements[0], 5])):
            try:
                call()
            except (TypeError, ValueError):
                pass
    """, rounds=500)
    assert int(growth) < 8 * 500


def xml_documents():
    """Documents whose reading by expat and by ElementTree's tree must agree:
    every form of message, of leaf text, of nesting, of encoding, and of
    refusal (by record and whole)."""
    good = encoded([GOOD_RECORD], "xml")
    fields = good[len("<ndm><omm>"):-len("</omm></ndm>")]
    leaf = fields.replace("<BSTAR>", "<BSTAR> <!-- c -->\n<![CDATA[ ]]>", 1).replace("<EPOCH>2008", "<EPOCH>&#50;008")
    deep = "".join(f"<x{i}>" for i in range(17)) + "<y/>" + "".join(f"</x{i}>" for i in reversed(range(17)))
    latin = '<?xml version="1.0" encoding="{}"?><omm>' + fields.replace("ISS (ZARYA)", "\u00e9\u20ac") + "</omm>"
    return [good, f"<omm>{fields}</omm>", f'<n:ndm xmlns:n="urn:x"><n:omm>{fields}</n:omm></n:ndm>',
            f'<ndm xmlns="urn:ccsds"><omm id="1"><a><b>{fields}</b></a></omm><x><omm/></x><omm>{leaf}</omm></ndm>',
            f"<omm>{fields}<EPOCH>  </EPOCH></omm>", f"<omm>{fields}<BSTAR>1e-4<i/></BSTAR></omm>",
            f"<omm><BSTAR>x</BSTAR>{fields}</omm>", f"<omm>{fields}{deep}</omm>", f"<omm>{fields[:-16]}</omm>",
            f"<ndm><omm>{fields}</omm><omm/><!-- end --></ndm>", "<ndm/>", "<opm><x/></opm>",
            latin.format("windows-1252").encode("cp1252"), latin.format("ISO-8859-1"), ("\ufeff" + good).encode(),
            "<omm><EPOCH>1</omm>", "<n:omm/>", "<omm>&e;</omm>", b"", "<omm/><omm/>", b"<omm>\xff</omm>"]


def reading(text, **options):
    try:
        result = read_omm(text, format="xml", **options)
        return result, result.skipped
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("errors", ["raise", "skip"])
def test_xml_read_by_expat_as_by_elementtree(monkeypatch, errors):
    from orbivane.propagators.analytical.sgp4 import _omm
    assert _omm._EXPAT is not None  # the standard library's expat is driven
    by_expat = [reading(text, errors=errors) for text in xml_documents()]
    monkeypatch.setattr(_omm, "_EXPAT", None)
    assert [reading(text, errors=errors) for text in xml_documents()] == by_expat


@pytest.mark.parametrize("expat", [True, False])
def test_xml_document_types_are_refused_unexpanded(monkeypatch, expat):
    from orbivane.propagators.analytical.sgp4 import _omm
    if not expat:
        monkeypatch.setattr(_omm, "_EXPAT", None)
    levels = "".join(f'<!ENTITY e{i} "{f"&e{i - 1};" * 10}">' for i in range(1, 10))
    bomb = f'<?xml version="1.0"?>\n<!DOCTYPE omm [<!ENTITY e0 "x">{levels}]><omm><OBJECT_NAME>&e9;</OBJECT_NAME></omm>'
    external = '<!DOCTYPE ndm [<!ENTITY x SYSTEM "file:///etc/passwd">]><ndm><omm><OBJECT_NAME>&x;</OBJECT_NAME>'
    for text, name in ((bomb, "omm"), (external, "ndm"), (b"<!DOCTYPE omm><omm/>", "omm")):
        with pytest.raises(ValueError, match=rf"^<string>: not an OMM in XML: it declares a document type "
                                             rf"\(<!DOCTYPE {name}>\), which is refused"):
            read_omm(text, format="xml", errors="skip")
