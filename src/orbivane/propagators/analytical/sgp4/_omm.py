"""Orbit Mean-elements Messages (OMM) in their four encodings: CSV with a
header row, JSON (an array of objects), XML (the NDM/XML schema: omm
elements, alone or in an ndm root) and KVN (KEY = VALUE lines).

CSV and JSON are parsed by the compiled part; XML by the standard library's
expat, which the compiled part drives through pyexpat's capsule of expat's
entry points (or, where that capsule is missing or of another version, by
ElementTree, whose tree the compiled part walks); KVN here, into dicts. The
compiled part turns each record into Elements, with the checks of
Elements(**fields).
"""

import contextlib
import csv
import datetime
import gc
import io
import json
import os
import xml.etree.ElementTree as ET

from orbivane.propagators.analytical.sgp4._sgp4 import (Elements, _OMM_KEYS, _expat_usable, _omm_values,
                                                       _read_omm_records, _read_omm_text, _read_omm_xml,
                                                       _read_omm_xml_text)
from orbivane.propagators.analytical.sgp4._sources import (ElementsList, decoded, element_sets, read_source, skips,
                                                           write_text)

FORMATS = ("csv", "json", "xml", "kvn")
_VERSION = "2.0"
_ORIGINATOR = "ORBIVANE"
# Metadata every written message carries: what the elements are.
_METADATA = {"CENTER_NAME": "EARTH", "REF_FRAME": "TEME", "TIME_SYSTEM": "UTC", "MEAN_ELEMENT_THEORY": "SGP4"}
_MEAN_ELEMENTS = _OMM_KEYS[2:9]  # EPOCH to MEAN_ANOMALY
_TLE_PARAMETERS = _OMM_KEYS[9:]  # EPHEMERIS_TYPE to MEAN_MOTION_DDOT
# expat's entry points, as the standard library hands them out; None where
# they are missing or of a version the compiled part does not drive.
try:
    from pyexpat import expat_CAPI as _EXPAT
except ImportError:
    _EXPAT = None
if _EXPAT is not None and not _expat_usable(_EXPAT):
    _EXPAT = None
_NUMERIC_KEYS = frozenset(_MEAN_ELEMENTS[1:] + ("BSTAR", "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT"))
_KVN_UNITS = {"MEAN_MOTION": "rev/day", "INCLINATION": "deg", "RA_OF_ASC_NODE": "deg", "ARG_OF_PERICENTER": "deg",
              "MEAN_ANOMALY": "deg", "BSTAR": "1/ER", "MEAN_MOTION_DOT": "rev/day**2",
              "MEAN_MOTION_DDOT": "rev/day**3"}


# ---------------------------------------------------------------------------
# Reading
# ---------------------------------------------------------------------------

def read_omm(source, *, format=None, errors="raise"):
    """Reads the element sets of an Orbit Mean-elements Message file.

    source is a path (str or os.PathLike), an open file (text or binary), or
    the content itself: bytes, or a str that holds a line break or starts
    with '[', '{' or '<' (any other str is a path). format is "csv", "json",
    "xml" or "kvn"; when None, it is taken from the path's suffix, or else
    from the content: '[' or '{' opens JSON, '<' XML, a first line of the
    form KEY = VALUE is KVN, anything else CSV.

    Numeric fields may be numbers or text (JSON from one provider has
    numbers, from the other strings). NORAD_CAT_ID, EPOCH and the six mean
    elements are required; the TLE parameters default to 0 (U for
    CLASSIFICATION_TYPE); an empty OBJECT_NAME or OBJECT_ID reads as None.
    Metadata, when given, must be that of SGP4 elements: CENTER_NAME EARTH,
    REF_FRAME TEME, TIME_SYSTEM UTC, MEAN_ELEMENT_THEORY SGP4. Other keys
    are ignored.

    A refusal is a ValueError naming the source (its path, "<string>" or
    "<file>"), the record number, the field and its value. With
    errors="skip", refused records are left out and listed in the result's
    skipped as (record number, message); a file that cannot be parsed at
    all is refused whole either way.
    """
    skip = skips(errors)
    content, name = read_source(source)
    format = _format_of(format, name, content)
    if format in ("csv", "json"):
        elements, skipped = _read_omm_text(content, format, name, skip)
    elif format == "xml" and _EXPAT is not None:
        elements, skipped = _read_omm_xml_text(content, name, skip, _EXPAT)
    elif format == "xml":
        with _collection_paused():
            elements, skipped = _read_omm_xml(_xml_messages(content, name), name, skip)
    else:
        elements, skipped = _read_omm_records(_kvn_records(content), name, skip)
    return ElementsList(elements, skipped)


