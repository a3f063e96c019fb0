"""Element sets: every field of a two-line element set, decoded and validated."""

from orbivane.propagators.analytical.sgp4._sgp4 import Elements

__all__ = ["Elements"]
