"""C's own number readers, through ctypes: the models that the day and year
columns of line 1 are checked against."""

import ctypes

_libc = ctypes.CDLL(None)
_libc.newlocale.restype = ctypes.c_void_p
_libc.newlocale.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p]
_libc.strtod_l.restype = ctypes.c_double
_libc.strtod_l.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_void_p]
_libc.atoi.restype = ctypes.c_int
_libc.atoi.argtypes = [ctypes.c_char_p]

_LC_ALL_MASK = 0x1FBF    # glibc: every LC_*_MASK bit
_C_LOCALE = _libc.newlocale(_LC_ALL_MASK, b"C", None)
assert _C_LOCALE, "newlocale(LC_ALL_MASK, \"C\") failed"


def c_strtod(text: bytes) -> float:
    """strtod in the "C" locale, whatever locale the process runs in."""
    return _libc.strtod_l(text, None, _C_LOCALE)


def c_atoi(text: bytes) -> int:
    """atoi, as the module calls it."""
    return _libc.atoi(text)
