"""SGP4/SDP4 propagation of element sets.

    >>> from orbivane.propagators.analytical.sgp4.elements import Elements
    >>> from orbivane.propagators.analytical.sgp4.propagator import SGP4
    >>> sat = SGP4(Elements.from_lines(line1, line2))
    >>> r, v, code = sat.propagate(90.0)            # 90 minutes after the epoch
    >>> r, v, code = sat.propagate(np.arange(1440.0))  # a day, minute by minute

A catalogue at once, on every core:

    >>> from orbivane.propagators.analytical.sgp4.propagator import SGP4Array
    >>> catalogue = SGP4Array(elements_list)
    >>> r, v, code = catalogue.propagate(np.arange(1440.0))  # shapes (N, 1440, 3), (N, 1440, 3), (N, 1440)
"""

from orbivane.propagators.analytical.sgp4._sgp4 import SGP4, SGP4Array
# The functions for compiled modules (propagator.pxd, orbivane/sgp4.h).
from orbivane.propagators.analytical.sgp4._sgp4 import __pyx_capi__  # noqa: F401

__all__ = ["SGP4", "SGP4Array"]
