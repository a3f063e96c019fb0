import os
from collections.abc import Iterable
from typing import IO, Any, Literal, TypeAlias, final, overload

from orbivane.propagators.analytical.sgp4.tle import TLE
from orbivane.time.time import Time

__all__ = ["Elements", "ElementsList", "read_omm", "read_tle", "write_omm", "write_tle"]

# The metaclass nanobind gives the types it binds.
class _NanobindType(type): ...

@final
class Elements(metaclass=_NanobindType):
    """One element set: every field of a two-line element set, decoded and checked.

    Fields are read-only, named as in an Orbit Mean-elements Message (lower-cased) and in
    its units: angles in degrees, mean motion in revolutions a day.
    """

    def __init__(
        self,
        *,
        norad_cat_id: int,
        epoch: Time | str,
        mean_motion: float,
        eccentricity: float,
        inclination: float,
        ra_of_asc_node: float,
        arg_of_pericenter: float,
        mean_anomaly: float,
        bstar: float = 0.0,
        mean_motion_dot: float = 0.0,
        mean_motion_ddot: float = 0.0,
        object_name: str | None = None,
        object_id: str | None = None,
        classification_type: str = "U",
        ephemeris_type: int = 0,
        element_set_no: int = 0,
        rev_at_epoch: int = 0,
        strict: bool = False,
    ) -> None: ...
    @staticmethod
    def from_lines(line1: str, line2: str, *, strict: bool = False) -> Elements: ...
    @staticmethod
    def from_tle(tle: TLE) -> Elements: ...
    @property
    def norad_cat_id(self) -> int:
        """Catalogue number; Alpha-5 text decoded (A0000 is 100000)."""
    @property
    def classification_type(self) -> str:
        """'U' unclassified, 'C' classified, 'S' secret."""
    @property
    def object_id(self) -> str | None:
        """International designator, as '1998-067A'; None when blank."""
    @property
    def object_name(self) -> str | None: ...
    @property
    def epoch(self) -> Time:
        """Epoch, a Time in scale UTC."""
    @property
    def epoch_jd1(self) -> float:
        """Julian date (UTC) of 0h of the epoch's day: a whole number plus one half."""
    @property
    def epoch_jd2(self) -> float:
        """Fraction of the epoch's day, in [0, 1)."""
    @property
    def mean_motion_dot(self) -> float:
        """First derivative of the mean motion over 2, rev/day^2."""
    @property
    def mean_motion_ddot(self) -> float:
        """Second derivative of the mean motion over 6, rev/day^3."""
    @property
    def bstar(self) -> float:
        """Drag term B*, 1/earth radii."""
    @property
    def ephemeris_type(self) -> int: ...
    @property
    def element_set_no(self) -> int: ...
    @property
    def inclination(self) -> float:
        """Degrees."""
    @property
    def ra_of_asc_node(self) -> float:
        """Right ascension of the ascending node, degrees."""
    @property
    def eccentricity(self) -> float: ...
    @property
    def arg_of_pericenter(self) -> float:
        """Argument of perigee, degrees."""
    @property
    def mean_anomaly(self) -> float:
        """Degrees."""
    @property
    def mean_motion(self) -> float:
        """Revolutions a day."""
    @property
    def rev_at_epoch(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

# A path, an open file, or the content itself (bytes, or a str holding a
# line break; for OMM also a str starting with '[', '{' or '<').
_Source: TypeAlias = str | bytes | os.PathLike[str] | IO[str] | IO[bytes]
# Where writers put their text: a path or an open file.
_Destination: TypeAlias = str | os.PathLike[str] | IO[str] | IO[bytes]
_Errors: TypeAlias = Literal["raise", "skip"]
_OmmFormat: TypeAlias = Literal["csv", "json", "xml", "kvn"]

class ElementsList(list[Elements]):
    """Element sets read, with the records left out as (record number, message)."""

    skipped: list[tuple[int, str]]
    def __init__(self, elements: Iterable[Elements] = (), skipped: Iterable[tuple[int, str]] = ()) -> None: ...

def read_tle(source: _Source, *, strict: bool = False, errors: _Errors = "raise") -> ElementsList: ...
def read_omm(source: _Source, *, format: _OmmFormat | None = None, errors: _Errors = "raise") -> ElementsList: ...
@overload
def write_tle(elements: Elements | Iterable[Elements], file: None = None) -> str: ...
@overload
def write_tle(elements: Elements | Iterable[Elements], file: _Destination) -> None: ...
@overload
def write_omm(elements: Elements | Iterable[Elements], file: None = None, *, format: _OmmFormat = "json") -> str: ...
@overload
def write_omm(elements: Elements | Iterable[Elements], file: _Destination, *, format: _OmmFormat = "json") -> None: ...
