from collections.abc import Iterable
from typing import Any, Literal, Protocol, final, overload

import numpy as np
import numpy.typing as npt

from orbivane.propagators.analytical.sgp4.elements import Elements
from orbivane.propagators.analytical.sgp4.tle import TLE
from orbivane.time.time import Time

__all__ = ["SGP4", "SGP4Array"]

# The metaclass nanobind gives the types it binds.
class _NanobindType(type): ...

class _JulianDates(Protocol):
    """A Time of any shape: its two-part Julian date, UTC."""

    @property
    def jd1(self) -> Any: ...
    @property
    def jd2(self) -> Any: ...

_Vectors = npt.NDArray[np.float64]
_Codes = npt.NDArray[np.int8]
_Scalar = float | np.floating[Any] | np.integer[Any]

@final
class SGP4(metaclass=_NanobindType):
    """The SGP4/SDP4 model of one element set."""

    def __init__(
        self,
        source: Elements | TLE,
        *,
        gravity: Literal["wgs72", "wgs72old", "wgs84"] = "wgs72",
        mode: Literal["improved", "afspc"] = "improved",
    ) -> None: ...
    @overload
    def propagate(self, t: _Scalar | Time) -> tuple[_Vectors, _Vectors, int]: ...
    @overload
    def propagate(self, t: npt.ArrayLike | _JulianDates) -> tuple[_Vectors, _Vectors, _Codes | int]: ...
    @overload
    def propagate_jd(self, jd1: _Scalar, jd2: _Scalar) -> tuple[_Vectors, _Vectors, int]: ...
    @overload
    def propagate_jd(self, jd1: npt.ArrayLike, jd2: npt.ArrayLike) -> tuple[_Vectors, _Vectors, _Codes | int]: ...
    @property
    def elements(self) -> Elements:
        """The element set propagated."""
    @property
    def gravity(self) -> str:
        """The Earth model: 'wgs72', 'wgs72old' or 'wgs84'."""
    @property
    def mode(self) -> str:
        """The operation mode: 'improved' or 'afspc'."""
    @property
    def deep_space(self) -> bool:
        """Whether the deep-space model (SDP4) applies."""
    @property
    def mean_motion(self) -> float:
        """The model's mean motion at epoch, rad/min."""
    @property
    def semimajor_axis(self) -> float:
        """The model's mean semimajor axis at epoch, km."""
    def __getstate__(self) -> tuple[Elements, str, str]: ...
    def __setstate__(self, state: tuple[Elements, str, str], /) -> None: ...

_Out = tuple[_Vectors, _Vectors, _Codes]

@final
class SGP4Array(metaclass=_NanobindType):
    """The SGP4/SDP4 model of a catalogue of element sets, propagated
    together: several satellites a vector instruction, on every core, with
    the bits of SGP4 for each."""

    def __init__(
        self,
        sources: Iterable[Elements | TLE],
        *,
        gravity: Literal["wgs72", "wgs72old", "wgs84"] = "wgs72",
        mode: Literal["improved", "afspc"] = "improved",
    ) -> None: ...
    def propagate(
        self, t: npt.ArrayLike | _JulianDates, *, threads: int | None = None, out: _Out | None = None
    ) -> _Out:
        """Every satellite at every time: shapes (N,) + t.shape + (3,) and
        (N,) + t.shape."""
    def propagate_jd(
        self, jd1: npt.ArrayLike, jd2: npt.ArrayLike, *, threads: int | None = None, out: _Out | None = None
    ) -> _Out:
        """Every satellite at the UTC Julian dates jd1 + jd2."""
    def propagate_each(
        self, t: npt.ArrayLike | _JulianDates, *, threads: int | None = None, out: _Out | None = None
    ) -> _Out:
        """Satellite i at time t[i]: shapes (N, 3) and (N,)."""
    def propagate_each_jd(
        self, jd1: npt.ArrayLike, jd2: npt.ArrayLike, *, threads: int | None = None, out: _Out | None = None
    ) -> _Out:
        """Satellite i at the UTC Julian date jd1[i] + jd2[i]."""
    def __len__(self) -> int: ...
    def __getitem__(self, i: int) -> SGP4:
        """The SGP4 propagator of satellite i."""
    @property
    def elements(self) -> tuple[Elements, ...]:
        """The element sets, in the order given."""
    @property
    def gravity(self) -> str:
        """The Earth model: 'wgs72', 'wgs72old' or 'wgs84'."""
    @property
    def mode(self) -> str:
        """The operation mode: 'improved' or 'afspc'."""
    def __getstate__(self) -> tuple[tuple[Elements, ...], str, str]: ...
    def __setstate__(self, state: tuple[tuple[Elements, ...], str, str], /) -> None: ...
