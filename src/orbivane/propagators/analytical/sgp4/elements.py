"""Element sets: every field of a two-line element set, decoded and validated;
and the files they come in, two-line catalogues and Orbit Mean-elements
Messages, read and written."""

from orbivane.propagators.analytical.sgp4._sgp4 import Elements
from orbivane.propagators.analytical.sgp4._omm import read_omm, write_omm
from orbivane.propagators.analytical.sgp4._sources import ElementsList
from orbivane.propagators.analytical.sgp4._two_line import read_tle, write_tle

__all__ = ["Elements", "ElementsList", "read_omm", "read_tle", "write_omm", "write_tle"]
