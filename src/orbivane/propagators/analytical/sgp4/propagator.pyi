from typing import Any, Literal, Protocol, final, overload

import numpy as np
import numpy.typing as npt

from orbivane.propagators.analytical.sgp4.elements import Elements
from orbivane.propagators.analytical.sgp4.tle import TLE
from orbivane.time.time import Time

__all__ = ["SGP4"]

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