@contextlib.contextmanager
def _collection_paused():
    """The cyclic garbage collector paused while a document's tree is built:
    its many new objects would otherwise set off collections that walk the
    growing tree again and again (no cycles are made here)."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _format_of(format, name, content):
    if format is not None:
        if format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(map(repr, FORMATS))}, not {format!r}")
        return format
    suffix = os.path.splitext(name)[1].lower().lstrip(".")
    if suffix in FORMATS:
        return suffix
    start = content[:512]
    text = start.decode("utf-8", "replace") if isinstance(start, bytes) else start
    text = text.lstrip("\ufeff \t\r\n")
    if text.startswith(("[", "{")):
        return "json"
    if text.startswith("<"):
        return "xml"
    key, equals, _ = text.partition("\n")[0].partition("=")
    if equals and key.strip().replace("_", "").isalnum() and key.strip().isupper():
        return "kvn"
    return "csv"


def _local_name(tag):
    """An element's name without its namespace: '{urn:...}omm' is 'omm'."""
    return tag.rpartition("}")[2] if isinstance(tag, str) else ""


class _DocumentTypeDeclared(Exception):
    pass


class _TreeBuilder(ET.TreeBuilder):
    """ElementTree's tree, with documents that declare a document type
    refused: their entities could expand without bound."""

    def doctype(self, name, pubid, system):
        raise _DocumentTypeDeclared(name)


def _xml_messages(content, name):
    """The omm elements of an NDM/XML document."""
    try:
        root = ET.fromstring(content, ET.XMLParser(target=_TreeBuilder()))
    except ET.ParseError as e:
        raise ValueError(f"{name}: not XML ({e})") from None
    except _DocumentTypeDeclared as e:
        raise ValueError(f"{name}: not an OMM in XML: it declares a document type (<!DOCTYPE {e}>), which is "
                         "refused: its entities could expand without bound") from None
    kind = _local_name(root.tag)
    if kind == "omm":
        return [root]
    if kind == "ndm":
        return [child for child in root if _local_name(child.tag) == "omm"]
    raise ValueError(f"{name}: not an OMM in XML: the root element is <{kind}>, not <ndm> or <omm>")


def _kvn_records(content):
    """Records of KEY = VALUE lines. A record starts at CCSDS_OMM_VERS, or,
    in files without it, where a key repeats. Units in brackets after a
    number are dropped; COMMENT lines are skipped. A record with a line of
    another form is refused with that line (as a str in the list)."""
    records = []
    keys = set()  # of the record being read
    for number, line in enumerate(decoded(content).split("\n"), 1):
        line = line.strip()
        if not line or line.startswith("COMMENT"):
            continue
        key, equals, value = line.partition("=")
        key, value = key.strip(), value.strip()
        if not records or (equals and (key == "CCSDS_OMM_VERS" or key in keys)):
            records.append({})
            keys = set()
        keys.add(key)
        record = records[-1]
        if not isinstance(record, dict):
            continue  # refused already, at its first bad line
        if not equals or not key:
            records[-1] = f"line {number}: {line!r} is not of the form KEY = VALUE"
        else:
            if key in _NUMERIC_KEYS and value.endswith("]") and "[" in value:
                value = value[:value.rindex("[")].rstrip()
            record[key] = value
    return records



