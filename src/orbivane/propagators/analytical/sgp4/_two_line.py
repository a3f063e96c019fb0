"""Catalogue files of two-line element sets, read and written in one
compiled call each."""

from orbivane.propagators.analytical.sgp4._sgp4 import Elements, _read_two_line_text, _two_line_text
from orbivane.propagators.analytical.sgp4._sources import ElementsList, read_source, skips, element_sets, write_text


def read_tle(source, *, strict=False, errors="raise"):
    """Reads the element sets of a catalogue of two-line element sets.

    source is a path (str or os.PathLike), an open file (text or binary), or
    the content itself: bytes, or a str holding a line break (a str without
    one is a path). Each set is two lines, optionally below a name line in
    the plain form ("ISS (ZARYA)") or the "0 ISS (ZARYA)" form, which gives
    the set's object_name (None when there is no name line). Lines may end
    in LF or CR LF; blank lines, trailing blanks and a last line without a
    line break are fine. Columns are decoded as Elements.from_lines decodes
    them, strictly with strict=True.

    A refusal is a ValueError naming the source (its path, "<string>" or
    "<file>"), the line, columns and field, and the text. With
    errors="skip", refused records are left out and listed in the result's
    skipped as (record number, message).
    """
    content, name = read_source(source)
    elements, skipped = _read_two_line_text(content, name, bool(strict), skips(errors))
    return ElementsList(elements, skipped)


def write_tle(elements, file=None):
    """Writes element sets (one Elements or an iterable of them) as a
    catalogue of two-line element sets: a name line where object_name is
    set, then the two lines, with their checksums and Alpha-5 catalogue
    numbers (100000 to 339999). Returns the text when file is None,
    otherwise writes it to file (a path or an open file).

    ValueError names the element set and the field that two-line text
    cannot carry: a catalogue number above 339999 (write OMM instead), an
    epoch or launch year outside 1957-2056, a value too wide for its
    columns.
    """
    return write_text(_two_line_text(element_sets(elements, Elements)), file)
