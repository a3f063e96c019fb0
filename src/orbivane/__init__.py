"""orbivane: spaceflight dynamics with a compiled core."""

import os as _os

__version__ = "0.1.0"


def get_include() -> str:
    """Directory of orbivane's C/C++ client headers.

    Compiled modules add it to their include path and write
    ``#include <orbivane/quiverel.h>`` or ``#include <orbivane/tle.h>``,
    as they would use ``numpy.get_include()`` for NumPy's headers.
    """
    return _os.path.join(_os.path.dirname(__file__), "include")