# ---------------------------------------------------------------------------
# Writing
# ---------------------------------------------------------------------------

def write_omm(elements, file=None, *, format="json"):
    """Writes element sets (one Elements or an iterable of them) as an
    Orbit Mean-elements Message in the given encoding: "json" (an array of
    objects with numbers for numeric fields), "csv" (a header row, one row
    per set), "xml" (an ndm root with one omm element per set) or "kvn".
    Returns the text when file is None, otherwise writes it to file (a path
    or an open file).

    Records carry the fields as the providers write them: OBJECT_NAME,
    OBJECT_ID ("1998-067A"; both "" when there is none), EPOCH as ISO text
    to the microsecond without a zone suffix, the mean elements, then the
    TLE parameters. Reals are written with the shortest digits that read
    back as the same double, so reading the file gives back every field,
    the epoch to the microsecond.
    """
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(map(repr, FORMATS))}, not {format!r}")
    records = _omm_values(element_sets(elements, Elements))
    return write_text(_WRITERS[format](records), file)


def _json_text(records):
    lines = ",\n".join(json.dumps(dict(zip(_OMM_KEYS, record)), ensure_ascii=False) for record in records)
    return f"[\n{lines}\n]\n" if records else "[]\n"


def _csv_text(records):
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(_OMM_KEYS)
    writer.writerows(records)
    return text.getvalue()


def _creation_date():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S")


def _xml_text(records):
    created = _creation_date()
    root = ET.Element("ndm", {"xmlns:xsi": "http://www.w3.org/2001/XMLSchema-instance",
                              "xsi:noNamespaceSchemaLocation":
                                  "https://sanaregistry.org/r/ndmxml_unqualified/ndmxml-2.0.0-master-2.0.xsd"})
    for record in records:
        fields = dict(zip(_OMM_KEYS, record))
        omm = ET.SubElement(root, "omm", {"id": "CCSDS_OMM_VERS", "version": _VERSION})
        _xml_fields(ET.SubElement(omm, "header"), {"CREATION_DATE": created, "ORIGINATOR": _ORIGINATOR})
        segment = ET.SubElement(ET.SubElement(omm, "body"), "segment")
        _xml_fields(ET.SubElement(segment, "metadata"),
                    {"OBJECT_NAME": fields["OBJECT_NAME"], "OBJECT_ID": fields["OBJECT_ID"], **_METADATA})
        data = ET.SubElement(segment, "data")
        _xml_fields(ET.SubElement(data, "meanElements"), {key: fields[key] for key in _MEAN_ELEMENTS})
        _xml_fields(ET.SubElement(data, "tleParameters"), {key: fields[key] for key in _TLE_PARAMETERS})
    ET.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode") + "\n"


def _xml_fields(parent, fields):
    for key, value in fields.items():
        ET.SubElement(parent, key).text = str(value)


def _kvn_text(records):
    created = _creation_date()
    blocks = []
    for index, record in enumerate(records, 1):
        fields = {"CCSDS_OMM_VERS": _VERSION, "CREATION_DATE": created, "ORIGINATOR": _ORIGINATOR,
                  **dict(zip(_OMM_KEYS[:2], record)), **_METADATA, **dict(zip(_OMM_KEYS[2:], record[2:]))}
        lines = []
        for key, value in fields.items():
            if isinstance(value, str) and ("\n" in value or "\r" in value):
                raise ValueError(f"element set {index}: {key} {value!r} holds a line break, which a KVN line cannot")
            unit = _KVN_UNITS.get(key)
            lines.append(f"{key:<20}= {value}" + (f" [{unit}]" if unit else ""))
        blocks.append("\n".join(lines) + "\n")
    return "\n".join(blocks)


_WRITERS = {"json": _json_text, "csv": _csv_text, "xml": _xml_text, "kvn": _kvn_text}
