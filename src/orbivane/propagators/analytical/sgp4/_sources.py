"""What the element-set readers and writers share: where text comes from
and goes to, the list readers return, and the errors choice."""

import io
import os

# A str holding one of these is content, not a path; so is a str whose
# first non-blank character opens a JSON or XML document.
_LINE_BREAKS = ("\n", "\r")
_DOCUMENT_OPENERS = ("[", "{", "<")

STRING_SOURCE = "<string>"
FILE_SOURCE = "<file>"


class ElementsList(list):
    """The element sets a reader returns, in the order of the source, with
    the records it left out.

    skipped is a list of (record number, message): with errors="skip", one
    entry for every record refused, numbered from 1 in the source; with
    errors="raise", empty.
    """

    def __init__(self, elements=(), skipped=()):
        super().__init__(elements)
        self.skipped = list(skipped)

    def __repr__(self):
        return f"ElementsList({list.__repr__(self)}, skipped={self.skipped!r})"


def is_content(text: str) -> bool:
    """A str is content when it holds a line break or starts (after blanks)
    as a JSON or XML document does; otherwise it is a path."""
    return any(c in text for c in _LINE_BREAKS) or text.lstrip().startswith(_DOCUMENT_OPENERS)


def read_source(source):
    """(content as str or bytes, the name messages give the source)."""
    if isinstance(source, str) and is_content(source):
        return source, STRING_SOURCE
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return f.read(), os.fsdecode(source)
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source), STRING_SOURCE
    if callable(getattr(source, "read", None)):
        content = source.read()
        if not isinstance(content, (str, bytes)):
            raise TypeError(f"the file's read() gave '{type(content).__name__}', not str or bytes")
        name = getattr(source, "name", None)
        return content, name if isinstance(name, str) else FILE_SOURCE
    raise TypeError("source must be a path (str or os.PathLike), an open file, or the content as str or bytes, "
                    f"not '{type(source).__name__}'")


def decoded(content) -> str:
    """Text of a file's content: UTF-8, with or without a byte order mark."""
    return content.decode("utf-8-sig") if isinstance(content, bytes) else content.removeprefix("\ufeff")


def write_text(text: str, file):
    """The text when file is None; otherwise writes it to file (a path or
    an open file, text or binary) and returns None."""
    if file is None:
        return text
    if isinstance(file, (str, os.PathLike)):
        with open(file, "w", encoding="utf-8", newline="") as f:
            f.write(text)
    elif isinstance(file, (io.RawIOBase, io.BufferedIOBase)):
        file.write(text.encode("utf-8"))
    else:
        file.write(text)
    return None


def skips(errors: str) -> bool:
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    return errors == "skip"


def element_sets(elements, kind):
    """One element set or an iterable of them, as an iterable."""
    return (elements,) if isinstance(elements, kind) else elements
